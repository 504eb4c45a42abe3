// The Android sparse image format: a file header, then chunks that each stand
// for a run of blocks of the expanded image (raw bytes, a fill word, blocks
// not cared about, or a CRC32 of everything so far). Little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane::sparse {

constexpr uint32_t kMagic = 0xED26FF3A;
constexpr uint16_t kMajorVersion = 1;
constexpr size_t kFileHeaderSize = 28;
constexpr size_t kChunkHeaderSize = 12;

// File header field offsets.
namespace fh {
constexpr size_t kMagic = 0;
constexpr size_t kMajor = 4;
constexpr size_t kMinor = 6;
constexpr size_t kFileHeaderSize = 8;
constexpr size_t kChunkHeaderSize = 10;
constexpr size_t kBlockSize = 12;
constexpr size_t kTotalBlocks = 16;
constexpr size_t kTotalChunks = 20;
constexpr size_t kImageChecksum = 24;
} // namespace fh

// Chunk header field offsets.
namespace ch {
constexpr size_t kType = 0;
constexpr size_t kReserved = 2;
constexpr size_t kBlocks = 4;    // blocks of the expanded image
constexpr size_t kTotalSize = 8; // bytes in the sparse file, header included
} // namespace ch

enum ChunkType : uint16_t {
    kChunkRaw = 0xCAC1,
    kChunkFill = 0xCAC2,
    kChunkDontCare = 0xCAC3,
    kChunkCrc32 = 0xCAC4,
};

} // namespace korvane::sparse
