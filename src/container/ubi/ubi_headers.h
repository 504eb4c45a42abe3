// The three UBI records decoded, checked and (for images made by the tests)
// sealed with their CRC: the erase-counter header, the volume identifier
// header and a volume table record. One CRC routine per record serves both.
#pragma once

#include "model/bytes.h"

#include <cstdint>
#include <optional>
#include <string>

namespace korvane::ubi {

struct EcHeader {
    uint8_t version = 0;
    uint64_t eraseCount = 0;
    uint32_t vidHdrOffset = 0;
    uint32_t dataOffset = 0;
    uint32_t imageSeq = 0;
};

struct VidHeader {
    uint8_t version = 0;
    uint8_t volType = 0;
    bool copyFlag = false;
    uint8_t compat = 0;
    uint32_t volId = 0;
    uint32_t lnum = 0;
    uint32_t dataSize = 0;
    uint32_t usedEbs = 0;
    uint32_t dataPad = 0;
    uint32_t dataCrc = 0;
    uint64_t sqnum = 0;
};

struct VolumeRecord {
    uint32_t reservedPebs = 0;
    uint32_t alignment = 0;
    uint32_t dataPad = 0;
    uint8_t volType = 0;
    bool updMarker = false;
    std::string name; // the stored bytes, name_len of them
    uint8_t flags = 0;
};

// The CRC a record's last four bytes should hold: over the rest of it.
uint32_t ecHeaderCrc(const std::byte* hdr);
uint32_t vidHeaderCrc(const std::byte* hdr);
uint32_t volumeRecordCrc(const std::byte* rec);

// The header at hdr (ec::kSize / vid::kSize bytes) when its magic and CRC
// check out, otherwise nothing.
std::optional<EcHeader> loadEcHeader(const std::byte* hdr);
std::optional<VidHeader> loadVidHeader(const std::byte* hdr);
// A record (vtbl::kSize bytes) whose CRC checks out; nothing otherwise. An
// empty slot decodes with reservedPebs == 0.
std::optional<VolumeRecord> loadVolumeRecord(const std::byte* rec);

// Writes the header or record and its CRC.
void storeEcHeader(std::byte* hdr, const EcHeader& h);
void storeVidHeader(std::byte* hdr, const VidHeader& h);
void storeVolumeRecord(std::byte* rec, const VolumeRecord& r);

// Whether all n bytes are FF: an erased stretch of flash.
bool erased(const std::byte* p, size_t n);

} // namespace korvane::ubi
