#include "fs/yaffs2/tyaffs2obj.h"
#include "model/error.h"
#include "model/tree.h"
#include "source/image_data.h"
#include "support/testutil.h"
#include "support/yaffs2_builder.h"
#include "transfer/edit.h"

#include <array>
#include <ctime>
#include <gtest/gtest.h>

using namespace korvane;
using namespace korvane::test;

namespace {

// root: system(258){lib(259){libc.so(260), sub(261){deep(262)}}, app.apk(263), link(264)},
// hard(265) -> libc.so
std::unique_ptr<Tyaffs2obj> image() {
    Yaffs2Builder b;
    b.root();
    b.dir(258, 1, "system");
    b.dir(259, 258, "lib");
    b.file(260, 259, "libc.so", pattern(100, 1), 0100644);
    b.dir(261, 259, "sub", 040700);
    b.file(262, 261, "deep", pattern(10, 2), 0100600);
    b.file(263, 258, "app.apk", pattern(20, 3), 0100644);
    b.symlink(264, 258, "link", "lib/libc.so");
    b.hardlink(265, 1, "hard", 260);
    auto img = std::make_unique<Tyaffs2obj>();
    img->Init(ImageData::fromBytes(b.bytes()));
    img->Open();
    return img;
}

std::string children(const Node* n) {
    std::string out;
    for (auto& c : n->children)
        out += "[" + c->text + "]";
    return out;
}

TEST(Edit, NewDirectoryTrimsForTheClashButKeepsTheTypedName) {
    auto img = image();
    const auto before = static_cast<uint32_t>(std::time(nullptr));
    EXPECT_EQ(newdir(*img, 258, " lib ").status, EditStatus::kExists);
    EXPECT_EQ(newdir(*img, 258, "").status, EditStatus::kUnchanged);
    for (const std::string& bad : {std::string("a/b"), std::string("."), std::string(".."),
                                   std::string(256, 'n'), std::string("a\0b", 3)})
        EXPECT_EQ(newdir(*img, 258, bad).status, EditStatus::kInvalid) << bad;
    EXPECT_FALSE(img->modified);
    EXPECT_EQ(children(img->nodeFor(258)), "[lib][link][app.apk]");

    NewDirResult r = newdir(*img, 258, " lib2 ");
    ASSERT_EQ(r.status, EditStatus::kDone);
    Node* d = r.node;
    EXPECT_EQ(d->text, " lib2 ");
    EXPECT_EQ(d->entry.name, " lib2 ");
    EXPECT_EQ(d->entry.objType, kTypeDirectory);
    EXPECT_EQ(d->entry.mode, 0755u);
    EXPECT_EQ(d->entry.uid, 0u);
    EXPECT_EQ(d->entry.dataPos, -1);
    EXPECT_GE(d->entry.mtime, before);
    EXPECT_EQ(d->entry.objId, 266u);
    EXPECT_EQ(img->nodeFor(266), d);
    EXPECT_TRUE(img->modified);
    EXPECT_EQ(children(img->nodeFor(258)), "[ lib2 ][lib][link][app.apk]")
        << "sorted, folders first";
    EXPECT_EQ(newdir(*img, 258, "lib2").status, EditStatus::kExists);
    EXPECT_THROW(newdir(*img, 263, "x"), Error) << "a file holds no folder";
}

TEST(Edit, RenameChecksItsDirectory) {
    auto img = image();
    EXPECT_EQ(renamenode(*img, 263, "app.apk"), EditStatus::kUnchanged);
    EXPECT_EQ(renamenode(*img, 263, ""), EditStatus::kUnchanged);
    EXPECT_EQ(renamenode(*img, 263, "lib"), EditStatus::kExists);
    EXPECT_EQ(renamenode(*img, 263, "x/y"), EditStatus::kInvalid);
    EXPECT_EQ(renamenode(*img, 1, "root"), EditStatus::kInvalid);
    EXPECT_FALSE(img->modified);
    EXPECT_EQ(renamenode(*img, 263, "hard"), EditStatus::kDone) << "hard lives in another folder";
    EXPECT_EQ(img->nodeFor(263)->text, "hard");
    EXPECT_EQ(img->nodeFor(263)->entry.name, "hard");
    EXPECT_TRUE(img->modified);
}

TEST(Edit, DeleteClearsEveryRemovedSlot) {
    auto img = image();
    Node* system = img->nodeFor(258);
    EXPECT_EQ(deletenodes(*img, {259, 262, 9999, 1}), 4u) << "262 went with 259; root stays";
    EXPECT_TRUE(img->modified);
    for (uint32_t id : {259u, 261u, 262u})
        EXPECT_EQ(img->nodeFor(id), nullptr) << id;
    // The hard link to the removed libc.so became the file, under its id.
    EXPECT_EQ(img->nodeFor(265), nullptr);
    EXPECT_EQ(img->nodeFor(260), findPath(img->root(), "hard"));
    EXPECT_EQ(img->nodeFor(260)->entry.objType, kTypeFile);
    EXPECT_EQ(img->nodeFor(260)->entry.size, 100u);
    EXPECT_EQ(children(system), "[link][app.apk]");
    EXPECT_EQ(findPath(img->root(), "system/lib"), nullptr);
    EXPECT_EQ(img->nodeFor(263)->text, "app.apk");
    EXPECT_EQ(img->root()->subtreeSize(), 5u);
}

TEST(Edit, DeletingManySiblingsKeepsTheOthersInOrder) {
    Yaffs2Builder b;
    b.root();
    std::vector<uint32_t> odd;
    for (uint32_t i = 0; i < 5000; ++i) {
        b.dir(300 + i, 1, "d" + std::to_string(100000 + i));
        if (i % 2)
            odd.push_back(300 + i);
    }
    auto img = openYaffs2(b.bytes());
    EXPECT_EQ(deletenodes(*img, odd), 2500u);
    ASSERT_EQ(img->root()->children.size(), 2500u);
    for (size_t k = 0; k < 2500; ++k)
        ASSERT_EQ(img->root()->children[k]->text, "d" + std::to_string(100000 + 2 * k));
    for (uint32_t id : odd)
        ASSERT_EQ(img->nodeFor(id), nullptr);
}

TEST(Edit, PermissionsKeepTypeBitsAndReachWholeSubtrees) {
    auto img = image();
    for (const char* bad : {"47555", "9", "888", "7a5", "+755", "   "})
        EXPECT_EQ(changemode(*img, {259}, bad, true), EditStatus::kInvalid) << bad;
    EXPECT_EQ(changemode(*img, {259}, "", true), EditStatus::kUnchanged);
    EXPECT_FALSE(img->modified);
    EXPECT_EQ(img->nodeFor(260)->entry.mode, 0100644u);

    EXPECT_EQ(changemode(*img, {263}, " 4755 ", false), EditStatus::kDone);
    EXPECT_EQ(img->nodeFor(263)->entry.mode, 0104755u);
    EXPECT_TRUE(img->modified);

    EXPECT_EQ(changemode(*img, {259}, "750", true), EditStatus::kDone);
    EXPECT_EQ(img->nodeFor(259)->entry.mode, 040750u);
    EXPECT_EQ(img->nodeFor(260)->entry.mode, 0100750u);
    EXPECT_EQ(img->nodeFor(261)->entry.mode, 040750u);
    EXPECT_EQ(img->nodeFor(262)->entry.mode, 0100750u);
    EXPECT_EQ(img->nodeFor(258)->entry.mode, 040755u) << "the parent stays";
    EXPECT_EQ(changemode(*img, {262}, "0000", false), EditStatus::kDone);
    EXPECT_EQ(img->nodeFor(262)->entry.mode, 0100000u);
    EXPECT_EQ(img->nodeFor(264)->entry.mode, 0120777u) << "a sibling stays";

    EXPECT_EQ(changemode(*img, {258}, "1", false), EditStatus::kDone);
    EXPECT_EQ(img->nodeFor(258)->entry.mode, 040001u);
    EXPECT_EQ(img->nodeFor(259)->entry.mode, 040750u) << "children only when asked";
}

// An ACL as Linux gives it: version 2, then tag, permissions, id per entry.
std::string acl(std::initializer_list<std::array<uint32_t, 3>> entries) {
    std::string v{'\x02', '\0', '\0', '\0'};
    for (const auto& [tag, perm, id] : entries)
        for (uint32_t x : {tag | perm << 16, id})
            for (int k = 0; k < 4; ++k)
                v += static_cast<char>(x >> (8 * k));
    return v;
}

TEST(Edit, ModesReachTheFileOfAHardLinkLeaveLinksInSubtreesAndRewriteAcls) {
    auto img = image();
    constexpr uint32_t kAny = 0xFFFFFFFF;
    // libc.so: with a mask; deep: without one.
    img->nodeFor(260)->entry.xattrs = {
        {"system.posix_acl_access",
         acl({{1, 6, kAny}, {2, 5, 1234}, {4, 4, kAny}, {0x10, 7, kAny}, {0x20, 4, kAny}})}};
    img->nodeFor(262)->entry.xattrs = {
        {"system.posix_acl_access", acl({{1, 6, kAny}, {4, 4, kAny}, {0x20, 4, kAny}})}};
    EXPECT_EQ(changemode(*img, {258, 265}, "750", true), EditStatus::kDone);
    EXPECT_EQ(img->nodeFor(264)->entry.mode, 0120777u) << "the link in the subtree stays";
    EXPECT_EQ(img->nodeFor(260)->entry.mode, 0100750u);
    EXPECT_EQ(img->nodeFor(260)->entry.xattrs[0].value,
              acl({{1, 7, kAny}, {2, 5, 1234}, {4, 4, kAny}, {0x10, 5, kAny}, {0x20, 0, kAny}}));
    EXPECT_EQ(img->nodeFor(262)->entry.xattrs[0].value,
              acl({{1, 7, kAny}, {4, 5, kAny}, {0x20, 0, kAny}}));
    // Through the hard link, alone.
    EXPECT_EQ(changemode(*img, {265}, "4700", false), EditStatus::kDone);
    EXPECT_EQ(img->nodeFor(260)->entry.mode, 0104700u);
    // A value that is no ACL stays as it is.
    const std::string notAnAcl("\x02\0\0", 3);
    img->nodeFor(263)->entry.xattrs = {{"system.posix_acl_access", notAnAcl}};
    EXPECT_EQ(changemode(*img, {263}, "600", false), EditStatus::kDone);
    EXPECT_EQ(img->nodeFor(263)->entry.xattrs[0].value, notAnAcl);
}

TEST(Edit, OwnerAndGroupTakeEvery32BitId) {
    auto img = image();
    for (const char* bad : {"abc", "", " ", "12x", "-1", "4294967295", "4294967296", "1.5", "0x10"})
        EXPECT_EQ(changeuid(*img, {258}, bad, true), EditStatus::kInvalid) << bad;
    EXPECT_FALSE(img->modified);
    EXPECT_EQ(changeuid(*img, {263}, "70000", false), EditStatus::kDone);
    EXPECT_EQ(img->nodeFor(263)->entry.uid, 70000u);
    EXPECT_EQ(changeuid(*img, {263}, "4294967294", false), EditStatus::kDone);
    EXPECT_EQ(img->nodeFor(263)->entry.uid, 4294967294u);
    EXPECT_EQ(changeuid(*img, {263}, " 1000 ", false), EditStatus::kDone);
    EXPECT_EQ(img->nodeFor(263)->entry.uid, 1000u);

    EXPECT_EQ(changegid(*img, {259, 264}, "2000", true), EditStatus::kDone);
    for (uint32_t id : {259u, 260u, 261u, 262u, 264u})
        EXPECT_EQ(img->nodeFor(id)->entry.gid, 2000u) << id;
    EXPECT_EQ(img->nodeFor(258)->entry.gid, 0u);
    EXPECT_EQ(img->nodeFor(263)->entry.gid, 0u);
    EXPECT_EQ(img->nodeFor(260)->entry.uid, 0u) << "GID leaves the UID alone";
    EXPECT_EQ(idvalue("+7"), 7u);
}

} // namespace
