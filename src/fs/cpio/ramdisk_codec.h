// The compressions a ramdisk comes in (gzip, LZ4 in its legacy framing as the
// kernel unpacks it, the LZ4 frame format, none), told by their magic, and
// the streams that undo and redo them. Decompression goes through
// libarchive's filters; LZ4 legacy framing is written with liblz4, since
// libarchive writes only LZ4 frames.
#pragma once

#include "model/bytes.h"
#include "model/image_source.h"
#include "model/message.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct archive;

namespace korvane::cpio {

enum class Compression : uint8_t { kNone, kGzip, kLz4Legacy, kLz4Frame };

// What the first bytes say; kNone for anything without a known magic.
Compression compressionOf(ByteSpan head);
// "gzip", "lz4-legacy", "lz4", "none": the values of --ramdisk-compression.
const char* compressionName(Compression c);
// The compression named; false for a name that is none of them.
bool compressionNamed(const std::string& name, Compression& c);

// The bytes packed holds once c is undone, in an unlinked temporary file;
// at most limit bytes (the rest is left out and noted in problems). A
// stream that ends early or is damaged keeps what came before it, noted in
// problems. Throws Error when nothing at all can be read, or when cancel is
// set.
std::shared_ptr<const ImageSource> unpack(const ImageSource& packed, Compression c, uint64_t limit,
                                          std::vector<Message>& problems,
                                          const std::atomic<int>* cancel);

// Where compressed bytes go: a sink that compresses what it is given and
// passes the result to write.
class Packer {
public:
    using WriteFn = std::function<void(ByteSpan)>;
    virtual ~Packer() = default;
    virtual void add(ByteSpan bytes) = 0;
    // Writes what is pending; the stream is complete afterwards.
    virtual void finish() = 0;
};

// The packer of legacy LZ4 framing, 8 MiB blocks compressed by liblz4 at
// the level `lz4 -l -12` uses, as the kernel unpacks them.
std::unique_ptr<Packer> lz4LegacyPacker(Packer::WriteFn write);

// Adds libarchive's write filter for c to a (none for kNone and
// kLz4Legacy, which lz4LegacyPacker does). Returns libarchive's status.
int addWriteFilter(struct archive* a, Compression c);

} // namespace korvane::cpio
