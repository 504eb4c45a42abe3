#include "fs/yaffs2/tyaffs2obj.h"
#include "model/tree.h"
#include "source/image_data.h"
#include "support/testutil.h"
#include "support/yaffs2_builder.h"
#include "transfer/undo.h"

#include <filesystem>
#include <functional>
#include <gtest/gtest.h>

using namespace korvane;
using namespace korvane::test;

namespace {

// root: system(258){lib(259){libc.so(260), sub(261){deep(262)}}, app.apk(263), link(264)},
// hard(265) -> libc.so, other(266) -> libc.so
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
    b.hardlink(266, 1, "other", 260);
    auto img = std::make_unique<Tyaffs2obj>();
    img->Init(ImageData::fromBytes(b.bytes()));
    img->Open();
    return img;
}

// Everything undo must put back: each node in tree order with its id, name,
// record and whether the node table names it, and the table's other slots.
std::string state(Timg& img) {
    std::string out;
    forEachPreorder(img.root(), [&](Node* n) {
        const TImgEntry& e = n->entry;
        out += pathFromRoot(n) + " #" + std::to_string(e.objId) + " t" + std::to_string(e.objType) +
               " m" + std::to_string(e.mode) + " u" + std::to_string(e.uid) + " g" +
               std::to_string(e.gid) + " s" + std::to_string(e.size) + " d" +
               std::to_string(e.dataPos) + " l" + std::to_string(e.linkInfo) + " n" + e.name +
               " i" + std::to_string(n->icon) + (img.nodeFor(e.objId) == n ? " owned" : "") + "\n";
    });
    for (uint32_t id = 0; id < img.nodeTable.size(); ++id)
        if (Node* n = img.nodeFor(id); n && n->entry.objId != id)
            out += "slot " + std::to_string(id) + "\n";
    return out;
}

} // namespace

// Every edit the app makes: undo gives back the tree before it, byte for
// byte, redo the tree after it, and again; the mark of unsaved edits follows.
TEST(Undo, EveryEditComesBackAndGoesAgain) {
    TempDir dir;
    for (const char* d : {"add/fresh", "merge/lib"})
        std::filesystem::create_directories(dir / d);
    writeFile(dir / "add/libc.so", std::string("NEW"));
    writeFile(dir / "add/fresh/f.txt", std::string("fresh"));
    writeFile(dir / "merge/lib/more.txt", std::string("more"));
    const std::vector<std::pair<std::string, std::function<bool(EditJournal&, Timg&)>>> edits = {
        {"new folder", [](EditJournal& j, Timg& i) { return j.newdir(i, 259, "n").node; }},
        {"rename", [](EditJournal& j,
                      Timg& i) { return j.renamenode(i, 263, "b.apk") == EditStatus::kDone; }},
        {"mode", [](EditJournal& j,
                    Timg& i) { return j.changemode(i, {258}, "0000", true) == EditStatus::kDone; }},
        {"uid through a hard link",
         [](EditJournal& j, Timg& i) {
             return j.changeuid(i, {265}, "7", false) == EditStatus::kDone;
         }},
        {"gid",
         [](EditJournal& j, Timg& i) {
             return j.changegid(i, {259, 263}, "9", true) == EditStatus::kDone;
         }},
        {"delete files",
         [](EditJournal& j, Timg& i) {
             return j.deletenodes(i, {263, 264}) == 2;
         }},
        // The file goes, its hard link "hard" takes it over.
        {"delete a linked file",
         [](EditJournal& j, Timg& i) { return j.deletenodes(i, {258}) == 7; }},
        {"delete a hard link",
         [](EditJournal& j, Timg& i) { return j.deletenodes(i, {266}) == 1; }},
        {"add with a replacement",
         [&](EditJournal& j, Timg& i) {
             AddOptions opt;
             opt.clashmode = kClashOverwriteAll;
             return j.addfiles(i, {dir / "add/libc.so", dir / "add/fresh"}, 259, opt).added == 2;
         }},
        {"add into a folder that exists",
         [&](EditJournal& j, Timg& i) {
             return j.addfiles(i, {dir / "merge/lib"}, 258, {}).added == 1;
         }},
    };
    for (const auto& [name, edit] : edits) {
        SCOPED_TRACE(name);
        auto img = image();
        EditJournal journal(*img);
        const std::string before = state(*img);
        ASSERT_TRUE(edit(journal, *img));
        const std::string after = state(*img);
        ASSERT_NE(after, before);
        EXPECT_TRUE(img->modified);
        for (int round = 0; round < 2; ++round) {
            ASSERT_TRUE(journal.undo(*img));
            EXPECT_EQ(state(*img), before);
            EXPECT_FALSE(img->modified);
            EXPECT_FALSE(journal.canUndo());
            ASSERT_TRUE(journal.redo(*img));
            EXPECT_EQ(state(*img), after);
            EXPECT_TRUE(img->modified);
        }
    }
}

// Steps undo in turn, a new edit forgets what was undone, and after a save
// (forget) the tree as saved is the unmodified one.
TEST(Undo, StepsInTurnAndTheSavedPoint) {
    auto img = image();
    EditJournal journal(*img);
    std::vector<std::string> states{state(*img)};
    ASSERT_TRUE(journal.newdir(*img, 1, "a").node);
    states.push_back(state(*img));
    ASSERT_EQ(journal.deletenodes(*img, {258}), 7u);
    states.push_back(state(*img));
    ASSERT_EQ(journal.renamenode(*img, 260, "h2"), EditStatus::kDone); // "hard" took over 260
    states.push_back(state(*img));
    EXPECT_EQ(journal.renamenode(*img, 260, "h2"), EditStatus::kUnchanged);
    EXPECT_EQ(journal.steps(), 3u);

    for (size_t k = states.size() - 1; k > 0; --k) {
        const auto place = journal.undo(*img);
        ASSERT_TRUE(place);
        EXPECT_EQ(state(*img), states[k - 1]);
    }
    EXPECT_FALSE(journal.undo(*img));
    ASSERT_TRUE(journal.redo(*img));
    EXPECT_EQ(state(*img), states[1]);
    // A new edit drops the steps that were undone.
    ASSERT_EQ(journal.changeuid(*img, {263}, "5", false), EditStatus::kDone);
    EXPECT_FALSE(journal.canRedo());
    EXPECT_EQ(journal.steps(), 2u);

    journal.forget();
    img->modified = false;
    EXPECT_FALSE(journal.canUndo());
    ASSERT_EQ(journal.changeuid(*img, {263}, "6", false), EditStatus::kDone);
    EXPECT_TRUE(img->modified);
    journal.undo(*img);
    EXPECT_FALSE(img->modified);
    EXPECT_EQ(img->nodeFor(263)->entry.uid, 5u);
}
