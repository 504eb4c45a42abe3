#include "fs/yaffs2/tyaffs2obj.h"
#include "model/error.h"
#include "support/recording_sink.h"
#include "support/testutil.h"
#include "support/yaffs2_builder.h"
#include "transfer/extract.h"
#include "transfer/tar_export.h"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace korvane;
using namespace korvane::test;
namespace fs = std::filesystem;

namespace {

void addFile(Yaffs2Builder& b, uint32_t id, uint32_t parent, const std::string& name,
             const Bytes& data, uint32_t mode, uint32_t mtime = 2000, uint32_t uid = 0,
             uint32_t gid = 0) {
    yaffs2::ObjectHeader h = Yaffs2Builder::make(yaffs2::kHdrFile, parent, name, mode);
    h.fileSize = static_cast<uint32_t>(data.size());
    h.mtime = mtime;
    h.uid = uid;
    h.gid = gid;
    b.header(id, h);
    for (size_t off = 0, k = 1; off < data.size(); off += yaffs2::kDataSize, ++k)
        b.data(id, static_cast<uint32_t>(k),
               ByteSpan(data).subspan(off, std::min(yaffs2::kDataSize, data.size() - off)));
}

void addDir(Yaffs2Builder& b, uint32_t id, uint32_t parent, const std::string& name, uint32_t mode,
            uint32_t mtime = 2000) {
    yaffs2::ObjectHeader h = Yaffs2Builder::make(yaffs2::kHdrDirectory, parent, name, mode);
    h.mtime = mtime;
    b.header(id, h);
}

// A tree with every kind of object. In tree order system/aaa comes before
// system/bin, so the hard link aaa/sh2 is met before its target bin/sh.
Bytes richImage() {
    Yaffs2Builder b;
    b.root(040755, 1600000000);
    addDir(b, 258, 1, "system", 040755, 1500000000);
    addDir(b, 259, 258, "bin", 040750);
    addFile(b, 260, 259, "sh", pattern(10000, 1), 0104755, 1234567890, 1000, 2000);
    addFile(b, 261, 258, "empty", {}, 0100600);
    b.symlink(262, 258, "link", "bin/sh");
    addDir(b, 264, 258, "aaa", 040755);
    b.hardlink(265, 264, "sh2", 260);
    addDir(b, 266, 1, "ro", 040555, 3000);
    addFile(b, 267, 266, "f", pattern(100, 3), 0100444);
    b.hardlink(268, 266, "h", 260);
    b.special(269, 258, "null", 020666, 0x0103);
    b.special(270, 258, "fifo", 010640, 0);
    addFile(b, 271, 258, "big.bin", pattern(5000, 2), 0100644);
    return b.bytes();
}

struct stat statOf(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        throw std::runtime_error("missing " + path);
    return st;
}

unsigned modeOf(const std::string& path) {
    return statOf(path).st_mode & 07777;
}

std::string skippedText(const ExtractResult& r) {
    std::string out;
    for (const SkippedObject& s : r.skipped)
        out += s.line().english() + "\n";
    return out;
}

TEST(Extract, WholeTreeAsRootKeepsContentsLinksModesTimesAndOwners) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "owners and device nodes need root";
    auto img = openYaffs2(richImage());
    TempDir dir;
    const std::string out = dir / "out";
    ExtractOptions opt;
    opt.privileged = true;
    ExtractResult r = outfiles(*img, {1}, out, opt);
    EXPECT_TRUE(r.skipped.empty()) << skippedText(r);
    EXPECT_FALSE(r.cancelled);
    EXPECT_EQ(r.written, 13u);

    EXPECT_EQ(readFile(out + "/system/bin/sh"), pattern(10000, 1));
    EXPECT_EQ(readFile(out + "/system/big.bin"), pattern(5000, 2));
    EXPECT_EQ(readFile(out + "/system/empty"), Bytes());
    EXPECT_EQ(readFile(out + "/ro/f"), pattern(100, 3));

