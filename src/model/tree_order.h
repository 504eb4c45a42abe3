// Icon indices and the order of the object tree: folders first, then files
// grouped by extension, each group by name.
#pragma once

#include "node.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace korvane {

// The index of the folder icon.
constexpr int32_t kFolderIcon = 0;

// One stable index per extension, and kFolderIcon for "dir". File indices all
// have ten decimal digits and rise with the extension's first five characters
// (case folded), so ordering by the decimal text of the index puts folders
// first, then files without extension, then extensions in alphabetical order.
int32_t iconindex(std::string_view text);

// The extension of a name: the text from its last "." on, or "".
std::string_view extensionOf(std::string_view name);

// The icon of a node: the folder icon for a directory, else by extension.
int32_t iconFor(const TImgEntry& entry, std::string_view name);

// Name order of the tree: letters compare without regard to case first; among
// names that differ only in case a lower-case letter sorts first.
int compareText(std::string_view a, std::string_view b);

// Sorts the children of every node of the subtree: by icon, then by name.
// Stable, so equal names keep their order.
void sortTree(Node* top);

// Sorts one folder's children as sortTree does, leaving the folders below
// it alone: for edits that change a single folder of a large tree.
void sortChildren(Node* dir);

// sortChildren for a folder whose first sortedPrefix children are in order
// and the rest were appended since: those are sorted and merged in, so that
// adding k children to a folder of n costs O(n + k log k).
void sortAppendedChildren(Node* dir, size_t sortedPrefix);

} // namespace korvane
