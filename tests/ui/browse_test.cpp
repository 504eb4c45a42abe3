#include "browse_test.h"

#include "dirlistmodel.h"
#include "foldertreemodel.h"
#include "fs/registry.h"
#include "icondelegate.h"
#include "language.h"
#include "model/texts.h"
#include "progresspanel.h"
#include "progressstrip.h"
#include "saveoptionsdialog.h"
#include "support/yaffs2_builder.h"
#include "ui_fixture.h"
#include "xattrtext.h"

#include <QAction>
#include <QComboBox>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMovie>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QStyle>
#include <QTest>
#include <QToolBar>
#include <QTreeView>
#include <QWidgetAction>
#include <sys/stat.h>

namespace korvane::ui::test {

using korvane::test::pattern;
using korvane::test::TempDir;

namespace {

// A YAFFS2 image read with warnings: a file whose folder is missing and, for
// two, a root header that describes a file.
void writeWarnedImage(const std::string& path, int warnings) {
    korvane::test::Yaffs2Builder b;
    if (warnings > 1)
        b.header(1, korvane::test::Yaffs2Builder::make(yaffs2::kHdrFile, 1, "", 0100644));
    else
        b.root();
    b.file(300, 1, "kept.txt", pattern(10, 1));
    b.file(301, 999, "orphan.txt", pattern(10, 2));
    b.save(path);
}

// The texts a dialog shows: its title, labels, buttons, group titles, the
// items of its lists, suffixes and placeholders.
QStringList shownTexts(const QWidget& dialog) {
    QStringList texts{dialog.windowTitle()};
    for (const QWidget* c : dialog.findChildren<QWidget*>()) {
        if (auto* label = qobject_cast<const QLabel*>(c))
            texts << label->text();
        else if (auto* button = qobject_cast<const QAbstractButton*>(c))
            texts << button->text();
        else if (auto* group = qobject_cast<const QGroupBox*>(c))
            texts << group->title();
        else if (auto* spin = qobject_cast<const QSpinBox*>(c))
            texts << spin->suffix();
        else if (auto* edit = qobject_cast<const QLineEdit*>(c))
            texts << edit->placeholderText();
        else if (auto* list = qobject_cast<const QComboBox*>(c))
            for (int i = 0; i < list->count(); ++i)
                texts << list->itemText(i);
    }
    texts.removeAll(QString());
    texts.removeDuplicates();
    return texts;
}

} // namespace

void BrowseTest::opensYaffs2Image() {
    TempDir dir;
    const std::string path = dir / "t.yaffs2";
    const size_t size = writeYaffsImage(path);
    Window w = makeWindow();
    QCOMPARE(w->pathText(), QString());
    QCOMPARE(w->statusPanelText(0), "IMG名称");
    QCOMPARE(w->statusPanelText(2), "IMG大小");

    QVERIFY(openAndWait(*w, qs(path)));
    QCOMPARE(w->pathText(), "/");
    QCOMPARE(w->imageStatusText(),
             "镜像文件:" + QFileInfo(qs(path)).absoluteFilePath() + ",镜像格式:YAFFS2");
    QCOMPARE(w->statusPanelText(1), "t.yaffs2");
    QCOMPARE(w->statusPanelText(3), qs(imagesizetext(size)));
    QCOMPARE(w->statusPanelText(4), "读取完成！");
    QVERIFY(!w->isLocked());
    QCOMPARE(w.prompter->messages, QStringList());

    // Folders first, then by extension, then by name.
    QCOMPARE(rowNames(*w),
             QStringList({"empty", "system", "dev", "hard", "link", "a.txt", "中文名.txt"}));
    QCOMPARE(rowTexts(*w, rowOf(*w, "a.txt")),
             QStringList({"a.txt", "1000", "1001", "rw-r--r-- (0644)", "文件", "1.50 KiB"}));
    QCOMPARE(rowTexts(*w, rowOf(*w, "system")),
             QStringList({"system", "0", "0", "rwxr-xr-x (0755)", "目录(包含12项)", ""}));
    QCOMPARE(rowTexts(*w, rowOf(*w, "empty")).mid(4), QStringList({"目录(包含0项)", ""}));
    QCOMPARE(rowTexts(*w, rowOf(*w, "link")).mid(4), QStringList({"软链接  ->system/app", ""}));
    // A hard link shows its target's owner, mode and size.
    QCOMPARE(rowTexts(*w, rowOf(*w, "hard")).mid(1),
             QStringList({"1000", "1001", "rw-r--r-- (0644)", "硬链接  ->a.txt", "1.50 KiB"}));
    QCOMPARE(rowTexts(*w, rowOf(*w, "dev")),
             QStringList({"dev", "0", "0", "rw-rw---- (0660)", "字符设备", ""}));
    QCOMPARE(rowTexts(*w, rowOf(*w, "中文名.txt"))[5], "10 B");

    // The tree shows folders only.
    const FolderTreeModel* tree = w->folderModel();
    QCOMPARE(folderNames(*w), QStringList({"/"}));
    QModelIndex root = tree->index(0, 0);
    QCOMPARE(folderNames(*w, root), QStringList({"empty", "system"}));
    QCOMPARE(folderNames(*w, tree->index(1, 0, root)), QStringList({"app"}));
    QVERIFY(w->folderView()->isExpanded(root));
}

void BrowseTest::opensExtImage() {
    TempDir dir;
    const std::string path = dir / "t.ext2";
    if (!writeExtImage(path, dir / "src"))
        QSKIP("mke2fs is not installed");
    struct stat st {};
    QCOMPARE(::lstat((dir / "src/docs/readme.txt").c_str(), &st), 0);
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(path)));
    QCOMPARE(w->imageStatusText(),
             "镜像文件:" + QFileInfo(qs(path)).absoluteFilePath() + ",镜像格式:EXT2/3");
    QCOMPARE(w->statusPanelText(4), "读取完成！");
    QCOMPARE(w->statusPanelText(3), "2.00MB");
    QCOMPARE(rowNames(*w), QStringList({"bin", "docs", "lost+found", "lnk", "pipe"}));
    QCOMPARE(rowTexts(*w, rowOf(*w, "lnk"))[4], "软链接  ->docs/readme.txt");
    // A FIFO is named by its file-type bits, as in a YAFFS2 image.
    QCOMPARE(rowTexts(*w, rowOf(*w, "pipe")).mid(3), QStringList({"rw------- (0600)", "管道", ""}));
    selectNames(*w, {"pipe"});
    w->showProperties();
    QCOMPARE(w.prompter->properties.back().type, "管道");
    QCOMPARE(w.prompter->properties.back().size, "0字节");
    QCOMPARE(folderNames(*w, w->folderModel()->index(0, 0)),
             QStringList({"bin", "docs", "lost+found"}));

    selectNames(*w, {"docs"});
    w->openSelected();
    QCOMPARE(w->pathText(), "/docs");
    QCOMPARE(rowTexts(*w, 0),
             QStringList({"readme.txt", QString::number(st.st_uid), QString::number(st.st_gid),
                          "rw-r--r-- (0644)", "文件", "1.50 KiB"}));
}

