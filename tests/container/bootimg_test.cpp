// Boot images: read as mkbootimg wrote them (versions 0 to 3, vendor_boot
// 3), versions 4 and vendor_boot 4 from a builder, rewritten around new
// members as mkbootimg would write them, the AVB footer shown and dropped or
// kept, the ramdisk edited inside.
#include "container/bootimg/tbootimg.h"
#include "model/digest.h"
#include "support/testutil.h"
#include "support/yaffs2_builder.h"
#include "transfer/loadimage.h"

#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>

namespace korvane {
namespace {

using test::run;
using test::shellQuote;
using test::TempDir;

std::string cli(const std::string& args) {
    return std::string(KORVANE_CLI) + " " + args;
}

void mustRun(const std::string& command) {
    const test::CommandResult r = run(command);
    ASSERT_EQ(r.status, 0) << command << "\n" << r.out << r.err;
}

// A gzip'ed newc ramdisk of a small tree.
void makeRamdisk(const TempDir& dir, const std::string& out, const std::string& compress) {
    const std::string tree = dir / "rdtree";
    std::filesystem::create_directories(tree + "/system/etc");
    test::writeFile(tree + "/init.rc", "on boot\n");
    test::writeFile(tree + "/system/etc/fstab", test::pattern(5000, 4));
    mustRun("cd " + shellQuote(tree) + " && find . | cpio -o -H newc 2>/dev/null | " + compress +
            " > " + shellQuote(out));
}

class BootTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::haveProgram("mkbootimg") || !test::haveProgram("cpio"))
            GTEST_SKIP() << "mkbootimg or cpio is missing";
        test::writeFile(dir / "kernel", test::pattern(70000, 1));
        test::writeFile(dir / "kernel2", test::pattern(123457, 2));
        test::writeFile(dir / "second", test::pattern(3000, 3));
        test::writeFile(dir / "dtbo", test::pattern(2500, 5));
        test::writeFile(dir / "dtb", test::pattern(4100, 6));
        makeRamdisk(dir, dir / "ramdisk", "gzip -n");
    }
    // mkbootimg's image of version v with kernel k and command line c.
    std::string mkboot(int v, const std::string& k, const std::string& c, const std::string& name) {
        std::string args = "mkbootimg --kernel " + shellQuote(dir / k) + " --ramdisk " +
                           shellQuote(dir / "ramdisk") + " --cmdline " + shellQuote(c) +
                           " --os_version 12.1.0 --os_patch_level 2024-03 --header_version " +
                           std::to_string(v);
        if (v < 3)
            args += " --second " + shellQuote(dir / "second") + " --pagesize 4096 --board brd";
        // (Debian's mkbootimg fails on --recovery_dtbo under Python 3.)
        if (v == 2)
            args += " --dtb " + shellQuote(dir / "dtb");
        const std::string out = dir / name;
        mustRun(args + " -o " + shellQuote(out));
        return out;
    }
    TempDir dir;
};

TEST_F(BootTest, EveryVersionReadsAndRewritesAsMkbootimgWritesIt) {
    const std::string longLine = "console=ttyMSM0 " + std::string(600, 'x') + " quiet";
    for (int v = 0; v <= 3; ++v) {
        SCOPED_TRACE("version " + std::to_string(v));
        const std::string cmdline = v < 3 ? longLine : "console=ttyS0 androidboot.slot=a";
        const std::string img = mkboot(v, "kernel", cmdline, "boot.img");
        auto boot = loadimage(img);
        ASSERT_EQ(boot->formatName(), "boot");
        std::vector<std::string> names;
        for (const auto& c : boot->root()->children)
            names.push_back(c->entry.name);
        std::vector<std::string> want = {"kernel", "ramdisk"};
        if (v < 3)
            want.push_back("second");
        if (v == 2)
            want.push_back("dtb");
        want.push_back("cmdline");
        EXPECT_EQ(names, want);
        const test::CommandResult info = run(cli("info " + shellQuote(img)));
        for (const std::string& fact :
             {"header version:    " + std::to_string(v), std::string("OS version:        12.1.0"),
              std::string("patch level:       2024-03"), "command line:      " + cmdline})
            EXPECT_NE(info.out.find(fact), std::string::npos) << fact << "\n" << info.out;

        // A new kernel and command line give what mkbootimg gives for them.
        const std::string newLine = cmdline + " extra=1";
        test::writeFile(dir / "cmdline", newLine + "\n");
        std::filesystem::create_directories(dir / "new");
        std::filesystem::copy_file(dir / "kernel2", dir / "new/kernel",
                                   std::filesystem::copy_options::overwrite_existing);
        std::filesystem::copy_file(dir / "cmdline", dir / "new/cmdline",
                                   std::filesystem::copy_options::overwrite_existing);
        const std::string ours = dir / "ours.img";
        mustRun(cli(
            "edit " + shellQuote(img) + " -e " +
            shellQuote("add --force " + (dir / "new/kernel") + " " + (dir / "new/cmdline") + " /") +
            " -o " + shellQuote(ours)));
        const std::string theirs = mkboot(v, "kernel2", newLine, "theirs.img");
        EXPECT_TRUE(test::readFile(ours) == test::readFile(theirs));
        mustRun("unpack_bootimg --boot_img " + shellQuote(ours) + " --out " +
                shellQuote(dir / "unpacked") + " >/dev/null");
        EXPECT_TRUE(test::readFile(dir / "unpacked/kernel") == test::readFile(dir / "kernel2"));
    }
}

