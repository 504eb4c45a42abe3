#include "fs/yaffs2/tyaffs2obj.h"
#include "model/error.h"
#include "model/tree.h"
#include "source/image_data.h"
#include "support/recording_sink.h"
#include "support/testutil.h"
#include "support/yaffs2_builder.h"
#include "transfer/addfiles.h"
#include "transfer/extract.h"

#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace korvane;
using namespace korvane::test;
namespace fs = std::filesystem;

namespace {

// root: system(258){exists.txt(259), taken/(260), afile(261), merge/(262){inside.txt(263)}}
std::unique_ptr<Tyaffs2obj> targetImage() {
    Yaffs2Builder b;
    b.root();
    b.dir(258, 1, "system");
    b.file(259, 258, "exists.txt", pattern(50, 1));
    b.dir(260, 258, "taken");
    b.file(261, 258, "afile", pattern(60, 2));
    b.dir(262, 258, "merge");
    b.file(263, 262, "inside.txt", pattern(70, 3));
    auto img = std::make_unique<Tyaffs2obj>();
    img->Init(ImageData::fromBytes(b.bytes()));
    img->Open();
    return img;
}

Bytes contentsOf(Timg& img, const Node* n) {
    TImgEntry e;
    Bytes buf;
    img.ReadContent(n->entry.objId, e, buf);
    buf.resize(static_cast<size_t>(e.size));
    return buf;
}

// The error lines as the app shows them in Chinese.
std::string lines(const std::vector<Message>& v) {
    std::string out;
    for (const Message& m : v)
        out += zh(m) + "\n";
    return out;
}

TEST(AddFiles, FolderWithSubfoldersEmptyFilesAndLinks) {
    TempDir src;
    fs::create_directories(src / "x/y");
    writeFile(src / "x/a.txt", pattern(3000, 1));
    writeFile(src / "x/y/b.txt", pattern(5000, 2));
    writeFile(src / "x/zero", std::string());
    fs::create_symlink("a.txt", src / "x/link");
    fs::create_directory_symlink("y", src / "x/dirlink");

    auto img = targetImage();
    const uint32_t firstNew = img->maxObjId + 1;
    RecordingSink sink;
    img->onwk = &sink;
    const auto before = static_cast<uint32_t>(std::time(nullptr));
    AddResult r = addfiles(*img, {src / "x"}, 1);
    EXPECT_TRUE(r.errlist.empty()) << lines(r.errlist);
    EXPECT_EQ(r.added, 7u);
    EXPECT_TRUE(img->modified);

    Node* x = findPath(img->root(), "x");
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->entry.objType, kTypeDirectory);
    EXPECT_EQ(x->entry.linkInfo, 1u);
    EXPECT_EQ(x->entry.objId, firstNew) << "ids in the order of adding";
    EXPECT_EQ(img->nodeFor(x->entry.objId), x);
    std::string order;
    for (auto& c : x->children)
        order += c->text + " ";
    EXPECT_EQ(order, "y dirlink link zero a.txt ")
        << "sorted like a loaded tree; a link to a folder is no folder";
    EXPECT_TRUE(findPath(img->root(), "x/dirlink")->children.empty());

    Node* a = findPath(img->root(), "x/a.txt");
    Node* b = findPath(img->root(), "x/y/b.txt");
    Node* zero = findPath(img->root(), "x/zero");
    Node* link = findPath(img->root(), "x/link");
    ASSERT_TRUE(a && b && zero && link);
    for (Node* n : {x, a, b, zero, link}) {
        EXPECT_EQ(n->entry.mode, 0777u) << n->text;
        EXPECT_EQ(n->entry.uid, 0u);
        EXPECT_EQ(n->entry.gid, 0u);
        EXPECT_GE(n->entry.mtime, before);
        EXPECT_EQ(n->entry.name, n->text);
        EXPECT_EQ(img->nodeFor(n->entry.objId), n);
    }
    // Contents go to the working file in the order of adding, each from a
    // 4 KiB boundary (so that holes stay holes).
    EXPECT_EQ(a->entry.dataPos, 0);
    EXPECT_EQ(a->entry.size, 3000u);
    EXPECT_EQ(b->entry.dataPos, 4096);
    EXPECT_EQ(zero->entry.dataPos, -1);
    EXPECT_EQ(zero->entry.size, 0u);
    EXPECT_EQ(img->workfile().size(), 4096 + 5000);
    EXPECT_EQ(contentsOf(*img, a), pattern(3000, 1));
    EXPECT_EQ(contentsOf(*img, b), pattern(5000, 2));
    EXPECT_EQ(link->entry.objType, kTypeSymlink);
    EXPECT_EQ(link->entry.alias, "a.txt");
    EXPECT_EQ(findPath(img->root(), "x/dirlink")->entry.alias, "y");

