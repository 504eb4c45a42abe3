#include "table_places.h"

#include "squashfs_format.h"

#include <bit>
#include <vector>

namespace korvane::squashfs {

namespace {

// Metadata blocks of one chain or index followed at most: enough to tell a
// right layout from a wrong one, bounded whatever the superblock claims.
constexpr uint64_t kBlocksFollowed = 256;

class Places {
public:
    explicit Places(const ImageSource& src) : src_(src) {}

    unsigned count() const { return ok_ ? count_ : 0; }

    // The stored length (header included) of the metadata block at at; 0
    // when its header cannot start one.
    uint64_t block(uint64_t at) const {
        if (at > src_.size() || src_.size() - at < 2)
            return 0;
        std::byte h[2];
        src_.read(at, MutableByteSpan(h, 2));
        const uint32_t len = load16(h) & ~uint32_t{kMetaUncompressed};
        return len == 0 || len > kMetaBlockSize ? 0 : 2 + uint64_t{len};
    }

    uint64_t u64(uint64_t at) const {
        std::byte b[8];
        src_.read(at, MutableByteSpan(b, 8));
        return load64(b);
    }

    // An index at pointers listing the metadata blocks of entries records
    // of entrySize bytes, which lie end to end up to end (the last ones are
    // checked where there are many). Gives the first block's place.
    uint64_t index(uint64_t pointers, uint64_t entries, uint32_t entrySize, uint64_t end) {
        const uint64_t blocks = (entries * entrySize + kMetaBlockSize - 1) / kMetaBlockSize;
        if (blocks == 0)
            return end;
        if (pointers > src_.size() || (src_.size() - pointers) / 8 < blocks) {
            ok_ = false;
            return end;
        }
        const uint64_t first = u64(pointers);
        const uint64_t from = blocks > kBlocksFollowed ? blocks - kBlocksFollowed : 0;
        uint64_t at = u64(pointers + from * 8);
        for (uint64_t i = from; i < blocks && ok_; ++i) {
            if (i > from && u64(pointers + i * 8) != at)
                ok_ = false;
            const uint64_t len = block(at);
            ok_ = ok_ && len > 0 && at < end;
            at += len;
            ++count_;
        }
        ok_ = ok_ && at == end;
        return first;
    }

    // A chain of metadata blocks from from that reaches to (or goes on
    // towards it past the bound).
    void chain(uint64_t from, uint64_t to) {
        uint64_t at = from;
        for (uint64_t n = 0; ok_ && at < to && n < kBlocksFollowed; ++n) {
            const uint64_t len = block(at);
            ok_ = len > 0;
            at += len;
            ++count_;
        }
        ok_ = ok_ && at <= to;
    }

    void fail() { ok_ = false; }

private:
    const ImageSource& src_;
    unsigned count_ = 0;
    bool ok_ = true;
};

} // namespace

unsigned tablesInPlace(const ImageSource& src) {
    if (src.size() < sb::kSize)
        return 0;
    const Bytes s = readBytes(src, 0, sb::kSize);
    const std::byte* p = s.data();
    const uint32_t blockSize = load32(p + sb::kBlockSize);
    const uint64_t used = load64(p + sb::kBytesUsed);
    const uint64_t inodes = load64(p + sb::kInodeTable);
    const uint64_t folders = load64(p + sb::kDirectoryTable);
    const uint64_t ids = load64(p + sb::kIdTable);
    if (load32(p + sb::kMagic) != kMagic || load16(p + sb::kVersionMajor) != kVersionMajor ||
        load16(p + sb::kVersionMinor) != kVersionMinor || !std::has_single_bit(blockSize) ||
        blockSize < kMinBlockSize || blockSize > kMaxBlockSize ||
        load16(p + sb::kBlockLog) != std::countr_zero(blockSize) || used > src.size() ||
        inodes < sb::kSize || inodes >= folders || folders >= used || ids >= used ||
        load16(p + sb::kIdCount) == 0)
        return 0;

    // Where a table starts: the folder table's chain ends at the first of
    // them after it.
    std::vector<uint64_t> starts = {used};
    Places places(src);
    auto index = [&](size_t field, uint64_t entries, uint32_t entrySize) {
        const uint64_t at = load64(p + field);
        if (at == kNoTable)
            return;
        if (at >= used) {
            places.fail();
            return;
        }
        starts.push_back(at);
        starts.push_back(places.index(at, entries, entrySize, at));
    };
    index(sb::kIdTable, load16(p + sb::kIdCount), 4);
    index(sb::kFragmentTable, load32(p + sb::kFragmentCount), frag::kSize);
    index(sb::kExportTable, load32(p + sb::kInodeCount), 8);
    const uint64_t xattrs = load64(p + sb::kXattrTable);
    if (xattrs != kNoTable) {
        if (xattrs >= used || used - xattrs < xid::kHeaderSize)
            return 0;
        const Bytes h = readBytes(src, xattrs, xid::kHeaderSize);
        starts.push_back(xattrs);
        starts.push_back(load64(h.data() + xid::kPairsStart));
        starts.push_back(places.index(xattrs + xid::kHeaderSize, load32(h.data() + xid::kIds),
                                      xid::kSize, xattrs));
    }
    places.chain(inodes, folders);
    uint64_t next = used;
    for (uint64_t at : starts)
        if (at >= folders && at < next)
            next = at;
    places.chain(folders, next);
    return places.count();
}

} // namespace korvane::squashfs
