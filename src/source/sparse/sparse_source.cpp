#include "sparse_source.h"

#include "model/crc.h"
#include "model/error.h"
#include "sparse_format.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <optional>

namespace korvane {

using namespace sparse;

namespace {

constexpr uint32_t kMaxBlockSize = 64u << 20;

std::string hex(uint32_t v) {
    char buf[12];
    std::snprintf(buf, sizeof buf, "%08X", v);
    return buf;
}

// GF(2)-affine maps of the raw CRC32 register, so that the checksum of long
// runs of zeros or of one repeated block costs a few matrix products instead
// of a pass over bytes that are not in the file.
struct Affine {
    std::array<uint32_t, 32> col{}; // image of each register bit
    uint32_t add = 0;

    uint32_t apply(uint32_t r) const {
        uint32_t out = add;
        for (int i = 0; r != 0; ++i, r >>= 1)
            if (r & 1)
                out ^= col[static_cast<size_t>(i)];
        return out;
    }
    // this after first
    Affine after(const Affine& first) const {
        Affine out;
        for (size_t i = 0; i < 32; ++i)
            out.col[i] = apply(first.col[i]) ^ add;
        out.add = apply(first.add);
        return out;
    }
};

// The register after one zero bit (reflected polynomial 0xEDB88320).
Affine zeroBit() {
    Affine a;
    a.col[0] = 0xEDB88320u;
    for (size_t i = 1; i < 32; ++i)
        a.col[i] = 1u << (i - 1);
    return a;
}

Affine power(Affine a, uint64_t n) {
    Affine out;
    for (size_t i = 0; i < 32; ++i)
        out.col[i] = 1u << i;
    for (; n != 0; n >>= 1, a = a.after(a))
        if (n & 1)
            out = a.after(out);
    return out;
}

// crc32() takes and returns the inverted register.
uint32_t rawUpdate(uint32_t reg, ByteSpan data) {
    return ~crc32(~reg, data);
}

// zeroBit() to the powers 2^0 .. 2^63, so that a run of zeros costs one
// matrix-vector product per set bit of its length.
const std::array<Affine, 64>& zeroPowers() {
    static const std::array<Affine, 64> table = [] {
        std::array<Affine, 64> t;
        t[0] = zeroBit();
        for (size_t k = 1; k < t.size(); ++k)
            t[k] = t[k - 1].after(t[k - 1]);
        return t;
    }();
    return table;
}

uint32_t appendZeros(uint32_t crc, uint64_t bytes) {
    uint32_t reg = ~crc;
    const uint64_t bits = bytes * 8;
    for (size_t k = 0; k < 64; ++k)
        if (bits >> k & 1)
            reg = zeroPowers()[k].apply(reg);
    return ~reg;
}

// Runs of one repeated unit of a fixed length: each unit takes the register
// through A(r) = M r + u, where M runs it over as many zero bytes and u is
// the unit's own checksum from a zero register. The powers M^(2^k) and the
// sums I + M + ... + M^(2^k - 1) hang on the length alone: made once, they
// let a run cost two matrix-vector products per bit of its count, so that a
// hostile image of many fill chunks (or of 64 MiB blocks) costs no more than
// a real one.
class Repeats {
public:
    explicit Repeats(uint64_t unitBytes) {
        Affine m = power(zeroBit(), unitBytes * 8);
        Affine sum = power(m, 0);
        for (size_t k = 0; k < pow_.size(); ++k) {
            pow_[k] = m;
            sum_[k] = sum;
            const Affine next = m.after(sum);
            for (size_t i = 0; i < 32; ++i)
                sum.col[i] ^= next.col[i];
            m = m.after(m);
        }
    }

