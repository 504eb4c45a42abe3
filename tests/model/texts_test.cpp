#include "model/texts.h"
#include "text/messagetext.h"

#include <gtest/gtest.h>

using namespace korvane;

namespace {

// The texts as the Chinese window shows them.
std::string zh(const Message& m) {
    return text::messageText(m, text::Language::kChinese);
}

TEST(Texts, ModeTextBothStyles) {
    struct Case {
        uint32_t mode;
        const char* nine;
        const char* four;
    };
    for (const Case& c : {Case{0755, "rwxr-xr-x", "0755"}, Case{04755, "rwsr-xr-x", "4755"},
                          Case{02644, "rw-r-Sr--", "2644"}, Case{01777, "rwxrwxrws", "1777"},
                          Case{07000, "--S--S--S", "7000"}, Case{0, "---------", "0000"},
                          Case{040755, "rwxr-xr-x", "0755"}, Case{0100644, "rw-r--r--", "0644"},
                          Case{01776, "rwxrwxrwS", "1776"}}) {
        EXPECT_EQ(modetext(c.mode, 1), c.nine) << std::oct << c.mode;
        EXPECT_EQ(modetext(c.mode, 0), c.four) << std::oct << c.mode;
    }
    EXPECT_EQ(modetext(0755, 2), "");
    EXPECT_EQ(modetext(0755, -1), "");
    EXPECT_EQ(permissiontext(040755), "rwxr-xr-x (0755)");
}

TEST(Texts, ParseModeReadsTheLastFourCharacters) {
    EXPECT_EQ(parsemode("755"), 0755u);
    EXPECT_EQ(parsemode("4755"), 04755u);
    EXPECT_EQ(parsemode("0755"), 0755u);
    EXPECT_EQ(parsemode("12345"), 02345u);
    EXPECT_EQ(parsemode("7"), 07u);
    EXPECT_EQ(parsemode("4000"), 04000u);
    for (const char* bad : {"", "0", "8", "758", "7a5", " 755", "755 ", "-755", "0x7"})
        EXPECT_EQ(parsemode(bad), 0u) << '"' << bad << '"';
    // Only the last four characters count, whatever comes before.
    EXPECT_EQ(parsemode("xyz0644"), 0644u);
    for (uint32_t m = 1; m <= 07777; ++m)
        ASSERT_EQ(parsemode(modetext(m, 0)), m);
}

TEST(Texts, SizeTextThresholdsFollowTheKilobyteText) {
    EXPECT_EQ(zh(sizetext(0)), "0字节");
    EXPECT_EQ(zh(sizetext(1536)), "1536字节");
    EXPECT_EQ(zh(sizetext(10234)), "10234字节");
    EXPECT_EQ(zh(sizetext(10235)), "10.00KB (10235字节)");
    EXPECT_EQ(zh(sizetext(10368)), "10.13KB (10368字节)") << "halves round up";
    EXPECT_EQ(zh(sizetext(1023994)), "999.99KB (1023994字节)");
    EXPECT_EQ(zh(sizetext(1023995)), "0.98MB (1023995字节)");
    EXPECT_EQ(zh(sizetext(1048575)), "1.00MB (1048575字节)");
    EXPECT_EQ(zh(sizetext(1048576)), "1.00MB (1048576字节)");
    EXPECT_EQ(zh(sizetext(5000000)), "4.77MB (5000000字节)");
    // Sums of many files go beyond 32 bits.
    EXPECT_EQ(zh(sizetext(5368709120ull)), "5120.00MB (5368709120字节)");
    EXPECT_EQ(zh(sizetext(UINT64_MAX)), "17592186044416.00MB (18446744073709551615字节)");
}

TEST(Texts, ListAndImageSizes) {
    TImgEntry f;
    f.objType = kTypeFile;
    f.size = 1536;
    EXPECT_EQ(listsizetext(f), "1.50");
    f.size = 0;
    EXPECT_EQ(listsizetext(f), "0.00");
    f.size = 1023;
    EXPECT_EQ(listsizetext(f), "1.00");
    TImgEntry d;
    d.objType = kTypeDirectory;
    d.size = 4096;
    EXPECT_EQ(listsizetext(d), "0.00");
    EXPECT_EQ(imagesizetext(0), "0.00MB");
    EXPECT_EQ(imagesizetext(268435456), "256.00MB");
    EXPECT_EQ(imagesizetext(1572864 + 5242), "1.50MB");
    EXPECT_EQ(imagesizetext(1572864 + 5243), "1.51MB");
}

TEST(Texts, TypeTextsOfBothColumns) {
    TImgEntry e;
    auto both = [&](uint8_t type) {
        e.objType = type;
        return zh(listtypetext(e, 12, "target")) + "|" + zh(proptypetext(e, "target"));
    };
    EXPECT_EQ(both(kTypeUnknown), "未知|未知");
    EXPECT_EQ(both(kTypeFile), "文件|文件");
    EXPECT_EQ(both(kTypeDirectory), "目录(包含12项)|目录");
    EXPECT_EQ(both(kTypeHardlink), "硬链接  ->target|硬链接  ->target");
    EXPECT_EQ(both(kTypeSpecial), "字符设备|字符设备");
    EXPECT_EQ(both(kTypeBlockDevice), "块设备|块设备");
    EXPECT_EQ(both(kTypeOther), "其它|其它");
    EXPECT_EQ(both(9), "未知|未知");
    e.alias = "/system/bin/sh";
    EXPECT_EQ(both(kTypeSymlink), "软链接  ->/system/bin/sh|软链接  ->/system/bin/sh");
    e.objType = kTypeDirectory;
    EXPECT_EQ(zh(listtypetext(e, 0, "")), "目录(包含0项)");

    // A long link target is cut to 160 bytes, never inside a character.
    e.objType = kTypeSymlink;
    e.alias = std::string(146, 'a') + "链接链接";
    std::string t = zh(listtypetext(e, 0, ""));
    EXPECT_LE(t.size(), 160u);
    EXPECT_EQ(t, "软链接  ->" + std::string(146, 'a'));
    e.alias = std::string(147, 'a') + "链接链接";
    EXPECT_EQ(zh(listtypetext(e, 0, "")), "软链接  ->" + std::string(147, 'a'));
    e.alias = std::string(148, 'a') + "链";
    EXPECT_EQ(zh(listtypetext(e, 0, "")).size(), 160u);
}

// Devices, FIFOs and sockets are named by their file-type bits, whatever
// object type the format gave them (YAFFS2 keeps them all as one type).
TEST(Texts, SpecialFilesFollowTheirFileTypeBits) {
    struct Case {
        uint8_t type;
        uint32_t mode;
        const char* zh;
        const char* en;
    };
    for (const Case& c :
         {Case{kTypeSpecial, 010644, "管道", "FIFO"}, Case{kTypeOther, 010600, "管道", "FIFO"},
          Case{kTypeSpecial, 0140755, "套接字", "Socket"},
          Case{kTypeOther, 0140755, "套接字", "Socket"},
          Case{kTypeSpecial, 060660, "块设备", "Block device"},
          Case{kTypeBlockDevice, 060660, "块设备", "Block device"},
          Case{kTypeSpecial, 020660, "字符设备", "Character device"},
          Case{kTypeSpecial, 0660, "字符设备", "Character device"},
          Case{kTypeBlockDevice, 0660, "块设备", "Block device"},
          Case{kTypeOther, 0600, "其它", "Other"}}) {
        TImgEntry e;
        e.objType = c.type;
        e.mode = c.mode;
        EXPECT_EQ(zh(listtypetext(e, 0, "")), c.zh) << std::oct << c.mode;
        EXPECT_EQ(zh(proptypetext(e, "")), c.zh) << std::oct << c.mode;
        EXPECT_EQ(text::messageText(proptypetext(e, ""), text::Language::kEnglish), c.en);
    }
}

} // namespace
