#include "journal.h"

#include "model/crc.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <unordered_map>

namespace korvane::ext2 {

namespace {

constexpr uint32_t kKnownIncompat = jbd::kIncompatRevoke | jbd::kIncompat64bit |
                                    jbd::kIncompatAsyncCommit | jbd::kIncompatCsumV2 |
                                    jbd::kIncompatCsumV3 | jbd::kIncompatFastCommit;

// The replayed blocks over the image: a sorted list of (filesystem block,
// journal block holding its new contents).
class JournalOverlay final : public ImageSource {
public:
    struct Patch {
        uint64_t target;
        uint64_t from; // physical block in the image
        bool escaped;  // its first word was the journal magic
    };

    JournalOverlay(const ImageSource& base, uint32_t blockSize, std::vector<Patch> patches)
        : base_(base), bs_(blockSize), patches_(std::move(patches)) {}

    uint64_t size() const override { return base_.size(); }
    uint64_t storedSize() const override { return base_.storedSize(); }
    void releaseResident() const override { base_.releaseResident(); }

    void read(uint64_t offset, MutableByteSpan out) const override {
        base_.read(offset, out);
        const uint64_t end = offset + out.size();
        for (auto it = first(offset); it != patches_.end() && it->target * bs_ < end; ++it) {
            const uint64_t from = std::max(offset, it->target * bs_);
            const uint64_t to = std::min(end, (it->target + 1) * bs_);
            const uint64_t within = from - it->target * bs_;
            std::byte* dst = out.data() + (from - offset);
            base_.read(it->from * bs_ + within, MutableByteSpan(dst, to - from));
            if (it->escaped && within < 4) {
                std::byte magic[4];
                store32be(magic, jbd::kMagic);
                std::memcpy(dst, magic + within, std::min<uint64_t>(4 - within, to - from));
            }
        }
    }

    const std::byte* contiguous(uint64_t offset, size_t n) const override {
        auto it = first(offset);
        if (it != patches_.end() && it->target * bs_ < offset + n)
            return nullptr;
        return base_.contiguous(offset, n);
    }
    std::optional<FileRange> storedIn(uint64_t offset, uint64_t n) const override {
        auto it = first(offset);
        if (it != patches_.end() && it->target * bs_ < offset + n)
            return std::nullopt;
        return base_.storedIn(offset, n);
    }

private:
    std::vector<Patch>::const_iterator first(uint64_t offset) const {
        return std::lower_bound(patches_.begin(), patches_.end(), offset / bs_,
                                [](const Patch& p, uint64_t b) { return p.target < b; });
    }

    const ImageSource& base_;
    uint32_t bs_;
    std::vector<Patch> patches_;
};

struct Tag {
    uint64_t target;
    uint32_t flags;
    uint32_t checksum;
};

class Journal {
public:
    Journal(const BlockDevice& dev, const BlockMapper& map) : dev_(dev), map_(map) {}

