#include "ubifs_journal.h"

#include "model/error.h"
#include "ubifs_leaf.h"

#include <algorithm>
#include <unordered_map>

namespace korvane::ubifs {

void Overlay::add(Key k, std::string name, const NodeLoc& loc) {
    entries_[{k, std::move(name)}] = loc;
}

void Overlay::remove(Key k, std::string name) {
    entries_[{k, std::move(name)}] = std::nullopt;
}

void Overlay::removeRange(Key lo, Key hi) {
    auto it = entries_.lower_bound({lo, std::string()});
    while (it != entries_.end() && it->first.first <= hi)
        it = entries_.erase(it);
    ranges_.push_back({lo, hi});
}

void Overlay::finish() {
    std::sort(ranges_.begin(), ranges_.end());
    std::vector<std::pair<Key, Key>> merged;
    for (const auto& r : ranges_) {
        const bool touches = !merged.empty() && (merged.back().second == ~Key{0} ||
                                                 r.first <= merged.back().second + 1);
        if (touches)
            merged.back().second = std::max(merged.back().second, r.second);
        else
            merged.push_back(r);
    }
    ranges_ = std::move(merged);
}

bool Overlay::hides(Key k, std::string_view name) const {
    if (!entries_.empty() && entries_.count({k, std::string(name)}))
        return true;
    auto it = std::upper_bound(ranges_.begin(), ranges_.end(), k,
                               [](Key v, const std::pair<Key, Key>& r) { return v < r.first; });
    return it != ranges_.begin() && k <= (it - 1)->second;
}

const std::optional<NodeLoc>* Overlay::find(Key k, std::string_view name) const {
    auto it = entries_.find({k, std::string(name)});
    return it == entries_.end() ? nullptr : &it->second;
}

void Overlay::forEach(
    Key lo, Key hi, const std::function<bool(Key, const std::string&, const NodeLoc&)>& fn) const {
    for (auto it = entries_.lower_bound({lo, std::string()});
         it != entries_.end() && it->first.first <= hi; ++it)
        if (it->second && !fn(it->first.first, it->first.second, *it->second))
            return;
}

namespace {

// Journal nodes held for sorting at most: a journal is a few MiB; more than
// this is damage, and what follows is not replayed.
constexpr size_t kMaxReplayNodes = 1u << 18;
// Journal heads besides the data heads the superblock counts.
constexpr uint32_t kNonDataHeads = 2;
// Damage reports of one replay before the rest are only counted.
constexpr int kReportsNamed = 8;

enum class Action : uint8_t { kAdd, kRemove, kDeleteInode, kTruncate };

struct ReplayEntry {
    uint64_t sqnum;
    Key key;
    NodeLoc loc;
    Action action;
    std::string name;
    uint64_t oldSize = 0;
    uint64_t newSize = 0;
};

struct Bud {
    uint32_t lnum;
    uint32_t offs;
    uint32_t jhead;
};

class Replayer {
public:
    Replayer(const LebReader& r, const Superblock& sb, const Master& m,
             const std::function<void(Message)>& warn, const std::function<bool()>& cancelled)
        : r_(r), sb_(sb), m_(m), warn_(warn), cancelled_(cancelled) {}

    ReplayStats run(Overlay& overlay) {
        if (m_.logLnum < kLogLnum || m_.logLnum >= kLogLnum + sb_.logLebs) {
            report(msg("the master node puts the log at LEB %1, outside the log area; the journal "
                       "is not replayed",
                       m_.logLnum));
            return st_;
        }
        if (!readLog())
            return st_;
        st_.replayed = true;
        for (const Bud& b : buds_) {
            if (cancelled_())
                throw Error("cancelled");
            replayBud(b);
        }
        apply(overlay);
        overlay.finish();
        return st_;
    }

private:
    void report(Message m) {
        if (++reports_ <= kReportsNamed)
            warn_(std::move(m));
    }

    uint32_t nextLogLeb(uint32_t lnum) const {
        return lnum + 1 >= kLogLnum + sb_.logLebs ? kLogLnum : lnum + 1;
    }

