// Decoding and encoding of EROFS physical clusters through the Debian
// libraries: LZ4 (liblz4), MicroLZMA (liblzma) and raw DEFLATE (zlib); and
// the two stored forms of clusters kept uncompressed (shifted, interlaced).
#pragma once

#include "erofs_format.h"
#include "model/bytes.h"

#include <memory>

namespace korvane::erofs {

struct DecodeRequest {
    uint8_t alg = kAlgLz4;
    // The extent's bytes may be a prefix of what the cluster holds
    // (deduplicated clusters): decoding stops when out is full.
    bool partial = false;
    // Compressed data ends at the cluster's end, after leading zeros.
    bool zeroPadding = true;
    uint32_t blockSize = 4096;
    uint64_t la = 0; // where the extent starts in the file (interlaced clusters)
};

// Decodes cluster in into out (the whole extent, out.size() bytes). Throws
// Error (with a message naming the algorithm) when the data does not decode
// to that many bytes.
void decodeCluster(const DecodeRequest& r, ByteSpan in, MutableByteSpan out);

// Whether this build decodes alg.
bool canDecode(uint8_t alg);
// "lz4", "lzma", "deflate", "zstd"
const char* algorithmName(uint8_t alg);

// Library calls, one file per library.
int lz4DecodePartial(ByteSpan in, MutableByteSpan out);
bool lzmaDecode(ByteSpan in, MutableByteSpan out, bool partial);
bool deflateDecode(ByteSpan in, MutableByteSpan out, bool partial);

// Fills a cluster of at most dstCapacity bytes from the front of src: how
// much of src went in (srcTaken) and the encoded size. One encoder per
// thread (it keeps its state between calls).
class Lz4Encoder {
public:
    // level 0: LZ4 (fast); 1 to 12: LZ4HC at that level.
    explicit Lz4Encoder(int level);
    ~Lz4Encoder();
    Lz4Encoder(const Lz4Encoder&) = delete;
    Lz4Encoder& operator=(const Lz4Encoder&) = delete;
    size_t encodeDestSize(ByteSpan src, size_t* srcTaken, std::byte* dst, size_t dstCapacity);

private:
    int level_;
    std::unique_ptr<std::byte[]> state_;
};

} // namespace korvane::erofs
