#include "codec.h"

#include "model/error.h"

#include <cstring>

namespace korvane::erofs {

const char* algorithmName(uint8_t alg) {
    switch (alg) {
    case kAlgLz4:
        return "lz4";
    case kAlgLzma:
        return "lzma";
    case kAlgDeflate:
        return "deflate";
    case kAlgZstd:
        return "zstd";
    default:
        return "unknown";
    }
}

bool canDecode(uint8_t alg) {
    return alg == kAlgLz4 || alg == kAlgLzma || alg == kAlgDeflate || alg == kAlgShifted ||
           alg == kAlgInterlaced;
}

void decodeCluster(const DecodeRequest& r, ByteSpan in, MutableByteSpan out) {
    if (r.alg == kAlgShifted || r.alg == kAlgInterlaced) {
        if (out.size() > in.size())
            throw Error(msg("a stored cluster of %1 bytes cannot hold an extent of %2", in.size(),
                            out.size()));
        if (r.alg == kAlgShifted) {
            std::memcpy(out.data(), in.data(), out.size());
            return;
        }
        // Interlaced: the extent starts where its offset in a block falls
        // and wraps around to the cluster's start.
        const size_t skip = static_cast<size_t>(r.la % r.blockSize) % in.size();
        const size_t right = std::min(in.size() - skip, out.size());
        std::memcpy(out.data(), in.data() + skip, right);
        std::memcpy(out.data() + right, in.data(), out.size() - right);
        return;
    }
    size_t margin = 0;
    if (r.zeroPadding || r.alg != kAlgLz4)
        while (margin < in.size() && in[margin] == std::byte{0})
            ++margin;
    if (margin >= in.size())
        throw Error(msg("a %1 cluster holds only zeros", algorithmName(r.alg)));
    const ByteSpan data = in.subspan(margin);
    bool ok = false;
    switch (r.alg) {
    case kAlgLz4:
        ok = lz4DecodePartial(data, out) == static_cast<int>(out.size());
        break;
    case kAlgLzma:
        ok = lzmaDecode(data, out, r.partial);
        break;
    case kAlgDeflate:
        ok = deflateDecode(data, out, r.partial);
        break;
    default:
        throw Error(
            msg("an extent compressed with %1, which Korvane does not read", algorithmName(r.alg)));
    }
    if (!ok)
        throw Error(
            msg("a %1 cluster does not decode to its %2 bytes", algorithmName(r.alg), out.size()));
}

} // namespace korvane::erofs
