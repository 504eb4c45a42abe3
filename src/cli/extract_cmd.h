// korvane-cli extract: writes objects of the image into a folder.
#pragma once

#include "model/timg.h"
#include "progress.h"

#include <cstdio>
#include <string>
#include <vector>

namespace korvane::cli {

// Extracts the objects at paths (everything below the root when there are
// none) into folder, then lists what was skipped on err. Ctrl-C stops the job
// after the object being written. Returns the exit status: 0 when everything
// was written, 1 when anything was skipped or the job was cancelled. Throws
// Error when a path names nothing in the image or folder cannot be made.
int extractCommand(Timg& img, const std::vector<std::string>& paths, const std::string& folder,
                   TerminalProgress& progress, std::FILE* err);

// Writes the objects at paths (everything when there are none) as a pax
// archive to tarPath ("-" for standard output, which must not be a
// terminal), then lists what the archive cannot hold on err. Returns the
// exit status as extractCommand does. Throws Error.
int tarCommand(Timg& img, const std::vector<std::string>& paths, const std::string& tarPath,
               TerminalProgress& progress, std::FILE* err);

// Shows control characters of a name as \xNN, so that a hostile name cannot
// rewrite the terminal.
std::string printable(const std::string& text);

} // namespace korvane::cli
