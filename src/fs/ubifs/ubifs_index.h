// The index: a B+-tree of index nodes whose branches carry the lowest key of
// what lies below them; the branches of level 0 point at the leaf nodes
// (inodes, entries, data). Every child must be one level below its parent,
// so no damaged tree can lead the reader in a circle.
#pragma once

#include "ubifs_node.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

namespace korvane::ubifs {

struct Branch {
    NodeLoc loc;
    Key key = 0;
};

struct IndexNode {
    uint16_t level = 0;
    std::vector<Branch> branches; // in key order
};

// An index node, when its branches fit the node and come in key order.
std::optional<IndexNode> decodeIndexNode(ByteSpan node, uint32_t branchSize, Message* why);

class IndexTree {
public:
    IndexTree(const LebReader& reader, uint32_t branchSize);

    // Reads the root; false with why when it cannot be read.
    bool setRoot(const NodeLoc& root, Message* why);
    uint16_t rootLevel() const { return rootLevel_; }

    // Hands fn the leaf branches with keys in [from, to], in key order, until
    // it returns false. Keys must rise from leaf to leaf (for entries, whose
    // keys are name hashes, a few equal ones may follow each other): where
    // they do not, the tree is damaged and the walk stops there, returning
    // false (also when an index node cannot be read). Safe from several
    // threads.
    bool forRange(Key from, Key to, const std::function<bool(const Branch&)>& fn,
                  bool equalKeys = false) const;
    // Index nodes read and decoded so far.
    uint64_t nodesRead() const { return nodesRead_; }

private:
    std::shared_ptr<const IndexNode> load(const NodeLoc& loc, int expectLevel, Message* why) const;

    const LebReader& reader_;
    uint32_t branchSize_;
    std::shared_ptr<const IndexNode> root_;
    uint16_t rootLevel_ = 0;

    // Index nodes read by forRange, so that reading a file in pieces does
    // not read its path from the root again each time.
    mutable std::mutex cacheMutex_;
    mutable std::unordered_map<uint64_t, std::shared_ptr<const IndexNode>> cache_;
    mutable size_t cacheBranches_ = 0;
    mutable std::atomic<uint64_t> nodesRead_{0};
};

} // namespace korvane::ubifs
