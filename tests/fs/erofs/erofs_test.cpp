// EROFS: images mkfs.erofs makes in every form it has are read as
// fsck.erofs --extract and the kernel read them; images Korvane writes pass
// fsck.erofs and mount with the tree they were made of; compression gives the
// same bytes on one core and on several; damaged images stay bounded.
#include "fs/erofs/erofs_writer.h"
#include "fs/erofs/terofsobj.h"
#include "model/error.h"
#include "source/image_data.h"
#include "support/testutil.h"
#include "transfer/loadimage.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <random>
#include <regex>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace korvane;
using namespace korvane::test;
namespace fs = std::filesystem;

namespace {

std::string cli(const std::string& args) {
    return std::string(KORVANE_CLI) + " " + args;
}

void sh(const std::string& command) {
    const CommandResult r = run(command);
    ASSERT_EQ(r.status, 0) << command << "\n" << r.err;
}

// Bytes that compress a little, from a seed.
std::string patterned(size_t n, uint32_t seed, bool random) {
    std::string s(n, '\0');
    std::mt19937 rng(seed);
    for (size_t i = 0; i < n; ++i)
        s[i] =
            random ? static_cast<char>(rng()) : static_cast<char>("abcdefgh\n"[(i / 7 + seed) % 9]);
    return s;
}

// A tree with what EROFS holds: files around the block size, a large
// compressible one, a sparse one, a folder of several directory blocks, hard
// and symbolic links, devices, a FIFO, owners beyond 16 bits, times with
// nanoseconds, and attributes of every namespace (one label shared by many).
void makeTree(const fs::path& t) {
    fs::create_directories(t / "d/sub/deeper");
    fs::create_directories(t / "many");
    writeFile((t / "empty").string(), "");
    writeFile((t / "one").string(), "x");
    writeFile((t / "d/4095").string(), patterned(4095, 1, false));
    writeFile((t / "d/4096").string(), patterned(4096, 2, true));
    writeFile((t / "d/4097").string(), patterned(4097, 3, false));
    writeFile((t / "text").string(), patterned(6000000, 4, false)); // maps longer than a read
    writeFile((t / "random").string(), patterned(100000, 5, true));
    // A megabyte of blocks and a tail beside its inode: more than an
    // extraction's buffer gathers at once.
    writeFile((t / "d/mebibyte-and-tail").string(), patterned((1 << 20) + 100, 8, true));
    writeFile((t / "d/sub/deeper/mixed").string(),
              patterned(50000, 6, true) + patterned(70000, 7, false));
    for (int i = 0; i < 300; ++i)
        writeFile((t / "many" / ("entry-with-a-longer-name-" + std::to_string(i))).string(),
                  std::to_string(i));
    sh("truncate -s 2M " + shellQuote((t / "sparse").string()) + " && printf data | dd of=" +
       shellQuote((t / "sparse").string()) + " bs=1 seek=600000 conv=notrunc status=none");
    fs::create_hard_link(t / "text", t / "d/hard");
    fs::create_symlink("no-such-file", t / "sym");
    std::string far;
    for (int i = 0; i < 100; ++i)
        far += "../";
    fs::create_symlink(far + "x", t / "d/long-link");
    sh("mkfifo " + shellQuote((t / "fifo").string()));
    sh("mknod " + shellQuote((t / "d/tty").string()) + " c 4 1 && mknod " +
       shellQuote((t / "d/sda").string()) + " b 8 0");
    sh("chown 100000:200000 " + shellQuote((t / "one").string()));
    sh("chown 1000:1000 " + shellQuote((t / "d/4097").string()));
    for (const char* f : {"text", "random", "d/4095", "d/sub"})
        sh("setfattr -n security.selinux -v u:object_r:system_file:s0 " +
           shellQuote((t / f).string()));
    sh("setfattr -n user.comment -v hello " + shellQuote((t / "one").string()));
    sh("setfattr -n trusted.note -v " + std::string(200, 'n') + " " +
       shellQuote((t / "random").string()));
    sh("setfattr -n security.capability -v 0sAQAAAgAgAAAAAAAAAAAAAAAAAAA= " +
       shellQuote((t / "d/4096").string()));
    sh("find " + shellQuote(t.string()) +
       " -exec touch -h -d '2021-05-06 07:08:09.123456789' {} + && touch -h -d "
       "'1999-12-31 23:59:58.5' " +
       shellQuote((t / "one").string()));
}

// The lines of two tree texts that differ, for a short failure message.
std::string lineDiff(const std::string& a, const std::string& b) {
    auto lines = [](const std::string& s) {
        std::vector<std::string> v;
        for (size_t at = 0; at < s.size();) {
            size_t nl = s.find('\n', at);
            if (nl == std::string::npos)
                nl = s.size();
            v.push_back(s.substr(at, nl - at));
            at = nl + 1;
        }
        return v;
    };
    const auto la = lines(a), lb = lines(b);
    std::string out;
    for (const std::string& l : la)
        if (std::find(lb.begin(), lb.end(), l) == lb.end() && out.size() < 4000)
            out += "- " + l.substr(0, 300) + "\n";
    for (const std::string& l : lb)
        if (std::find(la.begin(), la.end(), l) == la.end() && out.size() < 8000)
            out += "+ " + l.substr(0, 300) + "\n";
    return out;
}

// A tree text without extended attributes (fsck.erofs 1.5 extracts none) and
// without which names share an inode (it extracts each name on its own).
std::string withoutLinksAndXattrs(std::string s) {
    s = std::regex_replace(s, std::regex(" names [^ \n]+"), "");
    return std::regex_replace(s, std::regex(" (security|user|trusted)\\.[^\n]*"), "");
}

#define EXPECT_SAME_TREE(a, b) EXPECT_TRUE((a) == (b)) << lineDiff((a), (b))

// statTree with every object's modification time to the nanosecond.
std::string fullTree(const std::string& top) {
    // Which name comes first depends on the order a folder lists them in.
    std::string out =
        std::regex_replace(statTree(top, true), std::regex(" names [^ \n]+"), " linked");
    std::map<std::string, std::string> times;
    for (auto it = fs::recursive_directory_iterator(top); it != fs::recursive_directory_iterator();
         ++it) {
        struct stat st {};
        ::lstat(it->path().c_str(), &st);
        times[fs::relative(it->path(), top).string()] =
            std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
    }
    for (const auto& [path, t] : times)
        out += path + " @" + t + "\n";
    return out;
}

// A folder on another filesystem than `than`'s, where one is at hand: data
// extracted there cannot go by copy_file_range and goes through a buffer.
std::optional<fs::path> onAnotherFilesystem(const fs::path& than) {
    struct stat a {
    }, b{};
    if (::stat(than.c_str(), &a) != 0 || ::stat("/dev/shm", &b) != 0 || a.st_dev == b.st_dev)
        return std::nullopt;
    return fs::path("/dev/shm") / ("korvane-test-" + std::to_string(::getpid()));
}

class Mount {
public:
    explicit Mount(const std::string& image) : dir_(tmp_ / "m") {
        fs::create_directories(dir_);
        const CommandResult r =
            run("mount -o loop,ro -t erofs " + shellQuote(image) + " " + shellQuote(dir_));
        mounted_ = r.status == 0;
    }
    ~Mount() {
        if (mounted_)
            run("umount " + shellQuote(dir_));
    }
    bool mounted() const { return mounted_; }
    const std::string& dir() const { return dir_; }

private:
    TempDir tmp_;
    std::string dir_;
    bool mounted_ = false;
};

bool canMount() {
    static const bool ok = [] {
        if (::geteuid() != 0 || !haveProgram("mkfs.erofs"))
            return false;
        TempDir t;
        fs::create_directories(t.path() / "s");
        if (run("mkfs.erofs --quiet " + shellQuote(t / "i.img") + " " + shellQuote(t / "s"))
                .status != 0)
            return false;
        return Mount(t / "i.img").mounted();
    }();
    return ok;
}

class ErofsPeers : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (::geteuid() != 0)
            return; // the tree needs devices and owners
        tree_ = new TempDir;
        makeTree(tree_->path() / "t");
    }
    static void TearDownTestSuite() {
        delete tree_;
        tree_ = nullptr;
    }
    void SetUp() override {
        if (!tree_)
            GTEST_SKIP() << "needs root to make the tree with devices and owners";
        if (!haveProgram("mkfs.erofs") || !haveProgram("fsck.erofs"))
            GTEST_SKIP() << "erofs-utils is not installed";
    }
    static std::string source() { return (tree_->path() / "t").string(); }
    static TempDir* tree_;
};

