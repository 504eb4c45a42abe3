// Saving from the window: the save types and their options, EXT2 and EXT3,
// the erase marker of an opened image, and a failed save.
#include "commands_test.h"
#include "fs/yaffs2/tyaffs2obj.h"
#include "progresspanel.h"
#include "saveoptionsdialog.h"
#include "support/yaffs2_builder.h"
#include "transfer/loadimage.h"
#include "ui_fixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>

namespace korvane::ui::test {

using korvane::test::pattern;
using korvane::test::readFile;
using korvane::test::TempDir;

void CommandsTest::savesYaffs2Types() {
    TempDir dir;
    writeYaffsImage(dir / "t.yaffs2");
    Window w = makeWindow();

    // Nothing open: "另存" does nothing.
    w.prompter->save.push_back(saveTo(dir / "never.img", "yaffs2"));
    w->saveAs();
    QCOMPARE(w.prompter->save.size(), size_t(1));
    w.prompter->save.clear();

    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));
    w.prompter->texts = {QString("new")};
    w->newDirectory();
    QVERIFY(w->image()->modified);
    const QStringList tree = treeOf(*w->image());

    // Type 1: tags at 2048 with the YAFFS data ECC. The dialog offers the
    // source's format; the end names the file.
    w.prompter->save.push_back(saveTo(dir / "one.img", "yaffs2"));
    QVERIFY(runJob(*w, [&] { w->saveAs(); }));
    QCOMPARE(w.prompter->saveTypesOffered.back(), QString("yaffs2"));
    QCOMPARE(w.prompter->messages, QStringList({"已保存为 " + qs(dir / "one.img")}));
    QVERIFY(!w->image()->modified);
    QCOMPARE(w->progressPanel()->formatName(), "YAFFS2");
    QCOMPARE(int(w->saveParams().layout.dataEcc), int(yaffs2::kEccYaffs));
    auto one = loadimage(dir / "one.img");
    QCOMPARE(treeOf(*one), tree);
    QVERIFY(contentsOf(*one, "system/app/y.apk") == pattern(2000, 2));
    QCOMPARE(dynamic_cast<Tyaffs2obj&>(*one).scanInfo().tagOffset, size_t(2048));

    // Type 2: the options dialog, shown beside the save dialog (on the screen
    // when there is no room beside it), sets NAND ECC and the erase marker.
    bool onScreen = false;
    w.prompter->save.push_back([&](const SaveTypeChanged& changed) {
        changed("yaffs2-custom", nullptr);
        SaveOptionsDialog* options = w->saveOptionsDialog();
        onScreen = options->screen()->availableGeometry().contains(options->frameGeometry());
        if (!options->isVisible())
            return std::optional<SaveTarget>();
        options->eccButton(1)->setChecked(true);
        options->markerButton(1)->setChecked(true);
        options->confirm();
        return std::optional<SaveTarget>(SaveTarget{qs(dir / "two.img"), "yaffs2-custom"});
    });
    QVERIFY(runJob(*w, [&] { w->saveAs(); }));
    QVERIFY(!w->saveOptionsDialog()->isVisible());
    QVERIFY(onScreen);
    QCOMPARE(w->saveOptionsDialog()->windowTitle(), "保存设置");
    QCOMPARE(int(w->saveParams().layout.dataEcc), int(yaffs2::kEccNand));
    QCOMPARE(w->saveParams().layout.tagsAt(), 2050u);
    Bytes two = readFile(dir / "two.img");
    QVERIFY(two.size() > 2050);
    QCOMPARE(int(two[2048]), 0xFF);
    QCOMPARE(int(two[2049]), 0xFF);
    auto twoImg = loadimage(dir / "two.img");
    QCOMPARE(dynamic_cast<Tyaffs2obj&>(*twoImg).scanInfo().tagOffset, size_t(2050));
    QCOMPARE(treeOf(*twoImg), tree);

    // "取消" in the options keeps what was set before.
    w.prompter->save.push_back([&](const SaveTypeChanged& changed) {
        changed("yaffs2-custom", nullptr);
        w->saveOptionsDialog()->markerButton(0)->setChecked(true);
        w->saveOptionsDialog()->reject();
        return std::optional<SaveTarget>();
    });
    w->saveAs();
    QVERIFY(!w->busy());
    QCOMPARE(w->saveParams().layout.tagsAt(), 2050u);

    // The NAND layout: 4096+128 is written and found again; a spare area too
    // small for the data ECC cannot be confirmed.
    w.prompter->save.push_back([&](const SaveTypeChanged& changed) {
        changed("yaffs2-custom", nullptr);
        SaveOptionsDialog* options = w->saveOptionsDialog();
        options->pageSizeBox()->setCurrentIndex(options->pageSizeBox()->findData(4096));
        options->spareSizeBox()->setValue(16);
        const bool refused = !options->okButton()->isEnabled();
        options->spareSizeBox()->setValue(128);
        options->confirm();
        return refused ? std::optional<SaveTarget>(SaveTarget{qs(dir / "big.img"), "yaffs2-custom"})
                       : std::optional<SaveTarget>();
    });
    QVERIFY(runJob(*w, [&] { w->saveAs(); }));
    auto big = loadimage(dir / "big.img");
    const yaffs2::Layout found = dynamic_cast<Tyaffs2obj&>(*big).layout();
    QCOMPARE(found.pageSize, 4096u);
    QCOMPARE(found.spareSize, 128u);
    QCOMPARE(int(found.dataEcc), int(yaffs2::kEccNand));
    QCOMPARE(treeOf(*big), tree);
}