void BrowseTest::navigatesTheTree() {
    TempDir dir;
    writeYaffsImage(dir / "t.yaffs2");
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));

    // "向上" at the root changes nothing.
    w->goUp();
    QCOMPARE(w->pathText(), "/");

    // Opening a file, a link or a device changes nothing.
    for (const char* name : {"a.txt", "link", "dev"}) {
        selectNames(*w, {name});
        w->openSelected();
        QCOMPARE(w->pathText(), "/");
    }

    // A folder opens by double click and by Enter.
    w->showDetailView();
    QTreeView* details = w->detailView();
    QVERIFY(QTest::qWaitForWindowExposed(w.window.get()));
    QRect cell = details->visualRect(w->listModel()->index(rowOf(*w, "system"), 0));
    QVERIFY(cell.isValid());
    QTest::mouseClick(details->viewport(), Qt::LeftButton, {}, cell.center());
    QTest::mouseDClick(details->viewport(), Qt::LeftButton, {}, cell.center());
    QCOMPARE(w->pathText(), "/system");
    QCOMPARE(rowNames(*w).first(), "app");
    selectNames(*w, {"app"});
    QTest::keyClick(details, Qt::Key_Return);
    QCOMPARE(w->pathText(), "/system/app");
    QCOMPARE(rowNames(*w), QStringList({"x.apk", "y.apk"}));

    w->goUp();
    QCOMPARE(w->pathText(), "/system");
    w->goUp();
    QCOMPARE(w->pathText(), "/");

    // Selecting a folder in the tree lists it; the tree follows the list, and
    // going up selects the folder the list came from.
    const FolderTreeModel* tree = w->folderModel();
    Node* app = w->image()->nodeFor(kIdApp);
    w->folderView()->setCurrentIndex(tree->indexOf(app));
    QCOMPARE(w->pathText(), "/system/app");
    w->goUp();
    QCOMPARE(w->pathText(), "/system");
    QCOMPARE(w->folderView()->currentIndex(), tree->indexOf(w->image()->nodeFor(kIdSystem)));
    QCOMPARE(w->selectedRows(), QList<int>({rowOf(*w, "app")}));
    w->goUp();
    QCOMPARE(w->folderView()->currentIndex(), tree->index(0, 0));
    QCOMPARE(w->selectedRows(), QList<int>({rowOf(*w, "system")}));
}

