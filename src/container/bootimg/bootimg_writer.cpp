#include "bootimg_writer.h"

#include "model/digest.h"
#include "model/error.h"
#include "model/output_file.h"
#include "tbootimg.h"

#include <algorithm>
#include <cstring>

namespace korvane::bootimg {

namespace {

// avbtool puts the vbmeta on the next 4 KiB after the image.
constexpr uint64_t kAvbBlock = 4096;

uint64_t roundUp(uint64_t v, uint64_t to) {
    return (v + to - 1) / to * to;
}

// The sections a header of h's kind and version has room for.
std::vector<std::string> placesOf(const BootHeader& h) {
    if (h.kind == Kind::kVendorBoot)
        return h.version >= 4 ? std::vector<std::string>{"dtb", "bootconfig"}
                              : std::vector<std::string>{"vendor_ramdisk", "dtb"};
    switch (h.version) {
    case 0:
        return {"kernel", "ramdisk", "second"};
    case 1:
        return {"kernel", "ramdisk", "second", "recovery_dtbo"};
    case 2:
        return {"kernel", "ramdisk", "second", "recovery_dtbo", "dtb"};
    case 3:
        return {"kernel", "ramdisk"};
    default:
        return {"kernel", "ramdisk", "signature"};
    }
}

std::string joined(const std::vector<std::string>& names) {
    std::string s;
    for (const std::string& n : names)
        s += (s.empty() ? "" : ", ") + n;
    return s;
}

uint32_t sizeField(const std::string& name, uint64_t size) {
    if (size > UINT32_MAX)
        throw Error(msg("%1 is %2 bytes; a boot image holds sections below 4 GiB", name, size));
    return static_cast<uint32_t>(size);
}

// The command line as a member holds it: one line, without a final newline.
std::string commandLine(Timg& img, const TImgEntry& e, const BootHeader& h) {
    const uint64_t size = img.contentSize(e);
    const size_t room = cmdlineCapacity(h);
    if (size > room + 2)
        throw Error(msg("the command line is %1 bytes; a %2 image of header version %3 holds %4",
                        size, h.kind == Kind::kVendorBoot ? "vendor_boot" : "boot", h.version,
                        room));
    std::string text(static_cast<size_t>(size), '\0');
    img.ReadRange(e, 0, MutableByteSpan(reinterpret_cast<std::byte*>(text.data()), text.size()));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    if (text.find('\0') != std::string::npos)
        throw Error(msg("the command line holds a NUL byte"));
    if (text.size() > room)
        throw Error(msg("the command line is %1 bytes; a %2 image of header version %3 holds %4",
                        text.size(), h.kind == Kind::kVendorBoot ? "vendor_boot" : "boot",
                        h.version, room));
    return text;
}

struct Placed {
    const TImgEntry* entry = nullptr; // nullptr: bytes of the header's own (table)
    Bytes own;
    uint64_t offset = 0;
    uint64_t size = 0;
};

// Whether nothing of the image changed: then it is copied as it stands, so
// that its signature stays good.
bool unchanged(Tbootimg& img) {
    if (img.root()->children.size() != img.membersRead())
        return false;
    for (const auto& c : img.root()->children)
        if (!img.memberSource(c->entry))
            return false;
    return true;
}

bool copyWhole(Tbootimg& img, const std::string& path, JobReporter& rep) {
    OutputFile out(path);
    const ImageSource& src = *img.image();
    const uint64_t size = src.size();
    Bytes buf(kStreamBuffer);
    for (uint64_t at = 0; at < size;) {
        if (img.cancel.load() != 0)
            return false;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - at));
        src.readThrough(at, MutableByteSpan(buf.data(), n));
        out.append(ByteSpan(buf.data(), n));
        at += n;
        rep.progress(static_cast<int64_t>(at), static_cast<int64_t>(size), 5, msg("Writing"));
    }
    out.commit();
    return true;
}

} // namespace