TEST_F(BootTest, VendorBootThreeRewritesAsMkbootimgWritesIt) {
    auto mkvendor = [&](const std::string& dtb, const std::string& out) {
        mustRun("mkbootimg --header_version 3 --vendor_boot " + shellQuote(dir / out) +
                " --vendor_ramdisk " + shellQuote(dir / "ramdisk") + " --dtb " +
                shellQuote(dir / dtb) + " --vendor_cmdline 'androidboot.hardware=x' --board b1 " +
                "--pagesize 2048");
        return dir / out;
    };
    const std::string img = mkvendor("dtb", "vendor_boot.img");
    auto vendor = loadimage(img);
    EXPECT_EQ(vendor->formatName(), "vendor_boot");
    std::filesystem::create_directories(dir / "new");
    std::filesystem::copy_file(dir / "dtbo", dir / "new/dtb");
    mustRun(cli("edit " + shellQuote(img) + " -e " +
                shellQuote("add --force " + (dir / "new/dtb") + " /") + " -o " +
                shellQuote(dir / "ours.img")));
    EXPECT_TRUE(test::readFile(dir / "ours.img") == test::readFile(mkvendor("dtbo", "theirs.img")));
}

// Version 4 images, which Debian's mkbootimg does not make: a boot image
// with a boot signature, and a vendor_boot image with two ramdisks in its
// table and a bootconfig.
Bytes bootV4(uint32_t kernel, uint32_t ramdisk, uint32_t signature) {
    auto pages = [](uint32_t n) { return (n + 4095u) / 4096u * 4096u; };
    Bytes b(4096 + pages(kernel) + pages(ramdisk) + pages(signature));
    std::memcpy(b.data(), "ANDROID!", 8);
    store32(b.data() + 8, kernel);
    store32(b.data() + 12, ramdisk);
    store32(b.data() + 16, (13u << 25 | 0u << 18 | 0u << 11) | (23u << 4 | 7u));
    store32(b.data() + 20, 1584);
    store32(b.data() + 40, 4);
    std::memcpy(b.data() + 44, "init=/init", 10);
    store32(b.data() + 1580, signature);
    const Bytes k = test::pattern(kernel, 11), r = test::pattern(ramdisk, 12),
                s = test::pattern(signature, 13);
    std::copy(k.begin(), k.end(), b.begin() + 4096);
    std::copy(r.begin(), r.end(), b.begin() + 4096 + pages(kernel));
    std::copy(s.begin(), s.end(), b.begin() + 4096 + pages(kernel) + pages(ramdisk));
    return b;
}

Bytes vendorV4() {
    const uint32_t page = 4096;
    const Bytes r1 = test::pattern(5000, 21), r2 = test::pattern(7000, 22),
                dtb = test::pattern(900, 23);
    const std::string bootconfig = "androidboot.hardware=x\n";
    Bytes b(page * 6);
    std::memcpy(b.data(), "VNDRBOOT", 8);
    store32(b.data() + 8, 4);
    store32(b.data() + 12, page);
    store32(b.data() + 24, 12000);
    std::memcpy(b.data() + 28, "quiet", 5);
    store32(b.data() + 2096, 2128);
    store32(b.data() + 2100, 900);
    store32(b.data() + 2112, 2 * 108);
    store32(b.data() + 2116, 2);
    store32(b.data() + 2120, 108);
    store32(b.data() + 2124, static_cast<uint32_t>(bootconfig.size()));
    std::copy(r1.begin(), r1.end(), b.begin() + page);
    std::copy(r2.begin(), r2.end(), b.begin() + page + 5000);
    std::copy(dtb.begin(), dtb.end(), b.begin() + page * 4);
    std::byte* t = b.data() + page * 5;
    store32(t, 5000);
    store32(t + 8, 1);
    std::memcpy(t + 12, "platform", 8);
    store32(t + 108, 7000);
    store32(t + 108 + 4, 5000);
    store32(t + 108 + 8, 3);
    std::memcpy(t + 108 + 12, "dlkm", 4);
    b.resize(page * 7);
    std::memcpy(b.data() + page * 6, bootconfig.data(), bootconfig.size());
    return b;
}

