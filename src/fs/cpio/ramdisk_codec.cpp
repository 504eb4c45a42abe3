#include "ramdisk_codec.h"

#include "model/error.h"
#include "model/file_io.h"
#include "source/image_data.h"

#include <archive.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <lz4hc.h>
#include <unistd.h>

namespace korvane::cpio {

namespace {

constexpr uint32_t kLz4LegacyMagic = 0x184C2102;
constexpr uint32_t kLz4FrameMagic = 0x184D2204;
constexpr size_t kLz4LegacyBlock = 8u << 20;
constexpr int kLz4Level = 12;
constexpr size_t kReadChunk = 1u << 20;

struct ReadFree {
    void operator()(archive* a) const { archive_read_free(a); }
};

// libarchive reads the packed bytes through this, a chunk at a time.
struct SourceReader {
    const ImageSource& src;
    uint64_t pos = 0;
    Bytes buffer = Bytes(kReadChunk);

    static la_ssize_t read(archive*, void* self, const void** out) {
        auto* r = static_cast<SourceReader*>(self);
        const uint64_t size = r->src.size();
        if (r->pos >= size)
            return 0;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(r->buffer.size(), size - r->pos));
        r->src.readThrough(r->pos, MutableByteSpan(r->buffer.data(), n));
        r->pos += n;
        *out = r->buffer.data();
        return static_cast<la_ssize_t>(n);
    }
};

// An unlinked file the unpacked bytes go to.
class Spool {
public:
    Spool() {
        std::string path = temporaryFolder() + "/korvane-ramdisk-XXXXXX";
        fd_ = ::mkostemp(path.data(), O_CLOEXEC);
        if (fd_ < 0)
            throwSystemError(msg("cannot create a file in %1", temporaryFolder()), errno);
        path_ = path;
    }
    ~Spool() {
        if (fd_ >= 0)
            ::close(fd_);
        if (!path_.empty())
            ::unlink(path_.c_str());
    }
    void append(const void* data, size_t n) {
        const auto* p = static_cast<const char*>(data);
        while (n > 0) {
            const ssize_t w = ::write(fd_, p, n);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                throwSystemError(msg("cannot write %1", path_), w < 0 ? errno : ENOSPC);
            p += w;
            n -= static_cast<size_t>(w);
            size_ += static_cast<uint64_t>(w);
        }
    }
    uint64_t size() const { return size_; }
    // The bytes written, mapped; the file is gone once the mapping is.
    std::shared_ptr<const ImageSource> map() {
        if (size_ == 0)
            return ImageData::fromBytes({});
        std::shared_ptr<const ImageSource> data = ImageData::mapFile(path_);
        ::unlink(path_.c_str());
        path_.clear();
        return data;
    }

private:
    int fd_ = -1;
    std::string path_;
    uint64_t size_ = 0;
};

class Lz4LegacyPacker : public Packer {
public:
    explicit Lz4LegacyPacker(WriteFn write) : write_(std::move(write)) {
        std::byte magic[4];
        store32(magic, kLz4LegacyMagic);
        write_(ByteSpan(magic, 4));
        block_.reserve(kLz4LegacyBlock);
        packed_.resize(static_cast<size_t>(LZ4_compressBound(kLz4LegacyBlock)) + 4);
    }
    void add(ByteSpan bytes) override {
        while (!bytes.empty()) {
            const size_t n = std::min(bytes.size(), kLz4LegacyBlock - block_.size());
            block_.insert(block_.end(), bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(n));
            bytes = bytes.subspan(n);
            if (block_.size() == kLz4LegacyBlock)
                flush();
        }
    }
    void finish() override { flush(); }

private:
    void flush() {
        if (block_.empty())
            return;
        const int n = LZ4_compress_HC(reinterpret_cast<const char*>(block_.data()),
                                      reinterpret_cast<char*>(packed_.data() + 4),
                                      static_cast<int>(block_.size()),
                                      static_cast<int>(packed_.size() - 4), kLz4Level);
        if (n <= 0)
            throw Error("liblz4 could not compress a block of the ramdisk");
        store32(packed_.data(), static_cast<uint32_t>(n));
        write_(ByteSpan(packed_.data(), static_cast<size_t>(n) + 4));
        block_.clear();
    }

