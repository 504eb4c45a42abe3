#include "ubi_scan.h"

#include "model/error.h"
#include "ubi_crc.h"
#include "ubi_format.h"

#include <algorithm>

namespace korvane::ubi {

namespace {

// Damaged PEBs named one by one before the rest are only counted.
constexpr uint64_t kDamageNamed = 16;
// Highest LEB number a VID header may carry (the kernel keeps them in an int).
constexpr uint32_t kMaxLnum = 0x7FFFFFFE;

bool offsetsUsable(const EcHeader& h) {
    return h.vidHdrOffset >= ec::kSize && h.dataOffset >= uint64_t{h.vidHdrOffset} + vid::kSize;
}

std::optional<EcHeader> ecAt(const ImageSource& src, uint64_t at) {
    if (at > src.size() || src.size() - at < ec::kSize)
        return std::nullopt;
    std::byte hdr[ec::kSize];
    src.readThrough(at, MutableByteSpan(hdr, ec::kSize));
    return loadEcHeader(hdr);
}

class Scanner {
public:
    Scanner(const ImageSource& src, const Geometry& g, const std::function<void(Message)>& warn)
        : src_(src), g_(g), warn_(warn) {}

    void scanPeb(uint64_t peb, ScanResult& r) {
        const uint64_t base = peb * g_.pebSize;
        if (src_.size() - base < ec::kSize) {
            damaged(msg("PEB %1 is cut short before its EC header ends", peb));
            ++r.corrupt;
            return;
        }
        // Headers are read with system calls: a scan of a large image leaves
        // none of its pages resident.
        std::byte head[ec::kSize];
        src_.readThrough(base, MutableByteSpan(head, ec::kSize));
        if (erased(head, ec::kSize)) {
            ++r.erased;
            return;
        }
        const std::optional<EcHeader> ech = loadEcHeader(head);
        if (!ech) {
            damaged(msg("PEB %1 has no EC header that checks out", peb));
            ++r.corrupt;
            return;
        }
        noteEc(*ech, r);
        if (ech->vidHdrOffset != g_.vidHdrOffset || ech->dataOffset != g_.dataOffset) {
            damaged(msg("PEB %1 places its headers at other offsets (VID %2, data %3)", peb,
                        ech->vidHdrOffset, ech->dataOffset));
            ++r.foreign;
            return;
        }
        const uint64_t vidAt = base + g_.vidHdrOffset;
        if (vidAt > src_.size() || src_.size() - vidAt < vid::kSize) {
            damaged(msg("PEB %1 is cut short before its VID header ends", peb));
            ++r.corrupt;
            return;
        }
        std::byte vh[vid::kSize];
        src_.readThrough(vidAt, MutableByteSpan(vh, vid::kSize));
        if (erased(vh, vid::kSize)) {
            ++r.free;
            return;
        }
        const std::optional<VidHeader> v = loadVidHeader(vh);
        if (!v) {
            damaged(msg("PEB %1 has a VID header that does not check out", peb));
            ++r.corrupt;
            return;
        }
        if (v->volId == kFastmapSbVolumeId || v->volId == kFastmapDataVolumeId) {
            ++r.fastmap;
            return;
        }
        if (v->volId >= kMaxVolumes && v->volId != kLayoutVolumeId) {
            damaged(msg("PEB %1 belongs to volume %2, which Korvane does not know; it is left out",
                        peb, v->volId));
            ++r.foreign;
            return;
        }
        if ((v->volType != kDynamic && v->volType != kStatic) || v->lnum > kMaxLnum ||
            v->dataSize > g_.lebSize() || v->dataPad >= g_.lebSize()) {
            damaged(msg("PEB %1 has a VID header whose fields make no sense (volume %2, LEB %3)",
                        peb, v->volId, v->lnum));
            ++r.corrupt;
            return;
        }
        ++r.used;
        MappedLeb l;
        l.volId = v->volId;
        l.lnum = v->lnum;
        l.peb = peb;
        l.volType = v->volType;
        l.dataSize = v->dataSize;
        l.usedEbs = v->usedEbs;
        l.dataPad = v->dataPad;
        l.dataCrc = v->dataCrc;
        l.sqnum = v->sqnum;
        l.copyFlag = v->copyFlag;
        copies_.push_back(l);
    }

    // The newest copy of every LEB wins, unless it is a wear-levelling copy
    // whose data CRC fails: the copy was cut off, and the older one holds
    // the data.
    void resolve(ScanResult& r) {
        std::sort(copies_.begin(), copies_.end(), [](const MappedLeb& a, const MappedLeb& b) {
            if (a.volId != b.volId)
                return a.volId < b.volId;
            if (a.lnum != b.lnum)
                return a.lnum < b.lnum;
            return a.sqnum > b.sqnum;
        });
        for (size_t i = 0; i < copies_.size();) {
            size_t end = i + 1;
            while (end < copies_.size() && copies_[end].volId == copies_[i].volId &&
                   copies_[end].lnum == copies_[i].lnum)
                ++end;
            size_t pick = i;
            if (end - i > 1) {
                if (copies_[i].sqnum == copies_[i + 1].sqnum)
                    warn_(msg("LEB %1 of volume %2 is in PEBs %3 and %4 with the same sequence "
                              "number; PEB %3 is read",
                              copies_[i].lnum, copies_[i].volId, copies_[i].peb,
                              copies_[i + 1].peb));
                if (copies_[i].copyFlag && !lebDataCrcOk(src_, g_, copies_[i])) {
                    pick = i + 1;
                    warn_(msg("LEB %1 of volume %2: the copy in PEB %3 was cut short; the older "
                              "one in PEB %4 is read",
                              copies_[i].lnum, copies_[i].volId, copies_[i].peb,
                              copies_[pick].peb));
                }
                r.stale += end - i - 1;
            }
            r.lebs.push_back(copies_[pick]);
            i = end;
        }
        copies_.clear();
        copies_.shrink_to_fit();
    }

