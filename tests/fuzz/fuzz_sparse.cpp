// Android sparse images: the header and chunk checks, the CRC32 chunks, reads
// of the expanded image across chunk boundaries, and the filesystem inside it
// opened as opening the file opens it.
#include "source/sparse/sparse_source.h"
#include "fuzz_support.h"
#include "model/error.h"
#include "source/image_data.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using namespace korvane;
using korvane::fuzz::kPieceSize;

[[noreturn]] void broken(uint64_t at, const char* what) {
    std::fprintf(stderr, "fuzz: expanded byte %llu: %s\n", static_cast<unsigned long long>(at),
                 what);
    std::abort();
}

// A piece of the expanded image read at once equals it read in two parts and
// the memory contiguous() hands out for it; past the end there are zeros. The
// head, where a filesystem keeps its metadata, is read whole, the rest at
// spread-out places.
void checkSource(const ImageSource& src) {
    const uint64_t size = src.size();
    Bytes whole(kPieceSize), parts(kPieceSize);
    const uint64_t stride = std::max<uint64_t>(kPieceSize, size / 256);
    for (uint64_t at = 0, pieces = 0; at < size && pieces < 1024; ++pieces) {
        const auto n = static_cast<size_t>(std::min<uint64_t>(kPieceSize, size - at));
        const size_t split = static_cast<size_t>(at % n);
        src.read(at, MutableByteSpan(whole.data(), n));
        src.read(at, MutableByteSpan(parts.data(), split));
        src.read(at + split, MutableByteSpan(parts.data() + split, n - split));
        if (std::memcmp(whole.data(), parts.data(), n) != 0)
            broken(at, "a read in two parts gives other bytes than one read");
        if (const std::byte* p = src.contiguous(at, n); p && std::memcmp(p, whole.data(), n) != 0)
            broken(at, "contiguous() gives other bytes than read()");
        at += at < (1u << 20) ? n : stride;
    }
    const uint64_t tail = size - std::min<uint64_t>(size, 10);
    src.read(tail, MutableByteSpan(whole));
    if (std::any_of(whole.begin() + static_cast<ptrdiff_t>(size - tail), whole.end(),
                    [](std::byte b) { return b != std::byte{0}; }))
        broken(size, "bytes past the end do not read as zeros");
}

} // namespace

int korvaneFuzzOne(const uint8_t* data, size_t size) {
    const ByteSpan bytes(reinterpret_cast<const std::byte*>(data), size);
    // Other inputs open as plain images: the other harnesses' work.
    if (size < 4 || size > fuzz::kMaxInput || bidSparse(bytes) == 0)
        return 0;
    try {
        checkSource(*openSparse(ImageData::fromBytes(Bytes(bytes.begin(), bytes.end()))));
    } catch (const Error&) {
        return 0; // a header that does not check out
    }
    if (std::unique_ptr<Timg> img = fuzz::openAny(data, size))
        fuzz::readEverything(*img);
    return 0;
}