void BrowseTest::switchesViewsAndRefreshes() {
    TempDir dir;
    writeYaffsImage(dir / "t.yaffs2");
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));
    QCOMPARE(w->currentListView(), static_cast<QAbstractItemView*>(w->iconView()));
    w->showDetailView();
    QCOMPARE(w->currentListView(), static_cast<QAbstractItemView*>(w->detailView()));
    // One selection for both views.
    selectNames(*w, {"a.txt", "link"});
    w->showIconView();
    QCOMPARE(w->currentListView(), static_cast<QAbstractItemView*>(w->iconView()));
    QCOMPARE(w->selectedRows(), QList<int>({rowOf(*w, "link"), rowOf(*w, "a.txt")}));

    // "刷新" reads the directory again and keeps the selection.
    w->image()->nodeFor(kIdA)->entry.uid = 77;
    w->refresh();
    QCOMPARE(rowTexts(*w, rowOf(*w, "a.txt"))[1], "77");
    QCOMPARE(w->selectedRows(), QList<int>({rowOf(*w, "link"), rowOf(*w, "a.txt")}));

    // Opening another image keeps the view.
    w->showDetailView();
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));
    QVERIFY(w->detailViewShown());
}

void BrowseTest::popupFollowsSelection() {
    TempDir dir;
    writeYaffsImage(dir / "t.yaffs2");
    Window w = makeWindow();

    QStringList all;
    QList<int> separators;
    const QList<QAction*> actions = w->popupMenu()->actions();
    for (int i = 0; i < actions.size(); ++i) {
        if (actions[i]->isSeparator())
            separators << i;
        else
            all << actions[i]->text();
    }
    QCOMPARE(all, QStringList({"打开", "打开方式", "转到链接目标", "查看", "提取选择", "全部导出",
                               "导出为 tar 归档", "新建目录", "添加文件", "删除", "刷新", "重命名",
                               "权限修改", "UID修改", "GID修改", "属性"}));
    QCOMPARE(separators, QList<int>({4, 8, 12, 14, 19}));
    QMenu* view = actions[3]->menu();
    QVERIFY(view);
    QCOMPARE(view->actions().size(), 3);
    QCOMPARE(view->actions()[0]->text(), "缩略图");
    QVERIFY(view->actions()[0]->isEnabled());
    QCOMPARE(view->actions()[1]->text(), "图标");
    QCOMPARE(view->actions()[2]->text(), "详细列表");

    // Nothing open: nothing to extract or save either.
    QCOMPARE(enabledPopupItems(*w), QStringList({"查看", "刷新"}));
    for (const char* bar : {"jobToolBar", "listToolBar"})
        for (QAction* a : w->findChild<QToolBar*>(bar)->actions())
            QVERIFY2(!a->isEnabled() || qobject_cast<QWidgetAction*>(a), qPrintable(a->text()));

    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));
    QToolBar* jobs = w->findChild<QToolBar*>("jobToolBar");
    QVERIFY(jobs);
    QAction* extractTop = jobs->actions()[0];
    QCOMPARE(extractTop->text(), "提取选中");

    QCOMPARE(enabledPopupItems(*w),
             QStringList({"查看", "全部导出", "导出为 tar 归档", "新建目录", "添加文件", "刷新"}));
    QVERIFY(!extractTop->isEnabled());

    const QStringList withSelection = {
        "查看", "提取选择", "全部导出", "导出为 tar 归档", "新建目录", "添加文件", "删除",
        "刷新", "重命名",   "权限修改", "UID修改",         "GID修改",  "属性"};
    selectNames(*w, {"a.txt"});
    // A file opens in the viewer, or as an image of a format picked ("打开方式").
    QCOMPARE(enabledPopupItems(*w), QStringList({"打开", "打开方式"}) + withSelection);
    QVERIFY(extractTop->isEnabled());
    selectNames(*w, {"system", "a.txt"});
    QCOMPARE(enabledPopupItems(*w), QStringList({"打开"}) + withSelection);
    selectNames(*w, {});
    QVERIFY(!extractTop->isEnabled());
}

