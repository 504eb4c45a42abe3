#include "map.h"

#include "model/error.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace korvane::erofs {

namespace {

uint64_t roundUp(uint64_t v, uint64_t to) {
    return (v + to - 1) / to * to;
}

// Bits a compact pack's entries keep below their type: enough for an
// lcluster offset, and for the count of compressed blocks.
constexpr uint32_t kCblkcntBits = 12;

} // namespace

ExtentMap::ExtentMap(const ImageSource& src, const Superblock& s, const Inode& inode)
    : src_(src), s_(s), inode_(inode) {}

void ExtentMap::readAt(uint64_t offset, std::byte* out, size_t n) {
    const uint64_t total = src_.size();
    if (offset > total || n > total - offset)
        throw Error(msg("the block map of inode %1 points outside the image (byte %2)", inode_.nid,
                        offset));
    if (n > kWindow) {
        src_.read(offset, MutableByteSpan(out, n));
        return;
    }
    if (offset < windowAt_ || offset + n > windowAt_ + windowLength_) {
        // As much of the map as the file can have from here (a record of at
        // most 8 bytes a block, after the map header), a window at most:
        // a small file's map costs a small read.
        const uint64_t blocks = (inode_.size >> s_.blockBits) + 2;
        const uint64_t want = std::clamp<uint64_t>(blocks * 8 + mh::kRecordSize + 8, n, kWindow);
        windowAt_ = offset;
        windowLength_ = static_cast<size_t>(std::min(want, total - offset));
        src_.read(offset, MutableByteSpan(window_, windowLength_));
    }
    std::memcpy(out, window_ + (offset - windowAt_), n);
}

Extent ExtentMap::at(uint64_t offset) {
    switch (inode_.layout) {
    case kFlatPlain:
    case kFlatInline:
        return flatAt(offset);
    case kChunkBased:
        return chunkAt(offset);
    default:
        return compressedAt(offset);
    }
}

Extent ExtentMap::flatAt(uint64_t offset) const {
    const uint64_t bs = s_.blockSize;
    const uint64_t size = inode_.size;
    const bool tail = inode_.layout == kFlatInline;
    Extent e;
    e.la = offset;
    if (!tail && inode_.u == kNullAddr32) {
        e.llen = size - offset;
        return e;
    }
    const uint64_t blocks = (size + bs - 1) / bs;
    const uint64_t tailStart = (blocks - (tail && blocks ? 1 : 0)) * bs;
    if (offset < tailStart) {
        e.kind = Extent::kRaw;
        e.pa = (uint64_t{inode_.u} << s_.blockBits) + offset;
        e.llen = tailStart - offset;
        return e;
    }
    const uint64_t at = inode_.bodyEnd(s_);
    if (at % bs + (size - tailStart) > bs)
        throw Error(msg("the inline tail of inode %1 crosses a block boundary", inode_.nid));
    e.kind = Extent::kRaw;
    e.pa = at + (offset - tailStart);
    e.llen = size - offset;
    return e;
}

Extent ExtentMap::chunkAt(uint64_t offset) {
    const uint16_t format = static_cast<uint16_t>(inode_.u);
    if (format & ~(kChunkBlkbitsMask | kChunkIndexes))
        throw Error(msg("inode %1 has an unknown chunk format 0x%2", inode_.nid, format));
    const uint32_t chunkBits = s_.blockBits + (format & kChunkBlkbitsMask);
    if (chunkBits > 40)
        throw Error(msg("inode %1 claims chunks of 2^%2 bytes", inode_.nid, chunkBits));
    const bool indexes = (format & kChunkIndexes) != 0;
    const uint64_t unit = indexes ? ci::kRecordSize : ci::kBlockMapEntry;
    const uint64_t chunk = offset >> chunkBits;
    const uint64_t pos = roundUp(inode_.bodyEnd(s_), unit) + unit * chunk;
    std::byte rec[ci::kRecordSize];
    readAt(pos, rec, unit);
    Extent e;
    e.la = chunk << chunkBits;
    e.llen = std::min((uint64_t{1} << chunkBits), inode_.size - e.la);
    uint64_t start;
    if (indexes) {
        start = load32(rec + ci::kStartBlkLo);
        const uint32_t mask = std::bit_ceil(uint32_t{s_.extraDevices} + 1) - 1;
        e.device = static_cast<uint16_t>(load16(rec + ci::kDeviceId) & mask);
    } else {
        start = load32(rec);
    }
    if (start != kNullAddr32) {
        e.kind = Extent::kRaw;
        e.pa = start << s_.blockBits;
    }
    return e;
}