TempDir* ErofsPeers::tree_ = nullptr;

// Every form mkfs.erofs 1.5 makes, extracted by Korvane, equals fsck.erofs
// --extract's tree (contents, modes, owners, links, attributes) and the
// kernel's (with times to the nanosecond).
TEST_F(ErofsPeers, ReadsWhatMkfsMakesAsFsckAndTheKernelDo) {
    const std::string expected = statTree(source(), true);
    for (const char* options :
         {"", "-zlz4hc,9", "-zlz4 -Elegacy-compress", "-zlz4hc -C65536", "-zlz4 -C16384",
          "-zlz4hc -Eztailpacking", "--chunksize=8192", "--chunksize=4096 -Eforce-chunk-indexes",
          "-Eforce-inode-extended -Enoinline_data"}) {
        SCOPED_TRACE(std::string("mkfs.erofs ") + options);
        TempDir tmp;
        const std::string image = tmp / "e.img";
        sh(std::string("mkfs.erofs --quiet ") + options + " " + image + " " + shellQuote(source()));
        sh(cli("extract " + image + " -C " + (tmp / "korvane")));
        sh("fsck.erofs --extract=" + (tmp / "fsck") + " " + image);
        const std::string ours = statTree(tmp / "korvane", true);
        EXPECT_SAME_TREE(ours, expected);
        if (const auto other = onAnotherFilesystem(tmp.path()); other && !*options) {
            sh(cli("extract " + image + " -C " + other->string()));
            const std::string there = statTree(other->string(), true);
            fs::remove_all(*other);
            EXPECT_SAME_TREE(there, expected);
        }
        EXPECT_SAME_TREE(withoutLinksAndXattrs(ours),
                         withoutLinksAndXattrs(statTree(tmp / "fsck", true)));
        if (canMount()) {
            Mount m(image);
            ASSERT_TRUE(m.mounted());
            EXPECT_SAME_TREE(fullTree(tmp / "korvane"), fullTree(m.dir()));
        }
        auto img = loadimage(image);
        EXPECT_EQ(img->formatName(), "EROFS");
        EXPECT_TRUE(img->warnings().empty()) << img->warnings().front();
        // Ranges that start and end inside extents, read in any order, give
        // the file's bytes (a part of an extent is decoded once and kept).
        std::mt19937 rng(7);
        for (const char* path : {"text", "d/sub/deeper/mixed", "d/4097"}) {
            const Bytes want = readFile((fs::path(source()) / path).string());
            Node* n = findPath(img->root(), path);
            ASSERT_TRUE(n) << path;
            for (int i = 0; i < 40; ++i) {
                const size_t at = rng() % want.size();
                Bytes got(std::min<size_t>(1 + rng() % 70000, want.size() - at));
                ASSERT_EQ(img->ReadRange(n->entry, at, MutableByteSpan(got)), got.size());
                ASSERT_TRUE(std::equal(got.begin(), got.end(), want.begin() + at))
                    << path << " at " << at << ", " << got.size() << " bytes";
            }
        }
    }
}

