// korvane-cli convert and pack: saving a tree as a new image; the save
// options that convert, pack and edit share.
#pragma once

#include "fs/registry.h"
#include "model/timg.h"
#include "progress.h"
#include "transfer/image_chain.h"

#include <CLI/CLI.hpp>
#include <cstdint>
#include <optional>
#include <string>

namespace korvane::cli {

struct SaveOptions {
    std::string out;
    std::string to; // a save type of the registry; "" for the image's own format
    bool sparse = false;
    // The writer's options, by name (see FormatRow::options).
    FormatOptions options;
};

// The Android build's metadata applied to the tree before it is saved.
struct AndroidOptions {
    std::string fsConfig;     // an fs_config file: owners, modes, capabilities by path
    std::string fileContexts; // a file_contexts file: SELinux labels by regular expression
    std::string mountPoint = "/";
};

// Adds --fs-config, --file-contexts and --mount-point to cmd.
void addAndroidOptions(CLI::App* cmd, AndroidOptions& opt);
// Applies them to img (nothing when neither file is given); says on stderr
// how many objects fs_config did not name. Throws Error for a file that
// cannot be read.
void applyAndroidOptions(Timg& img, const AndroidOptions& opt);

// What pack takes besides the save options.
struct PackOptions {
    bool defaults = false; // mode 0777, owner 0, times now instead of the files' own
    std::string devtable;  // a device table applied to the tree before saving
    std::string owner;     // UID:GID given to every object
    std::string modeDirs;  // octal permission bits given to every folder
    std::string modeFiles; // octal permission bits given to every regular file
};

// Adds the options that say how an image is written to cmd: --to (required
// when toRequired; otherwise the image keeps its own format), --sparse, and
// every writer's options from the registry (those that share a name with an
// option saying how an image is read are named --out-* when the command reads
// an image too).
void addSaveOptions(CLI::App* cmd, SaveOptions& opt, bool toRequired, bool readsImage);

// The save request opt makes for img: its own format unless opt.to names
// another; an image read through a sparse layer stays sparse when it keeps
// its format. Throws Error for an option the writer does not take.
SaveRequest saveRequest(const Timg& img, const SaveOptions& opt, bool likeSource);

// Saves img as opt.out (as opt.to says, or in the image's own format), with
// Ctrl-C cancelling; likeSource keeps what the source says of itself
// (geometry, layout) where it is of the same format. Returns the exit status:
// 1 when cancelled. Throws Error.
int saveImage(Timg& img, const SaveOptions& opt, TerminalProgress& progress, bool likeSource);
// The same for the top image of a chain: the images around it are written
// anew around it, the outermost to opt.out.
int saveChain(ImageChain& chain, const SaveOptions& opt, TerminalProgress& progress,
              bool likeSource);

// Saves the chain's top image as opt.out. Returns the exit status. Throws
// Error.
int convertCommand(ImageChain& chain, const SaveOptions& opt, TerminalProgress& progress);

// Makes a new image of the contents of source, a folder or an archive ("-"
// for standard input), and saves it as opt.out. Returns the exit status: 1,
// with nothing written, when anything could not be taken or the save was
// cancelled. Throws Error (also before anything is written) when the image
// cannot hold the tree or a pack option is wrong.
int packCommand(const std::string& source, const SaveOptions& opt, const PackOptions& pack,
                const AndroidOptions& android, TerminalProgress& progress);

} // namespace korvane::cli
