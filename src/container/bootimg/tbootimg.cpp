#include "tbootimg.h"

#include "model/error.h"
#include "source/extent_source.h"
#include "source/image_data.h"

#include <algorithm>

namespace korvane {

using namespace bootimg;

namespace {

const char* ramdiskTypeName(uint32_t t) {
    switch (t) {
    case 0:
        return "none";
    case 1:
        return "platform";
    case 2:
        return "recovery";
    case 3:
        return "dlkm";
    default:
        return "unknown";
    }
}

std::string hexWord(uint64_t v) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
    return text;
}

} // namespace

std::string Tbootimg::formatName() const {
    if (header_.kind == Kind::kVendorBoot)
        return "vendor_boot";
    return header_.isInitBoot() ? "init_boot" : "boot";
}

int Tbootimg::ramdiskEntryOf(uint32_t objId) const {
    for (const auto& [id, index] : ramdiskOf_)
        if (id == objId)
            return index;
    return -1;
}

int Tbootimg::ramdiskEntryNamed(const std::string& name) const {
    for (size_t i = 0; i < ramdiskNames_.size(); ++i)
        if (ramdiskNames_[i] == name)
            return static_cast<int>(i);
    return -1;
}

void Tbootimg::Open() {
    DoWork(0, 0, 1, msg("Reading the boot image header"), kFlagRead);
    const uint64_t size = image()->size();
    const Bytes head = readBytes(*image(), 0, static_cast<size_t>(std::min<uint64_t>(size, 8192)));
    Message why;
    std::optional<BootHeader> h = parseBootHeader(head, size, &why);
    if (!h)
        throw Error(msg("not a boot image: %1", why));
    header_ = std::move(*h);
    footer_ = readAvbFooter(*image());
    startMembers();
    addSections();
    membersRead_ = root()->children.size();
    DoWork(0, 0, 3, msg("Done"), kFlagRead);
}

void Tbootimg::addSections() {
    const uint64_t size = image()->size();
    for (const Section& s : sectionsOf(header_)) {
        if (s.offset >= size || s.size > size - s.offset)
            warn(msg("%1 (%2 bytes at byte %3) runs past the end of the image; what is missing "
                     "reads as zeros",
                     s.name, s.size, s.offset));
        if (s.name == "ramdisk_table") {
            const Bytes table = readBytes(*image(), s.offset,
                                          static_cast<size_t>(std::min<uint64_t>(s.size, size)));
            Message why;
            if (!parseRamdiskTable(header_, table, &why))
                warn(why);
            continue;
        }
        if (s.name == "vendor_ramdisk" && header_.version >= 4 && !header_.ramdisks.empty())
            continue; // its ramdisks are members once the table is read
        addMember(s.name, rangeSource(sharedImage(), s.offset, s.size));
    }
    if (header_.kind == Kind::kVendorBoot && header_.version >= 4 && !header_.ramdisks.empty()) {
        for (const Section& s : sectionsOf(header_))
            if (s.name == "vendor_ramdisk")
                addVendorRamdisks(s);
    }
    if (header_.kind == Kind::kBoot && header_.ramdiskSize == 0 && header_.kernelSize == 0)
        warn(msg("the boot image holds neither a kernel nor a ramdisk"));
    auto text = ImageData::fromBytes(
        Bytes(reinterpret_cast<const std::byte*>(header_.cmdline.data()),
              reinterpret_cast<const std::byte*>(header_.cmdline.data()) + header_.cmdline.size()));
    addMember(kCmdlineMember, std::move(text));
}

void Tbootimg::addVendorRamdisks(const Section& whole) {
    for (size_t i = 0; i < header_.ramdisks.size(); ++i) {
        const RamdiskEntry& r = header_.ramdisks[i];
        std::string name = r.name.empty() ? "vendor_ramdisk" + std::to_string(i) : r.name;
        Node* n =
            addMember(std::move(name), rangeSource(sharedImage(), whole.offset + r.offset, r.size));
        ramdiskOf_.push_back({n->entry.objId, static_cast<int>(i)});
        ramdiskNames_.push_back(n->entry.name);
    }
}

std::vector<std::pair<std::string, std::string>> Tbootimg::describe() const {
    const BootHeader& h = header_;
    std::vector<std::pair<std::string, std::string>> f;
    f.push_back({"header version", std::to_string(h.version)});
    f.push_back({"page size", std::to_string(h.pageSize)});
    if (h.kind == Kind::kBoot) {
        const std::string os = osVersionText(h.osVersion), patch = patchLevelText(h.osVersion);
        f.push_back({"OS version", os.empty() ? "not set" : os});
        f.push_back({"patch level", patch.empty() ? "not set" : patch});
    }
    if (!h.name.empty())
        f.push_back({"board", h.name});
    f.push_back({"command line", h.cmdline});
    if (h.kind == Kind::kVendorBoot || h.version < 3) {
        f.push_back({"kernel address", hexWord(h.kernelAddr)});
        f.push_back({"ramdisk address", hexWord(h.ramdiskAddr)});
        f.push_back({"tags address", hexWord(h.tagsAddr)});
        if (h.kind == Kind::kVendorBoot || h.version >= 2)
            f.push_back({"DTB address", hexWord(h.dtbAddr)});
    }
    if (footer_)
        for (auto& fact : avbFacts(*image(), *footer_))
            f.push_back(std::move(fact));
    else
        f.push_back({"AVB footer", "none"});
    return f;
}

std::vector<std::pair<std::string, std::string>> Tbootimg::memberFacts(const TImgEntry& e) const {
    if (e.name == kCmdlineMember)
        return {{"contents", "the kernel command line (at most " +
                                 std::to_string(cmdlineCapacity(header_)) + " bytes)"}};
    const int r = ramdiskEntryOf(e.objId);
    if (r >= 0 && memberSource(e)) {
        const RamdiskEntry& x = header_.ramdisks[static_cast<size_t>(r)];
        return {{"ramdisk type", ramdiskTypeName(x.type)},
                {"offset", std::to_string(x.offset) + " in the vendor ramdisk section"}};
    }
    return {};
}

} // namespace korvane