void BrowseTest::describesSelection() {
    TempDir dir;
    writeYaffsImage(dir / "t.yaffs2");
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));

    selectNames(*w, {"a.txt"});
    QCOMPARE(w->statusPanelText(5), "类型：文件, 大小：1536字节, 详细：rw-r--r-- (0644)");
    QVERIFY(w.prompter->properties.empty());
    w->showProperties();
    QCOMPARE(w.prompter->properties.size(), size_t(1));
    const ObjectProperties& a = w.prompter->properties.back();
    QCOMPARE(a.name, "a.txt");
    QCOMPARE(a.type, "文件");
    QCOMPARE(a.size, "1536字节");
    QCOMPARE(a.uid, "1000");
    QCOMPARE(a.gid, "1001");
    QCOMPARE(a.detail, "rw-r--r-- (0644)");
    // mtime 2000, shown in the local time zone.
    QVERIFY2(
        a.time.endsWith(QDateTime::fromSecsSinceEpoch(2000).toLocalTime().toString("HH:mm:ss")),
        qPrintable(a.time));

    // A folder's size is the sum of the files below it, at every depth.
    selectNames(*w, {"system"});
    w->showProperties();
    QCOMPARE(w.prompter->properties.back().type, "目录");
    QCOMPARE(w.prompter->properties.back().size, "4100字节");
    QVERIFY(w.prompter->properties.back().directory);

    selectNames(*w, {"link"});
    w->showProperties();
    QCOMPARE(w.prompter->properties.back().type, "软链接  ->system/app");
    QCOMPARE(w.prompter->properties.back().size, "0字节");

    // Several selected: how many, and the size of the files among them.
    selectNames(*w, {"empty", "a.txt"});
    QCOMPARE(w->statusPanelText(5), "已选中 2 项，其中文件共 1.50 KiB");
}

void BrowseTest::asksBeforeEditsAreLost() {
    TempDir dir;
    writeYaffsImage(dir / "t.yaffs2");
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));

    // Unmodified: no question.
    QVERIFY(runJob(*w, [&] { w->newImage(); }));
    QCOMPARE(w.prompter->questions, QStringList());
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));

    w.prompter->texts = {QString("new")};
    w->newDirectory();
    QVERIFY(w->image()->modified);
    Timg* before = w->image();

    // "No" keeps the image, for new, open and close.
    w.prompter->image = qs(dir / "t.yaffs2");
    w->newImage();
    w->openImageFromDialog();
    QVERIFY(!w->busy());
    QVERIFY(!w->close());
    QVERIFY(w->isVisible());
    QCOMPARE(w.prompter->questions, QStringList({"放弃修改！", "放弃修改！", "放弃修改！"}));
    QCOMPARE(w->image(), before);
    QVERIFY(rowOf(*w, "new") >= 0);

    // "Yes" goes on; the new image is not modified.
    w.prompter->yesNo = {true};
    QVERIFY(runJob(*w, [&] { w->openImageFromDialog(); }));
    QVERIFY(w->image() != before);
    QVERIFY(!w->image()->modified);
    QCOMPARE(rowOf(*w, "new"), -1);
}

void BrowseTest::failedOpenKeepsImage() {
    TempDir dir;
    writeYaffsImage(dir / "t.yaffs2");
    korvane::test::writeFile(dir / "short.img", std::string("ab"));
    // A zero first word sends it to the EXT reader, which refuses it.
    korvane::test::writeFile(dir / "zeros.img", std::string(4096, '\0'));
    // Read as a format it is not, it fails after its reading has started.
    korvane::test::writeFile(dir / "noise.img", pattern(1 << 20, 5));
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));
    selectNames(*w, {"system"});
    w->openSelected();
    Timg* before = w->image();
    const QString status = w->imageStatusText();

    qsizetype shown = 0;
    const std::pair<const char*, QString> refused[] = {
        {"missing.img", {}}, {"short.img", {}}, {"zeros.img", {}}, {"noise.img", "super"}};
    for (const auto& [bad, format] : refused) {
        QVERIFY(runJob(*w, [&] { w->openImage(qs(dir / bad), format); }));
        QCOMPARE(w.prompter->messages.size(), ++shown);
        QCOMPARE(w->image(), before);
        QCOMPARE(w->pathText(), "/system");
        QCOMPARE(w->imageStatusText(), status);
        QCOMPARE(w->statusPanelText(4), "读取完成！");
        QVERIFY(!w->isLocked());
    }
    QVERIFY(w.prompter->messages[0].contains("missing.img"));
}

void BrowseTest::startsNewImage() {
    Window w = makeWindow();
    QVERIFY(runJob(*w, [&] { w->newImage(); }));
    QCOMPARE(w->imageStatusText(), "镜像文件: 新建");
    QCOMPARE(w->statusPanelText(1), "新建");
    QCOMPARE(w->statusPanelText(3), "未知");
    QCOMPARE(w->pathText(), "/");
    QCOMPARE(w->listModel()->rows(), 0);
    QCOMPARE(folderNames(*w), QStringList({"/"}));
    const TImgEntry& root = w->image()->root()->entry;
    QCOMPARE(root.mode, 040755u);
    QCOMPARE(int(root.uid), 0);
    QCOMPARE(int(root.gid), 0);
}

