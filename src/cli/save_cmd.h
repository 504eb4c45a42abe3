// korvane-cli convert and pack: saving a tree as a new image; the save
// options that convert, pack and edit share.
#pragma once

#include "model/timg.h"
#include "progress.h"
#include "fs/yaffs2/detect.h"

#include <CLI/CLI.hpp>
#include <cstdint>
#include <optional>
#include <string>

namespace korvane::cli {

struct SaveOptions {
    std::string out;
    std::string to;  // yaffs2, ext2, ext3, ext4; "" for the image's own format
    std::string ecc; // YAFFS2 data ECC: none, yaffs, nand; empty: as the source image (or none)
    bool eraseMarker = false;
    bool noEraseMarker = false;
    yaffs2::LayoutHints layout; // YAFFS2 layout choices; the rest as the source image
    // EXT images (empty or zero: the kind's default, or the source's when saved
    // like it).
    bool sparse = false;
    uint32_t blockSize = 0;
    uint32_t inodeSize = 0;
    uint64_t inodes = 0;
    std::string size; // bytes with an optional K, M, G or T suffix, or "auto"
    std::optional<std::string> label;
    std::string uuid; // a UUID, or "random"
};

// "64M" -> 67108864; nullopt for text that is no size.
std::optional<uint64_t> parseSize(const std::string& text);

// What pack takes besides the save options.
struct PackOptions {
    bool defaults = false; // mode 0777, owner 0, times now instead of the files' own
    std::string devtable;  // a device table applied to the tree before saving
    std::string owner;     // UID:GID given to every object
    std::string modeDirs;  // octal permission bits given to every folder
    std::string modeFiles; // octal permission bits given to every regular file
};

// Adds the options that say how an image is written to cmd: --to (required
// when toRequired; otherwise the image keeps its own format), --ecc, the
// erase marker and the YAFFS2 layout to write (named --out-* when the command
// reads an image too, whose plain layout options say how it is read).
void addSaveOptions(CLI::App* cmd, SaveOptions& opt, bool toRequired, bool readsImage);

// Saves img as opt.out (as opt.to says, or in the image's own format), with
// Ctrl-C cancelling; likeSource keeps an EXT source's geometry. Returns the
// exit status: 1 when cancelled. Throws Error.
int saveImage(Timg& img, const SaveOptions& opt, TerminalProgress& progress, bool likeSource);

// Saves img as opt.out. Returns the exit status. Throws Error.
int convertCommand(Timg& img, const SaveOptions& opt, TerminalProgress& progress);

// Makes a new image of the contents of source, a folder or an archive ("-"
// for standard input), and saves it as opt.out. Returns the exit status: 1,
// with nothing written, when anything could not be taken or the save was
// cancelled. Throws Error (also before anything is written) when the image
// cannot hold the tree or a pack option is wrong.
int packCommand(const std::string& source, const SaveOptions& opt, const PackOptions& pack,
                TerminalProgress& progress);

} // namespace korvane::cli
