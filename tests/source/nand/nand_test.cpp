// Raw NAND dumps: the Hamming codes against their definition, dumps of UBI
// images in every common geometry and ECC placement (with flipped bits),
// dumps of JFFS2 and SquashFS images, pages beyond repair, bad blocks, and
// the images that must not be taken for dumps.
#include "fs/jffs2/jffs2_testutil.h"
#include "fs/squashfs/squashfs_testutil.h"
#include "model/error.h"
#include "model/tree.h"
#include "source/image_data.h"
#include "source/nand/nand_ecc.h"
#include "support/testutil.h"
#include "support/ubi_builders.h"
#include "support/yaffs2_builder.h"
#include "transfer/image_chain.h"
#include "transfer/loadimage.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>

namespace korvane {
namespace {

using namespace test;

unsigned parity(unsigned v) {
    unsigned p = 0;
    for (; v; v >>= 1)
        p ^= v & 1;
    return p;
}

// The MTD Hamming code as its definition states it: for every bit of a
// byte's index a parity over the bytes where that bit is 1 and one where it
// is 0, and for the bit positions within a byte three such pairs; stored
// inverted, the unused low bits of the third byte set for 256-byte steps.
std::array<uint8_t, 3> definedEcc(const std::byte* data, unsigned step) {
    const unsigned indexBits = step == 256 ? 8 : 9;
    unsigned rp[18] = {};
    unsigned columns = 0;
    for (unsigned i = 0; i < step; ++i) {
        const unsigned b = std::to_integer<unsigned>(data[i]);
        columns ^= b;
        for (unsigned k = 0; k < indexBits; ++k)
            rp[2 * k + ((i >> k) & 1)] ^= parity(b);
    }
    unsigned c0 = 0, c1 = 0;
    for (unsigned k = 0; k < 4; ++k) {
        c1 |= rp[2 * k] << (2 * k) | rp[2 * k + 1] << (2 * k + 1);
        c0 |= rp[2 * k + 8] << (2 * k) | rp[2 * k + 9] << (2 * k + 1);
    }
    unsigned c2 = parity(columns & 0xF0) << 7 | parity(columns & 0x0F) << 6 |
                  parity(columns & 0xCC) << 5 | parity(columns & 0x33) << 4 |
                  parity(columns & 0xAA) << 3 | parity(columns & 0x55) << 2;
    c2 |= step == 512 ? (rp[17] << 1 | rp[16]) : 0;
    return {static_cast<uint8_t>(~c0), static_cast<uint8_t>(~c1),
            static_cast<uint8_t>(step == 512 ? ~c2 : ~c2 | 3)};
}

TEST(NandEcc, HammingCodesMeetTheirDefinitionAndMendOneBit) {
    std::mt19937 rng(7);
    for (const nand::EccScheme scheme : {nand::EccScheme::kNand256, nand::EccScheme::kNand512}) {
        const unsigned step = scheme == nand::EccScheme::kNand512 ? 512 : 256;
        nand::EccLayout layout{scheme, step, {}};
        for (uint16_t i = 0; i < 2048 / step * 3; ++i)
            layout.positions.push_back(static_cast<uint16_t>(i));
        for (int round = 0; round < 100; ++round) {
            Bytes page(2048);
            for (auto& b : page) // dense, sparse and single-bit pages
                b = static_cast<std::byte>(round % 3 == 0   ? rng()
                                           : round % 3 == 1 ? (rng() % 16 == 0 ? rng() : 0)
                                                            : 0);
            if (round % 3 == 2)
                page[rng() % page.size()] = std::byte{0x10};
            Bytes spare(64, std::byte{0xFF});
            nand::computeEcc(scheme, page.data(), 2048, spare.data());
            for (unsigned s = 0; s < 2048 / step; ++s)
                ASSERT_EQ(definedEcc(page.data() + s * step, step),
                          (std::array<uint8_t, 3>{std::to_integer<uint8_t>(spare[s * 3]),
                                                  std::to_integer<uint8_t>(spare[s * 3 + 1]),
                                                  std::to_integer<uint8_t>(spare[s * 3 + 2])}));
            // One flipped data bit is put right; one in the ECC changes
            // nothing; two in one step cannot be mended.
            Bytes flipped = page;
            const size_t at = rng() % flipped.size();
            flipped[at] ^= static_cast<std::byte>(1u << (rng() % 8));
            nand::EccCheck c = nand::correctPage(layout, flipped.data(), 2048, spare.data());
            EXPECT_EQ(flipped, page);
            EXPECT_EQ(c.corrected, 1u);
            Bytes badSpare = spare;
            badSpare[rng() % layout.positions.size()] ^= static_cast<std::byte>(1u << (rng() % 8));
            flipped = page;
            c = nand::correctPage(layout, flipped.data(), 2048, badSpare.data());
            EXPECT_EQ(flipped, page);
            EXPECT_EQ(c.corrected, 1u);
            flipped[at] ^= std::byte{0x01};
            flipped[(at / step) * step + (at + 1) % step] ^= std::byte{0x80};
            c = nand::correctPage(layout, flipped.data(), 2048, spare.data());
            EXPECT_EQ(c.failed, 1u);
        }
    }
}

class NandDump : public ::testing::Test {
protected:
    void SetUp() override {
        if (!haveMtdUtils())
            GTEST_SKIP() << "needs mkfs.ubifs and ubinize (mtd-utils)";
        std::filesystem::create_directories(dir / "src/etc");
        writeFile(dir / "src/etc/hosts", "127.0.0.1 localhost\n");
        writeFile(dir / "src/big.bin", pattern(150000, 5));
    }