    // The register after times units whose own checksum is unit.
    uint32_t apply(uint32_t reg, uint32_t unit, uint32_t times) const {
        for (size_t k = 0; k < pow_.size(); ++k)
            if (times >> k & 1)
                reg = pow_[k].apply(reg) ^ sum_[k].apply(unit);
        return reg;
    }

private:
    std::array<Affine, 32> pow_, sum_;
};

class SparseSource final : public ImageSource {
public:
    struct Chunk {
        uint64_t first = 0; // first block of the expanded image
        uint64_t blocks = 0;
        uint16_t type = kChunkDontCare;
        uint64_t fileOffset = 0; // raw: where the data starts in the file
        uint32_t fill = 0;
    };

    SparseSource(std::unique_ptr<ImageSource> file, uint32_t blockSize, uint64_t totalBlocks)
        : file_(std::move(file)), blockSize_(blockSize), size_(totalBlocks * blockSize) {}

    uint64_t size() const override { return size_; }
    uint64_t storedSize() const override { return file_->size(); }
    void releaseResident() const override { file_->releaseResident(); }

    void read(uint64_t offset, MutableByteSpan out) const override {
        copy(offset, out, [this](uint64_t at, MutableByteSpan part) { file_->read(at, part); });
    }
    // Raw chunks through the file's readThrough: a walk over a sparse image
    // leaves no more of it resident than one over a plain one.
    void readThrough(uint64_t offset, MutableByteSpan out) const override {
        copy(offset, out,
             [this](uint64_t at, MutableByteSpan part) { file_->readThrough(at, part); });
    }

    const std::byte* contiguous(uint64_t offset, size_t n) const override {
        const Chunk* c = chunkAt(offset);
        if (!c || c->type != kChunkRaw || n > (c->first + c->blocks) * blockSize_ - offset)
            return nullptr;
        return file_->contiguous(c->fileOffset + (offset - c->first * blockSize_), n);
    }

    std::optional<FileRange> storedIn(uint64_t offset, uint64_t n) const override {
        const Chunk* c = chunkAt(offset);
        if (!c || c->type != kChunkRaw || n > (c->first + c->blocks) * blockSize_ - offset)
            return std::nullopt;
        return file_->storedIn(c->fileOffset + (offset - c->first * blockSize_), n);
    }

    uint64_t zerosUntil(uint64_t offset) const override {
        uint64_t at = offset;
        while (at < size_) {
            const Chunk* c = chunkAt(at);
            if (c && c->type != kChunkDontCare && !(c->type == kChunkFill && c->fill == 0))
                break;
            at = c ? (c->first + c->blocks) * blockSize_ : nextChunkStart(at);
        }
        return std::max(offset, std::min(at, size_));
    }

    std::vector<std::pair<std::string, std::string>> describe() const override {
        return {{"container", "Android sparse image, " + std::to_string(chunks_.size()) +
                                  " chunks of " + std::to_string(blockSize_) + "-byte blocks"},
                {"expanded size", std::to_string(size_)},
                {"stored size", std::to_string(file_->size())}};
    }

    void parse(ByteSpan head);
    bool anyCrcChunk(uint64_t pos, uint16_t chunkHeader, uint32_t totalChunks) const;

private:
    // Copies the expanded bytes at offset into out, raw chunks' bytes with
    // rawRead(file offset, span).
    template <typename RawRead>
    void copy(uint64_t offset, MutableByteSpan out, RawRead rawRead) const {
        size_t done = 0;
        while (done < out.size()) {
            const uint64_t at = offset + done;
            std::byte* dst = out.data() + done;
            if (at >= size_) {
                std::memset(out.data() + done, 0, out.size() - done);
                return;
            }
            const Chunk* c = chunkAt(at);
            uint64_t end = c ? (c->first + c->blocks) * blockSize_ : nextChunkStart(at);
            const size_t n = static_cast<size_t>(std::min<uint64_t>(end - at, out.size() - done));
            const uint64_t within = c ? at - c->first * blockSize_ : 0;
            if (!c || c->type == kChunkDontCare) {
                std::memset(dst, 0, n);
            } else if (c->type == kChunkRaw) {
                rawRead(c->fileOffset + within, MutableByteSpan(dst, n));
            } else {
                std::byte word[4];
                store32(word, c->fill);
                for (size_t i = 0; i < n; ++i)
                    dst[i] = word[(within + i) % 4];
            }
            done += n;
        }
    }

