#include "dir.h"

#include "model/entry.h"

#include <algorithm>
#include <cstring>

namespace korvane::erofs {

std::optional<Message> parseDirBlock(ByteSpan block, std::vector<DirEntry>& out) {
    if (block.size() < de::kRecordSize)
        return msg("a directory block of %1 bytes holds no entry", block.size());
    const std::byte* b = block.data();
    const size_t first = load16(b + de::kNameOff);
    if (first < de::kRecordSize || first % de::kRecordSize != 0 || first > block.size())
        return msg("the first entry's name offset %1 is out of place", first);
    const size_t count = first / de::kRecordSize;
    for (size_t i = 0; i < count; ++i) {
        const std::byte* d = b + i * de::kRecordSize;
        const size_t off = load16(d + de::kNameOff);
        size_t end = block.size();
        if (i + 1 < count)
            end = load16(d + de::kRecordSize + de::kNameOff);
        if (off < first || off >= end || end > block.size())
            return msg("entry %1's name offset %2 is out of place", i, off);
        size_t len = end - off;
        if (i + 1 == count) { // the last name runs to the end, or to padding zeros
            if (const void* z = std::memchr(b + off, 0, len))
                len = static_cast<size_t>(static_cast<const std::byte*>(z) - (b + off));
        }
        if (len == 0 || len > kNameMax)
            return msg("entry %1 has a name of %2 bytes", i, len);
        out.push_back({load64(d + de::kNid),
                       std::string_view(reinterpret_cast<const char*>(b + off), len),
                       std::to_integer<uint8_t>(d[de::kFileType])});
    }
    return std::nullopt;
}

uint8_t fileTypeOf(uint32_t mode) {
    switch (mode & kModeTypeMask) {
    case kModeFile:
        return kFtRegular;
    case kModeDirectory:
        return kFtDirectory;
    case kModeSymlink:
        return kFtSymlink;
    case kModeCharDevice:
        return kFtCharDevice;
    case kModeBlockDevice:
        return kFtBlockDevice;
    case kModeFifo:
        return kFtFifo;
    case kModeSocket:
        return kFtSocket;
    default:
        return kFtUnknown;
    }
}

void sortDirRecords(std::vector<DirRecord>& records) {
    std::sort(records.begin(), records.end(),
              [](const DirRecord& a, const DirRecord& b) { return a.name < b.name; });
}

namespace {

// Calls fn(first, count, blockIndex) for each block's run of entries.
template <typename Fn>
void forEachBlock(const std::vector<DirRecord>& sorted, uint32_t bs, Fn&& fn) {
    size_t i = 0;
    uint64_t block = 0;
    while (i < sorted.size()) {
        size_t used = 0;
        size_t n = 0;
        while (i + n < sorted.size() && used + de::kRecordSize + sorted[i + n].name.size() <= bs) {
            used += de::kRecordSize + sorted[i + n].name.size();
            ++n;
        }
        fn(i, n, block, used);
        i += n;
        ++block;
    }
}

} // namespace

uint64_t dirSize(const std::vector<DirRecord>& sorted, uint32_t bs) {
    uint64_t size = 0;
    forEachBlock(sorted, bs,
                 [&](size_t, size_t, uint64_t block, size_t used) { size = block * bs + used; });
    return size;
}

void layoutDir(const std::vector<DirRecord>& sorted, uint32_t bs, MutableByteSpan out) {
    std::memset(out.data(), 0, out.size());
    forEachBlock(sorted, bs, [&](size_t first, size_t n, uint64_t block, size_t) {
        std::byte* b = out.data() + block * bs;
        size_t nameAt = n * de::kRecordSize;
        for (size_t k = 0; k < n; ++k) {
            const DirRecord& r = sorted[first + k];
            std::byte* d = b + k * de::kRecordSize;
            store64(d + de::kNid, r.nid);
            store16(d + de::kNameOff, static_cast<uint16_t>(nameAt));
            d[de::kFileType] = std::byte{r.fileType};
            std::memcpy(b + nameAt, r.name.data(), r.name.size());
            nameAt += r.name.size();
        }
    });
}

} // namespace korvane::erofs