    struct stat sh = statOf(out + "/system/bin/sh");
    EXPECT_EQ(sh.st_mode & 07777, 04755u);
    EXPECT_EQ(sh.st_mtime, 1234567890);
    EXPECT_EQ(sh.st_uid, 1000u);
    EXPECT_EQ(sh.st_gid, 2000u);
    EXPECT_EQ(sh.st_nlink, 3u) << "both hard links share the target's inode";
    EXPECT_EQ(statOf(out + "/system/aaa/sh2").st_ino, sh.st_ino);
    EXPECT_EQ(statOf(out + "/ro/h").st_ino, sh.st_ino);

    EXPECT_EQ(fs::read_symlink(out + "/system/link"), "bin/sh");
    EXPECT_EQ(statOf(out + "/system/link").st_mtime, 2000);
    EXPECT_EQ(modeOf(out + "/system/empty"), 0600u);
    EXPECT_EQ(modeOf(out + "/system/bin"), 0750u);
    EXPECT_EQ(statOf(out + "/system").st_mtime, 1500000000) << "set after its contents";
    EXPECT_EQ(statOf(out + "/system/bin").st_mtime, 2000);
    EXPECT_EQ(modeOf(out + "/ro"), 0555u);
    EXPECT_EQ(statOf(out + "/ro").st_mtime, 3000) << "kept across the late hard link";

    struct stat null = statOf(out + "/system/null");
    EXPECT_TRUE(S_ISCHR(null.st_mode));
    EXPECT_EQ(major(null.st_rdev), 1u);
    EXPECT_EQ(minor(null.st_rdev), 3u);
    EXPECT_EQ(null.st_mode & 07777, 0666u);
    struct stat fifo = statOf(out + "/system/fifo");
    EXPECT_TRUE(S_ISFIFO(fifo.st_mode));
    EXPECT_EQ(fifo.st_mode & 07777, 0640u);
    // The root is not written: the target folder keeps its own attributes.
    EXPECT_NE(statOf(out).st_mtime, 1600000000);
}

// Without privilege: the umask applies, set-id bits go (the file does not get
// the owner they were meant for), FIFOs are made, device nodes are not.
TEST(Extract, AsOrdinaryUserMasksModesAndSkipsDevices) {
    auto img = openYaffs2(richImage());
    TempDir dir;
    ExtractOptions opt;
    opt.privileged = false;
    opt.umask = 027;
    ExtractResult r = outfiles(*img, {266, 258}, dir.path().string(), opt);
    EXPECT_EQ(skippedText(r), "system/null: character device: device nodes are created only when "
                              "running as root\n");
    EXPECT_EQ(zh(r.skipped[0].line()),
              "system/null：字符设备：只有以 root 身份运行时才创建设备节点");
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "system/null")));
    EXPECT_TRUE(S_ISFIFO(statOf(dir / "system/fifo").st_mode));
    EXPECT_EQ(modeOf(dir / "system/fifo"), 0640u);
    EXPECT_EQ(modeOf(dir / "system/bin/sh"), 0750u);
    EXPECT_EQ(modeOf(dir / "system/big.bin"), 0640u);
    EXPECT_EQ(modeOf(dir / "system"), 0750u);
    EXPECT_EQ(statOf(dir / "system/bin/sh").st_uid, ::geteuid()) << "owners only as root";
    EXPECT_EQ(statOf(dir / "system/bin/sh").st_mtime, 1234567890);
    // The hard link into the read-only folder came after the folder was
    // finished: it is opened up for the link and closed again.
    EXPECT_EQ(statOf(dir / "ro/h").st_ino, statOf(dir / "system/bin/sh").st_ino);
    EXPECT_EQ(modeOf(dir / "ro"), 0550u);
    EXPECT_EQ(statOf(dir / "ro").st_mtime, 3000);
}

TEST(Extract, HardLinkWithTargetOutsideTheSelectionIsACopy) {
    auto img = openYaffs2(richImage());
    TempDir dir;
    ExtractResult r = outfiles(*img, {264, 261}, dir / "a/b/c");
    EXPECT_TRUE(r.skipped.empty()) << skippedText(r);
    EXPECT_EQ(readFile(dir / "a/b/c/aaa/sh2"), pattern(10000, 1));
    EXPECT_EQ(statOf(dir / "a/b/c/aaa/sh2").st_nlink, 1u);
    EXPECT_EQ(statOf(dir / "a/b/c/aaa/sh2").st_mtime, 1234567890) << "the target's attributes";
    EXPECT_TRUE(fs::is_regular_file(dir / "a/b/c/empty"));
    EXPECT_FALSE(fs::exists(dir / "a/b/c/system"));
}

