// liblzma: MicroLZMA clusters (a raw LZMA1 stream whose first byte stands in
// for the properties).
#include "codec.h"

#include <lzma.h>

namespace korvane::erofs {

bool lzmaDecode(ByteSpan in, MutableByteSpan out, bool partial) {
    constexpr uint32_t kMaxDict = 8 * kPclusterMaxSize;
    lzma_stream strm = LZMA_STREAM_INIT;
    if (lzma_microlzma_decoder(&strm, in.size(), out.size(), !partial, kMaxDict) != LZMA_OK)
        return false;
    strm.next_in = reinterpret_cast<const uint8_t*>(in.data());
    strm.avail_in = in.size();
    strm.next_out = reinterpret_cast<uint8_t*>(out.data());
    strm.avail_out = out.size();
    const lzma_ret r = lzma_code(&strm, LZMA_FINISH);
    const bool ok = r == LZMA_STREAM_END && strm.avail_out == 0;
    lzma_end(&strm);
    return ok;
}

} // namespace korvane::erofs
