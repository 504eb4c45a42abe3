#include "tyaffs2obj.h"

#include "header.h"

#include <algorithm>
#include <cstring>

namespace korvane {

using namespace yaffs2;

const std::byte* Tyaffs2obj::record(uint64_t position) const {
    if (!lastRecord_.empty() && position + 1 == info_.chunkCount)
        return lastRecord_.data();
    return data() + position * layout().recordSize();
}

const std::byte* Tyaffs2obj::page(uint32_t position, Bytes& scratch) const {
    noteReadAt(uint64_t{position} * layout().recordSize(), layout().recordSize());
    return withFixes(position, record(position), scratch);
}

bool Tyaffs2obj::hasFixes(uint32_t position) const {
    auto it = std::lower_bound(fixes_.begin(), fixes_.end(), position,
                               [](const Fix& f, uint32_t q) { return f.chunk < q; });
    return it != fixes_.end() && it->chunk == position;
}

const std::byte* Tyaffs2obj::withFixes(uint32_t position, const std::byte* p,
                                       Bytes& scratch) const {
    if (!hasFixes(position))
        return p;
    scratch.assign(p, p + layout().pageSize);
    applyFixes(position, 0, layout().pageSize, scratch.data());
    return scratch.data();
}

void Tyaffs2obj::applyFixes(uint32_t position, uint64_t from, uint64_t to, std::byte* out) const {
    auto it = std::lower_bound(fixes_.begin(), fixes_.end(), position,
                               [](const Fix& f, uint32_t q) { return f.chunk < q; });
    for (; it != fixes_.end() && it->chunk == position; ++it)
        if (it->fix.offset >= from && it->fix.offset < to)
            out[it->fix.offset - from] ^= std::byte{it->fix.mask};
}

bool Tyaffs2obj::decodeEntry(uint32_t id, TImgEntry& e) const {
    if (id >= objChunks.size() || objChunks[id].headerChunk < 0)
        return false;
    Bytes scratch;
    decodeEntryAt(id, page(chunkTable[static_cast<size_t>(objChunks[id].headerChunk)], scratch), e);
    return true;
}

void Tyaffs2obj::decodeEntryAt(uint32_t id, const std::byte* c, TImgEntry& e) const {
    const Layout& lay = layout();
    ObjectHeader h = decodeHeader(c, lay.chunkDataSize(), lay.headerOrder());
    e = TImgEntry{};
    e.name = std::move(h.name);
    e.objType = h.type <= kHdrSpecial ? static_cast<uint8_t>(h.type) : uint8_t{kTypeUnknown};
    e.mode = h.mode;
    e.uid = h.uid;
    e.gid = h.gid;
    e.atime = h.atime;
    e.mtime = h.mtime;
    e.ctime = h.ctime;
    e.xattrs = std::move(h.xattrs);
    switch (e.objType) {
    case kTypeFile:
        e.size = h.fileSize;
        break;
    case kTypeSymlink:
        e.alias = std::move(h.alias);
        break;
    case kTypeHardlink:
        e.linkInfo = h.equivId;
        break;
    case kTypeSpecial:
        e.rdev = decodeOldDev(h.rdev);
        break;
    default:
        break;
    }
    e.dataPos = -1;
    e.objId = id;
}

bool Tyaffs2obj::GetEntry(uint32_t id, TImgEntry& entry) {
    if (Node* n = nodeFor(id)) {
        entry = n->entry;
        return true;
    }
    return decodeEntry(id, entry);
}

std::pair<const Tyaffs2obj::DataRef*, const Tyaffs2obj::DataRef*>
Tyaffs2obj::dataFrom(uint32_t objId, uint32_t first) const {
    if (objId >= objChunks.size())
        return {nullptr, nullptr};
    const ObjChunks& oc = objChunks[objId];
    const DataRef* b = dataIndex_.data() + oc.dataBegin;
    const DataRef* e = dataIndex_.data() + oc.dataEnd;
    b = std::lower_bound(b, e, first, [](const DataRef& d, uint32_t id) { return d.chunkId < id; });
    return {b, e};
}

size_t Tyaffs2obj::readImageRange(const TImgEntry& e, uint64_t offset, MutableByteSpan out) {
    std::memset(out.data(), 0, out.size());
    const uint64_t dataSize = layout().chunkDataSize();
    const uint64_t recordSize = layout().recordSize();
    const uint64_t end = offset + out.size();
    // Chunks in neighbouring records are read together, with one system call
    // (see ImageSource::readThrough): reading every file of an image then
    // costs a call a file, and none of the image stays resident.
    constexpr size_t kRunRecords = 256;
    Bytes run;
    auto [it, last] = dataFrom(e.objId, static_cast<uint32_t>(offset / dataSize) + 1);
    auto startOf = [&](const DataRef* d) { return uint64_t{d->chunkId - 1} * dataSize; };
    while (it != last && startOf(it) < end) {
        const DataRef* stop = it + 1;
        while (stop != last && static_cast<size_t>(stop - it) < kRunRecords &&
               stop->chunk == (stop - 1)->chunk + 1 && startOf(stop) < end &&
               !(lastRecord_.size() && stop->chunk + 1 == info_.chunkCount))
            ++stop;
        const bool shortLast = !lastRecord_.empty() && it->chunk + 1 == info_.chunkCount;
        const std::byte* base = nullptr;
        if (shortLast) {
            base = lastRecord_.data();
        } else {
            run.resize(static_cast<size_t>(stop - it) * recordSize);
            image()->readThrough(uint64_t{it->chunk} * recordSize, MutableByteSpan(run));
            base = run.data();
        }
        for (const DataRef* d = it; d != stop; ++d) {
            const uint64_t at = startOf(d);
            const uint64_t from = std::max(at, offset);
            const uint64_t to = std::min(at + d->bytes, end);
            if (from >= to)
                continue;
            std::byte* dst = out.data() + (from - offset);
            std::memcpy(dst, base + (d - it) * recordSize + (from - at),
                        static_cast<size_t>(to - from));
            if (!fixes_.empty())
                applyFixes(d->chunk, from - at, to - at, dst);
        }
        it = stop;
    }
    return out.size();
}

ContentRange Tyaffs2obj::nextImageData(const TImgEntry& e, uint64_t offset) {
    const uint64_t total = contentSize(e);
    const uint64_t dataSize = layout().chunkDataSize();
    auto [it, last] = dataFrom(e.objId, static_cast<uint32_t>(offset / dataSize) + 1);
    if (it == last)
        return {total, total};
    // A run of consecutive chunk ids is one range of data.
    uint64_t begin = std::max(offset, uint64_t{it->chunkId - 1} * dataSize);
    uint32_t id = it->chunkId;
    while (it + 1 != last && (it + 1)->chunkId == id + 1) {
        ++it;
        ++id;
    }
    return {begin, std::min(total, uint64_t{id} * dataSize)};
}

std::vector<std::pair<std::string, std::string>> Tyaffs2obj::describe() const {
    const Layout& lay = layout();
    const Detection& d = detection_;
    std::string how;
    if (fixed_)
        how = "set by the program";
    else if (d.given)
        how = "given by options";
    else
        how = std::to_string(d.confidence) + "% sure (" + std::to_string(d.passed) + " of " +
              std::to_string(d.sampled) + " sampled pages check out)";
    std::string tagPlace = std::to_string(info_.tagOffset);
    if (lay.inbandTags)
        tagPlace += " (inband, in the page)";
    else
        tagPlace += " (spare offset " + std::to_string(lay.tagOffset) + ")";
    std::string dataEcc = "none";
    if (lay.dataEcc != kEccNone)
        dataEcc = std::string(lay.dataEcc == kEccYaffs ? "YAFFS" : "NAND") + " at spare offset " +
                  std::to_string(lay.dataEccOffset);
    return {
        {"format", "YAFFS2"},
        {"image size", std::to_string(size())},
        {"layout", describeLayout(lay)},
        {"layout found", how},
        {"page size", std::to_string(lay.pageSize)},
        {"spare size", std::to_string(lay.spareSize)},
        {"tag offset", tagPlace},
        {"tag ECC", lay.tagEcc && !lay.inbandTags ? "yes" : "no"},
        {"byte order", orderMessage(lay).english()},
        {"data ECC", dataEcc},
        {"pages per block",
         lay.pagesPerBlock ? std::to_string(lay.pagesPerBlock) : std::string("not known")},
        {"chunks", std::to_string(info_.chunkCount)},
        {"bad blocks", std::to_string(info_.badBlocks)},
        {"tag ECC fixed", std::to_string(info_.tagEccCorrected)},
        {"tag ECC failed", std::to_string(info_.tagEccFailed)},
        {"data ECC fixed", std::to_string(info_.dataEccCorrected)},
        {"data ECC failed", std::to_string(info_.dataEccFailed)},
        {"runs kept", std::to_string(info_.runsKept)},
        {"runs dropped", std::to_string(info_.runsDropped)},
        {"headers", std::to_string(info_.headers)},
        {"objects", std::to_string(info_.objects)},
        {"left out", std::to_string(info_.leftOut)},
        {"highest object id", std::to_string(maxObjId)},
    };
}

} // namespace korvane
