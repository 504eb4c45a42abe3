// Writing to a file descriptor, whole, and the folder temporary files go to.
#pragma once

#include "bytes.h"
#include "message.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace korvane {

// Writes all of bytes at offset of fd, again after short writes and
// interruptions. Throws Error with what and the system's reason when it
// cannot (a write that makes no progress counts as a full disk).
void pwriteAll(int fd, ByteSpan bytes, uint64_t offset, const Message& what);

// Reads out.size() bytes of fd at offset, again after short reads and
// interruptions. Returns the bytes read: fewer when the file ends (errno is
// then 0) or cannot be read (errno says why).
size_t preadAll(int fd, MutableByteSpan out, uint64_t offset);

// Copies n bytes of file src from srcOff to file dst at dstOff: with
// copy_file_range (which may share the blocks) while kernelCopy holds, and
// through buffer (pread, then pwriteAll) where the kernel cannot. kernelCopy
// is cleared when the kernel refuses to copy between the two files' filesystems,
// so that a caller copying many pieces asks once. Returns the bytes copied:
// fewer than n when src ends early (errno is then 0) or cannot be read (errno
// says why). Throws Error with what when writing fails.
uint64_t copyBetweenFiles(int src, uint64_t srcOff, int dst, uint64_t dstOff, uint64_t n,
                          MutableByteSpan buffer, std::atomic<bool>& kernelCopy,
                          const Message& what);

// The user's temporary folder: TMPDIR when set, otherwise /tmp.
std::string temporaryFolder();

} // namespace korvane
