#include "ext_testutil.h"

#include "model/crc.h"
#include "model/error.h"
#include "source/image_data.h"
#include "source/sparse/sparse_format.h"
#include "support/yaffs2_builder.h"
#include "transfer/loadimage.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace korvane::test {

namespace {

void check(bool ok, const std::string& what) {
    if (!ok)
        throw std::runtime_error(what + ": " + std::strerror(errno));
}

void writeAt(int fd, uint64_t offset, const Bytes& data) {
    ssize_t n = ::pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset));
    check(n == static_cast<ssize_t>(data.size()), "pwrite");
}

void file(const std::string& path, size_t size, uint32_t seed, mode_t mode = 0644) {
    writeFile(path, pattern(size, seed));
    check(::chmod(path.c_str(), mode) == 0, "chmod " + path);
}

// A file of size bytes holding only the given pieces; the rest are holes.
void sparseFile(const std::string& path, uint64_t size,
                const std::vector<std::pair<uint64_t, size_t>>& pieces) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    check(fd >= 0, "open " + path);
    uint32_t seed = 100;
    for (const auto& [at, n] : pieces)
        writeAt(fd, at, pattern(n, seed++));
    check(::ftruncate(fd, static_cast<off_t>(size)) == 0, "ftruncate");
    ::close(fd);
}

void symlinkTo(const std::string& target, const std::string& path) {
    check(::symlink(target.c_str(), path.c_str()) == 0, "symlink " + path);
}

void socketAt(const std::string& path) {
    int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    check(s >= 0, "socket");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        throw std::runtime_error("socket path too long: " + path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    check(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0, "bind " + path);
    ::close(s);
}

std::string repeat(const std::string& s, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i)
        out += s;
    return out;
}

} // namespace

bool runningAsRoot() {
    return ::geteuid() == 0;
}

void mustRun(const std::string& command) {
    CommandResult r = run(command);
    if (r.status != 0)
        throw std::runtime_error(command + " failed (" + std::to_string(r.status) + "):\n" + r.out +
                                 r.err);
}

