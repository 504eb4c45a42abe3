// Nothing lost on the way from disk into an image and back: hard links,
// every kind of special file, 32-bit owners, times outside 1970..2038, device
// numbers of both encodings; what a format cannot hold is refused before
// anything is written. Checked through Korvane's own readers, the peers
// (unyaffs, e2fsck, debugfs) and a second extraction.
#include "model/tree.h"
#include "support/save_as.h"
#include "support/testutil.h"
#include "support/tree_nodes.h"
#include "support/yaffs2_builder.h"
#include "transfer/edit.h"
#include "transfer/loadimage.h"
#include "transfer/saveas.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace korvane;
using namespace korvane::test;

namespace {

std::string cli(const std::string& args) {
    return std::string(KORVANE_CLI) + " " + args;
}

bool root() {
    return ::geteuid() == 0;
}

void setTimes(const std::string& path, int64_t mtime) {
    const struct timespec t[2] = {{static_cast<time_t>(mtime), 0}, {static_cast<time_t>(mtime), 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), t, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// The source tree. The file's first name ("a.bin", met first on disk) comes
// after the folder holding one of its links in an image's tree order, so a
// writer that does not order links after their files shows it.
struct Source {
    TempDir dir;
    std::string top = dir / "src";
    int64_t oldTime = -50000000;   // 1968
    int64_t lateTime = 2208988800; // 2040

    explicit Source(bool newDevice) {
        std::filesystem::create_directories(top + "/z/deep");
        writeFile(top + "/a.bin", pattern(5000, 1));
        ::chmod((top + "/a.bin").c_str(), 04755);
        EXPECT_EQ(::link((top + "/a.bin").c_str(), (top + "/z/link1").c_str()), 0);
        EXPECT_EQ(::link((top + "/a.bin").c_str(), (top + "/z/deep/link2").c_str()), 0);
        EXPECT_EQ(::mkfifo((top + "/fifo").c_str(), 0640), 0);
        EXPECT_EQ(::mknod((top + "/sock").c_str(), S_IFSOCK | 0600, 0), 0);
        writeFile(top + "/old.txt", "1968");
        writeFile(top + "/late.txt", "2040");
        if (root()) {
            EXPECT_EQ(::mknod((top + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
            EXPECT_EQ(::mknod((top + "/sda1").c_str(), S_IFBLK | 0660, makedev(8, 1)), 0);
            if (newDevice) {
                EXPECT_EQ(::mknod((top + "/nvme").c_str(), S_IFCHR | 0600, makedev(259, 70000)), 0);
            }
            EXPECT_EQ(::chown((top + "/a.bin").c_str(), 100000, 70000), 0);
            ::chmod((top + "/a.bin").c_str(), 04755); // chown cleared it
        }
        setTimes(top + "/old.txt", oldTime);
        setTimes(top + "/late.txt", lateTime);
    }
};

struct Format {
    const char* name;
    bool holdsOldTimes;  // before 1970
    bool holdsLateTimes; // from 2038 on
    bool holdsNewDevices;
};

const Format kFormats[] = {
    {"yaffs2", false, true, false},
    {"ext2", true, false, true},
    {"ext3", true, false, true},
};

// Source times the format cannot hold, as the image keeps them.
std::string expectedTree(const Source& src, const Format& f) {
    std::string want = statTree(src.top);
    auto replace = [&want](int64_t from, int64_t to) {
        const std::string a = " m" + std::to_string(from), b = " m" + std::to_string(to);
        for (size_t at; (at = want.find(a)) != std::string::npos;)
            want.replace(at, a.size(), b);
    };
    if (!f.holdsOldTimes)
        replace(src.oldTime, 0);
    if (!f.holdsLateTimes)
        replace(src.lateTime, 2147483647);
    return want;
}

TEST(Lossless, PackAndExtractKeepEveryObject) {
    for (const Format& f : kFormats) {
        SCOPED_TRACE(f.name);
        Source src(f.holdsNewDevices);
        const std::string out = src.dir / "out.img";
        CommandResult r =
            run(cli("pack " + shellQuote(src.top) + " " + shellQuote(out) + " --to " + f.name));
        ASSERT_EQ(r.status, 0) << r.err;
        const bool clamped = !f.holdsOldTimes || !f.holdsLateTimes;
        EXPECT_EQ(r.err.find("warning") != std::string::npos, clamped) << r.err;

        // The image as Korvane reads it: one file, two hard links to it
        // (which name is the file is the reader's choice: EXT has none).
        auto img = loadimage(out);
        std::map<const Node*, int> files;
        for (const char* name : {"a.bin", "z/link1", "z/deep/link2"}) {
            const Node* n = findPath(img->root(), name);
            ASSERT_NE(n, nullptr) << name;
            ++files[hardlinkTarget(*img, n)];
        }
        ASSERT_EQ(files.size(), 1u);
        const Node* file = files.begin()->first;
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(file->entry.objType, kTypeFile);
        if (root()) {
            EXPECT_EQ(file->entry.uid, 100000u);
        }

        // The peers agree.
        if (std::string(f.name) == "yaffs2") {
            const std::string un = src.dir / "unyaffs";
            std::filesystem::create_directories(un);
            r = run("cd " + shellQuote(un) + " && unyaffs " + shellQuote(out));
            EXPECT_EQ(r.status, 0) << r.out << r.err;
            struct stat a {
            }, l{};
            EXPECT_EQ(::lstat((un + "/a.bin").c_str(), &a), 0);
            EXPECT_EQ(::lstat((un + "/z/deep/link2").c_str(), &l), 0);
            EXPECT_EQ(a.st_ino, l.st_ino) << "unyaffs links the names";
        } else {
            r = run("e2fsck -fn " + shellQuote(out));
            EXPECT_EQ(r.status, 0) << r.out;
            r = run("debugfs -R 'stat /z/link1' " + shellQuote(out));
            EXPECT_NE(r.out.find("Links: 3"), std::string::npos) << r.out;
            if (root() && f.holdsNewDevices) {
                r = run("debugfs -R 'stat /nvme' " + shellQuote(out));
                EXPECT_NE(r.out.find("Device major/minor number: 259:70000"), std::string::npos)
                    << r.out;
            }
        }

        // And a second extraction gives back the source, but for the times
        // the format cannot hold.
        const std::string back = src.dir / "back";
        r = run(cli("extract " + shellQuote(out) + " -C " + shellQuote(back)));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(statTree(back), expectedTree(src, f));
    }
}

TEST(Lossless, PackRefusesWhatTheFormatCannotHoldBeforeWriting) {
    Source src(false);
    const std::string out = src.dir / "out.img";
    writeFile(out, "old bytes");
    // A 4 GiB file (sparse on disk) does not fit a YAFFS2 image.
    int fd = ::open((src.top + "/huge").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t{4} << 30), 0);
    ::close(fd);
    CommandResult r =
        run(cli("pack " + shellQuote(src.top) + " " + shellQuote(out) + " --to yaffs2"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("/huge"), std::string::npos) << r.err;
    EXPECT_EQ(toString(readFile(out)), "old bytes");
    std::filesystem::remove(src.top + "/huge");

    if (root()) {
        ASSERT_EQ(::mknod((src.top + "/nvme").c_str(), S_IFCHR | 0600, makedev(259, 70000)), 0);
        r = run(cli("pack " + shellQuote(src.top) + " " + shellQuote(out) + " --to yaffs2"));
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("/nvme"), std::string::npos) << r.err;
        EXPECT_EQ(toString(readFile(out)), "old bytes");
    }
    // What cannot be read from the folder stops the pack too (all or nothing).
    if (!root()) {
        writeFile(src.top + "/secret", "x");
        ::chmod((src.top + "/secret").c_str(), 0);
        r = run(cli("pack " + shellQuote(src.top) + " " + shellQuote(out) + " --to ext2"));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(toString(readFile(out)), "old bytes");
    }
}

// Deleting the name a hard link was tied to leaves the file to its other
// names: they stay readable and the tree still saves.
TEST(Lossless, DeletingTheFirstNameKeepsTheFile) {
    for (std::string kind : {"yaffs2", "ext2"}) {
        Yaffs2Builder b;
        b.root(040755, 0);
        b.dir(258, 1, "a");
        b.file(259, 258, "f", pattern(3000, 7));
        b.hardlink(260, 1, "l1", 259);
        b.hardlink(261, 1, "l2", 259);
        auto img = openYaffs2(b.bytes());
        ASSERT_EQ(deletenodes(*img, {258}), 2u);
        const Node* l1 = findPath(img->root(), "l1");
        ASSERT_NE(l1, nullptr);
        EXPECT_EQ(l1->entry.objType, kTypeFile);
        EXPECT_EQ(hardlinkTarget(*img, findPath(img->root(), "l2")), l1);
        TempDir dir;
        const std::string out = dir / "out.img";
        ASSERT_TRUE(saveas(*img, out, kind, {}));
        auto back = loadimage(out);
        for (const char* name : {"l1", "l2"}) {
            const Node* n = hardlinkTarget(*back, findPath(back->root(), name));
            ASSERT_NE(n, nullptr) << name;
            TImgEntry e;
            Bytes got;
            back->ReadContent(n->entry.objId, e, got);
            got.resize(static_cast<size_t>(e.size));
            EXPECT_EQ(got, pattern(3000, 7)) << name;
        }
    }
}

TEST(Lossless, SavingOverAFileKeepsItsMode) {
    TempDir dir;
    const std::string out = dir / "private.img";
    writeFile(out, "x");
    ASSERT_EQ(::chmod(out.c_str(), 0600), 0);
    Yaffs2Builder b;
    b.root(040755, 0);
    auto img = openYaffs2(b.bytes());
    ASSERT_TRUE(saveas(*img, out, "yaffs2", {}));
    struct stat st {};
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_GT(st.st_size, 1);
}

// An ordinary user's extraction: set-id bits go (the files are the user's),
// FIFOs are made, and hard links reach into a folder it may only pass
// through.
TEST(Lossless, OrdinaryUserExtraction) {
    if (!root() || !haveProgram("setpriv"))
        GTEST_SKIP() << "needs root to switch to an ordinary user";
    Yaffs2Builder b;
    b.root(040755, 0);
    b.dir(258, 1, "x", 040111);
    b.file(259, 1, "su", pattern(100, 1), 0104755);
    b.hardlink(260, 258, "su2", 259);
    b.special(261, 1, "fifo", 010640, 0);
    b.dir(262, 1, "later", 040755);
    b.file(263, 262, "f", pattern(10, 2), 0100644);
    b.hardlink(264, 258, "f2", 263); // met before its target
    TempDir dir;
    ::chmod(dir.path().c_str(), 0777);
    const std::string image = dir / "img", out = dir / "out";
    b.save(image);
    ::chmod(image.c_str(), 0644);
    CommandResult r = run("setpriv --reuid 65534 --regid 65534 --clear-groups " +
                          cli("extract " + shellQuote(image) + " -C " + shellQuote(out)));
    EXPECT_EQ(r.status, 0) << r.err;
    struct stat su {
    }, su2{}, f{}, f2{}, fifo{}, x{};
    ASSERT_EQ(::lstat((out + "/su").c_str(), &su), 0);
    EXPECT_EQ(su.st_mode & 07777, 0755u) << "no set-user-id bit on the user's own copy";
    ASSERT_EQ(::lstat((out + "/x/su2").c_str(), &su2), 0);
    EXPECT_EQ(su2.st_ino, su.st_ino);
    ASSERT_EQ(::lstat((out + "/later/f").c_str(), &f), 0);
    ASSERT_EQ(::lstat((out + "/x/f2").c_str(), &f2), 0);
    EXPECT_EQ(f2.st_ino, f.st_ino);
    ASSERT_EQ(::lstat((out + "/fifo").c_str(), &fifo), 0);
    EXPECT_TRUE(S_ISFIFO(fifo.st_mode));
    ASSERT_EQ(::lstat((out + "/x").c_str(), &x), 0);
    EXPECT_EQ(x.st_mode & 07777, 0111u);
}

} // namespace
