#include "squashfs_testutil.h"

#include "model/tree.h"
#include "support/yaffs2_builder.h"
#include "transfer/extract.h"
#include "transfer/loadimage.h"

#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace korvane::test {

namespace {

void must(bool ok, const std::string& what) {
    if (!ok)
        throw std::runtime_error(what);
}

void setTime(const std::string& path, int64_t t) {
    const timespec times[2] = {{t, 0}, {t, 0}};
    must(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0, "utimensat " + path);
}

void setXattr(const std::string& path, const std::string& name, const std::string& value) {
    must(::lsetxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) == 0,
         "lsetxattr " + name + " on " + path);
}

Bytes text(size_t size, uint32_t seed) {
    std::string words = "squashfs block fragment inode folder table " + std::to_string(seed) + " ";
    Bytes out(size);
    for (size_t i = 0; i < size; ++i)
        out[i] = static_cast<std::byte>(words[(i * 7 + i / 97) % words.size()]);
    return out;
}

void makeSocket(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    must(fd >= 0 && path.size() < sizeof addr.sun_path, "socket " + path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    must(bound, "bind " + path);
}

std::string utcMinute(int64_t t) {
    const std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    gmtime_r(&tt, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tm);
    return buf;
}

char typeChar(uint32_t mode) {
    switch (mode & kModeTypeMask) {
    case kModeDirectory:
        return 'd';
    case kModeSymlink:
        return 'l';
    case kModeCharDevice:
        return 'c';
    case kModeBlockDevice:
        return 'b';
    case kModeFifo:
        return 'p';
    case kModeSocket:
        return 's';
    default:
        return '-';
    }
}

// The nine letters of ls -l, with s/S, s/S and t/T for the special bits.
std::string lsPermissions(uint32_t mode) {
    std::string s = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i)
        if (!(mode & (0400u >> i)))
            s[static_cast<size_t>(i)] = '-';
    auto special = [&](size_t at, uint32_t bit, char set) {
        if (mode & bit)
            s[at] = s[at] == 'x' ? set : static_cast<char>(std::toupper(set));
    };
    special(2, 04000, 's');
    special(5, 02000, 's');
    special(8, 01000, 't');
    return s;
}

} // namespace

void makeSampleTree(const std::string& dir, uint32_t seed) {
    namespace fs = std::filesystem;
    const bool root = ::geteuid() == 0;
    fs::create_directories(dir + "/etc/init");
    fs::create_directories(dir + "/lib/modules");
    fs::create_directories(dir + "/many");
    fs::create_directories(dir + "/empty");
    writeFile(dir + "/empty.txt", "");
    writeFile(dir + "/etc/hosts", "127.0.0.1 localhost\n");
    writeFile(dir + "/etc/init/rc.conf", text(5000 + seed, seed));
    writeFile(dir + "/lib/random.bin", pattern(300000, seed));
    writeFile(dir + "/lib/block.bin", pattern(131072, seed + 1));
    writeFile(dir + "/lib/page.bin", pattern(4096, seed + 2));
    writeFile(dir + "/lib/modules/big.ko", text(400000, seed));
    writeFile(dir + "/lib/copy.ko", text(400000, seed)); // a duplicate of big.ko
    // Holes: 1 MiB of nothing, 64 KiB of data, 2 MiB of nothing.
    {
        const std::string path = dir + "/lib/sparse.img";
        const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        const Bytes data = pattern(65536, seed + 3);
        must(fd >= 0 && ::pwrite(fd, data.data(), data.size(), 1 << 20) == 65536 &&
                 ::ftruncate(fd, (1 << 20) + 65536 + (2 << 20)) == 0,
             "sparse file");
        ::close(fd);
    }
    for (int i = 0; i < 300; ++i) // more than one folder header holds
        writeFile(dir + "/many/f" + std::to_string(1000 + i) + ".dat",
                  text(static_cast<size_t>(i * 37 % 900), seed + static_cast<uint32_t>(i)));
    writeFile(dir + "/中文名.txt", "utf-8 name\n");
    writeFile(dir + "/" + std::string(255, 'n'), "longest name\n");
    fs::create_hard_link(dir + "/etc/hosts", dir + "/lib/hosts.link");
    fs::create_hard_link(dir + "/etc/hosts", dir + "/many/hosts.link");
    fs::create_symlink("../etc/hosts", dir + "/lib/hosts.sym");
    std::string longTarget;
    while (longTarget.size() < 1000)
        longTarget += "/a-long-way";
    fs::create_symlink(longTarget, dir + "/long.sym");
    must(::mkfifo((dir + "/fifo").c_str(), 0640) == 0, "mkfifo");
    makeSocket(dir + "/sock");
    ::chmod((dir + "/etc/hosts").c_str(), 04755);
    ::chmod((dir + "/lib/page.bin").c_str(), 02711);
    ::chmod((dir + "/empty").c_str(), 01777);
    ::chmod((dir + "/etc/init").c_str(), 0700);
    setXattr(dir + "/etc/hosts", "user.comment", "the hosts");
    setXattr(dir + "/lib/random.bin", "user.binary", std::string("a\0b\xff", 4));
    setXattr(dir + "/lib/random.bin", "user.big", std::string(3000, 'x'));
    setXattr(dir + "/etc", "security.selinux", "u:object_r:system_file:s0");
    setXattr(dir + "/lib/modules/big.ko", "security.selinux", "u:object_r:system_file:s0");
    if (root) {
        must(::mknod((dir + "/console").c_str(), S_IFCHR | 0600, makedev(5, 1)) == 0, "mknod");
        must(::mknod((dir + "/sda1").c_str(), S_IFBLK | 0660, makedev(8, 1)) == 0, "mknod");
        must(::mknod((dir + "/wide").c_str(), S_IFCHR | 0600, makedev(300, 70000)) == 0, "mknod");
        must(::lchown((dir + "/etc/init/rc.conf").c_str(), 1000, 1000) == 0, "chown");
        must(::lchown((dir + "/lib/hosts.sym").c_str(), 65534, 100) == 0, "chown");
        must(::lchown((dir + "/lib/modules").c_str(), 123456, 654321) == 0, "chown");
        setXattr(dir + "/lib/block.bin", "trusted.mark", "t");
    }
    // Times last, deepest first: making entries changes their folders' times.
    std::vector<std::string> paths;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator();
         ++it)
        paths.push_back(it->path().string());
    std::sort(paths.rbegin(), paths.rend());
    int64_t t = 1700000000 + seed * 1000;
    for (const std::string& p : paths)
        setTime(p, t += 61);
    setTime(dir, t + 61);
}

