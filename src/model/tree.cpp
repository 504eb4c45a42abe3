#include "tree.h"

#include <algorithm>

namespace korvane {

bool safeFileName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

const Node* hardlinkTarget(const Timg& img, const Node* n) {
    constexpr int kMaxHops = 64;
    for (int hops = 0; n && n->entry.objType == kTypeHardlink; ++hops)
        n = hops == kMaxHops ? nullptr : img.nodeFor(n->entry.linkInfo);
    return n;
}

size_t subnodecount(const Timg& img, uint32_t id) {
    const Node* n = img.nodeFor(id);
    return n ? n->subtreeSize() : 0;
}

std::string nodepath(const Node* top, const Node* node) {
    return pathFromRoot(node, top);
}

AbsoluteIndex::AbsoluteIndex(Node* root) {
    nodes_ = preorder(root);
    const size_t n = nodes_.size();
    index_.reserve(n);
    for (size_t i = 0; i < n; ++i)
        index_.emplace(nodes_[i], i);
    // A subtree ends where the next node that is not below it begins: walking
    // backwards, a node's end is the end of its last child, or itself + 1.
    end_.assign(n, 0);
    for (size_t i = n; i-- > 0;) {
        const Node* x = nodes_[i];
        end_[i] = x->children.empty() ? i + 1 : end_[index_.at(x->children.back().get())];
    }
}

size_t AbsoluteIndex::indexOf(const Node* node) const {
    auto it = index_.find(node);
    return it == index_.end() ? npos : it->second;
}

} // namespace korvane