    // The chunk holding byte at, or nullptr for bytes no chunk covers.
    const Chunk* chunkAt(uint64_t at) const {
        const uint64_t block = at / blockSize_;
        auto it = std::upper_bound(chunks_.begin(), chunks_.end(), block,
                                   [](uint64_t b, const Chunk& c) { return b < c.first; });
        if (it == chunks_.begin())
            return nullptr;
        --it;
        return block < it->first + it->blocks ? &*it : nullptr;
    }
    uint64_t nextChunkStart(uint64_t at) const {
        const uint64_t block = at / blockSize_;
        auto it = std::upper_bound(chunks_.begin(), chunks_.end(), block,
                                   [](uint64_t b, const Chunk& c) { return b < c.first; });
        return it == chunks_.end() ? std::max(size_, at + 1) : it->first * blockSize_;
    }
    uint32_t crcOf(const Chunk& c, uint32_t crc) const;

    std::unique_ptr<ImageSource> file_;
    uint32_t blockSize_;
    uint64_t size_;
    std::vector<Chunk> chunks_;
    // Runs of fill words and of fill blocks, for the checksums.
    std::optional<Repeats> words_, blocks_;
};

uint32_t SparseSource::crcOf(const Chunk& c, uint32_t crc) const {
    const uint64_t bytes = c.blocks * blockSize_;
    if (c.type == kChunkDontCare)
        return appendZeros(crc, bytes);
    if (c.type == kChunkFill) {
        std::byte word[4];
        store32(word, c.fill);
        const uint32_t block = words_->apply(0, rawUpdate(0, ByteSpan(word, 4)), blockSize_ / 4);
        return ~blocks_->apply(~crc, block, static_cast<uint32_t>(c.blocks));
    }
    Bytes buf(static_cast<size_t>(std::min<uint64_t>(bytes, 1u << 20)));
    for (uint64_t at = 0; at < bytes;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), bytes - at));
        file_->read(c.fileOffset + at, MutableByteSpan(buf.data(), n));
        crc = crc32(crc, ByteSpan(buf.data(), n));
        at += n;
    }
    return crc;
}

bool SparseSource::anyCrcChunk(uint64_t pos, uint16_t chunkHeader, uint32_t totalChunks) const {
    const uint64_t fileSize = file_->size();
    for (uint32_t i = 0; i < totalChunks && pos + chunkHeader <= fileSize; ++i) {
        Bytes h = readBytes(*file_, pos, kChunkHeaderSize);
        if (load16(h.data() + ch::kType) == kChunkCrc32)
            return true;
        const uint32_t total = load32(h.data() + ch::kTotalSize);
        if (total < chunkHeader)
            break;
        pos += total;
    }
    return false;
}