    // Walks the log from its start: the commit start node, then references
    // to buds, LEB after LEB until one holds older nodes or none.
    bool readLog() {
        uint32_t lnum = m_.logLnum;
        bool go = true;
        do {
            std::vector<ScannedNode> nodes;
            std::vector<Bytes> keep;
            const LebScan s = scanLeb(r_, lnum, 0, [&](const ScannedNode& n) {
                keep.emplace_back(n.bytes.begin(), n.bytes.end());
                nodes.push_back({n.offs, n.header, ByteSpan(keep.back())});
                return true;
            });
            if (nodes.empty()) {
                if (lnum == m_.logLnum) {
                    report(msg("the log head, LEB %1, holds no nodes; the journal is not replayed",
                               lnum));
                    return false;
                }
                break;
            }
            if (st_.csSqnum == 0 && !startCommit(nodes.front(), lnum))
                return false;
            if (nodes.front().header.sqnum < st_.csSqnum)
                break;
            go = readLogNodes(nodes, lnum);
            if (!s.clean) {
                report(msg("log LEB %1 is damaged at offset %2; no more of the log is read", lnum,
                           s.end));
                break;
            }
            lnum = nextLogLeb(lnum);
        } while (go && lnum != m_.logLnum);
        return true;
    }

    bool startCommit(const ScannedNode& n, uint32_t lnum) {
        if (n.header.type != kCsNode || n.bytes.size() < cs::kNodeSize || n.offs != 0) {
            report(msg("the log at LEB %1 does not start with a commit start node; the journal is "
                       "not replayed",
                       lnum));
            return false;
        }
        const uint64_t cmt = load64(n.bytes.data() + cs::kCmtNo);
        if (cmt != m_.cmtNo) {
            report(msg("the log starts with commit %1, the master node names commit %2; the "
                       "journal is not replayed",
                       cmt, m_.cmtNo));
            return false;
        }
        st_.csSqnum = n.header.sqnum;
        return true;
    }

    bool readLogNodes(const std::vector<ScannedNode>& nodes, uint32_t lnum) {
        for (const ScannedNode& n : nodes) {
            if (n.header.sqnum < st_.csSqnum) {
                report(msg("log LEB %1 holds a node older than the commit at offset %2; no more "
                           "of the log is read",
                           lnum, n.offs));
                return false;
            }
            if (n.header.type == kCsNode && n.offs == 0)
                continue;
            if (n.header.type != kRefNode || n.bytes.size() < ref::kNodeSize) {
                report(msg("log LEB %1 holds a node of type %2 at offset %3; no more of the log "
                           "is read",
                           lnum, n.header.type, n.offs));
                return false;
            }
            const Bud b{load32(n.bytes.data() + ref::kLnum), load32(n.bytes.data() + ref::kOffs),
                        load32(n.bytes.data() + ref::kJhead)};
            // The superblock counts the data heads; the garbage collector's
            // and the base head come before them.
            if (b.jhead >= uint64_t{sb_.jheadCnt} + kNonDataHeads || b.lnum < sb_.mainFirst() ||
                b.lnum >= sb_.lebCnt || b.offs >= sb_.lebSize || b.offs % sb_.minIoSize != 0) {
                report(msg("log LEB %1 refers to a bud at LEB %2 offset %3 that cannot be one; no "
                           "more of the log is read",
                           lnum, b.lnum, b.offs));
                return false;
            }
            auto seen = std::find_if(buds_.begin(), buds_.end(),
                                     [&](const Bud& x) { return x.lnum == b.lnum; });
            if (seen != buds_.end()) {
                if (seen->jhead == b.jhead && seen->offs <= b.offs)
                    continue;
                report(msg("log LEB %1 refers to bud LEB %2 twice; no more of the log is read",
                           lnum, b.lnum));
                return false;
            }
            buds_.push_back(b);
        }
        return true;
    }

    void replayBud(const Bud& b) {
        ++st_.buds;
        Message why;
        bool stopped = false;
        const LebScan s = scanLeb(r_, b.lnum, b.offs, [&](const ScannedNode& n) {
            if (entries_.size() >= kMaxReplayNodes) {
                report(msg("the journal holds more than %1 nodes; the rest is not replayed",
                           kMaxReplayNodes));
                stopped = true;
                return false;
            }
            if (!takeNode(n, b, why)) {
                report(msg("bud LEB %1 offset %2: %3; the rest of the bud is not replayed", b.lnum,
                           n.offs, why));
                stopped = true;
                return false;
            }
            return true;
        });
        if (!stopped && !s.clean)
            report(msg("bud LEB %1 ends in damage at offset %2 (a write cut short); the nodes "
                       "before it are replayed",
                       b.lnum, s.end));
    }

