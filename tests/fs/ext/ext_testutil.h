// Helpers of the EXT tests: a source folder holding every kind of object, its
// lstat snapshot, images made from it by e2fsprogs and genext2fs, and the
// comparison of a read image against the snapshot.
#pragma once

#include "fs/ext/text23obj.h"
#include "support/testutil.h"

#include <map>
#include <memory>
#include <string>

namespace korvane::test {

bool runningAsRoot();

// Fills dir with folders, files whose sizes cross every block-map level for
// 1 KiB and 4 KiB blocks, sparse files, hard links, fast and slow symbolic
// links, 255-byte UTF-8 names, a FIFO, a socket, a multi-block folder and,
// as root, device nodes and owners other than root. Every object gets its
// own mode and times.
void makeSourceTree(const std::string& dir);

// Adds what ext4 images keep beyond EXT2/3 to a tree made by makeSourceTree:
// extended attributes of every kind (user, security, POSIX ACLs, one value
// too big for the inode), files whose extents need trees of depth 1 and 2, a
// time before 1970.
void addExt4Extras(const std::string& dir);

// An Android sparse image of image: zero blocks as "don't care", blocks of
// one repeated word as fill chunks, the rest raw, and with crc a CRC32 chunk
// after every fourth chunk and at the end.
Bytes makeSparse(const Bytes& image, uint32_t blockSize, bool crc);

struct SourceStat {
    uint32_t mode = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint64_t size = 0;
    uint64_t ino = 0;
    uint64_t rdev = 0;
    int64_t atime = 0;
    int64_t mtime = 0;
    int64_t ctime = 0;
    std::string target;                        // symbolic links
    std::map<std::string, std::string> xattrs; // every attribute, by name
};
// Every object below dir by path relative to it ("a/b"); dir itself left out.
using Snapshot = std::map<std::string, SourceStat>;
Snapshot snapshot(const std::string& dir);

// Runs a command line, failing the test (with its output) when it fails.
void mustRun(const std::string& command);

std::unique_ptr<Text23obj> openExt(const std::string& path);
std::unique_ptr<Text23obj> openExt(const Bytes& bytes);
// Opens through format detection (Android sparse images unwrapped).
std::unique_ptr<Text23obj> openAny(const std::string& path);

struct CompareOptions {
    // genext2fs stores the modification time as the access time and the time
    // it ran as the change time.
    bool atimeAndCtime = true;
    // genext2fs keeps only the low 8 bits of major and minor device numbers.
    bool wideDevices = true;
};

// Checks that the image's tree (lost+found aside) holds exactly the snapshot's
// objects with the same type, mode, owner, size, times, link target, device
// number and contents, and that every second name of an inode is a hard link
// node pointing at the first.
void expectSameTree(Text23obj& img, const Snapshot& snap, const std::string& srcDir,
                    const CompareOptions& opt = {});

// Byte offset in the image of the directory entry called name in the folder
// at dirPath (looked up in its first twelve blocks); fails the test when
// there is none.
size_t entryOffset(Text23obj& img, const std::string& dirPath, const std::string& name);

} // namespace korvane::test
