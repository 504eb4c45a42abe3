// Writing to a file descriptor, whole, and the folder temporary files go to.
#pragma once

#include "bytes.h"
#include "message.h"

#include <cstdint>
#include <string>

namespace korvane {

// Writes all of bytes at offset of fd, again after short writes and
// interruptions. Throws Error with what and the system's reason when it
// cannot (a write that makes no progress counts as a full disk).
void pwriteAll(int fd, ByteSpan bytes, uint64_t offset, const Message& what);

// The user's temporary folder: TMPDIR when set, otherwise /tmp.
std::string temporaryFolder();

} // namespace korvane
