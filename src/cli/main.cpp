// korvane-cli: every job of Korvane without a display.
#include "listing.h"
#include "model/error.h"
#include "progress.h"
#include "transfer/loadimage.h"

#include <CLI/CLI.hpp>
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

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Korvane: browse, extract and edit YAFFS2 and EXT2/EXT3 filesystem images."};
    app.name("korvane-cli");
    app.require_subcommand(1);

    std::string image;
    std::string path = "/";

    auto* info = app.add_subcommand("info", "Show the image's format and layout facts");
    bool readAllFiles = false;
    info->add_flag("--read-all", readAllFiles,
                   "Also read every file's contents and report bytes read and GB/s");
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

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : kExitUsage;
    }

    try {
        cli::TerminalProgress progress;
        auto img = openImage(image, progress);
        if (info->parsed()) {
            cli::printInfo(*img, stdout);
            if (readAllFiles)
                cli::readAll(*img, stdout);
        } else if (ls->parsed())
            cli::printListing(*img, path, lsOpt, stdout);
        else if (cat->parsed())
            cli::printContents(*img, path, stdout);
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