    void finish() {
        if (damage_ > kDamageNamed)
            warn_(msg("%1 more damaged PEBs are not named", damage_ - kDamageNamed));
    }

private:
    void damaged(Message m) {
        if (++damage_ <= kDamageNamed)
            warn_(std::move(m));
    }

    void noteEc(const EcHeader& h, ScanResult& r) {
        if (r.ecCount == 0) {
            r.ecMin = r.ecMax = h.eraseCount;
            r.imageSeq = h.imageSeq;
            r.version = h.version;
        }
        r.ecMin = std::min(r.ecMin, h.eraseCount);
        r.ecMax = std::max(r.ecMax, h.eraseCount);
        r.ecSum += h.eraseCount;
        ++r.ecCount;
        if (h.imageSeq != r.imageSeq)
            ++r.seqMismatch;
    }

    const ImageSource& src_;
    const Geometry& g_;
    const std::function<void(Message)>& warn_;
    std::vector<MappedLeb> copies_;
    uint64_t damage_ = 0;
};

} // namespace

const std::vector<uint32_t>& pebSizeCandidates() {
    static const std::vector<uint32_t> sizes = [] {
        std::vector<uint32_t> v;
        for (uint32_t s = 4096; s <= (16u << 20); s *= 2) {
            v.push_back(s);
            if (s * 3 <= (16u << 20))
                v.push_back(s * 3);
        }
        std::sort(v.begin(), v.end());
        return v;
    }();
    return sizes;
}

std::optional<Geometry> findGeometry(const ImageSource& src, const EcHeader& first, Message* why) {
    if (!offsetsUsable(first)) {
        if (why)
            *why = msg("the EC header at byte 0 places the VID header at %1 and the data at %2, "
                       "which cannot both be right",
                       first.vidHdrOffset, first.dataOffset);
        return std::nullopt;
    }
    const uint64_t size = src.size();
    for (uint32_t p : pebSizeCandidates()) {
        if (p <= first.dataOffset)
            continue;
        if (p >= size)
            break;
        const std::optional<EcHeader> next = ecAt(src, p);
        if (next && next->vidHdrOffset == first.vidHdrOffset &&
            next->dataOffset == first.dataOffset) {
            Geometry g;
            g.pebSize = p;
            g.vidHdrOffset = first.vidHdrOffset;
            g.dataOffset = first.dataOffset;
            g.pebCount = (size + p - 1) / p;
            return g;
        }
    }
    if (why)
        *why = msg("no second EC header with the same offsets at any PEB size from %1 to %2 "
                   "bytes",
                   pebSizeCandidates().front(), pebSizeCandidates().back());
    return std::nullopt;
}

ScanResult scanPebs(const ImageSource& src, const Geometry& g,
                    const std::function<void(Message)>& warn,
                    const std::function<bool(uint64_t, uint64_t)>& progress) {
    ScanResult r;
    r.geometry = g;
    Scanner s(src, g, warn);
    for (uint64_t peb = 0; peb < g.pebCount; ++peb) {
        if ((peb & 255) == 0 && !progress(peb, g.pebCount))
            throw Error("cancelled");
        s.scanPeb(peb, r);
    }
    s.resolve(r);
    s.finish();
    if (src.size() % g.pebSize != 0)
        warn(msg("the image ends %1 bytes into PEB %2; what that PEB lacks reads as zeros",
                 src.size() % g.pebSize, g.pebCount - 1));
    if (r.seqMismatch)
        warn(msg("%1 PEBs carry another image sequence number than PEB 0 (%2): the image may "
                 "mix two flashings",
                 r.seqMismatch, r.imageSeq));
    return r;
}

bool lebDataCrcOk(const ImageSource& src, const Geometry& g, const MappedLeb& l) {
    const uint64_t at = l.peb * g.pebSize + g.dataOffset;
    if (at > src.size() || src.size() - at < l.dataSize)
        return false;
    uint32_t crc = kUbiCrcSeed;
    Bytes buf(std::min<size_t>(l.dataSize, 64u << 10));
    for (uint64_t done = 0; done < l.dataSize;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), l.dataSize - done));
        src.readThrough(at + done, MutableByteSpan(buf.data(), n));
        crc = ubiCrc32(crc, ByteSpan(buf.data(), n));
        done += n;
    }
    return crc == l.dataCrc;
}

} // namespace korvane::ubi
