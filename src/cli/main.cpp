// korvane-cli: every job of Korvane without a display.
#include "listing.h"
#include "model/error.h"
#include "progress.h"
#include "transfer/loadimage.h"
#include "transfer/saveas.h"

#include <CLI/CLI.hpp>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>

using namespace korvane;

namespace {

constexpr int kExitError = 1;
constexpr int kExitUsage = 2;

std::unique_ptr<Timg> openImage(const std::string& path, cli::TerminalProgress& progress) {
    auto img = loadimage(path, &progress);
    progress.clear();
    for (const std::string& w : img->warnings())
        std::fprintf(stderr, "korvane-cli: warning: %s\n", w.c_str());
    return img;
}

// Ctrl-C asks the running job to stop, so that it can remove what it started
// writing; a second Ctrl-C ends the program at once.
std::atomic<int>* g_cancel = nullptr;

extern "C" void onInterrupt(int) {
    if (g_cancel)
        g_cancel->store(1);
}

void cancelOnInterrupt(Timg& img) {
    g_cancel = &img.cancel;
    struct sigaction sa {};
    sa.sa_handler = onInterrupt;
    sa.sa_flags = SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

SaveKind saveKindOf(const std::string& name) {
    return name == "ext2" ? kSaveExt2 : name == "ext3" ? kSaveExt3 : kSaveYaffs2;
}

struct ConvertOptions {
    std::string out;
    std::string to;
    std::string ecc = "none";
    bool eraseMarker = false;
    bool noEraseMarker = false;
};

int convertImage(Timg& img, const ConvertOptions& opt, cli::TerminalProgress& progress) {
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
    cancelOnInterrupt(img);
    bool done = saveas(img, opt.out, saveKindOf(opt.to), params);
    progress.clear();
    if (!done) {
        std::fprintf(stderr, "korvane-cli: cancelled; %s was not written\n", opt.out.c_str());
        return kExitError;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Korvane: browse, extract and edit YAFFS2 and EXT2/EXT3 filesystem images."};
    app.name("korvane-cli");
    app.require_subcommand(1);

    std::string image;
    std::string path = "/";

    auto* info = app.add_subcommand("info", "Show the image's format and layout facts");
    info->add_option("IMAGE", image, "Image file")->required();

    cli::LsOptions lsOpt;
    auto* ls = app.add_subcommand("ls", "List the objects of the image");
    ls->add_flag("-l", lsOpt.longFormat, "Long format: mode, uid, gid, size, mtime (UTC), path");
    ls->add_flag("-R", lsOpt.recursive, "List subfolders recursively");
    ls->add_flag("--json", lsOpt.json, "Print a JSON array of objects");
    ls->add_option("IMAGE", image, "Image file")->required();
    ls->add_option("PATH", path, "Folder or object inside the image (default /)");

    auto* cat = app.add_subcommand("cat", "Write a file's bytes to standard output");
    cat->add_option("IMAGE", image, "Image file")->required();
    cat->add_option("PATH", path, "File inside the image")->required();

    ConvertOptions conv;
    auto* convert = app.add_subcommand("convert", "Save an image as a new image of a given format");
    convert->add_option("IN", image, "Image to read")->required();
    convert->add_option("OUT", conv.out, "Image to write (replaced when complete)")->required();
    convert->add_option("--to", conv.to, "Format to write")
        ->required()
        ->check(CLI::IsMember({"yaffs2", "ext2", "ext3"}));
    convert->add_option("--ecc", conv.ecc, "YAFFS2 data ECC: none, yaffs or nand (default none)")
        ->check(CLI::IsMember({"none", "yaffs", "nand"}));
    auto* marker = convert->add_flag("--erase-marker", conv.eraseMarker,
                                     "YAFFS2: tags after an FF FF erase marker (offset 2050)");
    convert
        ->add_flag("--no-erase-marker", conv.noEraseMarker,
                   "YAFFS2: tags at the head of the spare area (default: as the source image)")
        ->excludes(marker);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : kExitUsage;
    }

    try {
        cli::TerminalProgress progress;
        auto img = openImage(image, progress);
        if (info->parsed())
            cli::printInfo(*img, stdout);
        else if (ls->parsed())
            cli::printListing(*img, path, lsOpt, stdout);
        else if (cat->parsed())
            cli::printContents(*img, path, stdout);
        else if (convert->parsed())
            return convertImage(*img, conv, progress);
        if (std::fflush(stdout) != 0)
            throw Error("cannot write to standard output");
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "korvane-cli: out of memory\n");
        return kExitError;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "korvane-cli: %s\n", e.what());
        return kExitError;
    }
    return 0;
}