TEST(Extract, EventsCountEveryObjectAndEndWithDone) {
    RecordingSink sink;
    auto img = openYaffs2(richImage());
    img->onwk = &sink;
    TempDir dir;
    outfiles(*img, {258}, dir.path().string());
    ASSERT_GE(sink.events.size(), 3u);
    EXPECT_EQ(sink.events.front().kind, 1);
    EXPECT_EQ(sink.events.front().message, "正在准备。。");
    EXPECT_EQ(sink.events.back().kind, 3);
    EXPECT_EQ(sink.events.back().message, "完成");
    const Event& last = sink.events[sink.events.size() - 2];
    EXPECT_EQ(last.kind, 2);
    EXPECT_EQ(last.pos, 10);
    EXPECT_EQ(last.max, 10) << "every node of the subtree counts, links and devices too";
    for (const Event& e : sink.events)
        EXPECT_EQ(e.flag, 2);

    // An image whose root holds nothing sends only the first and last events.
    Yaffs2Builder b;
    b.root();
    RecordingSink empty;
    auto bare = openYaffs2(b.bytes(), &empty);
    empty.events.clear();
    ExtractResult r = outfiles(*bare, {1}, dir / "bare");
    EXPECT_EQ(r.written, 0u);
    ASSERT_EQ(empty.events.size(), 2u);
    EXPECT_EQ(empty.events[0].kind, 1);
    EXPECT_EQ(empty.events[1].kind, 3);
}

TEST(Extract, HostileNamesWriteNothingOutsideTheTarget) {
    Yaffs2Builder b;
    b.root();
    b.dir(258, 1, "..");
    b.file(259, 258, "evil", pattern(10, 1));
    b.file(260, 1, "../x", pattern(10, 2));
    b.file(261, 1, "a/b", pattern(10, 3));
    b.file(262, 1, ".", pattern(10, 4));
    b.file(263, 1, "", pattern(10, 5));
    b.dir(264, 1, "ok");
    b.file(265, 264, "../../y", pattern(10, 6));
    b.symlink(266, 264, "up", "../../../etc");
    b.file(267, 264, "fine", pattern(10, 7));
    auto img = openYaffs2(b.bytes());
    TempDir dir;
    const std::string inner = dir / "inner";
    ExtractResult r = outfiles(*img, {1}, inner);

    std::vector<std::string> found;
    for (auto& e : fs::recursive_directory_iterator(dir.path()))
        found.push_back(fs::relative(e.path(), dir.path()).string());
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found,
              (std::vector<std::string>{"inner", "inner/ok", "inner/ok/fine", "inner/ok/up"}));
    EXPECT_EQ(readFile(inner + "/ok/fine"), pattern(10, 7));
    EXPECT_EQ(fs::read_symlink(inner + "/ok/up"), "../../../etc") << "a link is only a link";
    std::string skipped = skippedText(r);
    for (const char* line : {"..: the name cannot be used as a file name (and the object below "
                             "it)\n",
                             "../x: the name cannot be used as a file name\n",
                             "a/b: the name cannot be used as a file name\n",
                             ".: the name cannot be used as a file name\n",
                             ": the name cannot be used as a file name\n",
                             "ok/../../y: the name cannot be used as a file name\n"})
        EXPECT_NE(skipped.find(line), std::string::npos) << line << " in\n" << skipped;
    EXPECT_EQ(r.skipped.size(), 6u);
}

