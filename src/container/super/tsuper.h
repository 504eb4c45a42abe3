// Tsuper: a super image (Android dynamic partitions) as a container whose
// members are its partitions, each the bytes of its extents in order.
#pragma once

#include "container/container.h"
#include "lp_metadata.h"

#include <unordered_map>

namespace korvane {

class Tsuper : public Tcontainer {
public:
    void Open() override;
    std::string formatName() const override { return "Android super"; }
    std::vector<std::pair<std::string, std::string>> describe() const override;
    std::vector<std::pair<std::string, std::string>> memberFacts(const TImgEntry& e) const override;

    const lp::Geometry& geometry() const { return geometry_; }
    // The metadata the members were read from (slot 0's first good copy).
    const lp::Metadata& metadata() const { return metadata_; }
    // The partition (an index into metadata().partitions) member id stands
    // for; -1 for a member added since.
    int partitionOf(uint32_t objId) const;

protected:
    size_t readImageRange(const TImgEntry& e, uint64_t offset, MutableByteSpan out) override;
    ContentRange nextImageData(const TImgEntry& e, uint64_t offset) override;

private:
    // What became of one copy of the metadata.
    struct CopyState {
        bool good = false;
        Message why;
        bool sameAsChosen = false;
    };
    void readGeometry();
    void readSlots();
    void addPartitions();

    lp::Geometry geometry_;
    lp::Metadata metadata_;
    std::vector<CopyState> copies_; // primary and backup of each slot in turn
    size_t chosen_ = 0;             // index into copies_
    bool geometryFromBackup_ = false;
    std::unordered_map<uint32_t, int> partitionOf_;
};

} // namespace korvane
