#include "ubifs_super.h"

#include <cstdio>
#include <cstring>

namespace korvane::ubifs {

namespace {

// Digest lengths of the kernel's hash algorithm numbers (hash_info.h), for
// the hashes authenticated filesystems put in index branches.
constexpr uint8_t kDigestLen[] = {16, 16, 20, 20, 32, 48, 64, 28, 16, 32,
                                  40, 32, 48, 64, 16, 20, 24, 32, 32, 64};

bool powerOfTwo(uint32_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

} // namespace

uint32_t Superblock::branchHashLen() const {
    if (!(flags & kFlagAuthentication))
        return 0;
    return hashAlgo < std::size(kDigestLen) ? kDigestLen[hashAlgo] : 0;
}

std::optional<Superblock> decodeSuperblock(ByteSpan node, Message* why) {
    auto fail = [&](Message m) -> std::optional<Superblock> {
        if (why)
            *why = std::move(m);
        return std::nullopt;
    };
    if (node.size() < sb::kHashAlgo + 2)
        return fail(msg("the superblock node is %1 bytes long, too short", node.size()));
    const std::byte* p = node.data();
    Superblock s;
    s.keyHash = std::to_integer<uint8_t>(p[sb::kKeyHash]);
    s.keyFmt = std::to_integer<uint8_t>(p[sb::kKeyFmt]);
    s.flags = load32(p + sb::kFlags);
    s.minIoSize = load32(p + sb::kMinIoSize);
    s.lebSize = load32(p + sb::kLebSize);
    s.lebCnt = load32(p + sb::kLebCnt);
    s.maxLebCnt = load32(p + sb::kMaxLebCnt);
    s.maxBudBytes = load64(p + sb::kMaxBudBytes);
    s.logLebs = load32(p + sb::kLogLebs);
    s.lptLebs = load32(p + sb::kLptLebs);
    s.orphLebs = load32(p + sb::kOrphLebs);
    s.jheadCnt = load32(p + sb::kJheadCnt);
    s.fanout = load32(p + sb::kFanout);
    s.fmtVersion = load32(p + sb::kFmtVersion);
    s.defaultCompr = load16(p + sb::kDefaultCompr);
    s.timeGran = load32(p + sb::kTimeGran);
    std::memcpy(s.uuid.data(), p + sb::kUuid, s.uuid.size());
    s.roCompatVersion = load32(p + sb::kRoCompatVersion);
    s.hashAlgo = load16(p + sb::kHashAlgo);

    if (s.keyFmt != 0)
        return fail(
            msg("the superblock names key format %1, which Korvane does not read", s.keyFmt));
    if (s.lebSize < kMinLebSize || s.lebSize > kMaxLebSize || s.lebSize % 8 != 0)
        return fail(msg("the superblock gives a LEB size of %1 bytes", s.lebSize));
    if (!powerOfTwo(s.minIoSize) || s.minIoSize > s.lebSize)
        return fail(msg("the superblock gives a minimum I/O size of %1 bytes", s.minIoSize));
    // mkfs.ubifs writes the LEBs it used; the kernel grows the count to the
    // volume on mounting.
    if (s.logLebs < 2 || s.lptLebs < 1 ||
        uint64_t{kLogLnum} + s.logLebs + s.lptLebs + s.orphLebs >= s.lebCnt)
        return fail(msg("the superblock's areas (%1 log, %2 LPT, %3 orphan LEBs) do not fit its "
                        "%4 LEBs",
                        s.logLebs, s.lptLebs, s.orphLebs, s.lebCnt));
    if (s.fanout < 3 || uint64_t{s.fanout} * s.branchSize() + idx::kNodeSize > s.lebSize)
        return fail(msg("the superblock gives an index fanout of %1", s.fanout));
    if ((s.flags & kFlagAuthentication) && s.branchHashLen() == 0)
        return fail(
            msg("the superblock names hash algorithm %1, which Korvane does not know", s.hashAlgo));
    return s;
}

Master decodeMaster(ByteSpan node, uint64_t sqnum) {
    const std::byte* p = node.data();
    Master m;
    m.sqnum = sqnum;
    m.highestInum = load64(p + mst::kHighestInum);
    m.cmtNo = load64(p + mst::kCmtNo);
    m.flags = load32(p + mst::kFlags);
    m.logLnum = load32(p + mst::kLogLnum);
    m.root = {load32(p + mst::kRootLnum), load32(p + mst::kRootOffs), load32(p + mst::kRootLen)};
    m.indexSize = load64(p + mst::kIndexSize);
    m.totalFree = load64(p + mst::kTotalFree);
    m.totalUsed = load64(p + mst::kTotalUsed);
    m.lebCnt = load32(p + mst::kLebCnt);
    std::memcpy(m.body.data(), p + ch::kSize, m.body.size());
    return m;
}

MasterCopies readMasters(const LebReader& r) {
    MasterCopies c;
    for (uint32_t i = 0; i < kMstLebs; ++i)
        scanLeb(r, kMstLnum + i, 0, [&](const ScannedNode& n) {
            if (n.header.type == kMstNode && n.bytes.size() >= mst::kNodeSize)
                c.copy[i] = decodeMaster(n.bytes, n.header.sqnum);
            return true;
        });
    return c;
}

std::string compressionName(uint16_t type) {
    switch (type) {
    case kComprNone:
        return "none";
    case kComprLzo:
        return "LZO";
    case kComprZlib:
        return "zlib";
    case kComprZstd:
        return "zstd";
    default:
        return std::to_string(type);
    }
}

std::string uuidText(const std::array<uint8_t, 16>& u) {
    char buf[40];
    std::snprintf(buf, sizeof buf,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", u[0],
                  u[1], u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13],
                  u[14], u[15]);
    return buf;
}

} // namespace korvane::ubifs
