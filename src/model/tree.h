// Tree functions of the jobs and edit commands: subtree sizes, paths below a
// node, and absolute (pre-order) indices.
#pragma once

#include "node.h"
#include "timg.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace korvane {

// Whether name can stand as a file name on disk and in a folder of an image:
// not empty, not "." or "..", no "/" and no NUL byte.
bool safeFileName(std::string_view name);

// The object a hard link stands for, following links to links (a bounded
// number of them): the node whose entry holds the file's contents and
// attributes. n itself when it is no hard link; nullptr when the chain ends
// at nothing or loops.
const Node* hardlinkTarget(const Timg& img, const Node* n);

// A new hard link called name to target (the entry of a file or other
// non-folder): the target's type bits and permissions, no contents, no
// attributes of its own.
TImgEntry hardlinkEntryTo(const TImgEntry& target, std::string name);

// Number of nodes in the subtree of object id's node, the node included; 0
// when the id has no node.
size_t subnodecount(const Timg& img, uint32_t id);

// The names from top down to node joined by "/". top's own name begins the
// path, except when top is the root, whose name is never part of a path (so
// nodepath(root, n) is n's path below the root). A node that is not below top
// gives its path below the root.
std::string nodepath(const Node* top, const Node* node);

// The nodes of a list of siblings (a folder's children, or the objects of a
// run) whose name one before them in the list has already: where names must
// be unique (a folder on disk, an archive), the first of each name is taken
// and the others are refused. Sorted by address, for std::binary_search.
std::vector<const Node*> laterNamesakes(const std::vector<Node*>& siblings);
std::vector<const Node*> laterNamesakes(const std::vector<std::unique_ptr<Node>>& children);

// Absolute indices of a whole tree, computed in one pass: position 0 is the
// root, then depth first, each node before its children. A subtree is the
// unbroken run [indexOf(n), end(n)). 20 bytes a node: the node, the end of
// its subtree, and two slots of an open-addressed table from node to index.
class AbsoluteIndex {
public:
    explicit AbsoluteIndex(Node* root);

    size_t size() const { return nodes_.size(); }
    Node* at(size_t index) const { return nodes_[index]; }
    const std::vector<Node*>& nodes() const { return nodes_; }
    // The index of a node of the tree; npos for any other node.
    size_t indexOf(const Node* node) const;
    // One past the last index of the node's subtree.
    size_t end(size_t index) const { return end_[index]; }

    static constexpr size_t npos = static_cast<size_t>(-1);

private:
    size_t slotOf(const Node* node) const;

    std::vector<Node*> nodes_;
    std::vector<uint32_t> end_;
    std::vector<uint32_t> table_; // index + 1 of the node hashed there, 0 for none
};

} // namespace korvane
