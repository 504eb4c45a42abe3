// Writes the seed corpora of the fuzzing harnesses into CORPUS/yaffs2 and
// CORPUS/ext (tests/fuzz/corpus in the source tree): YAFFS2 images from the
// image builder and from Korvane's writer, EXT images from Korvane's writer,
// mke2fs -d and genext2fs. Every seed stays under 64 KiB: EXT images lose
// their unused tail, which reads as zeros anyway.
//
//     korvane-fuzz-seeds tests/fuzz/corpus
#include "model/error.h"
#include "support/testutil.h"
#include "support/tree_nodes.h"
#include "support/yaffs2_builder.h"
#include "transfer/loadimage.h"
#include "transfer/saveas.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

using namespace korvane;
using namespace korvane::yaffs2;
using namespace korvane::test;
namespace fs = std::filesystem;

namespace {

constexpr size_t kSeedLimit = 64u << 10;
// Every object of a seed gets this time, the fake clock of mke2fs too, so that
// regenerated seeds hardly differ from the committed ones.
constexpr int64_t kSeedTime = 1000000000;

void put(const fs::path& dir, const std::string& name, Bytes bytes) {
    if (bytes.size() >= kSeedLimit)
        throw std::runtime_error(name + " is " + std::to_string(bytes.size()) +
                                 " bytes, not under 64 KiB");
    fs::create_directories(dir);
    writeFile((dir / name).string(), bytes);
    std::printf("%-40s %6zu bytes\n", (dir.filename() / name).c_str(), bytes.size());
}

// Drops the all-zero tail of an EXT image, keeping whole blocks.
Bytes trimmed(Bytes bytes, size_t blockSize) {
    size_t n = bytes.size();
    while (n > 0 && bytes[n - 1] == std::byte{0})
        --n;
    bytes.resize(std::min(bytes.size(), (n + blockSize - 1) / blockSize * blockSize));
    return bytes;
}

// Objects of every kind, as a filesystem writes them, with the sizes around
// one chunk.
Bytes yaffs2Plain() {
    Yaffs2Builder b;
    b.root();
    b.dir(258, 1, "d");
    b.file(259, 1, "empty", {});
    b.file(260, 258, "short.txt", pattern(700, 1));
    b.file(261, 258, "chunk.bin", pattern(kDataSize, 2));
    b.file(262, 1, "three.jpg", pattern(5000, 3));
    b.symlink(263, 258, "link", "../three.jpg");
    b.hardlink(264, 1, "hard", 260);
    b.special(265, 258, "tty", 020620, 0x0401);
    b.special(266, 1, "fifo", 010644, 0);
    b.dir(267, 258, "\xe4\xb8\xad\xe6\x96\x87");
    return b.bytes();
}

// A used partition: the erase marker layout with NAND data ECC, erased blocks,
// several sequence numbers, a header rewritten after a rename and a move, and
// headers whose tags carry the type and parent.
Bytes yaffs2Used() {
    Yaffs2Builder b(plainLayout(kDefaultLayout, true, kEccNand));
    b.erased(2);
    b.sequence = 0x1005;
    b.root();
    b.dir(300, 1, "x");
    b.file(301, 300, "y", pattern(4500, 7));
    b.sequence = 0x1003;
    b.header(301, Yaffs2Builder::make(kHdrFile, 300, "old-y", 0100644), true);
    b.sequence = 0x1009;
    b.header(300, Yaffs2Builder::make(kHdrDirectory, 1, "x2", 040700), true);
    b.dir(302, 1, "z");
    b.file(303, 302, "w", pattern(3000, 8));
    b.header(304, Yaffs2Builder::make(kHdrFile, 3, "deleted", 0100644));
    b.sequence = kSeqCheckpoint;
    b.data(305, 1, pattern(100, 9));
    b.erased(2);
    return b.bytes();
}

// Data ECC in the YAFFS layout, no tag ECC, zero-filled header areas.
Bytes yaffs2Ecc() {
    Layout layout = kDefaultLayout;
    layout.tagEcc = false;
    layout.dataEcc = kEccYaffs;
    layout.dataEccOffset = *standardDataEccOffset(layout);
    Yaffs2Builder b(layout);
    b.dataFill = std::byte{0};
    b.spareFill = std::byte{0};
    b.root(040750, 5000);
    b.file(257, 1, "a", pattern(2049, 4));
    b.symlink(258, 1, "abs", "/system/bin/sh");
    b.zeros(3);
    return b.bytes();
}

// What a damaged or hostile image holds: a 4 GiB size over two chunks with a
// hole between them, chunk ids and byte counts no file has, parents that loop
// or name themselves, an id past the largest, a chunk cut off by truncation.
Bytes yaffs2Hostile() {
    Yaffs2Builder b;
    b.root();
    ObjectHeader big = Yaffs2Builder::make(kHdrFile, 1, "claims-4GiB", 0100644);
    big.fileSize = 0xFFFFFFFF;
    b.header(257, big);
    b.data(257, 1, pattern(kDataSize, 1));
    b.data(257, 1000, pattern(kDataSize, 2));
    b.data(257, 0x7FFFFFFF, pattern(10, 3));
    b.chunk({kSeqLowest, 257, 2, 0xFFFFFFFF}, pattern(kDataSize, 4));
    b.dir(400, 401, "loop-a");
    b.dir(401, 400, "loop-b");
    b.dir(402, 402, "self");
    b.dir(0x3FFFF, 1, "last-id");
    b.dir(0x40000, 1, "past-last-id");
    b.hardlink(403, 1, "dangling", 999);
    Bytes bytes = b.bytes();
    bytes.resize(bytes.size() + kDefaultLayout.minRecordBytes(), std::byte{0xFF});
    return bytes;
}

// Folders nested 20 deep, each name 255 bytes long.
Bytes yaffs2Deep() {
    Yaffs2Builder b;
    b.root();
    for (uint32_t i = 0; i < 20; ++i)
        b.dir(257 + i, i == 0 ? 1 : 256 + i, std::string(255, static_cast<char>('a' + i)));
    b.file(300, 276, "bottom", pattern(10, 5));
    return b.bytes();
}

// A small tree in a new image, with files whose bytes are in the working file.
std::unique_ptr<Timg> memoryTree() {
    std::unique_ptr<Timg> img = newimage();
    Node* root = img->root();
    root->entry.atime = root->entry.mtime = root->entry.ctime = kSeedTime;
    Node* etc = addNode(*img, root, "etc", kTypeDirectory, 0755);
    Node* hosts = addFile(*img, etc, "hosts", bytesOf("127.0.0.1 localhost\n"));
    addFile(*img, root, "init.rc", pattern(2000, 6), 0750);
    addFile(*img, etc, "blocks", pattern(13 * 1024 + 5, 7));
    addSymlink(*img, root, "sh", "/system/bin/toybox");
    addSymlink(*img, etc, "far", std::string(100, 'p'));
    addHardlink(*img, root, "hosts2", hosts);
    addSpecial(*img, root, "null", kTypeSpecial, 020666, DevNum{1, 3});
    addSpecial(*img, root, "sda", kTypeBlockDevice, 060660, DevNum{8, 0});
    addNode(*img, etc, "empty", kTypeDirectory, 0700);
    forEachPreorder(root, [](Node* n) {
        n->entry.atime = n->entry.mtime = n->entry.ctime = kSeedTime;
        n->entry.uid = n->entry.gid = 1000;
    });
    return img;
}

Bytes saved(SaveKind kind, const SaveParams& params = {}) {
    std::unique_ptr<Timg> img = memoryTree();
    TempDir tmp;
    saveas(*img, tmp / "out.img", kind, params);
    return readFile(tmp / "out.img");
}

// A source folder for mke2fs and genext2fs: files around the direct-block
// limit, a sparse file reaching the double (and with 1 KiB blocks the triple)
// indirect blocks, fast and slow symbolic links, a hard link, a FIFO and, where
// the temporary folder keeps them, extended attributes.
void makeSource(const fs::path& dir, bool small) {
    fs::create_directories(dir / "d/e");
    writeFile((dir / "a.txt").string(), "hello\n");
    writeFile((dir / "d/small").string(), pattern(small ? 3000 : 14 * 1024, 11));
    {
        std::ofstream sparse(dir / "sparse", std::ios::binary);
        for (uint64_t at : {uint64_t{0}, uint64_t{300000}, uint64_t{69} << 20}) {
            sparse.seekp(static_cast<std::streamoff>(at));
            sparse.write("data", 4);
        }
    }
    fs::resize_file(dir / "sparse", 70u << 20);
    fs::create_symlink("a.txt", dir / "l");
    fs::create_symlink(std::string(100, 'x'), dir / "d/long");
    fs::create_hard_link(dir / "a.txt", dir / "d/e/hard");
    if (run("mkfifo " + shellQuote((dir / "fifo").string())).status != 0)
        throw std::runtime_error("mkfifo failed");
    const std::string setfattr = "setfattr -n user.comment -v " + std::string(300, 'v') + " " +
                                 shellQuote((dir / "a.txt").string()) + " && setfattr -n " +
                                 "user.mime_type -v text/plain " +
                                 shellQuote((dir / "sparse").string());
    if (run(setfattr).status != 0)
        std::fprintf(stderr, "note: the temporary folder keeps no extended attributes\n");
    run("find " + shellQuote(dir.string()) + " -exec touch -h -d @" + std::to_string(kSeedTime) +
        " {} +");
}

Bytes made(const std::string& command, const std::string& image, size_t blockSize) {
    CommandResult r = run(command);
    if (r.status != 0)
        throw std::runtime_error(command + " failed: " + r.err);
    return trimmed(readFile(image), blockSize);
}

Bytes mke2fs(const fs::path& src, size_t blockSize, const std::string& options, unsigned kib) {
    TempDir tmp;
    const std::string image = tmp / "ext.img";
    return made("E2FSPROGS_FAKE_TIME=" + std::to_string(kSeedTime) +
                    " mke2fs -q -F -N 32 -m 0 -U clear -E hash_seed=" +
                    "6b6f7276-616e-6500-0000-000000000001 -b " + std::to_string(blockSize) + " " +
                    options + " -d " + shellQuote(src.string()) + " " + shellQuote(image) + " " +
                    std::to_string(kib) + "k",
                image, blockSize);
}

void yaffs2Seeds(const fs::path& dir) {
    put(dir, "plain", yaffs2Plain());
    put(dir, "used-partition", yaffs2Used());
    put(dir, "yaffs-ecc", yaffs2Ecc());
    put(dir, "hostile", yaffs2Hostile());
    put(dir, "deep", yaffs2Deep());
    put(dir, "written", saved(kSaveYaffs2));
    SaveParams marked;
    marked.layout = plainLayout(kDefaultLayout, true, kEccNand);
    put(dir, "written-marked", saved(kSaveYaffs2, marked));
}

void extSeeds(const fs::path& dir) {
    put(dir, "written-ext2", trimmed(saved(kSaveExt2), 1024));
    // The journal lies past 64 KiB: the seed is cut short before it, which
    // the reader reads around.
    Bytes ext3 = trimmed(saved(kSaveExt3), 1024);
    ext3.resize(std::min<size_t>(ext3.size(), kSeedLimit - 1024));
    put(dir, "written-ext3", ext3);

    TempDir src;
    makeSource(src / "full", false);
    makeSource(src / "small", true);
    const fs::path full = src / "full", small = src / "small";
    const std::string ext2 = "-t ext2 -I 128 ";
    put(dir, "mke2fs-1k", mke2fs(full, 1024, ext2, 64));
    put(dir, "mke2fs-2k", mke2fs(small, 2048, ext2, 128));
    put(dir, "mke2fs-4k", mke2fs(small / "d", 4096, ext2 + "-O ^resize_inode", 256));
    put(dir, "mke2fs-rev0", mke2fs(small, 1024, ext2 + "-r 0", 64));
    put(dir, "mke2fs-no-filetype", mke2fs(small, 1024, ext2 + "-O ^filetype,^dir_index", 64));
    // Extents, 64-bit descriptors, flexible groups, checksums and in-inode
    // attributes: refused today, read once ext4 is.
    put(dir, "mke2fs-ext4",
        mke2fs(full, 1024, "-t ext4 -I 256 -O ^has_journal,^resize_inode", 128));

    TempDir tmp;
    const std::string devices = tmp / "devices";
    writeFile(devices, "/dev d 755 0 0 - - - - -\n"
                       "/dev/null c 666 0 0 1 3 0 0 -\n"
                       "/dev/sda b 660 0 6 8 0 0 0 -\n"
                       "/dev/tty c 620 0 5 4 1 0 1 3\n");
    const std::string image = tmp / "genext2fs.img";
    put(dir, "genext2fs",
        made("genext2fs -f -z -b 96 -N 40 -m 0 -D " + shellQuote(devices) + " -d " +
                 shellQuote((small / "d").string()) + " " + shellQuote(image),
             image, 1024));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS-FOLDER\n", argv[0]);
        return 2;
    }
    try {
        const fs::path corpus = argv[1];
        yaffs2Seeds(corpus / "yaffs2");
        extSeeds(corpus / "ext");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "korvane-fuzz-seeds: %s\n", e.what());
        return 1;
    }
    return 0;
}
