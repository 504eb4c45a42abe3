#include "save_cmd.h"

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
    {
        InterruptCancels interrupt(img.cancel);
        done = saveas(img, opt.out, saveKindOf(opt.to), params);
    }
    progress.clear();
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
    for (const std::string& line : added.errlist)
        std::fprintf(stderr, "korvane-cli: not added: %s\n", printable(line).c_str());
    if (added.cancelled) {
        std::fprintf(stderr, "korvane-cli: cancelled; %s was not written\n", opt.out.c_str());
        return 1;
    }
    int status = save(*img, opt, progress);
    return status != 0 ? status : added.errlist.empty() ? 0 : 1;
}

} // namespace korvane::cli