void makeSourceTree(const std::string& dir) {
    const bool root = runningAsRoot();
    auto p = [&](const std::string& rel) { return dir + "/" + rel; };
    for (const char* d : {"docs", "blocks", "links", "hard", "other", "special", "perm",
                          "perm/sticky", "big_dir", "deep/a/b/c/d/e", "emptydir", "目录"})
        fs::create_directories(p(d));

    file(p("docs/readme.txt"), 100, 1);
    file(p("docs/empty"), 0, 2);
    file(p("docs/setuid"), 3000, 3, 04755);
    // Block-map boundaries: 12 direct blocks, then single-, double-indirect
    // for 1 KiB blocks (12 + 256) and for 4 KiB blocks (12 + 1024).
    uint32_t seed = 10;
    for (size_t blocks : {12u, 13u, 268u, 269u})
        file(p("blocks/k" + std::to_string(blocks)), blocks * 1024, seed++);
    file(p("blocks/k269odd"), 269 * 1024 - 7, seed++);
    for (size_t blocks : {12u, 13u, 1036u})
        file(p("blocks/q" + std::to_string(blocks)), blocks * 4096, seed++);
    file(p("blocks/q1037odd"), 1037 * 4096 + 5, seed++);
    // Past 64 MiB a file with 1 KiB blocks needs the triple-indirect block.
    sparseFile(p("blocks/sparse"), 70u << 20,
               {{0, 5000}, {(20u << 20) + 123, 3000}, {(70u << 20) - 1000, 1000}});
    sparseFile(p("blocks/sparse_head"), 100 * 1024 + 2000, {{100 * 1024, 2000}});
    sparseFile(p("blocks/all_hole"), 50000, {});

    symlinkTo("../docs/readme.txt", p("links/fast"));
    symlinkTo(repeat("a", 59), p("links/l59"));
    symlinkTo(repeat("b", 60), p("links/l60"));
    symlinkTo(repeat("c", 61), p("links/l61"));
    symlinkTo(repeat("dir/", 75), p("links/slow300"));
    symlinkTo(repeat("x/", 500), p("links/slow1000"));
    symlinkTo("nowhere", p("links/dangling"));

    file(p("hard/one"), 5000, 30);
    check(::link(p("hard/one").c_str(), p("hard/two").c_str()) == 0, "link");
    check(::link(p("hard/one").c_str(), p("other/three").c_str()) == 0, "link");
    check(::mkfifo(p("hard/fifo").c_str(), 0640) == 0, "mkfifo");
    check(::link(p("hard/fifo").c_str(), p("other/fifo2").c_str()) == 0, "link");

    const std::string longName = repeat("ü", 127) + "x"; // 255 bytes
    file(p(longName), 777, 31);
    file(p("目录/文件.txt"), 20, 32);
    fs::create_directory(p("目录/" + longName));

    check(::mkfifo(p("special/fifo").c_str(), 0600) == 0, "mkfifo");
    socketAt(p("special/sock"));
    if (root) {
        check(::mknod(p("special/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0, "mknod");
        check(::mknod(p("special/sda1").c_str(), S_IFBLK | 0660, makedev(8, 1)) == 0, "mknod");
        check(::mknod(p("special/bigdev").c_str(), S_IFCHR | 0600, makedev(300, 70000)) == 0,
              "mknod");
    }

    file(p("perm/private"), 10, 40, 0600);
    file(p("perm/none"), 10, 41, 0);
    check(::chmod(p("perm/sticky").c_str(), 01777) == 0, "chmod");
    for (int i = 0; i < 150; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "big_dir/entry_with_a_rather_long_name_%03d.dat", i);
        file(p(name), static_cast<size_t>(i), 200 + static_cast<uint32_t>(i));
    }
    file(p("deep/a/b/c/d/e/leaf"), 1, 50);

    // Owners and times last, deepest first, so no later change moves them.
    std::vector<fs::path> all;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator();
         ++it)
        all.push_back(it->path());
    std::sort(all.begin(), all.end(), [](const fs::path& a, const fs::path& b) {
        return a.string().size() > b.string().size();
    });
    int64_t t = 1500000000;
    for (const fs::path& path : all) {
        if (root) {
            auto id = static_cast<uint32_t>(1000 + (t % 7) * 1111);
            check(::lchown(path.c_str(), id, id + 1) == 0, "lchown");
        }
        timespec times[2];
        times[0].tv_sec = t + 5000; // atime
        times[0].tv_nsec = 0;
        times[1].tv_sec = t; // mtime
        times[1].tv_nsec = 0;
        check(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0, "utimensat");
        t += 86400 + 17;
    }
}

void addExt4Extras(const std::string& dir) {
    auto p = [&](const std::string& rel) { return dir + "/" + rel; };
    fs::create_directories(p("ext4"));
    file(p("ext4/labelled"), 5000, 60);
    file(p("ext4/big_value"), 10, 61);
    auto attr = [&](const std::string& path, const std::string& name, const std::string& value) {
        check(::lsetxattr(p(path).c_str(), name.c_str(), value.data(), value.size(), 0) == 0,
              "setxattr " + name + " on " + path);
    };
    attr("ext4/labelled", "security.selinux", std::string("u:object_r:system_file:s0") + '\0');
    attr("ext4/labelled", "user.comment", "hello");
    attr("ext4/labelled", "security.capability",
         std::string("\x01\x00\x00\x02\x00\x30\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
                     "\x00\x00\x00\x00",
                     20));
    attr("ext4/big_value", "user.big", std::string(800, 'v'));
    attr("ext4", "trusted.note", "folder");
    if (fs::exists(p("docs/readme.txt")))
        attr("docs/readme.txt", "security.selinux", std::string("u:object_r:readme:s0") + '\0');
    mustRun("setfacl -m u:1000:rw -m g:50:r " + shellQuote(p("ext4/labelled")) +
            " && setfacl -d -m u:7:rwx " + shellQuote(p("ext4")));
    // One 4 KiB piece every 8 KiB: each piece is an extent of its own, more
    // than the inode's four (depth 1) or than four blocks of them hold (depth 2).
    for (auto [name, pieces] : {std::pair{"depth1", 20}, std::pair{"depth2", 1500}}) {
        std::vector<std::pair<uint64_t, size_t>> at;
        for (int i = 0; i < pieces; ++i)
            at.push_back({uint64_t(i) * 8192, 4096});
        // Ending in data: mke2fs -O inline_data drops a trailing hole.
        sparseFile(p(std::string("ext4/") + name), uint64_t(pieces) * 8192 - 4096, at);
    }
    // Before 1970: the inode's 32-bit times are signed.
    timespec times[2] = {{-49952384, 0}, {-49952384, 0}};
    check(::utimensat(AT_FDCWD, p("ext4/big_value").c_str(), times, AT_SYMLINK_NOFOLLOW) == 0,
          "utimensat");
}

Bytes makeSparse(const Bytes& image, uint32_t blockSize, bool crc) {
    using namespace sparse;
    Bytes out(kFileHeaderSize);
    uint32_t chunks = 0;
    uint32_t sum = 0;
    auto chunk = [&](uint16_t type, uint32_t blocks, ByteSpan payload) {
        std::byte h[kChunkHeaderSize];
        store16(h + ch::kType, type);
        store16(h + ch::kReserved, 0);
        store32(h + ch::kBlocks, blocks);
        store32(h + ch::kTotalSize, static_cast<uint32_t>(kChunkHeaderSize + payload.size()));
        out.insert(out.end(), h, h + kChunkHeaderSize);
        out.insert(out.end(), payload.begin(), payload.end());
        ++chunks;
    };
    auto crcChunk = [&] {
        std::byte v[4];
        store32(v, sum);
        chunk(kChunkCrc32, 0, ByteSpan(v, 4));
    };
    const size_t blocks = image.size() / blockSize;
    for (size_t b = 0; b < blocks;) {
        const ByteSpan block(image.data() + b * blockSize, blockSize);
        const uint32_t word = load32(block.data());
        auto uniform = [&](size_t k) { // block k is one word repeated
            const uint32_t w = load32(image.data() + k * blockSize);
            for (size_t i = 4; i < blockSize; i += 4)
                if (load32(image.data() + k * blockSize + i) != w)
                    return false;
            return true;
        };
        size_t e = b + 1;
        if (uniform(b)) {
            while (e < blocks && uniform(e) && load32(image.data() + e * blockSize) == word)
                ++e;
            std::byte v[4];
            store32(v, word);
            if (word == 0)
                chunk(kChunkDontCare, static_cast<uint32_t>(e - b), {});
            else
                chunk(kChunkFill, static_cast<uint32_t>(e - b), ByteSpan(v, 4));
        } else {
            while (e < blocks && !uniform(e))
                ++e;
            chunk(kChunkRaw, static_cast<uint32_t>(e - b),
                  ByteSpan(image.data() + b * blockSize, (e - b) * blockSize));
        }
        sum = crc32(sum, ByteSpan(image.data() + b * blockSize, (e - b) * blockSize));
        b = e;
        if (crc && chunks % 4 == 0)
            crcChunk();
    }
    if (crc)
        crcChunk();
    store32(out.data() + fh::kMagic, kMagic);
    store16(out.data() + fh::kMajor, kMajorVersion);
    store16(out.data() + fh::kMinor, 0);
    store16(out.data() + fh::kFileHeaderSize, kFileHeaderSize);
    store16(out.data() + fh::kChunkHeaderSize, kChunkHeaderSize);
    store32(out.data() + fh::kBlockSize, blockSize);
    store32(out.data() + fh::kTotalBlocks, static_cast<uint32_t>(blocks));
    store32(out.data() + fh::kTotalChunks, chunks);
    store32(out.data() + fh::kImageChecksum, 0);
    return out;
}

Snapshot snapshot(const std::string& dir) {
    // Reading a folder or a link moves its access time once (relatime): read
    // them all first, so that neither this walk nor the image tools move it
    // again.
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator();
         ++it)
        if (it->is_symlink())
            (void)fs::read_symlink(it->path());
    Snapshot snap;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator();
         ++it) {
        struct stat st {};
        check(::lstat(it->path().c_str(), &st) == 0, "lstat");
        SourceStat s;
        s.mode = st.st_mode;
        s.uid = st.st_uid;
        s.gid = st.st_gid;
        s.size = static_cast<uint64_t>(st.st_size);
        s.ino = st.st_ino;
        s.rdev = st.st_rdev;
        s.atime = st.st_atim.tv_sec;
        s.mtime = st.st_mtim.tv_sec;
        s.ctime = st.st_ctim.tv_sec;
        char names[4096];
        const ssize_t len = ::llistxattr(it->path().c_str(), names, sizeof names);
        for (ssize_t at = 0; at < len; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
            char value[8192];
            const ssize_t n = ::lgetxattr(it->path().c_str(), names + at, value, sizeof value);
            check(n >= 0, "getxattr");
            s.xattrs[names + at] = std::string(value, static_cast<size_t>(n));
        }
        if (S_ISLNK(st.st_mode))
            s.target = fs::read_symlink(it->path()).string();
        snap[it->path().lexically_relative(dir).string()] = s;
    }
    return snap;
}

