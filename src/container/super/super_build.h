// A new super image from partition images and a description of its groups
// and sizes, as lpmake builds one: the metadata goes in every slot, each
// partition in its own aligned stretch of the device, in the order given.
#pragma once

#include "lp_metadata.h"
#include "model/work.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace korvane::lp {

struct PackPartition {
    std::string name;
    uint32_t attributes = 0;
    uint64_t size = 0; // bytes; 0 with an image: the image's size
    std::string group = "default";
    std::shared_ptr<const ImageSource> image; // nullptr: left unwritten
    std::string imageName;                    // for messages
};

struct SuperShape {
    Geometry geometry;
    uint64_t deviceSize = 0; // 0: what the partitions need
    uint32_t alignment = 1u << 20;
    std::string deviceName = "super";
    bool virtualAb = false;    // metadata 10.2 with the virtual A/B flag
    std::vector<Group> groups; // besides "default"
    std::vector<PackPartition> partitions;
};

// Checks shape (names, groups, sizes, images that fit their partitions) and
// writes the image to out. Returns false when cancel was set. Throws Error
// naming what does not fit.
bool packSuper(SuperShape shape, const std::string& out, bool sparse, JobReporter& rep,
               const std::atomic<int>& cancel);

// "readonly,slot-suffixed" (or "none") as attribute bits; throws Error for an
// unknown name.
uint32_t parseAttributes(const std::string& text);

} // namespace korvane::lp
