// Device tables and attribute overrides: how a tree made by an ordinary user
// gets the device nodes, owners and modes of a root filesystem before it is
// saved, with no privilege needed.
#pragma once

#include "model/timg.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

// One line of a device table, in the format genext2fs and Buildroot's makedevs
// read:
//
//   name type mode uid gid major minor start inc count
//
// type f (a regular file that must exist), d (a folder, made with its
// parents when missing), c, b (character and block devices) or p (a FIFO);
// mode octal permission bits; uid, gid, major, minor, start, inc, count
// decimal, "-" for 0 (the last five may be left out). With a count, the line
// stands for count objects named name + start, name + start + 1, ..., with
// minor numbers minor, minor + inc, ...
struct DevTableLine {
    size_t line = 0; // 1-based line number
    std::string name;
    char type = 0;
    uint32_t perm = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t start = 0;
    uint32_t inc = 0;
    uint32_t count = 0;
};

// The most objects one line may stand for.
constexpr uint32_t kDevTableMaxCount = 65536;

// Parses a device table; blank lines and lines starting with "#" are passed
// over. Throws Error listing every bad line as "SOURCE:LINE: why".
std::vector<DevTableLine> parseDevTable(std::string_view text, const std::string& source);

// Applies the lines in order: folders are made (or given the line's mode and
// owner when they exist), files must exist and get the line's mode and owner,
// device nodes and FIFOs are made (or, when one of the same kind is there,
// given the line's attributes). New objects get the time now. Throws Error
// "SOURCE:LINE: why" at the first line that cannot be applied; what the lines
// before it did stays, so callers apply a table to a tree they throw away on
// failure (pack).
void applyDevTable(Timg& img, const std::vector<DevTableLine>& lines, const std::string& source,
                   int64_t now);

// Reads the device table file at path and applies it (see above).
void devtable(Timg& img, const std::string& path);

// Attributes given to a whole tree: an owner for every object, permission
// bits for every folder and for every regular file.
struct TreeOverrides {
    std::optional<uint32_t> uid;
    std::optional<uint32_t> gid;
    std::optional<uint32_t> dirPerm;
    std::optional<uint32_t> filePerm;

    bool empty() const { return !uid && !gid && !dirPerm && !filePerm; }
};

// Applies the overrides to every object of the tree, the root included.
void overrideAttributes(Timg& img, const TreeOverrides& o);

} // namespace korvane