    // A UBI image of a UBIFS volume for pages of pageSize bytes.
    Bytes ubiFor(uint32_t pageSize, uint32_t pagesPerBlock, const std::string& name) {
        UbifsParams f;
        f.minIo = pageSize;
        f.lebSize = pageSize * (pagesPerBlock - 2);
        makeUbifs(dir / "src", dir / (name + ".ubifs"), f);
        UbinizeParams u;
        u.pebSize = pageSize * pagesPerBlock;
        u.minIo = pageSize;
        u.subPage = 0;
        return ubinize({{"rootfs", dir / (name + ".ubifs"), 0, true, "", false}},
                       dir / (name + ".ubi"), u);
    }

    std::string listing(const std::string& path, const std::vector<std::string>& members) {
        ImageChain chain = ImageChain::open(path, members);
        std::string out;
        Timg& img = chain.top();
        forEachPreorder(img.root(), [&](Node* n) {
            out += pathFromRoot(n) + " " + std::to_string(n->entry.size);
            if (n->entry.objType == kTypeFile) {
                Bytes b(n->entry.size);
                img.ReadRange(n->entry, 0, MutableByteSpan(b));
                out += " " + std::to_string(contentHash(b));
            }
            out += "\n";
        });
        return out;
    }

    TempDir dir;
};

nand::EccLayout eccRun(nand::EccScheme s, uint32_t step, uint16_t from, uint16_t count) {
    nand::EccLayout l{s, step, {}};
    for (uint16_t i = 0; i < count; ++i)
        l.positions.push_back(static_cast<uint16_t>(from + i));
    return l;
}

TEST_F(NandDump, DumpsOfEveryGeometryReadAsTheirImage) {
    using nand::EccScheme;
    const struct {
        const char* what;
        uint32_t page, spare, pagesPerBlock;
        std::optional<nand::EccLayout> ecc;
    } cases[] = {
        {"2048+64, MTD ECC at the end", 2048, 64, 64, eccRun(EccScheme::kNand256, 256, 40, 24)},
        {"2048+64, 512-byte steps", 2048, 64, 64, eccRun(EccScheme::kNand512, 512, 52, 12)},
        {"2048+64 without ECC", 2048, 64, 64, std::nullopt},
        {"4096+224, 512-byte steps", 4096, 224, 64, eccRun(EccScheme::kNand512, 512, 100, 24)},
        {"4096+128, YAFFS ECC", 4096, 128, 64, eccRun(EccScheme::kYaffs256, 256, 80, 48)},
        {"512+16, small-page placement", 512, 16, 32,
         nand::EccLayout{EccScheme::kNand256, 256, {0, 1, 2, 3, 6, 7}}},
        {"8192+448", 8192, 448, 64, eccRun(EccScheme::kNand512, 512, 2, 48)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string name = std::to_string(c.page);
        const Bytes plain = ubiFor(c.page, c.pagesPerBlock, name);
        Bytes dump = nandDump(plain, c.page, c.spare, c.ecc, {}, c.pagesPerBlock);
        // A flipped bit in every written page of the second block.
        uint32_t flips = 0;
        const uint64_t rec = c.page + c.spare;
        for (uint64_t p = c.pagesPerBlock; p < 2 * c.pagesPerBlock && c.ecc; ++p) {
            std::byte* data = dump.data() + p * rec;
            if (std::all_of(data, data + c.page, [](std::byte b) { return b == std::byte{0xFF}; }))
                continue;
            data[(p * 37) % c.page] ^= std::byte{0x04};
            ++flips;
        }
        const std::string path = dir / (name + ".nand");
        writeFile(path, dump);
        Identification id = identify(ImageData::mapFile(path));
        ASSERT_EQ(id.layers, std::vector<std::string>{"nand"});
        ASSERT_FALSE(id.probes.empty());
        EXPECT_STREQ(id.probes.front().format->name, "ubi");
        EXPECT_EQ(listing(path, {"rootfs"}), listing(dir / (name + ".ubi"), {"rootfs"}));
        ImageChain chain = ImageChain::open(path, {});
        std::string ecc, stored;
        for (const auto& [label, value] : chain.top().image()->describe()) {
            if (label == "ECC")
                ecc = value;
            if (label == "NAND dump")
                stored = value;
        }
        EXPECT_NE(stored.find(std::to_string(c.page) + "+" + std::to_string(c.spare) + ", " +
                              std::to_string(c.pagesPerBlock) + " pages a block"),
                  std::string::npos)
            << stored;
        if (c.ecc)
            EXPECT_NE(ecc.find(std::to_string(flips) + " flipped bits put right, 0 pages"),
                      std::string::npos)
                << ecc;
        else
            EXPECT_EQ(ecc.find("none applied"), 0u) << ecc;
        EXPECT_TRUE(chain.top().warnings().empty());
    }
}

TEST_F(NandDump, PagesBeyondRepairAreNamedAndReadAsTheyStand) {
    const Bytes plain = ubiFor(2048, 64, "p");
    const nand::EccLayout ecc = eccRun(nand::EccScheme::kNand256, 256, 40, 24);
    Bytes dump = nandDump(plain, 2048, 64, ecc);
    // Two bits in one 256-byte step of page 1 (the volume table's).
    dump[2112 + 10] ^= std::byte{0x01};
    dump[2112 + 20] ^= std::byte{0x01};
    writeFile(dir / "p.nand", dump);
    ImageChain chain = ImageChain::open(dir / "p.nand", {});
    const auto& w = chain.top().warnings();
    ASSERT_FALSE(w.empty());
    EXPECT_NE(w.front().find("page 1 (erase block 0)"), std::string::npos) << w.front();
    Bytes back(4096);
    chain.top().image()->read(0, MutableByteSpan(back));
    EXPECT_EQ(back[2048 + 10], plain[2048 + 10] ^ std::byte{0x01});

    // The CLI says the same, and the volume inside still opens.
    const std::string path = shellQuote(dir / "p.nand");
    CommandResult r = run(std::string(KORVANE_CLI) + " info " + path);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("0 flipped bits put right, 1 pages beyond repair"), std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find("page 1 (erase block 0)"), std::string::npos) << r.err;
    r = run(std::string(KORVANE_CLI) + " cat " + path + " --part rootfs /etc/hosts");
    EXPECT_EQ(r.out, "127.0.0.1 localhost\n") << r.err;
}

// A block marked bad is never read, as MTD never reads one: here it holds a
// newer copy of the volume's first LEB, spoilt, which must not win.
TEST_F(NandDump, BadBlocksAreNotRead) {
    Bytes plain = ubiFor(2048, 64, "b");
    const uint32_t peb = 2048 * 64;
    const UbiOffsets o = ubiOffsets(plain);
    const size_t copy = plain.size() / peb;
    plain.insert(plain.end(), plain.begin() + 2 * peb, plain.begin() + 3 * peb);
    std::fill(plain.begin() + static_cast<ptrdiff_t>(copy * peb + o.data),
              plain.begin() + static_cast<ptrdiff_t>(copy * peb + o.data + 100), std::byte{0x11});
    changeVid(plain, peb, copy, [](ubi::VidHeader& h) { h.sqnum += 100; });
    writeFile(dir / "b-plain.ubi", plain);
    writeFile(dir / "b.nand", nandDump(plain, 2048, 64, std::nullopt, {copy}));
    ImageChain chain = ImageChain::open(dir / "b.nand", {});
    std::string bad;
    for (const auto& [label, value] : chain.top().image()->describe())
        if (label == "bad blocks")
            bad = value;
    EXPECT_EQ(bad, "1 (read as erased)");
    EXPECT_EQ(listing(dir / "b.nand", {"rootfs"}), listing(dir / "b.ubi", {"rootfs"}));
    EXPECT_THROW(listing(dir / "b-plain.ubi", {"rootfs"}), Error);
}

// Dumps of what the peer tools make of one folder, in the common
// geometries: spare areas blank, holding the MTD Hamming ECC (with a flipped
// bit for it to mend), or full of an ECC Korvane does not know. The images
// themselves are no dumps.
struct ImageDumpCase {
    const char* what;
    uint32_t page, spare, pagesPerBlock;
    std::optional<nand::EccLayout> ecc;
    bool unknownEcc = false;
    bool erasedFirst = false; // an erase block of erased flash before the image
};

const ImageDumpCase kImageDumps[] = {
    {"2048+64, blank spare areas", 2048, 64, 64, std::nullopt},
    {"2048+64, MTD ECC", 2048, 64, 64, eccRun(nand::EccScheme::kNand256, 256, 40, 24)},
    {"4096+224, blank spare areas", 4096, 224, 64, std::nullopt},
    {"4096+224, 512-byte steps", 4096, 224, 64, eccRun(nand::EccScheme::kNand512, 512, 100, 24)},
    {"4096+224, an unknown ECC", 4096, 224, 64, std::nullopt, true},
};

class NandImageDump : public ::testing::Test {
protected:
    void SetUp() override {
        if (!haveProgram("mkfs.jffs2") || !haveProgram("mksquashfs"))
            GTEST_SKIP() << "needs mkfs.jffs2 (mtd-utils) and mksquashfs (squashfs-tools)";
        makeJffs2Source(dir / "src", 3);
        writeFile(dir / "src/etc/big.bin", pattern(700000, 9)); // erase blocks enough to sample
    }

