// korvane-cli edit, extract --tar and pack from archives and device tables,
// run as an ordinary user where the issue asks for it and checked through
// the peers (unyaffs, debugfs, GNU tar).
#include "support/testutil.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <regex>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
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

// Runs args as an ordinary user when the tests run as root.
std::string asUser(const std::string& args) {
    return root() ? "setpriv --reuid 65534 --regid 65534 --clear-groups " + cli(args) : cli(args);
}

// A folder every user may write into.
struct SharedDir : TempDir {
    SharedDir() { ::chmod(path().c_str(), 0777); }
};

// "KIND PERM UID:GID [MAJOR:MINOR] [nN] [CONTENT]" of an object on disk.
std::string diskFacts(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return "missing";
    char buf[96];
    const char kind = S_ISDIR(st.st_mode)   ? 'd'
                      : S_ISREG(st.st_mode) ? 'f'
                      : S_ISLNK(st.st_mode) ? 'l'
                      : S_ISCHR(st.st_mode) ? 'c'
                      : S_ISBLK(st.st_mode) ? 'b'
                                            : 'p';
    std::snprintf(buf, sizeof buf, "%c %04o %u:%u", kind, st.st_mode & 07777, st.st_uid, st.st_gid);
    std::string f = buf;
    if (kind == 'c' || kind == 'b')
        f += " " + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    if (kind == 'f') {
        f += " n" + std::to_string(st.st_nlink) + " " + toString(readFile(path));
    } else if (kind == 'l') {
        std::string t(4096, '\0');
        t.resize(
            static_cast<size_t>(std::max<ssize_t>(::readlink(path.c_str(), t.data(), 4096), 0)));
        f += " " + t;
    }
    return f;
}

// The same facts of an object in an EXT image, as debugfs reports them.
std::string extFacts(const std::string& image, const std::string& path) {
    const std::string out =
        run("debugfs -R " + shellQuote("stat " + path) + " " + shellQuote(image) + " 2>/dev/null")
            .out;
    std::smatch m;
    if (!std::regex_search(out, m, std::regex("Type: (\\w+)[^\n]*Mode: +0*([0-7]+)")))
        return "missing";
    const std::string type = m[1];
    const char kind = type == "directory"   ? 'd'
                      : type == "regular"   ? 'f'
                      : type == "symlink"   ? 'l'
                      : type == "character" ? 'c'
                      : type == "block"     ? 'b'
                                            : 'p';
    char buf[96];
    std::snprintf(buf, sizeof buf, "%c %04o", kind,
                  static_cast<unsigned>(std::stoul(m[2].str(), nullptr, 8)));
    std::string f = buf;
    std::regex_search(out, m, std::regex("User: +(\\d+) +Group: +(\\d+)"));
    f += " " + m[1].str() + ":" + m[2].str();
    if (std::regex_search(out, m, std::regex("Device major/minor number: 0*(\\d+):0*(\\d+)")))
        f += " " + m[1].str() + ":" + m[2].str();
    if (kind == 'f') {
        std::regex_search(out, m, std::regex("Links: (\\d+)"));
        f += " n" + m[1].str() + " " +
             run("debugfs -R " + shellQuote("cat " + path) + " " + shellQuote(image) +
                 " 2>/dev/null")
                 .out;
    } else if (kind == 'l' && std::regex_search(out, m, std::regex("link dest: \"(.*)\""))) {
        f += " " + m[1].str();
    }
    return f;
}

int64_t mtimeOf(const std::string& image, const std::string& path) {
    nlohmann::json j = nlohmann::json::parse(
        run(cli("ls --json " + shellQuote(image) + " " + shellQuote(path))).out);
    return j.empty() ? INT64_MIN : j[0]["mtime"].get<int64_t>();
}