    bool load(uint64_t journalBlocks, JournalReplay& out);
    void scan(JournalReplay& out);
    // Whether the fast-commit area starts with a head for the transaction
    // after the last one committed: fast commits the kernel would replay.
    bool fastCommitsPending() const;
    void collectRevokes();
    std::vector<JournalOverlay::Patch> replay(JournalReplay& out);

private:
    // Journal block j: its bytes (copied into buf) and its place in the image.
    bool readBlock(uint64_t j, Bytes& buf, uint64_t* physical = nullptr) const {
        const BlockRun r = map_.lookup(j);
        if (r.physical == 0 || !dev_.inside(r.physical))
            return false;
        dev_.read(r.physical, 0, MutableByteSpan(buf));
        if (physical)
            *physical = r.physical;
        return true;
    }
    uint64_t wrap(uint64_t j) const { return j >= last_ ? j - (last_ - first_) : j; }
    bool csum() const { return incompat_ & (jbd::kIncompatCsumV2 | jbd::kIncompatCsumV3); }
    bool tailOk(const Bytes& b) const {
        const size_t at = b.size() - jbd::kTailSize;
        uint32_t c = crc32c(seed_, ByteSpan(b.data(), at));
        static const std::byte zeros[4]{};
        c = crc32c(c, ByteSpan(zeros, 4));
        return c == load32be(b.data() + at);
    }
    bool commitOk(const Bytes& b) const {
        static const std::byte zeros[4]{};
        uint32_t c = crc32c(seed_, ByteSpan(b.data(), jbd::kCommitChecksum));
        c = crc32c(c, ByteSpan(zeros, 4));
        c = crc32c(
            c, ByteSpan(b.data() + jbd::kCommitChecksum + 4, b.size() - jbd::kCommitChecksum - 4));
        return c == load32be(b.data() + jbd::kCommitChecksum);
    }
    bool dataOk(const Bytes& b, uint32_t sequence, uint32_t stored) const {
        std::byte be[4];
        store32be(be, sequence);
        const uint32_t c = crc32c(crc32c(seed_, ByteSpan(be, 4)), ByteSpan(b));
        return incompat_ & jbd::kIncompatCsumV3 ? c == stored : (c & 0xFFFF) == stored;
    }
    std::vector<Tag> tags(const Bytes& b) const;
    // Walks the committed transactions from the start; fn(type, block,
    // sequence, journal index) for each descriptor and revoke block.
    template <typename Fn>
    void walk(Fn&& fn) const;

