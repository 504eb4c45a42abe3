#include "sparse_writer.h"

#include "model/error.h"
#include "model/file_io.h"
#include "sparse_format.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <unistd.h>

namespace korvane {

namespace {

using namespace sparse;

// Raw bytes gathered before they go out as one chunk.
constexpr size_t kRawChunkBytes = 8u << 20;

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Sorted, merged byte ranges.
class RangeSet {
public:
    void add(uint64_t begin, uint64_t end) {
        if (begin >= end)
            return;
        auto it = ranges_.upper_bound(begin);
        if (it != ranges_.begin()) {
            auto prev = std::prev(it);
            if (prev->second >= begin) {
                begin = prev->first;
                end = std::max(end, prev->second);
                it = ranges_.erase(prev);
            }
        }
        while (it != ranges_.end() && it->first <= end) {
            end = std::max(end, it->second);
            it = ranges_.erase(it);
        }
        ranges_.emplace(begin, end);
    }
    std::vector<DataRange> list() const {
        std::vector<DataRange> out;
        out.reserve(ranges_.size());
        for (const auto& [b, e] : ranges_)
            out.push_back({b, e});
        return out;
    }

private:
    std::map<uint64_t, uint64_t> ranges_;
};

class PlainImageOut : public ImageOut {
public:
    explicit PlainImageOut(const std::string& path) : file_(path) {}
    void resize(uint64_t size) override { file_.resize(size); }
    void writeAt(uint64_t offset, ByteSpan bytes) override { file_.writeAt(offset, bytes); }
    void zeroed(uint64_t, uint64_t) override {}
    void commit() override { file_.commit(); }

private:
    OutputFile file_;
};

// The plain image goes to an unnamed file beside the target (never to a
// memory-backed temporary folder: images can be large); commit() turns it
// into the sparse image.
class SparseImageOut : public ImageOut {
public:
    SparseImageOut(std::string path, uint32_t blockSize)
        : path_(std::move(path)), blockSize_(blockSize) {
        const std::string folder = folderOf(path_);
        fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            std::string name = folder + "/.korvane-plain-XXXXXX";
            fd_ = ::mkostemp(name.data(), O_CLOEXEC);
            if (fd_ < 0)
                throwSystemError(msg("cannot create a file in %1", folder), errno);
            ::unlink(name.c_str());
        }
    }
    ~SparseImageOut() override {
        if (fd_ >= 0)
            ::close(fd_);
    }

    void resize(uint64_t size) override {
        if (::ftruncate(fd_, static_cast<off_t>(size)) != 0)
            throwSystemError(msg("cannot size %1", path_), errno);
        size_ = size;
    }
    void writeAt(uint64_t offset, ByteSpan bytes) override {
        for (size_t done = 0; done < bytes.size();) {
            const ssize_t w = ::pwrite(fd_, bytes.data() + done, bytes.size() - done,
                                       static_cast<off_t>(offset + done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                throwSystemError(msg("cannot write %1", path_), w < 0 ? errno : ENOSPC);
            done += static_cast<size_t>(w);
        }
        written_.add(offset, offset + bytes.size());
    }
    void zeroed(uint64_t offset, uint64_t length) override { zeros_.add(offset, offset + length); }
    void commit() override {
        OutputFile out(path_);
        writeSparseImage(
            size_, blockSize_, written_.list(), zeros_.list(),
            [this](uint64_t offset, MutableByteSpan span) {
                const size_t done = preadAll(fd_, span, offset);
                if (done < span.size() && errno != 0)
                    throwSystemError(msg("cannot read back %1", path_), errno);
                // Past the end: zeros.
                std::fill(span.begin() + static_cast<ptrdiff_t>(done), span.end(), std::byte{0});
            },
            out);
        out.commit();
    }

private:
    std::string path_;
    uint32_t blockSize_;
    int fd_ = -1;
    uint64_t size_ = 0;
    RangeSet written_;
    RangeSet zeros_;
};

// Gathers chunks and writes them after a file header that is completed last.
class ChunkWriter {
public:
    ChunkWriter(OutputFile& out, uint32_t blockSize) : out_(out), blockSize_(blockSize) {
        out_.append(Bytes(kFileHeaderSize));
    }

    void dontCare(uint64_t blocks) {
        if (blocks == 0)
            return;
        flushRaw();
        if (pending_ == kChunkDontCare) {
            pendingBlocks_ += blocks;
            return;
        }
        flushPending();
        pending_ = kChunkDontCare;
        pendingBlocks_ = blocks;
    }
    void fill(uint32_t word) {
        flushRaw();
        if (pending_ == kChunkFill && fillWord_ == word) {
            ++pendingBlocks_;
            return;
        }
        flushPending();
        pending_ = kChunkFill;
        fillWord_ = word;
        pendingBlocks_ = 1;
    }
    void raw(ByteSpan block) {
        flushPending();
        raw_.insert(raw_.end(), block.begin(), block.end());
        if (raw_.size() >= kRawChunkBytes)
            flushRaw();
    }
    void finish(uint64_t totalBlocks) {
        flushRaw();
        flushPending();
        Bytes h(kFileHeaderSize);
        store32(h.data() + fh::kMagic, kMagic);
        store16(h.data() + fh::kMajor, kMajorVersion);
        store16(h.data() + fh::kMinor, 0);
        store16(h.data() + fh::kFileHeaderSize, static_cast<uint16_t>(kFileHeaderSize));
        store16(h.data() + fh::kChunkHeaderSize, static_cast<uint16_t>(kChunkHeaderSize));
        store32(h.data() + fh::kBlockSize, blockSize_);
        store32(h.data() + fh::kTotalBlocks, static_cast<uint32_t>(totalBlocks));
        store32(h.data() + fh::kTotalChunks, chunks_);
        store32(h.data() + fh::kImageChecksum, 0);
        out_.writeAt(0, h);
    }

private:
    void header(ChunkType type, uint64_t blocks, uint64_t bodySize) {
        std::byte h[kChunkHeaderSize] = {};
        store16(h + ch::kType, type);
        store32(h + ch::kBlocks, static_cast<uint32_t>(blocks));
        store32(h + ch::kTotalSize, static_cast<uint32_t>(kChunkHeaderSize + bodySize));
        out_.append(ByteSpan(h, kChunkHeaderSize));
        ++chunks_;
    }
    void flushRaw() {
        if (raw_.empty())
            return;
        header(kChunkRaw, raw_.size() / blockSize_, raw_.size());
        out_.append(raw_);
        raw_.clear();
    }
    void flushPending() {
        if (pendingBlocks_ == 0)
            return;
        if (pending_ == kChunkFill) {
            header(kChunkFill, pendingBlocks_, 4);
            std::byte w[4];
            store32(w, fillWord_);
            out_.append(ByteSpan(w, 4));
        } else {
            header(kChunkDontCare, pendingBlocks_, 0);
        }
        pendingBlocks_ = 0;
    }

    OutputFile& out_;
    uint32_t blockSize_;
    uint32_t chunks_ = 0;
    Bytes raw_;
    ChunkType pending_ = kChunkDontCare;
    uint64_t pendingBlocks_ = 0;
    uint32_t fillWord_ = 0;
};

// A block is one repeated 32-bit word when it equals itself shifted by a word.
bool uniform(ByteSpan block, uint32_t& word) {
    word = load32(block.data());
    return std::memcmp(block.data(), block.data() + 4, block.size() - 4) == 0;
}

} // namespace

// Gathers writes that follow one another into one of up to 1 MiB: a tree of
// small files is otherwise a system call per file. A write anywhere else
// sends what was gathered first, so writes land in the order they were made.
class GatheringOut : public ImageOut {
public:
    explicit GatheringOut(std::unique_ptr<ImageOut> out) : out_(std::move(out)) {}

