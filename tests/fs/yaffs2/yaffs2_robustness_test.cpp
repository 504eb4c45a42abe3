// Damaged, truncated and spliced YAFFS2 images must open and read without a
// fault (the suite runs under AddressSanitizer and UBSan).
#include "fs/yaffs2/tyaffs2obj.h"
#include "model/error.h"
#include "source/image_data.h"
#include "support/yaffs2_builder.h"

#include <gtest/gtest.h>
#include <random>

using namespace korvane;
using namespace korvane::yaffs2;
using korvane::test::pattern;
using korvane::test::Yaffs2Builder;

namespace {

struct Base {
    Bytes bytes;
    Layout layout;
};

std::vector<Base> baseImages() {
    std::vector<Base> out;
    {
        Yaffs2Builder b;
        b.root();
        b.dir(258, 1, "d");
        for (uint32_t i = 0; i < 6; ++i)
            b.file(259 + i, i % 2 ? 258 : 1, "f" + std::to_string(i), pattern(700 * i * i, i));
        b.symlink(270, 258, "l", "f1");
        b.hardlink(271, 1, "h", 260);
        b.special(272, 258, "dev", 060600, 0x801);
        b.zeros(2);
        out.push_back({b.bytes(), b.layout()});
    }
    {
        Yaffs2Builder b(plainLayout(kDefaultLayout, true, kEccNand));
        b.erased(4);
        b.sequence = 0x1005;
        b.root();
        b.dir(300, 1, "x");
        b.file(301, 300, "y", pattern(9000, 7));
        b.sequence = 0x1003;
        b.header(301, Yaffs2Builder::make(kHdrFile, 300, "y0", 0100644), true);
        b.sequence = 0x1009;
        b.header(300, Yaffs2Builder::make(kHdrDirectory, 4, "x", 040755));
        b.dir(302, 1, "z");
        b.file(303, 302, "w", pattern(3000, 8));
        b.erased(3);
        out.push_back({b.bytes(), b.layout()});
    }
    for (size_t which : {12, 15}) { // inband tags; big-endian with a marker
        Yaffs2Builder b(commonLayouts()[which].layout);
        b.root();
        b.dir(258, 1, "d");
        b.file(259, 258, "f", pattern(12000, 3));
        b.hardlink(260, 1, "h", 259);
        out.push_back({b.bytes(), b.layout()});
    }
    return out;
}

void readEverything(Tyaffs2obj& img, std::mt19937& rng) {
    TImgEntry e;
    Bytes buf;
    forEachPreorder(img.root(), [&](Node* n) {
        if (n->entry.size <= (64u << 20))
            img.ReadContent(n->entry.objId, e, buf);
        else
            img.GetEntry(n->entry.objId, e);
    });
    for (int i = 0; i < 20; ++i) {
        auto id = static_cast<uint32_t>(rng() % (img.maxObjId + 2));
        if (img.GetEntry(id, e) && e.size <= (64u << 20))
            img.ReadContent(id, e, buf);
    }
}

// Every variant is opened twice: with its layout found (a refusal is a fine
// outcome) and with the layout given, which must always open.
TEST(Yaffs2Robustness, DamagedImagesNeverFault) {
    std::vector<Base> bases = baseImages();
    std::mt19937 rng(20261208);
    constexpr int kVariants = 3000;
    for (int v = 0; v < kVariants; ++v) {
        const Base& base = bases[rng() % bases.size()];
        Bytes img = base.bytes;
        const size_t recordSize = base.layout.recordSize();
        const size_t tagsAt = base.layout.tagsAt();
        switch (rng() % 5) {
        case 0: // scattered byte damage
            for (int k = 0, n = 1 + static_cast<int>(rng() % 64); k < n; ++k)
                img[rng() % img.size()] = static_cast<std::byte>(rng());
            break;
        case 1: // damaged tags and headers
            for (int k = 0, n = 1 + static_cast<int>(rng() % 8); k < n; ++k) {
                size_t c = rng() % (img.size() / recordSize);
                size_t at = c * recordSize + (rng() % 2 ? tagsAt + rng() % 20 : rng() % 512);
                store32(img.data() + std::min(at, img.size() - 4), static_cast<uint32_t>(rng()));
            }
            break;
        case 2: // truncated anywhere
            img.resize(rng() % (img.size() + 1));
            break;
        case 3: { // spliced with another image at any offset
            const Bytes& other = bases[rng() % bases.size()].bytes;
            size_t cut = rng() % img.size();
            size_t from = rng() % other.size();
            img.resize(cut);
            img.insert(img.end(), other.begin() + static_cast<long>(from), other.end());
            break;
        }
        default: // chunks duplicated and reordered
            for (int k = 0; k < 4; ++k) {
                size_t chunks = img.size() / recordSize;
                size_t a = rng() % chunks, b = rng() % chunks;
                std::copy_n(img.begin() + static_cast<long>(a * recordSize), recordSize,
                            img.begin() + static_cast<long>(b * recordSize));
            }
            break;
        }
        if (img.empty())
            continue;
        SCOPED_TRACE("variant " + std::to_string(v));
        {
            Tyaffs2obj y;
            y.Init(ImageData::fromBytes(img));
            try {
                y.Open();
                ASSERT_NE(y.root(), nullptr);
                ASSERT_NO_THROW(readEverything(y, rng));
            } catch (const Error&) {
            }
        }
        Tyaffs2obj y;
        y.setLayout(base.layout);
        y.Init(ImageData::fromBytes(img));
        ASSERT_NO_THROW(y.Open());
        ASSERT_NE(y.root(), nullptr);
        ASSERT_NO_THROW(readEverything(y, rng));
    }
}

TEST(Yaffs2Robustness, HostileValuesStayBounded) {
    // Object ids beyond what a filesystem hands out, parent loops and
    // self-parents are read without growing tables or looping.
    Yaffs2Builder b;
    b.root();
    b.dir(0x0FFFFFFF, 1, "huge-id");
    b.dir(400, 401, "loop-a");
    b.dir(401, 400, "loop-b");
    b.dir(402, 402, "self");
    ObjectHeader f = Yaffs2Builder::make(kHdrFile, 1, "f", 0100644);
    f.fileSize = 100;
    b.header(403, f);
    b.data(403, 0x7FFFFFFF, pattern(2048, 1));               // absurd chunk id
    b.chunk({0x1000, 403, 1, 0xFFFFFFFF}, pattern(2048, 2)); // absurd byte count
    Tyaffs2obj y;
    y.Init(ImageData::fromBytes(b.bytes()));
    y.Open();
    EXPECT_LE(y.nodeTable.size(), kMaxObjId + 1);
    ASSERT_EQ(y.root()->children.size(), 1u);
    TImgEntry e;
    Bytes buf;
    y.ReadContent(403, e, buf);
    Bytes want = pattern(2048, 2);
    want.resize(100);
    buf.resize(100);
    EXPECT_EQ(buf, want);
}

} // namespace