    const BlockDevice& dev_;
    const BlockMapper& map_;
    uint32_t bs_ = 0;
    uint64_t first_ = 0, last_ = 0, start_ = 0;
    uint64_t maxLen_ = 0;
    uint32_t sequence_ = 0, end_ = 0;
    uint32_t incompat_ = 0;
    uint32_t seed_ = 0;
    size_t tagBytes_ = 8;
    std::unordered_map<uint64_t, uint32_t> revoked_; // block -> newest revoking transaction
};

bool Journal::load(uint64_t journalBlocks, JournalReplay& out) {
    bs_ = dev_.blockSize();
    Bytes sb(bs_);
    if (!readBlock(0, sb) || load32be(sb.data() + jbd::kMagicAt) != jbd::kMagic) {
        out.problems.push_back(msg("the journal needs recovery, but its superblock cannot be "
                                   "read; the tree shown is the state before it"));
        return false;
    }
    const uint32_t type = load32be(sb.data() + jbd::kBlockType);
    const uint64_t maxLen = load32be(sb.data() + jbd::kMaxLen);
    first_ = load32be(sb.data() + jbd::kFirst);
    sequence_ = load32be(sb.data() + jbd::kFirstSequence);
    start_ = load32be(sb.data() + jbd::kStart);
    if (type == jbd::kSuperblockV2)
        incompat_ = load32be(sb.data() + jbd::kFeatureIncompat);
    last_ = maxLen;
    maxLen_ = maxLen;
    if (incompat_ & jbd::kIncompatFastCommit) {
        const uint32_t fc = load32be(sb.data() + jbd::kNumFcBlocks);
        last_ = maxLen - std::min<uint64_t>(maxLen, fc ? fc : jbd::kDefaultFcBlocks);
    }
    Message wrong;
    if (type != jbd::kSuperblockV1 && type != jbd::kSuperblockV2)
        wrong = msg("an unknown journal superblock type");
    else if (load32be(sb.data() + jbd::kBlockSize) != bs_)
        wrong = msg("a journal block size other than the filesystem's");
    else if (maxLen > journalBlocks || first_ == 0 || first_ >= last_ ||
             (start_ != 0 && (start_ < first_ || start_ >= last_)))
        wrong = msg("a journal geometry that does not fit the journal inode");
    else if (incompat_ & ~kKnownIncompat)
        wrong = msg("journal features Korvane does not know");
    if (!wrong.empty()) {
        out.problems.push_back(msg("the journal needs recovery, but its superblock has %1; the "
                                   "tree shown is the state before it",
                                   wrong));
        return false;
    }
    if (csum()) {
        seed_ = crc32c(~0u, ByteSpan(sb.data() + jbd::kUuid, 16));
        static const std::byte zeros[4]{};
        uint32_t c = crc32c(~0u, ByteSpan(sb.data(), jbd::kChecksum));
        c = crc32c(c, ByteSpan(zeros, 4));
        c = crc32c(
            c, ByteSpan(sb.data() + jbd::kChecksum + 4, jbd::kSuperblockSize - jbd::kChecksum - 4));
        if (c != load32be(sb.data() + jbd::kChecksum)) {
            out.problems.push_back(msg("the journal needs recovery, but its superblock fails its "
                                       "checksum; the tree shown is the state before it"));
            return false;
        }
    }
    if (incompat_ & jbd::kIncompatCsumV3)
        tagBytes_ = 16;
    else
        tagBytes_ =
            (incompat_ & jbd::kIncompat64bit ? 12 : 8) + (incompat_ & jbd::kIncompatCsumV2 ? 2 : 0);
    return start_ != 0;
}

std::vector<Tag> Journal::tags(const Bytes& b) const {
    std::vector<Tag> out;
    const size_t end = b.size() - (csum() ? jbd::kTailSize : 0);
    const bool v3 = incompat_ & jbd::kIncompatCsumV3;
    for (size_t at = jbd::kHeaderSize; at + tagBytes_ <= end;) {
        const std::byte* t = b.data() + at;
        Tag tag;
        tag.target = load32be(t);
        tag.flags =
            v3 ? load32be(t + 4) : uint32_t{static_cast<uint16_t>(load32be(t + 4) & 0xFFFF)};
        tag.checksum = v3 ? load32be(t + 12) : load32be(t + 4) >> 16;
        if (incompat_ & jbd::kIncompat64bit)
            tag.target |= uint64_t{load32be(t + 8)} << 32;
        out.push_back(tag);
        at += tagBytes_ + (tag.flags & jbd::kTagSameUuid ? 0 : 16);
        if (tag.flags & jbd::kTagLast)
            break;
    }
    return out;
}

template <typename Fn>
void Journal::walk(Fn&& fn) const {
    Bytes b(bs_);
    uint64_t j = start_;
    uint32_t seq = sequence_;
    // A full lap of the log at most, whatever the blocks say.
    for (uint64_t used = 0; seq != end_ && used < last_ - first_;) {
        if (!readBlock(j, b))
            return;
        const uint32_t type = load32be(b.data() + jbd::kBlockType);
        if (type == jbd::kDescriptorBlock) {
            const std::vector<Tag> t = tags(b);
            fn(type, b, seq, j, t);
            j = wrap(j + 1 + t.size());
            used += 1 + t.size();
            continue;
        }
        if (type == jbd::kRevokeBlock)
            fn(type, b, seq, j, std::vector<Tag>{});
        else if (type == jbd::kCommitBlock)
            ++seq;
        j = wrap(j + 1);
        ++used;
    }
}

void Journal::scan(JournalReplay& out) {
    Bytes b(bs_);
    uint64_t j = start_;
    uint32_t seq = sequence_;
    for (uint64_t used = 0; used < last_ - first_;) {
        if (!readBlock(j, b) || load32be(b.data()) != jbd::kMagic ||
            load32be(b.data() + jbd::kSequence) != seq)
            break;
        const uint32_t type = load32be(b.data() + jbd::kBlockType);
        if (type == jbd::kDescriptorBlock || type == jbd::kRevokeBlock) {
            if (csum() && !tailOk(b)) {
                out.problems.push_back(msg("journal transaction %1 fails its checksum and is not "
                                           "replayed",
                                           seq));
                break;
            }
            const size_t n = type == jbd::kDescriptorBlock ? tags(b).size() : 0;
            j = wrap(j + 1 + n);
            used += 1 + n;
            continue;
        }
        if (type != jbd::kCommitBlock)
            break;
        if (csum() && !commitOk(b)) {
            out.problems.push_back(msg("the commit block of journal transaction %1 fails its "
                                       "checksum; it and later ones are not replayed",
                                       seq));
            break;
        }
        ++seq;
        j = wrap(j + 1);
        ++used;
    }
    end_ = seq;
    out.transactions = seq - sequence_;
}

bool Journal::fastCommitsPending() const {
    // The fast-commit blocks follow the log, one block past its end.
    if (!(incompat_ & jbd::kIncompatFastCommit) || last_ + 1 >= maxLen_)
        return false;
    Bytes b(bs_);
    if (!readBlock(last_ + 1, b))
        return false;
    return load16(b.data() + fc::kTag) == fc::kTagHead && load16(b.data() + fc::kLength) >= 8 &&
           load32(b.data() + fc::kHeadTid) == end_;
}

void Journal::collectRevokes() {
    const size_t record = incompat_ & jbd::kIncompat64bit ? 8 : 4;
    walk([&](uint32_t type, const Bytes& b, uint32_t seq, uint64_t, const std::vector<Tag>&) {
        if (type != jbd::kRevokeBlock)
            return;
        const size_t end = std::min<size_t>(load32be(b.data() + jbd::kRevokeCount),
                                            b.size() - (csum() ? jbd::kTailSize : 0));
        for (size_t at = jbd::kRevokeRecords; at + record <= end; at += record) {
            uint64_t block = load32be(b.data() + at);
            if (record == 8)
                block = block << 32 | load32be(b.data() + at + 4);
            uint32_t& newest = revoked_[block];
            newest = std::max(newest, seq);
        }
    });
}

std::vector<JournalOverlay::Patch> Journal::replay(JournalReplay& out) {
    std::map<uint64_t, JournalOverlay::Patch> patches;
    Bytes data(bs_);
    uint64_t badData = 0;
    walk([&](uint32_t type, const Bytes&, uint32_t seq, uint64_t j, const std::vector<Tag>& t) {
        if (type != jbd::kDescriptorBlock)
            return;
        for (size_t i = 0; i < t.size(); ++i) {
            const uint64_t from = wrap(j + 1 + i);
            uint64_t physical = 0;
            auto rev = revoked_.find(t[i].target);
            if (rev != revoked_.end() && rev->second >= seq)
                continue;
            if (!readBlock(from, data, &physical) || t[i].target >= dev_.blocksCount()) {
                ++badData;
                continue;
            }
            if (csum() && !dataOk(data, seq, t[i].checksum)) {
                ++badData;
                continue;
            }
            patches[t[i].target] = {t[i].target, physical, (t[i].flags & jbd::kTagEscape) != 0};
        }
    });
    if (badData > 0)
        out.problems.push_back(msg("%1 blocks in the journal fail their checksum or lie outside "
                                   "the filesystem; they are not replayed",
                                   badData));
    std::vector<JournalOverlay::Patch> v;
    v.reserve(patches.size());
    for (auto& [target, p] : patches)
        v.push_back(p);
    return v;
}

} // namespace

JournalReplay replayJournal(const BlockDevice& dev, const BlockMapper& journal,
                            uint64_t journalBlocks) {
    JournalReplay out;
    Journal j(dev, journal);
    if (!j.load(journalBlocks, out))
        return out;
    j.scan(out);
    if (j.fastCommitsPending())
        out.problems.push_back(msg("the journal holds fast commits after its last transaction, "
                                   "which Korvane does not replay; objects they change show "
                                   "their state before them"));
    if (out.transactions == 0)
        return out;
    j.collectRevokes();
    std::vector<JournalOverlay::Patch> patches = j.replay(out);
    out.blocks = patches.size();
    out.source =
        std::make_unique<JournalOverlay>(dev.source(), dev.blockSize(), std::move(patches));
    return out;
}

} // namespace korvane::ext2
