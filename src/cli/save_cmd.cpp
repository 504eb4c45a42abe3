#include "save_cmd.h"

#include "command.h"
#include "edit_cmd.h"
#include "extract_cmd.h"
#include "interrupt.h"
#include "model/error.h"
#include "model/output_file.h"
#include "transfer/addfiles.h"
#include "transfer/devtable.h"
#include "transfer/edit.h"
#include "transfer/loadimage.h"
#include "transfer/saveas.h"
#include "transfer/tar_import.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>

namespace korvane::cli {

namespace {

// The formats --to names, and the image formats that are written the same
// way when an image keeps its own.
struct WriteFormat {
    const char* name;
    const char* imageFormat; // Timg::formatName()
    SaveKind kind;
};
const WriteFormat kWriteFormats[] = {
    {"yaffs2", "YAFFS2", kSaveYaffs2},
    {"ext2", "EXT2", kSaveExt2},
    {"ext3", "EXT3", kSaveExt3},
    {"ext4", "EXT4", kSaveExt4},
};

SaveKind saveKindOf(const Timg& img, const std::string& name) {
    for (const WriteFormat& f : kWriteFormats)
        if (name.empty() ? img.formatName() == f.imageFormat : name == f.name)
            return f.kind;
    throw Error(msg("Korvane cannot write %1 images; choose a format with --to", img.formatName()));
}

std::optional<uint32_t> octalPerm(const std::string& text) {
    if (text.empty() || text.size() > 4 || text.find_first_not_of("01234567") != std::string::npos)
        return std::nullopt;
    return applyModeText(text, 0, false);
}

// --owner, --mode-dirs and --mode-files as overrides; throws Error when one is
// not valid.
TreeOverrides overridesOf(const PackOptions& pack) {
    TreeOverrides o;
    if (!pack.owner.empty()) {
        std::optional<OwnerIds> ids = parseOwner(pack.owner);
        if (!ids)
            throw Error(msg("--owner: not an owner (UID:GID, UID or :GID): %1", pack.owner));
        o.uid = ids->uid;
        o.gid = ids->gid;
    }
    if (!pack.modeDirs.empty() && !(o.dirPerm = octalPerm(pack.modeDirs)))
        throw Error(msg("--mode-dirs: not an octal mode: %1", pack.modeDirs));
    if (!pack.modeFiles.empty() && !(o.filePerm = octalPerm(pack.modeFiles)))
        throw Error(msg("--mode-files: not an octal mode: %1", pack.modeFiles));
    return o;
}

// The new image's tree from a folder: false (with the reasons on stderr) when
// anything could not be taken or the run was cancelled.
bool packFolder(Timg& img, const std::string& folder, const PackOptions& pack) {
    std::error_code ec;
    std::vector<std::string> paths;
    for (auto it = std::filesystem::directory_iterator(folder, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        paths.push_back(it->path().string());
    if (ec)
        throw Error(msg("cannot read %1: %2", folder, systemMessage(ec.value())));
    std::sort(paths.begin(), paths.end());
    AddOptions add;
    add.keepAttributes = !pack.defaults;
    add.referToFiles = true; // the image is written right after
    if (add.keepAttributes)  // the root folder is the folder itself
        copyattributes(img, img.root()->entry.objId, folder);
    AddResult added;
    {
        InterruptCancels interrupt(img.cancel);
        added = addfiles(img, paths, img.root()->entry.objId, add);
    }
    if (added.cancelled)
        return false;
    for (const Message& line : added.errlist) // each names what it could not add
        tell(stderr, line);
    return added.errlist.empty();
}

// The new image's tree from an archive, as packFolder.
bool packArchive(Timg& img, const std::string& source) {
    TarImportResult r;
    {
        InterruptCancels interrupt(img.cancel);
        r = tarin(img, source, img.root()->entry.objId);
    }
    for (const Message& w : r.warnings)
        tell(stderr, msg("warning: %1", w));
    if (r.cancelled)
        return false;
    for (const Message& m : r.refused)
        tell(stderr, msg("cannot take %1", m));
    return r.refused.empty();
}

// The YAFFS2 layout to write: the source image's (the default layout for
// other sources) with the options put in.
SaveParams yaffs2Params(const Timg& img, const SaveOptions& opt) {
    SaveParams params;
    updateFromScan(params, img);
    yaffs2::LayoutHints hints = opt.layout;
    if (opt.eraseMarker)
        hints.tagOffset = 2;
    if (opt.noEraseMarker)
        hints.tagOffset = 0;
    yaffs2::Layout& l = params.layout;
    l = hints.applyTo(l);
    if (!opt.ecc.empty()) {
        l.dataEcc = opt.ecc == "yaffs"  ? yaffs2::kEccYaffs
                    : opt.ecc == "nand" ? yaffs2::kEccNand
                                        : yaffs2::kEccNone;
        l.dataEccOffset = 0;
        if (l.dataEcc != yaffs2::kEccNone) {
            auto at = yaffs2::standardDataEccOffset(l);
            if (!at)
                throw Error(msg("the data ECC (%1 bytes) does not fit beside the tags in the "
                                "spare area of %2",
                                l.dataEccBytes(), yaffs2::layoutMessage(l)));
            l.dataEccOffset = *at;
        }
    }
    return params;
}

// The EXT choices of opt; likeSource for convert.
ExtSaveParams extParams(const SaveOptions& opt, bool likeSource) {
    ExtSaveParams p;
    p.likeSource = likeSource;
    p.sparse = opt.sparse;
    p.blockSize = opt.blockSize;
    p.inodeSize = opt.inodeSize;
    p.inodes = opt.inodes;
    if (opt.size == "auto") {
        p.sizeFromTree = true;
    } else if (!opt.size.empty()) {
        const std::optional<uint64_t> size = parseSize(opt.size);
        if (!size || *size == 0)
            throw Error(msg("--size takes a size such as 512M or 2G, or auto; not %1", opt.size));
        p.size = *size;
    }
    p.label = opt.label;
    if (opt.uuid == "random") {
        p.uuid = randomUuid();
    } else if (!opt.uuid.empty()) {
        p.uuid = parseUuid(opt.uuid);
        if (!p.uuid)
            throw Error(msg("--uuid takes a UUID such as 0123abcd-4567-89ab-cdef-0123456789ab, "
                            "or random; not %1",
                            opt.uuid));
    }
    return p;
}

bool hasExtChoices(const SaveOptions& opt) {
    return opt.sparse || opt.blockSize || opt.inodeSize || opt.inodes || !opt.size.empty() ||
           opt.label || !opt.uuid.empty();
}

} // namespace

void addSaveOptions(CLI::App* cmd, SaveOptions& opt, bool toRequired, bool readsImage) {
    auto name = [readsImage](const std::string& n) {
        return readsImage ? "--out-" + n : "--" + n + ",--out-" + n;
    };
    yaffs2::LayoutHints& h = opt.layout;
    const std::string group = "YAFFS2 layout to write (default: as the source image)";
    auto* to = cmd->add_option("--to", opt.to,
                               toRequired ? "Format to write"
                                          : "Format to write (default: the image's own)")
                   ->check(CLI::IsMember({"yaffs2", "ext2", "ext3", "ext4"}));
    if (toRequired)
        to->required();
    cmd->add_option("--ecc", opt.ecc,
                    "YAFFS2 data ECC: none, yaffs or nand (default: as the source image, "
                    "else none)")
        ->group(group)
        ->check(CLI::IsMember({"none", "yaffs", "nand"}));
    auto* marker = cmd->add_flag("--erase-marker", opt.eraseMarker,
                                 "YAFFS2: tags after an FF FF erase marker (spare offset 2)")
                       ->group(group);
    auto* plain = cmd->add_flag("--no-erase-marker", opt.noEraseMarker,
                                "YAFFS2: tags at the head of the spare area")
                      ->group(group)
                      ->excludes(marker);
    cmd->add_option_function<uint32_t>(
           name("page-size"), [&h](uint32_t v) { h.pageSize = v; },
           "YAFFS2: bytes per NAND page (512 to 16384)")
        ->group(group)
        ->check(CLI::Range(yaffs2::kMinPageSize, yaffs2::kMaxPageSize));
    cmd->add_option_function<uint32_t>(
           name("spare-size"), [&h](uint32_t v) { h.spareSize = v; },
           "YAFFS2: spare bytes after each page; 0 for pages only (inband tags)")
        ->group(group)
        ->check(CLI::Range(0u, yaffs2::kMaxSpareSize));
    cmd->add_option_function<uint32_t>(
           name("tag-offset"), [&h](uint32_t v) { h.tagOffset = v; },
           "YAFFS2: where the tags start in the spare area")
        ->group(group)
        ->check(CLI::Range(0u, yaffs2::kMaxSpareSize))
        ->excludes(marker)
        ->excludes(plain);
    cmd->add_option_function<std::string>(
           name("byte-order"),
           [&h](const std::string& v) {
               h.order = v == "be" ? yaffs2::ByteOrder::kBig : yaffs2::ByteOrder::kLittle;
           },
           "YAFFS2: byte order of tags and headers, le or be")
        ->group(group)
        ->check(CLI::IsMember({"le", "be"}));
    cmd->add_flag(name("inband-tags"), h.inbandTags,
                  "YAFFS2: tags in the last 16 bytes of each page")
        ->group(group);
    cmd->add_flag(name("no-tag-ecc"), h.noTagEcc, "YAFFS2: write the tags without their ECC")
        ->group(group);
    const std::string ext = "EXT image to write (default: an EXT source's own geometry)";
    cmd->add_flag("--sparse", opt.sparse, "EXT: write an Android sparse image")->group(ext);
    cmd->add_option("--block-size", opt.blockSize, "EXT: block size, 1024, 2048 or 4096")
        ->group(ext)
        ->check(CLI::IsMember({1024, 2048, 4096}));
    cmd->add_option("--inode-size", opt.inodeSize, "EXT: inode size, 128, 256, 512 or 1024")
        ->group(ext)
        ->check(CLI::IsMember({128, 256, 512, 1024}));
    cmd->add_option("--inodes", opt.inodes, "EXT: at least this many inodes")
        ->group(ext)
        ->check(CLI::PositiveNumber);
    cmd->add_option("--size", opt.size,
                    "EXT: image size (512M, 2G ...), or auto for what the tree needs")
        ->group(ext);
    cmd->add_option("--label", opt.label, "EXT: volume label (at most 16 bytes)")->group(ext);
    cmd->add_option("--uuid", opt.uuid, "EXT: filesystem UUID, or random")->group(ext);
}

int saveImage(Timg& img, const SaveOptions& opt, TerminalProgress& progress, bool likeSource) {
    const SaveKind kind = saveKindOf(img, opt.to);
    if (kind == kSaveYaffs2 && hasExtChoices(opt))
        throw Error("--sparse, --block-size, --inode-size, --inodes, --size, --label and --uuid "
                    "are for EXT images");
    const SaveParams params = kind == kSaveYaffs2 ? yaffs2Params(img, opt) : SaveParams{};
    ExtSaveParams ext = extParams(opt, likeSource);
    // An EXT image written to a block device fills it, unless --size says
    // otherwise: the space after a smaller image would be lost to it.
    if (kind != kSaveYaffs2 && opt.size.empty())
        if (const std::optional<uint64_t> device = outputDeviceSize(opt.out))
            ext.size = *device;
    img.onwk = &progress;
    bool done;
    std::vector<Message> warnings;
    {
        InterruptCancels interrupt(img.cancel);
        done = saveas(img, opt.out, kind, params, ext, &warnings);
    }
    progress.clear();
    for (const Message& w : warnings)
        tell(stderr, msg("warning: %1", w));
    if (!done) {
        tell(stderr, msg("cancelled; %1 was not written", opt.out));
        return 1;
    }
    return 0;
}

std::optional<uint64_t> parseSize(const std::string& text) {
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return std::nullopt;
    size_t used = 0;
    uint64_t v = 0;
    try {
        v = std::stoull(text, &used, 10);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    int shift = 0;
    if (used + 1 == text.size()) {
        const std::string units = "KMGT";
        const size_t u = units.find(static_cast<char>(std::toupper(text[used])));
        if (u == std::string::npos)
            return std::nullopt;
        shift = 10 * static_cast<int>(u + 1);
    } else if (used != text.size()) {
        return std::nullopt;
    }
    if (shift > 0 && v > (UINT64_MAX >> shift))
        return std::nullopt;
    return v << shift;
}

int convertCommand(Timg& img, const SaveOptions& opt, TerminalProgress& progress) {
    return saveImage(img, opt, progress, true);
}

int packCommand(const std::string& source, const SaveOptions& opt, const PackOptions& pack,
                TerminalProgress& progress) {
    std::error_code ec;
    const bool folder = std::filesystem::is_directory(source, ec);
    if (!folder && source != "-" && !std::filesystem::exists(source, ec))
        throw Error(msg("%1 does not exist", source));
    if (!folder && pack.defaults)
        throw Error("--defaults is for folders; an archive gives every object its attributes");
    const TreeOverrides overrides = overridesOf(pack);

    auto img = newimage(&progress);
    const bool taken = folder ? packFolder(*img, source, pack) : packArchive(*img, source);
    progress.clear();
    // All or nothing: an image without some of the source's objects is not
    // the image that was asked for.
    if (!taken) {
        tell(stderr, img->cancel.load() ? msg("cancelled; %1 was not written", opt.out)
                                        : msg("%1 was not written", opt.out));
        return 1;
    }
    overrideAttributes(*img, overrides);
    if (!pack.devtable.empty())
        devtable(*img, pack.devtable);
    return saveImage(*img, opt, progress, false);
}

void addSaveCommands(CLI::App& app, Commands& out) {
    struct Options {
        std::string image;
        std::string source;
        OpenOptions open;
        SaveOptions save;
        PackOptions pack;
        bool force = false; // convert over IN read with warnings
    };
    auto o = std::make_shared<Options>();

    auto* convert = app.add_subcommand("convert", "Save an image as a new image of a given format");
    convert->add_option("IN", o->image, "Image to read")->required();
    convert->add_option("OUT", o->save.out, "Image to write (replaced when complete)")->required();
    addSaveOptions(convert, o->save, false, true);
    addOpenOptions(convert, o->open);
    convert->add_flag("--force", o->force,
                      "Save over IN (OUT naming the same file) even when it was read with "
                      "warnings (what could not be read is lost)");
    out.push_back({convert, [o](Context& ctx) {
                       const std::optional<FileIdentity> opened = fileIdentity(o->image);
                       auto img = openImage(ctx, o->image, o->open);
                       refuseUnsafeInPlace(*img, opened, o->save.out, o->force);
                       return convertCommand(*img, o->save, ctx.progress);
                   }});

    auto* pack = app.add_subcommand(
        "pack", "Make a new image of a folder's contents or of an archive (tar, cpio, ...)");
    pack->add_option("SOURCE", o->source,
                     "Folder whose contents become the image's root, or an archive (- for "
                     "standard input)")
        ->required();
    pack->add_option("OUT", o->save.out, "Image to write (replaced when complete)")->required();
    addSaveOptions(pack, o->save, true, false);
    pack->add_flag("--defaults", o->pack.defaults,
                   "Give every object mode 0777, owner 0, group 0 and the current time "
                   "instead of its own (folders only)");
    pack->add_option("--devtable", o->pack.devtable,
                     "Device table (genext2fs/Buildroot format) applied before saving");
    pack->add_option("--owner", o->pack.owner, "Give every object this owner (UID:GID)");
    pack->add_option("--mode-dirs", o->pack.modeDirs,
                     "Give every folder these permission bits (octal)");
    pack->add_option("--mode-files", o->pack.modeFiles,
                     "Give every regular file these permission bits (octal)");
    out.push_back({pack, [o](Context& ctx) {
                       return packCommand(o->source, o->save, o->pack, ctx.progress);
                   }});
}

} // namespace korvane::cli