void mksquashfs(const std::string& dir, const std::string& image, const std::string& args) {
    const CommandResult r = run("mksquashfs " + shellQuote(dir) + " " + shellQuote(image) +
                                " -noappend -quiet -no-progress " + args);
    ASSERT_EQ(r.status, 0) << r.err << r.out;
}

std::string peerListing(const std::string& image) {
    const CommandResult r = run("TZ=UTC unsquashfs -lln " + shellQuote(image));
    EXPECT_EQ(r.status, 0) << r.err;
    std::map<std::string, std::string> lines;
    std::istringstream in(r.out);
    std::string line;
    const std::string rootName = "squashfs-root";
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string mode, owner, size, date, time;
        f >> mode >> owner >> size;
        if (mode.empty() || (mode[0] != 'd' && mode[0] != '-' && mode[0] != 'l' && mode[0] != 'c' &&
                             mode[0] != 'b' && mode[0] != 'p' && mode[0] != 's'))
            continue;
        if (size.back() == ',') { // a device: "MAJOR, MINOR"
            std::string minor;
            f >> minor;
            size += minor;
        }
        f >> date >> time;
        std::string path;
        std::getline(f, path);
        path.erase(0, path.find_first_not_of(' '));
        if (path == rootName)
            continue;
        path.erase(0, rootName.size());
        const size_t arrow = path.find(" -> ");
        const std::string name = arrow == std::string::npos ? path : path.substr(0, arrow);
        lines[name] = path + " " + mode + " " + owner + " " + size + " " + date + " " + time;
    }
    std::string out;
    for (const auto& [name, text] : lines)
        out += text + "\n";
    return out;
}

std::string korvaneListing(Timg& img) {
    std::map<std::string, std::string> lines;
    forEachPreorder(img.root(), [&](Node* n) {
        if (n == img.root())
            return;
        const TImgEntry& e = n->entry;
        const std::string path = "/" + pathFromRoot(n);
        const uint32_t type = fileTypeBits(e);
        // unsquashfs -lln splits the stored device word at its low byte.
        const uint32_t dev = encodeNewDev(e.rdev);
        std::string size = type == kModeCharDevice || type == kModeBlockDevice
                               ? std::to_string(dev >> 8) + "," + std::to_string(dev & 0xFF)
                               : std::to_string(e.size);
        std::string line = path;
        if (type == kModeSymlink)
            line += " -> " + e.alias;
        line += std::string(" ") + typeChar(type) + lsPermissions(e.mode) + " " +
                std::to_string(e.uid) + "/" + std::to_string(e.gid) + " " + size + " " +
                utcMinute(e.mtime);
        lines[path] = line;
    });
    std::string out;
    for (const auto& [name, text] : lines)
        out += text + "\n";
    return out;
}

std::unique_ptr<Timg> openImageFile(const std::string& path) {
    return loadimage(path);
}

void extractAll(Timg& img, const std::string& dir) {
    std::vector<uint32_t> ids;
    for (const auto& c : img.root()->children)
        ids.push_back(c->entry.objId);
    std::filesystem::create_directories(dir);
    const ExtractResult r = outfiles(img, ids, dir);
    for (const SkippedObject& s : r.skipped)
        ADD_FAILURE() << s.line().english();
}

void unsquashfs(const std::string& image, const std::string& dir) {
    const CommandResult r =
        run("unsquashfs -no-progress -q -d " + shellQuote(dir) + " " + shellQuote(image));
    ASSERT_EQ(r.status, 0) << r.err << r.out;
}

LoopMount::LoopMount(const std::string& image, const std::string& dir) : dir_(dir) {
    std::filesystem::create_directories(dir);
    const CommandResult r =
        run("mount -t squashfs -o loop,ro " + shellQuote(image) + " " + shellQuote(dir) + " 2>&1");
    ok_ = r.status == 0;
    error_ = r.out + r.err;
}

LoopMount::~LoopMount() {
    if (ok_)
        run("umount " + shellQuote(dir_));
}

} // namespace korvane::test
