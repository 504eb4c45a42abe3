// Compression of inode node data. Reading takes every kind the kernel
// writes: zlib and LZO through their libraries, rtime (a tiny run-length
// scheme of JFFS2's own, with no library), holes and stored data. Writing
// makes zlib, LZO or stored data.
#pragma once

#include "jffs2_format.h"
#include "model/bytes.h"

#include <memory>
#include <string>

namespace korvane::jffs2 {

enum class Decompressed : uint8_t {
    kOk,
    kDamaged,     // the bytes do not decompress to the size the node gives
    kUnsupported, // a kind Korvane does not read (rubin, copy, unknown)
};

// Decompresses a node's data (in, csize bytes) into out (dsize bytes).
Decompressed decompress(uint8_t compr, ByteSpan in, MutableByteSpan out);

// "zlib", "lzo", "rtime", ..., or the number for kinds without a name.
std::string comprName(uint8_t compr);
// Whether Korvane writes this kind.
bool writable(uint8_t compr);

// One worker's compressor: keeps its library state from one page to the
// next. Not shared between threads.
class Compressor {
public:
    // compr is kComprZlib, kComprLzo or kComprNone.
    explicit Compressor(uint8_t compr);
    ~Compressor();
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;

    uint8_t kind() const { return compr_; }
    // Compresses in into out; false (out undefined) when the result is not
    // smaller than in, or the kind is kComprNone: store the data as it is.
    bool compress(ByteSpan in, Bytes& out);

private:
    struct Zlib;
    uint8_t compr_;
    std::unique_ptr<Zlib> zlib_;
    Bytes lzoWork_;
};

// rtime, implemented by hand: no library provides it.
Decompressed rtimeDecompress(ByteSpan in, MutableByteSpan out);

} // namespace korvane::jffs2
