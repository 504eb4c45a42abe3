#include "tsuper.h"

#include "model/error.h"
#include "source/extent_source.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

namespace korvane {

using namespace lp;

namespace {

Message copyLabel(size_t index) {
    return index % 2 == 0 ? msg("the primary metadata of slot %1", index / 2)
                          : msg("the backup metadata of slot %1", index / 2);
}

bool sameTables(const Metadata& a, const Metadata& b) {
    return serializeMetadata(a) == serializeMetadata(b);
}

// Zero runs of partitions (zero extents, "don't care" stretches of a sparse
// image, space a filesystem never wrote) are handed out as holes, found a
// step at a time and at most a stretch ahead, so that extraction and saving
// skip them.
constexpr size_t kHoleStep = 64u << 10;
constexpr uint64_t kDataAhead = 8u << 20;
constexpr uint64_t kScanLimit = 256u << 20;

bool allZero(ByteSpan b) {
    const auto* p = b.data();
    size_t i = 0;
    for (; i + 8 <= b.size(); i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (w != 0)
            return false;
    }
    for (; i < b.size(); ++i)
        if (p[i] != std::byte{0})
            return false;
    return true;
}

std::string hexText(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", v);
    return text;
}

std::string bytesText(uint64_t n) {
    return std::to_string(n) + " bytes";
}

} // namespace

int Tsuper::partitionOf(uint32_t objId) const {
    auto it = partitionOf_.find(objId);
    return it == partitionOf_.end() ? -1 : it->second;
}

size_t Tsuper::readImageRange(const TImgEntry& e, uint64_t offset, MutableByteSpan out) {
    const size_t n = Tcontainer::readImageRange(e, offset, out);
    noteRead(n); // a partition of gigabytes must not stay resident
    return n;
}

ContentRange Tsuper::nextImageData(const TImgEntry& e, uint64_t offset) {
    const uint64_t size = contentSize(e);
    // The stretches that may hold data: linear extents of this file's device
    // that lie inside the image. Zero extents, other devices and extents past
    // the end are holes without reading a byte.
    std::vector<ContentRange> maybe;
    const int index = partitionOf(e.objId);
    if (index < 0) {
        maybe.push_back({0, size});
    } else {
        const uint64_t imageSize = image()->size();
        uint64_t pos = 0;
        for (const Extent& x :
             metadata_.extentsOf(metadata_.partitions[static_cast<size_t>(index)])) {
            const uint64_t length = x.sectors * kSectorSize;
            const uint64_t at = x.targetData * kSectorSize;
            if (x.type == ext::kLinear && x.targetSource == 0 && at < imageSize)
                maybe.push_back({pos, pos + std::min(length, imageSize - at)});
            pos += length;
        }
    }
    Bytes step(kHoleStep);
    auto zeros = [&](uint64_t at, uint64_t end) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(step.size(), end - at));
        Tcontainer::readImageRange(e, at, MutableByteSpan(step.data(), n));
        return std::pair<bool, size_t>{allZero(ByteSpan(step.data(), n)), n};
    };
    uint64_t scanned = 0;
    for (const ContentRange& r : maybe) {
        if (r.end <= offset)
            continue;
        for (uint64_t at = std::max(r.begin, offset); at < r.end;) {
            const auto [zero, n] = zeros(at, r.end);
            if (!zero) {
                // The data, up to the next hole, the extent's end or a
                // stretch ahead.
                uint64_t end = at + n;
                while (end < r.end && end - at < kDataAhead) {
                    const auto [z, m] = zeros(end, r.end);
                    if (z)
                        break;
                    end += m;
                }
                noteRead(end - at);
                return {at, end};
            }
            at += n;
            scanned += n;
            // Each call scans a bounded stretch: past it, the zeros come out
            // as data, so the work stays in step with what is read.
            if (scanned >= kScanLimit && at < r.end) {
                noteRead(scanned);
                return {at, std::min(r.end, at + kHoleStep)};
            }
        }
    }
    noteRead(scanned);
    return {size, size};
}