    // Opens a dump of image as the case lays it out: the layer's facts as
    // `info` prints them, and the tree read through it.
    void checkDump(const ImageDumpCase& c, Bytes image, const char* format,
                   const std::string& facts) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(identify(ImageData::fromBytes(image)).layers.empty());
        if (c.erasedFirst)
            image.insert(image.begin(), size_t{c.page} * c.pagesPerBlock, std::byte{0xFF});
        Bytes dump = nandDump(image, c.page, c.spare, c.ecc, {}, c.pagesPerBlock);
        const size_t rec = c.page + c.spare;
        const size_t written = c.erasedFirst ? c.pagesPerBlock * rec : 0;
        if (c.ecc)
            dump[written + rec + 77] ^= std::byte{0x08};
        std::mt19937 rng(c.page);
        for (size_t at = 0; c.unknownEcc && at < dump.size(); at += rec)
            for (size_t k = 2; k < c.spare; ++k)
                dump[at + c.page + k] = static_cast<std::byte>(rng());
        const std::string path = dir / (std::string(format) + ".nand");
        writeFile(path, dump);
        const Identification id = identify(ImageData::mapFile(path));
        ASSERT_EQ(id.layers, std::vector<std::string>{"nand"});
        EXPECT_STREQ(id.probes.front().format->name, format);
        const CommandResult info = run(std::string(KORVANE_CLI) + " info " + shellQuote(path));
        EXPECT_NE(info.out.find("raw NAND dump (" + std::to_string(c.page) + "+" +
                                std::to_string(c.spare) + ", " + facts),
                  std::string::npos)
            << info.out << info.err;
        if (c.ecc) {
            EXPECT_NE(info.out.find("1 flipped bits put right"), std::string::npos) << info.out;
        }
        std::unique_ptr<Timg> img = openFile(path);
        EXPECT_EQ(extractedTree(*img, dir / ("out-" + std::to_string(++opened))),
                  statTree(dir / "src", true));
    }

