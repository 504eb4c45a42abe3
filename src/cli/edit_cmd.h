// korvane-cli edit: scripted edits of an image, applied in order in memory
// and saved once at the end, so that an error anywhere leaves the image as it
// was.
#pragma once

#include "model/output_file.h"
#include "model/timg.h"
#include "transfer/edit.h"
#include "transfer/image_chain.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::cli {

// One command of a script: its words and where it stands, for messages
// ("build.ksh:12", "-e 2").
struct ScriptCommand {
    std::string where;
    std::vector<std::string> words;
};

// Splits script text into commands, one a line or separated by ";" (a quoted
// or escaped ";" is a character), words as a POSIX shell splits them: blanks
// separate words; '...' keeps everything literally; "..." keeps
// everything but \" \\ \$ \` and backslash-newline, which lose the backslash;
// a backslash outside quotes keeps the next character (a backslash at the end
// of a line continues the command on the next); "#" at the start of a word
// begins a comment. Quoted text may span lines. source names the script in
// the commands' places (with the line number when lineNumbers). Throws Error
// naming the line for a quote that is never closed, or a ";" with no command
// before it.
std::vector<ScriptCommand> parseScript(std::string_view text, const std::string& source,
                                       bool lineNumbers = true);

// A time as touch -d takes it: "@SECONDS[.FRACTION]", or
// "YYYY-MM-DD[( |T)HH:MM[:SS[.FRACTION]]]" followed by nothing (local time),
// "Z" or "UTC" (UTC), or an offset "+HH:MM", "-HHMM". nullopt when text is
// none of them, or names a day its month does not have (2020-02-31).
std::optional<Timestamp> parseTime(std::string_view text);

// A value as setfattr -v takes it: "0x" and hex digits, "0s" and base64, a
// text in double quotes (backslash escapes \\, \" and octal \NNN), or the
// text itself. nullopt for bad hex or base64.
std::optional<std::string> xattrValue(std::string_view text);

// Throws Error when the chain, read from the file opened, must not be saved
// as out (inPlaceRefusal of any of its images), saying how to go on. For edit
// and convert.
void refuseUnsafeInPlace(const ImageChain& chain, const std::optional<FileIdentity>& opened,
                         const std::string& out, bool force);

// Runs one command on img (see the README for the commands). Throws Error.
void runEditCommand(Timg& img, const std::vector<std::string>& words);

} // namespace korvane::cli
