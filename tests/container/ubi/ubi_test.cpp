// UBI: the volumes of images ubinize made in several geometries, the choice
// among copies of a LEB, what becomes of erased, damaged and fastmap PEBs
// and of a damaged volume table, and hostile images.
#include "container/ubi/tubi.h"
#include "container/ubi/ubi_crc.h"
#include "container/ubi/ubi_format.h"
#include "model/error.h"
#include "source/image_data.h"
#include "support/testutil.h"
#include "support/ubi_builders.h"
#include "support/yaffs2_builder.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>

namespace korvane {
namespace {

using namespace test;

std::string cli(const std::string& args) {
    return std::string(KORVANE_CLI) + " " + args;
}

std::unique_ptr<Tubi> openUbi(Bytes bytes) {
    auto img = std::make_unique<Tubi>();
    img->Init(ImageData::fromBytes(std::move(bytes)));
    img->Open();
    return img;
}

Bytes member(Timg& img, const std::string& name) {
    for (const auto& c : img.root()->children)
        if (c->entry.name == name) {
            Bytes b(img.contentSize(c->entry));
            img.ReadRange(c->entry, 0, MutableByteSpan(b));
            return b;
        }
    ADD_FAILURE() << "no member " << name;
    return {};
}

std::string fact(const std::vector<std::pair<std::string, std::string>>& facts,
                 const std::string& label) {
    for (const auto& [l, v] : facts)
        if (l == label)
            return v;
    return "<none>";
}

class UbiPeer : public ::testing::Test {
protected:
    void SetUp() override {
        if (!haveMtdUtils())
            GTEST_SKIP() << "needs ubinize (mtd-utils)";
        writeFile(dir / "kernel", pattern(300000, 1));
        writeFile(dir / "dtb", pattern(999, 2));
        writeFile(dir / "rootfs", pattern(200000, 3));
    }

