// What the edits by id (edit.cpp) and by path (path_edits.cpp) share.
#pragma once

#include "model/timg.h"

#include <cstdint>
#include <functional>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace korvane {

// A name an edit may give: a safe file name of at most 255 bytes.
bool validName(std::string_view name);

// The node an attribute change through n reaches: a hard link's file, or n.
Node* attributeHolder(Timg& img, Node* n);

// A tree's hard links by the id of the object they stand for.
using LinkIndex = std::unordered_multimap<uint32_t, Node*>;
LinkIndex linksOf(Node* root);

// Removes the subtrees at tops (their hard links' files live on in a
// remaining link); removedFolder(dir) is called for each folder that goes.
// Returns the number of objects removed.
size_t removeSubtrees(Timg& img, const std::vector<Node*>& tops, LinkIndex& links,
                      const std::function<void(Node*)>& removedFolder);

} // namespace korvane
