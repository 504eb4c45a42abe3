// EROFS directory blocks: dirents (nid, name offset, file type) sorted by
// name, then the names. Decoded by the reader, laid out by the writer.
#pragma once

#include "erofs_format.h"
#include "model/message.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::erofs {

struct DirEntry {
    uint64_t nid = 0;
    std::string_view name; // into the block
    uint8_t fileType = kFtUnknown;
};

// Decodes one directory block (its used bytes: the whole block, or less for
// the last one) into out. Returns why it stopped early (a name offset out of
// order or outside the block, a name of more than 255 bytes); what was read
// before stays in out.
std::optional<Message> parseDirBlock(ByteSpan block, std::vector<DirEntry>& out);

// The file type of a dirent for a mode's type bits.
uint8_t fileTypeOf(uint32_t mode);

// A directory's contents for the writer: entries (with "." and "..") in
// byte order of their names, packed into blocks of blockSize. Returns the
// contents (whole blocks, the last one cut after its last name).
struct DirRecord {
    std::string name;
    uint64_t nid;
    uint8_t fileType;
};
// The directory's size in bytes for entries (sorted as sortDirRecords does).
uint64_t dirSize(const std::vector<DirRecord>& sorted, uint32_t blockSize);
void sortDirRecords(std::vector<DirRecord>& records);
// Writes the directory's bytes (dirSize of them) into out.
void layoutDir(const std::vector<DirRecord>& sorted, uint32_t blockSize, MutableByteSpan out);

} // namespace korvane::erofs