// Images Korvane writes pass fsck.erofs, and fsck.erofs and the kernel read
// back the tree they were made of.
TEST_F(ErofsPeers, WrittenImagesPassFsckAndMountWithTheTree) {
    const std::string expected = fullTree(source());
    for (const char* compress : {"none", "lz4", "lz4hc,12"}) {
        SCOPED_TRACE(compress);
        TempDir tmp;
        const std::string image = tmp / "w.img";
        sh(cli("pack " + shellQuote(source()) + " " + image + " --to erofs --compress " +
               compress));
        sh("fsck.erofs " + image);
        sh("fsck.erofs --extract=" + (tmp / "fsck") + " " + image);
        EXPECT_SAME_TREE(withoutLinksAndXattrs(statTree(tmp / "fsck", true)),
                         withoutLinksAndXattrs(statTree(source(), true)));
        if (canMount()) {
            Mount m(image);
            ASSERT_TRUE(m.mounted());
            EXPECT_SAME_TREE(fullTree(m.dir()), expected);
        }
        // Korvane reads it back, and converting it keeps it as it is.
        sh(cli("convert " + image + " " + (tmp / "again.img")));
        sh(cli("extract " + (tmp / "again.img") + " -C " + (tmp / "back")));
        EXPECT_SAME_TREE(fullTree(tmp / "back"), expected);
    }
}

