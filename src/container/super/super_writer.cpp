#include "super_writer.h"

#include "model/error.h"
#include "model/output_file.h"
#include "source/sparse/sparse_writer.h"

#include <algorithm>
#include <cstring>

namespace korvane::lp {

namespace {

// The block size of the sparse images written, as lpmake writes them.
constexpr uint32_t kSparseBlock = 4096;
constexpr size_t kCopyBuffer = 4u << 20;

struct Cancelled {};

class MemberData : public PartitionData {
public:
    MemberData(Timg& img, const TImgEntry& e) : img_(img), entry_(e) {}
    uint64_t size() const override { return img_.contentSize(entry_); }
    size_t read(uint64_t offset, MutableByteSpan out) override {
        return img_.ReadRange(entry_, offset, out);
    }
    ContentRange nextData(uint64_t offset) override { return img_.nextData(entry_, offset); }

private:
    Timg& img_;
    TImgEntry entry_;
};

class SourceData : public PartitionData {
public:
    explicit SourceData(std::shared_ptr<const ImageSource> src) : src_(std::move(src)) {}
    uint64_t size() const override { return src_->size(); }
    size_t read(uint64_t offset, MutableByteSpan out) override {
        const uint64_t size = src_->size();
        if (offset >= size)
            return 0;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(out.size(), size - offset));
        src_->readThrough(offset, out.first(n));
        return n;
    }

private:
    std::shared_ptr<const ImageSource> src_;
};

uint64_t roundUp(uint64_t v, uint64_t to) {
    return to == 0 ? v : (v + to - 1) / to * to;
}

// Free byte ranges of the first block device, sorted.
class FreeSpace {
public:
    FreeSpace(uint64_t begin, uint64_t end) {
        if (begin < end)
            free_.push_back({begin, end});
    }
    void take(uint64_t begin, uint64_t end) {
        std::vector<ContentRange> next;
        for (const ContentRange& r : free_) {
            if (end <= r.begin || begin >= r.end) {
                next.push_back(r);
                continue;
            }
            if (r.begin < begin)
                next.push_back({r.begin, begin});
            if (end < r.end)
                next.push_back({end, r.end});
        }
        free_ = std::move(next);
    }
    uint64_t total() const {
        uint64_t n = 0;
        for (const ContentRange& r : free_)
            n += r.end - r.begin;
        return n;
    }
    // Extents for bytes, each starting on the device's alignment, the
    // first fit first; nullopt when the space does not hold them.
    std::optional<std::vector<Extent>> allocate(uint64_t bytes, uint64_t alignment,
                                                uint64_t alignOffset) {
        std::vector<Extent> out;
        std::vector<ContentRange> taken;
        for (const ContentRange& r : free_) {
            if (bytes == 0)
                break;
            uint64_t start = r.begin;
            if (alignment > 1) {
                start = start < alignOffset ? alignOffset
                                            : roundUp(start - alignOffset, alignment) + alignOffset;
            }
            if (start >= r.end)
                continue;
            const uint64_t n = std::min(bytes, r.end - start);
            out.push_back({n / kSectorSize, ext::kLinear, start / kSectorSize, 0});
            taken.push_back({start, start + n});
            bytes -= n;
        }
        if (bytes != 0)
            return std::nullopt;
        for (const ContentRange& t : taken)
            take(t.begin, t.end);
        return out;
    }

private:
    std::vector<ContentRange> free_;
};

void checkGroups(const SuperPlan& plan) {
    const Metadata& m = plan.metadata;
    std::vector<uint64_t> used(m.groups.size(), 0);
    for (const PartitionPlan& p : plan.partitions) {
        if (p.group >= m.groups.size())
            throw Error(msg("partition %1 names group %2, which the metadata does not have", p.name,
                            p.group));
        used[p.group] += p.size;
    }
    for (const PartitionPlan& p : plan.partitions) {
        const Group& g = m.groups[p.group];
        if (g.maximumSize == 0 || used[p.group] <= g.maximumSize || p.keep)
            continue;
        throw Error(msg("partition %1 takes %2 bytes, but its group %3 may hold at most %4 bytes "
                        "and its partitions would take %5",
                        p.name, p.size, g.name, g.maximumSize, used[p.group]));
    }
}

// A stretch of the image written: metadata (part < 0) or a partition's bytes.
struct Piece {
    uint64_t at = 0;
    uint64_t length = 0;
    int part = -1;
    uint64_t from = 0; // offset in the partition
};

class ImageLayout {
public:
    ImageLayout(SuperPlan& plan, Bytes metadata) : plan_(plan), metadata_(std::move(metadata)) {
        pieces_.push_back({kGeometryOffset, metadata_.size(), -1, 0});
        for (size_t i = 0; i < plan.partitions.size(); ++i)
            mapPartition(i);
        std::sort(pieces_.begin(), pieces_.end(),
                  [](const Piece& a, const Piece& b) { return a.at < b.at; });
        std::sort(zeros_.begin(), zeros_.end(),
                  [](const DataRange& a, const DataRange& b) { return a.begin < b.begin; });
    }