    bool takeNode(const ScannedNode& n, const Bud& b, Message& why) {
        const NodeLoc loc{b.lnum, n.offs, n.header.len};
        ReplayEntry e{n.header.sqnum, 0, loc, Action::kAdd, {}};
        switch (n.header.type) {
        case kInoNode: {
            const std::optional<InodeNode> ino = decodeInode(n.bytes, &why);
            if (!ino)
                return false;
            e.key = ino->key;
            e.action = ino->nlink == 0 ? Action::kDeleteInode : Action::kAdd;
            break;
        }
        case kDataNode: {
            const std::optional<DataNode> d = decodeData(n.bytes, &why);
            if (!d)
                return false;
            e.key = d->key;
            break;
        }
        case kDentNode:
        case kXentNode: {
            std::optional<DentNode> d = decodeDent(n.bytes, &why);
            if (!d)
                return false;
            e.key = d->key;
            e.name = std::move(d->name);
            e.action = d->inum == 0 ? Action::kRemove : Action::kAdd;
            break;
        }
        case kTrunNode: {
            const std::optional<TrunNode> t = decodeTrun(n.bytes, &why);
            if (!t)
                return false;
            e.key = makeKey(t->inum, kDataKey, 0);
            e.action = Action::kTruncate;
            e.oldSize = t->oldSize;
            e.newSize = t->newSize;
            break;
        }
        case kAuthNode:
            return true;
        default:
            why = msg("a node of type %1 has no place in a bud", n.header.type);
            return false;
        }
        entries_.push_back(std::move(e));
        return true;
    }

    // The changes in the order they were made. A deleted inode whose number
    // was given out again later in the journal keeps what the later inode
    // brought, as the kernel does.
    void apply(Overlay& overlay) {
        std::stable_sort(
            entries_.begin(), entries_.end(),
            [](const ReplayEntry& a, const ReplayEntry& b) { return a.sqnum < b.sqnum; });
        std::unordered_map<uint32_t, bool> lastInoDeleted;
        for (const ReplayEntry& e : entries_)
            if (keyType(e.key) == kInoKey && e.action != Action::kTruncate)
                lastInoDeleted[keyInum(e.key)] = e.action == Action::kDeleteInode;
        for (ReplayEntry& e : entries_) {
            ++st_.nodes;
            switch (e.action) {
            case Action::kAdd:
                overlay.add(e.key, std::move(e.name), e.loc);
                break;
            case Action::kRemove:
                ++st_.deletions;
                overlay.remove(e.key, std::move(e.name));
                break;
            case Action::kDeleteInode:
                if (lastInoDeleted[keyInum(e.key)]) {
                    ++st_.deletions;
                    overlay.removeRange(firstKeyOf(keyInum(e.key)), lastKeyOf(keyInum(e.key)));
                }
                break;
            case Action::kTruncate:
                truncate(overlay, e);
                break;
            }
        }
        entries_.clear();
    }

    // The blocks wholly past the new size go; a block the new size cuts
    // through was written anew beside the truncation node.
    void truncate(Overlay& overlay, const ReplayEntry& e) {
        ++st_.truncations;
        const uint64_t minBlk = (e.newSize + kBlockSize - 1) / kBlockSize;
        const uint64_t maxBlk = (e.oldSize + kBlockSize - 1) / kBlockSize - 1;
        if (minBlk > maxBlk || minBlk > kKeyLowMask)
            return;
        const uint32_t inum = keyInum(e.key);
        overlay.removeRange(
            makeKey(inum, kDataKey, static_cast<uint32_t>(minBlk)),
            makeKey(inum, kDataKey,
                    static_cast<uint32_t>(std::min<uint64_t>(maxBlk, kKeyLowMask))));
    }

    const LebReader& r_;
    const Superblock& sb_;
    const Master& m_;
    const std::function<void(Message)>& warn_;
    const std::function<bool()>& cancelled_;
    ReplayStats st_;
    std::vector<Bud> buds_;
    std::vector<ReplayEntry> entries_;
    int reports_ = 0;
};

} // namespace

ReplayStats replayJournal(const LebReader& r, const Superblock& sb, const Master& m,
                          Overlay& overlay, const std::function<void(Message)>& warn,
                          const std::function<bool()>& cancelled) {
    return Replayer(r, sb, m, warn, cancelled).run(overlay);
}

} // namespace korvane::ubifs
