#include "ubi_headers.h"

#include "ubi_crc.h"
#include "ubi_format.h"

#include <algorithm>
#include <cstring>

namespace korvane::ubi {

namespace {

uint32_t crcBefore(const std::byte* p, size_t crcAt) {
    return ubiCrc32(ByteSpan(p, crcAt));
}

} // namespace

uint32_t ecHeaderCrc(const std::byte* hdr) {
    return crcBefore(hdr, ec::kHdrCrc);
}

uint32_t vidHeaderCrc(const std::byte* hdr) {
    return crcBefore(hdr, vid::kHdrCrc);
}

uint32_t volumeRecordCrc(const std::byte* rec) {
    return crcBefore(rec, vtbl::kCrc);
}

std::optional<EcHeader> loadEcHeader(const std::byte* hdr) {
    if (load32be(hdr + ec::kMagic) != kEcMagic || load32be(hdr + ec::kHdrCrc) != ecHeaderCrc(hdr))
        return std::nullopt;
    EcHeader h;
    h.version = std::to_integer<uint8_t>(hdr[ec::kVersion]);
    h.eraseCount = load64be(hdr + ec::kEraseCount);
    h.vidHdrOffset = load32be(hdr + ec::kVidHdrOffset);
    h.dataOffset = load32be(hdr + ec::kDataOffset);
    h.imageSeq = load32be(hdr + ec::kImageSeq);
    return h;
}

std::optional<VidHeader> loadVidHeader(const std::byte* hdr) {
    if (load32be(hdr + vid::kMagic) != kVidMagic ||
        load32be(hdr + vid::kHdrCrc) != vidHeaderCrc(hdr))
        return std::nullopt;
    VidHeader h;
    h.version = std::to_integer<uint8_t>(hdr[vid::kVersion]);
    h.volType = std::to_integer<uint8_t>(hdr[vid::kVolType]);
    h.copyFlag = hdr[vid::kCopyFlag] != std::byte{0};
    h.compat = std::to_integer<uint8_t>(hdr[vid::kCompat]);
    h.volId = load32be(hdr + vid::kVolId);
    h.lnum = load32be(hdr + vid::kLnum);
    h.dataSize = load32be(hdr + vid::kDataSize);
    h.usedEbs = load32be(hdr + vid::kUsedEbs);
    h.dataPad = load32be(hdr + vid::kDataPad);
    h.dataCrc = load32be(hdr + vid::kDataCrc);
    h.sqnum = load64be(hdr + vid::kSqnum);
    return h;
}

std::optional<VolumeRecord> loadVolumeRecord(const std::byte* rec) {
    if (load32be(rec + vtbl::kCrc) != volumeRecordCrc(rec))
        return std::nullopt;
    VolumeRecord r;
    r.reservedPebs = load32be(rec + vtbl::kReservedPebs);
    r.alignment = load32be(rec + vtbl::kAlignment);
    r.dataPad = load32be(rec + vtbl::kDataPad);
    r.volType = std::to_integer<uint8_t>(rec[vtbl::kVolType]);
    r.updMarker = rec[vtbl::kUpdMarker] != std::byte{0};
    const size_t len = std::min<size_t>(load16be(rec + vtbl::kNameLen), kMaxNameLen);
    r.name.assign(reinterpret_cast<const char*>(rec + vtbl::kName), len);
    r.flags = std::to_integer<uint8_t>(rec[vtbl::kFlags]);
    return r;
}

void storeEcHeader(std::byte* hdr, const EcHeader& h) {
    std::memset(hdr, 0, ec::kSize);
    store32be(hdr + ec::kMagic, kEcMagic);
    hdr[ec::kVersion] = std::byte{h.version};
    store64be(hdr + ec::kEraseCount, h.eraseCount);
    store32be(hdr + ec::kVidHdrOffset, h.vidHdrOffset);
    store32be(hdr + ec::kDataOffset, h.dataOffset);
    store32be(hdr + ec::kImageSeq, h.imageSeq);
    store32be(hdr + ec::kHdrCrc, ecHeaderCrc(hdr));
}

void storeVidHeader(std::byte* hdr, const VidHeader& h) {
    std::memset(hdr, 0, vid::kSize);
    store32be(hdr + vid::kMagic, kVidMagic);
    hdr[vid::kVersion] = std::byte{h.version};
    hdr[vid::kVolType] = std::byte{h.volType};
    hdr[vid::kCopyFlag] = std::byte{h.copyFlag ? uint8_t{1} : uint8_t{0}};
    hdr[vid::kCompat] = std::byte{h.compat};
    store32be(hdr + vid::kVolId, h.volId);
    store32be(hdr + vid::kLnum, h.lnum);
    store32be(hdr + vid::kDataSize, h.dataSize);
    store32be(hdr + vid::kUsedEbs, h.usedEbs);
    store32be(hdr + vid::kDataPad, h.dataPad);
    store32be(hdr + vid::kDataCrc, h.dataCrc);
    store64be(hdr + vid::kSqnum, h.sqnum);
    store32be(hdr + vid::kHdrCrc, vidHeaderCrc(hdr));
}

void storeVolumeRecord(std::byte* rec, const VolumeRecord& r) {
    std::memset(rec, 0, vtbl::kSize);
    store32be(rec + vtbl::kReservedPebs, r.reservedPebs);
    store32be(rec + vtbl::kAlignment, r.alignment);
    store32be(rec + vtbl::kDataPad, r.dataPad);
    rec[vtbl::kVolType] = std::byte{r.volType};
    rec[vtbl::kUpdMarker] = std::byte{r.updMarker ? uint8_t{1} : uint8_t{0}};
    const size_t len = std::min<size_t>(r.name.size(), kMaxNameLen);
    store16be(rec + vtbl::kNameLen, static_cast<uint16_t>(len));
    std::memcpy(rec + vtbl::kName, r.name.data(), len);
    rec[vtbl::kFlags] = std::byte{r.flags};
    store32be(rec + vtbl::kCrc, volumeRecordCrc(rec));
}

bool erased(const std::byte* p, size_t n) {
    return std::all_of(p, p + n, [](std::byte b) { return b == std::byte{0xFF}; });
}

} // namespace korvane::ubi
