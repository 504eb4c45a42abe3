// What the SquashFS tests share: a folder of every kind of object SquashFS
// holds, the peer tools (mksquashfs, unsquashfs, the kernel) and the
// listings the tests compare.
#pragma once

#include "model/timg.h"
#include "support/testutil.h"

#include <memory>
#include <string>

namespace korvane::test {

// The compressors both mksquashfs and Korvane write.
inline const char* const kCompressors[] = {"gzip", "xz", "lzo", "lz4", "zstd"};

// Makes at dir (which must not exist) a tree of folders, files (empty, of a
// few bytes, of whole and broken blocks, compressible and not, with holes),
// hard links, symbolic links, a FIFO and a socket, with modes, times and
// extended attributes (user. and security.); as root also character and
// block devices, owners and trusted. attributes. seed varies the contents.
void makeSampleTree(const std::string& dir, uint32_t seed = 1);

// Runs mksquashfs on dir with extra arguments; fails the test when it fails.
void mksquashfs(const std::string& dir, const std::string& image, const std::string& args = {});

// One line per object below the root, in path order: "PATH MODE UID/GID
// SIZE-OR-DEVICE DATE TIME[ -> TARGET]" as `unsquashfs -lln` prints it
// (times in UTC, to the minute; folders' sizes as their listings').
std::string peerListing(const std::string& image);
// The same for the tree Korvane reads.
std::string korvaneListing(Timg& img);

// Opens the image file (any format) as korvane-cli would.
std::unique_ptr<Timg> openImageFile(const std::string& path);

// Extracts the whole tree into dir with Korvane; fails the test on any
// object it could not write.
void extractAll(Timg& img, const std::string& dir);
// unsquashfs -d dir image.
void unsquashfs(const std::string& image, const std::string& dir);

// The kernel's view of an image: mounted read-only on a loop device while
// the object lives. ok() is false where mounting is not permitted.
class LoopMount {
public:
    LoopMount(const std::string& image, const std::string& dir);
    ~LoopMount();
    LoopMount(const LoopMount&) = delete;
    LoopMount& operator=(const LoopMount&) = delete;
    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }

private:
    std::string dir_;
    bool ok_ = false;
    std::string error_;
};

} // namespace korvane::test