    void resize(uint64_t size) override {
        flush();
        out_->resize(size);
    }
    void writeAt(uint64_t offset, ByteSpan bytes) override {
        if (!pending_.empty() && offset == at_ + pending_.size() &&
            pending_.size() + bytes.size() <= kGather) {
            pending_.insert(pending_.end(), bytes.begin(), bytes.end());
            return;
        }
        flush();
        if (bytes.size() >= kGather) {
            out_->writeAt(offset, bytes);
            return;
        }
        at_ = offset;
        pending_.assign(bytes.begin(), bytes.end());
    }
    void zeroed(uint64_t offset, uint64_t length) override { out_->zeroed(offset, length); }
    void commit() override {
        flush();
        out_->commit();
    }

private:
    static constexpr size_t kGather = 1u << 20;

    void flush() {
        if (pending_.empty())
            return;
        out_->writeAt(at_, pending_);
        pending_.clear();
    }

    std::unique_ptr<ImageOut> out_;
    uint64_t at_ = 0;
    Bytes pending_;
};

std::unique_ptr<ImageOut> openImageOut(const std::string& path, bool sparse, uint32_t blockSize) {
    if (sparse)
        return std::make_unique<GatheringOut>(std::make_unique<SparseImageOut>(path, blockSize));
    return std::make_unique<GatheringOut>(std::make_unique<PlainImageOut>(path));
}

void writeSparseImage(uint64_t size, uint32_t blockSize, const std::vector<DataRange>& data,
                      const std::vector<DataRange>& zeros, const ReadImageFn& read,
                      OutputFile& out) {
    const uint64_t total = size / blockSize;
    ChunkWriter w(out, blockSize);
    // Blocks [from, to) that hold no data: zero fills where zeros are
    // needed, "don't care" elsewhere.
    size_t z = 0;
    auto gap = [&](uint64_t from, uint64_t to) {
        while (from < to) {
            while (z < zeros.size() && zeros[z].end <= from * blockSize)
                ++z;
            if (z == zeros.size() || zeros[z].begin >= to * blockSize) {
                w.dontCare(to - from);
                return;
            }
            const uint64_t zFrom = std::max(from, zeros[z].begin / blockSize);
            const uint64_t zTo = std::min(to, (zeros[z].end + blockSize - 1) / blockSize);
            w.dontCare(zFrom - from);
            for (uint64_t b = zFrom; b < zTo; ++b)
                w.fill(0);
            from = zTo;
        }
    };
    Bytes buf;
    uint64_t next = 0;
    for (const DataRange& r : data) {
        uint64_t first = std::max(next, r.begin / blockSize);
        const uint64_t end = std::min(total, (r.end + blockSize - 1) / blockSize);
        if (first >= end)
            continue;
        gap(next, first);
        while (first < end) {
            const uint64_t n = std::min<uint64_t>(end - first, kRawChunkBytes / blockSize);
            buf.resize(static_cast<size_t>(n * blockSize));
            read(first * blockSize, buf);
            for (uint64_t i = 0; i < n; ++i) {
                const ByteSpan block(buf.data() + i * blockSize, blockSize);
                uint32_t word = 0;
                if (uniform(block, word))
                    w.fill(word);
                else
                    w.raw(block);
            }
            first += n;
        }
        next = end;
    }
    gap(next, total);
    w.finish(total);
}

} // namespace korvane
