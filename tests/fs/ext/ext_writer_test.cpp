// The bytes the EXT2/EXT3 writer lays down: superblock, descriptors, bitmaps,
// inodes, directories, block maps and the journal; its refusals, cancel and
// work events.
#include "ext_write_util.h"
#include "fs/ext/ext_writer.h"
#include "model/error.h"
#include "support/save_as.h"
#include "support/yaffs2_builder.h"
#include "text/messagetext.h"
#include "transfer/loadimage.h"
#include "transfer/saveas.h"

#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>

using namespace korvane;
using namespace korvane::ext2;
using namespace korvane::test;

namespace {

constexpr uint32_t K = 1024;

// Saves img as EXT2 or EXT3, checks the image with e2fsck and returns its bytes.
Bytes saveExt(Timg& img, bool ext3) {
    TempDir dir;
    std::string out = dir / "out.img";
    EXPECT_TRUE(saveas(img, out, ext3 ? "ext3" : "ext2", {}));
    expectFsckClean(out);
    return readFile(out);
}

const std::byte* blockAt(const Bytes& b, uint32_t n) {
    return b.data() + size_t{n} * K;
}

const std::byte* inodeAt(const Bytes& b, uint32_t n) {
    const uint32_t g = (n - 1) / 128;
    return blockAt(b, g * 8192 + 8) + ((n - 1) % 128) * 128;
}

uint32_t mapSlot(const Bytes& b, uint32_t n, size_t slot) {
    return load32(inodeAt(b, n) + ino::kBlockMap + 4 * slot);
}

uint16_t links(const Bytes& b, uint32_t n) {
    return load16(inodeAt(b, n) + ino::kLinks);
}

struct Entry {
    uint32_t inode;
    uint16_t recLen;
    std::string name;
    bool operator==(const Entry&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Entry& e) {
    return os << "{" << e.inode << ", " << e.recLen << ", " << e.name << "}";
}

std::vector<Entry> entriesOf(const Bytes& b, uint32_t block) {
    std::vector<Entry> out;
    const std::byte* p = blockAt(b, block);
    for (uint32_t at = 0; at < K;) {
        Entry e{load32(p + at), load16(p + at + 4),
                std::string(reinterpret_cast<const char*>(p + at + 8),
                            std::to_integer<size_t>(p[at + 6]))};
        out.push_back(e);
        if (e.recLen < 8)
            break;
        at += e.recLen;
    }
    return out;
}

class Events : public WorkSink {
public:
    struct Event {
        int64_t pos, max;
        int kind;
        std::string message;
        uint8_t flag;
    };
    void report(int64_t pos, int64_t max, int kind, const Message& message, uint8_t flag) override {
        events.push_back({pos, max, kind, zh(message), flag});
    }
    std::vector<Event> events;
};

TEST(ExtWriter, RootOnlyExt2) {
    auto img = newimage();
    img->root()->entry.mode = 040751;
    img->root()->entry.uid = 7;
    img->root()->entry.mtime = 1234;
    const uint32_t before = static_cast<uint32_t>(std::time(nullptr));
    Bytes b = saveExt(*img, false);
    ASSERT_EQ(b.size(), 1024u * K);
    const std::byte* s = blockAt(b, 1);
    EXPECT_EQ(load32(s + sb::kInodesCount), 128u);
    EXPECT_EQ(load32(s + sb::kBlocksCount), 1024u);
    EXPECT_EQ(load32(s + sb::kReservedBlocks), 0u);
    // Blocks 1, 2 and 6 to 36 are in use; the three descriptor blocks one
    // group does not need stay free.
    EXPECT_EQ(load32(s + sb::kFreeBlocks), 990u);
    EXPECT_EQ(load32(s + sb::kFreeInodes), 117u);
    EXPECT_EQ(load32(s + sb::kFirstDataBlock), 1u);
    EXPECT_EQ(load32(s + sb::kLogBlockSize), 0u);
    EXPECT_EQ(load32(s + sb::kBlocksPerGroup), 8192u);
    EXPECT_EQ(load32(s + sb::kFragsPerGroup), 8192u);
    EXPECT_EQ(load32(s + sb::kInodesPerGroup), 128u);
    EXPECT_GE(load32(s + sb::kWriteTime), before);
    EXPECT_EQ(load32(s + sb::kLastCheck), load32(s + sb::kWriteTime));
    EXPECT_EQ(load16(s + sb::kMaxMountCount), 24u);
    EXPECT_EQ(load16(s + sb::kMagic), 0xEF53u);
    EXPECT_EQ(load16(s + sb::kState), 1u);
    EXPECT_EQ(load32(s + sb::kCheckInterval), 15552000u);
    EXPECT_EQ(load32(s + sb::kRevLevel), 1u);
    EXPECT_EQ(load32(s + sb::kFirstIno), 11u);
    EXPECT_EQ(load16(s + sb::kInodeSize), 128u);
    EXPECT_EQ(load32(s + sb::kFeatureCompat), 0u);
    EXPECT_EQ(load32(s + sb::kFeatureIncompat), 0u);
    EXPECT_EQ(load32(s + sb::kFeatureRoCompat), 0u);
    EXPECT_EQ(load32(s + sb::kJournalInum), 0u);
    for (size_t i = 0; i < 16; ++i)
        EXPECT_EQ(std::to_integer<size_t>(s[sb::kUuid + i]), 13 * (i + 1));

    const std::byte* d = blockAt(b, 2);
    EXPECT_EQ(load32(d + gd::kBlockBitmap), 6u);
    EXPECT_EQ(load32(d + gd::kInodeBitmap), 7u);
    EXPECT_EQ(load32(d + gd::kInodeTable), 8u);
    EXPECT_EQ(load16(d + gd::kFreeBlocks), 990u);
    EXPECT_EQ(load16(d + gd::kFreeInodes), 117u);
    EXPECT_EQ(load16(d + gd::kUsedDirs), 2u);
    for (size_t i = 32; i < 4 * K; ++i)
        ASSERT_EQ(d[i], std::byte{0}) << "past the one descriptor, at " << i;

    const std::byte* bb = blockAt(b, 6);
    const uint8_t head[] = {0xE3, 0xFF, 0xFF, 0xFF, 0x0F, 0x00};
    for (size_t i = 0; i < sizeof head; ++i)
        EXPECT_EQ(std::to_integer<uint8_t>(bb[i]), head[i]) << i;
    // The group ends at block 1023 (bit 1022); the bits past it are set.
    EXPECT_EQ(std::to_integer<uint8_t>(bb[127]), 0x80);
    for (size_t i = 128; i < K; ++i)
        ASSERT_EQ(bb[i], std::byte{0xFF}) << i;
    const std::byte* ib = blockAt(b, 7);
    EXPECT_EQ(std::to_integer<uint8_t>(ib[0]), 0xFF);
    EXPECT_EQ(std::to_integer<uint8_t>(ib[1]), 0x07);
    for (size_t i = 2; i < 16; ++i)
        EXPECT_EQ(ib[i], std::byte{0}) << i;
    for (size_t i = 16; i < K; ++i)
        ASSERT_EQ(ib[i], std::byte{0xFF}) << "padding past 128 inodes, at " << i;

    // lost+found: blocks 24 to 35; the root directory: block 36.
    EXPECT_EQ(load16(inodeAt(b, 11) + ino::kMode), 040700u);
    EXPECT_EQ(load32(inodeAt(b, 11) + ino::kSize), 12u * K);
    EXPECT_EQ(load32(inodeAt(b, 11) + ino::kBlocks), 24u);
    EXPECT_EQ(links(b, 11), 2u);
    for (uint32_t i = 0; i < 12; ++i)
        EXPECT_EQ(mapSlot(b, 11, i), 24 + i);
    EXPECT_EQ(entriesOf(b, 24), (std::vector<Entry>{{11, 12, "."}, {2, 1012, ".."}}));
    for (uint32_t k = 25; k <= 35; ++k)
        EXPECT_EQ(entriesOf(b, k), (std::vector<Entry>{{0, 1024, ""}})) << k;

    const std::byte* root = inodeAt(b, 2);
    EXPECT_EQ(load16(root + ino::kMode), 040751u);
    EXPECT_EQ(load16(root + ino::kUid), 7u);
    EXPECT_EQ(load32(root + ino::kMtime), 1234u);
    EXPECT_EQ(load32(root + ino::kSize), K);
    EXPECT_EQ(load32(root + ino::kBlocks), 2u);
    EXPECT_EQ(links(b, 2), 3u) << "., .. and lost+found's ..";
    EXPECT_EQ(mapSlot(b, 2, 0), 36u);
    EXPECT_EQ(entriesOf(b, 36),
              (std::vector<Entry>{{2, 12, "."}, {2, 12, ".."}, {11, 1000, "lost+found"}}));
    for (uint32_t n : {1u, 3u, 7u, 8u, 10u, 12u})
        for (size_t i = 0; i < 128; ++i)
            ASSERT_EQ(inodeAt(b, n)[i], std::byte{0}) << "inode " << n;
}

TEST(ExtWriter, RootOnlyExt3) {
    auto img = newimage();
    Bytes b = saveExt(*img, true);
    ASSERT_EQ(b.size(), 2048u * K);
    const std::byte* s = blockAt(b, 1);
    EXPECT_EQ(load32(s + sb::kBlocksCount), 2048u);
    EXPECT_EQ(load32(s + sb::kFreeBlocks), 985u);
    EXPECT_EQ(load16(blockAt(b, 2) + gd::kFreeBlocks), 985u);
    EXPECT_EQ(load32(s + sb::kFeatureCompat), 4u);
    EXPECT_EQ(load32(s + sb::kJournalInum), 8u);
    EXPECT_EQ(std::to_integer<int>(s[sb::kJournalBackupType]), 1);
    EXPECT_EQ(load32(s + sb::kJournalSize), 1024u * K);
    EXPECT_EQ(load32(s + sb::kJournalSizeHigh), 0u);
    for (size_t i = 0; i < 15; ++i)
        EXPECT_EQ(load32(s + sb::kJournalBlocks + 4 * i), mapSlot(b, 8, i)) << i;

    // After lost+found (24 to 35) and the root (36) the journal takes 37 to
    // 1065: 12 direct blocks, the single-indirect block 49 and its 256
    // blocks, the double-indirect block 306 and three blocks below it.
    EXPECT_EQ(mapSlot(b, 2, 0), 36u);
    for (uint32_t i = 0; i < 12; ++i)
        EXPECT_EQ(mapSlot(b, 8, i), 37 + i);
    EXPECT_EQ(mapSlot(b, 8, 12), 49u);
    EXPECT_EQ(mapSlot(b, 8, 13), 306u);
    EXPECT_EQ(mapSlot(b, 8, 14), 0u);
    EXPECT_EQ(load32(blockAt(b, 49)), 50u);
    EXPECT_EQ(load32(blockAt(b, 49) + 255 * 4), 305u);
    EXPECT_EQ(load32(blockAt(b, 306)), 307u);
    EXPECT_EQ(load32(blockAt(b, 306) + 4), 564u);
    EXPECT_EQ(load32(blockAt(b, 306) + 8), 821u);
    EXPECT_EQ(load32(blockAt(b, 306) + 12), 0u);
    EXPECT_EQ(load32(blockAt(b, 821) + 243 * 4), 1065u);
    EXPECT_EQ(load32(blockAt(b, 821) + 244 * 4), 0u);
    // In use: 1, 2, 6 to 1065; the last bit of the group is block 2047.
    const std::byte* bb = blockAt(b, 6);
    EXPECT_EQ(std::to_integer<uint8_t>(bb[0]), 0xE3);
    EXPECT_EQ(std::to_integer<uint8_t>(bb[132]), 0xFF) << "blocks 1057 to 1064";
    EXPECT_EQ(std::to_integer<uint8_t>(bb[133]), 0x01) << "block 1065";
    EXPECT_EQ(std::to_integer<uint8_t>(bb[255]), 0x80);

    const std::byte* j = inodeAt(b, 8);
    EXPECT_EQ(load16(j + ino::kMode), 0100600u);
    EXPECT_EQ(load32(j + ino::kSize), 1024u * K);
    EXPECT_EQ(load32(j + ino::kBlocks), 2 * 1029u);
    EXPECT_EQ(load32(j + ino::kAtime), 0u);
    EXPECT_EQ(load32(j + ino::kMtime), load32(s + sb::kWriteTime));
    EXPECT_EQ(links(b, 8), 1u);
    const std::byte* jsb = blockAt(b, 37);
    const uint32_t want[] = {0xC03B3998, 4, 0, 1024, 1024, 1, 1, 0};
    for (size_t i = 0; i < std::size(want); ++i)
        EXPECT_EQ(load32be(jsb + 4 * i), want[i]) << i;
    for (size_t i = 32; i < K; ++i)
        ASSERT_EQ(jsb[i], std::byte{0}) << i;
}

TEST(ExtWriter, FileOfThirteenBlocks) {
    auto img = newimage();
    Bytes data = pattern(13 * K, 4);
    Node* f = addFile(*img, img->root(), "f", data, 0100640);
    f->entry.uid = 1000;
    f->entry.gid = 2000;
    f->entry.atime = 11;
    f->entry.ctime = 22;
    f->entry.mtime = 33;
    addFile(*img, img->root(), "empty", {});
    Bytes b = saveExt(*img, false);
    const std::byte* n = inodeAt(b, 12);
    EXPECT_EQ(load16(n + ino::kMode), 0100640u);
    EXPECT_EQ(load16(n + ino::kUid), 1000u);
    EXPECT_EQ(load16(n + ino::kGid), 2000u);
    EXPECT_EQ(load32(n + ino::kSize), 13 * K);
    EXPECT_EQ(load32(n + ino::kAtime), 11u);
    EXPECT_EQ(load32(n + ino::kCtime), 22u);
    EXPECT_EQ(load32(n + ino::kMtime), 33u);
    EXPECT_EQ(load32(n + ino::kBlocks), 28u);
    EXPECT_EQ(links(b, 12), 1u);
    for (uint32_t i = 0; i < 12; ++i)
        EXPECT_EQ(mapSlot(b, 12, i), 36 + i);
    EXPECT_EQ(mapSlot(b, 12, 12), 48u) << "the single-indirect block before its data";
    EXPECT_EQ(load32(blockAt(b, 48)), 49u);
    EXPECT_EQ(load32(blockAt(b, 48) + 4), 0u);
    for (uint32_t i = 0; i < 12; ++i)
        EXPECT_TRUE(
            std::equal(data.begin() + i * K, data.begin() + (i + 1) * K, blockAt(b, 36 + i)));
    EXPECT_TRUE(std::equal(data.end() - K, data.end(), blockAt(b, 49)));
    // The empty file: no blocks. The root directory comes after its children.
    EXPECT_EQ(load32(inodeAt(b, 13) + ino::kBlocks), 0u);
    EXPECT_EQ(mapSlot(b, 13, 0), 0u);
    EXPECT_EQ(mapSlot(b, 2, 0), 50u);
}

TEST(ExtWriter, EntriesInTreeOrderAndExactBlocks) {
    auto img = newimage();
    Node* root = img->root();
    addNode(*img, root, "zeta", kTypeDirectory, 040755);
    Node* d = addNode(*img, root, "alpha", kTypeDirectory, 040700);
    addFile(*img, root, "mid", bytesOf("x"));
    for (int i = 0; i < 4; ++i)
        addFile(*img, d, std::string(i < 3 ? 244 : 236, static_cast<char>('a' + i)), {});
    Bytes b = saveExt(*img, false);
    // Inodes: zeta 12, alpha 13, its files 14 to 17, mid 18. Blocks: lost+found
    // 24-35, zeta 36, alpha 37, mid 38, root 39.
    EXPECT_EQ(entriesOf(b, 39), (std::vector<Entry>{{2, 12, "."},
                                                    {2, 12, ".."},
                                                    {11, 20, "lost+found"},
                                                    {12, 12, "zeta"},
                                                    {13, 16, "alpha"},
                                                    {18, 952, "mid"}}));
    EXPECT_EQ(links(b, 2), 5u);
    EXPECT_EQ(entriesOf(b, 36), (std::vector<Entry>{{12, 12, "."}, {2, 1012, ".."}}));
    std::vector<Entry> a = entriesOf(b, 37);
    ASSERT_EQ(a.size(), 6u);
    EXPECT_EQ(a[1], (Entry{2, 12, ".."}));
    EXPECT_EQ(a[4].recLen, 252u);
    EXPECT_EQ(a[5].recLen, 244u) << "the last entry ends exactly at the block's end";
    EXPECT_EQ(load32(inodeAt(b, 13) + ino::kSize), K);

    // One more entry starts a second block and the folder grows by 1024.
    addFile(*img, d, "x", {});
    b = saveExt(*img, false);
    EXPECT_EQ(load32(inodeAt(b, 13) + ino::kSize), 2 * K);
    EXPECT_EQ(mapSlot(b, 13, 0), 37u);
    EXPECT_EQ(mapSlot(b, 13, 1), 38u);
    EXPECT_EQ(entriesOf(b, 37)[5].recLen, 244u);
    EXPECT_EQ(entriesOf(b, 38), (std::vector<Entry>{{18, 1024, "x"}}));
}

TEST(ExtWriter, HardLinksShareOneInode) {
    auto img = newimage();
    Node* root = img->root();
    Node* target = addFile(*img, root, "b", pattern(3000, 1));
    Node* link1 = addHardlink(*img, root, "a", target);
    addHardlink(*img, root, "c", target);
    // The link before its target in tree order.
    root->children.insert(root->children.begin(), root->detach(link1));
    Node* sl = addSymlink(*img, root, "s", "b");
    addHardlink(*img, root, "s2", sl);
    Bytes b = saveExt(*img, false);
    // Tree order: a, b (12 + 2 = 13), c, s (15), s2.
    EXPECT_EQ(entriesOf(b, mapSlot(b, 2, 0)), (std::vector<Entry>{{2, 12, "."},
                                                                  {2, 12, ".."},
                                                                  {11, 20, "lost+found"},
                                                                  {13, 12, "a"},
                                                                  {13, 12, "b"},
                                                                  {13, 12, "c"},
                                                                  {15, 12, "s"},
                                                                  {15, 932, "s2"}}));
    EXPECT_EQ(links(b, 13), 3u);
    EXPECT_EQ(links(b, 15), 2u);
    for (uint32_t n : {12u, 14u, 16u})
        EXPECT_EQ(load16(inodeAt(b, n) + ino::kMode), 0u) << "hard links get no inode";
    EXPECT_EQ(load16(blockAt(b, 2) + gd::kFreeInodes), 128u - 11 - 2);
}

TEST(ExtWriter, SymbolicLinksInTheInodeOrInABlock) {
    auto img = newimage();
    const std::string t59(59, 'a'), t60(60, 'b'), t1023(1023, 'c');
    addSymlink(*img, img->root(), "l59", t59);
    addSymlink(*img, img->root(), "l60", t60);
    addSymlink(*img, img->root(), "l1023", t1023);
    Bytes b = saveExt(*img, false);
    const std::byte* l59 = inodeAt(b, 12);
    EXPECT_EQ(load16(l59 + ino::kMode), 0120777u);
    EXPECT_EQ(load32(l59 + ino::kSize), 59u);
    EXPECT_EQ(load32(l59 + ino::kBlocks), 0u);
    EXPECT_EQ(toString(ByteSpan(l59 + ino::kBlockMap, 60)), t59 + std::string(1, '\0'));
    const std::byte* l60 = inodeAt(b, 13);
    EXPECT_EQ(load32(l60 + ino::kSize), 60u);
    EXPECT_EQ(load32(l60 + ino::kBlocks), 2u) << "60 bytes leave no room for the zero";
    EXPECT_EQ(mapSlot(b, 13, 0), 36u);
    EXPECT_EQ(mapSlot(b, 13, 1), 0u);
    EXPECT_EQ(toString(ByteSpan(blockAt(b, 36), 61)), t60 + std::string(1, '\0'));
    EXPECT_EQ(toString(ByteSpan(blockAt(b, 37), 1023)), t1023);
    EXPECT_EQ(blockAt(b, 37)[1023], std::byte{0});
}

TEST(ExtWriter, SpecialFilesKeepTheirKind) {
    auto img = newimage();
    Node* root = img->root();
    struct Case {
        uint8_t type;
        uint32_t mode;
        uint16_t want;
    };
    const Case cases[] = {
        {kTypeSpecial, 020620, 020620},     // YAFFS2: character device
        {kTypeSpecial, 060640, 060640},     // YAFFS2: block device
        {kTypeSpecial, 010600, 010600},     // YAFFS2: FIFO
        {kTypeSpecial, 0140755, 0140755},   // YAFFS2: socket
        {kTypeSpecial, 0644, 020644},       // no type bits: character device
        {kTypeBlockDevice, 0644, 060644},   // no type bits: block device
        {kTypeOther, 0644, 010644},         // no type bits: FIFO
        {kTypeOther, 0140600, 0140600},     // a socket read from EXT
        {kTypeBlockDevice, 0100644, 060644} // type bits that name no special file
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        Node* n = addSpecial(*img, root, "s" + std::to_string(i), cases[i].type, cases[i].mode,
                             {8, 1 + static_cast<uint32_t>(i)});
        n->entry.size = 99; // special files have no size
    }
    Bytes b = saveExt(*img, false);
    for (size_t i = 0; i < std::size(cases); ++i) {
        const uint32_t n = 12 + static_cast<uint32_t>(i);
        EXPECT_EQ(load16(inodeAt(b, n) + ino::kMode), cases[i].want) << i;
        EXPECT_EQ(load32(inodeAt(b, n) + ino::kSize), 0u) << i;
        EXPECT_EQ(load32(inodeAt(b, n) + ino::kBlocks), 0u) << i;
        const bool device =
            (cases[i].want & 0170000) == 020000 || (cases[i].want & 0170000) == 060000;
        EXPECT_EQ(mapSlot(b, n, 0), device ? 0x0801 + i : 0) << "old encoding";
        EXPECT_EQ(mapSlot(b, n, 1), 0u);
    }
}

TEST(ExtWriter, SourceLostFoundIsReplaced) {
    auto img = newimage();
    Node* root = img->root();
    Node* lf = addNode(*img, root, "lost+found", kTypeDirectory, 040755);
    addFile(*img, lf, "old", pattern(5000, 1));
    Node* d = addNode(*img, root, "d", kTypeDirectory, 040755);
    Node* deep = addNode(*img, d, "lost+found", kTypeDirectory, 040711);
    addFile(*img, deep, "kept", bytesOf("k"));
    Bytes b = saveExt(*img, false);
    // d has absolute index 3: inode 14; its lost+found 15, kept 16.
    EXPECT_EQ(
        entriesOf(b, mapSlot(b, 2, 0)),
        (std::vector<Entry>{{2, 12, "."}, {2, 12, ".."}, {11, 20, "lost+found"}, {14, 980, "d"}}));
    EXPECT_EQ(load16(inodeAt(b, 12) + ino::kMode), 0u);
    EXPECT_EQ(load16(inodeAt(b, 15) + ino::kMode), 040711u);
    EXPECT_EQ(entriesOf(b, mapSlot(b, 15, 0)),
              (std::vector<Entry>{{15, 12, "."}, {14, 12, ".."}, {16, 1000, "kept"}}));
}

TEST(ExtWriter, LargerInodeTablesForManyObjects) {
    auto img = newimage();
    Node* d = addNode(*img, img->root(), "d", kTypeDirectory, 040755);
    for (int i = 0; i < 300; ++i)
        addFile(*img, d, "f" + std::to_string(i), i % 7 ? Bytes{} : pattern(100, i));
    Bytes b = saveExt(*img, false);
    ASSERT_EQ(b.size(), 1024u * K);
    EXPECT_EQ(load32(blockAt(b, 1) + sb::kInodesCount), 312u);
    EXPECT_EQ(load32(blockAt(b, 1) + sb::kInodesPerGroup), 312u);
    EXPECT_EQ(load32(blockAt(b, 2) + gd::kInodeTable), 8u);
    EXPECT_EQ(load16(blockAt(b, 2) + gd::kFreeInodes), 0u) << "inodes 1 to 312 all in use";
    // The first data block follows the 39-block inode table.
    EXPECT_EQ(load32(blockAt(b, 8 + (11 - 1) / 8) + ((11 - 1) % 8) * 128 + ino::kBlockMap), 47u)
        << "lost+found's first block";

    auto many = newimage();
    for (int i = 0; i < 20000; ++i)
        addFile(*many, many->root(), "e" + std::to_string(i), i % 1000 ? Bytes{} : pattern(10, i));
    Bytes m = saveExt(*many, true);
    EXPECT_EQ(load32(blockAt(m, 1) + sb::kInodesPerGroup), 8192u);
    EXPECT_EQ(load32(blockAt(m, 1) + sb::kInodesCount), 3u * 8192);
    // Every group has its copy of the superblock and descriptors.
    for (uint32_t g : {1u, 2u}) {
        const std::byte* copy = blockAt(m, g * 8192 + 1);
        EXPECT_TRUE(std::equal(copy, copy + 2 * K, blockAt(m, 1))) << g;
    }
}

TEST(ExtWriter, WorkEvents) {
    auto img = newimage();
    addFile(*img, img->root(), "a", pattern(100, 1));
    Events sink;
    img->onwk = &sink;
    saveExt(*img, true);
    ASSERT_GE(sink.events.size(), 7u);
    for (const auto& e : sink.events)
        EXPECT_EQ(e.flag, 5);
    const auto& ev = sink.events;
    EXPECT_EQ(ev[0].kind, 1);
    EXPECT_EQ(ev[0].message, "保存中");
    EXPECT_EQ(ev[1].message, "正在计算空间");
    EXPECT_EQ(ev[2].message, "正在创建文件");
    EXPECT_EQ(ev[3].kind, 4);
    EXPECT_EQ(ev[3].message, "开始写入数据");
    EXPECT_EQ(ev[4].kind, 5);
    EXPECT_EQ(ev[4].message, "lost+found");
    EXPECT_EQ(ev[4].pos, 23);
    EXPECT_EQ(ev[4].max, 2048);
    const auto& done = ev[ev.size() - 2];
    EXPECT_EQ(done.kind, 5);
    EXPECT_EQ(done.message, "完成");
    EXPECT_EQ(done.pos, 2048);
    EXPECT_EQ(ev.back().kind, 6);
    EXPECT_EQ(ev.back().message, "完成");
}

// Saving must fail with a message holding fragment (in English or Chinese),
// before anything is written.
void expectRefused(Timg& img, const std::string& fragment, std::string kind = "ext2",
                   const ExtSaveParams& ext = {}) {
    TempDir dir;
    std::string out = dir / "out.img";
    writeFile(out, std::string("keep"));
    Events sink;
    img.onwk = &sink;
    try {
        saveas(img, out, kind, {}, ext);
        ADD_FAILURE() << "saved although " << fragment;
    } catch (const Error& e) {
        EXPECT_TRUE(std::string(e.what()).find(fragment) != std::string::npos ||
                    zh(e.message()).find(fragment) != std::string::npos)
            << e.what();
    }
    img.onwk = nullptr;
    EXPECT_EQ(toString(readFile(out)), "keep");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
    ASSERT_FALSE(sink.events.empty());
    EXPECT_EQ(sink.events.back().message, "完成");
    EXPECT_EQ(sink.events.back().kind, 6);
}

TEST(ExtWriter, RefusesWhatItCannotHold) {
    {
        auto img = zeroImage();
        addNode(*img, img->root(), "big", kTypeFile, 0644)->entry.size = 1020u << 20;
        TempDir dir;
        try {
            saveas(*img, dir / "x.img", "ext3", {});
            ADD_FAILURE() << "saved a 1 GiB tree";
        } catch (const Error& e) {
            EXPECT_EQ(zh(e.message()), "抱歉，目前最大只支持1G的镜像文件");
        }
        EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
        expectRefused(*img, "1G");
    }
    {
        auto img = newimage();
        Node* f = addFile(*img, img->root(), "f", bytesOf("x"));
        addHardlink(*img, img->root(), "h", f);
        img->setNode(f->entry.objId, nullptr);
        img->root()->detach(f);
        expectRefused(*img, "硬链接的目标已被删除，无法保存：/h");
    }
    {
        auto img = newimage();
        Node* d = addNode(*img, img->root(), "d", kTypeDirectory, 040755);
        addHardlink(*img, img->root(), "h", d);
        expectRefused(*img, "/h");
    }
    {
        auto img = newimage();
        addNode(*img, img->root(), std::string(256, 'n'), kTypeFile, 0644);
        expectRefused(*img, std::string(256, 'n'));
    }
    {
        auto img = newimage();
        addNode(*img, addNode(*img, img->root(), "d", kTypeDirectory, 040755), "a/b", kTypeFile,
                0644);
        expectRefused(*img, "/d/a/b");
    }
    {
        auto img = newimage();
        addNode(*img, img->root(), std::string("a\0b", 3), kTypeFile, 0644);
        expectRefused(*img, "/a\\0b");
    }
    {
        auto img = newimage();
        addNode(*img, addNode(*img, img->root(), "d", kTypeDirectory, 040755), "u", kTypeUnknown,
                0644);
        expectRefused(*img, "/d/u");
    }
    {
        auto img = newimage();
        addNode(*img, img->root(), "twice", kTypeFile, 0644);
        addNode(*img, img->root(), "twice", kTypeDirectory, 040755);
        expectRefused(*img, "/twice");
    }
    for (const std::string& target :
         {std::string(1024, 't'), std::string(), std::string("a\0b", 3)}) {
        auto img = newimage();
        addSymlink(*img, img->root(), "l", target);
        expectRefused(*img, "/l");
    }
}

std::string readAll(Timg& img, const std::string& path) {
    Node* n = findPath(img.root(), path);
    if (!n)
        return "<missing>";
    Bytes b(static_cast<size_t>(n->entry.size));
    img.ReadRange(n->entry, 0, MutableByteSpan(b));
    return toString(b);
}

// The tree's lost+found becomes the image's, contents and all; one that is
// no folder is saved under a free name, with a warning, beside a new one.
TEST(ExtWriter, LostFoundKeepsWhatItHolds) {
    auto img = newimage();
    Node* lf = addNode(*img, img->root(), "lost+found", kTypeDirectory, 040750);
    Node* x = addFile(*img, lf, "x", bytesOf("recovered"));
    addHardlink(*img, img->root(), "h", x);
    for (int i = 0; i < 200; ++i) // more entries than the usual 12 blocks of 1 KiB
        addFile(*img, lf, "entry-with-a-long-name-" + std::to_string(i), {});
    auto plain = newimage();
    addFile(*plain, plain->root(), "lost+found", bytesOf("a file"));
    addFile(*plain, plain->root(), "lost+found.1", bytesOf("taken"));
    TempDir dir;
    for (const std::string kind : {"ext2", "ext4"}) {
        SCOPED_TRACE(kind);
        const std::string out = dir / "lf.img";
        ASSERT_TRUE(saveas(*img, out, kind, {}));
        expectFsckClean(out);
        auto back = loadimage(out);
        EXPECT_EQ(readAll(*back, "lost+found/x"), "recovered");
        EXPECT_EQ(findPath(back->root(), "h")->entry.objType, kTypeHardlink);
        EXPECT_EQ(findPath(back->root(), "lost+found")->entry.mode & 07777, 0750u);

        std::vector<Message> warnings;
        checkExt(*plain, kind == "ext2" ? ExtKind::kExt2 : ExtKind::kExt4, {}, &warnings);
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_NE(warnings[0].english().find("saved as /lost+found.2"), std::string::npos)
            << warnings[0].english();
        ASSERT_TRUE(saveas(*plain, out, kind, {}));
        expectFsckClean(out);
        back = loadimage(out);
        EXPECT_TRUE(findPath(back->root(), "lost+found")->isDirectory());
        EXPECT_EQ(readAll(*back, "lost+found.2"), "a file");
        EXPECT_EQ(readAll(*back, "lost+found.1"), "taken");
    }
}

TEST(ExtWriter, RefusesAttributesItCannotHold) {
    ExtSaveParams ext4k;
    ext4k.blockSize = 4096;
    const struct {
        std::vector<Xattr> xattrs;
        std::string kind;
        const char* fragment;
    } cases[] = {
        {{{"os2.name", "x"}}, "ext4", "/f: EXT keeps attributes named"},
        {{{"user.", "x"}}, "ext4", "not user."},
        {{{"system.posix_acl_access", "junk"}}, "ext4", "is not a POSIX ACL"},
        {{{"user.a", std::string(800, 'v')}, {"user.b", std::string(300, 'w')}},
         "ext2",
         "/f: its extended attributes do not fit"},
        {{{"user.a", std::string(5000, 'v')}}, "ext4", "/f: its extended attributes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fragment);
        auto img = newimage();
        addFile(*img, img->root(), "f", {})->entry.xattrs = c.xattrs;
        expectRefused(*img, c.fragment, c.kind, c.kind == "ext4" ? ext4k : ExtSaveParams{});
    }
}

// Attributes go into the inode while they fit; the rest into a block that
// inodes with the same rest share, 1024 of them at most.
TEST(ExtWriter, AttributesInTheInodeThenASharedBlock) {
    auto img = newimage();
    Node* root = img->root();
    const std::vector<Xattr> small{{"security.selinux", "u:object_r:system_file:s0"}};
    const std::vector<Xattr> big{{"security.selinux", "u:object_r:system_file:s0"},
                                 {"user.blob", std::string(300, 'b')}};
    addFile(*img, root, "small", bytesOf("s"))->entry.xattrs = small;
    for (int i = 0; i < 1100; ++i)
        addFile(*img, root, "big" + std::to_string(i), {})->entry.xattrs = big;
    ExtSaveParams ext4;
    ext4.blockSize = 1024;
    for (std::string kind : {"ext2", "ext4"}) {
        SCOPED_TRACE(kind == "ext2" ? "EXT2, 128-byte inodes" : "ext4, 256-byte inodes");
        TempDir dir;
        const std::string out = dir / "out.img";
        ASSERT_TRUE(saveas(*img, out, kind, {}, kind == "ext4" ? ext4 : ExtSaveParams{}));
        expectFsckClean(out);
        expectDebugfsStat(*img, out);
        // Where each inode's attribute block is: 12 small, 13.. big.
        std::string commands;
        for (uint32_t ino : {12u, 13u, 14u, 13u + 1023, 13u + 1024, 13u + 1099})
            commands += "stat <" + std::to_string(ino) + ">\n";
        writeFile(dir / "cmds", commands);
        CommandResult r = run("debugfs -f " + shellQuote(dir / "cmds") + " " + shellQuote(out));
        std::vector<uint64_t> acl;
        for (size_t at = r.out.find("File ACL: "); at != std::string::npos;
             at = r.out.find("File ACL: ", at + 1))
            acl.push_back(std::stoull(r.out.substr(at + 10)));
        ASSERT_EQ(acl.size(), 6u) << r.out;
        EXPECT_EQ(acl[0] == 0, kind == "ext4") << "a small set stays in a large inode";
        EXPECT_NE(acl[1], 0u);
        EXPECT_EQ(acl[1], acl[2]);
        EXPECT_EQ(acl[1], acl[3]) << "1024 inodes share one block";
        EXPECT_NE(acl[4], acl[1]) << "the 1025th starts another";
        EXPECT_EQ(acl[4], acl[5]);
        const Bytes image = readFile(out);
        const uint32_t bs = kind == "ext4" ? 1024 : K;
        EXPECT_EQ(load32(image.data() + acl[1] * bs + 4), 1024u) << "refcount";
        EXPECT_EQ(load32(image.data() + acl[4] * bs + 4), 1100u - 1024) << "refcount";
    }
}

// The ext4 layout: features, 256-byte inodes with extents, flex_bg groups,
// lost+found and journal of mke2fs's sizes, checksums e2fsck verifies.
TEST(ExtWriter, Ext4Layout) {
    auto img = newimage();
    img->root()->entry.mtime = -100;
    img->root()->entry.mtimeNs = 123456789;
    for (uint32_t bs : {1024u, 4096u}) {
        SCOPED_TRACE(bs);
        ExtSaveParams p;
        p.blockSize = bs;
        p.label = "system";
        p.uuid = parseUuid("00112233-4455-6677-8899-aabbccddeeff");
        TempDir dir;
        ASSERT_TRUE(saveas(*img, dir / "o.img", "ext4", {}, p));
        expectFsckClean(dir / "o.img");
        const Bytes b = readFile(dir / "o.img");
        const std::byte* s = b.data() + 1024;
        EXPECT_EQ(load32(s + sb::kLogBlockSize), bs == 1024 ? 0u : 2u);
        EXPECT_EQ(load32(s + sb::kFeatureCompat), 0x2Cu) << "has_journal ext_attr dir_index";
        EXPECT_EQ(load32(s + sb::kFeatureIncompat), 0x242u) << "filetype extent flex_bg";
        EXPECT_EQ(load32(s + sb::kFeatureRoCompat), 0x46Bu)
            << "sparse_super large_file huge_file dir_nlink extra_isize metadata_csum";
        EXPECT_EQ(load16(s + sb::kInodeSize), 256u);
        EXPECT_EQ(std::to_integer<int>(s[sb::kLogGroupsPerFlex]), 4);
        EXPECT_EQ(std::to_integer<int>(s[sb::kChecksumType]), 1);
        EXPECT_EQ(toString(ByteSpan(s + sb::kVolumeName, 6)), "system");
        EXPECT_EQ(uuidText(*p.uuid), "00112233-4455-6677-8899-aabbccddeeff");
        EXPECT_EQ(std::to_integer<int>(s[sb::kUuid + 15]), 0xFF);
        CommandResult r =
            run("debugfs -R " + shellQuote("stat <2>") + " " + shellQuote(dir / "o.img") +
                " 2>&1; debugfs -R " + shellQuote("stat <11>") + " " + shellQuote(dir / "o.img") +
                " 2>&1; debugfs -R " + shellQuote("stat <8>") + " " + shellQuote(dir / "o.img") +
                " 2>&1");
        EXPECT_NE(r.out.find("Flags: 0x80000"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("mtime: 0xffffff9c:1d6f3454"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Size: " + std::to_string(bs == 1024 ? 12288 : 16384)),
                  std::string::npos)
            << "lost+found";
        EXPECT_NE(r.out.find("Size: " + std::to_string(1024 * bs)), std::string::npos)
            << "a journal of 1024 blocks";
    }
}

// Sets the cancel flag when a kind 5 event with the trigger message arrives
// (the first event of a kind and the last are never coalesced away).
class CancelOn : public WorkSink {
public:
    CancelOn(Timg& img, std::string trigger) : img_(img), trigger_(std::move(trigger)) {}
    void report(int64_t, int64_t, int kind, const Message& message, uint8_t) override {
        last = zh(message);
        if (kind == 5 && last == trigger_)
            img_.cancel = 1;
    }
    std::string last;

private:
    Timg& img_;
    std::string trigger_;
};

TEST(ExtWriter, CancelLeavesNothing) {
    auto img = newimage();
    Node* d = addNode(*img, img->root(), "d", kTypeDirectory, 040755);
    for (int i = 0; i < 20; ++i)
        addFile(*img, d, "f" + std::to_string(i), pattern(3000, i));
    TempDir dir;
    std::string out = dir / "out.img";
    writeFile(out, std::string("old"));
    // During the tree, and after it (before the metadata is completed).
    for (const char* trigger : {"lost+found", "完成"}) {
        for (std::string kind : {"ext2", "ext3"}) {
            img->cancel = 0;
            CancelOn sink(*img, trigger);
            img->onwk = &sink;
            EXPECT_FALSE(saveas(*img, out, kind, {}));
            EXPECT_EQ(sink.last, "完成");
            EXPECT_EQ(toString(readFile(out)), "old");
            EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
        }
    }
    img->onwk = nullptr;
    img->cancel = 0;
    try {
        saveas(*img, dir / "no/such/folder/out.img", "ext2", {});
        ADD_FAILURE() << "saved into a missing folder";
    } catch (const Error& e) {
        EXPECT_EQ(zh(e.message()).rfind("无法创建IMG文件！,可能其它程序正在使用。\n无法在 ", 0), 0)
            << zh(e.message());
    }
}

} // namespace
