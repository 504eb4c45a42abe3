#include "dirent.h"
#include "inode_node.h"
#include "jffs2_scan.h"
#include "model/error.h"
#include "node_header.h"
#include "summary.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <numeric>

namespace korvane::jffs2 {

namespace {

constexpr size_t kWindowBytes = 4u << 20;
// Summary nodes reach to the end of their erase block; the checksum of
// their entries is checked when they are at most this long.
constexpr uint32_t kMaxSummaryCheck = kWindowBytes;
// The largest node of each kind the reader takes: a page of data (of the
// largest page size Linux uses) and its header; a name; an attribute.
constexpr uint32_t kMaxInodeNode = inode::kSize + (256u << 10);
constexpr uint32_t kMaxDirentNode = dirent::kSize + 256;
constexpr uint32_t kMaxXattrNode = xattr::kSize + 256 + 0x10000;
// Progress is looked at every so many bytes.
constexpr uint64_t kProgressEvery = 1u << 20;

const Message kScanning = msg("Scanning nodes");

constexpr uint32_t kErasedWord = 0xFFFFFFFF;

std::string hex16(uint16_t v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%04X", v);
    return buf;
}

// Reads the image a window at a time with system calls (readThrough), so a
// scan of a large image leaves none of it resident.
class Window {
public:
    Window(const ImageSource& src, uint64_t size) : src_(src), size_(size) {}

    // The bytes [pos, pos + n), n at most kWindowBytes... or a node's length;
    // pos + n must not pass the end.
    const std::byte* at(uint64_t pos, size_t n) {
        if (pos < begin_ || pos + n > end_) {
            begin_ = pos;
            end_ = std::min<uint64_t>(size_, pos + std::max(n, kWindowBytes));
            buffer_.resize(static_cast<size_t>(end_ - begin_));
            src_.readThrough(begin_, MutableByteSpan(buffer_));
            ++loads_;
        }
        return buffer_.data() + (pos - begin_);
    }

    // The first 4-aligned position at or after pos whose word is not erased
    // (FF FF FF FF), or the end.
    uint64_t skipErased(uint64_t pos) {
        while (pos + 4 <= size_) {
            const std::byte* p = at(pos, 4);
            const size_t avail = static_cast<size_t>(end_ - pos) & ~size_t{3};
            size_t k = 0;
            while (k + 8 <= avail && load32(p + k) == kErasedWord &&
                   load32(p + k + 4) == kErasedWord)
                k += 8;
            while (k + 4 <= avail && load32(p + k) == kErasedWord)
                k += 4;
            pos += k;
            if (k < avail)
                return pos;
        }
        return size_;
    }

    uint64_t loads() const { return loads_; }

private:
    const ImageSource& src_;
    uint64_t size_;
    uint64_t begin_ = 0;
    uint64_t end_ = 0;
    uint64_t loads_ = 0;
    Bytes buffer_;
};

// The first occurrence of a kind of damage: how many, and where the first was.
struct Tally {
    uint64_t count = 0;
    uint64_t first = 0;
    void add(uint64_t at, uint64_t n = 1) {
        if (count == 0)
            first = at;
        count += n;
    }
};

class Scanner {
public:
    Scanner(const ImageSource& src, ByteOrder order, Tjffs2obj::ScanInfo& info,
            Tjffs2obj::Geometry& geo, JobReporter& rep, const std::atomic<int>& cancel)
        : src_(src), e_(order), info_(info), geo_(geo), rep_(rep), cancel_(cancel),
          size_(std::min(src.size(), kMaxImageBytes)), win_(src, size_) {}

    ScanResult run(std::vector<Message>& warnings);

private:
    void node(uint64_t pos, const NodeHeader& h);
    void inodeNode(uint64_t pos, uint32_t totlen);
    void direntNode(uint64_t pos, uint32_t totlen);
    void xattrNode(uint64_t pos, uint32_t totlen);
    void xrefNode(uint64_t pos, uint32_t totlen);
    void cleanmarker(uint64_t pos, uint32_t totlen);
    void summaryNode(uint64_t pos, uint32_t totlen);
    void unknownNode(uint64_t pos, const NodeHeader& h);
    void notIndexed() { ++info_.notIndexed; }
    void findEraseBlock();
    void report(std::vector<Message>& warnings) const;

    const ImageSource& src_;
    Endian e_;
    Tjffs2obj::ScanInfo& info_;
    Tjffs2obj::Geometry& geo_;
    JobReporter& rep_;
    const std::atomic<int>& cancel_;
    uint64_t size_;
    Window win_;
    ScanResult out_;