TEST(Extract, ExistingLinksInTheTargetAreReplacedNotFollowed) {
    Yaffs2Builder b;
    b.root();
    b.dir(258, 1, "system");
    b.file(259, 258, "f", pattern(300, 1));
    b.file(260, 1, "top.txt", pattern(200, 2));
    b.file(261, 1, "hl.txt", pattern(100, 3));
    auto img = openYaffs2(b.bytes());

    TempDir dir;
    fs::create_directories(dir / "outside");
    fs::create_directories(dir / "inner");
    writeFile(dir / "outside/victim.txt", std::string("keep me"));
    writeFile(dir / "outside/hl-victim.txt", std::string("keep me too"));
    fs::create_directory_symlink(dir / "outside", dir / "inner/system");
    fs::create_symlink(dir / "outside/victim.txt", dir / "inner/top.txt");
    fs::create_hard_link(dir / "outside/hl-victim.txt", dir / "inner/hl.txt");

    ExtractResult r = outfiles(*img, {1}, dir / "inner");
    EXPECT_TRUE(r.skipped.empty()) << skippedText(r);
    EXPECT_EQ(toString(readFile(dir / "outside/victim.txt")), "keep me");
    EXPECT_EQ(toString(readFile(dir / "outside/hl-victim.txt")), "keep me too");
    EXPECT_FALSE(fs::exists(dir / "outside/f"));
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(dir / "inner/system")));
    EXPECT_EQ(readFile(dir / "inner/system/f"), pattern(300, 1));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir / "inner/top.txt")));
    EXPECT_EQ(readFile(dir / "inner/top.txt"), pattern(200, 2));
    EXPECT_EQ(readFile(dir / "inner/hl.txt"), pattern(100, 3));

    // A second run replaces the files silently and reuses the folders.
    writeFile(dir / "inner/system/f", std::string("older"));
    r = outfiles(*img, {1}, dir / "inner");
    EXPECT_TRUE(r.skipped.empty()) << skippedText(r);
    EXPECT_EQ(readFile(dir / "inner/system/f"), pattern(300, 1));
}

TEST(Extract, ObjectsThatCannotBeWrittenAreListedAndTheRunGoesOn) {
    Yaffs2Builder b;
    b.root();
    b.dir(258, 1, "a");
    b.file(259, 258, "x", pattern(10, 1));
    b.file(260, 258, "y", pattern(10, 2));
    b.file(261, 1, "z", pattern(10, 3));
    b.dir(262, 1, "b");
    b.symlink(263, 1, "nolink", "");
    auto img = openYaffs2(b.bytes());
    TempDir dir;
    // A folder where the file z goes, and a file where the folder b goes.
    fs::create_directories(dir / "z/inside");
    writeFile(dir / "b", std::string("a file in the way of a folder is replaced"));
    ExtractResult r = outfiles(*img, {1}, dir.path().string());
    EXPECT_EQ(skippedText(r), "nolink: the symbolic link has no target\n"
                              "z: a folder of that name is in the way\n");
    EXPECT_TRUE(fs::is_directory(dir / "b"));
    EXPECT_EQ(readFile(dir / "a/y"), pattern(10, 2));
    EXPECT_EQ(r.written, 4u);

    // A target folder that cannot be made ends the job, after its last event.
    RecordingSink sink;
    img->onwk = &sink;
    writeFile(dir / "plain", std::string("x"));
    EXPECT_THROW(outfiles(*img, {1}, dir / "plain/sub"), Error);
    ASSERT_EQ(sink.events.size(), 2u);
    EXPECT_EQ(sink.events.back().message, "完成");
    EXPECT_THROW(outfiles(*img, {1}, ""), Error);
}