void Tsuper::readGeometry() {
    Message why;
    Bytes block = readBytes(*image(), kGeometryOffset, kGeometrySize);
    if (auto g = parseGeometry(block, &why)) {
        geometry_ = *g;
        return;
    }
    Message backupWhy;
    block = readBytes(*image(), kGeometryBackupOffset, kGeometrySize);
    if (auto g = parseGeometry(block, &backupWhy)) {
        warn(msg("the geometry cannot be used (%1); its backup is", why));
        geometry_ = *g;
        geometryFromBackup_ = true;
        return;
    }
    throw Error(msg("not a super image: %1; the backup geometry: %2", why, backupWhy));
}

void Tsuper::readSlots() {
    const Geometry& g = geometry_;
    std::optional<Metadata> first;
    for (uint32_t slot = 0; slot < g.slotCount; ++slot) {
        for (int backup = 0; backup < 2; ++backup) {
            const uint64_t at = backup ? backupMetadataOffset(g.metadataMaxSize, g.slotCount, slot)
                                       : primaryMetadataOffset(g.metadataMaxSize, slot);
            CopyState st;
            std::optional<Metadata> m = readMetadata(*image(), at, g, &st.why);
            st.good = m.has_value();
            if (m && !first) {
                first = std::move(m);
                chosen_ = copies_.size();
                st.sameAsChosen = true;
            } else if (m) {
                st.sameAsChosen = sameTables(*m, *first);
            }
            copies_.push_back(std::move(st));
        }
    }
    if (!first) {
        Message why = copies_.front().why;
        throw Error(msg("no copy of the super metadata can be read (%1: %2)", copyLabel(0), why));
    }
    metadata_ = std::move(*first);
    for (size_t i = 0; i < chosen_; ++i)
        warn(msg("%1 cannot be used: %2", copyLabel(i), copies_[i].why));
    if (chosen_ != 0)
        warn(msg("the partitions are read from %1", copyLabel(chosen_)));
    for (size_t i = chosen_ + 1; i < copies_.size(); ++i)
        if (!copies_[i].good)
            warn(msg("%1 cannot be used: %2", copyLabel(i), copies_[i].why));
}

void Tsuper::addPartitions() {
    bool otherDevice = false;
    for (size_t i = 0; i < metadata_.partitions.size(); ++i) {
        const Partition& p = metadata_.partitions[i];
        std::vector<SourceExtent> pieces;
        for (const Extent& x : metadata_.extentsOf(p)) {
            const uint64_t length = x.sectors * kSectorSize;
            if (x.type == ext::kZero) {
                pieces.push_back({length, 0, true});
            } else if (x.targetSource != 0) {
                // Retrofit devices spread partitions over several block
                // devices; only the first one is in this file.
                otherDevice = true;
                pieces.push_back({length, 0, true});
            } else {
                pieces.push_back({length, x.targetData * kSectorSize, false});
            }
        }
        auto bytes = std::make_shared<ExtentSource>(sharedImage(), std::move(pieces));
        for (const Message& m : bytes->problems())
            warn(msg("%1: %2", p.name, m));
        Node* n = addMember(p.name, std::move(bytes));
        partitionOf_[n->entry.objId] = static_cast<int>(i);
        DoWork(static_cast<int64_t>(i + 1), static_cast<int64_t>(metadata_.partitions.size()), 2,
               verbatim(p.name), kFlagRead);
    }
    if (otherDevice)
        warn(msg("some partitions lie on block devices other than %1, which this file does not "
                 "hold; those parts read as zeros",
                 metadata_.devices[0].name));
}

void Tsuper::Open() {
    DoWork(0, 0, 1, msg("Reading the super metadata"), kFlagRead);
    readGeometry();
    readSlots();
    startMembers();
    addPartitions();
    DoWork(0, 0, 3, msg("Done"), kFlagRead);
}