void CommandsTest::namesSaveTypes() {
    QCOMPARE(saveTypeOf("YAFFS2 镜像"), QString("yaffs2"));
    QCOMPARE(saveTypeOf("YAFFS2 镜像(自定参数)"), QString("yaffs2-custom"));
    QCOMPARE(saveTypeOf("YAFFS2 镜像(自定参数) (*)"), QString("yaffs2-custom"));
    QCOMPARE(saveTypeOf("EXT2 镜像"), QString("ext2"));
    QCOMPARE(saveTypeOf("EXT3 镜像 (*)"), QString("ext3"));
    QCOMPARE(saveTypeOf("EXT4 镜像"), QString("ext4"));
    QCOMPARE(saveTypeOf("EXT5 镜像"), QString());
}

void CommandsTest::offersEraseMarkerOfOpenedImage() {
    TempDir dir;
    korvane::test::Yaffs2Builder b(
        yaffs2::plainLayout(yaffs2::kDefaultLayout, true, yaffs2::kEccNone));
    b.root();
    b.file(300, 1, "f", pattern(5000, 1));
    b.save(dir / "marked.img");
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "marked.img")));
    QCOMPARE(w->saveParams().layout.tagsAt(), 2050u);

    // Saved as type 1 without a type change: the marker stays.
    w.prompter->save.push_back([&](const SaveTypeChanged&) {
        return std::optional<SaveTarget>(SaveTarget{qs(dir / "same.img"), "yaffs2"});
    });
    QVERIFY(runJob(*w, [&] { w->saveAs(); }));
    QCOMPARE(dynamic_cast<Tyaffs2obj&>(*loadimage(dir / "same.img")).scanInfo().tagOffset,
             size_t(2050));

    // The options offer "有" while the marker is remembered.
    w.prompter->save.push_back([&](const SaveTypeChanged& changed) {
        changed("yaffs2-custom", nullptr);
        bool offered = w->saveOptionsDialog()->markerButton(1)->isChecked();
        w->saveOptionsDialog()->reject();
        // Then type 1 forgets it, and the next showing keeps what was selected.
        changed("yaffs2", nullptr);
        w->saveOptionsDialog()->markerButton(0)->setChecked(true);
        changed("yaffs2-custom", nullptr);
        bool kept = w->saveOptionsDialog()->markerButton(0)->isChecked();
        w->saveOptionsDialog()->reject();
        return offered && kept ? std::optional<SaveTarget>()
                               : std::optional<SaveTarget>(SaveTarget{"", 0});
    });
    w->saveAs();
    QVERIFY(!w->busy());
    QCOMPARE(w->saveParams().layout.tagsAt(), 2048u);
}

void CommandsTest::savesExt2AndExt3() {
    TempDir dir;
    writeYaffsImage(dir / "t.yaffs2");
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));
    const QStringList tree = treeOf(*w->image());
    for (QString type : {"ext2", "ext3", "ext4"}) {
        const std::string out = dir / ("x." + type.toStdString());
        w.prompter->save.push_back(saveTo(out, type));
        QVERIFY(runJob(*w, [&] { w->saveAs(); }));
        QCOMPARE(w.prompter->messages.back(), "已保存为 " + qs(out));
        const QString format = type.toUpper();
        QCOMPARE(w->progressPanel()->formatName(), format);
        if (type == "ext4")
            QCOMPARE(korvane::test::run("e2fsck -fn " + korvane::test::shellQuote(out)).status, 0);
        auto back = loadimage(out);
        QCOMPARE(QString::fromStdString(back->formatName()), format);
        QStringList saved = treeOf(*back);
        saved.removeAll("lost+found");
        QCOMPARE(saved, tree);
        QVERIFY(contentsOf(*back, "system/app/y.apk") == pattern(2000, 2));
        QVERIFY(contentsOf(*back, "中文名.txt") == pattern(10, 8));
    }
    // The settings beside the dialog ask for an Android sparse image.
    w.prompter->save.push_back([&](const SaveTypeChanged& changed) {
        changed("ext4", nullptr);
        SaveOptionsDialog* options = w->saveOptionsDialog();
        options->sparseBox()->setChecked(true);
        options->confirm();
        return std::optional<SaveTarget>(SaveTarget{qs(dir / "x.simg"), "ext4"});
    });
    QVERIFY(runJob(*w, [&] { w->saveAs(); }));
    QVERIFY(w->saveOptionsDialog()->sparse());
    QCOMPARE(load32(readFile(dir / "x.simg").data()), 0xED26FF3Au);
    // Opened again, it is named as what it is.
    QVERIFY(openAndWait(*w, qs(dir / "x.simg")));
    QVERIFY2(w->imageStatusText().endsWith(",镜像格式:EXT4, Android sparse"),
             qPrintable(w->imageStatusText()));
}

void CommandsTest::failedSaveKeepsEditsMarked() {
    TempDir dir;
    writeYaffsImage(dir / "t.yaffs2");
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));
    w.prompter->texts = {QString("new")};
    w->newDirectory();
    w.prompter->save.push_back(saveTo(dir / "no/such/folder/x.img", "yaffs2"));
    QVERIFY(runJob(*w, [&] { w->saveAs(); }));
    QCOMPARE(w.prompter->messages.size(), 1);
    QVERIFY(w->image()->modified);
    QVERIFY(!w->isLocked());
    QVERIFY(!w->progressPanel()->isVisible());
}

} // namespace korvane::ui::test
