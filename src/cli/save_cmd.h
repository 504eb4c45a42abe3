// korvane-cli convert and pack: saving a tree as a new image.
#pragma once

#include "model/timg.h"
#include "progress.h"
#include "yaffs2/detect.h"

#include <cstdint>
#include <optional>
#include <string>

namespace korvane::cli {

struct SaveOptions {
    std::string out;
    std::string to;  // yaffs2, ext2, ext3, ext4; convert: empty keeps an EXT source's
    std::string ecc; // YAFFS2 data ECC: none, yaffs, nand; empty: as the source image (or none)
    bool eraseMarker = false;
    bool noEraseMarker = false;
    yaffs2::LayoutHints layout; // YAFFS2 layout choices; the rest as the source image
    bool defaults = false;      // pack: mode 0777, owner 0, times now instead of the files' own
    // EXT images (empty or zero: the kind's default, or convert's source's).
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

// Saves img as opt.out. Returns the exit status. Throws Error.
int convertCommand(Timg& img, const SaveOptions& opt, TerminalProgress& progress);

// Makes a new image of the contents of folder and saves it as opt.out.
// Returns the exit status: 1, with nothing written, when anything could not
// be taken from the folder or the save was cancelled. Throws Error (also
// before anything is written) when the image cannot hold the tree.
int packCommand(const std::string& folder, const SaveOptions& opt, TerminalProgress& progress);

} // namespace korvane::cli