// Writing on one core and on several gives the same image, compressed or not
// (small files are then read ahead), and a fixed build time gives the same
// image every time.
TEST_F(ErofsPeers, ImagesAreTheSameOnAnyNumberOfCores) {
    TempDir tmp;
    fs::create_directories(tmp.path() / "s");
    for (int i = 0; i < 3; ++i)
        writeFile(tmp / ("s/f" + std::to_string(i)), patterned(2'000'000 + i * 777, i, false));
    writeFile(tmp / "s/r", patterned(1'500'000, 9, true));
    for (int i = 0; i < 20; ++i) // read ahead by the workers when not compressed
        writeFile(tmp / ("s/small" + std::to_string(i)), patterned(i * 997, i, i % 2));
    const std::string pack = cli("pack " + (tmp / "s") + " " + (tmp / "%.img") +
                                 " --to erofs --compress lz4hc --timestamp 1234567890");
    sh(std::regex_replace(pack, std::regex("%"), "a"));
    sh(std::regex_replace(pack, std::regex("%"), "c"));
    EXPECT_EQ(readFile(tmp / "a.img"), readFile(tmp / "c.img"));
    auto src = loadimage(tmp / "a.img");
    for (auto compression : {ErofsParams::kLz4hc, ErofsParams::kNone}) {
        std::vector<Bytes> images;
        for (unsigned workers : {1u, 3u}) {
            ErofsParams p;
            p.compression = compression;
            p.buildTime = 1234567890;
            p.workers = workers;
            JobReporter rep(nullptr, kFlagSave);
            ASSERT_TRUE(WriteErofsImage(*src, tmp / "b.img", p, rep));
            images.push_back(readFile(tmp / "b.img"));
        }
        EXPECT_EQ(images[0], images[1]);
        sh("fsck.erofs " + (tmp / "b.img"));
    }
}

// Damaged images (bytes flipped in the metadata and cluster indexes, cut
// short) open or are refused with a message, and every object's contents
// read or fail with one: nothing crashes, loops or grows without bound.
TEST_F(ErofsPeers, DamagedImagesStayBounded) {
    for (const char* options : {"-zlz4hc", "-zlz4 -C16384", "-zlz4hc -Eztailpacking", ""}) {
        SCOPED_TRACE(options);
        TempDir tmp;
        const std::string image = tmp / "e.img";
        sh(std::string("mkfs.erofs --quiet ") + options + " " + image + " " + shellQuote(source()));
        const Bytes good = readFile(image);
        std::mt19937 rng(42);
        for (int round = 0; round < 80; ++round) {
            Bytes bad = good;
            const int flips = 1 + static_cast<int>(rng() % 8);
            for (int k = 0; k < flips; ++k) {
                // Mostly the first blocks, where the superblock, inodes and
                // indexes lie.
                const size_t span = rng() % 4 ? std::min<size_t>(bad.size(), 16384) : bad.size();
                bad[rng() % span] = static_cast<std::byte>(rng());
            }
            if (round % 10 == 9)
                bad.resize(rng() % bad.size());
            try {
                auto img = openBytes(ImageData::fromBytes(std::move(bad)), nullptr);
                Bytes buf(64 << 10);
                forEachPreorder(img->root(), [&](Node* n) {
                    try {
                        forEachData(*img, n->entry, buf, [](uint64_t, ByteSpan) { return true; });
                    } catch (const Error&) {
                    }
                });
            } catch (const Error&) {
            }
        }
    }
}

