#include "boot_header.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace korvane::bootimg {

namespace {

constexpr uint32_t kMaxPage = 1u << 20;

uint64_t pages(uint64_t bytes, uint64_t page) {
    return (bytes + page - 1) / page * page;
}

bool magicAt(ByteSpan head, const char* magic) {
    return head.size() >= kMagicSize && std::memcmp(head.data(), magic, kMagicSize) == 0;
}

void putText(std::byte* p, const std::string& text, size_t room) {
    std::memset(p, 0, room);
    std::memcpy(p, text.data(), std::min(text.size(), room));
}

size_t headerBytes(const BootHeader& h) {
    if (h.kind == Kind::kVendorBoot)
        return h.version >= 4 ? vnd::kSizeV4 : vnd::kSizeV3;
    switch (h.version) {
    case 0:
        return v0::kSizeV0;
    case 1:
        return v0::kSizeV1;
    case 2:
        return v0::kSizeV2;
    case 3:
        return v3::kSizeV3;
    default:
        return v3::kSizeV4;
    }
}

} // namespace

uint64_t BootHeader::headerPages() const {
    const uint64_t stored = std::max<uint64_t>(headerSize, headerBytes(*this));
    if (kind == Kind::kBoot) // the header takes one page, whatever its size says
        return pageSize;
    return pages(stored, pageSize);
}

size_t cmdlineCapacity(const BootHeader& h) {
    if (h.kind == Kind::kVendorBoot)
        return vnd::kCmdlineBytes - 1;
    if (h.version >= 3)
        return v3::kCmdlineBytes - 1;
    return v0::kCmdlineBytes + v0::kExtraCmdlineBytes - 1;
}

