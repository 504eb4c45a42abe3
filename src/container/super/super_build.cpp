#include "super_build.h"

#include "model/error.h"
#include "super_writer.h"

#include <algorithm>
#include <set>

namespace korvane::lp {

namespace {

uint64_t roundUp(uint64_t v, uint64_t to) {
    return to == 0 ? v : (v + to - 1) / to * to;
}

void checkName(const std::string& what, const std::string& name) {
    bool ok = !name.empty() && name.size() <= part::kNameBytes;
    for (char c : name)
        ok = ok && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_');
    if (!ok)
        throw Error(msg("%1 %2: a name is 1 to 36 letters, digits or underscores", what, name));
}

} // namespace

uint32_t parseAttributes(const std::string& text) {
    uint32_t bits = 0;
    for (size_t at = 0; at <= text.size();) {
        const size_t comma = std::min(text.find(',', at), text.size());
        const std::string word = text.substr(at, comma - at);
        at = comma + 1;
        if (word == "readonly")
            bits |= part::kAttrReadonly;
        else if (word == "slot-suffixed")
            bits |= part::kAttrSlotSuffixed;
        else if (word == "updated")
            bits |= part::kAttrUpdated;
        else if (word == "disabled")
            bits |= part::kAttrDisabled;
        else if (word != "none")
            throw Error(msg("%1 is no partition attribute (readonly, slot-suffixed, updated, "
                            "disabled or none)",
                            word));
    }
    return bits;
}

bool packSuper(SuperShape shape, const std::string& out, bool sparse, JobReporter& rep,
               const std::atomic<int>& cancel) {
    const Geometry& g = shape.geometry;
    if (g.slotCount == 0 || g.slotCount > kMaxSlots)
        throw Error(msg("--metadata-slots takes 1 to %1", kMaxSlots));
    if (g.metadataMaxSize < hdr::kSizeV12 || g.metadataMaxSize % kSectorSize != 0 ||
        g.metadataMaxSize > kMaxMetadataSize)
        throw Error(
            msg("--metadata-size takes a multiple of 512 from 512 to %1", kMaxMetadataSize));
    if (g.logicalBlockSize == 0 || g.logicalBlockSize % 4096 != 0)
        throw Error(msg("the block size must be a multiple of 4096, not %1", g.logicalBlockSize));
    if (shape.alignment == 0 || shape.alignment % g.logicalBlockSize != 0)
        throw Error(msg("the alignment must be a multiple of the block size %1, not %2",
                        g.logicalBlockSize, shape.alignment));
    SuperPlan plan;
    plan.geometry = g;
    Metadata& m = plan.metadata;
    m.minor = 0;
    for (const PackPartition& p : shape.partitions)
        if (p.attributes & part::kAttrMaskV1)
            m.minor = kMinorUpdatedAttr;
    if (shape.virtualAb) {
        m.minor = kMinorExpandedHeader;
        m.flags = hdr::kFlagVirtualAb;
    }
    m.groups.push_back({"default", 0, 0});
    for (const Group& gr : shape.groups) {
        checkName("group", gr.name);
        if (std::any_of(m.groups.begin(), m.groups.end(),
                        [&](const Group& x) { return x.name == gr.name; }))
            throw Error(msg("group %1 is named twice", gr.name));
        m.groups.push_back(gr);
    }
    const uint64_t first =
        roundUp(totalMetadataSize(g.metadataMaxSize, g.slotCount), shape.alignment);
    std::set<std::string> names;
    uint64_t needed = first;
    for (PackPartition& p : shape.partitions) {
        checkName("partition", p.name);
        if (!names.insert(p.name).second)
            throw Error(msg("partition %1 is named twice", p.name));
        const uint64_t imageSize = p.image ? p.image->size() : 0;
        if (p.size == 0)
            p.size = imageSize;
        p.size = roundUp(p.size, g.logicalBlockSize);
        if (imageSize > p.size)
            throw Error(msg("the image %1 (%2 bytes) is larger than partition %3 (%4 bytes)",
                            p.imageName, imageSize, p.name, p.size));
        needed = roundUp(needed, shape.alignment) + p.size;
    }
    if (shape.deviceSize == 0) {
        // Room for every group to reach its maximum too: a device smaller
        // than a group's maximum is a super image that readers (7-Zip among
        // them) take for a cut one.
        for (const Group& gr : m.groups)
            needed = std::max(needed, first + gr.maximumSize);
        shape.deviceSize = roundUp(needed, shape.alignment);
    }
    if (shape.deviceSize % g.logicalBlockSize != 0)
        throw Error(msg("the device size %1 is not a multiple of the block size %2",
                        shape.deviceSize, g.logicalBlockSize));
    if (shape.deviceSize <= first)
        throw Error(msg("a device of %1 bytes has no room after its metadata (%2 bytes)",
                        shape.deviceSize, first));
    m.devices.push_back(
        {first / kSectorSize, shape.alignment, 0, shape.deviceSize, shape.deviceName, 0});
    for (PackPartition& p : shape.partitions) {
        PartitionPlan pp;
        pp.name = p.name;
        pp.attributes = p.attributes;
        pp.size = p.size;
        auto it = std::find_if(m.groups.begin(), m.groups.end(),
                               [&](const Group& x) { return x.name == p.group; });
        if (it == m.groups.end())
            throw Error(
                msg("partition %1 names group %2, which no --group gives", p.name, p.group));
        pp.group = static_cast<uint32_t>(it - m.groups.begin());
        if (p.image)
            pp.data = sourceData(p.image);
        plan.partitions.push_back(std::move(pp));
    }
    planExtents(plan);
    plan.imageSize = shape.deviceSize;
    return writeSuperImage(plan, out, sparse, rep, cancel);
}

} // namespace korvane::lp