TEST(EditCli, ScriptWithEveryCommandCheckedByThePeers) {
    SharedDir dir;
    const std::string base = dir / "base", add = dir / "add";
    std::filesystem::create_directories(base + "/olddir");
    std::filesystem::create_directories(base + "/d");
    std::filesystem::create_directories(add + "/dir");
    std::filesystem::create_directories(add + "/other");
    writeFile(base + "/old.txt", "old");
    writeFile(base + "/olddir/x", "x");
    writeFile(base + "/h1", "linked");
    ASSERT_EQ(::link((base + "/h1").c_str(), (base + "/h2").c_str()), 0);
    ASSERT_EQ(::link((base + "/h1").c_str(), (base + "/d/h3").c_str()), 0);
    writeFile(add + "/file.txt", "new");
    writeFile(add + "/dir/inner.txt", "inner");
    writeFile(add + "/other/file.txt", "other");
    writeFile(add + "/keep.txt", "keep");
    const std::string keepOwner =
        root() ? "123:456" : std::to_string(::getuid()) + ":" + std::to_string(::getgid());
    if (root()) {
        ASSERT_EQ(::chown((add + "/keep.txt").c_str(), 123, 456), 0);
    }
    const std::string script = dir / "script.txt";
    writeFile(script, "# every command of korvane-cli edit\n"
                      "mkdir -p /a/b/c\n"
                      "mkdir -m 0700 /private\n"
                      "mkdir /dev\n"
                      "add '" +
                          add + "/file.txt' " + add +
                          "/dir /a\n"
                          "add -p " +
                          add +
                          "/keep.txt /a\n"
                          "add --force " +
                          add +
                          "/other/file.txt /a\n"
                          "add --no-clobber " +
                          add +
                          "/file.txt /a\n"
                          "rm /old.txt\n"
                          "rm -r /olddir\n"
                          "rm /h1   # the file lives on in h2 and d/h3\n"
                          "mv /a/file.txt \"/a/b/renamed.txt\"\n"
                          "chmod -R go-rwx /a/b\n"
                          "chmod -r /a/dir/inner.txt\n"
                          "chmod 4755 /a/keep.txt\n"
                          "chown -R 1000:2000 /a/b\n"
                          "chown 100000:70000 /private\n"
                          "ln -s ../keep.txt /a/b/sym\n"
                          "ln /a/keep.txt /a/keep2.txt\n"
                          "mknod /dev/tty0 c 4 0\n"
                          "mknod -m 0600 /dev/sda b 8 0\n"
                          "mknod /dev/fifo p\n"
                          "touch -d '2001-02-03 04:05:06Z' /a/keep.txt\n"
                          "touch -d @1000000000 /stamp\n"
                          "setfattr -n user.note -v hello /a/keep.txt\n"
                          "setfattr -n user.gone -v x /a/keep.txt\n"
                          "setfattr -x user.gone \\\n"
                          "    /a/keep.txt\n");
    const std::pair<const char*, std::string> expected[] = {
        {"/a/b", "d 0700 1000:2000"},
        {"/a/b/c", "d 0700 1000:2000"},
        {"/a/b/renamed.txt", "f 0600 1000:2000 n1 other"},
        {"/a/b/sym", "l 0777 0:0 ../keep.txt"},
        {"/a/keep2.txt", "f 4755 " + keepOwner + " n2 keep"},
        {"/a/keep.txt", "f 4755 " + keepOwner + " n2 keep"},
        {"/a/dir/inner.txt", "f 0200 0:0 n1 inner"},
        {"/private", "d 0700 100000:70000"},
        {"/dev/tty0", "c 0644 0:0 4:0"},
        {"/dev/sda", "b 0600 0:0 8:0"},
        {"/dev/fifo", "p 0644 0:0"},
        {"/stamp", "f 0644 0:0 n1 "},
        {"/h2", "f 0644 0:0 n2 linked"},
        {"/d/h3", "f 0644 0:0 n2 linked"},
        {"/h1", "missing"},
        {"/old.txt", "missing"},
        {"/olddir", "missing"},
    };
    for (const char* format : {"yaffs2", "ext2"}) {
        SCOPED_TRACE(format);
        const std::string image = dir / (std::string("img.") + format);
        CommandResult r = run(cli("pack " + shellQuote(base) + " " + shellQuote(image) + " --to " +
                                  format + " --owner 0:0"));
        ASSERT_EQ(r.status, 0) << r.err;
        ::chmod(image.c_str(), 0666);
        r = run(asUser("edit " + shellQuote(image) + " -f " + shellQuote(script)));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(mtimeOf(image, "/a/keep.txt"), 981173106);
        EXPECT_EQ(mtimeOf(image, "/stamp"), 1000000000);
        if (std::string(format) == "ext2") {
            EXPECT_EQ(run("e2fsck -fn " + shellQuote(image)).status, 0);
            for (const auto& [path, facts] : expected)
                EXPECT_EQ(extFacts(image, path), facts) << path;
        } else if (root()) { // unyaffs gives owners and makes devices only as root
            const std::string out = dir / "unyaffs";
            std::filesystem::create_directories(out);
            r = run("cd " + shellQuote(out) + " && unyaffs " + shellQuote(image));
            ASSERT_EQ(r.status, 0) << r.err;
            for (const auto& [path, facts] : expected)
                EXPECT_EQ(diskFacts(out + path), facts) << path;
            // YAFFS2 headers hold extended attributes: Korvane's extraction
            // sets them.
            const std::string x = dir / "x";
            ASSERT_EQ(run(cli("extract " + shellQuote(image) + " /a -C " + shellQuote(x))).status,
                      0);
            char value[16] = {};
            EXPECT_EQ(::getxattr((x + "/a/keep.txt").c_str(), "user.note", value, sizeof value), 5);
            EXPECT_STREQ(value, "hello");
            EXPECT_LT(::getxattr((x + "/a/keep.txt").c_str(), "user.gone", value, sizeof value), 0);
        }
    }
}

