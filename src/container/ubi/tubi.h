// Tubi: a UBI image. Opening scans every PEB's headers, maps each volume's
// LEBs to the PEBs holding their newest copies, reads the volume table and
// makes every volume a member: a dynamic volume is all its reserved LEBs in
// order (unmapped ones read as zeros and are holes), a static volume the
// bytes its LEBs hold. A member opens as the image it holds (UBIFS, or
// anything else a volume may carry).
#pragma once

#include "container/container.h"
#include "source/extent_source.h"
#include "ubi_scan.h"
#include "ubi_vtbl.h"

#include <string>
#include <vector>

namespace korvane {

class Tubi : public Tcontainer {
public:
    struct Volume {
        uint32_t id = 0;
        ubi::VolumeRecord record;
        bool inTable = true;        // false: made up from VID headers alone
        uint32_t usableLebSize = 0; // LEB size less the data pad
        uint64_t lebs = 0;          // LEBs the member spans
        uint64_t mappedLebs = 0;
        uint64_t size = 0; // the member's bytes
        uint32_t badCrcLebs = 0;
        uint32_t objId = 0;
        std::vector<SourceExtent> extents;
    };

    void Open() override;
    std::string formatName() const override { return "UBI"; }
    std::vector<std::pair<std::string, std::string>> describe() const override;
    std::vector<std::pair<std::string, std::string>> memberFacts(const TImgEntry& e) const override;

    const ubi::ScanResult& scan() const { return scan_; }
    const std::vector<Volume>& volumes() const { return volumes_; }

protected:
    ContentRange nextImageData(const TImgEntry& e, uint64_t offset) override;

private:
    void makeVolumes();
    void addVolume(uint32_t id, const ubi::VolumeRecord& rec, bool inTable,
                   std::span<const ubi::MappedLeb> lebs);
    void dynamicExtents(Volume& v, std::span<const ubi::MappedLeb> lebs);
    void staticExtents(Volume& v, std::span<const ubi::MappedLeb> lebs);
    const Volume* volumeOf(const TImgEntry& e) const;

    ubi::ScanResult scan_;
    ubi::VolumeTable table_;
    std::vector<Volume> volumes_;
};

} // namespace korvane
