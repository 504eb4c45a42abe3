// fs_config and file_contexts: written from an image, read by pack and
// convert; a tree unpacked as an ordinary user packs back as it was.
#include "model/error.h"
#include "support/testutil.h"
#include "transfer/android_config.h"
#include "transfer/loadimage.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

using namespace korvane;
using namespace korvane::test;

namespace {

std::string cli(const std::string& args) {
    return std::string(KORVANE_CLI) + " " + args;
}

void mustRun(const std::string& command) {
    CommandResult r = run(command);
    ASSERT_EQ(r.status, 0) << command << "\n" << r.out << r.err;
}

// The attributes a round trip must keep: owner, mode, capabilities, label.
std::string androidFacts(const std::string& image) {
    CommandResult r = run(cli("export " + shellQuote(image) + " --fs-config - --mount-point /"));
    CommandResult labels = run(cli("ls -lRZ " + shellQuote(image)));
    std::string facts;
    std::istringstream lines(r.out + labels.out);
    for (std::string line; std::getline(lines, line);)
        if (line.find("lost+found") == std::string::npos) // the writer's own
            facts += line + "\n";
    return facts;
}

TEST(AndroidConfig, ParsesAndMatchesAsTheBuildDoes) {
    FsConfig fs = FsConfig::parse(" 0 0 0755\n"
                                  "system/bin/sh 0 2000 0755\n"
                                  "/system/bin/ping 0 0 04750 capabilities=0x2000\n"
                                  "system/bin/sh 1000 1000 0700\n",
                                  "t");
    ASSERT_NE(fs.find(""), nullptr);
    EXPECT_EQ(fs.find("system/bin/sh")->uid, 1000u) << "the last line of a path wins";
    EXPECT_EQ(fs.find("system/bin/ping")->mode, 04750u);
    EXPECT_EQ(fs.find("system/bin/ping")->capabilities, 0x2000u);
    EXPECT_EQ(capabilityMask(capabilityValue(0x123456789ull)), 0x123456789ull);
    EXPECT_THROW(FsConfig::parse("a b c\n", "t"), Error);

    FileContexts fc = FileContexts::parse("# comment\n"
                                          "/system(/.*)?        u:object_r:system_file:s0\n"
                                          "/system/bin/sh  --   u:object_r:shell_exec:s0\n"
                                          "/system/bin(/.*)? -d u:object_r:bin_dir:s0\n"
                                          "/system/lost\\+found <<none>>\n",
                                          "t");
    const struct {
        const char* path;
        uint32_t mode;
        const char* label;
    } cases[] = {
        {"/system/bin/sh", kModeFile, "u:object_r:shell_exec:s0"},
        {"/system/bin/sh", kModeSymlink, "u:object_r:system_file:s0"},
        {"/system/bin", kModeDirectory, "u:object_r:bin_dir:s0"},
        {"/system/etc/hosts", kModeFile, "u:object_r:system_file:s0"},
        {"/system/lost+found", kModeDirectory, nullptr},
        {"/vendor/x", kModeFile, nullptr},
    };
    for (const auto& c : cases) {
        std::optional<std::string> got = fc.find(c.path, c.mode);
        EXPECT_EQ(got.value_or("(none)"), c.label ? c.label : "(none)") << c.path;
    }
    EXPECT_THROW(FileContexts::parse("/a -x u:r\n", "t"), Error);
    EXPECT_THROW(FileContexts::parse("/a( u:r\n", "t"), Error);
}

TEST(AndroidConfig, TreeUnpackedAsNobodyPacksBackExactly) {
    if (::geteuid() != 0 || !haveProgram("setpriv"))
        GTEST_SKIP() << "needs root and setpriv to unpack as an ordinary user";
    TempDir dir;
    std::filesystem::create_directories(dir / "src/bin");
    std::filesystem::create_directories(dir / "src/etc");
    writeFile(dir / "src/bin/sh", std::string("#!shell\n"));
    writeFile(dir / "src/bin/ping", std::string("ping\n"));
    writeFile(dir / "src/etc/hosts", std::string("127.0.0.1\n"));
    mustRun(
        cli("pack " + shellQuote(dir / "src") + " " + shellQuote(dir / "a.img") + " --to ext4"));
    // Owners, set-id modes, a capability and labels, as a system image has them.
    mustRun(cli("edit " + shellQuote(dir / "a.img") +
                " -e 'chown -R 0:2000 /bin' -e 'chmod 4750 /bin/ping'"
                " -e 'setfattr -n security.capability -v 0s"
                "AQAAAgAgAAAAAAAAAAAAAAAAAAA= /bin/ping'"
                " -e 'setfattr -n security.selinux -v 0sdTpvYmplY3RfcjpzaGVsbF9leGVjOnMwAA== "
                "/bin/sh'"
                " -e 'setfattr -n security.selinux -v 0sdTpvYmplY3RfcjpzeXN0ZW1fZmlsZTpzMAA= "
                "/etc/hosts /etc /'"));
    mustRun(cli("export " + shellQuote(dir / "a.img") + " --fs-config " +
                shellQuote(dir / "fs_config") + " --file-contexts " +
                shellQuote(dir / "file_contexts") + " --mount-point /system"));
    const std::string fsConfig = toString(readFile(dir / "fs_config"));
    EXPECT_NE(fsConfig.find("system/bin/ping 0 2000 4750 capabilities=0x2000"), std::string::npos)
        << fsConfig;
    EXPECT_NE(toString(readFile(dir / "file_contexts")).find("/system/bin/sh u:object_r:shell"),
              std::string::npos);

    // Unpacked by nobody: owners, set-id bits and security attributes are lost.
    ::chmod(dir.path().c_str(), 0777);
    // (It says what it could not set, and exits 1 for it.)
    run("setpriv --reuid 65534 --regid 65534 --clear-groups " +
        cli("extract " + shellQuote(dir / "a.img") + " -C " + shellQuote(dir / "out")));
    ASSERT_TRUE(std::filesystem::exists(dir / "out/bin/ping"));
    mustRun(cli("pack " + shellQuote(dir / "out") + " " + shellQuote(dir / "b.img") +
                " --to ext4 --fs-config " + shellQuote(dir / "fs_config") + " --file-contexts " +
                shellQuote(dir / "file_contexts") + " --mount-point /system"));
    std::string before = androidFacts(dir / "a.img");
    std::string after = androidFacts(dir / "b.img");
    EXPECT_EQ(after, before);
    mustRun("e2fsck -fn " + shellQuote(dir / "b.img"));
}

} // namespace