void ExtentMap::loadHeader() {
    headerLoaded_ = true;
    const uint64_t pos = roundUp(inode_.bodyEnd(s_), 8);
    std::byte h[mh::kRecordSize];
    readAt(pos, h, sizeof h);
    const uint8_t clusterBits = std::to_integer<uint8_t>(h[mh::kClusterBits]);
    if (clusterBits & kClusterBitsAllFragment) {
        fragment_ = allFragment_ = true;
        fragmentOff_ = load64(h) & ~(uint64_t{1} << 63);
        tailHeadLcn_ = 0;
        return;
    }
    advise_ = load16(h + mh::kAdvise);
    lclusterBits_ = s_.blockBits + (clusterBits & 15);
    if (inode_.layout == kCompressedFull && (advise_ & kAdviseCompacted2B))
        throw Error(msg("inode %1 is compressed with extent records, a layout Korvane does not "
                        "read",
                        inode_.nid));
    const uint8_t algs = std::to_integer<uint8_t>(h[mh::kAlgorithmType]);
    algs_[0] = algs & 15;
    algs_[1] = algs >> 4;
    if (advise_ & kAdviseFragmentPcluster) {
        fragment_ = true;
        fragmentOff_ = load32(h + mh::kFragmentOff);
    } else if (advise_ & kAdviseInlinePcluster) {
        idataSize_ = load16(h + mh::kIdataSize);
    }
    const bool compact = inode_.layout == kCompressedCompact;
    if (compact && !(advise_ & kAdviseBigPcluster1) != !(advise_ & kAdviseBigPcluster2))
        throw Error(
            msg("inode %1: its compact index mixes big and small physical clusters", inode_.nid));
    if (lclusterBits_ > (compact ? 14u : 30u))
        throw Error(
            msg("inode %1 claims logical clusters of 2^%2 bytes", inode_.nid, lclusterBits_));
    indexBase_ = pos + mh::kRecordSize + (compact ? 0 : li::kFullIndexPad);
    if (idataSize_ || fragment_)
        findTail();
}

void ExtentMap::findTail() {
    if (inode_.size == 0)
        return;
    const uint64_t last = inode_.size - 1;
    const Lcluster m = load(last >> lclusterBits_, false);
    tailInlineAt_ = m.nextPackOff;
    uint64_t la;
    const Lcluster head = headFor(last, &la);
    tailHeadLcn_ = head.lcn;
    if (fragment_ && inode_.layout == kCompressedFull)
        fragmentOff_ |= head.pblk << 32;
}

ExtentMap::Lcluster ExtentMap::load(uint64_t lcn, bool lookahead) {
    Lcluster m = inode_.layout == kCompressedCompact ? loadCompact(lcn, lookahead) : loadFull(lcn);
    if (m.type != kLclusterNonhead && m.clusterOfs >= (1u << lclusterBits_))
        throw Error(msg("inode %1: logical cluster %2 starts its extent at byte %3, past its end",
                        inode_.nid, lcn, m.clusterOfs));
    return m;
}

ExtentMap::Lcluster ExtentMap::loadFull(uint64_t lcn) {
    const uint64_t pos = indexBase_ + lcn * li::kRecordSize;
    std::byte d[li::kRecordSize];
    readAt(pos, d, sizeof d);
    Lcluster m;
    m.lcn = lcn;
    m.nextPackOff = pos + li::kRecordSize;
    const uint16_t advise = load16(d + li::kAdvise);
    m.type = advise & kLiTypeMask;
    if (m.type == kLclusterNonhead) {
        m.clusterOfs = 1u << lclusterBits_;
        m.delta0 = load16(d + li::kDelta0);
        if (m.delta0 & kLiD0Cblkcnt) {
            if (!(advise_ & (kAdviseBigPcluster1 | kAdviseBigPcluster2)))
                throw Error(msg("inode %1: logical cluster %2 counts compressed blocks, but "
                                "the file has no big physical clusters",
                                inode_.nid, lcn));
            m.compressedBlocks = m.delta0 & ~kLiD0Cblkcnt;
            m.delta0 = 1;
        }
        m.delta1 = load16(d + li::kDelta1);
    } else {
        m.partialRef = (advise & kLiPartialRef) != 0;
        m.clusterOfs = load16(d + li::kClusterOfs);
        m.pblk = load32(d + li::kBlkaddr);
    }
    return m;
}

