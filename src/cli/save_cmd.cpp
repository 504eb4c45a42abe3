#include "save_cmd.h"

#include "command.h"
#include "extract_cmd.h"
#include "interrupt.h"
#include "model/error.h"
#include "transfer/addfiles.h"
#include "transfer/loadimage.h"
#include "transfer/saveas.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>

namespace korvane::cli {

namespace {

SaveKind saveKindOf(const std::string& name) {
    return name == "ext2"   ? kSaveExt2
           : name == "ext3" ? kSaveExt3
           : name == "ext4" ? kSaveExt4
                            : kSaveYaffs2;
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

int save(Timg& img, const SaveOptions& opt, TerminalProgress& progress, bool convert) {
    std::string to = opt.to;
    if (to.empty()) {
        // convert keeps the kind of an EXT source.
        const std::optional<ExtSource> src = extSourceOf(img);
        if (!src)
            throw Error(msg("%1 is a %2 image: give the format to write with --to", opt.out,
                            img.formatName()));
        to = src->kind == ExtKind::kExt4 ? "ext4" : src->kind == ExtKind::kExt3 ? "ext3" : "ext2";
    }
    const SaveKind kind = saveKindOf(to);
    if (kind == kSaveYaffs2 && hasExtChoices(opt))
        throw Error("--sparse, --block-size, --inode-size, --inodes, --size, --label and --uuid "
                    "are for EXT images");
    SaveParams params;
    updateFromScan(params, img);
    if (opt.eraseMarker)
        params.tagOffset = yaffs2::kTagOffsetMarked;
    if (opt.noEraseMarker)
        params.tagOffset = yaffs2::kTagOffsetPlain;
    params.ecc = opt.ecc == "yaffs"  ? yaffs2::kEccYaffs
                 : opt.ecc == "nand" ? yaffs2::kEccNand
                                     : yaffs2::kEccNone;
    const ExtSaveParams ext = extParams(opt, convert);
    img.onwk = &progress;
    bool done;
    std::vector<Message> warnings;
    {
        InterruptCancels interrupt(img.cancel);
        done = saveas(img, opt.out, kind, params, ext, &warnings);
    }
    progress.clear();
    for (const Message& w : warnings)
        std::fprintf(stderr, "korvane-cli: warning: %s\n", printable(w.english()).c_str());
    if (!done) {
        std::fprintf(stderr, "korvane-cli: cancelled; %s was not written\n", opt.out.c_str());
        return 1;
    }
    return 0;
}

} // namespace

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
    return save(img, opt, progress, true);
}

int packCommand(const std::string& folder, const SaveOptions& opt, TerminalProgress& progress) {
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec))
        throw Error(folder + " is not a folder");
    std::vector<std::string> paths;
    for (auto it = std::filesystem::directory_iterator(folder, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        paths.push_back(it->path().string());
    if (ec)
        throw Error("cannot read " + folder + ": " + ec.message());
    std::sort(paths.begin(), paths.end());

    auto img = newimage(&progress);
    AddOptions add;
    add.keepAttributes = !opt.defaults;
    AddResult added;
    {
        InterruptCancels interrupt(img->cancel);
        added = addfiles(*img, paths, img->root()->entry.objId, add);
    }
    progress.clear();
    for (const std::string& line : added.errlist)
        std::fprintf(stderr, "korvane-cli: not added: %s\n", printable(line).c_str());
    if (added.cancelled) {
        std::fprintf(stderr, "korvane-cli: cancelled; %s was not written\n", opt.out.c_str());
        return 1;
    }
    int status = save(*img, opt, progress, false);
    return status != 0 ? status : added.errlist.empty() ? 0 : 1;
}

void addSaveCommands(CLI::App& app, Commands& out) {
    struct Options {
        std::string image;
        std::string folder;
        OpenOptions open;
        SaveOptions save;
    };
    auto o = std::make_shared<Options>();
    auto addSaveOptions = [o](CLI::App* cmd, bool convert) {
        auto* to = cmd->add_option("--to", o->save.to,
                                   convert ? "Format to write (default: an EXT source's own)"
                                           : "Format to write")
                       ->check(CLI::IsMember({"yaffs2", "ext2", "ext3", "ext4"}));
        if (!convert)
            to->required();
        cmd->add_option("--ecc", o->save.ecc, "YAFFS2 data ECC: none, yaffs or nand (default none)")
            ->check(CLI::IsMember({"none", "yaffs", "nand"}));
        auto* marker = cmd->add_flag("--erase-marker", o->save.eraseMarker,
                                     "YAFFS2: tags after an FF FF erase marker (offset 2050)");
        cmd->add_flag("--no-erase-marker", o->save.noEraseMarker,
                      "YAFFS2: tags at the head of the spare area (default: as the source image)")
            ->excludes(marker);
        cmd->add_flag("--sparse", o->save.sparse, "EXT: write an Android sparse image");
        cmd->add_option("--block-size", o->save.blockSize, "EXT: block size, 1024, 2048 or 4096")
            ->check(CLI::IsMember({1024, 2048, 4096}));
        cmd->add_option("--inode-size", o->save.inodeSize, "EXT: inode size, 128, 256, 512 or 1024")
            ->check(CLI::IsMember({128, 256, 512, 1024}));
        cmd->add_option("--inodes", o->save.inodes, "EXT: at least this many inodes")
            ->check(CLI::PositiveNumber);
        cmd->add_option("--size", o->save.size,
                        "EXT: image size (512M, 2G ...), or auto for what the tree needs");
        cmd->add_option("--label", o->save.label, "EXT: volume label (at most 16 bytes)");
        cmd->add_option("--uuid", o->save.uuid, "EXT: filesystem UUID, or random");
    };

    auto* convert = app.add_subcommand("convert", "Save an image as a new image of a given format");
    convert->add_option("IN", o->image, "Image to read")->required();
    convert->add_option("OUT", o->save.out, "Image to write (replaced when complete)")->required();
    addSaveOptions(convert, true);
    addOpenOptions(convert, o->open);
    out.push_back({convert, [o](Context& ctx) {
                       auto img = openImage(ctx, o->image, o->open);
                       return convertCommand(*img, o->save, ctx.progress);
                   }});

    auto* pack = app.add_subcommand("pack", "Make a new image of a folder's contents");
    pack->add_option("DIR", o->folder, "Folder whose contents become the image's root")->required();
    pack->add_option("OUT", o->save.out, "Image to write (replaced when complete)")->required();
    addSaveOptions(pack, false);
    pack->add_flag("--defaults", o->save.defaults,
                   "Give every object mode 0777, owner 0, group 0 and the current time "
                   "instead of its own");
    out.push_back(
        {pack, [o](Context& ctx) { return packCommand(o->folder, o->save, ctx.progress); }});
}

} // namespace korvane::cli
