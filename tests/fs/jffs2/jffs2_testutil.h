// What the JFFS2 tests share: source folders of every kind of object, made
// from a seed, and mkfs.jffs2 images of them.
#pragma once

#include "model/timg.h"

#include <cstdint>
#include <memory>
#include <string>

namespace korvane::test {

// The time every object of a source folder gets.
constexpr int64_t kSourceTime = 1600000000;

struct SourceKinds {
    bool xattrs = false; // user. and security. attributes, a POSIX ACL
    bool devices = true; // character and block devices (when mknod is allowed)
};

// Fills dir (created) with folders (three deep, one of mode 0711), files of
// sizes around the page size and larger ones, some compressible and some
// not (seed varies sizes, names and contents), an empty file, symbolic
// links (one of 254 bytes), a hard link, a FIFO, devices, owners other than
// root, set-uid and unusual modes, names with spaces and UTF-8. Every
// object gets kSourceTime and every file is read once, so that tools reading
// it later see the same access time.
void makeJffs2Source(const std::string& dir, uint32_t seed, SourceKinds kinds = {});

// Runs mkfs.jffs2 -r src -o image with options; throws when it fails.
void mkfsJffs2(const std::string& src, const std::string& image, const std::string& options);

// Opens an image file the way the app does.
std::unique_ptr<Timg> openFile(const std::string& path);

// Extracts the whole tree of img into folder and gives statTree of it.
std::string extractedTree(Timg& img, const std::string& folder);

} // namespace korvane::test