std::optional<BootHeader> parseBootHeader(ByteSpan head, uint64_t imageSize, Message* why) {
    BootHeader h;
    const std::byte* p = head.data();
    if (magicAt(head, kVendorMagic)) {
        h.kind = Kind::kVendorBoot;
        if (head.size() < vnd::kSizeV3) {
            *why = msg("the vendor boot header is cut short");
            return std::nullopt;
        }
        h.version = load32(p + vnd::kHeaderVersion);
        if (h.version < 3 || h.version > 4) {
            *why = msg("vendor boot header version %1, which Korvane does not read (3 and 4)",
                       h.version);
            return std::nullopt;
        }
        if (h.version == 4 && head.size() < vnd::kSizeV4) {
            *why = msg("the vendor boot header is cut short");
            return std::nullopt;
        }
        h.pageSize = load32(p + vnd::kPageSize);
        h.kernelAddr = load32(p + vnd::kKernelAddr);
        h.ramdiskAddr = load32(p + vnd::kRamdiskAddr);
        h.ramdiskSize = load32(p + vnd::kVendorRamdiskSize);
        h.cmdline = zeroTerminated(p + vnd::kCmdline, vnd::kCmdlineBytes);
        h.tagsAddr = load32(p + vnd::kTagsAddr);
        h.name = zeroTerminated(p + vnd::kName, vnd::kNameBytes);
        h.headerSize = load32(p + vnd::kHeaderSize);
        h.dtbSize = load32(p + vnd::kDtbSize);
        h.dtbAddr = load64(p + vnd::kDtbAddr);
        if (h.version >= 4) {
            const uint32_t tableSize = load32(p + vnd::kTableSize);
            const uint32_t entries = load32(p + vnd::kTableEntryNum);
            h.tableEntrySize = load32(p + vnd::kTableEntrySize);
            h.bootconfigSize = load32(p + vnd::kBootconfigSize);
            if (h.tableEntrySize < vrt::kEntrySize ||
                uint64_t{entries} * h.tableEntrySize != tableSize) {
                *why = msg("the vendor ramdisk table claims %1 entries of %2 bytes in %3 bytes",
                           entries, h.tableEntrySize, tableSize);
                return std::nullopt;
            }
            h.ramdisks.resize(entries); // filled by parseRamdiskTable
            if (entries > imageSize / vrt::kEntrySize) {
                *why = msg("the vendor ramdisk table claims more entries than the image holds");
                return std::nullopt;
            }
        }
    } else if (magicAt(head, kBootMagic)) {
        if (head.size() < v0::kSizeV0) {
            *why = msg("the boot header is cut short");
            return std::nullopt;
        }
        h.version = load32(p + v0::kHeaderVersion);
        if (h.version > 4) {
            // Old vendors kept a device tree size in this word.
            *why = msg("boot header version %1, which Korvane does not read (0 to 4)", h.version);
            return std::nullopt;
        }
        // Versions 1 and 2 add fields after the version 0 header.
        if (head.size() < (h.version == 1 ? v0::kSizeV1 : h.version == 2 ? v0::kSizeV2 : 0)) {
            *why = msg("the boot header is cut short");
            return std::nullopt;
        }
        if (h.version >= 3) {
            h.pageSize = kPageV3;
            h.kernelSize = load32(p + v3::kKernelSize);
            h.ramdiskSize = load32(p + v3::kRamdiskSize);
            h.osVersion = load32(p + v3::kOsVersion);
            h.headerSize = load32(p + v3::kHeaderSize);
            h.cmdline = zeroTerminated(p + v3::kCmdline, v3::kCmdlineBytes);
            if (h.version == 4)
                h.signatureSize = load32(p + v3::kSignatureSize);
        } else {
            h.kernelSize = load32(p + v0::kKernelSize);
            h.kernelAddr = load32(p + v0::kKernelAddr);
            h.ramdiskSize = load32(p + v0::kRamdiskSize);
            h.ramdiskAddr = load32(p + v0::kRamdiskAddr);
            h.secondSize = load32(p + v0::kSecondSize);
            h.secondAddr = load32(p + v0::kSecondAddr);
            h.tagsAddr = load32(p + v0::kTagsAddr);
            h.pageSize = load32(p + v0::kPageSize);
            h.osVersion = load32(p + v0::kOsVersion);
            h.name = zeroTerminated(p + v0::kName, v0::kNameBytes);
            h.cmdline = zeroTerminated(p + v0::kCmdline, v0::kCmdlineBytes);
            if (h.cmdline.size() == v0::kCmdlineBytes)
                h.cmdline += zeroTerminated(p + v0::kExtraCmdline, v0::kExtraCmdlineBytes);
            else if (p[v0::kExtraCmdline] != std::byte{0})
                h.cmdline += zeroTerminated(p + v0::kExtraCmdline, v0::kExtraCmdlineBytes);
            h.id.assign(p + v0::kId, p + v0::kId + 32);
            if (h.version >= 1) {
                h.recoveryDtboSize = load32(p + v0::kRecoveryDtboSize);
                h.recoveryDtboOffset = load64(p + v0::kRecoveryDtboOffset);
                h.headerSize = load32(p + v0::kHeaderSize);
            }
            if (h.version >= 2) {
                h.dtbSize = load32(p + v0::kDtbSize);
                h.dtbAddr = load64(p + v0::kDtbAddr);
            }
        }
    } else {
        *why = msg("no boot image magic (ANDROID! or VNDRBOOT) at byte 0");
        return std::nullopt;
    }
    if (h.pageSize < 512 || h.pageSize > kMaxPage || (h.pageSize & (h.pageSize - 1)) != 0) {
        *why = msg("a page size of %1 bytes", h.pageSize);
        return std::nullopt;
    }
    if (h.headerPages() > imageSize) {
        *why = msg("the header's pages run past the end of the image");
        return std::nullopt;
    }
    return h;
}