TEST(Extract, OfTwoObjectsOfOneNameInAFolderTheFirstIsWritten) {
    Yaffs2Builder b;
    b.root();
    b.dir(258, 1, "d");
    b.file(259, 258, "x", pattern(10, 1));
    b.file(260, 258, "x", pattern(20, 2));
    b.dir(261, 258, "sub");
    b.file(262, 261, "inner", pattern(10, 3));
    b.file(263, 258, "sub", pattern(10, 4));
    b.file(264, 1, "t", pattern(10, 5));
    b.dir(265, 1, "t");
    b.file(266, 265, "c", pattern(10, 6));
    TempDir dir;
    const std::string image = dir / "img";
    b.save(image);
    auto img = openYaffs2(b.bytes());
    // Folders come first in a folder, so the folder t is the first t.
    ExtractResult r = outfiles(*img, {1}, dir / "out");
    EXPECT_EQ(skippedText(r), "d/sub: an object of the same name came before it; it is left out\n"
                              "d/x: an object of the same name came before it; it is left out\n"
                              "t: an object of the same name came before it; it is left out\n");
    EXPECT_EQ(readFile(dir / "out/d/x"), pattern(10, 1));
    EXPECT_EQ(readFile(dir / "out/d/sub/inner"), pattern(10, 3));
    EXPECT_EQ(readFile(dir / "out/t/c"), pattern(10, 6));
    EXPECT_EQ(r.written, 6u);
    // Objects named one by one go into one folder as well.
    r = outfiles(*img, {260, 259}, dir / "two");
    EXPECT_EQ(skippedText(r), "x: an object of the same name came before it; it is left out\n");
    EXPECT_EQ(readFile(dir / "two/x"), pattern(20, 2));
    CommandResult c = run(std::string(KORVANE_CLI) + " extract " + shellQuote(image) + " -C " +
                          shellQuote(dir / "cli"));
    EXPECT_EQ(c.status, 1);
    EXPECT_NE(c.err.find("skipped d/x: an object of the same name"), std::string::npos) << c.err;
    // An archive holds each name once too.
    TarResult t = tarout(*img, {1}, dir / "t.tar");
    ASSERT_EQ(t.skipped.size(), 3u);
    EXPECT_EQ(t.skipped[0].line().english(),
              "./d/sub: an object of the same name came before it; it is left out");
    EXPECT_EQ(run("tar -tf " + shellQuote(dir / "t.tar")).out,
              "./\n./d/\n./d/sub/\n./d/sub/inner\n./d/x\n./t/\n./t/c\n");
}

TEST(Extract, CancelStopsAndKeepsWhatWasWritten) {
    Yaffs2Builder b;
    b.root();
    addDir(b, 258, 1, "first", 040700, 4000);
    for (uint32_t i = 0; i < 5; ++i)
        b.file(259 + i, 258, "f" + std::to_string(i), pattern(100, i));
    b.file(270, 1, "later", pattern(100, 9));
    RecordingSink sink;
    auto img = openYaffs2(b.bytes());
    img->onwk = &sink;
    sink.cancelImage = img.get();
    sink.cancelAt = 1; // at the first progress event, after the folder was written
    TempDir dir;
    ExtractResult r = outfiles(*img, {1}, dir.path().string());
    EXPECT_TRUE(r.cancelled);
    EXPECT_EQ(r.written, 1u);
    EXPECT_TRUE(fs::is_empty(dir / "first"));
    EXPECT_FALSE(fs::exists(dir / "later"));
    EXPECT_EQ(statOf(dir / "first").st_mtime, 4000) << "the folder still gets its attributes";
    EXPECT_EQ(modeOf(dir / "first"), 0700u);
    EXPECT_EQ(sink.events.back().kind, 3);
    EXPECT_EQ(sink.events.back().message, "完成");
}

// Existing entries are replaced only when the question allows it; each is
// asked about once (hard links met before their target too), and "全覆盖" and
// "全否" answer the rest of the run.
TEST(Extract, AsksBeforeReplacingWhatExists) {
    auto img = openYaffs2(richImage());
    TempDir dir;
    const std::string out = dir / "out";
    ExtractOptions opt;
    opt.privileged = false;
    opt.umask = 022;
    ASSERT_EQ(outfiles(*img, {1}, out, opt).replaced, 0u) << "nothing there yet";
    const std::vector<std::string> existing = {"ro/f",           "ro/h",          "system/aaa/sh2",
                                               "system/big.bin", "system/bin/sh", "system/empty",
                                               "system/fifo",    "system/link"};
    using A = ClashAnswer;
    struct Case {
        std::vector<A> answers;
        size_t asked;
        uint64_t replaced, kept;
        bool bigKept; // system/big.bin, made stale before each run
    };
    for (const Case& c :
         {Case{{A::kOverwriteAll}, 1, 8, 0, false}, Case{{A::kSkipAll}, 1, 0, 8, true},
          Case{{A::kSkip, A::kOverwrite, A::kSkip, A::kOverwriteAll}, 4, 6, 2, false}}) {
        writeFile(out + "/system/big.bin", std::string("stale"));
        std::vector<std::string> asked;
        opt.askReplace = [&](const std::string& path) {
            asked.push_back(path);
            return c.answers[std::min(asked.size(), c.answers.size()) - 1];
        };
        ExtractResult r = outfiles(*img, {1}, out, opt);
        EXPECT_EQ(asked.size(), c.asked);
        EXPECT_EQ(r.replaced, c.replaced);
        EXPECT_EQ(r.kept, c.kept);
        std::sort(asked.begin(), asked.end());
        EXPECT_TRUE(std::includes(existing.begin(), existing.end(), asked.begin(), asked.end()));
        EXPECT_EQ(readFile(out + "/system/big.bin") == bytesOf("stale"), c.bigKept);
    }
}