    TempDir dir;
    int opened = 0;
};

TEST_F(NandImageDump, Jffs2ReadsAsItsFolder) {
    std::vector<ImageDumpCase> cases(std::begin(kImageDumps), std::end(kImageDumps));
    cases.push_back({"2048+64, the first block erased", 2048, 64, 64, std::nullopt, false, true});
    // 8192+448 with 64 pages a block reads the same blocks' starts: only the
    // nodes after them tell.
    cases.push_back({"4096+224, 128 pages a block", 4096, 224, 128, std::nullopt});
    for (const ImageDumpCase& c : cases) {
        const std::string image = dir / "image.jffs2";
        mkfsJffs2(dir / "src", image, "-n -e " + std::to_string(c.page * c.pagesPerBlock));
        checkDump(c, readFile(image), "jffs2",
                  std::to_string(c.pagesPerBlock) + " pages a block), holding JFFS2");
    }
}

TEST_F(NandImageDump, SquashfsReadsAsItsFolder) {
    // An image whose tables all lie in its first 512 bytes reads alike in
    // every geometry.
    std::filesystem::create_directories(dir / "tiny");
    mksquashfs(dir / "tiny", dir / "tiny.squashfs");
    EXPECT_TRUE(identify(ImageData::mapFile(dir / "tiny.squashfs")).layers.empty());
    const std::string image = dir / "image.squashfs";
    mksquashfs(dir / "src", image);
    for (const ImageDumpCase& c : kImageDumps)
        checkDump(c, readFile(image), "squashfs", "erase block size not known), holding SquashFS");
}

TEST(NandProbe, OnlyDumpsOfKnownContentsAreUnwrapped) {
    std::mt19937 rng(1);
    Bytes noise(1 << 20);
    for (auto& b : noise)
        b = static_cast<std::byte>(rng());
    Yaffs2Builder y;
    y.root();
    y.file(257, 1, "a", pattern(10000, 1));
    for (const Bytes& bytes : {noise, y.bytes()}) {
        Identification id = identify(ImageData::fromBytes(bytes));
        EXPECT_TRUE(id.layers.empty());
    }
}

} // namespace
} // namespace korvane
