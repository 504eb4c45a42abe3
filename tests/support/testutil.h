// Small helpers shared by the test suites: temporary folders, files and
// running external programs.
#pragma once

#include "model/bytes.h"
#include "model/message.h"

#include <filesystem>
#include <string>

namespace korvane::test {

// A fresh folder under the temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();
    const std::filesystem::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

struct CommandResult {
    int status = -1; // exit status, or -1 when the program did not exit normally
    std::string out; // standard output
    std::string err; // standard error
};

// Runs a shell command line, collecting both output streams.
CommandResult run(const std::string& command);
// Quotes a string for the shell.
std::string shellQuote(const std::string& s);
// Whether a program is on the PATH.
bool haveProgram(const std::string& name);

Bytes readFile(const std::string& path);
void writeFile(const std::string& path, ByteSpan bytes);
void writeFile(const std::string& path, const std::string& text);

std::string toString(ByteSpan bytes);
Bytes bytesOf(const std::string& text);

// The tree below root as text, one line per entry in path order, symbolic
// links not followed: "path d MODE" for folders, "path f MODE SIZE HASH" for
// files (a hash of the bytes), "path l -> TARGET" for symbolic links,
// "path c|b|p|s MODE" for the rest; MODE is the octal permission bits. With
// times, each line ends in " @MTIME" (folders and files only).
std::string diskTree(const std::string& root, bool withTimes = true);

// One line per object below top, in path order (lost+found left out): the
// path, mode with its type bits, owner, device number, size of files, mtime of
// all but folders, and which names share an inode. With contents, a hash of
// each file's bytes and the extended attributes (user., security. and
// trusted.) too.
std::string statTree(const std::string& top, bool contents = false);

// A message as the app shows it in Chinese, the language of its texts.
std::string zh(const Message& m);

// A hash of bytes (FNV-1a), for comparing contents in tree texts.
uint64_t contentHash(ByteSpan bytes);

} // namespace korvane::test
