// How korvane-cli's commands are put together: each command file adds its
// subcommands to the application with what they run, and main runs the one
// that was given.
#pragma once

#include "progress.h"
#include "transfer/image_chain.h"
#include "transfer/loadimage.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace korvane::cli {

constexpr int kExitError = 1;
constexpr int kExitUsage = 2;

// What every command shares while it runs.
struct Context {
    TerminalProgress progress;
    // The images the command opened, kept open to its end.
    std::deque<ImageChain> images;
};

struct Command {
    CLI::App* sub = nullptr;
    // Runs the command after parsing; returns the exit status, throws Error.
    std::function<int(Context&)> run;
};
using Commands = std::vector<Command>;

// Adds the options that decide how an image is read (format details a guess
// could get wrong) to a command that reads one.
void addOpenOptions(CLI::App* cmd, OpenOptions& opt);

// Messages, the core's and korvane-cli's own, in the language the locale
// names: English unless it names Chinese.
std::string say(const Message& m);
// "korvane-cli: MESSAGE" on err, control characters shown as \xNN (names may
// hold them).
void tell(std::FILE* err, const Message& m);

// Opens the image at path (and the members opt names inside it), reporting
// progress, and prints the warnings of every image opened. The chain is
// ctx's until the process ends.
ImageChain& openImage(Context& ctx, const std::string& path, const OpenOptions& opt);

// Adds the command name to app and returns it when its options are to be
// built: when the command line names it, or when every command is built.
// Otherwise it is listed (in the help) without its options, and the result is
// nullptr: building every command's options would take longer than listing a
// small image.
CLI::App* addCommand(CLI::App& app, const std::string& name, const std::string& description);

// The commands, by the file that holds them.
void addReadCommands(CLI::App& app, Commands& out);    // info, ls, cat (listing.cpp)
void addExtractCommand(CLI::App& app, Commands& out);  // extract (extract_cmd.cpp)
void addSaveCommands(CLI::App& app, Commands& out);    // convert, pack (save_cmd.cpp)
void addGetfattrCommand(CLI::App& app, Commands& out); // getfattr (getfattr_cmd.cpp)
void addEditCommand(CLI::App& app, Commands& out);     // edit (edit_cmd.cpp)
void addExportCommand(CLI::App& app, Commands& out);   // export (export_cmd.cpp)
void addFindCommand(CLI::App& app, Commands& out);     // find (find_cmd.cpp)
void addDiffCommand(CLI::App& app, Commands& out);     // diff (diff_cmd.cpp)
void addSuperCommand(CLI::App& app, Commands& out);    // pack-super (super_cmd.cpp)

// The text `getfattr -d -m -` would print for the object at path (nothing
// when it has no attributes). Throws Error when path names nothing.
std::string getfattrText(const Timg& img, const std::string& path);

} // namespace korvane::cli