bool parseRamdiskTable(BootHeader& h, ByteSpan table, Message* why) {
    for (size_t i = 0; i < h.ramdisks.size(); ++i) {
        const std::byte* e = table.data() + i * h.tableEntrySize;
        if ((i + 1) * h.tableEntrySize > table.size()) {
            *why = msg("the vendor ramdisk table is cut short");
            h.ramdisks.resize(i);
            return false;
        }
        RamdiskEntry& r = h.ramdisks[i];
        r.size = load32(e + vrt::kSize);
        r.offset = load32(e + vrt::kOffset);
        r.type = load32(e + vrt::kType);
        r.name = zeroTerminated(e + vrt::kName, vrt::kNameBytes);
        r.boardId.assign(e + vrt::kBoardId, e + vrt::kBoardId + 64);
        if (uint64_t{r.offset} + r.size > h.ramdiskSize) {
            *why = msg("vendor ramdisk %1 lies outside the vendor ramdisk section", r.name);
            h.ramdisks.resize(i);
            return false;
        }
    }
    return true;
}

std::vector<Section> sectionsOf(const BootHeader& h) {
    std::vector<Section> out;
    uint64_t at = h.headerPages();
    auto next = [&](const char* name, uint64_t size) {
        if (size != 0)
            out.push_back({name, at, size});
        at += pages(size, h.pageSize);
    };
    if (h.kind == Kind::kVendorBoot) {
        next("vendor_ramdisk", h.ramdiskSize);
        next("dtb", h.dtbSize);
        next("ramdisk_table", uint64_t{h.tableEntrySize} * h.ramdisks.size());
        next("bootconfig", h.bootconfigSize);
        return out;
    }
    next("kernel", h.kernelSize);
    next("ramdisk", h.ramdiskSize);
    if (h.version >= 3) {
        next("signature", h.signatureSize);
        return out;
    }
    next("second", h.secondSize);
    if (h.version >= 1 && h.recoveryDtboSize != 0) {
        // The header says where it is; writers put it here.
        out.push_back({"recovery_dtbo", h.recoveryDtboOffset ? h.recoveryDtboOffset : at,
                       h.recoveryDtboSize});
        at += pages(h.recoveryDtboSize, h.pageSize);
    }
    if (h.version >= 2)
        next("dtb", h.dtbSize);
    return out;
}

uint64_t imageEndOf(const BootHeader& h) {
    uint64_t end = h.headerPages();
    for (const Section& s : sectionsOf(h))
        end = std::max(end, s.offset + pages(s.size, h.pageSize));
    return end;
}

