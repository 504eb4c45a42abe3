// The header of a boot image of any kind and version as plain values, the
// places of its sections, and the one routine each that reads and writes it
// (the offsets of bootimg_format.h serve both).
#pragma once

#include "bootimg_format.h"
#include "model/bytes.h"
#include "model/message.h"

#include <optional>
#include <string>
#include <vector>

namespace korvane::bootimg {

enum class Kind : uint8_t { kBoot, kVendorBoot };

// A ramdisk of vendor_boot v4's table.
struct RamdiskEntry {
    uint32_t size = 0;
    uint32_t offset = 0; // in the vendor ramdisk section
    uint32_t type = 0;
    std::string name;
    Bytes boardId; // 64 bytes
};

struct BootHeader {
    Kind kind = Kind::kBoot;
    uint32_t version = 0;
    uint32_t pageSize = 2048;
    uint32_t headerSize = 0; // as stored (v1 on)
    uint32_t kernelAddr = 0, ramdiskAddr = 0, secondAddr = 0, tagsAddr = 0;
    uint64_t dtbAddr = 0;
    uint32_t osVersion = 0; // os_version << 11 | patch level
    std::string name;       // the board name
    std::string cmdline;    // the whole command line (v0-v2: cmdline and extra_cmdline)
    Bytes id;               // v0-v2: 32 bytes
    // Section sizes in bytes.
    uint32_t kernelSize = 0, ramdiskSize = 0, secondSize = 0, recoveryDtboSize = 0;
    uint64_t recoveryDtboOffset = 0;
    uint32_t dtbSize = 0, signatureSize = 0, bootconfigSize = 0;
    // vendor_boot v4.
    uint32_t tableEntrySize = vrt::kEntrySize;
    std::vector<RamdiskEntry> ramdisks;

    bool isInitBoot() const { return kind == Kind::kBoot && version >= 4 && kernelSize == 0; }
    // The bytes before the first section: the header's pages.
    uint64_t headerPages() const;
};

// A section of the image: a member of the container, or a part the header
// holds for itself (the ramdisk table).
struct Section {
    std::string name; // "kernel", "ramdisk", "second", "recovery_dtbo", "dtb", ...
    uint64_t offset = 0;
    uint64_t size = 0;
};

// Largest command line each kind holds, in bytes (without the final zero).
size_t cmdlineCapacity(const BootHeader& h);

// The header at the start of head (at least one page when the image has
// one), or nullopt with the reason. imageSize bounds the sections.
std::optional<BootHeader> parseBootHeader(ByteSpan head, uint64_t imageSize, Message* why);
// vendor_boot v4: reads the ramdisk table (the bytes at its section) into h.
bool parseRamdiskTable(BootHeader& h, ByteSpan table, Message* why);

// Where each section lies, in the order they follow one another; sections
// of size 0 are left out. The vendor ramdisk table is named "ramdisk_table".
std::vector<Section> sectionsOf(const BootHeader& h);
// The end of the last section, a whole page: the image's size before any
// signature footer.
uint64_t imageEndOf(const BootHeader& h);

// The header's pages as written (headerPages() bytes).
Bytes serializeBootHeader(const BootHeader& h);
Bytes serializeRamdiskTable(const BootHeader& h);

// "13.0.0" and "2023-05" of an os_version word; empty when not set.
std::string osVersionText(uint32_t osVersion);
std::string patchLevelText(uint32_t osVersion);

} // namespace korvane::bootimg
