// Where OutputFile writes: the file a symbolic link names (the link stays), a
// block device in place, a FIFO or character device as a stream.
#include "model/error.h"
#include "model/output_file.h"
#include "support/testutil.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace korvane;
using namespace korvane::test;

namespace {

// A writer of each kind: one that seeks back to fill in a header (as the
// sparse writer does) and one that only appends.
void writeImage(OutputFile& out, const std::string& body) {
    out.append(bytesOf("HEAD"));
    out.append(bytesOf(body));
    out.writeAt(0, bytesOf("head"));
    out.commit();
}

std::string readLink(const std::string& path) {
    std::string t(4096, '\0');
    t.resize(static_cast<size_t>(std::max<ssize_t>(::readlink(path.c_str(), t.data(), 4096), 0)));
    return t;
}

TEST(OutputFile, SymbolicLinksAreFollowedAndStay) {
    TempDir dir;
    std::filesystem::create_directories(dir / "real");
    writeFile(dir / "real/img", "old");
    ::chmod((dir / "real/img").c_str(), 0640);
    // A chain: link1 -> link2 (relative, in another folder) -> real/img.
    ASSERT_EQ(::symlink("real/link2", (dir / "link1").c_str()), 0);
    ASSERT_EQ(::symlink("img", (dir / "real/link2").c_str()), 0);
    // A link that leads nowhere names the file to make.
    ASSERT_EQ(::symlink("real/new", (dir / "dangling").c_str()), 0);
    ASSERT_EQ(::link((dir / "real/img").c_str(), (dir / "second").c_str()), 0);

    OutputFile a(dir / "link1");
    EXPECT_EQ(a.kind(), OutputFile::Kind::kFile);
    writeImage(a, "-1");
    OutputFile b(dir / "dangling");
    writeImage(b, "-2");

    EXPECT_EQ(readLink(dir / "link1"), "real/link2");
    EXPECT_EQ(readLink(dir / "real/link2"), "img");
    EXPECT_EQ(toString(readFile(dir / "real/img")), "head-1");
    struct stat st {};
    ASSERT_EQ(::stat((dir / "real/img").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u); // the replaced file's mode
    EXPECT_EQ(readLink(dir / "dangling"), "real/new");
    EXPECT_EQ(toString(readFile(dir / "real/new")), "head-2");
    // The other name of the file replaced keeps the old bytes.
    EXPECT_EQ(toString(readFile(dir / "second")), "old");
    // No temporary file is left beside either.
    size_t entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir / "real"))
        entries += e.path().filename().string().starts_with(".") ? 100 : 1;
    EXPECT_EQ(entries, 3u);

    ASSERT_EQ(::symlink("loop", (dir / "loop").c_str()), 0);
    EXPECT_THROW(OutputFile(dir / "loop"), Error);
    EXPECT_THROW(OutputFile(dir / "real"), Error);
}

TEST(OutputFile, SameFileWhateverTheSpelling) {
    TempDir dir;
    writeFile(dir / "img", "x");
    ASSERT_EQ(::symlink("img", (dir / "link").c_str()), 0);
    ASSERT_EQ(::link((dir / "img").c_str(), (dir / "hard").c_str()), 0);
    writeFile(dir / "other", "x");
    const std::optional<FileIdentity> opened = fileIdentity(dir / "img");
    ASSERT_TRUE(opened);
    for (const char* same : {"img", "link", "hard", "./img"})
        EXPECT_TRUE(writesOver(dir / same, *opened)) << same;
    for (const char* other : {"other", "missing"})
        EXPECT_FALSE(writesOver(dir / other, *opened)) << other;
    EXPECT_FALSE(writesOver("-", *opened));
}

TEST(OutputFile, FifosAndCharacterDevicesTakeAStream) {
    TempDir dir;
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string body(300000, 'b'); // more than a pipe holds
    for (auto access : {OutputFile::Access::kRandom, OutputFile::Access::kAppendOnly}) {
        std::string got;
        std::thread reader([&] {
            int fd = ::open(fifo.c_str(), O_RDONLY);
            char buf[65536];
            for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;)
                got.append(buf, static_cast<size_t>(n));
            ::close(fd);
        });
        {
            OutputFile out(fifo, access);
            EXPECT_EQ(out.kind(), OutputFile::Kind::kStream);
            out.append(bytesOf("HEAD"));
            out.append(bytesOf(body));
            if (access == OutputFile::Access::kRandom)
                out.writeAt(0, bytesOf("head"));
            else
                EXPECT_THROW(out.writeAt(0, bytesOf("head")), Error);
            out.commit();
        }
        reader.join();
        EXPECT_EQ(got, (access == OutputFile::Access::kRandom ? "head" : "HEAD") + body);
    }
    struct stat st {};
    ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    OutputFile null("/dev/null");
    writeImage(null, "x");
    ASSERT_EQ(::lstat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

// A file attached as a loop device for the test's length; unavailable where
// loop devices may not be made.
class LoopDevice {
public:
    explicit LoopDevice(const std::string& file) {
        CommandResult r = run("losetup -f --show " + shellQuote(file) + " 2>/dev/null");
        if (r.status == 0 && !r.out.empty())
            path_ = r.out.substr(0, r.out.find('\n'));
    }
    ~LoopDevice() {
        if (!path_.empty())
            run("losetup -d " + path_);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

TEST(OutputFile, ABlockDeviceIsWrittenInPlaceWhenFreeAndLargeEnough) {
    TempDir dir;
    const std::string backing = dir / "disk";
    writeFile(backing, std::string(1 << 20, 'x')); // old contents everywhere
    LoopDevice loop(backing);
    if (loop.path().empty())
        GTEST_SKIP() << "no loop device can be made here";
    ASSERT_EQ(::symlink(loop.path().c_str(), (dir / "dev").c_str()), 0);
    EXPECT_EQ(outputDeviceSize(dir / "dev"), 1u << 20);
    {
        OutputFile out(dir / "dev");
        EXPECT_EQ(out.kind(), OutputFile::Kind::kBlockDevice);
        EXPECT_EQ(out.fixedSize(), 1u << 20);
        EXPECT_THROW(out.resize((1 << 20) + 1), Error);
        out.resize(1 << 20);
        out.writeAt(4096, bytesOf("data"));
        out.writeAt(100000, bytesOf("more"));
        out.commit();
    }
    // Everything the writer did not write reads as zeros, as a new file does.
    std::string expected(1 << 20, '\0');
    expected.replace(4096, 4, "data");
    expected.replace(100000, 4, "more");
    EXPECT_TRUE(toString(readFile(loop.path())) == expected);
    EXPECT_EQ(readLink(dir / "dev"), loop.path());

    const std::string mnt = dir / "mnt";
    std::filesystem::create_directories(mnt);
    if (run("mkfs.ext2 -q " + loop.path() + " && mount " + loop.path() + " " + mnt).status != 0)
        GTEST_SKIP() << "mounting is not permitted here";
    try {
        OutputFile mounted(loop.path());
        ADD_FAILURE() << "a mounted device was opened for writing";
    } catch (const Error& e) {
        EXPECT_NE(e.message().english().find("is mounted on " + mnt), std::string::npos)
            << e.message().english();
    }
    run("umount " + mnt);
}

} // namespace