Bytes serializeBootHeader(const BootHeader& h) {
    Bytes out(h.headerPages());
    std::byte* p = out.data();
    // The size as the source stated it (early mkbootimg wrote 1596 and 2108
    // for versions 3), so that a rewrite reads as the tools that made it.
    const uint32_t headerSize = h.headerSize != 0 && h.headerSize <= out.size()
                                    ? h.headerSize
                                    : static_cast<uint32_t>(headerBytes(h));
    if (h.kind == Kind::kVendorBoot) {
        std::memcpy(p, kVendorMagic, kMagicSize);
        store32(p + vnd::kHeaderVersion, h.version);
        store32(p + vnd::kPageSize, h.pageSize);
        store32(p + vnd::kKernelAddr, h.kernelAddr);
        store32(p + vnd::kRamdiskAddr, h.ramdiskAddr);
        store32(p + vnd::kVendorRamdiskSize, h.ramdiskSize);
        putText(p + vnd::kCmdline, h.cmdline, vnd::kCmdlineBytes);
        store32(p + vnd::kTagsAddr, h.tagsAddr);
        putText(p + vnd::kName, h.name, vnd::kNameBytes);
        store32(p + vnd::kHeaderSize, headerSize);
        store32(p + vnd::kDtbSize, h.dtbSize);
        store64(p + vnd::kDtbAddr, h.dtbAddr);
        if (h.version >= 4) {
            store32(p + vnd::kTableSize,
                    static_cast<uint32_t>(h.ramdisks.size() * h.tableEntrySize));
            store32(p + vnd::kTableEntryNum, static_cast<uint32_t>(h.ramdisks.size()));
            store32(p + vnd::kTableEntrySize, h.tableEntrySize);
            store32(p + vnd::kBootconfigSize, h.bootconfigSize);
        }
        return out;
    }
    std::memcpy(p, kBootMagic, kMagicSize);
    if (h.version >= 3) {
        store32(p + v3::kKernelSize, h.kernelSize);
        store32(p + v3::kRamdiskSize, h.ramdiskSize);
        store32(p + v3::kOsVersion, h.osVersion);
        store32(p + v3::kHeaderSize, headerSize);
        store32(p + v3::kHeaderVersion, h.version);
        putText(p + v3::kCmdline, h.cmdline, v3::kCmdlineBytes);
        if (h.version >= 4)
            store32(p + v3::kSignatureSize, h.signatureSize);
        return out;
    }
    store32(p + v0::kKernelSize, h.kernelSize);
    store32(p + v0::kKernelAddr, h.kernelAddr);
    store32(p + v0::kRamdiskSize, h.ramdiskSize);
    store32(p + v0::kRamdiskAddr, h.ramdiskAddr);
    store32(p + v0::kSecondSize, h.secondSize);
    store32(p + v0::kSecondAddr, h.secondAddr);
    store32(p + v0::kTagsAddr, h.tagsAddr);
    store32(p + v0::kPageSize, h.pageSize);
    store32(p + v0::kHeaderVersion, h.version);
    store32(p + v0::kOsVersion, h.osVersion);
    putText(p + v0::kName, h.name, v0::kNameBytes);
    putText(p + v0::kCmdline, h.cmdline, v0::kCmdlineBytes);
    if (h.cmdline.size() > v0::kCmdlineBytes)
        putText(p + v0::kExtraCmdline, h.cmdline.substr(v0::kCmdlineBytes), v0::kExtraCmdlineBytes);
    if (h.id.size() == 32)
        std::memcpy(p + v0::kId, h.id.data(), 32);
    if (h.version >= 1) {
        store32(p + v0::kRecoveryDtboSize, h.recoveryDtboSize);
        store64(p + v0::kRecoveryDtboOffset, h.recoveryDtboOffset);
        store32(p + v0::kHeaderSize, headerSize);
    }
    if (h.version >= 2) {
        store32(p + v0::kDtbSize, h.dtbSize);
        store64(p + v0::kDtbAddr, h.dtbAddr);
    }
    return out;
}

Bytes serializeRamdiskTable(const BootHeader& h) {
    Bytes out(h.ramdisks.size() * h.tableEntrySize);
    for (size_t i = 0; i < h.ramdisks.size(); ++i) {
        const RamdiskEntry& r = h.ramdisks[i];
        std::byte* e = out.data() + i * h.tableEntrySize;
        store32(e + vrt::kSize, r.size);
        store32(e + vrt::kOffset, r.offset);
        store32(e + vrt::kType, r.type);
        putText(e + vrt::kName, r.name, vrt::kNameBytes);
        if (r.boardId.size() == 64)
            std::memcpy(e + vrt::kBoardId, r.boardId.data(), 64);
    }
    return out;
}

std::string osVersionText(uint32_t osVersion) {
    const uint32_t v = osVersion >> 11;
    if (v == 0)
        return {};
    return std::to_string(v >> 14 & 0x7F) + "." + std::to_string(v >> 7 & 0x7F) + "." +
           std::to_string(v & 0x7F);
}

std::string patchLevelText(uint32_t osVersion) {
    const uint32_t l = osVersion & 0x7FF;
    if (l == 0)
        return {};
    char text[16];
    std::snprintf(text, sizeof text, "%04u-%02u", 2000 + (l >> 4), l & 0xF);
    return text;
}

} // namespace korvane::bootimg