    WriteFn write_;
    Bytes block_;
    Bytes packed_;
};

} // namespace

Compression compressionOf(ByteSpan head) {
    if (head.size() >= 2 && head[0] == std::byte{0x1F} && head[1] == std::byte{0x8B})
        return Compression::kGzip;
    if (head.size() >= 4 && load32(head.data()) == kLz4LegacyMagic)
        return Compression::kLz4Legacy;
    if (head.size() >= 4 && load32(head.data()) == kLz4FrameMagic)
        return Compression::kLz4Frame;
    return Compression::kNone;
}

const char* compressionName(Compression c) {
    switch (c) {
    case Compression::kGzip:
        return "gzip";
    case Compression::kLz4Legacy:
        return "lz4-legacy";
    case Compression::kLz4Frame:
        return "lz4";
    case Compression::kNone:
        break;
    }
    return "none";
}

bool compressionNamed(const std::string& name, Compression& c) {
    for (Compression k :
         {Compression::kNone, Compression::kGzip, Compression::kLz4Legacy, Compression::kLz4Frame})
        if (name == compressionName(k)) {
            c = k;
            return true;
        }
    return false;
}

std::shared_ptr<const ImageSource> unpack(const ImageSource& packed, Compression c, uint64_t limit,
                                          std::vector<Message>& problems,
                                          const std::atomic<int>* cancel) {
    std::unique_ptr<archive, ReadFree> a(archive_read_new());
    if (!a)
        throw std::bad_alloc();
    archive_read_support_format_raw(a.get());
    if (c == Compression::kGzip)
        archive_read_support_filter_gzip(a.get());
    else
        archive_read_support_filter_lz4(a.get());
    SourceReader reader{packed};
    if (archive_read_open(a.get(), &reader, nullptr, SourceReader::read, nullptr) != ARCHIVE_OK)
        throw Error(msg("the %1 ramdisk cannot be unpacked: %2", compressionName(c),
                        verbatim(archive_error_string(a.get()) ? archive_error_string(a.get())
                                                               : "unknown error")));
    archive_entry* entry = nullptr;
    if (archive_read_next_header(a.get(), &entry) != ARCHIVE_OK)
        throw Error(msg("the %1 ramdisk cannot be unpacked: %2", compressionName(c),
                        verbatim(archive_error_string(a.get()) ? archive_error_string(a.get())
                                                               : "unknown error")));
    Spool spool;
    Bytes buf(kReadChunk);
    for (;;) {
        if (cancel && cancel->load() != 0)
            throw Error(msg("cancelled"));
        const la_ssize_t n = archive_read_data(a.get(), buf.data(), buf.size());
        if (n == 0)
            break;
        if (n < 0) {
            const char* why = archive_error_string(a.get());
            problems.push_back(msg("the %1 ramdisk is damaged after %2 unpacked bytes (%3); the "
                                   "rest is left out",
                                   compressionName(c), spool.size(),
                                   verbatim(why ? why : "unknown error")));
            break;
        }
        const uint64_t room = limit - spool.size();
        if (static_cast<uint64_t>(n) > room) {
            spool.append(buf.data(), static_cast<size_t>(room));
            problems.push_back(msg("the ramdisk unpacks to more than %1 bytes; the rest is left "
                                   "out",
                                   limit));
            break;
        }
        spool.append(buf.data(), static_cast<size_t>(n));
    }
    if (spool.size() == 0)
        throw Error(msg("the %1 ramdisk unpacks to nothing", compressionName(c)));
    return spool.map();
}

std::unique_ptr<Packer> lz4LegacyPacker(Packer::WriteFn write) {
    return std::make_unique<Lz4LegacyPacker>(std::move(write));
}

int addWriteFilter(archive* a, Compression c) {
    switch (c) {
    case Compression::kGzip:
        return archive_write_add_filter_gzip(a);
    case Compression::kLz4Frame:
        return archive_write_add_filter_lz4(a);
    default:
        return archive_write_add_filter_none(a);
    }
}

} // namespace korvane::cpio
