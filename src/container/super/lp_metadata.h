// The metadata of a super image as plain values, and the one routine each
// that reads it from bytes (checking its checksums and bounds) and writes it
// back, checksums set. Reading and writing share the field offsets of
// super_format.h and the checksum routines below.
#pragma once

#include "model/bytes.h"
#include "model/image_source.h"
#include "model/message.h"
#include "super_format.h"

#include <optional>
#include <string>
#include <vector>

namespace korvane::lp {

// Copies larger than this are refused: real devices use 64 KiB to 1 MiB, and
// a hostile geometry must not make the reader allocate what it claims.
constexpr uint32_t kMaxMetadataSize = 4u << 20;
constexpr uint32_t kMaxSlots = 16;

struct Geometry {
    uint32_t metadataMaxSize = 65536;
    uint32_t slotCount = 2;
    uint32_t logicalBlockSize = 4096;
};

struct Partition {
    std::string name;
    uint32_t attributes = 0;
    uint32_t firstExtent = 0;
    uint32_t numExtents = 0;
    uint32_t group = 0;
};

struct Extent {
    uint64_t sectors = 0;
    uint32_t type = ext::kLinear;
    uint64_t targetData = 0; // first sector on the device (linear)
    uint32_t targetSource = 0;
};

struct Group {
    std::string name;
    uint32_t flags = 0;
    uint64_t maximumSize = 0; // 0: no maximum
};

struct BlockDevice {
    uint64_t firstLogicalSector = 0;
    uint32_t alignment = 0;
    uint32_t alignmentOffset = 0;
    uint64_t size = 0;
    std::string name;
    uint32_t flags = 0;
};

struct Metadata {
    uint16_t major = kMajorVersion;
    uint16_t minor = 0;
    uint32_t flags = 0; // header flags (10.2 on)
    std::vector<Partition> partitions;
    std::vector<Extent> extents;
    std::vector<Group> groups;
    std::vector<BlockDevice> devices;

    // The extents of partition p (empty when it has none).
    std::vector<Extent> extentsOf(const Partition& p) const;
    // The bytes partition p holds: its extents' sectors.
    uint64_t sizeOf(const Partition& p) const;
};

// The geometry in block (at least geo::kSize bytes), or nullopt with the
// reason in why.
std::optional<Geometry> parseGeometry(ByteSpan block, Message* why);
// The geometry block as written (kGeometrySize bytes), checksum set.
Bytes serializeGeometry(const Geometry& g);

// The copy of the metadata at offset of src, or nullopt with the reason in
// why: a wrong magic or version, a checksum that does not match, tables out
// of bounds, entries that point outside their tables.
std::optional<Metadata> readMetadata(const ImageSource& src, uint64_t offset, const Geometry& g,
                                     Message* why);
// Header and tables as written, checksums set. The header is the expanded
// one from minor version 2 on.
Bytes serializeMetadata(const Metadata& m);

// "readonly, slot-suffixed" for attribute bits (unknown bits as hex).
std::string attributeText(uint32_t attributes);

// A name field: bytes up to the first zero, at most 36.
std::string nameField(const std::byte* p);

} // namespace korvane::lp
