// Memory never depends on what an image claims: contents are read in ranges,
// holes stay holes, and extraction of hostile images stays small.
#include "fs/ext/text23obj.h"
#include "support/save_as.h"
#include "support/testutil.h"
#include "support/tree_nodes.h"
#include "support/yaffs2_builder.h"
#include "transfer/extract.h"
#include "transfer/loadimage.h"
#include "transfer/saveas.h"

#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace korvane;
using namespace korvane::test;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Every file's ranges read at random offsets and lengths equal the same bytes
// of the whole file, and the data ranges cover every byte that is not zero.
void expectRangesMatchWholeReads(Timg& img, uint32_t seed) {
    std::mt19937 rng(seed);
    size_t files = 0;
    forEachPreorder(img.root(), [&](Node* n) {
        const TImgEntry& e = n->entry;
        if (e.objType != kTypeFile)
            return;
        ++files;
        TImgEntry whole;
        Bytes all;
        ASSERT_TRUE(img.ReadContent(e.objId, whole, all));
        all.resize(static_cast<size_t>(e.size));
        for (int k = 0; k < 20; ++k) {
            const uint64_t off = e.size ? rng() % (e.size + 10) : 0;
            Bytes part(rng() % 9000);
            const size_t got = img.ReadRange(e, off, part);
            ASSERT_EQ(got, off >= e.size ? 0 : std::min<uint64_t>(part.size(), e.size - off));
            ASSERT_TRUE(std::equal(part.begin(), part.begin() + static_cast<ptrdiff_t>(got),
                                   all.begin() + static_cast<ptrdiff_t>(off)))
                << n->text << " at " << off;
        }
        Bytes covered(all.size());
        Bytes buf(777);
        forEachData(img, e, MutableByteSpan(buf), [&](uint64_t at, ByteSpan piece) {
            std::copy(piece.begin(), piece.end(), covered.begin() + static_cast<ptrdiff_t>(at));
            return true;
        });
        ASSERT_EQ(covered, all) << n->text;
    });
    EXPECT_GT(files, 0u);
}

TEST(Bounded, RangeReadsEqualWholeReadsInBothFormats) {
    // YAFFS2: files with missing chunks (holes) and a short last chunk.
    std::mt19937 rng(11);
    Yaffs2Builder b;
    b.root();
    for (uint32_t id = 258; id < 278; ++id) {
        const size_t size = rng() % 20000;
        yaffs2::ObjectHeader h =
            Yaffs2Builder::make(yaffs2::kHdrFile, 1, "f" + std::to_string(id), 0100644);
        h.fileSize = static_cast<uint32_t>(size);
        b.header(id, h);
        Bytes data = pattern(size, id);
        for (size_t off = 0, k = 1; off < size; off += yaffs2::kDataSize, ++k)
            if (rng() % 3)
                b.data(id, static_cast<uint32_t>(k),
                       ByteSpan(data).subspan(off, std::min(yaffs2::kDataSize, size - off)));
    }
    auto y = openYaffs2(b.bytes());
    expectRangesMatchWholeReads(*y, 1);

    // EXT2: the same kind of tree saved and read back, sparse files included.
    auto tree = openYaffs2(b.bytes());
    TempDir dir;
    ASSERT_TRUE(saveas(*tree, dir / "x.ext2", "ext2", {}));
    auto ext = loadimage(dir / "x.ext2");
    expectRangesMatchWholeReads(*ext, 2);
}

