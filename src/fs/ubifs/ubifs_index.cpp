#include "ubifs_index.h"

#include "model/error.h"

#include <algorithm>

namespace korvane::ubifs {

namespace {

// Index nodes kept decoded for reading files, counted in branches (about
// 24 bytes each): a few MiB, which holds the whole index of most images.
constexpr size_t kCacheBranches = 1u << 19;

uint64_t locId(const NodeLoc& l) {
    return uint64_t{l.lnum} << 32 | l.offs;
}

// Names whose hashes collide are rare; a long run of equal keys is a damaged
// index that points at one leaf again and again.
constexpr uint32_t kMaxEqualKeys = 64;

} // namespace

std::optional<IndexNode> decodeIndexNode(ByteSpan node, uint32_t branchSize, Message* why) {
    auto fail = [&](Message m) -> std::optional<IndexNode> {
        if (why)
            *why = std::move(m);
        return std::nullopt;
    };
    if (node.size() < idx::kNodeSize)
        return fail(msg("an index node of %1 bytes is too short", node.size()));
    const std::byte* p = node.data();
    IndexNode n;
    const uint16_t count = load16(p + idx::kChildCnt);
    n.level = load16(p + idx::kLevel);
    if (count == 0 || idx::kNodeSize + size_t{count} * branchSize > node.size() ||
        n.level >= kMaxLevels)
        return fail(msg("an index node claims %1 branches at level %2 in %3 bytes", count, n.level,
                        node.size()));
    n.branches.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        const std::byte* b = p + idx::kBranches + size_t{i} * branchSize;
        Branch br;
        br.loc = {load32(b + branch::kLnum), load32(b + branch::kOffs), load32(b + branch::kLen)};
        br.key = loadKey(b + branch::kKey);
        if (!n.branches.empty() && br.key < n.branches.back().key)
            return fail(msg("the branches of an index node at level %1 are out of order", n.level));
        n.branches.push_back(br);
    }
    return n;
}

IndexTree::IndexTree(const LebReader& reader, uint32_t branchSize)
    : reader_(reader), branchSize_(branchSize) {}

std::shared_ptr<const IndexNode> IndexTree::load(const NodeLoc& loc, int expectLevel,
                                                 Message* why) const {
    Bytes buf;
    if (loc.len > reader_.lebSize() || !reader_.readNode(loc, buf, kIdxNode, why))
        return nullptr;
    std::optional<IndexNode> n = decodeIndexNode(buf, branchSize_, why);
    if (!n)
        return nullptr;
    ++nodesRead_;
    if (expectLevel >= 0 && n->level != expectLevel) {
        if (why)
            *why = msg("the index node at LEB %1 offset %2 is at level %3, not %4", loc.lnum,
                       loc.offs, n->level, expectLevel);
        return nullptr;
    }
    return std::make_shared<const IndexNode>(std::move(*n));
}

bool IndexTree::setRoot(const NodeLoc& root, Message* why) {
    root_ = load(root, -1, why);
    if (!root_)
        return false;
    rootLevel_ = root_->level;
    std::lock_guard lock(cacheMutex_);
    cache_.clear();
    cacheBranches_ = 0;
    return true;
}

bool IndexTree::forRange(Key from, Key to, const std::function<bool(const Branch&)>& fn,
                         bool equalKeys) const {
    if (!root_ || from > to)
        return true;
    struct Frame {
        std::shared_ptr<const IndexNode> node;
        size_t next;
    };
    // The first branch whose subtree may hold from: the last one with a key
    // below it (equal keys can continue in the subtree before).
    auto startAt = [from](const IndexNode& n) {
        auto it = std::lower_bound(n.branches.begin(), n.branches.end(), from,
                                   [](const Branch& b, Key k) { return b.key < k; });
        return it == n.branches.begin() ? size_t{0}
                                        : static_cast<size_t>(it - n.branches.begin() - 1);
    };
    std::vector<Frame> stack{{root_, startAt(*root_)}};
    bool first = true;
    Key last = 0;
    uint32_t equalRun = 0;
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next == f.node->branches.size()) {
            stack.pop_back();
            continue;
        }
        const Branch& b = f.node->branches[f.next++];
        if (b.key > to)
            return true;
        if (f.node->level == 0) {
            if (!first &&
                (b.key < last || (b.key == last && (!equalKeys || ++equalRun > kMaxEqualKeys))))
                return false;
            if (first || b.key != last)
                equalRun = 0;
            first = false;
            last = b.key;
            if (b.key >= from && !fn(b))
                return true;
            continue;
        }
        std::shared_ptr<const IndexNode> child;
        {
            std::lock_guard lock(cacheMutex_);
            if (auto it = cache_.find(locId(b.loc)); it != cache_.end())
                child = it->second;
        }
        if (child && child->level != f.node->level - 1)
            return false;
        if (!child) {
            child = load(b.loc, f.node->level - 1, nullptr);
            if (!child)
                return false;
            std::lock_guard lock(cacheMutex_);
            if (cacheBranches_ > kCacheBranches) {
                cache_.clear();
                cacheBranches_ = 0;
            }
            cacheBranches_ += child->branches.size();
            cache_.emplace(locId(b.loc), child);
        }
        const size_t start = startAt(*child);
        stack.push_back({std::move(child), start});
    }
    return true;
}

} // namespace korvane::ubifs