void BrowseTest::drawsProgressBlocks() {
    ProgressStrip strip;
    strip.resize(15 + 160, 20); // blocks go up to 15 pixels before the right edge
    auto blue = [&](int x) {
        return strip.grab().toImage().pixelColor(x, 10) == QColor(0, 0, 255);
    };
    strip.myjdt(0, 0); // counts as full
    QCOMPARE(strip.blockCount(), 10);
    QVERIFY(blue(0) && blue(14) && !blue(15) && !blue(16) && blue(17));
    // The last block is cut at the strip's end.
    QVERIFY(blue(159) && !blue(160));
    strip.myjdt(0, 10);
    QCOMPARE(strip.blockCount(), 0);
    QVERIFY(!blue(0));
    strip.myjdt(25, 10); // past the end: full
    QCOMPARE(strip.blockCount(), 10);
    strip.myjdt(1, 2);
    QCOMPARE(strip.blockCount(), 5);
    // The strip keeps its blocks over repaints, and the text over them.
    strip.setText("x");
    strip.repaint();
    QVERIFY(blue(30));
    strip.clearStrip();
    QCOMPARE(strip.blockCount(), 0);
    QVERIFY(!blue(30));
}

void BrowseTest::loadsProgressAnimation() {
    Window w = makeWindow(); // the window brings its resources in
    QVERIFY(QMovie(":/korvane/progress.gif").isValid());
    QImageReader gif(":/korvane/progress.gif");
    QCOMPARE(gif.imageCount(), 8);
    QCOMPARE(gif.nextImageDelay(), 100);
    for (int frame = 0; frame < 8; ++frame) {
        QImage image = gif.read();
        QCOMPARE(image.size(), QSize(23, 25));
        // Transparent around the dots, one of them in the head's colour.
        QCOMPARE(image.pixelColor(0, 0).alpha(), 0);
        bool head = false;
        for (int y = 0; y < 25; ++y)
            for (int x = 0; x < 23; ++x)
                head = head || image.pixelColor(x, y) == QColor(0, 72, 241);
        QVERIFY(head);
    }
    QVERIFY(!w->progressPanel()->isVisible());
}

} // namespace korvane::ui::test

namespace korvane::ui::test {

void BrowseTest::keyboardCommands() {
    TempDir dir;
    writeYaffsImage(dir / "t.yaffs2");
    Window w = makeWindow();
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.window.get()));
    w.prompter->image = qs(dir / "t.yaffs2");
    // Ctrl+O opens (from anywhere in the window).
    QVERIFY(runJob(*w, [&] { QTest::keyClick(w.window.get(), Qt::Key_O, Qt::ControlModifier); }));
    QCOMPARE(w->pathText(), "/");
    w->showDetailView();
    QAbstractItemView* list = w->detailView();
    list->setFocus();

    struct Case {
        const char* name;
        std::function<void()> before;
        QKeyCombination key;
        std::function<bool()> after;
    };
    const Case cases[] = {
        {"Ctrl+A selects all", [] {}, Qt::CTRL | Qt::Key_A,
         [&] { return w->selectedRows().size() == w->listModel()->rows(); }},
        {"Enter opens", [&] { selectNames(*w, {"system"}); }, QKeyCombination(Qt::Key_Return),
         [&] { return w->pathText() == "/system"; }},
        {"Backspace goes up to the folder it came from", [] {}, QKeyCombination(Qt::Key_Backspace),
         [&] {
             return w->pathText() == "/" && w->selectedRows() == QList<int>{rowOf(*w, "system")};
         }},
        {"Alt+Up goes up", [&] { w->goToPath("/system/app"); }, Qt::ALT | Qt::Key_Up,
         [&] { return w->pathText() == "/system"; }},
        {"F5 reads the folder again", [&] { w->image()->nodeFor(kIdApp)->entry.uid = 55; },
         QKeyCombination(Qt::Key_F5), [&] { return rowTexts(*w, rowOf(*w, "app"))[1] == "55"; }},
        {"F2 renames",
         [&] {
             selectNames(*w, {"f01.txt"});
             w.prompter->texts = {QString("renamed.txt")};
         },
         QKeyCombination(Qt::Key_F2), [&] { return rowOf(*w, "renamed.txt") >= 0; }},
        {"Delete deletes after the question",
         [&] {
             selectNames(*w, {"renamed.txt"});
             w.prompter->yesNo = {true};
         },
         QKeyCombination(Qt::Key_Delete), [&] { return rowOf(*w, "renamed.txt") < 0; }},
    };
    for (const Case& c : cases) {
        c.before();
        list->setFocus();
        QTest::keyClick(list, c.key.key(), c.key.keyboardModifiers());
        QVERIFY2(c.after(), c.name);
    }
    // Ctrl+S saves as, offering the image's own format.
    w.prompter->save.push_back([&](const SaveTypeChanged&) {
        return std::optional<SaveTarget>(SaveTarget{qs(dir / "saved.img"), "yaffs2"});
    });
    QVERIFY(runJob(*w, [&] { QTest::keyClick(list, Qt::Key_S, Qt::ControlModifier); }));
    QVERIFY(QFileInfo::exists(qs(dir / "saved.img")));
    // In the path box, Delete and Backspace edit the text.
    w->pathBox()->setFocus();
    QTest::keyClick(w->pathBox(), Qt::Key_Backspace);
    QCOMPARE(w->pathText(), "/syste");
    QCOMPARE(w.prompter->questions.size(), 1);
}