    ASSERT_GE(sink.events.size(), 3u);
    EXPECT_EQ(sink.events.front().kind, 1);
    EXPECT_EQ(sink.events.front().message, "正在统计添加文件");
    EXPECT_EQ(sink.events.back().kind, 3);
    EXPECT_EQ(sink.events.back().message, "完成");
    const Event& last = sink.events[sink.events.size() - 2];
    EXPECT_EQ(last.pos, 8000);
    EXPECT_EQ(last.max, 8000) << "the maximum is the total of the files' sizes";
    for (const Event& e : sink.events)
        EXPECT_EQ(e.flag, 3);

    // Extracted again, everything is as it was on disk.
    TempDir out;
    ExtractResult xr = outfiles(*img, {x->entry.objId}, out.path().string());
    EXPECT_TRUE(xr.skipped.empty());
    EXPECT_EQ(readFile(out / "x/a.txt"), pattern(3000, 1));
    EXPECT_EQ(readFile(out / "x/y/b.txt"), pattern(5000, 2));
    EXPECT_EQ(fs::file_size(out / "x/zero"), 0u);
    EXPECT_EQ(fs::read_symlink(out / "x/link"), "a.txt");
}

TEST(AddFiles, KeepsAttributesOnRequestAndTakesRelativePaths) {
    TempDir src;
    writeFile(src / "f.bin", pattern(10, 4));
    if (::geteuid() == 0) {
        ASSERT_EQ(::lchown((src / "f.bin").c_str(), 70000 + 1234, 5678), 0);
    }
    ::chmod((src / "f.bin").c_str(), 04640);
    const struct timespec times[2] = {{1000000000, 0}, {1111111111, 0}};
    ::utimensat(AT_FDCWD, (src / "f.bin").c_str(), times, 0);

    auto img = targetImage();
    AddOptions opt;
    opt.keepAttributes = true;
    const fs::path cwd = fs::current_path();
    fs::current_path(src.path());
    AddResult r = addfiles(*img, {"./f.bin"}, 258, opt);
    fs::current_path(cwd);
    EXPECT_TRUE(r.errlist.empty()) << lines(r.errlist);
    Node* f = findPath(img->root(), "system/f.bin");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->entry.mode, 04640u) << "permission bits only";
    EXPECT_EQ(f->entry.mtime, 1111111111u);
    EXPECT_EQ(f->entry.atime, 1000000000u);
    if (::geteuid() == 0) {
        EXPECT_EQ(f->entry.uid, 70000u + 1234) << "all 32 bits";
        EXPECT_EQ(f->entry.gid, 5678u);
    }
    EXPECT_EQ(contentsOf(*img, f), pattern(10, 4));
}

// Answers the clash question from a script and records who was asked about.
struct Script {
    explicit Script(std::vector<ClashAnswer> a) : answers(std::move(a)) {}
    std::vector<ClashAnswer> answers;
    std::vector<std::string> asked;
    AddOptions options() {
        AddOptions opt;
        opt.ask = [this](const std::string& path, const Node& existing) {
            asked.push_back(fs::path(path).filename().string() + "@" + existing.text);
            ClashAnswer a = answers.at(asked.size() - 1);
            return a;
        };
        return opt;
    }
};

