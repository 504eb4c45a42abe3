// zlib: raw DEFLATE clusters.
#include "codec.h"

#include <climits>
#include <zlib.h>

namespace korvane::erofs {

bool deflateDecode(ByteSpan in, MutableByteSpan out, bool partial) {
    if (in.size() > UINT_MAX || out.size() > UINT_MAX)
        return false;
    z_stream strm{};
    if (inflateInit2(&strm, -15) != Z_OK)
        return false;
    strm.next_in = const_cast<Bytef*>(reinterpret_cast<const Bytef*>(in.data()));
    strm.avail_in = static_cast<uInt>(in.size());
    strm.next_out = reinterpret_cast<Bytef*>(out.data());
    strm.avail_out = static_cast<uInt>(out.size());
    const int r = inflate(&strm, partial ? Z_SYNC_FLUSH : Z_FINISH);
    const bool full = strm.avail_out == 0;
    inflateEnd(&strm);
    return full && (r == Z_STREAM_END || (partial && (r == Z_OK || r == Z_BUF_ERROR)));
}

} // namespace korvane::erofs