// The walk trusts a dirent's type only for not going into the entry at once:
// a folder typed as a file is still walked, and a file type cannot hide a
// loop, a second name of a folder or an inode outside the image.
TEST(ErofsWalk, DirentsThatDisagreeWithTheirInodes) {
    if (!haveProgram("mkfs.erofs"))
        GTEST_SKIP() << "erofs-utils is not installed";
    TempDir tmp;
    fs::create_directories(tmp.path() / "t/a");
    for (const char* f : {"a/x", "f", "g", "h"})
        writeFile((tmp.path() / "t" / f).string(), f);
    sh("mkfs.erofs --quiet " + (tmp / "e.img") + " " + (tmp / "t"));
    const Bytes good = readFile(tmp / "e.img");
    auto open = [](Bytes b) { return openBytes(ImageData::fromBytes(std::move(b)), nullptr); };
    auto listing = [](Timg& img) {
        std::string out;
        forEachPreorder(img.root(),
                        [&](Node* n) { out += pathFromRoot(n) + (n->isDirectory() ? "/ " : " "); });
        return out;
    };
    auto original = open(good);
    const auto& sb = dynamic_cast<Terofsobj&>(*original).superblock();
    const uint64_t rootAt = sb.inodeOffset(sb.rootNid);
    const erofs::Inode root = erofs::decodeInode(sb.rootNid, ByteSpan(good).subspan(rootAt), sb);
    ASSERT_LE(root.size, sb.blockSize);
    const size_t dir =
        root.layout == erofs::kFlatInline ? root.bodyEnd(sb) : uint64_t{root.u} << sb.blockBits;
    // The offset of the root's dirent called name.
    auto dirent = [&](const std::string& name) -> size_t {
        const size_t count = load16(good.data() + dir + 8) / 12;
        for (size_t i = 0; i < count; ++i) {
            const size_t from = load16(good.data() + dir + i * 12 + 8);
            const size_t to = i + 1 < count ? load16(good.data() + dir + i * 12 + 20) : root.size;
            if (std::string(reinterpret_cast<const char*>(good.data() + dir + from), to - from)
                    .c_str() == name)
                return dir + i * 12;
        }
        ADD_FAILURE() << name;
        return 0;
    };
    const uint64_t folderNid = load64(good.data() + dirent("a"));
    struct Case {
        const char* what;
        std::vector<std::pair<const char*, uint64_t>> nids; // dirent, nid given
        const char* typedAsFile;
        std::string tree;
        std::vector<std::string> warnings;
    };
    const std::string whole = listing(*original);
    const Case cases[] = {
        {"a folder typed as a file", {}, "a", whole, {}},
        {"a file naming the root",
         {{"f", sb.rootNid}},
         nullptr,
         "/ a/ a/x g h ",
         {"/f: names directory / a second time; left out"}},
        {"a file naming a folder",
         {{"g", folderNid}},
         nullptr,
         "/ a/ a/x f h ",
         {"/g: names directory /a a second time; left out"}},
        {"two files naming an inode outside the image",
         {{"f", uint64_t{1} << 40}, {"h", uint64_t{1} << 40}},
         nullptr,
         "/ a/ a/x g ",
         {"/f: inode 1099511627776 lies outside the image; left out",
          "/h: names an object that cannot be read; left out"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes bad = good;
        for (const auto& [name, nid] : c.nids)
            store64(bad.data() + dirent(name), nid);
        if (c.typedAsFile)
            bad[dirent(c.typedAsFile) + 10] = std::byte{erofs::kFtRegular};
        auto img = open(std::move(bad));
        EXPECT_EQ(listing(*img), c.tree);
        // The root's entries lie in the superblock's block, which its
        // checksum covers.
        std::vector<std::string> warnings = img->warnings();
        std::erase(warnings, "the EROFS superblock fails its checksum");
        EXPECT_EQ(warnings, c.warnings);
    }
}

// What EROFS cannot hold is refused before a byte is written, naming it.
TEST(ErofsWriter, RefusesWhatTheFormatCannotHold) {
    TempDir tmp;
    fs::create_directories(tmp.path() / "s");
    writeFile(tmp / "s/f", "x");
    sh("setfattr -n user.long -v " + std::string(60000, 'v') + " " + (tmp / "s/f") +
       " 2>/dev/null || true");
    CommandResult r =
        run(cli("pack " + (tmp / "s") + " " + (tmp / "o.img") + " --to erofs --compress zstd"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("--compress"), std::string::npos) << r.err;
    r = run(cli("pack " + (tmp / "s") + " " + (tmp / "o.img") + " --to erofs --block-size 1024"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("4096"), std::string::npos) << r.err;
    r = run(cli("pack " + (tmp / "s") + " " + (tmp / "o.img") +
                " --to erofs --label seventeen-bytes!!"));
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(fs::exists(tmp / "o.img"));
}

} // namespace