    // A dynamic volume of 1 MiB reserved, and two static volumes.
    Bytes threeVolumes(const UbinizeParams& p) {
        return ubinize({{"rootfs", dir / "rootfs", 0, true, "1MiB", false},
                        {"kernel", dir / "kernel", 1, false, "", false},
                        {"dtb", dir / "dtb", 5, false, "", false}},
                       dir / "ubi.img", p);
    }
    TempDir dir;
};

TEST_F(UbiPeer, VolumesOfEveryGeometry) {
    const struct {
        uint32_t peb, minIo, subPage;
        uint32_t vid, data;
    } geometries[] = {
        {128 * 1024, 2048, 512, 512, 2048}, {128 * 1024, 2048, 0, 2048, 4096},
        {16 * 1024, 512, 0, 512, 1024},     {256 * 1024, 4096, 1024, 1024, 4096},
        {512 * 1024, 4096, 0, 4096, 8192},  {64 * 1024, 1, 0, 64, 128},
    };
    for (const auto& g : geometries) {
        SCOPED_TRACE(std::to_string(g.peb) + "/" + std::to_string(g.minIo));
        UbinizeParams p;
        p.pebSize = g.peb;
        p.minIo = g.minIo;
        p.subPage = g.subPage;
        auto img = openUbi(threeVolumes(p));
        EXPECT_TRUE(img->warnings().empty()) << img->warnings().front();
        const auto facts = img->describe();
        EXPECT_EQ(fact(facts, "PEB size"), std::to_string(g.peb));
        EXPECT_EQ(fact(facts, "VID header offset"), std::to_string(g.vid));
        EXPECT_EQ(fact(facts, "data offset"), std::to_string(g.data));
        ASSERT_EQ(img->volumes().size(), 3u);
        const uint32_t leb = g.peb - g.data;
        const Tubi::Volume& root = img->volumes()[0];
        EXPECT_EQ(root.record.name, "rootfs");
        EXPECT_EQ(root.size, (1024 * 1024 + leb - 1) / leb * leb);
        // A dynamic volume holds its image, the erased rest of its last LEB
        // as flashed, and its unmapped LEBs as zeros (holes).
        Bytes rootfs = member(*img, "rootfs");
        ASSERT_EQ(rootfs.size(), root.size);
        const size_t mapped = (200000 + leb - 1) / leb * leb;
        EXPECT_EQ(Bytes(rootfs.begin(), rootfs.begin() + 200000), pattern(200000, 3));
        EXPECT_TRUE(std::all_of(rootfs.begin() + 200000, rootfs.begin() + mapped,
                                [](std::byte b) { return b == std::byte{0xFF}; }));
        EXPECT_TRUE(std::all_of(rootfs.begin() + mapped, rootfs.end(),
                                [](std::byte b) { return b == std::byte{0}; }));
        const TImgEntry& e = img->root()->children[0]->entry;
        EXPECT_EQ(img->nextData(e, 0).end, mapped);
        // Static volumes hold exactly their bytes.
        EXPECT_EQ(member(*img, "kernel"), pattern(300000, 1));
        EXPECT_EQ(member(*img, "dtb"), pattern(999, 2));
        EXPECT_EQ(img->volumes()[2].id, 5u);
    }
}

// Two PEBs holding one LEB: the newer wins, unless it is a wear-levelling
// copy whose data CRC fails, which was cut off while being written.
TEST_F(UbiPeer, NewestCopyOfALebWins) {
    const UbinizeParams p;
    const Bytes base = threeVolumes(p);
    const UbiOffsets o = ubiOffsets(base);
    const uint32_t leb = p.pebSize - o.data;
    // The PEB holding LEB 1 of the kernel volume.
    uint64_t kernelLeb1 = 0;
    for (uint64_t peb = 0; peb * p.pebSize < base.size(); ++peb) {
        auto v = ubi::loadVidHeader(base.data() + peb * p.pebSize + o.vidHdr);
        if (v && v->volId == 1 && v->lnum == 1)
            kernelLeb1 = peb;
    }
    ASSERT_NE(kernelLeb1, 0u);
    const struct {
        const char* what;
        bool copyFlag;
        bool goodCrc;
        bool newerWins;
    } cases[] = {
        {"newer copy", false, true, true},
        {"wear-levelling copy", true, true, true},
        {"copy cut short", true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes img = base;
        const size_t at = img.size();
        img.insert(img.end(), img.begin() + static_cast<ptrdiff_t>(kernelLeb1 * p.pebSize),
                   img.begin() + static_cast<ptrdiff_t>((kernelLeb1 + 1) * p.pebSize));
        std::byte* data = img.data() + at + o.data;
        std::memset(data, 0x5A, 1000);
        changeVid(img, p.pebSize, at / p.pebSize, [&](ubi::VidHeader& h) {
            h.sqnum += 1000;
            h.copyFlag = c.copyFlag;
            h.dataCrc = ubiCrc32(ByteSpan(data, h.dataSize)) ^ (c.goodCrc ? 0u : 1u);
        });
        auto u = openUbi(std::move(img));
        const Bytes kernel = member(*u, "kernel");
        Bytes expect = pattern(300000, 1);
        if (c.newerWins)
            std::memset(expect.data() + leb, 0x5A, 1000);
        EXPECT_EQ(kernel == expect, true);
        EXPECT_EQ(u->scan().stale, 1u);
        EXPECT_EQ(u->warnings().empty(), c.newerWins);
    }
}

TEST_F(UbiPeer, ErasedDamagedAndFastmapPebs) {
    const UbinizeParams p;
    Bytes img = threeVolumes(p);
    const size_t pebs = img.size() / p.pebSize;
    // An erased PEB, one with a damaged EC header, and a fastmap anchor.
    img.resize(img.size() + 3 * p.pebSize, std::byte{0xFF});
    std::memcpy(img.data() + (pebs + 1) * p.pebSize, img.data(), p.pebSize);
    img[(pebs + 1) * p.pebSize + 10] ^= std::byte{1};
    std::memcpy(img.data() + (pebs + 2) * p.pebSize, img.data(), p.pebSize);
    changeVid(img, p.pebSize, pebs + 2, [](ubi::VidHeader& h) {
        h.volId = ubi::kFastmapSbVolumeId;
        h.lnum = 0;
    });
    auto u = openUbi(img);
    EXPECT_EQ(u->scan().erased, 1u);
    EXPECT_EQ(u->scan().corrupt, 1u);
    EXPECT_EQ(u->scan().fastmap, 1u);
    EXPECT_EQ(member(*u, "kernel"), pattern(300000, 1));
    ASSERT_EQ(u->warnings().size(), 1u);
    EXPECT_NE(u->warnings()[0].find("PEB " + std::to_string(pebs + 1)), std::string::npos);
}

TEST_F(UbiPeer, VolumeTableCopies) {
    const UbinizeParams p;
    const Bytes base = threeVolumes(p);
    const UbiOffsets o = ubiOffsets(base);
    // ubinize writes the layout volume's two LEBs into the first two PEBs.
    auto spoil = [&](Bytes& img, uint64_t peb) {
        img[peb * p.pebSize + o.data + ubi::vtbl::kSize + 20] ^= std::byte{0x40};
        img[peb * p.pebSize + o.data + 20] ^= std::byte{0x40};
    };
    Bytes one = base;
    spoil(one, 0);
    auto u = openUbi(one);
    EXPECT_EQ(u->volumes().size(), 3u);
    EXPECT_EQ(u->volumes()[1].record.name, "kernel");
    Bytes both = base;
    spoil(both, 0);
    spoil(both, 1);
    u = openUbi(both);
    // Without their records, volumes keep their LEBs under made-up names.
    std::vector<std::string> names;
    for (const Tubi::Volume& v : u->volumes())
        names.push_back(v.record.name);
    EXPECT_EQ(names, (std::vector<std::string>{"dtb", "volume-0", "volume-1"}));
    EXPECT_EQ(member(*u, "volume-1"), pattern(300000, 1));
    EXPECT_EQ(member(*u, "dtb"), pattern(999, 2));
    EXPECT_FALSE(u->warnings().empty());
}

TEST_F(UbiPeer, CliListsVolumesAndOpensThem) {
    threeVolumes({});
    const std::string image = dir / "ubi.img";
    CommandResult r = run(cli("info " + shellQuote(image)));
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* want : {"PEB size:          131072", "min I/O size:      2048",
                             "sub-page size:     512", "VID header offset: 512", "  kernel",
                             "type:            static", "used bytes:      300000"})
        EXPECT_NE(r.out.find(want), std::string::npos) << want << "\n" << r.out;
    r = run(cli("cat " + shellQuote(image) + " /dtb"));
    EXPECT_EQ(r.out, toString(pattern(999, 2)));
    r = run(cli("extract " + shellQuote(image) + " -C " + shellQuote(dir / "x")));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(dir / "x/kernel"), pattern(300000, 1));
}

// Whatever the bytes claim, opening stays within the image and refuses with
// a message or opens what it can.
TEST_F(UbiPeer, HostileImagesStayBounded) {
    UbinizeParams p;
    p.pebSize = 16 * 1024;
    p.minIo = 512;
    p.subPage = 0;
    const Bytes base = threeVolumes(p);
    std::mt19937 rng(3);
    for (int round = 0; round < 400; ++round) {
        Bytes img = base;
        if (round % 4 == 0) {
            img.resize(rng() % img.size());
        } else {
            // Headers with their CRCs set again, so that the values reach the
            // reader: sizes, counts and numbers out of every range.
            const uint64_t peb = rng() % (img.size() / p.pebSize);
            changeVid(img, p.pebSize, peb, [&](ubi::VidHeader& h) {
                switch (rng() % 5) {
                case 0:
                    h.lnum = static_cast<uint32_t>(rng());
                    break;
                case 1:
                    h.usedEbs = static_cast<uint32_t>(rng());
                    break;
                case 2:
                    h.dataSize = static_cast<uint32_t>(rng() % (p.pebSize * 2));
                    break;
                case 3:
                    h.volId = static_cast<uint32_t>(rng() % 200);
                    break;
                default:
                    h.dataPad = static_cast<uint32_t>(rng() % p.pebSize);
                }
            });
        }
        try {
            auto u = openUbi(std::move(img));
            for (const auto& c : u->root()->children) {
                Bytes b(4096);
                const uint64_t size = u->contentSize(c->entry);
                for (uint64_t at = 0; at < std::min<uint64_t>(size, 1u << 20); at += 4096)
                    u->ReadRange(c->entry, at, MutableByteSpan(b));
            }
        } catch (const Error&) {
        }
    }
}

} // namespace
} // namespace korvane
