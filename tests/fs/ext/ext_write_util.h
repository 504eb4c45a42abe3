// Helpers of the EXT writer tests: trees built in memory (by hand or from a
// seed), a dump of a tree that any correct save keeps, and the checks of a
// written image by e2fsck and debugfs.
#pragma once

#include "model/timg.h"
#include "support/testutil.h"
#include "support/tree_nodes.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korvane::test {

struct RandomTreeOptions {
    size_t objects = 300;
    // Files of these sizes are added too, at random places.
    std::vector<uint64_t> bigFiles;
    // A "lost+found" folder with contents directly below the root.
    bool rootLostFound = false;
    // Extended attributes (SELinux labels, capabilities, ACLs, user and
    // trusted ones, some sets shared) small enough for 1 KiB blocks.
    bool xattrs = false;
    // Times from 1901 to 2310 with nanoseconds, as inodes with extra fields
    // hold them.
    bool wideTimes = false;
};

// A tree from a seed: deep and wide folders, many small files, files at the
// block-map boundaries, long UTF-8 names, symbolic links of every length,
// hard links, devices, FIFOs and sockets, a "lost+found" deeper down, random
// owners, permissions and times.
void randomTree(Timg& img, uint32_t seed, const RandomTreeOptions& opt = {});

// One line per object below the root (and one for the root): path, kind,
// permissions, owner, times, size and contents of files, link targets, device
// numbers, extended attributes, and the other names of an object with
// several. Which name of an
// object is the hard link does not show. The root's "lost+found" is left out.
std::string treeDump(Timg& img);

// An empty image whose files read as zeros of the size their entries give,
// all of it data (no holes): for plans of trees too large to hold in a test.
std::unique_ptr<Timg> zeroImage();

// Runs e2fsck -fn and expects exit status 0 and nothing but its pass lines
// and summary.
void expectFsckClean(const std::string& image);

// Extracts the image with debugfs rdump and expects every folder, file and
// symbolic link of source there, with the same permissions, times, contents
// and targets (owners too when running as root).
void expectRdumpMatches(Timg& source, const std::string& image);

// Runs debugfs stat on the inode of every object of source (the inodes the
// writer gives them) and expects its type, permissions, owner, size, link
// count, device number, times (with nanoseconds where the inode has room)
// and, through ea_get, its extended attributes.
void expectDebugfsStat(Timg& source, const std::string& image);

} // namespace korvane::test