TEST(BootV4, SignatureRamdiskTableAndBootconfig) {
    TempDir dir;
    test::writeFile(dir / "init_boot.img", bootV4(0, 9000, 4096));
    auto init = loadimage(dir / "init_boot.img");
    EXPECT_EQ(init->formatName(), "init_boot");
    ASSERT_EQ(init->root()->children.size(), 3u); // ramdisk, signature, cmdline
    EXPECT_EQ(init->root()->children[0]->entry.size, 9000u);

    test::writeFile(dir / "vendor_boot.img", vendorV4());
    auto v = loadimage(dir / "vendor_boot.img");
    std::vector<std::string> names;
    for (const auto& c : v->root()->children)
        names.push_back(c->entry.name + ":" + std::to_string(c->entry.size));
    EXPECT_EQ(names, (std::vector<std::string>{"dtb:900", "bootconfig:23", "platform:5000",
                                               "dlkm:7000", "cmdline:5"}));
    Bytes dlkm(7000);
    v->ReadRange(v->root()->children[3]->entry, 0, dlkm);
    EXPECT_TRUE(dlkm == test::pattern(7000, 22));

    // A new platform ramdisk moves the dlkm one; the table follows.
    std::filesystem::create_directories(dir / "new");
    test::writeFile(dir / "new/platform", test::pattern(10001, 30));
    mustRun(cli("edit " + shellQuote(dir / "vendor_boot.img") + " -e " +
                shellQuote("add --force " + (dir / "new/platform") + " /") + " -o " +
                shellQuote(dir / "out.img")));
    auto w = loadimage(dir / "out.img");
    ASSERT_EQ(w->root()->children.size(), 5u);
    const auto facts = w->memberFacts(w->root()->children[3]->entry);
    EXPECT_EQ(facts.at(0).second, "dlkm");
    EXPECT_EQ(facts.at(1).second, "10001 in the vendor ramdisk section");
    w->ReadRange(w->root()->children[3]->entry, 0, dlkm);
    EXPECT_TRUE(dlkm == test::pattern(7000, 22));
}

// A signed image: the boot image, its vbmeta on the next 4 KiB and the
// footer at the end of a 1 MiB partition.
Bytes signedImage(const Bytes& boot) {
    Bytes vbmeta(256 + 320);
    std::memcpy(vbmeta.data(), "AVB0", 4);
    store32be(vbmeta.data() + 4, 1);
    store64be(vbmeta.data() + 20, 320);                // auxiliary block
    store32be(vbmeta.data() + 28, 2);                  // SHA256_RSA4096
    store64be(vbmeta.data() + 104, 16 + 132 + 4 + 32); // descriptors
    store64be(vbmeta.data() + 112, 7);                 // rollback index
    std::byte* d = vbmeta.data() + 256;
    store64be(d, 2);
    store64be(d + 8, 132 - 16 + 4 + 32);
    store64be(d + 16, boot.size());
    std::memcpy(d + 24, "sha256", 6);
    store32be(d + 56, 4);
    store32be(d + 64, 32);
    std::memcpy(d + 132, "boot", 4);
    const Bytes digest = digestOf(DigestKind::kSha256, boot);
    std::memcpy(d + 136, digest.data(), 32);
    Bytes out(1u << 20);
    std::copy(boot.begin(), boot.end(), out.begin());
    const uint64_t at = (boot.size() + 4095) / 4096 * 4096;
    std::copy(vbmeta.begin(), vbmeta.end(), out.begin() + static_cast<ptrdiff_t>(at));
    std::byte* f = out.data() + out.size() - 64;
    std::memcpy(f, "AVBf", 4);
    store32be(f + 4, 1);
    store64be(f + 12, boot.size());
    store64be(f + 20, at);
    store64be(f + 28, vbmeta.size());
    return out;
}