void BrowseTest::goesToTypedPaths() {
    TempDir dir;
    writeYaffsImage(dir / "t.yaffs2");
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));
    QLineEdit* box = w->pathBox();
    QVERIFY(!box->isReadOnly());
    auto type = [&](const QString& text) {
        box->setFocus();
        box->setText(text);
        QTest::keyClick(box, Qt::Key_Return);
    };
    type("/system/app");
    QCOMPARE(w->pathText(), "/system/app");
    QCOMPARE(w->folderView()->currentIndex(),
             w->folderModel()->indexOf(w->image()->nodeFor(kIdApp)));
    // A file: its folder, with the file selected.
    type("system/f03.txt");
    QCOMPARE(w->pathText(), "/system");
    QCOMPARE(w->selectedRows(), QList<int>({rowOf(*w, "f03.txt")}));
    type("中文名.txt");
    QCOMPARE(w->pathText(), "/");
    // Nothing there: said so, and the box shows the listed folder again.
    type("/nothing/here");
    QCOMPARE(w.prompter->messages, QStringList({"镜像中没有这个路径：/nothing/here"}));
    QCOMPARE(w->pathText(), "/");
}

void BrowseTest::sortsByColumn() {
    TempDir dir;
    korvane::test::Yaffs2Builder b;
    b.root();
    b.dir(300, 1, "zdir");
    b.dir(301, 1, "adir");
    b.file(302, 1, "small10.txt", pattern(5, 1));
    b.file(303, 1, "small2.txt", pattern(3000, 2));
    b.file(304, 1, "Small1.txt", pattern(100, 3));
    b.file(305, 1, "b.so", pattern(20, 4));
    b.save(dir / "t.yaffs2");
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));
    w->showDetailView();
    QHeaderView* header = w->detailView()->header();
    auto click = [&](int column) {
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                          QPoint(header->sectionViewportPosition(column) + 5, 5));
    };
    // The tree's order until a header is clicked.
    QCOMPARE(rowNames(*w),
             QStringList({"adir", "zdir", "b.so", "Small1.txt", "small10.txt", "small2.txt"}));
    click(DirListModel::kName);
    QCOMPARE(rowNames(*w),
             QStringList({"adir", "zdir", "b.so", "Small1.txt", "small2.txt", "small10.txt"}));
    click(DirListModel::kName); // descending, folders still first
    QCOMPARE(rowNames(*w),
             QStringList({"zdir", "adir", "small10.txt", "small2.txt", "Small1.txt", "b.so"}));
    click(DirListModel::kSize); // numbers as numbers
    QCOMPARE(rowNames(*w),
             QStringList({"adir", "zdir", "small10.txt", "b.so", "Small1.txt", "small2.txt"}));
    // The selection follows its rows; a new listing keeps the order.
    selectNames(*w, {"small2.txt"});
    click(DirListModel::kSize);
    QCOMPARE(w->selectedRows(), QList<int>({2}));
    w->refresh();
    QCOMPARE(rowNames(*w).mid(2, 1), QStringList({"small2.txt"}));
    QCOMPARE(naturalCompare("a2", "a10"), -1);
    QCOMPARE(naturalCompare("a010", "a10"), 1);
    QCOMPARE(naturalCompare("B", "a"), 1);
}

void BrowseTest::wrapsNamesInIconView() {
    // Names of ten characters and more wrap over two lines; longer ones
    // are cut at the end of the second.
    QFont font;
    for (const QString& name : {QString("small1.txt"), QString("small200.txt")}) {
        const QStringList lines = IconDelegate::nameLines(name, font, 50);
        QVERIFY(lines.size() == 2);
        QCOMPARE(lines.join(""), name);
    }
    const QStringList cut = IconDelegate::nameLines(QString(60, 'x') + ".txt", font, 50);
    QCOMPARE(cut.size(), 2);
    QVERIFY(cut[1].endsWith(QChar(0x2026)));
    QCOMPARE(IconDelegate::nameLines("a.txt", font, 104), QStringList({"a.txt"}));
}