class AddClash : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(src / "afile");
        writeFile(src / "afile/in.txt", pattern(5, 5));
        fs::create_directories(src / "merge");
        writeFile(src / "merge/inside.txt", pattern(71, 6));
        writeFile(src / "merge/new.txt", pattern(72, 7));
        writeFile(src / "exists.txt", pattern(51, 8));
        writeFile(src / "taken", pattern(52, 9));
        paths = {src / "exists.txt", src / "taken", src / "afile", src / "merge"};
    }
    std::string errors() const {
        return "源文件:" + src / "taken" + ",目标文件:/system/taken,有同名的目录存在,不可覆盖\n" +
               "源目录:" + src / "afile" + ",目标目录:/system/afile,有同名的文件名存在,不可覆盖\n";
    }
    TempDir src;
    std::vector<std::string> paths;
};

TEST_F(AddClash, OverwriteThisOneSkipThatOne) {
    auto img = targetImage();
    Node* exists = findPath(img->root(), "system/exists.txt");
    Script s({ClashAnswer::kOverwrite, ClashAnswer::kSkip});
    AddResult r = addfiles(*img, paths, 258, s.options());
    EXPECT_EQ(s.asked,
              (std::vector<std::string>{"exists.txt@exists.txt", "inside.txt@inside.txt"}));
    EXPECT_EQ(lines(r.errlist), errors());
    EXPECT_EQ(r.overwritten, 1u);
    EXPECT_EQ(r.added, 1u) << "only merge/new.txt; the folder merge is merged into";

    EXPECT_EQ(findPath(img->root(), "system/exists.txt"), exists) << "same node";
    EXPECT_EQ(exists->entry.objId, 259u) << "same id";
    EXPECT_EQ(img->nodeFor(259), exists);
    EXPECT_EQ(exists->entry.size, 51u);
    EXPECT_EQ(exists->entry.mode, 0777u);
    EXPECT_EQ(contentsOf(*img, exists), pattern(51, 8));
    EXPECT_EQ(contentsOf(*img, findPath(img->root(), "system/merge/inside.txt")), pattern(70, 3));
    EXPECT_EQ(contentsOf(*img, findPath(img->root(), "system/merge/new.txt")), pattern(72, 7));
    EXPECT_EQ(findPath(img->root(), "system/merge")->entry.objId, 262u);
    EXPECT_EQ(findPath(img->root(), "system/afile")->entry.objType, kTypeFile);
    EXPECT_TRUE(findPath(img->root(), "system/taken")->children.empty());
}

TEST_F(AddClash, AllAnswersHoldForTheRunOnly) {
    auto img = targetImage();
    Script all({ClashAnswer::kOverwriteAll});
    AddResult r = addfiles(*img, paths, 258, all.options());
    EXPECT_EQ(all.asked.size(), 1u) << "asked once, then every clash is overwritten";
    EXPECT_EQ(r.overwritten, 2u);
    EXPECT_EQ(contentsOf(*img, findPath(img->root(), "system/merge/inside.txt")), pattern(71, 6));
    EXPECT_EQ(lines(r.errlist), errors());

    // A new run asks again; "全否" skips the rest of it.
    writeFile(src / "exists.txt", pattern(53, 10));
    Script none({ClashAnswer::kSkipAll});
    r = addfiles(*img, paths, 258, none.options());
    EXPECT_EQ(none.asked.size(), 1u);
    EXPECT_EQ(r.overwritten, 0u);
    EXPECT_EQ(r.added, 0u);
    EXPECT_EQ(contentsOf(*img, findPath(img->root(), "system/exists.txt")), pattern(51, 8));

    // Without anyone to ask, clashes are skipped; a fixed mode needs nobody.
    r = addfiles(*img, paths, 258);
    EXPECT_EQ(r.overwritten, 0u);
    AddOptions overwrite;
    overwrite.clashmode = kClashOverwriteAll;
    r = addfiles(*img, paths, 258, overwrite);
    EXPECT_EQ(r.overwritten, 3u);
    EXPECT_EQ(contentsOf(*img, findPath(img->root(), "system/exists.txt")), pattern(53, 10));
}

