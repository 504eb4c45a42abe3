// Building trees in memory for tests: objects added to an open image as the
// edit commands and the add-files job would add them.
#pragma once

#include "model/timg.h"

#include <cstdint>
#include <string>

namespace korvane::test {

Node* addNode(Timg& img, Node* parent, const std::string& name, uint8_t type, uint32_t mode);
// A file whose bytes are in the working file.
Node* addFile(Timg& img, Node* parent, const std::string& name, const Bytes& bytes,
              uint32_t mode = 0644);
Node* addSymlink(Timg& img, Node* parent, const std::string& name, const std::string& target);
Node* addHardlink(Timg& img, Node* parent, const std::string& name, const Node* target);
// A special file as the YAFFS2 reader makes one: the device number in blocks[0].
Node* addSpecial(Timg& img, Node* parent, const std::string& name, uint8_t type, uint32_t mode,
                 DevNum rdev = {});

// One line per object below the root, in path order: the path, the kind, the
// permission bits, owner, mtime with nanoseconds, device number, size, a hash
// of the contents, the extended attributes and, for names that share a file,
// the first of those names in path order. A hard link shows its file's
// attributes, so trees that differ only in which name the file sits under
// give the same text.
std::string treeText(Timg& img);

} // namespace korvane::test