TEST(EditCli, AFailingLineSavesNothing) {
    SharedDir dir;
    std::filesystem::create_directories(dir / "src/etc");
    writeFile(dir / "src/etc/hosts", "h");
    const std::string image = dir / "img";
    ASSERT_EQ(
        run(cli("pack " + shellQuote(dir / "src") + " " + shellQuote(image) + " --to ext2")).status,
        0);
    const Bytes before = readFile(image);
    const struct {
        const char* script;
        const char* where;
    } cases[] = {
        {"mkdir /new\nrm -r /etc\nchmod 999 /new\n", "s.txt:3: not a mode: 999"},
        {"mkdir /new\n\n\nmv /nothing /x\n",
         "s.txt:4: no such file or folder in the image: /nothing"},
        {"mkdir /new\necho 'unclosed\n", "s.txt:2: the quote (') is never closed"},
        {"mkdir /new\nformat /\n", "s.txt:2: unknown command format"},
        {"mknod /d c 1\n", "s.txt:1: mknod: a device needs MAJOR and MINOR"},
    };
    for (const auto& c : cases) {
        writeFile(dir / "s.txt", c.script);
        CommandResult r =
            run("cd " + shellQuote(dir.path().string()) + " && " +
                cli("edit " + shellQuote(image) + " -f s.txt -o " + shellQuote(dir / "out")));
        EXPECT_EQ(r.status, 1) << c.script;
        EXPECT_NE(r.err.find(c.where), std::string::npos) << r.err;
        EXPECT_FALSE(std::filesystem::exists(dir / "out"));
        r = run("cd " + shellQuote(dir.path().string()) + " && " +
                cli("edit " + shellQuote(image) + " -f s.txt"));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(readFile(image), before) << c.script;
    }
    // -e commands are named by their place.
    CommandResult r = run(cli("edit " + shellQuote(image) + " -e 'mkdir /x' -e 'rm /etc'"));
    EXPECT_NE(r.err.find("-e 2: /etc is a folder"), std::string::npos) << r.err;
    EXPECT_EQ(readFile(image), before);
}

TEST(EditCli, TouchTakesTheTimesTouchTakes) {
    TempDir dir;
    std::filesystem::create_directories(dir / "src");
    writeFile(dir / "src/f", "");
    const std::string image = dir / "img", out = dir / "out";
    ASSERT_EQ(
        run(cli("pack " + shellQuote(dir / "src") + " " + shellQuote(image) + " --to ext2")).status,
        0);
    const struct {
        const char* tz;
        const char* time;
        int64_t expected;
    } cases[] = {
        {"CST-8", "2020-01-01 08:00:00", 1577836800},
        {"UTC0", "2020-01-01", 1577836800},
        {"CST-8", "2020-01-01T00:00:00Z", 1577836800},
        {"UTC0", "2020-01-01 08:00+08:00", 1577836800},
        {"UTC0", "@-1", -1},
        {"UTC0", "1969-12-31 23:59:59.5Z", -1},
    };
    for (const auto& c : cases) {
        CommandResult r = run("TZ=" + std::string(c.tz) + " " +
                              cli("edit " + shellQuote(image) + " -o " + shellQuote(out) + " -e " +
                                  shellQuote(std::string("touch -d '") + c.time + "' /f")));
        ASSERT_EQ(r.status, 0) << c.time << r.err;
        EXPECT_EQ(mtimeOf(out, "/f"), c.expected) << c.time;
    }
    CommandResult r = run(cli("edit " + shellQuote(image) + " -o " + shellQuote(out) +
                              " -e 'touch -d yesterday /f'"));
    EXPECT_EQ(r.status, 1);
}

