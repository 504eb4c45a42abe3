// Writes the seed corpora of the fuzzing harnesses into CORPUS/<format>
// (tests/fuzz/corpus in the source tree): YAFFS2 images in every common layout
// from the image builder and from Korvane's writer; EXT2/3 and ext4 images
// from Korvane's writer, mke2fs -d (with debugfs for what -d does not make:
// deep extent trees, unwritten extents, dirty journals) and genext2fs;
// Android sparse images from img2simg and Korvane's writer; archives from GNU
// tar, cpio and Korvane's tar writer; EROFS images from mkfs.erofs and
// Korvane's writer; JFFS2 images from mkfs.jffs2 (and sumtool), the node
// builder and Korvane's writer; YAFFS1 images from the page builder and
// Korvane's writer. Every seed stays under 64 KiB: EXT
// images lose their unused tail, which reads as zeros anyway.
//
//     korvane-fuzz-seeds tests/fuzz/corpus
#include "model/crc.h"
#include "model/error.h"
#include "source/sparse/sparse_format.h"
#include "support/jffs2_builder.h"
#include "support/save_as.h"
#include "support/super_builder.h"
#include "support/testutil.h"
#include "support/tree_nodes.h"
#include "support/ubi_builders.h"
#include "support/yaffs1_builder.h"
#include "support/yaffs2_builder.h"
#include "transfer/loadimage.h"
#include "transfer/saveas.h"
#include "transfer/tar_export.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

using namespace korvane;
using namespace korvane::yaffs2;
using namespace korvane::test;
namespace fs = std::filesystem;

