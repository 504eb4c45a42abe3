#include "browse_test.h"

#include "dirlistmodel.h"
#include "foldertreemodel.h"
#include "model/texts.h"
#include "progresspanel.h"
#include "progressstrip.h"
#include "ui_fixture.h"

#include <QAction>
#include <QDateTime>
#include <QFileInfo>
#include <QImageReader>
#include <QListView>
#include <QMenu>
#include <QMovie>
#include <QTest>
#include <QToolBar>
#include <QTreeView>
#include <sys/stat.h>

namespace korvane::ui::test {

using korvane::test::TempDir;

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
             QStringList({"a.txt", "1000", "1001", "rw-r--r-- (0644)", "文件", "1.50"}));
    QCOMPARE(rowTexts(*w, rowOf(*w, "system")),
             QStringList({"system", "0", "0", "rwxr-xr-x (0755)", "目录(包含12项)", "0.00"}));
    QCOMPARE(rowTexts(*w, rowOf(*w, "empty")).mid(4), QStringList({"目录(包含0项)", "0.00"}));
    QCOMPARE(rowTexts(*w, rowOf(*w, "link")).mid(4), QStringList({"软链接  ->system/app", "0.00"}));
    QCOMPARE(rowTexts(*w, rowOf(*w, "hard")).mid(4), QStringList({"硬链接  ->a.txt", "0.00"}));
    QCOMPARE(rowTexts(*w, rowOf(*w, "dev")),
             QStringList({"dev", "0", "0", "rw-rw---- (0660)", "字符设备", "0.00"}));
    QCOMPARE(rowTexts(*w, rowOf(*w, "中文名.txt"))[5], "0.01");

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
    // A FIFO is "其它", in the list and in the properties.
    QCOMPARE(rowTexts(*w, rowOf(*w, "pipe")).mid(3),
             QStringList({"rw------- (0600)", "其它", "0.00"}));
    selectNames(*w, {"pipe"});
    w->showProperties();
    QCOMPARE(w.prompter->properties.back().type, "其它");
    QCOMPARE(w.prompter->properties.back().size, "0字节");
    QCOMPARE(folderNames(*w, w->folderModel()->index(0, 0)),
             QStringList({"bin", "docs", "lost+found"}));

    selectNames(*w, {"docs"});
    w->openSelected();
    QCOMPARE(w->pathText(), "/docs");
    QCOMPARE(rowTexts(*w, 0),
             QStringList({"readme.txt", QString::number(st.st_uid), QString::number(st.st_gid),
                          "rw-r--r-- (0644)", "文件", "1.50"}));
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

    // Selecting a folder in the tree lists it; the tree does not follow the
    // list.
    const FolderTreeModel* tree = w->folderModel();
    Node* app = w->image()->nodeFor(kIdApp);
    w->folderView()->setCurrentIndex(tree->indexOf(app));
    QCOMPARE(w->pathText(), "/system/app");
    w->goUp();
    QCOMPARE(w->pathText(), "/system");
    QCOMPARE(w->folderView()->currentIndex(), tree->indexOf(app));
    w->folderView()->setCurrentIndex(tree->index(0, 0));
    QCOMPARE(w->pathText(), "/");
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
    QCOMPARE(all,
             QStringList({"打开", "查看", "提取选择", "全部导出", "新建目录", "添加文件", "删除",
                          "刷新", "重命名", "权限修改", "UID修改", "GID修改", "属性"}));
    QCOMPARE(separators, QList<int>({2, 5, 9, 11, 16}));
    QMenu* view = actions[1]->menu();
    QVERIFY(view);
    QCOMPARE(view->actions().size(), 3);
    QCOMPARE(view->actions()[0]->text(), "缩略图");
    QVERIFY(!view->actions()[0]->isEnabled());
    QCOMPARE(view->actions()[1]->text(), "图标");
    QCOMPARE(view->actions()[2]->text(), "详细列表");

    // Nothing open.
    QCOMPARE(enabledPopupItems(*w), QStringList({"查看", "刷新"}));

    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));
    QToolBar* jobs = w->findChild<QToolBar*>("jobToolBar");
    QVERIFY(jobs);
    QAction* extractTop = jobs->actions()[0];
    QCOMPARE(extractTop->text(), "提取选中");

    QCOMPARE(enabledPopupItems(*w),
             QStringList({"查看", "全部导出", "新建目录", "添加文件", "刷新"}));
    QVERIFY(!extractTop->isEnabled());

    const QStringList withSelection = {"查看",     "提取选择", "全部导出", "新建目录",
                                       "添加文件", "删除",     "刷新",     "重命名",
                                       "权限修改", "UID修改",  "GID修改",  "属性"};
    selectNames(*w, {"a.txt"});
    QCOMPARE(enabledPopupItems(*w), withSelection);
    QVERIFY(extractTop->isEnabled());
    // "打开" needs the first selected item to be a folder.
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

    // Several selected: the first one counts.
    selectNames(*w, {"empty", "a.txt"});
    QCOMPARE(w->statusPanelText(5), "类型：目录, 大小：0字节, 详细：rwxr-xr-x (0755)");
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
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));
    selectNames(*w, {"system"});
    w->openSelected();
    Timg* before = w->image();
    const QString status = w->imageStatusText();

    qsizetype shown = 0;
    for (const char* bad : {"missing.img", "short.img", "zeros.img"}) {
        QVERIFY(openAndWait(*w, qs(dir / bad)));
        QCOMPARE(w.prompter->messages.size(), ++shown);
        QCOMPARE(w->image(), before);
        QCOMPARE(w->pathText(), "/system");
        QCOMPARE(w->imageStatusText(), status);
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
