#include "save_cmd.h"

#include "command.h"
#include "extract_cmd.h"
#include "interrupt.h"
#include "model/error.h"
#include "transfer/addfiles.h"
#include "transfer/loadimage.h"
#include "transfer/saveas.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace korvane::cli {

namespace {

SaveKind saveKindOf(const std::string& name) {
    return name == "ext2" ? kSaveExt2 : name == "ext3" ? kSaveExt3 : kSaveYaffs2;
}

int save(Timg& img, const SaveOptions& opt, TerminalProgress& progress) {
    SaveParams params;
    updateFromScan(params, img);
    if (opt.eraseMarker)
        params.tagOffset = yaffs2::kTagOffsetMarked;
    if (opt.noEraseMarker)
        params.tagOffset = yaffs2::kTagOffsetPlain;
    params.ecc = opt.ecc == "yaffs"  ? yaffs2::kEccYaffs
                 : opt.ecc == "nand" ? yaffs2::kEccNand
                                     : yaffs2::kEccNone;
    img.onwk = &progress;
    bool done;
    std::vector<Message> warnings;
    {
        InterruptCancels interrupt(img.cancel);
        done = saveas(img, opt.out, saveKindOf(opt.to), params, &warnings);
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

int convertCommand(Timg& img, const SaveOptions& opt, TerminalProgress& progress) {
    return save(img, opt, progress);
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
    if (added.cancelled) {
        std::fprintf(stderr, "korvane-cli: cancelled; %s was not written\n", opt.out.c_str());
        return 1;
    }
    // All or nothing: an image without some of the folder's objects is not
    // the image that was asked for.
    if (!added.errlist.empty()) {
        for (const std::string& line : added.errlist)
            std::fprintf(stderr, "korvane-cli: cannot take %s\n", printable(line).c_str());
        std::fprintf(stderr, "korvane-cli: %s was not written\n", opt.out.c_str());
        return 1;
    }
    return save(*img, opt, progress);
}

void addSaveCommands(CLI::App& app, Commands& out) {
    struct Options {
        std::string image;
        std::string folder;
        OpenOptions open;
        SaveOptions save;
    };
    auto o = std::make_shared<Options>();
    auto addSaveOptions = [o](CLI::App* cmd) {
        cmd->add_option("--to", o->save.to, "Format to write")
            ->required()
            ->check(CLI::IsMember({"yaffs2", "ext2", "ext3"}));
        cmd->add_option("--ecc", o->save.ecc, "YAFFS2 data ECC: none, yaffs or nand (default none)")
            ->check(CLI::IsMember({"none", "yaffs", "nand"}));
        auto* marker = cmd->add_flag("--erase-marker", o->save.eraseMarker,
                                     "YAFFS2: tags after an FF FF erase marker (offset 2050)");
        cmd->add_flag("--no-erase-marker", o->save.noEraseMarker,
                      "YAFFS2: tags at the head of the spare area (default: as the source image)")
            ->excludes(marker);
    };

    auto* convert = app.add_subcommand("convert", "Save an image as a new image of a given format");
    convert->add_option("IN", o->image, "Image to read")->required();
    convert->add_option("OUT", o->save.out, "Image to write (replaced when complete)")->required();
    addSaveOptions(convert);
    addOpenOptions(convert, o->open);
    out.push_back({convert, [o](Context& ctx) {
                       auto img = openImage(ctx, o->image, o->open);
                       return convertCommand(*img, o->save, ctx.progress);
                   }});

    auto* pack = app.add_subcommand("pack", "Make a new image of a folder's contents");
    pack->add_option("DIR", o->folder, "Folder whose contents become the image's root")->required();
    pack->add_option("OUT", o->save.out, "Image to write (replaced when complete)")->required();
    addSaveOptions(pack);
    pack->add_flag("--defaults", o->save.defaults,
                   "Give every object mode 0777, owner 0, group 0 and the current time "
                   "instead of its own");
    out.push_back(
        {pack, [o](Context& ctx) { return packCommand(o->folder, o->save, ctx.progress); }});
}

} // namespace korvane::cli