namespace {

constexpr size_t kSeedLimit = 64u << 10;
// Every object of a seed gets this time, the fake clock of mke2fs too, so that
// regenerated seeds hardly differ from the committed ones.
constexpr int64_t kSeedTime = 1000000000;

void put(const fs::path& dir, const std::string& name, Bytes bytes, size_t limit = kSeedLimit) {
    if (bytes.size() >= limit)
        throw std::runtime_error(name + " is " + std::to_string(bytes.size()) +
                                 " bytes, not under " + std::to_string(limit >> 10) + " KiB");
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

// The same few objects in a layout: a folder, a file one chunk and a bit long,
// a symbolic and a hard link; with 16 KiB pages only the file, so that the
// seed stays small.
Bytes yaffs2InLayout(const Layout& layout) {
    Yaffs2Builder b(layout);
    b.root();
    if (layout.recordSize() * 7 >= kSeedLimit) {
        b.file(257, 1, "f", pattern(100, 1));
        return b.bytes();
    }
    b.dir(257, 1, "d");
    b.file(258, 257, "f", pattern(layout.chunkDataSize() + 100, 2));
    b.symlink(259, 1, "l", "d/f");
    b.hardlink(260, 257, "h", 258);
    return b.bytes();
}

// A dump of a used partition in blocks of four pages: sequence numbers per
// block, a bad block holding newer stale chunks, an erased block, and a last
// block cut short.
Bytes yaffs2BadBlocks() {
    const Layout l = commonLayouts()[1].layout; // FF FF marker, YAFFS data ECC
    Yaffs2Builder b(l);
    b.sequence = 0x1001;
    b.root();
    b.file(258, 1, "f", pattern(3000, 1));
    b.sequence = 0x1002;
    b.header(258, Yaffs2Builder::make(kHdrFile, 1, "stale", 0100644));
    b.data(258, 1, pattern(2048, 9));
    b.markBad(4);
    b.erased(2);
    b.erased(4);
    b.sequence = 0x1003;
    b.file(259, 1, "g", pattern(5000, 2));
    b.sequence = 0x1004;
    b.file(260, 1, "h", pattern(5000, 3));
    b.bytes().resize(19 * l.recordSize() + 1000);
    return b.bytes();
}

// A small tree in a new image, with files whose bytes are in the working file;
// withBlocks adds a file of 14 blocks of 1 KiB, past the direct blocks.
std::unique_ptr<Timg> memoryTree(bool withBlocks = true) {
    std::unique_ptr<Timg> img = newimage();
    Node* root = img->root();
    root->entry.atime = root->entry.mtime = root->entry.ctime = kSeedTime;
    Node* etc = addNode(*img, root, "etc", kTypeDirectory, 0755);
    Node* hosts = addFile(*img, etc, "hosts", bytesOf("127.0.0.1 localhost\n"));
    addFile(*img, root, "init.rc", pattern(2000, 6), 0750);
    if (withBlocks)
        addFile(*img, etc, "blocks", pattern(13 * 1024 + 5, 7));
    hosts->entry.xattrs = {{"security.selinux", std::string("u:object_r:system_file:s0\0", 26)},
                           {"user.comment", "hosts"}};
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

Bytes saved(std::string kind, const SaveParams& params = {}, const ExtSaveParams& ext = {},
            bool withBlocks = true) {
    std::unique_ptr<Timg> img = memoryTree(withBlocks);
    TempDir tmp;
    saveas(*img, tmp / "out.img", kind, params, ext);
    return readFile(tmp / "out.img");
}

// Gives everything below dir the seed time.
void settle(const fs::path& dir) {
    run("find " + shellQuote(dir.string()) + " -exec touch -h -d @" + std::to_string(kSeedTime) +
        " {} +");
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
    settle(dir);
}

Bytes made(const std::string& command, const std::string& image, size_t blockSize) {
    CommandResult r = run(command);
    if (r.status != 0)
        throw std::runtime_error(command + " failed: " + r.err);
    return trimmed(readFile(image), blockSize);
}

const std::string kFakeTime = "E2FSPROGS_FAKE_TIME=" + std::to_string(kSeedTime) + " ";

// mke2fs -d src; then, when given, edit(image) changes what -d cannot make.
Bytes mke2fs(const fs::path& src, size_t blockSize, const std::string& options, unsigned kib,
             const std::function<void(const std::string&)>& edit = {}) {
    TempDir tmp;
    const std::string image = tmp / "ext.img";
    const std::string command = kFakeTime + "mke2fs -q -F -N 32 -m 0 -U clear -E hash_seed=" +
                                "6b6f7276-616e-6500-0000-000000000001 -b " +
                                std::to_string(blockSize) + " " + options + " -d " +
                                shellQuote(src.string()) + " " + shellQuote(image) + " " +
                                std::to_string(kib) + "k";
    if (!edit)
        return made(command, image, blockSize);
    made(command, image, blockSize);
    edit(image);
    return trimmed(readFile(image), blockSize);
}

// Runs debugfs's commands (one a line) on image, writing to it.
void debugfs(const std::string& image, const std::string& commands) {
    TempDir tmp;
    writeFile(tmp / "commands", commands);
    CommandResult r =
        run(kFakeTime + "debugfs -w -f " + shellQuote(tmp / "commands") + " " + shellQuote(image));
    // debugfs goes on after a failed command, naming it on standard error.
    if (r.status != 0 || r.err.find(": ") != std::string::npos)
        throw std::runtime_error("debugfs on " + image + " failed: " + r.err);
}

// The block that holds logical block n of path.
std::string bmap(const std::string& image, const std::string& path, unsigned n) {
    CommandResult r = run("debugfs -R " + shellQuote("bmap " + path + " " + std::to_string(n)) +
                          " " + shellQuote(image));
    const std::string block = r.out.substr(0, r.out.find('\n'));
    if (r.status != 0 || block.empty() || block == "0")
        throw std::runtime_error("debugfs bmap " + path + " failed: " + r.err);
    return block;
}

// Sets an extended attribute on path; security.* needs privilege, so a seed
// made without it has fewer of them.
void setXattr(const fs::path& path, const std::string& name, const std::string& value) {
    if (run("setfattr -h -n " + name + " -v " + shellQuote(value) + " " +
            shellQuote(path.string()) + " 2>/dev/null")
            .status != 0)
        std::fprintf(stderr, "note: %s not set on %s\n", name.c_str(), path.c_str());
}

// What ext4 images of phones hold: small files with SELinux labels, file
// capabilities, an ACL, a value too big for the inode, fast and slow links.
void makeExt4Source(const fs::path& dir) {
    fs::create_directories(dir / "d");
    writeFile((dir / "a.txt").string(), "hello\n");
    writeFile((dir / "d/small").string(), pattern(3000, 21));
    writeFile((dir / "d/tiny").string(), pattern(10, 22));
    fs::create_symlink("a.txt", dir / "l");
    fs::create_symlink(std::string(100, 'y'), dir / "d/long");
    fs::create_hard_link(dir / "a.txt", dir / "d/hard");
    setXattr(dir / "a.txt", "security.selinux", "u:object_r:system_file:s0");
    setXattr(dir / "a.txt", "user.big", std::string(600, 'b'));
    setXattr(dir / "d/small", "security.capability", "0x0100000200200000000000000000000000000000");
    setXattr(dir / "d/tiny", "trusted.t", "1");
    setXattr(dir / "l", "security.selinux", "u:object_r:link_file:s0");
    if (run("setfacl -m u:1000:rw,g:1000:r " + shellQuote((dir / "d/small").string())).status != 0)
        std::fprintf(stderr, "note: no ACL on d/small\n");
    settle(dir);
}

// A journal left needing recovery: a transaction rewriting two blocks of
// d/small (the first starting with the journal's magic, so it is escaped),
// then one revoking the second. open: debugfs's journal_open options.
std::function<void(const std::string&)> dirtyJournal(const std::string& open) {
    return [open](const std::string& image) {
        TempDir tmp;
        Bytes blocks = pattern(2048, 23);
        const std::byte magic[4] = {std::byte{0xC0}, std::byte{0x3B}, std::byte{0x39},
                                    std::byte{0x98}};
        std::copy(magic, magic + 4, blocks.begin());
        writeFile(tmp / "blocks", blocks);
        const std::string first = bmap(image, "/d/small", 0), second = bmap(image, "/d/small", 2);
        debugfs(image, "jo " + open + "\njw -b " + first + "," + second + " " + (tmp / "blocks") +
                           "\njc\njo " + open + "\njw -r " + second + "\njc\n");
    };
}

// Extent trees that mke2fs -d does not make: a tree of depth 2 (600
// one-block extents over three shared blocks, as e2fsdroid shares them) and
// unwritten extents, which read as zeros.
void deepExtents(const std::string& image) {
    const uint64_t shared = std::stoull(bmap(image, "/d/small", 0));
    std::string commands = "write /dev/null deep\neo deep\n";
    for (unsigned i = 0; i < 600; ++i)
        commands +=
            "set_bmap " + std::to_string(2 * i) + " " + std::to_string(shared + i % 3) + "\n";
    commands += "ec\nsif deep size 1230000\nwrite /dev/null unwritten\n"
                "fallocate unwritten 0 7\nsif unwritten size 8000\nfeature shared_blocks\n";
    debugfs(image, commands);
}

void ext4Seeds(const fs::path& dir) {
    TempDir src;
    const fs::path tree = src / "tree";
    makeExt4Source(tree);
    // The journal sits behind the files, so that its first transactions stay
    // in the seed.
    const std::string ext4 = "-t ext4 -I 256 -N 24 -O ^resize_inode ";
    const std::string journal = " -J size=1,location=48";
    put(dir, "journal-csum-v3", mke2fs(tree, 1024, ext4 + journal, 3072, dirtyJournal("-c")));
    put(dir, "journal-csum-v2-32bit",
        mke2fs(tree, 1024, ext4 + "-O ^64bit" + journal, 3072, dirtyJournal("-c -v 2")));
    // ext3: the journal added after the files (mke2fs would put them behind
    // it), so that they stay in the seed; its indirect blocks lie all over it,
    // and the seed ends before the last ones.
    Bytes ext3 = mke2fs(tree, 1024, "-t ext3 -I 256 -N 24 -O ^resize_inode,^has_journal", 3072,
                        [](const std::string& image) {
                            made("tune2fs -J size=1 " + shellQuote(image), image, 1024);
                            dirtyJournal("")(image);
                        });
    ext3.resize(std::min<size_t>(ext3.size(), kSeedLimit - 1024));
    put(dir, "journal-ext3", ext3);
    // 4 KiB blocks with meta_bg: a few objects, as every block is a page.
    const fs::path four = src / "four";
    fs::create_directories(four);
    writeFile((four / "small").string(), pattern(5000, 29));
    fs::create_symlink("small", four / "l");
    setXattr(four / "small", "security.selinux", "u:object_r:vendor_file:s0");
    settle(four);
    put(dir, "4k-meta-bg",
        mke2fs(four, 4096, ext4 + "-O meta_bg,^flex_bg,^has_journal,^resize_inode", 1024));

    // Small files and folders in their inodes: in the block area, and past it
    // in the system.data attribute.
    const fs::path inl = src / "inline";
    fs::create_directories(inl / "sub");
    writeFile((inl / "ten").string(), pattern(10, 24));
    writeFile((inl / "hundred").string(), pattern(100, 25));
    writeFile((inl / "sub/too-big").string(), pattern(300, 26));
    writeFile((inl / "sub/empty").string(), "");
    fs::create_symlink(std::string(80, 'z'), inl / "sub/link");
    setXattr(inl / "ten", "user.x", "y");
    settle(inl);
    put(dir, "inline-data", mke2fs(inl, 1024, ext4 + "-O inline_data,^has_journal", 256));

    // A file of 20 extents (depth 1) beside the trees deepExtents makes.
    const fs::path ext = src / "extents";
    fs::create_directories(ext / "d");
    writeFile((ext / "d/small").string(), pattern(3000, 27));
    {
        std::ofstream pieces(ext / "pieces", std::ios::binary);
        const Bytes kib = pattern(1024, 28);
        for (unsigned i = 0; i < 20; ++i) {
            pieces.seekp(static_cast<std::streamoff>(i) * 3072);
            pieces.write(reinterpret_cast<const char*>(kib.data()), 1024);
        }
    }
    settle(ext);
    put(dir, "extents", mke2fs(ext, 1024, ext4 + "-O ^has_journal", 3072, deepExtents));

    // A folder indexed by name hashes (e2fsck -D indexes what -d wrote).
    const fs::path names = src / "names";
    fs::create_directories(names / "many");
    for (int i = 0; i < 40; ++i)
        writeFile((names / "many" / (std::string(36, 'n') + std::to_string(1000 + i))).string(),
                  "");
    settle(names);
    put(dir, "htree",
        mke2fs(names, 1024, "-t ext4 -I 128 -N 64 -O ^resize_inode,^has_journal", 256,
               [](const std::string& image) {
                   run("e2fsck -fyD " + shellQuote(image) + " >/dev/null 2>&1");
               }));

    // Korvane's writer: journal, extents and checksums, in few inodes.
    ExtSaveParams small;
    small.blockSize = 1024;
    small.inodeSize = 256;
    small.inodes = 24;
    put(dir, "written-ext4", trimmed(saved("ext4", {}, small, false), 1024));
}

// img2simg's Android sparse image of an EXT image of kib KiB (given trimmed).
Bytes img2simg(Bytes image, unsigned kib, unsigned blockSize) {
    TempDir tmp;
    image.resize(size_t{kib} << 10);
    writeFile(tmp / "raw.img", image);
    const std::string out = tmp / "sparse.img";
    CommandResult r = run("img2simg " + shellQuote(tmp / "raw.img") + " " + shellQuote(out) + " " +
                          std::to_string(blockSize));
    if (r.status != 0)
        throw std::runtime_error("img2simg failed: " + r.err);
    return readFile(out);
}

// The sparse image with a CRC32 chunk after every chunk, each the checksum of
// the expanded bytes up to it.
Bytes withCrcChunks(const Bytes& in) {
    using namespace sparse;
    const uint32_t blockSize = load32(in.data() + fh::kBlockSize);
    Bytes out(in.begin(), in.begin() + kFileHeaderSize);
    uint32_t crc = 0, chunks = 0;
    for (size_t pos = kFileHeaderSize; pos + kChunkHeaderSize <= in.size();) {
        const std::byte* h = in.data() + pos;
        const uint16_t type = load16(h + ch::kType);
        const uint64_t bytes = uint64_t{load32(h + ch::kBlocks)} * blockSize;
        const uint32_t total = load32(h + ch::kTotalSize);
        if (type == kChunkRaw) {
            crc = crc32(crc, ByteSpan(h + kChunkHeaderSize, bytes));
        } else {
            Bytes block(blockSize);
            for (size_t i = 0; type == kChunkFill && i < blockSize; i += 4)
                std::copy(h + kChunkHeaderSize, h + kChunkHeaderSize + 4, block.begin() + i);
            for (uint64_t done = 0; done < bytes; done += blockSize)
                crc = crc32(crc, block);
        }
        out.insert(out.end(), h, h + total);
        std::byte c[kChunkHeaderSize + 4];
        store16(c + ch::kType, kChunkCrc32);
        store16(c + ch::kReserved, 0);
        store32(c + ch::kBlocks, 0);
        store32(c + ch::kTotalSize, sizeof c);
        store32(c + kChunkHeaderSize, crc);
        out.insert(out.end(), c, c + sizeof c);
        chunks += 2;
        pos += total;
    }
    store32(out.data() + fh::kTotalChunks, chunks);
    return out;
}

void sparseSeeds(const fs::path& dir) {
    TempDir src;
    makeSource(src / "small", true);
    makeExt4Source(src / "tree");
    const std::string ext4 = "-t ext4 -I 256 -N 24 -O ^resize_inode ";
    put(dir, "ext2", img2simg(mke2fs(src / "small", 1024, "-t ext2 -I 128", 1024), 1024, 4096));
    // The journal's replay reads through the sparse image's chunk map.
    put(dir, "ext4-dirty-journal",
        img2simg(
            mke2fs(src / "tree", 1024, ext4 + "-J size=1,location=48", 3072, dirtyJournal("-c")),
            3072, 1024));
    const Bytes crc = withCrcChunks(
        img2simg(mke2fs(src / "tree", 1024, ext4 + "-O ^has_journal", 1024), 1024, 4096));
    put(dir, "ext4-crc", crc);
    // A bit flipped in a file's block of the first raw chunk, and the file
    // cut short.
    Bytes damaged = crc;
    damaged[sparse::kFileHeaderSize + sparse::kChunkHeaderSize + 6 * 4096 + 500] ^= std::byte{0x10};
    damaged.resize(damaged.size() - 3000);
    put(dir, "damaged", damaged);

    ExtSaveParams sparse;
    sparse.blockSize = 1024;
    sparse.inodes = 24;
    sparse.sparse = true;
    put(dir, "written-ext4", saved("ext4", {}, sparse, false));
}

// Archives of a folder with every kind of member tar keeps: a long name, a
// sparse file, links, a FIFO, extended attributes and, as root, a device.
void tarSeeds(const fs::path& dir) {
    TempDir tmp;
    const fs::path src = tmp / "src";
    fs::create_directories(src / "d" / std::string(90, 'n'));
    writeFile((src / "a.txt").string(), "hello\n");
    writeFile((src / "d" / std::string(90, 'n') / "deep-file").string(), pattern(700, 31));
    {
        std::ofstream sparse(src / "sparse", std::ios::binary);
        for (uint64_t at : {uint64_t{0}, uint64_t{20000}, uint64_t{200000}}) {
            sparse.seekp(static_cast<std::streamoff>(at));
            sparse.write("data", 4);
        }
    }
    fs::resize_file(src / "sparse", 300000);
    fs::create_symlink("a.txt", src / "l");
    fs::create_hard_link(src / "a.txt", src / "d/hard");
    run("mkfifo " + shellQuote((src / "fifo").string()));
    run("mknod " + shellQuote((src / "null").string()) + " c 1 3 2>/dev/null");
    setXattr(src / "a.txt", "user.comment", "archived");
    setXattr(src / "a.txt", "security.selinux", "u:object_r:system_file:s0");
    settle(src);

    const std::string tar = "tar -C " + shellQuote(src.string()) +
                            " --sort=name --owner=0 --group=0 --numeric-owner --mtime=@" +
                            std::to_string(kSeedTime) + " ";
    auto archive = [&](const std::string& name, const std::string& command) {
        const std::string out = tmp / name;
        CommandResult r = run(command + " > " + shellQuote(out));
        if (r.status != 0)
            throw std::runtime_error(command + " failed: " + r.err);
        put(dir, name, readFile(out));
    };
    archive("gnu.tar", tar + "--format=gnu -S -cf - .");
    archive("pax.tar", tar + "--format=pax --pax-option=delete=atime,delete=ctime,exthdr.name=" +
                           "%d/PaxHeaders/%f --xattrs --xattrs-include='*' -S -cf - .");
    archive("ustar.tar.gz", tar + "--format=ustar -cf - a.txt l d fifo | gzip -n");
    archive("oldgnu.tar.xz", tar + "--format=oldgnu -S -cf - . | xz");
    archive("v7.tar.zst", tar + "--format=v7 -cf - a.txt d | zstd -q");
    archive("newc.cpio", "cd " + shellQuote(src.string()) +
                             " && find . ! -name sparse | LC_ALL=C sort | cpio -o -H newc --quiet");

    std::unique_ptr<Timg> img = memoryTree();
    const std::string out = tmp / "korvane.tar";
    tarout(*img, {img->root()->entry.objId}, out);
    put(dir, "korvane.tar", readFile(out));
}

void yaffs2Seeds(const fs::path& dir) {
    put(dir, "plain", yaffs2Plain());
    put(dir, "used-partition", yaffs2Used());
    put(dir, "yaffs-ecc", yaffs2Ecc());
    put(dir, "hostile", yaffs2Hostile());
    put(dir, "deep", yaffs2Deep());
    put(dir, "written", saved("yaffs2"));
    SaveParams marked;
    marked.layout = plainLayout(kDefaultLayout, true, kEccNand);
    put(dir, "written-marked", saved("yaffs2", marked));
    // Every common layout but the default one the seeds above use.
    for (const NamedLayout& named : commonLayouts().subspan(1)) {
        std::string name = "layout-";
        for (const char c : std::string_view(named.name)) {
            const bool keep = std::isalnum(static_cast<unsigned char>(c)) || c == '+';
            if (keep)
                name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            else if (name.back() != '-')
                name += '-';
        }
        put(dir, name, yaffs2InLayout(named.layout));
    }
    put(dir, "bad-blocks", yaffs2BadBlocks());
}

void extSeeds(const fs::path& dir) {
    put(dir, "written-ext2", trimmed(saved("ext2"), 1024));
    // The journal lies past 64 KiB: the seed is cut short before it, which
    // the reader reads around.
    Bytes ext3 = trimmed(saved("ext3"), 1024);
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

// EROFS images from mkfs.erofs in the forms it makes (plain, LZ4 and LZ4HC
// with full and compact indexes, big clusters, tail packing, chunks) and
// from Korvane's writer, plain and compressed.
void erofsSeeds(const fs::path& dir) {
    TempDir tmpSrc;
    const fs::path tree = tmpSrc.path() / "tree";
    makeSource(tree, true);
    fs::remove(tree / "sparse");
    writeFile((tree / "d/text").string(), std::string(9000, 'k') + "tail");
    settle(tree);
    auto mkfs = [&](const std::string& name, const std::string& options) {
        TempDir tmp;
        const std::string image = tmp / "erofs.img";
        put(dir, name,
            made("mkfs.erofs --quiet -T " + std::to_string(kSeedTime) +
                     " -U 6b6f7276-616e-6500-0000-000000000002 " + options + " " +
                     shellQuote(image) + " " + shellQuote(tree.string()),
                 image, 4096));
    };
    mkfs("plain", "");
    mkfs("lz4hc", "-zlz4hc,9");
    mkfs("lz4-legacy-index", "-zlz4 -Elegacy-compress");
    mkfs("lz4-big-cluster", "-zlz4hc -C16384");
    mkfs("ztailpacking", "-zlz4hc -Eztailpacking");
    mkfs("chunks", "--chunksize=4096 -Eforce-chunk-indexes");
    mkfs("extended-inodes", "-Eforce-inode-extended -Enoinline_data");
    FormatOptions lz4{{"compress", "lz4hc"}, {"timestamp", std::to_string(kSeedTime)}};
    for (const auto& [name, options] :
         {std::pair{"written", FormatOptions{{"timestamp", std::to_string(kSeedTime)}}},
          std::pair{"written-lz4hc", lz4}}) {
        std::unique_ptr<Timg> img = memoryTree();
        TempDir tmp;
        SaveRequest req;
        req.path = tmp / "out.img";
        req.type = "erofs";
        req.options = options;
        korvane::saveas(*img, req);
        put(dir, name, readFile(req.path));
    }
}

// Super images from the builder: two slots with a partition of two extents
// and a zero tail, an empty one, a 10.2 header; one with its primary
// metadata damaged so that the backup is read.
void superSeeds(const fs::path& dir) {
    TempDir tmp;
    SuperFixture s;
    s.metadataMaxSize = 1024;
    s.alignment = 4096;
    s.deviceSize = 48u << 10;
    s.groups = {{"default", 0}, {"main", 32768}};
    s.parts.push_back({"system_a", 1, 1, pattern(12288, 1), 2, 4096});
    s.parts.push_back({"system_b", 1, 1, {}, 1, 0});
    s.parts.push_back({"vendor_a", 1, 0, pattern(4096, 2), 1, 0});
    const std::string path = tmp / "super.img";
    writeSuperFixture(s, path);
    put(dir, "two-slots", readFile(path));
    s.minor = 2;
    s.headerFlags = 1;
    s.slots = 3;
    writeSuperFixture(s, path);
    Bytes v12 = readFile(path);
    put(dir, "virtual-ab", v12);
    v12[kSuperSlot0 + 20] ^= std::byte{1};
    put(dir, "primary-damaged", v12);
}

// Boot images from mkbootimg (versions 0, 2, 3 and vendor_boot 3) with a
// small gzip'ed ramdisk.
void bootimgSeeds(const fs::path& dir) {
    TempDir tmp;
    writeFile(tmp / "kernel", pattern(3000, 1));
    writeFile(tmp / "dtb", pattern(500, 2));
    fs::create_directories(tmp / "rd/etc");
    writeFile(tmp / "rd/etc/init.rc", "on boot\n");
    run("cd " + shellQuote(tmp / "rd") + " && find . | cpio -o -H newc 2>/dev/null | gzip -n > " +
        shellQuote(tmp / "ramdisk"));
    const std::string common = " --kernel " + shellQuote(tmp / "kernel") + " --ramdisk " +
                               shellQuote(tmp / "ramdisk") +
                               " --cmdline 'console=ttyS0' --os_version 12.0.0 "
                               "--os_patch_level 2023-01";
    for (const char* v : {"0", "2", "3"}) {
        std::string extra = std::string(v) == "2" ? " --dtb " + shellQuote(tmp / "dtb") : "";
        if (std::string(v) != "3")
            extra += " --pagesize 2048";
        run("mkbootimg" + common + extra + " --header_version " + v + " -o " +
            shellQuote(tmp / "boot.img"));
        put(dir, std::string("boot-v") + v, readFile(tmp / "boot.img"));
    }
    run("mkbootimg --header_version 3 --vendor_boot " + shellQuote(tmp / "vendor.img") +
        " --vendor_ramdisk " + shellQuote(tmp / "ramdisk") + " --dtb " + shellQuote(tmp / "dtb") +
        " --pagesize 2048");
    put(dir, "vendor-boot-v3", readFile(tmp / "vendor.img"));
}

// Ramdisks from GNU cpio: newc plain, gzip, LZ4 legacy and frame; odc.
void cpioSeeds(const fs::path& dir) {
    TempDir tmp;
    const fs::path src = tmp / "src";
    fs::create_directories(src / "system/bin");
    writeFile(src / "init", pattern(2000, 3));
    writeFile(src / "system/bin/sh", pattern(700, 4));
    ::link((src / "system/bin/sh").c_str(), (src / "system/bin/toybox").c_str());
    ::symlink("/system/bin/sh", (src / "sh").c_str());
    ::mkfifo((src / "fifo").c_str(), 0600);
    const struct {
        const char* name;
        const char* format;
        const char* filter;
    } kinds[] = {{"newc", "newc", "cat"},
                 {"newc-gzip", "newc", "gzip -n"},
                 {"newc-lz4-legacy", "newc", "lz4 -l -q"},
                 {"newc-lz4", "newc", "lz4 -q"},
                 {"odc", "odc", "cat"}};
    for (const auto& k : kinds) {
        run("cd " + shellQuote(src) + " && find . | LC_ALL=C sort | cpio -o -H " + k.format +
            " 2>/dev/null | " + k.filter + " > " + shellQuote(tmp / "out"));
        put(dir, k.name, readFile(tmp / "out"));
    }
}

// UBI, UBIFS and NAND dump seeds: the smallest geometries the tools make
// (16 KiB PEBs, 15 KiB LEBs, the least a UBIFS volume needs, about ten LEBs)
// do not fit 64 KiB.
constexpr size_t kFlashSeedLimit = 192u << 10;

// Drops the erased tail of a UBIFS image: LEBs past the end read as erased.
Bytes withoutErasedTail(Bytes bytes) {
    size_t n = bytes.size();
    while (n > 0 && bytes[n - 1] == std::byte{0xFF})
        --n;
    bytes.resize((n + 7) / 8 * 8);
    return bytes;
}

void flashSource(const fs::path& src) {
    fs::create_directories(src / "d");
    writeFile((src / "a.txt").string(), "hello\n");
    writeFile((src / "d/r.bin").string(), pattern(9000, 21));
    fs::create_symlink("a.txt", src / "l");
    fs::create_hard_link(src / "a.txt", src / "d/hard");
    run("mkfifo " + shellQuote((src / "fifo").string()));
    run("mknod " + shellQuote((src / "null").string()) + " c 1 3 2>/dev/null");
    settle(src);
}

UbifsParams smallUbifs(const std::string& compr) {
    UbifsParams p;
    p.compr = compr;
    p.minIo = 512;
    p.lebSize = 15360;
    p.maxLebs = 20;
    p.logLebs = 2;
    return p;
}

void ubiSeeds(const fs::path& dir) {
    TempDir tmp;
    writeFile(tmp / "kernel", pattern(10000, 22));
    writeFile(tmp / "data", pattern(2000, 23));
    UbinizeParams p;
    p.pebSize = 16 * 1024;
    p.minIo = 512;
    const std::vector<UbiVolume> volumes = {{"data", tmp / "data", 0, true, "64KiB", true},
                                            {"kernel", tmp / "kernel", 1, false, "", false}};
    const Bytes two = ubinize(volumes, tmp / "two.ubi", p);
    put(dir, "two-volumes", two, kFlashSeedLimit);
    // A wear-levelling copy of the kernel's LEB with a newer sequence number.
    Bytes copies = two;
    const size_t last = two.size() - p.pebSize;
    copies.insert(copies.end(), two.begin() + static_cast<ptrdiff_t>(last), two.end());
    changeVid(copies, p.pebSize, copies.size() / p.pebSize - 1, [](ubi::VidHeader& h) {
        h.sqnum += 10;
        h.copyFlag = true;
    });
    put(dir, "copies", copies, kFlashSeedLimit);
    p.minIo = 1;
    p.subPage = 0;
    put(dir, "nor", ubinize({volumes[0]}, tmp / "nor.ubi", p), kFlashSeedLimit);
}

void ubifsSeeds(const fs::path& dir) {
    TempDir tmp;
    flashSource(tmp / "src");
    const Bytes lzo = makeUbifs(tmp / "src", tmp / "lzo.ubifs", smallUbifs("lzo"));
    put(dir, "lzo", withoutErasedTail(lzo), kFlashSeedLimit);
    writeFile(tmp / "contexts", "/.*  u:object_r:system_file:s0\n");
    UbifsParams zstd = smallUbifs("zstd");
    zstd.selinux = tmp / "contexts";
    put(dir, "zstd-selinux", withoutErasedTail(makeUbifs(tmp / "src", tmp / "z.ubifs", zstd)),
        kFlashSeedLimit);
    // A journal after the last commit: a new file, a removed entry, a
    // truncation.
    UbifsJournal j(lzo);
    const uint32_t fresh = j.highestInum() + 1;
    j.data(fresh, 0, asBytes("new"));
    j.inode(fresh, 0100644, 3, 1, kSeedTime);
    j.dent(1, "new.txt", fresh, 0);
    j.dent(1, "fifo", 0, 5);
    j.truncate(fresh, 3, 1);
    put(dir, "journal", withoutErasedTail(j.finish()), kFlashSeedLimit);
}

void nandSeeds(const fs::path& dir) {
    TempDir tmp;
    writeFile(tmp / "data", pattern(3000, 24));
    UbinizeParams p;
    p.pebSize = 16 * 1024;
    p.minIo = 512;
    p.subPage = 0;
    const Bytes small = ubinize({{"data", tmp / "data", 0, true, "", false}}, tmp / "s.ubi", p);
    const nand::EccLayout split{nand::EccScheme::kNand256, 256, {0, 1, 2, 3, 6, 7}};
    Bytes flipped = nandDump(small, 512, 16, split, {}, 32);
    flipped[528 * 33 + 100] ^= std::byte{0x10};
    put(dir, "512+16-ecc", flipped, kFlashSeedLimit);
    p.pebSize = 32 * 1024;
    p.minIo = 2048;
    const Bytes large = ubinize({{"data", tmp / "data", 0, true, "", false}}, tmp / "l.ubi", p);
    nand::EccLayout tail{nand::EccScheme::kNand512, 512, {}};
    for (uint16_t i = 52; i < 64; ++i)
        tail.positions.push_back(i);
    put(dir, "2048+64-ecc512", nandDump(large, 2048, 64, tail, {2}, 16), kFlashSeedLimit);

    // JFFS2 and SquashFS written straight to the pages.
    flashSource(tmp / "src");
    writeFile(tmp / "src/d/more.bin", pattern(30000, 25));
    settle(tmp / "src");
    const std::string jffs2 = tmp / "j.img";
    const std::string squashfs = tmp / "s.img";
    if (run("mkfs.jffs2 -n -e 16KiB -r " + shellQuote(tmp / "src") + " -o " + shellQuote(jffs2))
                .status != 0 ||
        run("mksquashfs " + shellQuote(tmp / "src") + " " + shellQuote(squashfs) +
            " -noappend -quiet -no-progress -mkfs-time 0 -all-time 0")
                .status != 0)
        throw std::runtime_error("mkfs.jffs2 or mksquashfs failed");
    put(dir, "512+16-jffs2", nandDump(readFile(jffs2), 512, 16, split, {}, 32), kFlashSeedLimit);
    put(dir, "2048+64-squashfs", nandDump(readFile(squashfs), 2048, 64, tail), kFlashSeedLimit);
}

// A used JFFS2 partition, node by node: data rewritten over older versions,
// a file cut short, a hole node, a name removed and one moved, a node
// obsoleted in place and one whose data is damaged, attributes.
Bytes jffs2Used() {
    using namespace jffs2;
    Jffs2Builder b;
    b.cleanmarker();
    b.dirent(1, 1, 2, "etc", kDtDir);
    b.dir(2, 3, 040755, kSeedTime);
    b.dirent(2, 1, 3, "init.rc");
    b.data(3, 1, 0, pattern(4096, 41), 6000, 0100644, kSeedTime);
    b.data(3, 2, 4096, pattern(1904, 42), 6000, 0100644, kSeedTime);
    b.data(3, 3, 100, bytesOf("rewritten"), 6000, 0100644, kSeedTime);
    b.data(3, 4, 0, {}, 5000, 0100644, kSeedTime);
    b.data(3, 5, 0, bytesOf("obsolete"), 5000, 0100644, kSeedTime);
    b.obsoleteLast();
    b.data(3, 6, 0, bytesOf("damaged"), 5000, 0100644, kSeedTime);
    b.damageLast(inode::kSize + 1);
    b.dirent(1, 2, 4, "sparse");
    b.data(4, 1, 0, pattern(8192, 43), 20000, 0100644, kSeedTime);
    InodeNode hole;
    hole.ino = 4;
    hole.version = 2;
    hole.mode = 0100644;
    hole.isize = 20000;
    hole.offset = 2048;
    hole.dsize = 16000;
    hole.compr = kComprZero;
    b.inode(hole);
    b.dirent(1, 3, 5, "old");
    b.data(5, 1, 0, bytesOf("moved"), 5, 0100644, kSeedTime);
    b.dirent(2, 2, 5, "new");
    b.dirent(1, 4, 0, "old");
    b.xattr(1, 1, kXPrefixSecurity, "selinux", "u:object_r:system_file:s0");
    b.xattr(1, 2, kXPrefixSecurity, "selinux", "u:object_r:init_exec:s0");
    b.xref(3, 1, 2);
    b.xattr(2, 1, kXPrefixUser, "gone", "x");
    b.xref(3, 2, 4);
    b.xref(3, 2, 5);
    b.erased(4096);
    return b.bytes();
}

// JFFS2 images of a small folder from mkfs.jffs2 in several layouts (one
// summarised by sumtool), a used partition, and the writer's.
void jffs2Seeds(const fs::path& dir) {
    TempDir tmp;
    const fs::path src = tmp / "src";
    fs::create_directories(src / "etc/init");
    writeFile((src / "etc/hosts").string(), "127.0.0.1 localhost\n");
    std::string text;
    while (text.size() < 9000)
        text += "service adbd /system/bin/adbd\n    class core\n";
    writeFile((src / "etc/init/init.rc").string(), text);
    writeFile((src / "random.bin").string(), pattern(5000, 44));
    fs::create_symlink("etc/hosts", src / "hosts");
    fs::create_hard_link(src / "etc/hosts", src / "etc/hosts2");
    run("mkfifo " + shellQuote((src / "fifo").string()));
    run("mknod " + shellQuote((src / "null").string()) + " c 1 3 2>/dev/null");
    setXattr(src / "etc/hosts", "user.comment", "seed");
    setXattr(src / "etc", "security.selinux", "u:object_r:system_file:s0");
    settle(src);
    auto mkfs = [&](const std::string& name, const std::string& options) {
        const std::string out = tmp / name;
        const CommandResult r = run("mkfs.jffs2 -r " + shellQuote(src.string()) + " -o " +
                                    shellQuote(out) + " " + options);
        if (r.status != 0)
            throw std::runtime_error("mkfs.jffs2 " + options + " failed: " + r.err);
        return out;
    };
    put(dir, "mkfs-default", readFile(mkfs("default", "")));
    put(dir, "mkfs-big-endian-no-cleanmarkers", readFile(mkfs("be", "-b -n -e 8192")));
    put(dir, "mkfs-rtime", readFile(mkfs("rtime", "-x zlib")));
    put(dir, "mkfs-lzo", readFile(mkfs("lzo", "-X lzo -x zlib -x rtime")));
    put(dir, "mkfs-xattr", readFile(mkfs("xattr", "--with-xattr -e 8192")));
    const std::string plain = mkfs("8k", "-e 8192");
    if (run("sumtool -i " + shellQuote(plain) + " -o " + shellQuote(plain + ".sum") + " -e 8192")
            .status != 0)
        throw std::runtime_error("sumtool failed");
    put(dir, "sumtool-8k", readFile(plain + ".sum"));
    put(dir, "used-partition", jffs2Used());
    put(dir, "written", saved("jffs2"));
}

// YAFFS1: a partition in use (a header and a chunk rewritten with the next
// serial number, a deleted page, a block marked bad, a flipped bit in tags
// and in data, a rename that shadows an object), objects that hold each
// other, and the writer's image.
void yaffs1Seeds(const fs::path& dir) {
    using yaffs2::kHdrDirectory;
    using yaffs2::kHdrFile;
    Yaffs1Builder used;
    used.header(1, Yaffs1Builder::make(kHdrDirectory, 1, "", 040755));
    used.header(257, Yaffs1Builder::make(kHdrDirectory, 1, "etc", 040755));
    used.header(258, Yaffs1Builder::make(kHdrFile, 257, "init.rc", 0100644));
    used.file(258, pattern(1400, 51));
    used.header(258, Yaffs1Builder::make(kHdrFile, 257, "init.rc", 0100600), 1);
    used.page({258, 2, 1, 512}, pattern(512, 52));
    used.page({258, 3, 1, 100, true}, pattern(100, 53));
    used.header(259, Yaffs1Builder::make(kHdrFile, 1, "old", 0100644));
    used.header(260, Yaffs1Builder::make(kHdrFile, 1, "new", 0100644), 0, 259);
    yaffs2::ObjectHeader link = Yaffs1Builder::make(yaffs2::kHdrHardlink, 257, "hard", 0100644);
    link.equivId = 258;
    used.header(261, link);
    used.erased(32 - used.pages() % 32);
    Yaffs1Page bad{262, 0, 0, 0x3FF};
    bad.blockStatus = std::byte{'Y'};
    used.page(bad, pattern(512, 54));
    used.erased(31);
    used.header(263, Yaffs1Builder::make(kHdrFile, 1, "flipped", 0100644));
    used.file(263, pattern(700, 55));
    used.flip(used.pages() - 3, 513, 2);
    used.flip(used.pages() - 1, 10, 5);
    put(dir, "used-partition", used.bytes());

    Yaffs1Builder hostile;
    hostile.header(1, Yaffs1Builder::make(kHdrDirectory, 1, "", 040755));
    hostile.header(257, Yaffs1Builder::make(kHdrDirectory, 258, "a", 040755));
    hostile.header(258, Yaffs1Builder::make(kHdrDirectory, 257, "b", 040755));
    hostile.header(259, Yaffs1Builder::make(kHdrFile, 1, "far", 0100644));
    hostile.page({259, 0xFFFFF, 3, 512}, pattern(512, 56));
    put(dir, "hostile", hostile.bytes());

    // YAFFS1 headers have no room for extended attributes.
    std::unique_ptr<Timg> img = memoryTree(false);
    forEachPreorder(img->root(), [](Node* n) { n->entry.xattrs.clear(); });
    TempDir tmp;
    saveas(*img, tmp / "out.img", "yaffs1", {});
    put(dir, "written", readFile(tmp / "out.img"));
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS-FOLDER [FORMAT...]\n", argv[0]);
        return 2;
    }
    try {
        const fs::path corpus = argv[1];
        const std::vector<std::string> only(argv + 2, argv + argc);
        const std::pair<const char*, void (*)(const fs::path&)> makers[] = {
            {"yaffs2", yaffs2Seeds}, {"ext", extSeeds},         {"ext4", ext4Seeds},
            {"sparse", sparseSeeds}, {"tar", tarSeeds},         {"erofs", erofsSeeds},
            {"super", superSeeds},   {"bootimg", bootimgSeeds}, {"cpio", cpioSeeds},
            {"ubi", ubiSeeds},       {"ubifs", ubifsSeeds},     {"nand", nandSeeds},
            {"jffs2", jffs2Seeds},   {"yaffs1", yaffs1Seeds}};
        for (const auto& [name, make] : makers)
            if (only.empty() || std::find(only.begin(), only.end(), name) != only.end())
                make(corpus / name);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "korvane-fuzz-seeds: %s\n", e.what());
        return 1;
    }
    return 0;
}