TEST(Extract, OneFileAndUnknownIds) {
    auto img = openYaffs2(richImage());
    TempDir dir;
    ExtractResult r = outfiles(*img, {271, 9999}, dir.path().string());
    EXPECT_EQ(skippedText(r), "#9999: no such object in the tree\n");
    EXPECT_EQ(readFile(dir / "big.bin"), pattern(5000, 2));

    // outonefile on its own: a fresh file beside an open folder.
    int fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(outonefile(*img, 260, fd, "copy").empty());
    EXPECT_EQ(readFile(dir / "copy"), pattern(10000, 1));
    EXPECT_THROW(outonefile(*img, 258, fd, "notafile"), Error);
    EXPECT_FALSE(fs::exists(dir / "notafile"));
    ::close(fd);
}

} // namespace

// Files written by workers while the walk goes on: the same tree on disk,
// the same counts and the same list of skipped objects, in the same order, as
// one thread writes. Folders that cannot be written into (0555) get their
// mode only after their files, and more folders than wait at a time.
TEST(Extract, WorkersWriteWhatOneThreadWrites) {
    Yaffs2Builder b;
    b.root();
    uint32_t id = 258;
    for (uint32_t d = 0; d < 80; ++d) {
        const uint32_t dir = id++;
        addDir(b, dir, 1, "d" + std::to_string(d), d % 3 ? 040755 : 040555, 5000 + d);
        for (uint32_t f = 0; f < 6; ++f)
            addFile(b, id++, dir, "f" + std::to_string(f), pattern(700 * f, d + f), 0100640,
                    7000 + f);
        if (d % 10 == 0)
            b.hardlink(id++, dir, "h", dir + 1);
    }
    auto img = openYaffs2(b.bytes());
    auto listing = [](const fs::path& root) {
        std::string out;
        for (const auto& e : fs::recursive_directory_iterator(root)) {
            const struct stat st = statOf(e.path());
            out += fs::relative(e.path(), root).string() + " " + std::to_string(st.st_mode) + " " +
                   std::to_string(st.st_mtime) + " " + std::to_string(st.st_nlink) + "\n";
            if (e.is_regular_file())
                out += std::to_string(std::hash<std::string_view>{}([&](const Bytes& data) {
                           return std::string_view(reinterpret_cast<const char*>(data.data()),
                                                   data.size());
                       }(readFile(e.path())))) +
                       "\n";
        }
        return out;
    };
    TempDir dir;
    std::string first;
    for (unsigned workers : {1u, 4u}) {
        const fs::path out = dir / std::to_string(workers);
        // A folder in the way of a file in every fifth folder.
        for (uint32_t d = 0; d < 80; d += 5) {
            const fs::path in = out / ("d" + std::to_string(d)) / "f2";
            fs::create_directories(in / "x");
            for (const fs::path& p : {in / "x", in})
                fs::last_write_time(p, fs::file_time_type{});
        }
        ExtractOptions opt;
        opt.workers = workers;
        const ExtractResult r = outfiles(*img, {1}, out, opt);
        const std::string seen = std::to_string(r.written) + "\n" + skippedText(r) + listing(out);
        if (workers == 1)
            first = seen;
        else
            EXPECT_EQ(seen, first);
        EXPECT_EQ(r.skipped.size(), 16u);
        EXPECT_EQ(modeOf(out / "d0"), 0555u);
        EXPECT_EQ(statOf(out / "d79").st_mtime, 5079);
    }
}
