// The permission, type and size texts that the list, the properties summary
// and the edit commands show or read. Pure functions: numbers in, text out,
// or the reverse.
#pragma once

#include "entry.h"
#include "message.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvane {

// Style 1: the nine-letter text (rwxr-xr-x; set-user-id, set-group-id and
// sticky as s/S in the owner's, group's and others' triple). Style 0: four
// octal digits, special-owner-group-others (0755). Other styles: "".
// Only the low 12 bits of mode are read.
std::string modetext(uint32_t mode, int style);

// The mode bits of a permission code such as 755 or 4755: the last four
// characters (after padding with "0000" in front) read as octal digits; 0 when
// any of them is not a digit from 0 to 7.
uint32_t parsemode(std::string_view text);

// The size text of the properties and the summary: "%1 bytes" below 10235
// bytes, "%1KB (%2 bytes)" below 1023995 bytes, "%1MB (%2 bytes)" from there
// on (in Chinese 1536字节, 10.00KB (10235字节), 4.77MB (5000000字节)).
Message sizetext(uint64_t n);

// The permission column: "rwxr-xr-x (0755)".
std::string permissiontext(uint32_t mode);

// The size column: the size in KiB with two decimals for a file, "0.00" for
// everything else.
std::string listsizetext(const TImgEntry& entry);

// The image size of the status bar: "12.34MB".
std::string imagesizetext(uint64_t bytes);

// The type column of the list. childCount is the number of child nodes of a
// directory; linkName is the name of the node a hard link points to ("" when
// there is none). A symbolic link's target is cut so that the Chinese text
// stays within 160 bytes, between characters. Devices, FIFOs and sockets are
// named by the file-type bits of their mode where it has them, whatever the
// format, and by their object type otherwise.
Message listtypetext(const TImgEntry& entry, size_t childCount, std::string_view linkName);

// The type text of the properties dialog and the selection summary: as the
// list's, but a folder is only "Folder".
Message proptypetext(const TImgEntry& entry, std::string_view linkName);

// A name or path as messages show it: a NUL byte as \0, other control bytes
// as \xHH and a backslash as \\, so that a name holding them is shown whole
// and unmistakably; every other byte as it stands.
std::string escapedName(std::string_view name);

// Whether text is well-formed UTF-8 (no overlong forms, no surrogates).
bool validUtf8(std::string_view text);

// Standard base64 (RFC 4648, with padding) of bytes.
std::string base64(std::string_view bytes);

// n / divisor with exactly two decimals, rounded to the nearest hundredth,
// halves up, for any 64-bit n. divisor: 1 to 2^56.
std::string twodecimals(uint64_t n, uint64_t divisor);

} // namespace korvane
