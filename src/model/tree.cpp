#include "tree.h"

#include <algorithm>

namespace korvane {

bool safeFileName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

TImgEntry hardlinkEntryTo(const TImgEntry& target, std::string name) {
    TImgEntry link = target;
    link.name = std::move(name);
    link.objType = kTypeHardlink;
    link.mode = fileTypeBits(target) | (target.mode & kModePermissionMask);
    link.size = 0;
    link.dataPos = -1;
    link.alias.clear();
    link.xattrs.clear();
    link.picIndex = -1;
    link.linkInfo = target.objId;
    return link;
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

namespace {

// get(i) is the i-th sibling. Names are compared through an index list of
// 4 bytes a sibling, so a folder of a million costs 4 MB while it is checked.
template <typename Get>
std::vector<const Node*> namesakesOf(size_t n, Get&& get) {
    std::vector<const Node*> out;
    if (n < 2)
        return out;
    std::vector<uint32_t> order(n);
    for (size_t i = 0; i < n; ++i)
        order[i] = static_cast<uint32_t>(i);
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t a, uint32_t b) { return get(a)->text < get(b)->text; });
    for (size_t i = 1; i < n; ++i)
        if (get(order[i])->text == get(order[i - 1])->text)
            out.push_back(get(order[i])); // stable: the later one in the list
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

std::vector<const Node*> laterNamesakes(const std::vector<Node*>& siblings) {
    return namesakesOf(siblings.size(), [&](size_t i) { return siblings[i]; });
}

std::vector<const Node*> laterNamesakes(const std::vector<std::unique_ptr<Node>>& children) {
    return namesakesOf(children.size(), [&](size_t i) { return children[i].get(); });
}

AbsoluteIndex::AbsoluteIndex(Node* root) {
    nodes_ = preorder(root);
    const size_t n = nodes_.size();
    // Ids stay below kObjIdLimit and nodes with them: indices fit 32 bits.
    size_t slots = 16;
    while (slots < 2 * n)
        slots *= 2;
    table_.assign(slots, 0);
    for (size_t i = 0; i < n; ++i) {
        size_t s = slotOf(nodes_[i]);
        while (table_[s] != 0)
            s = (s + 1) & (slots - 1);
        table_[s] = static_cast<uint32_t>(i + 1);
    }
    // A subtree ends where the next node that is not below it begins: walking
    // backwards, a node's end is the end of its last child, or itself + 1.
    end_.assign(n, 0);
    for (size_t i = n; i-- > 0;) {
        const Node* x = nodes_[i];
        end_[i] = x->children.empty() ? static_cast<uint32_t>(i + 1)
                                      : end_[indexOf(x->children.back().get())];
    }
}

size_t AbsoluteIndex::slotOf(const Node* node) const {
    // Node addresses differ in their high bits; a multiplicative hash spreads
    // them over the table.
    const uint64_t h = reinterpret_cast<uintptr_t>(node) * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(h >> 32) & (table_.size() - 1);
}

size_t AbsoluteIndex::indexOf(const Node* node) const {
    for (size_t s = slotOf(node);; s = (s + 1) & (table_.size() - 1)) {
        const uint32_t v = table_[s];
        if (v == 0)
            return npos;
        if (nodes_[v - 1] == node)
            return v - 1;
    }
}

} // namespace korvane