TEST(EditCli, SemicolonsDatesRecursiveModesAndAcls) {
    if (!root() || !haveProgram("setfacl"))
        GTEST_SKIP() << "needs root and setfacl to extract the ACL as it is";
    TempDir dir;
    const std::string src = dir / "src";
    std::filesystem::create_directories(src + "/d");
    writeFile(src + "/d/f", "f");
    ASSERT_EQ(::symlink("f", (src + "/d/l").c_str()), 0);
    writeFile(src + "/acl", "acl");
    ASSERT_EQ(run("setfacl -m u:1234:r-x,g::r--,m::rwx,o::r-- " + shellQuote(src + "/acl")).status,
              0);
    const std::string image = dir / "img", out = dir / "out";
    ASSERT_EQ(run(cli("pack " + shellQuote(src) + " " + shellQuote(image) + " --to ext4")).status,
              0);
    writeFile(dir / "s.txt", "touch -d 2020-02-29Z /d/f;touch -c /none ; mkdir '/x;y' /a\\;b\n");
    CommandResult r =
        run(cli("edit " + shellQuote(image) + " -o " + shellQuote(out) +
                " -e 'chmod -R 0700 /d;chmod 0640 /acl' -f " + shellQuote(dir / "s.txt")));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string ls = run(cli("ls -lR " + shellQuote(out))).out;
    EXPECT_NE(ls.find("lrwxrwxrwx     0     0          1 "), std::string::npos) << ls;
    EXPECT_NE(ls.find("-rwx------     0     0          1 2020-02-29T00:00:00Z /d/f"),
              std::string::npos)
        << ls;
    EXPECT_NE(ls.find(" /x;y\n"), std::string::npos) << ls;
    EXPECT_NE(ls.find(" /a;b\n"), std::string::npos) << ls;
    // The kernel sets the mode from the ACL when extraction sets the ACL: an
    // ACL left as it was would give the old rights back.
    ASSERT_EQ(run(cli("extract " + shellQuote(out) + " /acl -C " + shellQuote(dir / "x"))).status,
              0);
    struct stat st {};
    ASSERT_EQ(::stat((dir / "x/acl").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    const std::string acl = run("getfacl -cp " + shellQuote(dir / "x/acl")).out;
    EXPECT_EQ(acl, "user::rw-\nuser:1234:r-x\t#effective:r--\ngroup::r--\nmask::r--\n"
                   "other::---\n\n");

    for (const char* bad : {"touch -d 2020-02-31 /d/f", "touch -d '2019-02-29 10:00' /d/f",
                            "mkdir /q; ; mkdir /r", "; mkdir /r"}) {
        r = run(cli("edit " + shellQuote(image) + " -o " + shellQuote(dir / "bad") + " -e " +
                    shellQuote(bad)));
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_FALSE(std::filesystem::exists(dir / "bad")) << bad;
    }
    EXPECT_NE(r.err.find("-e 1: \";\" without a command before it"), std::string::npos) << r.err;
}

// A root filesystem tree: devices, a FIFO, hard links across folders, a
// symbolic link, extended attributes, 32-bit owners, a file with holes.
void makeRootfs(const std::string& top) {
    std::filesystem::create_directories(top + "/dev");
    std::filesystem::create_directories(top + "/bin");
    std::filesystem::create_directories(top + "/usr/lib");
    writeFile(top + "/bin/busybox", std::string(10000, 'b'));
    ::chmod((top + "/bin/busybox").c_str(), 04755);
    ASSERT_EQ(::link((top + "/bin/busybox").c_str(), (top + "/bin/sh").c_str()), 0);
    ASSERT_EQ(::link((top + "/bin/busybox").c_str(), (top + "/usr/lib/ls").c_str()), 0);
    ASSERT_EQ(::symlink("../bin/busybox", (top + "/usr/cat").c_str()), 0);
    ASSERT_EQ(::mknod((top + "/dev/console").c_str(), S_IFCHR | 0600, makedev(5, 1)), 0);
    ASSERT_EQ(::mknod((top + "/dev/mmcblk0").c_str(), S_IFBLK | 0660, makedev(179, 0)), 0);
    ASSERT_EQ(::mkfifo((top + "/dev/initctl").c_str(), 0600), 0);
    writeFile(top + "/usr/lib/data", "data");
    ASSERT_EQ(::chown((top + "/usr/lib/data").c_str(), 100000, 70000), 0);
    ASSERT_EQ(::setxattr((top + "/usr/lib/data").c_str(), "user.mime", "text", 4, 0), 0);
    ASSERT_EQ(::setxattr((top + "/bin/busybox").c_str(), "security.test", "\1\0\0\2", 4, 0), 0);
    int fd = ::open((top + "/usr/lib/sparse").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "end", 3, 3 << 20), 3);
    ::close(fd);
    ::chmod(top.c_str(), 0755);
}

TEST(TarCli, PackOfAGnuTarAsAnOrdinaryUserEqualsPackOfTheFolderAsRoot) {
    if (!root() || !haveProgram("setpriv"))
        GTEST_SKIP() << "needs root to make the tree with devices and owners";
    SharedDir dir;
    const std::string src = dir / "rootfs", tarball = dir / "rootfs.tar.xz";
    makeRootfs(src);
    CommandResult r = run("tar --format=pax --xattrs --xattrs-include='*' --numeric-owner "
                          "--sort=name -cJf " +
                          shellQuote(tarball) + " -C " + shellQuote(src) + " .");
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* format : {"yaffs2", "ext2"}) {
        SCOPED_TRACE(format);
        const std::string fromTar = dir / (std::string("tar.") + format),
                          fromDir = dir / (std::string("dir.") + format);
        r = run(
            asUser("pack " + shellQuote(tarball) + " " + shellQuote(fromTar) + " --to " + format));
        ASSERT_EQ(r.status, 0) << r.err;
        r = run(cli("pack " + shellQuote(src) + " " + shellQuote(fromDir) + " --to " + format));
        ASSERT_EQ(r.status, 0) << r.err;
        // lost+found is made with the time of the pack.
        auto listing = [](const std::string& img) {
            return std::regex_replace(run(cli("ls -lR " + shellQuote(img))).out,
                                      std::regex(".*/lost\\+found\n"), "");
        };
        const std::string a = listing(fromTar);
        EXPECT_EQ(a, listing(fromDir));
        EXPECT_NE(a.find("100000 70000"), std::string::npos) << a;
        for (const std::string& img : {fromTar, fromDir})
            ASSERT_EQ(
                run(cli("extract " + shellQuote(img) + " -C " + shellQuote(img + ".x"))).status, 0);
        const std::string tree = statTree(fromTar + ".x", true);
        EXPECT_EQ(tree, statTree(fromDir + ".x", true));
        if (std::string(format) == "yaffs2") { // its headers hold extended attributes
            EXPECT_NE(tree.find("user.mime=text"), std::string::npos) << tree;
        }
    }
    // All or nothing: an unsafe member leaves OUT as it was.
    const std::string out = dir / "kept";
    writeFile(out, "old");
    r = run("cd " + shellQuote(src + "/usr") + " && tar -cPf " + shellQuote(dir / "bad.tar") +
            " ../bin/sh cat");
    ASSERT_EQ(r.status, 0) << r.err;
    r = run(asUser("pack " + shellQuote(dir / "bad.tar") + " " + shellQuote(out) + " --to ext2"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("../bin/sh: member names with \"..\" are refused"), std::string::npos)
        << r.err;
    EXPECT_EQ(toString(readFile(out)), "old");
}

TEST(TarCli, ExtractTarEqualsGnuTarOfTheExtractedTree) {
    if (!root() || !haveProgram("setpriv"))
        GTEST_SKIP() << "needs root to make the tree and extract it whole";
    SharedDir dir;
    const std::string src = dir / "rootfs";
    makeRootfs(src);
    const std::string gnuX = "tar --xattrs --xattrs-include='*' --numeric-owner -xpf ";
    for (const char* format : {"yaffs2", "ext2"}) {
        SCOPED_TRACE(format);
        const std::string image = dir / (std::string("img.") + format),
                          ours = dir / (std::string("ours.") + format + ".tar"),
                          extracted = dir / (std::string("x.") + format),
                          theirs = dir / (std::string("theirs.") + format + ".tar");
        ASSERT_EQ(run(cli("pack " + shellQuote(src) + " " + shellQuote(image) + " --to " + format))
                      .status,
                  0);
        ::chmod(image.c_str(), 0644);
        // No privilege needed for the archive.
        CommandResult r =
            run(asUser("extract " + shellQuote(image) + " --tar " + shellQuote(ours)));
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(run(cli("extract " + shellQuote(image) + " -C " + shellQuote(extracted))).status,
                  0);
        r = run("tar --format=pax --xattrs --xattrs-include='*' --numeric-owner -cf " +
                shellQuote(theirs) + " -C " + shellQuote(extracted) + " .");
        ASSERT_EQ(r.status, 0) << r.err;
        std::string trees[2];
        for (int i = 0; i < 2; ++i) {
            const std::string to = dir / (std::string("t") + std::to_string(i) + format);
            std::filesystem::create_directories(to);
            r = run(gnuX + shellQuote(i == 0 ? ours : theirs) + " -C " + shellQuote(to));
            EXPECT_EQ(r.status, 0) << r.err;
            trees[i] = statTree(to, true);
        }
        EXPECT_EQ(trees[0], trees[1]);
        EXPECT_NE(trees[0].find("dev/console 020600 0:0 dev5:1"), std::string::npos) << trees[0];
        if (std::string(format) == "yaffs2") {
            EXPECT_NE(trees[0].find("security.test="), std::string::npos) << trees[0];
        }
        // Standard output works too.
        r = run(cli("extract " + shellQuote(image) + " /usr --tar - | tar -tf -"));
        EXPECT_NE(r.out.find("usr/lib/sparse"), std::string::npos) << r.out << r.err;
    }
}

TEST(TarCli, DeviceTablesAndOverridesAsAnOrdinaryUser) {
    SharedDir dir;
    std::filesystem::create_directories(dir / "src/etc");
    writeFile(dir / "src/etc/shadow", "x");
    ::chmod((dir / "src").c_str(), 0755);
    ::chmod((dir / "src/etc").c_str(), 0755);
    writeFile(dir / "table.txt", "# name type mode uid gid major minor start inc count\n"
                                 "/dev        d 755  0 0 -  -  - - -\n"
                                 "/dev/ttyS   c 660  0 5 4  64 0 1 4\n"
                                 "/dev/mtdblock b 640 0 6 31 0 0 1 2\n"
                                 "/etc/shadow f 600  0 42\n");
    const std::string image = dir / "img";
    CommandResult r = run(asUser("pack " + shellQuote(dir / "src") + " " + shellQuote(image) +
                                 " --to ext2 --owner 0:0 --mode-dirs 0750 --mode-files 0644 "
                                 "--devtable " +
                                 shellQuote(dir / "table.txt")));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(extFacts(image, "/dev/ttyS3"), "c 0660 0:5 4:67");
    EXPECT_EQ(extFacts(image, "/dev/ttyS4"), "missing");
    EXPECT_EQ(extFacts(image, "/dev/mtdblock1"), "b 0640 0:6 31:1");
    EXPECT_EQ(extFacts(image, "/etc/shadow"), "f 0600 0:42 n1 x");
    EXPECT_EQ(extFacts(image, "/etc"), "d 0750 0:0");
    EXPECT_EQ(extFacts(image, "/dev"), "d 0755 0:0");

    writeFile(dir / "bad.txt", "/dev d 755 0 0\n/dev/x c 644 0 0 1\n/dev/y z 644 0 0\n");
    const Bytes before = readFile(image);
    r = run(cli("pack " + shellQuote(dir / "src") + " " + shellQuote(image) +
                " --to ext2 --devtable " + shellQuote(dir / "bad.txt")));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("bad.txt:3: unknown type"), std::string::npos) << r.err;
    EXPECT_EQ(readFile(image), before);
    r = run(cli("pack " + shellQuote(dir / "src") + " " + shellQuote(image) +
                " --to ext2 --owner root"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(readFile(image), before);
}

} // namespace
