// korvane-cli: every job of Korvane without a display.
#include "extract_cmd.h"
#include "listing.h"
#include "model/error.h"
#include "progress.h"
#include "save_cmd.h"
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

    cli::SaveOptions save;
    auto addSaveOptions = [&save](CLI::App* cmd) {
        cmd->add_option("--to", save.to, "Format to write")
            ->required()
            ->check(CLI::IsMember({"yaffs2", "ext2", "ext3"}));
        cmd->add_option("--ecc", save.ecc, "YAFFS2 data ECC: none, yaffs or nand (default none)")
            ->check(CLI::IsMember({"none", "yaffs", "nand"}));
        auto* marker = cmd->add_flag("--erase-marker", save.eraseMarker,
                                     "YAFFS2: tags after an FF FF erase marker (offset 2050)");
        cmd->add_flag("--no-erase-marker", save.noEraseMarker,
                      "YAFFS2: tags at the head of the spare area (default: as the source image)")
            ->excludes(marker);
    };
    auto* convert = app.add_subcommand("convert", "Save an image as a new image of a given format");
    convert->add_option("IN", image, "Image to read")->required();
    convert->add_option("OUT", save.out, "Image to write (replaced when complete)")->required();
    addSaveOptions(convert);

    std::string packDir;
    auto* pack = app.add_subcommand("pack", "Make a new image of a folder's contents");
    pack->add_option("DIR", packDir, "Folder whose contents become the image's root")->required();
    pack->add_option("OUT", save.out, "Image to write (replaced when complete)")->required();
    addSaveOptions(pack);
    pack->add_flag("--defaults", save.defaults,
                   "Give every object mode 0777, owner 0, group 0 and the current time "
                   "instead of its own");

    std::vector<std::string> extractPaths;
    std::string extractDir;
    auto* extract = app.add_subcommand(
        "extract", "Extract files and folders (everything when no PATH is given) into DIR");
    extract->add_option("IMAGE", image, "Image file")->required();
    extract->add_option("PATH", extractPaths, "File or folder inside the image");
    extract->add_option("-C,--directory", extractDir, "Target folder, created when missing")
        ->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : kExitUsage;
    }

    try {
        cli::TerminalProgress progress;
        if (pack->parsed())
            return cli::packCommand(packDir, save, progress);
        auto img = openImage(image, progress);
        if (extract->parsed())
            return cli::extractCommand(*img, extractPaths, extractDir, progress, stderr);
        if (info->parsed()) {
            cli::printInfo(*img, stdout);
            if (readAllFiles)
                cli::readAll(*img, stdout);
        } else if (ls->parsed())
            cli::printListing(*img, path, lsOpt, stdout);
        else if (cat->parsed())
            cli::printContents(*img, path, stdout);
        else if (convert->parsed())
            return cli::convertCommand(*img, save, progress);
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
