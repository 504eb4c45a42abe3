// Tbootimg: a boot, init_boot or vendor_boot image as a container whose
// members are its sections (kernel, ramdisks, second stage, recovery DTBO,
// DTB, bootconfig, boot signature) and its command line as a text file.
#pragma once

#include "avb.h"
#include "boot_header.h"
#include "container/container.h"

#include <optional>

namespace korvane {

// The member that holds the kernel command line.
constexpr const char* kCmdlineMember = "cmdline";

class Tbootimg : public Tcontainer {
public:
    void Open() override;
    std::string formatName() const override;
    std::vector<std::pair<std::string, std::string>> describe() const override;
    std::vector<std::pair<std::string, std::string>> memberFacts(const TImgEntry& e) const override;

    const bootimg::BootHeader& header() const { return header_; }
    const std::optional<bootimg::AvbFooter>& avbFooter() const { return footer_; }
    // The vendor ramdisk table entry member id stands for, or -1.
    int ramdiskEntryOf(uint32_t objId) const;
    // The table entry whose member was named name when read, or -1.
    int ramdiskEntryNamed(const std::string& name) const;
    // How many members the image was read with.
    size_t membersRead() const { return membersRead_; }

private:
    void addSections();
    void addVendorRamdisks(const bootimg::Section& whole);

    bootimg::BootHeader header_;
    std::optional<bootimg::AvbFooter> footer_;
    std::vector<std::pair<uint32_t, int>> ramdiskOf_; // member id, table index
    std::vector<std::string> ramdiskNames_;           // by table index
    size_t membersRead_ = 0;
};

} // namespace korvane
