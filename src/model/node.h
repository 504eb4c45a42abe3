// The object tree: one Node per filesystem object, each owning its children
// in display order and one TImgEntry.
#pragma once

#include "entry.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

struct Node {
    std::string text; // the name shown in the tree ("/" for the root)
    TImgEntry entry;
    int32_t icon = 0; // iconindex of the name's extension, or of "dir"
    Node* parent = nullptr;
    std::vector<std::unique_ptr<Node>> children;

    Node() = default;
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
    ~Node();

    bool isDirectory() const { return entry.objType == kTypeDirectory; }

    // Appends child and returns it.
    Node* addChild(std::unique_ptr<Node> child);
    // Removes child from this node and hands it back; nullptr if it is not a child.
    std::unique_ptr<Node> detach(const Node* child);
    // Number of nodes in this subtree, this node included.
    size_t subtreeSize() const;
};

// Calls fn(node) for every node of the subtree in pre-order (each node before
// its children, siblings in order). Iterative, so deep trees cannot overflow
// the stack.
template <typename Fn>
void forEachPreorder(Node* top, Fn&& fn) {
    if (!top)
        return;
    std::vector<Node*> stack{top};
    while (!stack.empty()) {
        Node* n = stack.back();
        stack.pop_back();
        fn(n);
        for (auto it = n->children.rbegin(); it != n->children.rend(); ++it)
            stack.push_back(it->get());
    }
}

// The subtree's nodes in pre-order: position i is the node with relative
// absolute index i (0 is top itself).
std::vector<Node*> preorder(Node* top);

// Path of node below the root, names joined by "/" ("" for the root itself).
// With top, the path starts at top's own name (when node is below top).
std::string pathFromRoot(const Node* node, const Node* top = nullptr);

// The node at a "/"-separated path below root ("" and "/" name the root;
// empty components are ignored). nullptr when nothing is there.
Node* findPath(Node* root, std::string_view path);

} // namespace korvane
