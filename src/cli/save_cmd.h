// korvane-cli convert and pack: saving a tree as a new image.
#pragma once

#include "model/timg.h"
#include "progress.h"

#include <string>

namespace korvane::cli {

struct SaveOptions {
    std::string out;
    std::string to;           // yaffs2, ext2, ext3
    std::string ecc = "none"; // YAFFS2 data ECC: none, yaffs, nand
    bool eraseMarker = false;
    bool noEraseMarker = false;
    bool defaults = false; // pack: mode 0777, owner 0, times now instead of the files' own
};

// Saves img as opt.out. Returns the exit status. Throws Error.
int convertCommand(Timg& img, const SaveOptions& opt, TerminalProgress& progress);

// Makes a new image of the contents of folder and saves it as opt.out.
// Returns the exit status: 1, with nothing written, when anything could not
// be taken from the folder or the save was cancelled. Throws Error (also
// before anything is written) when the image cannot hold the tree.
int packCommand(const std::string& folder, const SaveOptions& opt, TerminalProgress& progress);

} // namespace korvane::cli