void BrowseTest::showsOpenWarnings() {
    TempDir dir;
    writeWarnedImage(dir / "t.yaffs2", 2);
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));
    QCOMPARE(rowNames(*w), QStringList({"kept.txt"}));
    QCOMPARE(w->statusPanelText(4), "读取完成！（2 条警告）");
    QCOMPARE(w.prompter->errorLists.size(), size_t(1));
    const ScriptedPrompter::ErrorList& shown = w.prompter->errorLists[0];
    QCOMPARE(shown.caption, "镜像读取 警告信息");
    QCOMPARE(shown.summary, "读取镜像时有 2 条警告，读不出的对象没有列出：");
    QCOMPARE(shown.lines.size(), 2);
    QVERIFY(shown.lines.contains("根对象头描述的不是目录，仍按目录显示"));
    // A file that is no image at all: a message in the window's language.
    korvane::test::writeFile(dir / "empty.img", std::string());
    QVERIFY(openAndWait(*w, qs(dir / "empty.img")));
    QCOMPARE(w.prompter->messages, QStringList({qs(dir / "empty.img") + " 是空文件"}));
    // The image still open keeps its count, also when a reading that had
    // begun fails.
    korvane::test::writeFile(dir / "noise.img", pattern(1 << 20, 5));
    QVERIFY(runJob(*w, [&] { w->openImage(qs(dir / "noise.img"), "yaffs2"); }));
    QCOMPARE(w->statusPanelText(4), "读取完成！（2 条警告）");
}

void BrowseTest::showsAttributesAndLabels() {
    TempDir dir;
    writeYaffsImage(dir / "t.yaffs2");
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));
    // Attributes as an Android image has them: a label, capabilities
    // (cap_net_raw and cap_net_admin, effective, revision 2), text, bytes.
    std::string caps("\x01\x00\x00\x02\x00\x30\x00\x00\x00\x00\x00\x00", 12);
    caps += std::string(8, '\0');
    w->image()->nodeFor(kIdA)->entry.xattrs = {
        {"security.selinux", std::string("u:object_r:system_file:s0\0", 26)},
        {"security.capability", caps},
        {"user.note", "hello"},
        {"user.blob", std::string("\x01\xff", 2)}};
    Node* hard = findPath(w->image()->root(), "hard");
    w->refresh();
    w->showDetailView();
    QVERIFY(w->listModel()->hasLabels());
    QCOMPARE(w->listModel()->cellText(rowOf(*w, "a.txt"), DirListModel::kLabel),
             "u:object_r:system_file:s0");
    // A hard link shows what it links to.
    QCOMPARE(w->listModel()->cellText(rowOf(*w, "hard"), DirListModel::kLabel),
             "u:object_r:system_file:s0");
    selectNames(*w, {"hard"});
    w->showProperties();
    const ObjectProperties& p = w.prompter->properties.back();
    QCOMPARE(p.size, "1536字节");
    QCOMPARE(p.uid, "1000");
    QVERIFY(hard);
    QStringList attributes;
    for (const auto& a : p.attributes)
        attributes << a.name + "=" + a.value;
    QCOMPARE(attributes, QStringList({"security.selinux=u:object_r:system_file:s0",
                                      "security.capability=cap_net_admin,cap_net_raw=ep",
                                      "user.note=hello", "user.blob=0x01ff"}));
    // A folder says how much it holds.
    selectNames(*w, {"system"});
    w->showProperties();
    QCOMPARE(w.prompter->properties.back().contains, "12 项（下面共 14 项）");

    // Labels and ids as an image holds them show whole: their columns are
    // as wide as the text and the margins of a cell.
    korvane::test::Yaffs2Builder b;
    b.root();
    yaffs2::ObjectHeader labelled =
        korvane::test::Yaffs2Builder::make(yaffs2::kHdrFile, 1, "labelled", 0100644);
    labelled.uid = 4000000001u;
    labelled.gid = 4000000000u;
    const QString label = "u:object_r:hal_graphics_composer_default_exec:s0";
    labelled.xattrs = {{"security.selinux", label.toStdString()}};
    b.header(300, labelled);
    b.save(dir / "labelled.yaffs2");
    QVERIFY(openAndWait(*w, qs(dir / "labelled.yaffs2")));
    QTreeView* details = w->detailView();
    const int margins =
        2 * (details->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, details) + 1);
    const std::pair<int, QString> cells[] = {{DirListModel::kUid, "4000000001"},
                                             {DirListModel::kGid, "4000000000"},
                                             {DirListModel::kLabel, label}};
    for (const auto& [column, text] : cells) {
        QCOMPARE(w->listModel()->cellText(0, column), text);
        QVERIFY(!details->header()->isSectionHidden(column));
        QVERIFY2(details->header()->sectionSize(column) >=
                     details->fontMetrics().horizontalAdvance(text) + margins,
                 qPrintable(text));
    }

    struct Caps {
        std::string value;
        const char* text; // nullptr: not capabilities
    };
    auto word = [](uint32_t v) {
        return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    };
    const Caps cases[] = {
        {word(0x02000000) + word(1 << 0) + word(1 << 0) + word(0) + word(0), "cap_chown=ip"},
        {word(0x02000001) + word(1 << 13) + word(0) + word(1 << 3) + word(0),
         "cap_net_raw,cap_wake_alarm=ep"},
        {word(0x01000001) + word(1 << 21) + word(0), "cap_sys_admin=ep"},
        {word(0x03000000) + word(0) + word(0) + word(1u << 31) + word(0) + word(1000),
         "cap_63=p [rootid=1000]"},
        {word(0x02000000) + word(0), nullptr},
        {word(0x07000000) + std::string(16, '\0'), nullptr},
    };
    for (const Caps& c : cases) {
        const std::optional<std::string> t = capabilityText(c.value);
        QCOMPARE(t.has_value(), c.text != nullptr);
        if (c.text)
            QCOMPARE(QString::fromStdString(*t), c.text);
    }
}