    const std::vector<Piece>& pieces() const { return pieces_; }
    const std::vector<DataRange>& zeros() const { return zeros_; }
    uint64_t dataBytes() const {
        uint64_t n = 0;
        for (const Piece& p : pieces_)
            n += p.length;
        return n;
    }

    // The bytes of the new image at [offset, offset + out.size()).
    void read(uint64_t offset, MutableByteSpan out) {
        std::memset(out.data(), 0, out.size());
        const uint64_t end = offset + out.size();
        auto it = std::upper_bound(pieces_.begin(), pieces_.end(), offset,
                                   [](uint64_t o, const Piece& p) { return o < p.at; });
        if (it != pieces_.begin())
            --it;
        for (; it != pieces_.end() && it->at < end; ++it) {
            const uint64_t b = std::max(offset, it->at), e = std::min(end, it->at + it->length);
            if (b >= e)
                continue;
            MutableByteSpan part =
                out.subspan(static_cast<size_t>(b - offset), static_cast<size_t>(e - b));
            if (it->part < 0) {
                std::memcpy(part.data(), metadata_.data() + (b - it->at), part.size());
            } else {
                PartitionData& d = *plan_.partitions[static_cast<size_t>(it->part)].data;
                d.read(it->from + (b - it->at), part);
            }
        }
    }

private:
    // The partition's data, holes and all, through its extents on device 0.
    void mapPartition(size_t index) {
        PartitionPlan& p = plan_.partitions[index];
        if (!p.data)
            return;
        const uint64_t length = std::min(p.data->size(), p.size);
        std::vector<ContentRange> data;
        for (uint64_t pos = 0; pos < length;) {
            ContentRange r = p.data->nextData(pos);
            r.end = std::min(r.end, length);
            if (r.begin >= r.end)
                break;
            data.push_back(r);
            pos = r.end;
        }
        uint64_t logical = 0;
        size_t d = 0;
        auto holeOrData = [&](uint64_t from, uint64_t to, uint64_t device) {
            // [from, to) of the partition lies at device..: split into data
            // ranges and holes.
            uint64_t pos = from;
            while (pos < to) {
                while (d < data.size() && data[d].end <= pos)
                    ++d;
                if (d == data.size() || data[d].begin >= to) {
                    zeros_.push_back({device + (pos - from), device + (to - from)});
                    return;
                }
                if (data[d].begin > pos) {
                    zeros_.push_back({device + (pos - from), device + (data[d].begin - from)});
                    pos = data[d].begin;
                }
                const uint64_t e = std::min(to, data[d].end);
                pieces_.push_back({device + (pos - from), e - pos, static_cast<int>(index), pos});
                pos = e;
            }
        };
        for (const Extent& x : p.extents) {
            const uint64_t bytes = x.sectors * kSectorSize;
            const uint64_t from = logical, to = std::min(length, logical + bytes);
            logical += bytes;
            if (x.type != ext::kLinear || x.targetSource != 0 || from >= to)
                continue;
            holeOrData(from, to, x.targetData * kSectorSize);
        }
    }

    SuperPlan& plan_;
    Bytes metadata_;
    std::vector<Piece> pieces_;
    std::vector<DataRange> zeros_;
};

// The geometry twice and the metadata in every copy, as one blob from byte
// 4096 on.
Bytes metadataBlob(const SuperPlan& plan) {
    const Geometry& g = plan.geometry;
    Bytes tables = serializeMetadata(plan.metadata);
    if (tables.size() > g.metadataMaxSize)
        throw Error(msg("the partition tables need %1 bytes, more than the %2 bytes each "
                        "metadata copy may take",
                        tables.size(), g.metadataMaxSize));
    tables.resize(g.metadataMaxSize);
    const Bytes geometry = serializeGeometry(g);
    Bytes blob;
    blob.reserve(totalMetadataSize(g.metadataMaxSize, g.slotCount) - kReservedBytes);
    blob.insert(blob.end(), geometry.begin(), geometry.end());
    blob.insert(blob.end(), geometry.begin(), geometry.end());
    for (uint32_t i = 0; i < g.slotCount * 2; ++i)
        blob.insert(blob.end(), tables.begin(), tables.end());
    return blob;
}

bool allZero(ByteSpan b) {
    return std::all_of(b.begin(), b.end(), [](std::byte x) { return x == std::byte{0}; });
}

} // namespace