ExtentMap::Lcluster ExtentMap::loadCompact(uint64_t lcn, bool lookahead) {
    const uint64_t total = (inode_.size + s_.blockSize - 1) >> s_.blockBits;
    if (lcn >= total)
        throw Error(
            msg("inode %1: logical cluster %2 is past the end of its index", inode_.nid, lcn));
    const uint64_t ebase = indexBase_;
    const uint64_t initial4b = ((32 - ebase % 32) / 4) & 7;
    uint64_t compacted2b = 0;
    if ((advise_ & kAdviseCompacted2B) && initial4b < total)
        compacted2b = (total - initial4b) / 16 * 16;
    uint64_t pos = ebase;
    uint64_t rel = lcn;
    uint32_t shift = 2;
    if (rel >= initial4b) {
        pos += initial4b * 4;
        rel -= initial4b;
        if (rel < compacted2b) {
            shift = 1;
        } else {
            pos += compacted2b * 2;
            rel -= compacted2b;
        }
    }
    pos += rel << shift;
    const int vcnt = shift == 2 ? 2 : 16;
    if (shift == 1 && lclusterBits_ > 12)
        throw Error(msg("inode %1: 2-byte compact indexes with logical clusters of 2^%2 bytes",
                        inode_.nid, lclusterBits_));
    const uint64_t packBytes = uint64_t(vcnt) << shift;
    const uint64_t packAt = pos / packBytes * packBytes;
    std::byte pack[32];
    readAt(packAt, pack, packBytes);
    const uint32_t lobits = std::max(lclusterBits_, kCblkcntBits);
    const uint32_t encodebits = static_cast<uint32_t>(((packBytes - 4) * 8) / vcnt);
    auto decode = [&](int i, uint8_t* type) {
        const uint32_t bit = encodebits * static_cast<uint32_t>(i);
        const uint32_t v = load32(pack + bit / 8) >> (bit & 7);
        *type = static_cast<uint8_t>((v >> lobits) & 3);
        return v & ((1u << lobits) - 1);
    };
    const bool big = (advise_ & kAdviseBigPcluster1) != 0;
    int i = static_cast<int>((pos - packAt) >> shift);
    Lcluster m;
    m.lcn = lcn;
    m.nextPackOff = packAt + packBytes;
    uint8_t type;
    uint32_t lo = decode(i, &type);
    m.type = type;
    auto corrupt = [&]() {
        return Error(
            msg("inode %1: the compact index of logical cluster %2 is damaged", inode_.nid, lcn));
    };
    if (type == kLclusterNonhead) {
        m.clusterOfs = 1u << lclusterBits_;
        if (lookahead) {
            // Distance to the next head: the non-heads that follow in the
            // pack, and past the pack what its last entry says.
            int64_t d1 = 0;
            uint32_t l = 0;
            int k = i;
            bool found = false;
            do {
                uint8_t t;
                l = decode(k, &t);
                if (t != kLclusterNonhead) {
                    found = true;
                    break;
                }
                ++d1;
            } while (++k < vcnt);
            if (!found && !(l & kLiD0Cblkcnt))
                d1 += int64_t{l} - 1;
            m.delta1 = static_cast<uint32_t>(std::max<int64_t>(d1, 1));
        }
        if (lo & kLiD0Cblkcnt) {
            if (!big)
                throw corrupt();
            m.compressedBlocks = lo & ~kLiD0Cblkcnt;
            m.delta0 = 1;
            return m;
        }
        if (i + 1 != vcnt) {
            m.delta0 = lo;
            return m;
        }
        // The pack's last entry keeps the distance to the next head; the
        // distance back comes from the entry before it.
        uint8_t t;
        uint32_t prev = decode(i - 1, &t);
        if (t != kLclusterNonhead)
            prev = 0;
        else if (prev & kLiD0Cblkcnt)
            prev = 1;
        m.delta0 = prev + 1;
        return m;
    }
    m.clusterOfs = lo;
    // A head's block is the pack's base plus the blocks of the heads before
    // it in the pack.
    uint64_t nblk = 0;
    if (!big) {
        nblk = 1;
        while (i > 0) {
            --i;
            uint8_t t;
            const uint32_t l = decode(i, &t);
            if (t == kLclusterNonhead)
                i -= static_cast<int>(l);
            if (i >= 0)
                ++nblk;
        }
    } else {
        while (i > 0) {
            --i;
            uint8_t t;
            const uint32_t l = decode(i, &t);
            if (t == kLclusterNonhead) {
                if (l & kLiD0Cblkcnt) {
                    --i;
                    nblk += l & ~kLiD0Cblkcnt;
                    continue;
                }
                if (l <= 1)
                    throw corrupt();
                i -= static_cast<int>(l) - 2;
                continue;
            }
            ++nblk;
        }
    }
    m.pblk = uint64_t{load32(pack + packBytes - 4)} + nblk;
    return m;
}