TEST(Bounded, ExtractionKeepsHoles) {
    if (!haveProgram("mke2fs"))
        GTEST_SKIP();
    TempDir dir;
    std::filesystem::create_directories(dir / "src");
    int fd = ::open((dir / "src/sparse").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "head", 4, 0), 4);
    ASSERT_EQ(::pwrite(fd, "tail", 4, 64 << 20), 4);
    ::close(fd);
    CommandResult r = run("mke2fs -q -F -t ext2 -b 1024 -d " + shellQuote(dir / "src") + " " +
                          shellQuote(dir / "img") + " 4096");
    ASSERT_EQ(r.status, 0) << r.err;
    auto img = loadimage(dir / "img");
    ExtractResult x = outfiles(*img, {img->root()->entry.objId}, dir / "out");
    EXPECT_TRUE(x.skipped.empty());
    struct stat st {};
    ASSERT_EQ(::stat((dir / "out/sparse").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, (64 << 20) + 4);
    EXPECT_LT(st.st_blocks * 512, 1 << 20) << "the 64 MiB hole was not written";
    char head[4] = {}, tail[4] = {};
    fd = ::open((dir / "out/sparse").c_str(), O_RDONLY);
    ASSERT_EQ(::pread(fd, head, 4, 0), 4);
    ASSERT_EQ(::pread(fd, tail, 4, 64 << 20), 4);
    ::close(fd);
    EXPECT_EQ(std::string(head, 4) + std::string(tail, 4), "headtail");
}

// Runs korvane-cli extract IMAGE -C OUT, expects everything written, and
// returns its peak resident size in KiB. Without the sanitizers (whose shadow memory needs a large
// address space) the child's address space is capped as well.
long extractPeakKiB(const std::string& image, const std::string& out) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (!kSanitized) {
            struct rlimit rl {};
            rl.rlim_cur = rl.rlim_max = rlim_t{512} << 20;
            ::setrlimit(RLIMIT_AS, &rl);
        } else {
            // The sanitizer's quarantine holds freed blocks back; without it
            // the peak shows what the program itself keeps.
            std::string options = "quarantine_size_mb=0";
            if (const char* old = ::getenv("ASAN_OPTIONS"))
                options = std::string(old) + ":" + options;
            ::setenv("ASAN_OPTIONS", options.c_str(), 1);
        }
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
        ::execl(KORVANE_CLI, KORVANE_CLI, "extract", image.c_str(), "-C", out.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    struct rusage ru {};
    ::wait4(pid, &status, 0, &ru);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << image << " status " << status;
    return ru.ru_maxrss;
}

TEST(Bounded, HostileImagesExtractInLittleMemory) {
    const long limitKiB = kSanitized ? 300 * 1024 : 100 * 1024;
    TempDir dir;

    // A few KiB of YAFFS2 whose file claims 4 GiB.
    Yaffs2Builder y;
    y.root();
    yaffs2::ObjectHeader h = Yaffs2Builder::make(yaffs2::kHdrFile, 1, "claims", 0100644);
    h.fileSize = 0xFFFFFFFF;
    y.header(258, h);
    y.data(258, 1, pattern(100, 1));
    y.save(dir / "claims.yaffs2");
    EXPECT_LT(extractPeakKiB(dir / "claims.yaffs2", dir / "out1"), limitKiB);

    // 1,500 folders inside one another, 250-byte names: a path string a
    // level would take 280 MB (the benchmark goes to 4,000 levels).
    Yaffs2Builder deep;
    deep.root();
    for (uint32_t i = 0; i < 1500; ++i)
        deep.dir(258 + i, i == 0 ? 1 : 257 + i, std::string(246, 'd') + std::to_string(1000 + i));
    deep.save(dir / "deep.yaffs2");
    EXPECT_LT(extractPeakKiB(dir / "deep.yaffs2", dir / "out2"), limitKiB);

    // A 1 MiB EXT2 image whose inode claims 12 GiB.
    if (haveProgram("debugfs")) {
        std::filesystem::create_directories(dir / "src");
        writeFile(dir / "src/f", "small");
        CommandResult r = run("mke2fs -q -F -t ext2 -b 1024 -d " + shellQuote(dir / "src") + " " +
                              shellQuote(dir / "claims.ext2") + " 1024 && debugfs -w -R " +
                              "'sif /f size 12884901888' " + shellQuote(dir / "claims.ext2"));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_LT(extractPeakKiB(dir / "claims.ext2", dir / "out3"), limitKiB);
        struct stat st {};
        ASSERT_EQ(::stat((dir / "out3/f").c_str(), &st), 0);
        EXPECT_EQ(st.st_size, 12884901888);
        EXPECT_LT(st.st_blocks * 512, 1 << 20);
    }
}

} // namespace
