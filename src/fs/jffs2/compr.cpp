#include "compr.h"

#include "model/error.h"

#include <cstring>
#include <lzo/lzo1x.h>
#include <mutex>
#include <zlib.h>

namespace korvane::jffs2 {

namespace {

// Pages are small: a 4 KiB window holds a whole page, and a small hash table
// is cleared quickly between pages, which is what costs most on pages of 4
// KiB. The level is mkfs.jffs2's.
constexpr int kZlibLevel = 3;
constexpr int kZlibWindowBits = 12;
constexpr int kZlibMemLevel = 6;

void initLzo() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (lzo_init() != LZO_E_OK)
            throw Error("the LZO library cannot be used");
    });
}

// A stream inflated raw after its 2-byte zlib header, as the kernel does:
// the Adler-32 at its end is not checked, so streams cut after their last
// block still read.
Decompressed inflateNode(ByteSpan in, MutableByteSpan out) {
    struct Stream {
        z_stream s{};
        bool ready = false;
        ~Stream() {
            if (ready)
                inflateEnd(&s);
        }
    };
    thread_local Stream st;
    if (in.size() < 2)
        return Decompressed::kDamaged;
    const unsigned b0 = std::to_integer<unsigned>(in[0]), b1 = std::to_integer<unsigned>(in[1]);
    const bool header = (b0 & 0x0F) == Z_DEFLATED && (b0 * 256 + b1) % 31 == 0 && !(b1 & 0x20);
    if (!header)
        return Decompressed::kDamaged;
    const int wbits = static_cast<int>(b0 >> 4) + 8;
    if (wbits > 15)
        return Decompressed::kDamaged;
    if (!st.ready) {
        if (inflateInit2(&st.s, -15) != Z_OK)
            throw Error("the zlib library cannot be used");
        st.ready = true;
    }
    if (inflateReset2(&st.s, -wbits) != Z_OK)
        return Decompressed::kDamaged;
    st.s.next_in = const_cast<Bytef*>(reinterpret_cast<const Bytef*>(in.data() + 2));
    st.s.avail_in = static_cast<uInt>(in.size() - 2);
    st.s.next_out = reinterpret_cast<Bytef*>(out.data());
    st.s.avail_out = static_cast<uInt>(out.size());
    int r = Z_OK;
    while (r == Z_OK && st.s.avail_out > 0)
        r = inflate(&st.s, Z_SYNC_FLUSH);
    if (r != Z_OK && r != Z_STREAM_END && r != Z_BUF_ERROR)
        return Decompressed::kDamaged;
    return st.s.avail_out == 0 ? Decompressed::kOk : Decompressed::kDamaged;
}

Decompressed lzoDecompress(ByteSpan in, MutableByteSpan out) {
    initLzo();
    lzo_uint got = out.size();
    const int r =
        lzo1x_decompress_safe(reinterpret_cast<const unsigned char*>(in.data()), in.size(),
                              reinterpret_cast<unsigned char*>(out.data()), &got, nullptr);
    return r == LZO_E_OK && got == out.size() ? Decompressed::kOk : Decompressed::kDamaged;
}

} // namespace

Decompressed rtimeDecompress(ByteSpan in, MutableByteSpan out) {
    // Each step copies a byte and then repeats, from where that byte value
    // was last copied, the count of bytes the next input byte gives.
    uint32_t last[256] = {};
    size_t pos = 0, at = 0;
    const size_t n = out.size();
    while (at < n) {
        if (pos + 2 > in.size())
            return Decompressed::kDamaged;
        const auto value = std::to_integer<uint8_t>(in[pos]);
        size_t repeat = std::to_integer<uint8_t>(in[pos + 1]);
        pos += 2;
        out[at++] = static_cast<std::byte>(value);
        size_t from = last[value];
        last[value] = static_cast<uint32_t>(at);
        if (repeat > n - at)
            return Decompressed::kDamaged;
        // The runs may overlap what they write, so byte by byte.
        while (repeat-- > 0)
            out[at++] = out[from++];
    }
    return Decompressed::kOk;
}

Decompressed decompress(uint8_t compr, ByteSpan in, MutableByteSpan out) {
    switch (compr) {
    case kComprNone:
        if (in.size() != out.size())
            return Decompressed::kDamaged;
        if (!in.empty()) // empty spans may hold null pointers, which memcpy does not take
            std::memcpy(out.data(), in.data(), in.size());
        return Decompressed::kOk;
    case kComprZero:
        if (!out.empty())
            std::memset(out.data(), 0, out.size());
        return Decompressed::kOk;
    case kComprZlib:
        return inflateNode(in, out);
    case kComprLzo:
        return lzoDecompress(in, out);
    case kComprRtime:
        return rtimeDecompress(in, out);
    default:
        return Decompressed::kUnsupported;
    }
}

std::string comprName(uint8_t compr) {
    switch (compr) {
    case kComprNone:
        return "none";
    case kComprZero:
        return "zero";
    case kComprRtime:
        return "rtime";
    case kComprRubinMips:
        return "rubinmips";
    case kComprCopy:
        return "copy";
    case kComprDynRubin:
        return "dynrubin";
    case kComprZlib:
        return "zlib";
    case kComprLzo:
        return "lzo";
    default:
        return std::to_string(compr);
    }
}

bool writable(uint8_t compr) {
    return compr == kComprNone || compr == kComprZlib || compr == kComprLzo;
}

struct Compressor::Zlib {
    z_stream s{};
    ~Zlib() { deflateEnd(&s); }
};

Compressor::Compressor(uint8_t compr) : compr_(compr) {
    if (compr_ == kComprZlib) {
        zlib_ = std::make_unique<Zlib>();
        if (deflateInit2(&zlib_->s, kZlibLevel, Z_DEFLATED, kZlibWindowBits, kZlibMemLevel,
                         Z_DEFAULT_STRATEGY) != Z_OK) {
            zlib_.reset();
            throw Error("the zlib library cannot be used");
        }
    } else if (compr_ == kComprLzo) {
        initLzo();
        lzoWork_.resize(LZO1X_1_MEM_COMPRESS);
    }
}

Compressor::~Compressor() = default;

bool Compressor::compress(ByteSpan in, Bytes& out) {
    if (in.empty())
        return false;
    if (compr_ == kComprZlib) {
        z_stream& s = zlib_->s;
        deflateReset(&s);
        // The output may be as large as the input and no larger.
        out.resize(in.size());
        s.next_in = const_cast<Bytef*>(reinterpret_cast<const Bytef*>(in.data()));
        s.avail_in = static_cast<uInt>(in.size());
        s.next_out = reinterpret_cast<Bytef*>(out.data());
        s.avail_out = static_cast<uInt>(out.size());
        if (deflate(&s, Z_FINISH) != Z_STREAM_END || s.total_out >= in.size())
            return false;
        out.resize(s.total_out);
        return true;
    }
    if (compr_ == kComprLzo) {
        out.resize(in.size() + in.size() / 16 + 64 + 3);
        lzo_uint got = 0;
        if (lzo1x_1_compress(reinterpret_cast<const unsigned char*>(in.data()), in.size(),
                             reinterpret_cast<unsigned char*>(out.data()), &got,
                             lzoWork_.data()) != LZO_E_OK ||
            got >= in.size())
            return false;
        out.resize(got);
        return true;
    }
    return false;
}

} // namespace korvane::jffs2
