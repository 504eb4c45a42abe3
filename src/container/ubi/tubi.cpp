#include "tubi.h"

#include "model/error.h"
#include "ubi_format.h"

#include <algorithm>
#include <bit>
#include <map>

namespace korvane {

using namespace ubi;

namespace {

// Larger than any flash a UBI image is made for.
constexpr uint64_t kMaxVolumeBytes = 1ull << 40;

std::string typeName(uint8_t t) {
    return t == kStatic ? "static" : "dynamic";
}

// The smallest power of two m >= from with align(vid + 64, m) == dataOffset:
// the minimum I/O unit a tool that puts the data right after the VID header
// had; 0 when there is none.
uint32_t derivedMinIo(const Geometry& g, uint32_t from) {
    for (uint64_t m = std::max<uint32_t>(from, 1); m <= g.dataOffset; m *= 2)
        if ((uint64_t{g.vidHdrOffset} + vid::kSize + m - 1) / m * m == g.dataOffset)
            return static_cast<uint32_t>(m);
    return 0;
}

// Ubinize and the kernel put the VID header at the start of the second
// sub-page, right after the EC header's.
uint32_t derivedSubPage(const Geometry& g) {
    return std::has_single_bit(g.vidHdrOffset) ? g.vidHdrOffset : 0;
}

std::string sizeText(uint64_t bytes) {
    return std::to_string(bytes) + " bytes";
}

} // namespace

void Tubi::Open() {
    JobReporter rep(onwk, kFlagRead);
    rep.send(0, 0, 1, {});
    try {
        const ImageSource& src = *image();
        if (src.size() < ec::kSize)
            throw Error(
                msg("not a UBI image: %1 bytes are too few to hold an EC header", src.size()));
        const Bytes head = readBytes(src, 0, ec::kSize);
        const std::optional<EcHeader> first = loadEcHeader(head.data());
        if (!first)
            throw Error("not a UBI image: no EC header that checks out at byte 0");
        Message why;
        const std::optional<Geometry> g = findGeometry(src, *first, &why);
        if (!g)
            throw Error(msg("the PEB size of the UBI image cannot be found: %1", why));
        scan_ = scanPebs(
            src, *g, [this](Message m) { warn(std::move(m)); },
            [&](uint64_t done, uint64_t total) {
                rep.progress(static_cast<int64_t>(done), static_cast<int64_t>(total), 2, {});
                return cancel == 0;
            });
        table_ = readVolumeTable(src, *g, scan_.lebs, [this](Message m) { warn(std::move(m)); });
        makeVolumes();
    } catch (...) {
        rep.send(0, 0, 3, {});
        throw;
    }
    rep.send(0, 0, 3, {});
}

void Tubi::makeVolumes() {
    startMembers();
    volumes_.clear();
    // The LEBs of each volume, in LEB order (the scan sorted them).
    std::map<uint32_t, std::span<const MappedLeb>> byVolume;
    const std::vector<MappedLeb>& lebs = scan_.lebs;
    for (size_t i = 0; i < lebs.size();) {
        size_t end = i;
        while (end < lebs.size() && lebs[end].volId == lebs[i].volId)
            ++end;
        if (lebs[i].volId != kLayoutVolumeId)
            byVolume[lebs[i].volId] = std::span<const MappedLeb>(lebs.data() + i, end - i);
        i = end;
    }
    if (!table_.found && !byVolume.empty())
        warn(msg("the UBI image has no volume table; its volumes are named by their ids"));
    for (const TableVolume& tv : table_.volumes) {
        auto it = byVolume.find(tv.id);
        addVolume(tv.id, tv.record, true,
                  it == byVolume.end() ? std::span<const MappedLeb>() : it->second);
        if (it != byVolume.end())
            byVolume.erase(it);
    }
    for (const auto& [id, span] : byVolume) {
        if (table_.found)
            warn(msg("%1 PEBs hold LEBs of volume %2, which the volume table does not list; it "
                     "is shown as %3",
                     span.size(), id, "volume-" + std::to_string(id)));
        VolumeRecord r;
        r.name = "volume-" + std::to_string(id);
        r.volType = span.front().volType;
        r.reservedPebs = span.back().lnum + 1;
        r.alignment = 1;
        r.dataPad = span.front().dataPad;
        addVolume(id, r, false, span);
    }
}

void Tubi::addVolume(uint32_t id, const VolumeRecord& rec, bool inTable,
                     std::span<const MappedLeb> lebs) {
    Volume v;
    v.id = id;
    v.record = rec;
    v.inTable = inTable;
    const uint32_t lebSize = scan_.geometry.lebSize();
    if (rec.dataPad >= lebSize) {
        warn(msg("volume %1 claims a data pad of %2 bytes in LEBs of %3; it is read without one",
                 rec.name, rec.dataPad, lebSize));
        v.record.dataPad = 0;
    }
    if (rec.volType != kDynamic && rec.volType != kStatic) {
        warn(msg("volume %1 has the unknown type %2; it is read as a dynamic volume", rec.name,
                 rec.volType));
        v.record.volType = kDynamic;
    }
    if (rec.updMarker)
        warn(msg("volume %1 was being updated when the image was made: its contents may be "
                 "incomplete",
                 rec.name));
    v.usableLebSize = lebSize - v.record.dataPad;
    std::vector<MappedLeb> inRange;
    for (const MappedLeb& l : lebs) {
        if (l.lnum < rec.reservedPebs)
            inRange.push_back(l);
    }
    if (inRange.size() < lebs.size())
        warn(msg("volume %1 has %2 LEBs beyond the %3 it reserves; they are left out", rec.name,
                 lebs.size() - inRange.size(), rec.reservedPebs));
    v.mappedLebs = inRange.size();
    if (v.record.volType == kStatic)
        staticExtents(v, inRange);
    else
        dynamicExtents(v, inRange);
    auto bytes = std::make_shared<ExtentSource>(sharedImage(), v.extents);
    v.size = bytes->size();
    Node* node = addMember(v.record.name, std::move(bytes));
    v.objId = node->entry.objId;
    volumes_.push_back(std::move(v));
}

// All reserved LEBs, unmapped ones as zeros: the volume as the kernel's
// volume device shows it. An image made for a larger flash reserves more
// LEBs than it has PEBs; only a claim beyond any flash is cut.
void Tubi::dynamicExtents(Volume& v, std::span<const MappedLeb> lebs) {
    const Geometry& g = scan_.geometry;
    uint64_t count = v.record.reservedPebs;
    const uint64_t limit = kMaxVolumeBytes / v.usableLebSize;
    if (count > limit) {
        const uint64_t needed = lebs.empty() ? 0 : uint64_t{lebs.back().lnum} + 1;
        count = std::max<uint64_t>(limit, needed);
        warn(msg("volume %1 reserves %2 LEBs, more than any flash holds; it is read as %3 LEBs",
                 v.record.name, v.record.reservedPebs, count));
    }
    v.lebs = count;
    uint64_t next = 0;
    for (const MappedLeb& l : lebs) {
        if (l.lnum > next)
            v.extents.push_back({(l.lnum - next) * v.usableLebSize, 0, true});
        v.extents.push_back({v.usableLebSize, l.peb * g.pebSize + g.dataOffset, false});
        next = uint64_t{l.lnum} + 1;
    }
    if (count > next)
        v.extents.push_back({(count - next) * v.usableLebSize, 0, true});
}

// The LEBs the volume's data takes (used_ebs), each with the bytes its VID
// header says it holds; every LEB's data CRC is checked unless the table
// says to skip it.
void Tubi::staticExtents(Volume& v, std::span<const MappedLeb> lebs) {
    const Geometry& g = scan_.geometry;
    uint64_t used = 0;
    for (const MappedLeb& l : lebs)
        used = std::max<uint64_t>(used, l.usedEbs);
    if (used > v.record.reservedPebs) {
        warn(msg("static volume %1 says its data takes %2 LEBs but reserves %3; %3 are read",
                 v.record.name, used, v.record.reservedPebs));
        used = v.record.reservedPebs;
    }
    v.lebs = used;
    const bool check = (v.record.flags & kFlagSkipCrcCheck) == 0;
    uint64_t next = 0;
    uint64_t missing = 0;
    for (const MappedLeb& l : lebs) {
        if (l.lnum >= used)
            break;
        if (l.lnum > next) {
            missing += l.lnum - next;
            v.extents.push_back({(l.lnum - next) * v.usableLebSize, 0, true});
        }
        const uint32_t n = std::min(l.dataSize, v.usableLebSize);
        v.extents.push_back({n, l.peb * g.pebSize + g.dataOffset, false});
        if (check && (n != l.dataSize || !lebDataCrcOk(*image(), g, l))) {
            if (++v.badCrcLebs <= 4)
                warn(msg("LEB %1 of static volume %2 (PEB %3) fails its data CRC", l.lnum,
                         v.record.name, l.peb));
        }
        next = uint64_t{l.lnum} + 1;
    }
    if (used > next) {
        missing += used - next;
        v.extents.push_back({(used - next) * v.usableLebSize, 0, true});
    }
    if (v.badCrcLebs > 4)
        warn(msg("%1 LEBs of static volume %2 fail their data CRC", v.badCrcLebs, v.record.name));
    if (missing)
        warn(msg("static volume %1 lacks %2 of its %3 LEBs; they read as zeros", v.record.name,
                 missing, used));
}

const Tubi::Volume* Tubi::volumeOf(const TImgEntry& e) const {
    for (const Volume& v : volumes_)
        if (v.objId == e.objId)
            return &v;
    return nullptr;
}

ContentRange Tubi::nextImageData(const TImgEntry& e, uint64_t offset) {
    const Volume* v = volumeOf(e);
    const uint64_t total = contentSize(e);
    if (!v)
        return {offset, total};
    uint64_t at = 0;
    for (size_t i = 0; i < v->extents.size(); ++i) {
        const SourceExtent& x = v->extents[i];
        const uint64_t end = at + x.length;
        if (!x.zero && end > offset) {
            uint64_t last = end;
            for (size_t j = i + 1; j < v->extents.size() && !v->extents[j].zero; ++j)
                last += v->extents[j].length;
            return {std::max(at, offset), std::min(last, total)};
        }
        at = end;
    }
    return {total, total};
}

std::vector<std::pair<std::string, std::string>> Tubi::describe() const {
    const Geometry& g = scan_.geometry;
    const ScanResult& s = scan_;
    const uint32_t subPage = derivedSubPage(g);
    const uint32_t minIo = derivedMinIo(g, subPage);
    std::string pebs = std::to_string(g.pebCount) + " (" + std::to_string(s.used) + " used, " +
                       std::to_string(s.free) + " free, " + std::to_string(s.erased) + " erased, " +
                       std::to_string(s.corrupt) + " bad or corrupt";
    if (s.stale)
        pebs += ", " + std::to_string(s.stale) + " older copies";
    if (s.fastmap)
        pebs += ", " + std::to_string(s.fastmap) + " of a fastmap, ignored";
    if (s.foreign)
        pebs += ", " + std::to_string(s.foreign) + " left out";
    pebs += ")";
    std::string vols;
    for (const Volume& v : volumes_)
        vols += (vols.empty() ? "" : "; ") + v.record.name + " (id " + std::to_string(v.id) + ", " +
                typeName(v.record.volType) + ", " + sizeText(v.size) + ")";
    std::vector<std::pair<std::string, std::string>> f = {
        {"format", "UBI"},
        {"image size", std::to_string(size())},
        {"PEB size", std::to_string(g.pebSize)},
        {"min I/O size",
         minIo ? std::to_string(minIo) + " (from the header offsets)" : std::string("not known")},
        {"sub-page size", subPage ? std::to_string(subPage) + " (from the VID header offset)"
                                  : std::string("not known")},
        {"VID header offset", std::to_string(g.vidHdrOffset)},
        {"data offset", std::to_string(g.dataOffset)},
        {"LEB size", std::to_string(g.lebSize())},
        {"PEBs", pebs},
        {"UBI version", std::to_string(s.version)},
        {"image sequence", std::to_string(s.imageSeq)},
        {"erase counters", s.ecCount ? std::to_string(s.ecMin) + " to " + std::to_string(s.ecMax) +
                                           ", mean " + std::to_string(s.ecSum / s.ecCount)
                                     : std::string("none")},
        {"volume table",
         table_.found ? std::to_string(table_.slots) + " records a copy" : std::string("missing")},
        {"volumes", vols.empty() ? std::string("none") : vols},
    };
    return f;
}

std::vector<std::pair<std::string, std::string>> Tubi::memberFacts(const TImgEntry& e) const {
    const Volume* v = volumeOf(e);
    if (!v)
        return {};
    std::string flags;
    if (v->record.flags & kFlagAutoresize)
        flags += "autoresize";
    if (v->record.flags & kFlagSkipCrcCheck)
        flags += std::string(flags.empty() ? "" : ", ") + "skip CRC check";
    std::vector<std::pair<std::string, std::string>> f = {
        {"volume id", std::to_string(v->id)},
        {"type", typeName(v->record.volType)},
        {"reserved", std::to_string(v->record.reservedPebs) + " LEBs of " +
                         std::to_string(v->usableLebSize) + " bytes"},
        {"mapped LEBs", std::to_string(v->mappedLebs)},
    };
    if (v->record.volType == kStatic)
        f.push_back({"used bytes", std::to_string(v->size)});
    f.push_back({"alignment", std::to_string(v->record.alignment)});
    if (!flags.empty())
        f.push_back({"flags", flags});
    if (v->record.updMarker)
        f.push_back({"update marker", "set: an update was interrupted"});
    if (v->badCrcLebs)
        f.push_back({"bad data CRCs", std::to_string(v->badCrcLebs) + " LEBs"});
    if (!v->inTable)
        f.push_back({"volume table", "not listed; made up from the VID headers"});
    return f;
}

} // namespace korvane