bool writeBootImage(Timg& img, const SaveRequest& req, JobReporter& rep,
                    std::vector<Message>* warnings) {
    auto* source = dynamic_cast<Tbootimg*>(&img);
    if (!source)
        throw Error(msg("a boot image is written from a boot image; make one with mkbootimg"));
    const bool keepFooter = hasOption(req.options, "keep-avb-footer");
    if (unchanged(*source))
        return copyWhole(*source, req.path, rep);

    BootHeader h = source->header();
    const std::vector<std::string> places = placesOf(h);
    std::vector<std::pair<std::string, const TImgEntry*>> members;
    std::vector<std::pair<int, const TImgEntry*>> ramdisks; // table index (-1 new), member
    const TImgEntry* cmdline = nullptr;
    for (const auto& c : img.root()->children) {
        const TImgEntry& e = c->entry;
        if (e.objType != kTypeFile)
            throw Error(msg("%1 is not a file: a boot image holds only files", e.name));
        if (e.name == kCmdlineMember) {
            cmdline = &e;
        } else if (std::find(places.begin(), places.end(), e.name) != places.end()) {
            members.push_back({e.name, &e});
        } else if (h.kind == Kind::kVendorBoot && h.version >= 4) {
            // A member replaced under the same name keeps its entry's type
            // and board id.
            int index = source->ramdiskEntryOf(e.objId);
            if (index < 0)
                index = source->ramdiskEntryNamed(e.name);
            ramdisks.push_back({index, &e});
        } else {
            throw Error(msg("%1 has no place in a %2 image of header version %3; its places are "
                            "%4 and %5",
                            e.name, source->formatName(), h.version, joined(places),
                            kCmdlineMember));
        }
    }
    // The ramdisks stay in the table's order (a later one overlays an
    // earlier one when the kernel unpacks them); new ones follow.
    std::stable_sort(ramdisks.begin(), ramdisks.end(), [](const auto& a, const auto& b) {
        const auto key = [](int i) { return i < 0 ? INT32_MAX : i; };
        return key(a.first) < key(b.first);
    });
    h.cmdline = cmdline ? commandLine(img, *cmdline, h) : std::string();
    auto entryFor = [&](const std::string& name) -> const TImgEntry* {
        for (const auto& [n, e] : members)
            if (n == name)
                return e;
        return nullptr;
    };
    auto sizeOf = [&](const std::string& name) -> uint32_t {
        const TImgEntry* e = entryFor(name);
        return e ? sizeField(name, img.contentSize(*e)) : 0;
    };
    if (h.kind == Kind::kVendorBoot) {
        h.dtbSize = sizeOf("dtb");
        h.bootconfigSize = sizeOf("bootconfig");
        if (h.version >= 4) {
            std::vector<RamdiskEntry> table;
            uint64_t offset = 0;
            for (const auto& [index, e] : ramdisks) {
                RamdiskEntry r = index >= 0 ? h.ramdisks[static_cast<size_t>(index)]
                                            : RamdiskEntry{0, 0, 1, e->name, Bytes(64)};
                if (index < 0 && e->name.size() >= vrt::kNameBytes)
                    throw Error(msg("%1: a vendor ramdisk's name holds at most 31 bytes", e->name));
                r.offset = sizeField(e->name, offset);
                r.size = sizeField(e->name, img.contentSize(*e));
                offset += r.size;
                table.push_back(std::move(r));
            }
            h.ramdisks = std::move(table);
            h.ramdiskSize = sizeField("the vendor ramdisks", offset);
        } else {
            h.ramdiskSize = sizeOf("vendor_ramdisk");
        }
    } else {
        h.kernelSize = sizeOf("kernel");
        h.ramdiskSize = sizeOf("ramdisk");
        h.secondSize = sizeOf("second");
        h.recoveryDtboSize = sizeOf("recovery_dtbo");
        h.dtbSize = sizeOf("dtb");
        h.signatureSize = sizeOf("signature");
        h.recoveryDtboOffset = 0;
        if (h.version >= 1 && h.recoveryDtboSize) {
            const uint64_t p = h.pageSize;
            h.recoveryDtboOffset = h.headerPages() + roundUp(h.kernelSize, p) +
                                   roundUp(h.ramdiskSize, p) + roundUp(h.secondSize, p);
        }
    }

    // Where each section goes, and its bytes.
    std::vector<Placed> placed;
    for (const Section& s : sectionsOf(h)) {
        Placed p;
        p.offset = s.offset;
        p.size = s.size;
        if (s.name == "ramdisk_table") {
            p.own = serializeRamdiskTable(h);
        } else if (s.name == "vendor_ramdisk" && h.version >= 4) {
            uint64_t at = s.offset;
            for (const auto& [index, e] : ramdisks) {
                placed.push_back({e, {}, at, img.contentSize(*e)});
                at += img.contentSize(*e);
            }
            continue;
        } else {
            p.entry = entryFor(s.name);
        }
        placed.push_back(std::move(p));
    }

    // The id of versions 0 to 2: SHA-1 over each section and its size.
    Bytes buffer(kStreamBuffer);
    if (h.kind == Kind::kBoot && h.version <= 2) {
        Digest sha(DigestKind::kSha1);
        std::vector<std::string> idParts = {"kernel", "ramdisk", "second"};
        if (h.version >= 1)
            idParts.push_back("recovery_dtbo");
        if (h.version >= 2)
            idParts.push_back("dtb");
        for (const std::string& name : idParts) {
            const TImgEntry* e = entryFor(name);
            uint64_t size = 0;
            if (e) {
                size = img.contentSize(*e);
                for (uint64_t at = 0; at < size;) {
                    const size_t n =
                        static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - at));
                    const size_t got = img.ReadRange(*e, at, MutableByteSpan(buffer.data(), n));
                    if (got == 0)
                        break;
                    sha.update(ByteSpan(buffer.data(), got));
                    at += got;
                }
            }
            std::byte word[4];
            store32(word, static_cast<uint32_t>(size));
            sha.update(ByteSpan(word, 4));
        }
        h.id = sha.finish();
        h.id.resize(32);
    }

    const uint64_t imageEnd = imageEndOf(h);
    uint64_t total = imageEnd;
    std::optional<AvbFooter> footer = source->avbFooter();
    Bytes vbmeta;
    if (footer && keepFooter) {
        vbmeta =
            readBytes(*img.image(), footer->vbmetaOffset, static_cast<size_t>(footer->vbmetaSize));
        AvbFooter f = *footer;
        f.originalSize = imageEnd;
        f.vbmetaOffset = roundUp(imageEnd, kAvbBlock);
        if (f.vbmetaOffset + f.vbmetaSize + avbf::kSize > footer->partitionSize)
            throw Error(msg("the image grew to %1 bytes: with its vbmeta and AVB footer it no "
                            "longer fits the %2 bytes of its partition",
                            imageEnd, footer->partitionSize));
        footer = f;
        total = footer->partitionSize;
    }

    OutputFile out(req.path);
    out.resize(total);
    out.writeAt(0, serializeBootHeader(h));
    uint64_t done = 0;
    for (const Placed& p : placed) {
        if (!p.entry) {
            out.writeAt(p.offset, p.own);
            continue;
        }
        const bool ok = forEachData(img, *p.entry, buffer, [&](uint64_t at, ByteSpan bytes) {
            if (img.cancel.load() != 0)
                return false;
            out.writeAt(p.offset + at, bytes);
            done += bytes.size();
            rep.progress(static_cast<int64_t>(done), static_cast<int64_t>(imageEnd), 5,
                         verbatim(p.entry->name));
            return true;
        });
        if (!ok)
            return false;
    }
    if (source->avbFooter() && keepFooter) {
        out.writeAt(footer->vbmetaOffset, vbmeta);
        out.writeAt(total - avbf::kSize, serializeAvbFooter(*footer));
        if (warnings)
            warnings->push_back(msg("the AVB footer is kept with the image's new size, but its "
                                    "hash no longer matches: sign %1 again (avbtool "
                                    "add_hash_footer)",
                                    req.path));
    } else if (source->avbFooter() && warnings) {
        warnings->push_back(msg("the AVB footer was left out, since it cannot vouch for the new "
                                "contents: sign %1 again where the device checks it (avbtool "
                                "add_hash_footer)",
                                req.path));
    }
    out.commit();
    return true;
}

} // namespace korvane::bootimg
