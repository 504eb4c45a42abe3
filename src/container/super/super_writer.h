// Writing a super image: the partitions' places are planned (kept where a
// partition keeps its bytes, found in free space where it changed), checked
// against the groups' maximum sizes and the device, and the geometry, every
// metadata copy and the partitions' bytes are written, plain or as an
// Android sparse image.
#pragma once

#include "lp_metadata.h"
#include "model/timg.h"
#include "model/work.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace korvane::lp {

// What a partition holds while it is written.
class PartitionData {
public:
    virtual ~PartitionData() = default;
    virtual uint64_t size() const = 0;
    // Reads out.size() bytes at offset (fewer only at the end).
    virtual size_t read(uint64_t offset, MutableByteSpan out) = 0;
    // The first range of data at or after offset; the bytes before it are a
    // hole (zeros).
    virtual ContentRange nextData(uint64_t offset) { return {offset, size()}; }
};

// The contents of a member of an image.
std::unique_ptr<PartitionData> memberData(Timg& img, const TImgEntry& e);
// The bytes of a source.
std::unique_ptr<PartitionData> sourceData(std::shared_ptr<const ImageSource> src);

struct PartitionPlan {
    std::string name;
    uint32_t attributes = 0;
    uint32_t group = 0;
    uint64_t size = 0; // bytes of the partition, whole logical blocks
    // Kept extents (keep), or none until planExtents places the partition.
    std::vector<Extent> extents;
    bool keep = false;
    // Its bytes; past their end the partition is left unwritten.
    std::unique_ptr<PartitionData> data;
};

struct SuperPlan {
    Geometry geometry;
    Metadata metadata; // version, flags, groups and block devices; partitions are made
    std::vector<PartitionPlan> partitions;
    uint64_t imageSize = 0; // of the file written
};

// Places every partition that keeps no extents in the free space of the
// first block device (aligned as it says), after checking the groups'
// maximum sizes, and fills plan.metadata's partitions and extents. Throws
// Error naming the partition, the group and the sizes when it does not fit.
void planExtents(SuperPlan& plan);

// Writes the image planned to path: the geometry twice, the metadata in
// every slot's primary and backup copy, each partition's bytes where its
// extents lie (holes as zeros), nothing elsewhere. Sparse: an Android sparse
// image whose unwritten stretches are "don't care". Returns false when
// cancel was set (nothing is left behind). Throws Error.
bool writeSuperImage(SuperPlan& plan, const std::string& path, bool sparse, JobReporter& rep,
                     const std::atomic<int>& cancel);

} // namespace korvane::lp
