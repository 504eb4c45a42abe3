// The journal, replayed in memory as the kernel replays it when it mounts:
// the log names the buds (LEBs written since the last commit), and every
// node in them changes the index in the order of their sequence numbers.
// Nothing is written back: the replayed changes live in an Overlay that the
// reader consults beside the index on flash.
#pragma once

#include "ubifs_node.h"
#include "ubifs_super.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvane::ubifs {

// The index as the journal changes it: nodes added or replaced (by key and,
// for entries, name), entries removed, and key ranges removed (a deleted
// inode, a truncated file's blocks) from what the index on flash holds.
class Overlay {
public:
    void add(Key k, std::string name, const NodeLoc& loc);
    void remove(Key k, std::string name);
    void removeRange(Key lo, Key hi);
    // Call once the journal is replayed, before hides().
    void finish();

    bool empty() const { return entries_.empty() && ranges_.empty(); }
    size_t size() const { return entries_.size(); }
    // Whether the journal replaces or removes the index leaf (k, name).
    bool hides(Key k, std::string_view name) const;
    // What the journal put at (k, name): nullptr when it did not touch it
    // there, an empty optional when it removed it.
    const std::optional<NodeLoc>* find(Key k, std::string_view name) const;
    // The nodes the journal added with keys in [lo, hi], in key order, until
    // fn returns false.
    void forEach(Key lo, Key hi,
                 const std::function<bool(Key, const std::string&, const NodeLoc&)>& fn) const;

private:
    using EntryKey = std::pair<Key, std::string>;
    std::map<EntryKey, std::optional<NodeLoc>> entries_; // nullopt: removed
    std::vector<std::pair<Key, Key>> ranges_;            // sorted and merged by finish()
};

struct ReplayStats {
    bool replayed = false; // the log was found and read
    uint32_t buds = 0;
    uint64_t nodes = 0; // nodes of the buds applied
    uint64_t deletions = 0;
    uint64_t truncations = 0;
    uint64_t csSqnum = 0;
};

// Replays the journal from the log start the master node names into
// overlay. Damage is reported through warn; what is read before it counts.
// cancelled() is polled.
ReplayStats replayJournal(const LebReader& r, const Superblock& sb, const Master& m,
                          Overlay& overlay, const std::function<void(Message)>& warn,
                          const std::function<bool()>& cancelled);

} // namespace korvane::ubifs