// FIFOs and files of any size are taken (the sparse 4 GiB file costs no space
// in the working file); what cannot be read is listed.
TEST(AddFiles, WhatCannotBeAddedIsListed) {
    TempDir src;
    ASSERT_EQ(::mkfifo((src / "pipe").c_str(), 0644), 0);
    int fd = ::open((src / "huge").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t{4} << 30), 0); // sparse: 4 GiB, one byte too many
    ::close(fd);
    writeFile(src / "ok", pattern(10, 1));

    auto img = targetImage();
    AddResult r =
        addfiles(*img, {src / "pipe", src / "huge", src / "missing", src / "ok", "/"}, 258);
    EXPECT_EQ(lines(r.errlist), "源文件:" + src / "missing" + ",无法读取:没有那个文件或目录\n" +
                                    "源目录:/,不可添加根目录\n");
    EXPECT_EQ(r.added, 3u);
    EXPECT_EQ(findPath(img->root(), "system/pipe")->entry.mode, 010777u)
        << "a FIFO, mode 0777 by default";
    Node* huge = findPath(img->root(), "system/huge");
    EXPECT_EQ(huge->entry.size, 4ull << 30);
    EXPECT_EQ(img->nextData(huge->entry, 0).begin, 4ull << 30) << "all hole";
    const int64_t used = (4ll << 30) + 10;
    EXPECT_EQ(img->workfile().size(), used);

    if (::geteuid() != 0) {
        writeFile(src / "secret", pattern(10, 2));
        ::chmod((src / "secret").c_str(), 0);
        r = addfiles(*img, {src / "secret"}, 258);
        ASSERT_EQ(r.errlist.size(), 1u);
        EXPECT_EQ(lines(r.errlist), "源文件:" + src / "secret" + ",无法读取:权限不够\n");
        EXPECT_EQ(r.errlist[0].english(),
                  "cannot read the file " + src / "secret" + ": Permission denied");
    }

    // A source that ends before its size leaves the working file as it was.
    int pipefd[2];
    ASSERT_EQ(::pipe(pipefd), 0);
    ASSERT_EQ(::write(pipefd[1], "0123456789", 10), 10);
    ::close(pipefd[1]);
    EXPECT_THROW(appendtowork(*img, pipefd[0], 100), Error);
    ::close(pipefd[0]);
    EXPECT_EQ(img->workfile().size(), used);

    EXPECT_THROW(addfiles(*img, {src / "ok"}, 259), Error) << "the target is a file";
    EXPECT_THROW(addfiles(*img, {src / "ok"}, 9999), Error);
}

TEST(AddFiles, CancelKeepsWhatWasAdded) {
    TempDir src;
    fs::create_directories(src / "x");
    for (int i = 0; i < 5; ++i)
        writeFile(src / ("x/f" + std::to_string(i)), pattern(10, i));
    writeFile(src / "later", pattern(10, 9));
    auto img = targetImage();
    RecordingSink sink;
    sink.cancelImage = img.get();
    img->onwk = &sink;
    AddResult r = addfiles(*img, {src / "x", src / "later"}, 1);
    EXPECT_TRUE(r.cancelled);
    EXPECT_EQ(r.added, 1u) << "the folder x, announced by the first progress event";
    EXPECT_NE(findPath(img->root(), "x"), nullptr);
    EXPECT_EQ(findPath(img->root(), "later"), nullptr);
    EXPECT_TRUE(img->modified);
    EXPECT_EQ(sink.events.back().message, "完成");
}

TEST(AddFiles, WorkingFileLeavesNothingInTheTemporaryFolder) {
    TempDir tmp, src;
    writeFile(src / "f", pattern(100, 1));
    const char* old = std::getenv("TMPDIR");
    std::string saved = old ? old : "";
    ::setenv("TMPDIR", tmp.path().c_str(), 1);
    {
        auto img = targetImage();
        addfiles(*img, {src / "f"}, 1);
        EXPECT_EQ(img->workfile().size(), 100);
        EXPECT_TRUE(fs::is_empty(tmp.path())) << "unlinked as soon as it is made";
    }
    if (old)
        ::setenv("TMPDIR", saved.c_str(), 1);
    else
        ::unsetenv("TMPDIR");
}

} // namespace