TEST_F(BootTest, AvbFooterIsShownAndDroppedOrKeptOnEdit) {
    const std::string plain = mkboot(2, "kernel", "quiet", "boot.img");
    const Bytes boot = test::readFile(plain);
    test::writeFile(dir / "signed.img", signedImage(boot));
    const test::CommandResult info = run(cli("info " + shellQuote(dir / "signed.img")));
    for (const char* fact :
         {"AVB footer:        version 1.0, image of", "in a partition of 1048576", "SHA256_RSA4096",
          "AVB rollback index: 7", "boot: sha256 of"})
        EXPECT_NE(info.out.find(fact), std::string::npos) << fact << "\n" << info.out;
    const std::string digest = [&] {
        const Bytes d = digestOf(DigestKind::kSha256, boot);
        std::string h;
        char two[3];
        for (std::byte b : d) {
            std::snprintf(two, sizeof two, "%02x", std::to_integer<unsigned>(b));
            h += two;
        }
        return h;
    }();
    EXPECT_NE(info.out.find(digest), std::string::npos);

    // Unchanged, the image is copied as it stands.
    mustRun(cli("convert " + shellQuote(dir / "signed.img") + " " + shellQuote(dir / "same.img")));
    EXPECT_TRUE(test::readFile(dir / "same.img") == test::readFile(dir / "signed.img"));

    test::writeFile(dir / "cmdline", "quiet loud");
    const std::string edit = "add --force " + (dir / "cmdline") + " /";
    test::CommandResult r = run(cli("edit " + shellQuote(dir / "signed.img") + " -e " +
                                    shellQuote(edit) + " -o " + shellQuote(dir / "dropped.img")));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("AVB footer was left out"), std::string::npos) << r.err;
    EXPECT_EQ(std::filesystem::file_size(dir / "dropped.img"), boot.size());
    r = run(cli("edit " + shellQuote(dir / "signed.img") + " --keep-avb-footer -e " +
                shellQuote(edit) + " -o " + shellQuote(dir / "kept.img")));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::filesystem::file_size(dir / "kept.img"), 1u << 20);
    const test::CommandResult kept = run(cli("info " + shellQuote(dir / "kept.img")));
    EXPECT_NE(kept.out.find("command line:      quiet loud"), std::string::npos) << kept.out;
    EXPECT_NE(kept.out.find("AVB rollback index: 7"), std::string::npos) << kept.out;
    // Through an edit of the ramdisk inside.
    r = run(cli("edit " + shellQuote(dir / "signed.img") +
                " --part ramdisk --keep-avb-footer -e 'mkdir /x' -o " +
                shellQuote(dir / "kept2.img")));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::filesystem::file_size(dir / "kept2.img"), 1u << 20);
}

TEST_F(BootTest, TheRamdiskIsEditedInsideAndKeepsItsCompression) {
    struct Case {
        const char* compress;
        const char* decompress;
        uint8_t magic0;
    };
    for (const Case& c : {Case{"gzip -n", "gzip -dc", 0x1f}, Case{"lz4 -l -q", "lz4 -dc", 0x02},
                          Case{"lz4 -q", "lz4 -dc", 0x04}, Case{"cat", "cat", '0'}}) {
        SCOPED_TRACE(c.compress);
        if (std::string(c.compress).rfind("lz4", 0) == 0 && !test::haveProgram("lz4"))
            continue;
        makeRamdisk(dir, dir / "ramdisk", c.compress);
        const std::string img = mkboot(2, "kernel", "quiet", "boot.img");
        test::writeFile(dir / "added.txt", "added\n");
        mustRun(cli("edit " + shellQuote(img) + " --part ramdisk -e 'mkdir -p /vendor/etc' -e " +
                    shellQuote("add " + (dir / "added.txt") + " /vendor/etc") +
                    " -e 'rm /init.rc' -o " + shellQuote(dir / "out.img")));
        std::filesystem::remove_all(dir / "unpacked");
        mustRun("unpack_bootimg --boot_img " + shellQuote(dir / "out.img") + " --out " +
                shellQuote(dir / "unpacked") + " >/dev/null");
        const Bytes rd = test::readFile(dir / "unpacked/ramdisk");
        ASSERT_FALSE(rd.empty());
        EXPECT_EQ(std::to_integer<uint8_t>(rd[0]), c.magic0);
        const test::CommandResult list =
            run(std::string(c.decompress) + " " + shellQuote(dir / "unpacked/ramdisk") +
                " | cpio -it 2>/dev/null");
        EXPECT_NE(list.out.find("vendor/etc/added.txt"), std::string::npos) << list.out;
        EXPECT_EQ(list.out.find("init.rc"), std::string::npos) << list.out;
        EXPECT_NE(list.out.find("system/etc/fstab"), std::string::npos) << list.out;
        EXPECT_TRUE(test::readFile(dir / "unpacked/kernel") == test::readFile(dir / "kernel"));
    }
}

} // namespace
} // namespace korvane
