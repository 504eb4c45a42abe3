// Helpers of the EXT writer tests: trees built in memory (by hand or from a
// seed), a dump of a tree that any correct save keeps, and the checks of a
// written image by e2fsck and debugfs.
#pragma once

#include "model/timg.h"
#include "support/testutil.h"
#include "support/tree_nodes.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvane::test {

struct RandomTreeOptions {
    size_t objects = 300;
    // Files of these sizes are added too, at random places.
    std::vector<uint64_t> bigFiles;
    // A "lost+found" folder with contents directly below the root.
    bool rootLostFound = false;
};

// A tree from a seed: deep and wide folders, many small files, files at the
// block-map boundaries, long UTF-8 names, symbolic links of every length,
// hard links, devices, FIFOs and sockets, a "lost+found" deeper down, random
// owners, permissions and times.
void randomTree(Timg& img, uint32_t seed, const RandomTreeOptions& opt = {});

// One line per object below the root (and one for the root): path, kind,
// permissions, owner, times, size and contents of files, link targets, device
// numbers, and the other names of an object with several. Which name of an
// object is the hard link does not show. The root's "lost+found" is left out.
std::string treeDump(Timg& img);

// Runs e2fsck -fn and expects exit status 0 and nothing but its pass lines
// and summary.
void expectFsckClean(const std::string& image);

// Extracts the image with debugfs rdump and expects every folder, file and
// symbolic link of source there, with the same permissions, times, contents
// and targets (owners too when running as root).
void expectRdumpMatches(Timg& source, const std::string& image);

// Runs debugfs stat on the inode of every object of source and expects its
// type, permissions, owner, size, link count and device number.
void expectDebugfsStat(Timg& source, const std::string& image);

} // namespace korvane::test
