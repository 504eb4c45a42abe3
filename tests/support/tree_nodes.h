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

} // namespace korvane::test
