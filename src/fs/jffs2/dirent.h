// Directory entry nodes: a name in a directory (pino) for an inode (ino), or,
// with ino 0, the removal of that name. The entry with the highest version
// for a name in a directory is the one that counts; versions count in the
// directory's own sequence, which its inode nodes share.
#pragma once

#include "jffs2_format.h"

#include <cstdint>
#include <string>

namespace korvane::jffs2 {

// DT_* values of the type field.
constexpr uint8_t kDtUnknown = 0;
constexpr uint8_t kDtFifo = 1;
constexpr uint8_t kDtChr = 2;
constexpr uint8_t kDtDir = 4;
constexpr uint8_t kDtBlk = 6;
constexpr uint8_t kDtReg = 8;
constexpr uint8_t kDtLnk = 10;
constexpr uint8_t kDtSock = 12;

// The DT_* type of a mode's file-type bits.
uint8_t direntType(uint32_t mode);

struct Dirent {
    uint32_t pino = 0;
    uint32_t version = 0;
    uint32_t ino = 0;
    uint32_t mctime = 0; // the directory's mtime and ctime when the entry was written
    uint8_t type = kDtUnknown;
    std::string name;
};

enum class DirentCheck : uint8_t { kOk, kBadNodeCrc, kBadLength, kBadNameCrc };

// Checks a dirent node of totlen bytes at p (totlen >= dirent::kSize): its
// node checksum, that its length fits its name, and the name's checksum.
DirentCheck checkDirent(const std::byte* p, uint32_t totlen, const Endian& e);
// The fields of a dirent node that checked out.
Dirent decodeDirent(const std::byte* p, const Endian& e);

// Bytes a dirent node with a name of n bytes takes (before padding).
constexpr uint32_t direntSize(size_t n) {
    return static_cast<uint32_t>(dirent::kSize + n);
}
// Writes the whole node (direntSize(d.name.size()) bytes) to out, checksums
// set. The name must be at most kMaxNameLen bytes.
void encodeDirent(const Dirent& d, std::byte* out, const Endian& e);

} // namespace korvane::jffs2
