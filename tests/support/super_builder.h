// Super images made for the tests from the metadata format itself (Debian
// has no lpmake): the geometry, every slot's primary and backup metadata
// with their SHA-256 checksums, and the partitions' bytes in their extents.
#pragma once

#include "model/bytes.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace korvane::test {

struct SuperPartSpec {
    std::string name;
    uint32_t attributes = 0;
    uint32_t group = 0;
    Bytes contents; // a multiple of 512 bytes; empty for a partition without extents
    // Split over this many linear extents, laid out in reverse order on the
    // device so that the order of the table, not of the device, counts.
    uint32_t pieces = 1;
    uint64_t zeroTail = 0; // bytes of a zero extent after the linear ones
};

struct SuperFixture {
    uint32_t metadataMaxSize = 65536;
    uint32_t slots = 2;
    uint32_t blockSize = 4096;
    uint16_t minor = 0;
    uint32_t headerFlags = 0;
    uint64_t deviceSize = 16u << 20;
    uint32_t alignment = 1u << 20;
    std::vector<std::pair<std::string, uint64_t>> groups = {{"default", 0}};
    std::vector<SuperPartSpec> parts;
};

// The image of shape (deviceSize bytes, holes where nothing lies).
void writeSuperFixture(const SuperFixture& shape, const std::string& path);

// Where the primary metadata of slot 0 starts (for tests that damage it).
constexpr uint64_t kSuperSlot0 = 12288;

} // namespace korvane::test
