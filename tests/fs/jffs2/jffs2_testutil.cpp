#include "jffs2_testutil.h"

#include "support/testutil.h"
#include "support/yaffs2_builder.h"
#include "transfer/extract.h"
#include "transfer/loadimage.h"

#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace korvane::test {

namespace fs = std::filesystem;

namespace {

// Text that compresses as firmware text does: words that repeat.
Bytes words(size_t size, uint32_t seed) {
    static const char* kWords[] = {"service ", "class ", "main\n", "user ",    "system ",
                                   "group ",   "on ",    "boot\n", "setprop ", "/dev/block "};
    std::string s;
    uint32_t x = seed * 2654435761u + 7;
    while (s.size() < size) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s += kWords[x % 10];
    }
    s.resize(size);
    return bytesOf(s);
}

void mustRun(const std::string& cmd) {
    const CommandResult r = run(cmd);
    if (r.status != 0)
        throw std::runtime_error(cmd + ": " + r.err);
}

} // namespace

void makeJffs2Source(const std::string& dir, uint32_t seed, SourceKinds kinds) {
    const fs::path d = dir;
    fs::create_directories(d / "etc/init" / "深 层");
    fs::create_directories(d / "private");
    const size_t sizes[] = {1, 100, 4095, 4096, 4097, 8192 + 13, 70000, 300000};
    for (size_t k = 0; k < std::size(sizes); ++k) {
        const size_t size = sizes[k] + (seed * 37 + k * 11) % 97;
        const std::string name = "file" + std::to_string(k) + (k % 2 ? ".txt" : ".bin");
        writeFile((d / (k % 3 ? "etc" : "etc/init") / name).string(),
                  k % 2 ? words(size, seed + static_cast<uint32_t>(k))
                        : pattern(size, seed + static_cast<uint32_t>(k)));
    }
    writeFile((d / "empty").string(), Bytes{});
    writeFile((d / "etc/init/深 层/名 字.rc").string(), words(5000 + seed, seed));
    writeFile((d / "private/secret").string(), words(700, seed + 1));
    fs::create_symlink("etc/file1.txt", d / "link");
    fs::create_symlink(std::string(254, 'x'), d / "etc/long-link");
    fs::create_hard_link(d / "etc/file1.txt", d / "private/hard");
    mustRun("mkfifo " + shellQuote((d / "fifo").string()));
    if (kinds.devices) {
        ::mknod((d / "null").c_str(), S_IFCHR | 0666, makedev(1, 3));
        ::mknod((d / "sda").c_str(), S_IFBLK | 0660, makedev(8, 0));
    }
    ::chmod((d / "private").c_str(), 0711);
    ::chmod((d / "etc/file3.txt").c_str(), 04755);
    ::chmod((d / "private/secret").c_str(), 0600);
    ::lchown((d / "private/secret").c_str(), 1000, 1000);
    ::lchown((d / "etc/init").c_str(), 1000, 2000);
    if (kinds.xattrs) {
        mustRun("setfattr -n user.comment -v 'hello " + std::to_string(seed) + "' " +
                shellQuote((d / "etc/file1.txt").string()));
        mustRun("setfattr -n security.selinux -v u:object_r:system_file:s0 " +
                shellQuote((d / "etc").string()));
        if (haveProgram("setfacl"))
            mustRun("setfacl -m u:1000:rw " + shellQuote((d / "etc/file5.txt").string()));
    }
    mustRun("find " + shellQuote(dir) + " -exec touch -h -d @" + std::to_string(kSourceTime) +
            " {} + && find " + shellQuote(dir) + " -type f -exec cat {} + >/dev/null");
}

void mkfsJffs2(const std::string& src, const std::string& image, const std::string& options) {
    mustRun("mkfs.jffs2 -r " + shellQuote(src) + " -o " + shellQuote(image) + " " + options);
}

std::unique_ptr<Timg> openFile(const std::string& path) {
    return loadimage(path);
}

std::string extractedTree(Timg& img, const std::string& folder) {
    const ExtractResult r = outfiles(img, {img.root()->entry.objId}, folder);
    if (!r.skipped.empty())
        throw std::runtime_error("extraction skipped " + r.skipped.front().line().english());
    return statTree(folder, true);
}

} // namespace korvane::test
