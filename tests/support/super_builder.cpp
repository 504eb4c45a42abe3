#include "super_builder.h"

#include "model/digest.h"

#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace korvane::test {

namespace {

void put32(Bytes& b, size_t at, uint32_t v) {
    store32(b.data() + at, v);
}
void put64(Bytes& b, size_t at, uint64_t v) {
    store32(b.data() + at, static_cast<uint32_t>(v));
    store32(b.data() + at + 4, static_cast<uint32_t>(v >> 32));
}
void putName(Bytes& b, size_t at, const std::string& name) {
    std::memcpy(b.data() + at, name.data(), std::min<size_t>(name.size(), 36));
}
void putSha(Bytes& b, size_t at, ByteSpan of) {
    const Bytes d = digestOf(DigestKind::kSha256, of);
    std::memcpy(b.data() + at, d.data(), 32);
}

struct Placed {
    uint64_t sectors, type, target;
};

} // namespace

void writeSuperFixture(const SuperFixture& shape, const std::string& path) {
    const uint64_t metaEnd = 4096 + (4096 + uint64_t{shape.metadataMaxSize} * shape.slots) * 2;
    const uint64_t first = (metaEnd + shape.alignment - 1) / shape.alignment * shape.alignment;
    // Extents: partitions one after another, each piece aligned.
    std::vector<std::vector<Placed>> extents;
    std::vector<std::pair<uint64_t, ByteSpan>> writes;
    uint64_t cursor = first;
    for (const SuperPartSpec& p : shape.parts) {
        std::vector<Placed> mine;
        const uint64_t n = p.contents.size();
        if (n != 0) {
            const uint64_t per = (n / p.pieces + 511) / 512 * 512;
            std::vector<uint64_t> starts(p.pieces);
            uint64_t size = 0;
            for (uint32_t i = 0; i < p.pieces; ++i)
                size += std::min<uint64_t>(per, n - std::min<uint64_t>(n, i * per));
            // reverse order on the device
            uint64_t at = cursor;
            for (uint32_t k = p.pieces; k-- > 0;) {
                starts[k] = at;
                const uint64_t len = std::min<uint64_t>(per, n - std::min<uint64_t>(n, k * per));
                at = (at + len + shape.alignment - 1) / shape.alignment * shape.alignment;
            }
            cursor = at;
            for (uint32_t k = 0; k < p.pieces; ++k) {
                const uint64_t off = k * per;
                if (off >= n)
                    break;
                const uint64_t len = std::min<uint64_t>(per, n - off);
                mine.push_back({len / 512, 0, starts[k] / 512});
                writes.push_back({starts[k], ByteSpan(p.contents).subspan(off, len)});
            }
            (void)size;
        }
        if (p.zeroTail)
            mine.push_back({p.zeroTail / 512, 1, 0});
        extents.push_back(std::move(mine));
    }
    // Tables.
    size_t numExtents = 0;
    for (const auto& e : extents)
        numExtents += e.size();
    const size_t partBytes = shape.parts.size() * 52, extBytes = numExtents * 24,
                 groupBytes = shape.groups.size() * 48, devBytes = 64;
    const size_t headerSize = shape.minor >= 2 ? 256 : 128;
    Bytes meta(headerSize + partBytes + extBytes + groupBytes + devBytes);
    const size_t t = headerSize;
    size_t e = 0;
    for (size_t i = 0; i < shape.parts.size(); ++i) {
        const size_t at = t + i * 52;
        putName(meta, at, shape.parts[i].name);
        put32(meta, at + 36, shape.parts[i].attributes);
        put32(meta, at + 40, static_cast<uint32_t>(e));
        put32(meta, at + 44, static_cast<uint32_t>(extents[i].size()));
        put32(meta, at + 48, shape.parts[i].group);
        for (const Placed& x : extents[i]) {
            const size_t xa = t + partBytes + e * 24;
            put64(meta, xa, x.sectors);
            put32(meta, xa + 8, static_cast<uint32_t>(x.type));
            put64(meta, xa + 12, x.type == 0 ? x.target : 0);
            ++e;
        }
    }
    for (size_t i = 0; i < shape.groups.size(); ++i) {
        const size_t at = t + partBytes + extBytes + i * 48;
        putName(meta, at, shape.groups[i].first);
        put64(meta, at + 40, shape.groups[i].second);
    }
    const size_t dv = t + partBytes + extBytes + groupBytes;
    put64(meta, dv, first / 512);
    put32(meta, dv + 8, shape.alignment);
    put64(meta, dv + 16, shape.deviceSize);
    putName(meta, dv + 24, "super");
    // Header.
    put32(meta, 0, 0x414C5030);
    store16(meta.data() + 4, 10);
    store16(meta.data() + 6, shape.minor);
    put32(meta, 8, static_cast<uint32_t>(headerSize));
    put32(meta, 44, static_cast<uint32_t>(meta.size() - headerSize));
    const uint32_t tables[4][3] = {
        {0, static_cast<uint32_t>(shape.parts.size()), 52},
        {static_cast<uint32_t>(partBytes), static_cast<uint32_t>(numExtents), 24},
        {static_cast<uint32_t>(partBytes + extBytes), static_cast<uint32_t>(shape.groups.size()),
         48},
        {static_cast<uint32_t>(partBytes + extBytes + groupBytes), 1, 64}};
    for (size_t i = 0; i < 4; ++i)
        for (size_t k = 0; k < 3; ++k)
            put32(meta, 80 + i * 12 + k * 4, tables[i][k]);
    if (headerSize == 256)
        put32(meta, 128, shape.headerFlags);
    putSha(meta, 48, ByteSpan(meta).subspan(headerSize));
    putSha(meta, 12, ByteSpan(meta).first(headerSize));
    // Geometry.
    Bytes geo(4096);
    put32(geo, 0, 0x616c4467);
    put32(geo, 4, 52);
    put32(geo, 40, shape.metadataMaxSize);
    put32(geo, 44, shape.slots);
    put32(geo, 48, shape.blockSize);
    putSha(geo, 8, ByteSpan(geo).first(52));

    const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot create " + path);
    auto put = [&](uint64_t at, ByteSpan b) {
        if (::pwrite(fd, b.data(), b.size(), static_cast<off_t>(at)) !=
            static_cast<ssize_t>(b.size()))
            throw std::runtime_error("cannot write " + path);
    };
    if (::ftruncate(fd, static_cast<off_t>(shape.deviceSize)) != 0)
        throw std::runtime_error("cannot size " + path);
    put(4096, geo);
    put(8192, geo);
    for (uint32_t copy = 0; copy < shape.slots * 2; ++copy)
        put(12288 + uint64_t{copy} * shape.metadataMaxSize, meta);
    for (const auto& [at, bytes] : writes)
        put(at, bytes);
    ::close(fd);
}

} // namespace korvane::test
