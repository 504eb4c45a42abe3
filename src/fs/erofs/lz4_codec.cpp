// liblz4: decoding clusters, and filling clusters for the writer.
#include "codec.h"

#include <climits>
#include <lz4.h>
#include <lz4hc.h>

namespace korvane::erofs {

int lz4DecodePartial(ByteSpan in, MutableByteSpan out) {
    if (in.size() > INT_MAX || out.size() > INT_MAX)
        return -1;
    // Partial decoding stops once out is full: a cluster written without
    // zero padding may carry bytes after its stream.
    return LZ4_decompress_safe_partial(
        reinterpret_cast<const char*>(in.data()), reinterpret_cast<char*>(out.data()),
        static_cast<int>(in.size()), static_cast<int>(out.size()), static_cast<int>(out.size()));
}

Lz4Encoder::Lz4Encoder(int level)
    : level_(level),
      state_(
          new std::byte[static_cast<size_t>(level > 0 ? LZ4_sizeofStateHC() : LZ4_sizeofState())]) {
}

Lz4Encoder::~Lz4Encoder() = default;

size_t Lz4Encoder::encodeDestSize(ByteSpan src, size_t* srcTaken, std::byte* dst,
                                  size_t dstCapacity) {
    int taken = static_cast<int>(std::min<size_t>(src.size(), INT_MAX / 2));
    int n;
    if (level_ > 0) {
        n = LZ4_compress_HC_destSize(state_.get(), reinterpret_cast<const char*>(src.data()),
                                     reinterpret_cast<char*>(dst), &taken,
                                     static_cast<int>(dstCapacity), level_);
    } else {
        // The fast encoder keeps no state between calls beyond what
        // LZ4_compress_destSize sets up itself.
        n = LZ4_compress_destSize(reinterpret_cast<const char*>(src.data()),
                                  reinterpret_cast<char*>(dst), &taken,
                                  static_cast<int>(dstCapacity));
    }
    *srcTaken = n > 0 ? static_cast<size_t>(taken) : 0;
    return n > 0 ? static_cast<size_t>(n) : 0;
}

} // namespace korvane::erofs