std::unique_ptr<Text23obj> openExt(const std::string& path) {
    auto img = std::make_unique<Text23obj>();
    img->Init(ImageData::mapFile(path));
    img->Open();
    return img;
}

std::unique_ptr<Text23obj> openExt(const Bytes& bytes) {
    auto img = std::make_unique<Text23obj>();
    img->Init(ImageData::fromBytes(bytes));
    img->Open();
    return img;
}

std::unique_ptr<Text23obj> openAny(const std::string& path) {
    std::unique_ptr<Timg> img = loadimage(path);
    auto* ext = dynamic_cast<Text23obj*>(img.get());
    if (!ext)
        throw std::runtime_error(path + " did not open as an EXT image");
    img.release();
    return std::unique_ptr<Text23obj>(ext);
}

namespace {

// The device number an EXT inode keeps in its block map.
uint64_t deviceOf(const TImgEntry& e) {
    return makedev(e.rdev.major, e.rdev.minor);
}

} // namespace

void expectSameTree(Text23obj& img, const Snapshot& snap, const std::string& srcDir,
                    const CompareOptions& opt) {
    std::map<std::string, Node*> nodes;
    forEachPreorder(img.root(), [&](Node* n) {
        if (n == img.root())
            return;
        std::string path = pathFromRoot(n);
        if (path != "lost+found" && path.rfind("lost+found/", 0) != 0)
            nodes[path] = n;
    });
    std::vector<std::string> missing, extra;
    for (const auto& [path, st] : snap)
        if (!nodes.count(path))
            missing.push_back(path);
    for (const auto& [path, n] : nodes)
        if (!snap.count(path))
            extra.push_back(path);
    EXPECT_TRUE(missing.empty()) << "missing from the image: " << missing.size() << ", first "
                                 << (missing.empty() ? "" : missing.front());
    EXPECT_TRUE(extra.empty()) << "not in the source: " << extra.size() << ", first "
                               << (extra.empty() ? "" : extra.front());

    const uint32_t inodes = img.superblock().inodesCount;
    std::map<uint64_t, std::vector<Node*>> byIno;
    for (const auto& [path, node] : nodes) {
        auto it = snap.find(path);
        if (it == snap.end())
            continue;
        const SourceStat& st = it->second;
        SCOPED_TRACE(path);
        byIno[st.ino].push_back(node);
        EXPECT_EQ(node->text, fs::path(path).filename().string());
        const TImgEntry* e = &node->entry;
        if (e->objType == kTypeHardlink) {
            EXPECT_GT(e->objId, inodes);
            EXPECT_EQ(img.nodeFor(e->objId), node);
            Node* first = img.nodeFor(e->linkInfo);
            ASSERT_NE(first, nullptr);
            EXPECT_EQ(first->entry.objId, e->linkInfo);
            EXPECT_NE(first->entry.objType, kTypeHardlink);
            e = &first->entry;
        } else {
            EXPECT_LE(e->objId, inodes);
            EXPECT_EQ(img.nodeFor(e->objId), node);
        }
        EXPECT_EQ(e->mode, st.mode & 0xFFFF) << std::oct << e->mode << " vs " << st.mode;
        EXPECT_EQ(e->uid, st.uid & 0xFFFF);
        EXPECT_EQ(e->gid, st.gid & 0xFFFF);
        EXPECT_EQ(e->mtime, st.mtime);
        if (opt.atimeAndCtime) {
            EXPECT_EQ(e->atime, st.atime);
            EXPECT_EQ(e->ctime, st.ctime);
        }
        std::map<std::string, std::string> xattrs;
        for (const Xattr& x : e->xattrs)
            xattrs[x.name] = x.value;
        EXPECT_EQ(xattrs, st.xattrs);
        EXPECT_EQ(e->dataPos, -1);
        const uint32_t type = st.mode & S_IFMT;
        TImgEntry got;
        Bytes buf;
        ASSERT_TRUE(img.ReadContent(e->objId, got, buf));
        switch (type) {
        case S_IFREG: {
            EXPECT_EQ(e->objType, kTypeFile);
            EXPECT_EQ(e->size, st.size);
            EXPECT_EQ(buf.size(), (st.size + 1023) / 1024 * 1024);
            Bytes want = readFile(srcDir + "/" + path);
            want.resize(buf.size());
            EXPECT_TRUE(buf == want) << "contents differ";
            break;
        }
        case S_IFLNK:
            EXPECT_EQ(e->objType, kTypeSymlink);
            EXPECT_EQ(e->size, st.size);
            EXPECT_EQ(e->alias, st.target);
            EXPECT_EQ(toString(ByteSpan(buf.data(), std::min(buf.size(), st.target.size()))),
                      st.target);
            break;
        case S_IFDIR:
            EXPECT_EQ(e->objType, kTypeDirectory);
            EXPECT_EQ(buf.size(), (e->size + 1023) / 1024 * 1024);
            break;
        case S_IFCHR:
            EXPECT_EQ(e->objType, kTypeSpecial);
            if (opt.wideDevices || (major(st.rdev) < 256 && minor(st.rdev) < 256)) {
                EXPECT_EQ(deviceOf(*e), st.rdev);
            }
            EXPECT_TRUE(buf.empty());
            break;
        case S_IFBLK:
            EXPECT_EQ(e->objType, kTypeBlockDevice);
            EXPECT_EQ(deviceOf(*e), st.rdev);
            break;
        default:
            EXPECT_EQ(e->objType, kTypeOther);
            EXPECT_TRUE(buf.empty());
            break;
        }
    }
    // One node per inode keeps the inode's id; the others are hard links to it.
    for (const auto& [ino, group] : byIno) {
        size_t firsts = std::count_if(group.begin(), group.end(),
                                      [](Node* n) { return n->entry.objType != kTypeHardlink; });
        EXPECT_EQ(firsts, 1u) << "inode with " << group.size() << " names, first "
                              << pathFromRoot(group.front());
        std::vector<uint32_t> targets;
        for (Node* n : group)
            targets.push_back(n->entry.objType == kTypeHardlink ? n->entry.linkInfo
                                                                : n->entry.objId);
        EXPECT_EQ(std::count(targets.begin(), targets.end(), targets.front()),
                  static_cast<long>(targets.size()));
    }
}

size_t entryOffset(Text23obj& img, const std::string& dirPath, const std::string& name) {
    Node* dir = findPath(img.root(), dirPath);
    if (!dir || !dir->isDirectory())
        throw std::runtime_error("no folder " + dirPath);
    const size_t bs = img.blockSize();
    ext2::Inode inode;
    if (!img.loadInodeAt(dir->entry.objId, inode))
        throw std::runtime_error("no inode for " + dirPath);
    for (size_t i = 0; i < 12 && i * bs < dir->entry.size; ++i) {
        size_t base = size_t{inode.blocks[i]} * bs;
        for (size_t at = 0; at + 8 <= bs;) {
            const std::byte* e = img.data() + base + at;
            uint16_t recLen = load16(e + 4);
            size_t nameLen = std::to_integer<size_t>(e[6]);
            if (std::string(reinterpret_cast<const char*>(e + 8), nameLen) == name)
                return base + at;
            if (recLen < 8)
                break;
            at += recLen;
        }
    }
    throw std::runtime_error("no entry " + name + " in " + dirPath);
}

} // namespace korvane::test