    Tally dirty_, bad_, unknown_, oldMagic_;
    uint16_t unknownType_ = 0;
    bool unknownIncompat_ = false;
    // Clues to the erase block size.
    uint64_t cleanmarkerGap_ = 0; // gcd of the distances between cleanmarkers
    uint64_t lastCleanmarker_ = 0;
    uint64_t summaryBlock_ = 0; // the block size the first summary gives
    uint64_t minBlock_ = 1;     // the smallest power of two no node crosses
};

ScanResult Scanner::run(std::vector<Message>& warnings) {
    uint64_t pos = 0;
    uint64_t nextProgress = 0;
    while (pos + hdr::kSize <= size_) {
        if (pos >= nextProgress) {
            if (cancel_.load())
                throw Error(msg("cancelled"));
            rep_.progress(static_cast<int64_t>(pos), static_cast<int64_t>(size_), 2, kScanning);
            nextProgress = pos + kProgressEvery;
        }
        const std::byte* p = win_.at(pos, hdr::kSize);
        if (load32(p) == kErasedWord) {
            pos = win_.skipErased(pos);
            continue;
        }
        const uint16_t magic = e_.u16(p + hdr::kMagic);
        if (magic == kOldMagic)
            oldMagic_.add(pos);
        if (magic != kMagic || !headerOk(p, e_)) {
            if (magic != kOldMagic)
                dirty_.add(pos, 4);
            pos += 4;
            continue;
        }
        const NodeHeader h = loadHeader(p, e_);
        if (h.totlen < hdr::kSize || h.totlen > size_ - pos) {
            dirty_.add(pos, 4);
            pos += 4;
            continue;
        }
        ++info_.nodes;
        const uint64_t end = pos + h.totlen;
        minBlock_ = std::max(minBlock_, std::bit_floor(pos ^ (end - 1)) << 1);
        geo_.contentEnd = std::max(geo_.contentEnd, end);
        if (!accurate(h.type))
            ++info_.obsolete;
        else
            node(pos, h);
        pos += padded(h.totlen);
    }
    rep_.progress(static_cast<int64_t>(size_), static_cast<int64_t>(size_), 2, kScanning);
    findEraseBlock();
    report(warnings);
    return std::move(out_);
}

void Scanner::node(uint64_t pos, const NodeHeader& h) {
    switch (h.type) {
    case kTypeInode:
        inodeNode(pos, h.totlen);
        break;
    case kTypeDirent:
        direntNode(pos, h.totlen);
        break;
    case kTypeXattr:
        xattrNode(pos, h.totlen);
        break;
    case kTypeXref:
        xrefNode(pos, h.totlen);
        break;
    case kTypeCleanmarker:
        cleanmarker(pos, h.totlen);
        break;
    case kTypePadding:
        ++info_.paddingNodes;
        break;
    case kTypeSummary:
        summaryNode(pos, h.totlen);
        break;
    default:
        unknownNode(pos, h);
        break;
    }
}

void Scanner::inodeNode(uint64_t pos, uint32_t totlen) {
    ++info_.inodeNodes;
    if (totlen < inode::kSize || totlen > kMaxInodeNode) {
        bad_.add(pos);
        return;
    }
    const std::byte* p = win_.at(pos, totlen);
    if (checkInodeNode(p, totlen, e_) != InodeCheck::kOk) {
        bad_.add(pos);
        return;
    }
    const InodeNode n = decodeInodeNode(p, e_);
    // The kernel drops nodes whose data starts past the size they give, and
    // Korvane does not decompress more than a node of the largest page.
    const bool hole = n.compr == kComprZero;
    if (n.ino == 0 || n.offset > n.isize || (!hole && n.dsize > kMaxInodeNode - inode::kSize) ||
        (n.compr == kComprNone && n.csize != n.dsize)) {
        bad_.add(pos);
        return;
    }
    if (out_.inodes.size() >= kMaxInodeNodes)
        return notIndexed();
    if (n.dsize > 0 && (n.mode & kModeTypeMask) == kModeFile && n.compr < info_.comprNodes.size())
        ++info_.comprNodes[n.compr];
    out_.inodes.push_back(
        {n.ino, n.version, static_cast<uint32_t>(pos) | (hole ? 1u : 0u), n.offset, n.dsize});
}

void Scanner::direntNode(uint64_t pos, uint32_t totlen) {
    ++info_.dirents;
    if (totlen < dirent::kSize || totlen > kMaxDirentNode) {
        bad_.add(pos);
        return;
    }
    const std::byte* p = win_.at(pos, totlen);
    if (checkDirent(p, totlen, e_) != DirentCheck::kOk) {
        bad_.add(pos);
        return;
    }
    const uint8_t nsize = std::to_integer<uint8_t>(p[dirent::kNsize]);
    if (out_.dirents.size() >= kMaxDirents || out_.names.size() + nsize > kMaxNameBytes)
        return notIndexed();
    DirentRef d{e_.u32(p + dirent::kPino),
                e_.u32(p + dirent::kVersion),
                e_.u32(p + dirent::kIno),
                e_.u32(p + dirent::kMctime),
                static_cast<uint32_t>(out_.names.size()),
                nsize,
                std::to_integer<uint8_t>(p[dirent::kType])};
    out_.names.append(reinterpret_cast<const char*>(p + dirent::kSize), nsize);
    out_.dirents.push_back(d);
}

void Scanner::xattrNode(uint64_t pos, uint32_t totlen) {
    ++info_.xattrNodes;
    if (totlen < xattr::kSize || totlen > kMaxXattrNode) {
        bad_.add(pos);
        return;
    }
    const std::byte* p = win_.at(pos, totlen);
    if (checkXattrNode(p, totlen, e_) != XattrCheck::kOk) {
        bad_.add(pos);
        return;
    }
    if (out_.xattrs.size() >= kMaxXattrNodes)
        return notIndexed();
    out_.xattrs.push_back(
        {e_.u32(p + xattr::kXid), e_.u32(p + xattr::kVersion), static_cast<uint32_t>(pos)});
}

void Scanner::xrefNode(uint64_t pos, uint32_t totlen) {
    ++info_.xrefNodes;
    const std::byte* p = win_.at(pos, std::min<uint32_t>(totlen, xref::kSize));
    if (totlen < xref::kSize || !xrefOk(p, totlen, e_)) {
        bad_.add(pos);
        return;
    }
    if (out_.xrefs.size() >= kMaxXrefs)
        return notIndexed();
    out_.xrefs.push_back(decodeXref(p, e_));
}

void Scanner::cleanmarker(uint64_t pos, uint32_t totlen) {
    if (info_.cleanmarkers > 0)
        cleanmarkerGap_ = std::gcd(cleanmarkerGap_, pos - lastCleanmarker_);
    else
        geo_.cleanmarkerSize = totlen;
    lastCleanmarker_ = pos;
    ++info_.cleanmarkers;
}

void Scanner::summaryNode(uint64_t pos, uint32_t totlen) {
    ++info_.summaryNodes;
    if (totlen < summary::kSize) {
        bad_.add(pos);
        return;
    }
    const bool whole = totlen <= kMaxSummaryCheck;
    const std::byte* p = win_.at(pos, whole ? totlen : summary::kSize);
    const SummaryCheck c = checkSummary(p, totlen, e_, whole);
    if (!c.nodeCrcOk || (whole && !c.sumCrcOk)) {
        bad_.add(pos);
        return;
    }
    geo_.summaries = true;
    // The summary ends its erase block, which begins where the marker says.
    if (whole && c.markerOk && summaryBlock_ == 0 && c.blockOffset <= pos)
        summaryBlock_ = uint64_t{c.blockOffset} + totlen;
}

void Scanner::unknownNode(uint64_t pos, const NodeHeader& h) {
    ++info_.unknown;
    if (unknown_.count == 0)
        unknownType_ = h.type;
    if ((h.type & kCompatMask) == kIncompat || (h.type & kCompatMask) == kRoCompat)
        unknownIncompat_ = true;
    unknown_.add(pos);
}

void Scanner::findEraseBlock() {
    auto usable = [&](uint64_t b) {
        return b >= 4096 && b % 4 == 0 && b <= (64u << 20) && b >= minBlock_;
    };
    geo_.cleanmarkers = info_.cleanmarkers > 0;
    if (info_.cleanmarkers > 1 && usable(cleanmarkerGap_)) {
        geo_.eraseBlock = static_cast<uint32_t>(cleanmarkerGap_);
        geo_.eraseBlockFrom = "cleanmarkers";
    } else if (usable(summaryBlock_)) {
        geo_.eraseBlock = static_cast<uint32_t>(summaryBlock_);
        geo_.eraseBlockFrom = "summaries";
    } else {
        // No node crosses a boundary of the erase blocks, and writers fill
        // blocks to their end: the smallest power of two that no node
        // crosses, when the nodes reach past two of them. Otherwise the
        // nodes do not tell, and the usual size is taken.
        const uint64_t b = std::max<uint64_t>(minBlock_, 4096);
        if (b <= (64u << 20) && geo_.contentEnd >= 2 * b) {
            geo_.eraseBlock = static_cast<uint32_t>(b);
            geo_.eraseBlockFrom = "node placement";
        } else {
            geo_.eraseBlock = static_cast<uint32_t>(
                std::min<uint64_t>(std::max<uint64_t>(b, kDefaultEraseBlock), 64u << 20));
            geo_.eraseBlockFrom = "not found";
        }
    }
    // The compression most data nodes use.
    const auto& c = info_.comprNodes;
    uint8_t best = kComprNone;
    uint64_t most = 0;
    for (uint8_t k : {kComprZlib, kComprLzo, kComprRtime})
        if (c[k] > most) {
            best = k;
            most = c[k];
        }
    // Pages stored as they are (and no compressed ones): the image was made
    // without compression. No data at all says nothing: zlib, the default.
    const bool stored = c[kComprNone] > 0;
    geo_.compr = best != kComprNone ? best : stored ? uint8_t{kComprNone} : uint8_t{kComprZlib};
}

void Scanner::report(std::vector<Message>& warnings) const {
    info_.dirtyBytes = dirty_.count;
    info_.badNodes = bad_.count;
    if (src_.size() > kMaxImageBytes)
        warnings.push_back(
            msg("only the first 4 GiB of the image were read: JFFS2 keeps 32-bit offsets"));
    if (oldMagic_.count)
        warnings.push_back(msg("%1 nodes of the JFFS2 format of before Linux 2.4.10 were skipped "
                               "(the first at byte %2)",
                               oldMagic_.count, oldMagic_.first));
    if (dirty_.count)
        warnings.push_back(msg("%1 bytes that are neither erased flash nor a node were skipped "
                               "(the first at byte %2)",
                               dirty_.count, dirty_.first));
    if (bad_.count)
        warnings.push_back(msg("%1 nodes fail their checksums or do not hold together and were "
                               "skipped (the first at byte %2)",
                               bad_.count, bad_.first));
    if (unknown_.count)
        warnings.push_back(
            unknownIncompat_
                ? msg("%1 nodes of a type Korvane does not know were skipped (the first, of "
                      "type %2, at byte %3); the kernel would not mount this image for writing",
                      unknown_.count, hex16(unknownType_), unknown_.first)
                : msg("%1 nodes of a type Korvane does not know were skipped (the first, of "
                      "type %2, at byte %3)",
                      unknown_.count, hex16(unknownType_), unknown_.first));
    if (info_.notIndexed)
        warnings.push_back(msg("the image holds more nodes than Korvane keeps an index of; %1 "
                               "nodes were not read",
                               info_.notIndexed));
}

} // namespace

std::optional<ByteOrder> detectOrder(const ImageSource& src, uint64_t limit, uint64_t* firstNode,
                                     unsigned* nodesSeen) {
    const uint64_t size = std::min({src.size(), limit, kMaxImageBytes});
    Window win(src, size);
    const Endian le(ByteOrder::kLittle), be(ByteOrder::kBig);
    unsigned seen[2] = {0, 0};
    uint64_t first = 0;
    constexpr unsigned kEnough = 8;
    for (uint64_t pos = 0; pos + hdr::kSize <= size && seen[0] + seen[1] < kEnough;) {
        const std::byte* p = win.at(pos, hdr::kSize);
        if (load32(p) == kErasedWord) {
            pos = win.skipErased(pos);
            continue;
        }
        bool found = false;
        for (int k = 0; k < 2 && !found; ++k) {
            const Endian& e = k == 0 ? le : be;
            if (!headerOk(p, e))
                continue;
            const NodeHeader h = loadHeader(p, e);
            if (h.totlen < hdr::kSize || h.totlen > size - pos)
                continue;
            if (seen[0] + seen[1] == 0)
                first = pos;
            ++seen[k];
            pos += padded(h.totlen);
            found = true;
        }
        if (!found)
            pos += 4;
    }
    if (nodesSeen)
        *nodesSeen = seen[0] + seen[1];
    if (seen[0] + seen[1] == 0)
        return std::nullopt;
    if (firstNode)
        *firstNode = first;
    return seen[1] > seen[0] ? ByteOrder::kBig : ByteOrder::kLittle;
}

ScanResult scanNodes(const ImageSource& src, ByteOrder order, Tjffs2obj::ScanInfo& info,
                     Tjffs2obj::Geometry& geo, std::vector<Message>& warnings, JobReporter& rep,
                     const std::atomic<int>& cancel) {
    geo.order = order;
    Scanner s(src, order, info, geo, rep, cancel);
    return s.run(warnings);
}

} // namespace korvane::jffs2