std::vector<std::pair<std::string, std::string>> Tsuper::describe() const {
    std::vector<std::pair<std::string, std::string>> f;
    const Metadata& m = metadata_;
    f.push_back({"metadata version", std::to_string(m.major) + "." + std::to_string(m.minor)});
    f.push_back({"geometry", "metadata slots " + std::to_string(geometry_.slotCount) + ", up to " +
                                 bytesText(geometry_.metadataMaxSize) + " a copy, logical block " +
                                 std::to_string(geometry_.logicalBlockSize) +
                                 (geometryFromBackup_ ? " (from the backup)" : "")});
    if (m.flags != 0) {
        std::string flags;
        if (m.flags & hdr::kFlagVirtualAb)
            flags += "virtual A/B";
        if (m.flags & hdr::kFlagOverlaysActive)
            flags += std::string(flags.empty() ? "" : ", ") + "overlays active";
        if (m.flags & ~(hdr::kFlagVirtualAb | hdr::kFlagOverlaysActive))
            flags += std::string(flags.empty() ? "" : ", ") + hexText(m.flags);
        f.push_back({"header flags", flags});
    }
    for (size_t i = 0; i < copies_.size(); i += 2) {
        auto state = [&](size_t k) {
            const CopyState& c = copies_[k];
            if (!c.good)
                return "bad (" + c.why.english() + ")";
            if (k == chosen_)
                return std::string("good, read");
            return std::string(c.sameAsChosen ? "good, same" : "good, differs");
        };
        f.push_back({"slot " + std::to_string(i / 2) +
                         (i / 2 == 0   ? " (_a)"
                          : i / 2 == 1 ? " (_b)"
                                       : ""),
                     "primary " + state(i) + "; backup " + state(i + 1)});
    }
    std::vector<uint64_t> used(m.groups.size(), 0);
    for (const Partition& p : m.partitions)
        if (p.group < used.size())
            used[p.group] += m.sizeOf(p);
    for (size_t i = 0; i < m.groups.size(); ++i) {
        const Group& g = m.groups[i];
        std::string v = bytesText(used[i]) + " used of " +
                        (g.maximumSize ? bytesText(g.maximumSize) : std::string("no maximum"));
        if (g.flags & grp::kFlagSlotSuffixed)
            v += ", slot-suffixed";
        f.push_back({"group " + g.name, v});
    }
    for (const BlockDevice& d : m.devices) {
        std::string v = bytesText(d.size) + ", partitions from byte " +
                        std::to_string(d.firstLogicalSector * kSectorSize) + ", alignment " +
                        std::to_string(d.alignment);
        if (d.alignmentOffset)
            v += " + " + std::to_string(d.alignmentOffset);
        if (d.flags & dev::kFlagSlotSuffixed)
            v += ", slot-suffixed";
        f.push_back({"block device " + d.name, v});
    }
    return f;
}

std::vector<std::pair<std::string, std::string>> Tsuper::memberFacts(const TImgEntry& e) const {
    const int index = partitionOf(e.objId);
    if (index < 0 || memberSource(e) == nullptr)
        return {{"partition", "new contents, written when the image is saved"}};
    const Metadata& m = metadata_;
    const Partition& p = m.partitions[static_cast<size_t>(index)];
    std::vector<std::pair<std::string, std::string>> f;
    f.push_back({"group", p.group < m.groups.size() ? m.groups[p.group].name : "?"});
    f.push_back({"attributes", attributeText(p.attributes)});
    std::string extents;
    for (const Extent& x : m.extentsOf(p)) {
        extents += extents.empty() ? "" : "; ";
        if (x.type == ext::kZero)
            extents += "zero " + bytesText(x.sectors * kSectorSize);
        else
            extents += bytesText(x.sectors * kSectorSize) + " at byte " +
                       std::to_string(x.targetData * kSectorSize) +
                       (x.targetSource ? " of device " + std::to_string(x.targetSource) : "");
    }
    f.push_back({"extents", extents.empty() ? "none (empty)" : extents});
    return f;
}

} // namespace korvane