// A tree deeper than the folders the walk keeps open (the deepest are read by
// their whole paths), copied and referred to.
TEST(AddFiles, DeepTreesReachTheBottom) {
    TempDir src;
    std::string rel = "d";
    for (int i = 1; i < 80; ++i)
        rel += "/d";
    fs::create_directories(src / rel);
    writeFile(src / (rel + "/f"), pattern(6000, 4));
    fs::create_symlink("f", src / (rel + "/l"));
    for (bool refer : {false, true}) {
        auto img = targetImage();
        AddOptions opt;
        opt.referToFiles = refer;
        AddResult r = addfiles(*img, {src / "d"}, 1, opt);
        ASSERT_TRUE(r.errlist.empty()) << lines(r.errlist);
        EXPECT_EQ(r.added, 82u);
        EXPECT_EQ(contentsOf(*img, findPath(img->root(), rel + "/f")), pattern(6000, 4)) << refer;
        EXPECT_EQ(findPath(img->root(), rel + "/l")->entry.alias, "f");
    }
}

// Files left on disk are read when asked for: holes and contents as on disk,
// nothing in the working file; a file replaced or cut short since fails.
TEST(AddFiles, ReferredFilesAreReadWhenAskedFor) {
    TempDir src;
    writeFile(src / "a", pattern(5000, 1));
    writeFile(src / "b", pattern(300, 2));
    int fd = ::open((src / "sparse").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "x", 1, 1 << 20), 1);
    ::close(fd);

    auto img = targetImage();
    AddOptions opt;
    opt.referToFiles = true;
    AddResult r = addfiles(*img, {src / "a", src / "b", src / "sparse"}, 258, opt);
    ASSERT_TRUE(r.errlist.empty()) << lines(r.errlist);
    EXPECT_FALSE(img->hasWorkfile());
    Node* a = findPath(img->root(), "system/a");
    Node* b = findPath(img->root(), "system/b");
    EXPECT_EQ(contentsOf(*img, a), pattern(5000, 1));
    EXPECT_EQ(contentsOf(*img, b), pattern(300, 2));
    EXPECT_EQ(contentsOf(*img, a), pattern(5000, 1)) << "after another file was read";
    // A file read to its end is not kept open: a removable disk it came
    // from can be unmounted.
    auto timesOpen = [](const std::string& path) {
        int n = 0;
        for (const auto& d : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code ec;
            n += std::filesystem::read_symlink(d.path(), ec) == path;
        }
        return n;
    };
    EXPECT_EQ(timesOpen(src / "a"), 0);
    const TImgEntry& s = findPath(img->root(), "system/sparse")->entry;
    EXPECT_EQ(img->nextData(s, 0).begin, 1u << 20) << "the hole stays a hole";

    writeFile(src / "b", pattern(30, 3));
    EXPECT_THROW(contentsOf(*img, b), Error);
    // Rewritten in place with bytes of the same length, or given another
    // mode: the times tell, also while the file is open for reading.
    EXPECT_EQ(contentsOf(*img, a), pattern(5000, 1));
    const struct timespec later[2] = {{0, UTIME_OMIT}, {2000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (src / "a").c_str(), later, 0), 0);
    EXPECT_THROW(contentsOf(*img, a), Error) << "a new modification time";
    ASSERT_EQ(::chmod((src / "sparse").c_str(), 0600), 0);
    EXPECT_THROW(contentsOf(*img, findPath(img->root(), "system/sparse")), Error)
        << "a new change time";
    ASSERT_EQ(::rename((src / "b").c_str(), (src / "a").c_str()), 0);
    EXPECT_THROW(contentsOf(*img, a), Error) << "another file under the same name";

    // Read in part, it stays open until the image is closed.
    writeFile(src / "c", pattern(5000, 4));
    ASSERT_TRUE(addfiles(*img, {src / "c"}, 258, opt).errlist.empty());
    Bytes head(100);
    img->ReadRange(findPath(img->root(), "system/c")->entry, 0, head);
    EXPECT_EQ(timesOpen(src / "c"), 1);
    img.reset();
    EXPECT_EQ(timesOpen(src / "c"), 0) << "closed with the image";
}
