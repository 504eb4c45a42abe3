#include "ubifs_compress.h"

#include "ubifs_format.h"

#include <cstring>
#include <lzo/lzo1x.h>
#include <memory>
#include <zlib.h>
#include <zstd.h>

namespace korvane::ubifs {

namespace {

bool lzoReady() {
    static const bool ready = lzo_init() == LZO_E_OK;
    return ready;
}

bool unlzo(ByteSpan in, MutableByteSpan out, size_t& produced) {
    if (!lzoReady())
        return false;
    lzo_uint n = out.size();
    const int rc =
        lzo1x_decompress_safe(reinterpret_cast<const unsigned char*>(in.data()), in.size(),
                              reinterpret_cast<unsigned char*>(out.data()), &n, nullptr);
    produced = n;
    return rc == LZO_E_OK;
}

// The kernel's deflate: raw streams, no zlib header. One inflater a thread,
// reset between blocks, saves setting up its window for every block.
struct Inflater {
    z_stream s{};
    bool ready = false;
    Inflater() { ready = inflateInit2(&s, -MAX_WBITS) == Z_OK; }
    ~Inflater() {
        if (ready)
            inflateEnd(&s);
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
};

bool unzlib(ByteSpan in, MutableByteSpan out, size_t& produced) {
    thread_local Inflater inf;
    if (!inf.ready || inflateReset(&inf.s) != Z_OK)
        return false;
    inf.s.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(in.data()));
    inf.s.avail_in = static_cast<uInt>(in.size());
    inf.s.next_out = reinterpret_cast<Bytef*>(out.data());
    inf.s.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&inf.s, Z_FINISH);
    produced = out.size() - inf.s.avail_out;
    return rc == Z_STREAM_END;
}

struct ZstdContext {
    ZSTD_DCtx* ctx = ZSTD_createDCtx();
    ~ZstdContext() { ZSTD_freeDCtx(ctx); }
};

bool unzstd(ByteSpan in, MutableByteSpan out, size_t& produced) {
    thread_local ZstdContext z;
    if (!z.ctx)
        return false;
    const size_t rc = ZSTD_decompressDCtx(z.ctx, out.data(), out.size(), in.data(), in.size());
    if (ZSTD_isError(rc))
        return false;
    produced = rc;
    return true;
}

} // namespace

bool decompressBlock(uint16_t type, ByteSpan in, MutableByteSpan out, Message* why) {
    size_t produced = 0;
    bool ok = false;
    switch (type) {
    case kComprNone:
        ok = in.size() == out.size();
        if (ok)
            std::memcpy(out.data(), in.data(), in.size());
        produced = in.size();
        break;
    case kComprLzo:
        ok = unlzo(in, out, produced);
        break;
    case kComprZlib:
        ok = unzlib(in, out, produced);
        break;
    case kComprZstd:
        ok = unzstd(in, out, produced);
        break;
    default:
        if (why)
            *why = msg("compression type %1 is unknown", type);
        return false;
    }
    if (ok && produced == out.size())
        return true;
    if (why)
        *why =
            type == kComprNone
                ? msg("the node holds %1 bytes of uncompressed data, not %2", in.size(), out.size())
                : msg("%1 bytes compressed with %2 do not decompress to the %3 bytes the "
                      "node claims",
                      in.size(),
                      type == kComprLzo    ? "LZO"
                      : type == kComprZlib ? "zlib"
                                           : "zstd",
                      out.size());
    return false;
}

} // namespace korvane::ubifs