ExtentMap::Lcluster ExtentMap::lookback(Lcluster m, uint32_t distance) {
    uint64_t lcn = m.lcn;
    while (true) {
        if (distance == 0 || lcn < distance)
            throw Error(msg("inode %1: logical cluster %2 points back %3 clusters, to no head",
                            inode_.nid, lcn, distance));
        lcn -= distance;
        Lcluster x = load(lcn, false);
        if (x.type != kLclusterNonhead)
            return x;
        distance = x.delta0;
    }
}

ExtentMap::Lcluster ExtentMap::headFor(uint64_t offset, uint64_t* la) {
    const uint64_t lcn = offset >> lclusterBits_;
    const uint32_t endoff = static_cast<uint32_t>(offset & ((uint64_t{1} << lclusterBits_) - 1));
    Lcluster m = load(lcn, false);
    if (m.type != kLclusterNonhead) {
        if (endoff < m.clusterOfs) {
            if (lcn == 0)
                throw Error(msg("inode %1: its first logical cluster starts no extent at byte 0",
                                inode_.nid));
            m = lookback(m, 1);
        }
    } else {
        m = lookback(m, m.delta0);
    }
    *la = (m.lcn << lclusterBits_) | m.clusterOfs;
    return m;
}

uint32_t ExtentMap::compressedBlocks(const Lcluster& head) {
    const bool big1 = advise_ & kAdviseBigPcluster1;
    const bool big2 = advise_ & kAdviseBigPcluster2;
    if ((head.type == kLclusterHead1 && !big1) ||
        ((head.type == kLclusterPlain || head.type == kLclusterHead2) && !big2) ||
        ((head.lcn + 1) << lclusterBits_) >= inode_.size)
        return 1;
    const Lcluster m = load(head.lcn + 1, false);
    if (m.type != kLclusterNonhead)
        return 1;
    if (m.delta0 != 1 || m.compressedBlocks == 0)
        throw Error(msg("inode %1: logical cluster %2 does not count the blocks of its big "
                        "physical cluster",
                        inode_.nid, head.lcn + 1));
    return m.compressedBlocks;
}

uint64_t ExtentMap::extentEnd(uint64_t headLcn, uint64_t la) {
    const uint64_t size = inode_.size;
    uint64_t lcn = headLcn;
    while (true) {
        if ((lcn << lclusterBits_) >= size)
            return size;
        if ((lcn << lclusterBits_) > la + kPclusterMaxDecoded)
            throw Error(msg("inode %1: the extent at byte %2 is longer than %3 bytes", inode_.nid,
                            la, kPclusterMaxDecoded));
        const Lcluster m = load(lcn, true);
        if (m.type == kLclusterNonhead) {
            lcn += m.delta1 ? m.delta1 : 1;
        } else if (lcn != headLcn) {
            return std::min(size, (lcn << lclusterBits_) + m.clusterOfs);
        } else {
            ++lcn;
        }
    }
}