void SparseSource::parse(ByteSpan head) {
    const uint16_t fileHeader = load16(head.data() + fh::kFileHeaderSize);
    const uint16_t chunkHeader = load16(head.data() + fh::kChunkHeaderSize);
    const uint32_t totalChunks = load32(head.data() + fh::kTotalChunks);
    const uint64_t fileSize = file_->size();
    const uint64_t totalBlocks = size_ / blockSize_;

    // Only an image with CRC chunks pays for checksums.
    const bool hasCrc = anyCrcChunk(fileHeader, chunkHeader, totalChunks);
    if (hasCrc) {
        words_.emplace(4);
        blocks_.emplace(blockSize_);
    }

    uint64_t pos = fileHeader;
    uint64_t block = 0;
    uint32_t crc = 0;
    for (uint32_t i = 0; i < totalChunks; ++i) {
        if (pos + chunkHeader > fileSize) {
            problems_.push_back(msg("the sparse image is cut short: it ends before chunk %1 of "
                                    "%2; blocks from %3 on read as zeros",
                                    i + 1, totalChunks, block));
            return;
        }
        Bytes h = readBytes(*file_, pos, kChunkHeaderSize);
        const uint16_t type = load16(h.data() + ch::kType);
        const uint64_t blocks = load32(h.data() + ch::kBlocks);
        const uint32_t total = load32(h.data() + ch::kTotalSize);
        uint64_t expect = chunkHeader;
        if (type == kChunkRaw)
            expect += blocks * blockSize_;
        else if (type == kChunkFill || type == kChunkCrc32)
            expect += 4;
        else if (type != kChunkDontCare) {
            problems_.push_back(msg("chunk %1 of the sparse image has the unknown type 0x%2; "
                                    "blocks from %3 on read as zeros",
                                    i + 1, hex(type), block));
            return;
        }
        // A CRC32 chunk stands for no blocks, whatever it says: the format's
        // reference takes none for it.
        const uint64_t advance = type == kChunkCrc32 ? 0 : blocks;
        if (total != expect || advance > totalBlocks - block) {
            problems_.push_back(msg("chunk %1 of the sparse image is damaged (%2 blocks in %3 "
                                    "bytes); blocks from %4 on read as zeros",
                                    i + 1, blocks, total, block));
            return;
        }
        Chunk c;
        c.first = block;
        c.blocks = blocks;
        c.type = type;
        c.fileOffset = pos + chunkHeader;
        if (type == kChunkFill || type == kChunkCrc32)
            c.fill = load32(readBytes(*file_, c.fileOffset, 4).data());
        // A raw chunk cut short ends the image: no CRC chunk after it is read,
        // so its checksum, a pass over up to 4 GiB the file does not hold, is
        // not worth taking.
        const bool cutShort = type == kChunkRaw && c.fileOffset + blocks * blockSize_ > fileSize;
        if (type == kChunkCrc32) {
            if (c.fill != crc)
                problems_.push_back(msg("the CRC32 chunk %1 of the sparse image does not match "
                                        "the %2 blocks before it (stored %3, computed %4)",
                                        i + 1, block, hex(c.fill), hex(crc)));
        } else if (blocks > 0) {
            if (hasCrc && !cutShort)
                crc = crcOf(c, crc);
            chunks_.push_back(c);
        }
        if (cutShort) {
            problems_.push_back(msg("the sparse image is cut short in chunk %1 of %2; blocks "
                                    "from %3 on read as zeros",
                                    i + 1, totalChunks,
                                    block + (fileSize - c.fileOffset) / blockSize_));
            return;
        }
        block += advance;
        pos += total;
    }
    if (block != totalBlocks)
        problems_.push_back(msg("the chunks of the sparse image cover %1 of its %2 blocks; the "
                                "rest reads as zeros",
                                block, totalBlocks));
}

} // namespace

int bidSparse(ByteSpan head) {
    if (head.size() < kFileHeaderSize || load32(head.data() + fh::kMagic) != kMagic)
        return 0;
    const uint32_t blockSize = load32(head.data() + fh::kBlockSize);
    if (load16(head.data() + fh::kMajor) != kMajorVersion ||
        load16(head.data() + fh::kFileHeaderSize) < kFileHeaderSize ||
        load16(head.data() + fh::kChunkHeaderSize) < kChunkHeaderSize || blockSize == 0 ||
        blockSize % 4 != 0 || blockSize > kMaxBlockSize)
        return 0;
    return 90;
}

std::unique_ptr<ImageSource> openSparse(std::unique_ptr<ImageSource> file) {
    Bytes head = readBytes(*file, 0, kFileHeaderSize);
    if (file->size() < kFileHeaderSize || bidSparse(head) == 0)
        throw Error(msg("not an Android sparse image, or one of a version Korvane does not read "
                        "(the header at byte 0 does not check out)"));
    const uint32_t blockSize = load32(head.data() + fh::kBlockSize);
    const uint64_t totalBlocks = load32(head.data() + fh::kTotalBlocks);
    auto src = std::make_unique<SparseSource>(std::move(file), blockSize, totalBlocks);
    src->parse(head);
    return src;
}

} // namespace korvane