void BrowseTest::picksLanguage() {
    TempDir dir;
    writeYaffsImage(dir / "t.yaffs2");
    // Qt's own texts: a standard button and a label of its file dialog.
    auto qtTexts = [] {
        QDialogButtonBox box(QDialogButtonBox::Cancel);
        return QStringList{box.button(QDialogButtonBox::Cancel)->text(),
                           QCoreApplication::translate("QFileDialog", "Look in:")};
    };
    // English, as `korvane --lang en` or an English locale starts it.
    QVERIFY(installTranslators(text::Language::kEnglish));
    {
        Window w = makeWindow();
        QCOMPARE(w->windowTitle(), "Korvane Browser Ver 2.0");
        QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));
        QCOMPARE(w->statusPanelText(4), "Reading done!");
        QCOMPARE(rowTexts(*w, rowOf(*w, "system"))[4], "Folder (12 items)");
        QCOMPARE(rowTexts(*w, rowOf(*w, "dev"))[4], "Character device");
        QCOMPARE(w->listModel()->headerData(DirListModel::kSize, Qt::Horizontal, Qt::DisplayRole),
                 "Size");
        selectNames(*w, {"a.txt"});
        QCOMPARE(w->statusPanelText(5), "Type: File, size: 1536 bytes, details: rw-r--r-- (0644)");
        QVERIFY(enabledPopupItems(*w).contains("Extract selected"));
        QVERIFY(openAndWait(*w, qs(dir / "missing.img")));
        QVERIFY2(
            w.prompter->messages.back().startsWith("cannot open " + qs(dir / "missing.img") + ": "),
            qPrintable(w.prompter->messages.back()));
        const std::pair<int, QString> counts[] = {{1, "Reading done, with 1 warning!"},
                                                  {2, "Reading done, with 2 warnings!"}};
        for (const auto& [warnings, status] : counts) {
            writeWarnedImage(dir / "warned.yaffs2", warnings);
            QVERIFY(openAndWait(*w, qs(dir / "warned.yaffs2")));
            QCOMPARE(w->statusPanelText(4), status);
        }
        QCOMPARE(w->progressPanel()->cancelButton()->text(), "Cancel");

        // "保存设置" of every save type, and with a layout it refuses.
        SaveOptionsDialog* options = w->saveOptionsDialog();
        QStringList texts, optionNames;
        for (const FormatRow& f : formats())
            for (const SaveType& t : f.saveTypes) {
                options->setSaveType(QString::fromUtf8(t.name));
                texts += shownTexts(*options);
                for (const FormatOption& o : f.options)
                    optionNames << QString::fromUtf8(o.name) << QString::fromUtf8(o.name) + ":";
            }
        options->setSaveType("yaffs2-custom");
        options->eccButton(1)->setChecked(true);
        options->spareSizeBox()->setValue(16);
        texts += shownTexts(*options);
        texts.removeDuplicates();
        QVERIFY2(texts.size() >= 28, qPrintable(texts.join('|')));
        QVERIFY(texts.contains("Save settings") && texts.contains("Android sparse format"));
        const QRegularExpression chinese("[\\x{3000}-\\x{9fff}\\x{ff00}-\\x{ffef}]");
        for (const QString& t : texts)
            QVERIFY2(!t.contains(chinese) && !optionNames.contains(t), qPrintable(t));
        QCOMPARE(qtTexts(), QStringList({"Cancel", "Look in:"}));
    }
    QVERIFY(installTranslators(text::Language::kChinese));
    Window w = makeWindow();
    QCOMPARE(w->windowTitle(), "Korvane 浏览器 Ver 2.0");
    QCOMPARE(qtTexts(), QStringList({"取消", "查找范围："}));
    QVERIFY(openAndWait(*w, qs(dir / "missing.img")));
    QCOMPARE(w.prompter->messages.back(),
             "无法打开 " + qs(dir / "missing.img") + "：没有那个文件或目录");
}

} // namespace korvane::ui::test