std::unique_ptr<PartitionData> memberData(Timg& img, const TImgEntry& e) {
    return std::make_unique<MemberData>(img, e);
}

std::unique_ptr<PartitionData> sourceData(std::shared_ptr<const ImageSource> src) {
    return std::make_unique<SourceData>(std::move(src));
}

void planExtents(SuperPlan& plan) {
    Metadata& m = plan.metadata;
    if (m.devices.empty())
        throw Error(msg("the metadata names no block device"));
    const BlockDevice& d = m.devices[0];
    const uint64_t block = plan.geometry.logicalBlockSize;
    for (PartitionPlan& p : plan.partitions)
        if (!p.keep)
            p.size = roundUp(p.size, block);
    checkGroups(plan);
    FreeSpace space(d.firstLogicalSector * kSectorSize, d.size);
    for (const PartitionPlan& p : plan.partitions)
        if (p.keep)
            for (const Extent& x : p.extents)
                if (x.type == ext::kLinear && x.targetSource == 0)
                    space.take(x.targetData * kSectorSize,
                               (x.targetData + x.sectors) * kSectorSize);
    const uint64_t alignment = std::max<uint64_t>(d.alignment, block);
    for (PartitionPlan& p : plan.partitions) {
        if (p.keep)
            continue;
        if (p.size == 0) {
            p.extents.clear();
            continue;
        }
        const uint64_t available = space.total();
        std::optional<std::vector<Extent>> x = space.allocate(p.size, alignment, d.alignmentOffset);
        if (!x)
            throw Error(msg("partition %1 takes %2 bytes, but the super device %3 has only %4 "
                            "bytes free (%5 bytes in all)",
                            p.name, p.size, d.name, available, d.size));
        p.extents = std::move(*x);
    }
    m.partitions.clear();
    m.extents.clear();
    for (const PartitionPlan& p : plan.partitions) {
        Partition out;
        out.name = p.name;
        out.attributes = p.attributes;
        out.group = p.group;
        out.firstExtent = static_cast<uint32_t>(m.extents.size());
        out.numExtents = static_cast<uint32_t>(p.extents.size());
        m.extents.insert(m.extents.end(), p.extents.begin(), p.extents.end());
        m.partitions.push_back(std::move(out));
    }
    uint64_t end = totalMetadataSize(plan.geometry.metadataMaxSize, plan.geometry.slotCount);
    for (const Extent& x : m.extents)
        if (x.type == ext::kLinear && x.targetSource == 0)
            end = std::max(end, (x.targetData + x.sectors) * kSectorSize);
    plan.imageSize = std::max(plan.imageSize, end);
}

bool writeSuperImage(SuperPlan& plan, const std::string& path, bool sparse, JobReporter& rep,
                     const std::atomic<int>& cancel) {
    ImageLayout layout(plan, metadataBlob(plan));
    const uint64_t total = layout.dataBytes();
    uint64_t done = 0;
    auto progress = [&](uint64_t n) {
        if (cancel.load() != 0)
            throw Cancelled{};
        done += n;
        rep.progress(static_cast<int64_t>(done), static_cast<int64_t>(total), 5,
                     msg("Writing partitions"));
    };
    try {
        OutputFile out(path);
        if (sparse) {
            const uint64_t size = roundUp(plan.imageSize, kSparseBlock);
            std::vector<DataRange> data;
            for (const Piece& p : layout.pieces())
                data.push_back({p.at, p.at + p.length});
            writeSparseImage(
                size, kSparseBlock, data, layout.zeros(),
                [&](uint64_t offset, MutableByteSpan span) {
                    layout.read(offset, span);
                    progress(span.size());
                },
                out);
        } else {
            out.resize(plan.imageSize);
            Bytes buf(kCopyBuffer);
            for (const Piece& p : layout.pieces()) {
                for (uint64_t pos = 0; pos < p.length;) {
                    const size_t n =
                        static_cast<size_t>(std::min<uint64_t>(buf.size(), p.length - pos));
                    MutableByteSpan part(buf.data(), n);
                    layout.read(p.at + pos, part);
                    if (!allZero(part)) // the file reads zeros where nothing is written
                        out.writeAt(p.at + pos, part);
                    pos += n;
                    progress(n);
                }
            }
        }
        out.commit();
    } catch (const Cancelled&) {
        return false;
    }
    return true;
}

} // namespace korvane::lp