Extent ExtentMap::compressedAt(uint64_t offset) {
    if (!headerLoaded_)
        loadHeader();
    Extent e;
    if (allFragment_ || (fragment_ && tailHeadLcn_ == 0)) {
        e.kind = Extent::kFragment;
        e.llen = inode_.size;
        e.fragmentOff = fragmentOff_;
        return e;
    }
    uint64_t la;
    const Lcluster head = headFor(offset, &la);
    e.la = la;
    if (fragment_ && head.lcn == tailHeadLcn_) {
        e.kind = Extent::kFragment;
        e.llen = inode_.size - la;
        e.fragmentOff = fragmentOff_;
        return e;
    }
    e.kind = Extent::kEncoded;
    if (idataSize_ && head.lcn == tailHeadLcn_) {
        e.pa = tailInlineAt_;
        e.plen = idataSize_;
        if (e.pa % s_.blockSize + e.plen > s_.blockSize)
            throw Error(
                msg("inode %1: its inline compressed tail crosses a block boundary", inode_.nid));
    } else {
        if (head.pblk >= (uint64_t{1} << 32))
            throw Error(msg("inode %1: an extent lies at block %2", inode_.nid, head.pblk));
        e.pa = head.pblk << s_.blockBits;
        const uint64_t plen = uint64_t{compressedBlocks(head)} << s_.blockBits;
        if (plen > kPclusterMaxSize)
            throw Error(msg("inode %1: a physical cluster of %2 bytes", inode_.nid, plen));
        e.plen = static_cast<uint32_t>(plen);
    }
    if (head.type == kLclusterPlain)
        e.alg = (advise_ & kAdviseInterlacedPcluster) ? kAlgInterlaced : kAlgShifted;
    else
        e.alg = head.type == kLclusterHead2 ? algs_[1] : algs_[0];
    e.partialRef = head.partialRef;
    e.llen = extentEnd(head.lcn, la) - la;
    if (e.llen == 0 || e.llen > kPclusterMaxDecoded)
        throw Error(
            msg("inode %1: the extent at byte %2 is %3 bytes long", inode_.nid, la, e.llen));
    if (head.type == kLclusterPlain && e.llen > e.plen)
        throw Error(msg("inode %1: the stored extent at byte %2 is longer than its cluster",
                        inode_.nid, la));
    return e;
}

} // namespace korvane::erofs

namespace korvane::erofs {

uint64_t fullIndexSize(uint64_t size, uint32_t blockBits) {
    const uint64_t lclusters = (size + (uint64_t{1} << blockBits) - 1) >> blockBits;
    return mh::kRecordSize + li::kFullIndexPad + lclusters * li::kRecordSize;
}

Bytes encodeFullIndex(const std::vector<WrittenExtent>& extents, uint64_t size,
                      uint32_t blockBits) {
    Bytes out(static_cast<size_t>(fullIndexSize(size, blockBits)), std::byte{0});
    const uint64_t lclusters = (size + (uint64_t{1} << blockBits) - 1) >> blockBits;
    std::byte* index = out.data() + mh::kRecordSize + li::kFullIndexPad;
    // Heads first, then each non-head the distances to the heads around it.
    std::vector<int64_t> headAt(static_cast<size_t>(lclusters), -1);
    for (size_t i = 0; i < extents.size(); ++i)
        headAt[static_cast<size_t>(extents[i].la >> blockBits)] = static_cast<int64_t>(i);
    uint64_t lastHead = 0;
    for (uint64_t lcn = 0; lcn < lclusters; ++lcn) {
        std::byte* d = index + lcn * li::kRecordSize;
        const int64_t h = headAt[static_cast<size_t>(lcn)];
        if (h >= 0) {
            const WrittenExtent& x = extents[static_cast<size_t>(h)];
            store16(d + li::kAdvise, x.stored ? kLclusterPlain : kLclusterHead1);
            store16(d + li::kClusterOfs,
                    static_cast<uint16_t>(x.la & ((uint64_t{1} << blockBits) - 1)));
            store32(d + li::kBlkaddr, x.blkaddr);
            lastHead = lcn;
            continue;
        }
        uint64_t next = lcn + 1;
        while (next < lclusters && headAt[static_cast<size_t>(next)] < 0)
            ++next;
        store16(d + li::kAdvise, kLclusterNonhead);
        store16(d + li::kDelta0, static_cast<uint16_t>(lcn - lastHead));
        store16(d + li::kDelta1, static_cast<uint16_t>(next - lcn));
    }
    return out;
}

} // namespace korvane::erofs
