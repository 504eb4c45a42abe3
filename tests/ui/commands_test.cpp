#include "commands_test.h"

#include "addfilesdialog.h"
#include "dirlistmodel.h"
#include "foldertreemodel.h"
#include "progresspanel.h"
#include "support/yaffs2_builder.h"
#include "transfer/loadimage.h"
#include "ui_fixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDropEvent>
#include <QLineEdit>
#include <QListView>
#include <QMimeData>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTreeView>
#include <QUrl>
#include <deque>
#include <filesystem>

namespace korvane::ui::test {

using korvane::test::pattern;
using korvane::test::readFile;
using korvane::test::TempDir;
using korvane::test::writeFile;
namespace fs = std::filesystem;

void CommandsTest::extractsSelectedAndAll() {
    TempDir dir;
    writeYaffsImage(dir / "t.yaffs2");
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));

    selectNames(*w, {"system", "a.txt"});
    w.prompter->folder = qs(dir / "out1");
    QVERIFY(runJob(*w, [&] { w->extractSelected(); }));
    QCOMPARE(w.prompter->folderStarts, QStringList({QDir::homePath()}));
    QVERIFY(readFile(dir / "out1/a.txt") == pattern(1536, 7));
    QVERIFY(readFile(dir / "out1/system/app/x.apk") == pattern(1000, 1));
    QVERIFY(fs::exists(dir / "out1/system/f11.txt"));
    QVERIFY(!fs::exists(dir / "out1/empty"));
    QVERIFY(!w->isLocked());
    QVERIFY(!w->progressPanel()->isVisible());
    QCOMPARE(w->progressPanel()->message(), "完成");
    QCOMPARE(w->progressPanel()->formatName(), "YAFFS2");
    QCOMPARE(w.prompter->messages, QStringList({"提取完成：写出 16 项。"}));

    // "全部导出" writes the root's children; the dialog starts in the last folder.
    w.prompter->folder = qs(dir / "out2");
    QVERIFY(runJob(*w, [&] { w->exportAll(); }));
    QCOMPARE(w.prompter->folderStarts[1], qs(dir / "out1"));
    QVERIFY(fs::is_directory(dir / "out2/empty"));
    QVERIFY(readFile(dir / "out2/中文名.txt") == pattern(10, 8));
    QCOMPARE(fs::read_symlink(dir / "out2/link").string(), "system/app");
    QVERIFY(w.prompter->errorLists.empty());

    // Cancelling the folder dialog starts nothing.
    w.prompter->folder.clear();
    w->exportAll();
    QVERIFY(!w->busy());
}

void CommandsTest::listsObjectsExtractionSkipped() {
    TempDir dir;
    korvane::test::Yaffs2Builder b;
    b.root();
    b.file(300, 1, "good.txt", pattern(10, 1));
    b.file(301, 1, "bad/name", pattern(10, 2));
    b.save(dir / "t.yaffs2");
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));
    w.prompter->folder = qs(dir / "out");
    QVERIFY(runJob(*w, [&] { w->exportAll(); }));
    QVERIFY(fs::exists(dir / "out/good.txt"));
    QCOMPARE(w.prompter->errorLists.size(), size_t(1));
    QCOMPARE(w.prompter->errorLists[0].caption, "文件提取 错误信息");
    QCOMPARE(w.prompter->errorLists[0].lines.size(), 1);
    QVERIFY(w.prompter->errorLists[0].lines[0].startsWith("bad/name"));
}

void CommandsTest::asksBeforeOverwritingOnExtraction() {
    TempDir dir;
    writeYaffsImage(dir / "t.yaffs2");
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));
    w->goToPath("/system");
    const QStringList four = {"f01.txt", "f02.txt", "f03.txt", "f04.txt"};
    fs::create_directories(dir / "out");
    auto writeOld = [&] {
        for (const QString& f : four)
            writeFile(dir / ("out/" + f.toStdString()), std::string("old"));
    };
    auto isOld = [&](const char* f) {
        return readFile(dir / (std::string("out/") + f)) == korvane::test::bytesOf("old");
    };
    writeOld();
    w.prompter->folder = qs(dir / "out");
    struct Case {
        std::deque<ClashAnswer> answers;
        bool cancelAtFirst;
        int asked;
        const char* kept; // the files left as they were
        QString end;
    };
    using A = ClashAnswer;
    const Case cases[] = {
        {{A::kOverwrite, A::kSkip, A::kOverwriteAll},
         false,
         3,
         "f02.txt",
         "提取完成：写出 3 项。\n覆盖了 3 个已有的文件。\n保留了 1 个已有的文件，没有写出。"},
        {{A::kSkipAll},
         false,
         1,
         "f01.txt f02.txt f03.txt f04.txt",
         "提取完成：写出 0 项。\n保留了 4 个已有的文件，没有写出。"},
        {{A::kOverwrite},
         true,
         1,
         "f02.txt f03.txt f04.txt",
         "提取已取消，提前停止：只写出了 1 项。\n覆盖了 1 个已有的文件。"},
    };
    for (const Case& c : cases) {
        writeOld();
        selectNames(*w, four);
        w.prompter->clashQuestions.clear();
        w.prompter->clashes = c.answers;
        w.prompter->onClash = [&] {
            if (c.cancelAtFirst)
                w->progressPanel()->cancelButton()->click();
        };
        QVERIFY(runJob(*w, [&] { w->extractSelected(); }));
        QCOMPARE(w.prompter->clashQuestions, QStringList(c.asked, "文件已存在！是否覆盖？"));
        QCOMPARE(w.prompter->clashTargets.back(),
                 qs(dir / "out/") + w.prompter->clashSources.back());
        for (const QString& f : four)
            QCOMPARE(isOld(f.toUtf8().constData()), QString(c.kept).contains(f));
        QCOMPARE(w.prompter->messages.back(), c.end);
    }
    QCOMPARE(w.prompter->clashSources.first(), "f01.txt");
}

void CommandsTest::addsFilesWithEachClashAnswer() {
    TempDir dir;
    writeYaffsImage(dir / "t.yaffs2");
    fs::create_directories(dir / "src");
    writeFile(dir / "src/a.txt", std::string("NEW"));
    writeFile(dir / "src/b.txt", std::string("bee"));
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));

    // While the question is asked, the job runs: the window is locked and the
    // panel shows.
    bool lockedDuringJob = false;
    w.prompter->onClash = [&] {
        lockedDuringJob = w->isLocked() && w->progressPanel()->isVisible();
    };
    w.prompter->files = {qs(dir / "src/a.txt"), qs(dir / "src/b.txt")};
    w.prompter->clashes = {ClashAnswer::kSkip};
    QVERIFY(runJob(*w, [&] { w->addFiles(); }));
    QVERIFY(lockedDuringJob);
    QCOMPARE(w.prompter->clashSources, QStringList({qs(dir / "src/a.txt")}));
    QCOMPARE(w.prompter->clashTargets, QStringList({"/a.txt"}));
    QVERIFY(contentsOf(*w->image(), "a.txt") == pattern(1536, 7));
    QVERIFY(contentsOf(*w->image(), "b.txt") == korvane::test::bytesOf("bee"));
    QVERIFY(rowOf(*w, "b.txt") >= 0);
    QVERIFY(w->image()->modified);
    QVERIFY(!w->isLocked());
    QVERIFY(!w->progressPanel()->isVisible());
    QCOMPARE(w->pathText(), "/");

    w.prompter->files = {qs(dir / "src/a.txt")};
    w.prompter->clashes = {ClashAnswer::kOverwrite};
    QVERIFY(runJob(*w, [&] { w->addFiles(); }));
    QVERIFY(contentsOf(*w->image(), "a.txt") == korvane::test::bytesOf("NEW"));
    QCOMPARE(rowTexts(*w, rowOf(*w, "a.txt"))[5], "3 B");
    QCOMPARE(w.prompter->clashSources.size(), 2);

    // Cancelled chooser: nothing happens.
    w.prompter->files.clear();
    w->addFiles();
    QVERIFY(!w->busy());
}

void CommandsTest::addsWithOverwriteAllSkipAllAndErrors() {
    TempDir dir;
    writeYaffsImage(dir / "t.yaffs2");
    fs::create_directories(dir / "src");
    for (const char* f : {"f01.txt", "f02.txt", "f03.txt"})
        writeFile(dir / (std::string("src/") + f), std::string("new ") + f);
    fs::create_directories(dir / "folder/a.txt");
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));
    selectNames(*w, {"system"});
    w->openSelected();
    const QStringList three = {qs(dir / "src/f01.txt"), qs(dir / "src/f02.txt"),
                               qs(dir / "src/f03.txt")};

    w.prompter->files = three;
    w.prompter->clashes = {ClashAnswer::kOverwriteAll};
    QVERIFY(runJob(*w, [&] { w->addFiles(); }));
    QCOMPARE(w.prompter->clashSources.size(), 1);
    QCOMPARE(w->pathText(), "/system");
    for (const char* f : {"f01.txt", "f02.txt", "f03.txt"})
        QVERIFY(contentsOf(*w->image(), std::string("system/") + f) ==
                korvane::test::bytesOf(std::string("new ") + f));

    // A new run asks again; "全否" skips the rest.
    writeFile(dir / "src/f01.txt", std::string("newer"));
    writeFile(dir / "src/f02.txt", std::string("newer"));
    w.prompter->clashes = {ClashAnswer::kSkipAll};
    QVERIFY(runJob(*w, [&] { w->addFiles(); }));
    QCOMPARE(w.prompter->clashSources.size(), 2);
    QVERIFY(contentsOf(*w->image(), "system/f01.txt") == korvane::test::bytesOf("new f01.txt"));
    QVERIFY(contentsOf(*w->image(), "system/f02.txt") == korvane::test::bytesOf("new f02.txt"));

    // A folder onto a file cannot be added: listed at the end.
    w->goUp();
    w.prompter->files = {qs(dir / "folder/a.txt")};
    QVERIFY(runJob(*w, [&] { w->addFiles(); }));
    QCOMPARE(w.prompter->errorLists.size(), size_t(1));
    QCOMPARE(w.prompter->errorLists[0].caption, "添加文件 错误信息");
    QCOMPARE(w.prompter->errorLists[0].lines.size(), 1);
    QVERIFY(w.prompter->errorLists[0].lines[0].startsWith("源目录:"));
}

void CommandsTest::addsDroppedFiles() {
    TempDir dir;
    writeYaffsImage(dir / "t.yaffs2");
    fs::create_directories(dir / "drop/inner");
    writeFile(dir / "drop/inner/d.txt", std::string("dropped"));
    Window w = makeWindow();
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(qs(dir / "drop"))});

    // Nothing listed: the window takes no drop.
    QDragEnterEvent refused(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w.window.get(), &refused);
    QVERIFY(!refused.isAccepted());

    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));
    selectNames(*w, {"empty"});
    w->openSelected();
    // As the chooser's "保留文件属性" was last left: off.
    QSettings().setValue("add/keepAttributes", false);
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w.window.get(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QVERIFY(runJob(*w, [&] { QCoreApplication::sendEvent(w.window.get(), &drop); }));
    QCOMPARE(rowNames(*w), QStringList({"drop"}));
    QVERIFY(contentsOf(*w->image(), "empty/drop/inner/d.txt") == korvane::test::bytesOf("dropped"));
    Node* added = findPath(w->image()->root(), "empty/drop/inner/d.txt");
    QCOMPARE(added->entry.mode & 07777, 0777u);
    // The tree shows the new folders, collapsed down to the listed one.
    QVERIFY(w->folderModel()->indexOf(findPath(w->image()->root(), "empty/drop/inner")).isValid());
}

void CommandsTest::chooserGoesToTypedPaths() {
    TempDir dir;
    fs::create_directories(dir / "a/b");
    writeFile(dir / "a/f.txt", std::string("x"));
    QSettings().clear();
    AddFilesDialog d;
    d.show();
    d.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&d));
    QVERIFY(d.keepAttributesBox()->isChecked()); // at first
    QLineEdit* box = d.locationBox()->lineEdit();
    struct Case {
        QString typed;
        bool enter; // else the box is left
        std::string folder;
        QStringList selected;
    };
    for (const Case& c :
         {Case{qs(dir / "a"), true, "a", {}}, Case{qs(dir / "a/b"), false, "a/b", {}},
          Case{"..", true, "a", {}}, Case{qs(dir / "a/f.txt"), true, "a", {qs(dir / "a/f.txt")}},
          Case{"nothing", false, "a", {}}}) {
        box->setFocus();
        box->setText(c.typed);
        if (c.enter)
            QTest::keyClick(box, Qt::Key_Return);
        else
            d.listView()->setFocus();
        QCOMPARE(d.folder(), qs(dir / c.folder));
        QVERIFY2(d.isVisible(), "Enter goes there, the dialog stays");
        if (!c.selected.isEmpty())
            QCOMPARE(d.selectedPaths(), c.selected);
    }
}

void CommandsTest::cancelStopsJob() {
    TempDir dir;
    writeYaffsImage(dir / "t.yaffs2");
    fs::create_directories(dir / "src");
    writeFile(dir / "src/a.txt", std::string("NEW"));
    writeFile(dir / "src/b.txt", std::string("bee"));
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));
    // "取消" while the job waits for the answer: it stops before the next file.
    w.prompter->onClash = [&] { w->progressPanel()->cancelButton()->click(); };
    w.prompter->files = {qs(dir / "src/a.txt"), qs(dir / "src/b.txt")};
    w.prompter->clashes = {ClashAnswer::kOverwrite};
    QVERIFY(runJob(*w, [&] { w->addFiles(); }));
    QCOMPARE(rowOf(*w, "b.txt"), -1);
    QVERIFY(!w->isLocked());
    QVERIFY(!w->progressPanel()->isVisible());
    QCOMPARE(w->progressPanel()->message(), "完成");
    // The next job starts afresh.
    w.prompter->onClash = nullptr;
    w.prompter->files = {qs(dir / "src/b.txt")};
    QVERIFY(runJob(*w, [&] { w->addFiles(); }));
    QVERIFY(rowOf(*w, "b.txt") >= 0);
}

void CommandsTest::makesNewDirectories() {
    TempDir dir;
    writeYaffsImage(dir / "t.yaffs2");
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));

    w.prompter->texts = {QString("lib2")};
    w->newDirectory();
    QCOMPARE(w.prompter->textQuestions.back().caption, "新建目录");
    QCOMPARE(w.prompter->textQuestions.back().prompt, "输入名称        ");
    QCOMPARE(w.prompter->textQuestions.back().value, QString());
    QCOMPARE(rowNames(*w).mid(0, 3), QStringList({"empty", "lib2", "system"}));
    QCOMPARE(w->selectedRows(), QList<int>({1}));
    QCOMPARE(rowTexts(*w, 1).mid(3), QStringList({"rwxr-xr-x (0755)", "目录(包含0项)", ""}));
    QCOMPARE(folderNames(*w, w->folderModel()->index(0, 0)),
             QStringList({"empty", "lib2", "system"}));
    QVERIFY(w->image()->modified);

    // A name that cannot be is explained while the box stays open; the
    // name typed next is taken.
    const int rows = w->listModel()->rows();
    w.prompter->texts = {QString(" system "), QString("a/b"), QString(".."), QString(256, 'n'),
                         QString("ok"),       QString(),      std::nullopt};
    w->newDirectory();
    QCOMPARE(w.prompter->messages,
             QStringList({"目录或文件已存在!      ", "输入有误！名称中不能有“/”。",
                          "输入有误！名称不能是“.”或“..”。",
                          "输入有误！名称最长 255 字节，这个名称有 256 字节。"}));
    QCOMPARE(w->listModel()->rows(), rows + 1);
    w->newDirectory(); // empty: nothing
    w->newDirectory(); // cancelled
    QCOMPARE(w->listModel()->rows(), rows + 1);
}

void CommandsTest::renames() {
    TempDir dir;
    writeYaffsImage(dir / "t.yaffs2");
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));

    // Its own name: nothing happens.
    selectNames(*w, {"a.txt"});
    w.prompter->texts = {QString("a.txt")};
    w->renameSelected();
    QVERIFY(!w->image()->modified);
    QCOMPARE(w.prompter->textQuestions.back().caption, "重命名");
    QCOMPARE(w.prompter->textQuestions.back().prompt, "输入名称         ");
    QCOMPARE(w.prompter->textQuestions.back().value, "a.txt");

    w.prompter->texts = {QString("b.txt")};
    w->renameSelected();
    QVERIFY(w->image()->modified);
    QCOMPARE(qs(w->image()->nodeFor(kIdA)->text), "b.txt");
    QCOMPARE(qs(w->image()->nodeFor(kIdA)->entry.name), "b.txt");
    QCOMPARE(rowTexts(*w, rowOf(*w, "b.txt"))[4], "文件");
    QCOMPARE(rowOf(*w, "a.txt"), -1);

    w.prompter->texts = {QString("system")};
    w->renameSelected();
    QCOMPARE(w.prompter->messages, QStringList({"目录或文件已存在!      "}));

    // A folder's new name shows in the tree too.
    selectNames(*w, {"system"});
    w.prompter->texts = {QString("系统")};
    w->renameSelected();
    QCOMPARE(folderNames(*w, w->folderModel()->index(0, 0)), QStringList({"empty", "系统"}));
    selectNames(*w, {"系统"});
    w->openSelected();
    QCOMPARE(w->pathText(), "/系统");
}

void CommandsTest::deletes() {
    TempDir dir;
    writeYaffsImage(dir / "t.yaffs2");
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));
    // The tree's selection lies inside what is deleted.
    w->folderView()->setCurrentIndex(w->folderModel()->indexOf(w->image()->nodeFor(kIdApp)));
    w->goUp();
    w->goUp();
    QCOMPARE(w->pathText(), "/");

    selectNames(*w, {"system", "a.txt"});
    w->deleteSelected(); // answered "No", which is the default
    QCOMPARE(w.prompter->questions, QStringList({"确定要删除！\n\n将删除 2 项：system、a.txt"}));
    QCOMPARE(w.prompter->questionDefaults, QList<bool>({false}));
    QVERIFY(w->image()->nodeFor(kIdSystem));
    QVERIFY(!w->image()->modified);

    w.prompter->yesNo = {true};
    w->deleteSelected();
    QVERIFY(w->image()->modified);
    QCOMPARE(rowNames(*w), QStringList({"empty", "dev", "hard", "link", "中文名.txt"}));
    QVERIFY(!w->image()->nodeFor(kIdSystem));
    QVERIFY(!w->image()->nodeFor(kIdApp));
    QVERIFY(!w->image()->nodeFor(kIdX));
    // a.txt lives on in its hard link, which became the file.
    QCOMPARE(w->image()->nodeFor(kIdA)->text, "hard");
    QCOMPARE(w->image()->nodeFor(kIdA)->entry.objType, kTypeFile);
    QCOMPARE(folderNames(*w, w->folderModel()->index(0, 0)), QStringList({"empty"}));
    QCOMPARE(w->pathText(), "/");
    QVERIFY(w->selectedRows().isEmpty());
}

void CommandsTest::deletesScatteredRows() {
    TempDir dir;
    korvane::test::Yaffs2Builder b;
    b.root();
    QStringList all;
    for (uint32_t i = 0; i < 300; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "f%03u", i);
        b.file(300 + i, 1, name, {});
        all << name;
    }
    b.save(dir / "many.yaffs2");
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "many.yaffs2")));
    QCOMPARE(rowNames(*w), all);

    // Every other row (150 runs), then a block of ten.
    QList<int> odd;
    QStringList kept;
    for (int r = 0; r < 300; ++r)
        if (r % 2)
            odd << r;
        else
            kept << all[r];
    w->selectRows(odd);
    w.prompter->yesNo = {true, true};
    w->deleteSelected();
    QVERIFY(
        w.prompter->questions.back().endsWith("将删除 150 项：f001、f003、f005、f007、f009 等"));
    QCOMPARE(rowNames(*w), kept);
    w->selectRows({10, 11, 12, 13, 14, 15, 16, 17, 18, 19});
    w->deleteSelected();
    kept.remove(10, 10);
    QCOMPARE(rowNames(*w), kept);
    QCOMPARE(int(w->image()->root()->children.size()), 140);
    QVERIFY(!w->image()->nodeFor(301));
    QVERIFY(w->image()->nodeFor(300));
}

void CommandsTest::changesPermissionsUidGid() {
    TempDir dir;
    writeYaffsImage(dir / "t.yaffs2");
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));
    Timg& img = *w->image();
    auto mode = [&](uint32_t id) { return img.nodeFor(id)->entry.mode & 07777; };

    selectNames(*w, {"system"});
    w.prompter->ids = {IdInput{" 4755 ", false}};
    w->changePermissions();
    const auto& asked = w.prompter->idQuestions.back();
    QCOMPARE(asked.caption, "权限修改");
    QCOMPARE(asked.prompt, "输入权限代码 如 755 , 4755 等");
    QCOMPARE(asked.value, "0755");
    QCOMPARE(mode(kIdSystem), 04755u);
    QCOMPARE(mode(kIdApp), 0755u);
    QCOMPARE(rowTexts(*w, rowOf(*w, "system"))[3], "rwsr-xr-x (4755)");
    QCOMPARE(w->selectedRows(), QList<int>({rowOf(*w, "system")}));
    QVERIFY(img.modified);

    // With "包含子项", everything below changes too.
    w.prompter->ids = {IdInput{"700", true}};
    w->changePermissions();
    QCOMPARE(mode(kIdSystem), 0700u);
    QCOMPARE(mode(kIdApp), 0700u);
    QCOMPARE(mode(kIdX), 0700u);
    QCOMPARE(rowTexts(*w, rowOf(*w, "system"))[3], "rwx------ (0700)");

    // Two selected: the box opens empty. Invalid codes are explained and the
    // box stays open; an empty one changes nothing.
    selectNames(*w, {"system", "a.txt"});
    const QString badMode = "输入有误！权限代码是 1 到 4 位 0 到 7 的数字，如 755、4755、0000。";
    w.prompter->ids = {IdInput{"47555", false}, IdInput{"999", false}, IdInput{"7a", false},
                       std::nullopt, IdInput{"", false}};
    w->changePermissions();
    w->changePermissions();
    QCOMPARE(w.prompter->idQuestions.back().value, QString());
    QCOMPARE(w.prompter->messages, QStringList({badMode, badMode, badMode}));
    QCOMPARE(mode(kIdA), 0644u);

    // UID: the current value is offered; every 32-bit id is kept whole, the
    // rest refused.
    selectNames(*w, {"a.txt"});
    w.prompter->messages.clear();
    const QString badUid = "输入有误！UID 是 0 到 4294967294 之间的整数。";
    w.prompter->ids = {IdInput{"70000", false}, IdInput{"abc", false}, IdInput{"-1", false},
                       IdInput{"4294967295", false}, IdInput{"4294967294", false}};
    w->changeUid();
    QCOMPARE(w.prompter->idQuestions.back().caption, "UID修改");
    QCOMPARE(w.prompter->idQuestions.back().prompt, "输入UID");
    QCOMPARE(w.prompter->idQuestions.back().value, "1000");
    QCOMPARE(img.nodeFor(kIdA)->entry.uid, 70000u);
    QCOMPARE(rowTexts(*w, rowOf(*w, "a.txt"))[1], "70000");
    w->changeUid();
    QCOMPARE(w.prompter->messages, QStringList({badUid, badUid, badUid}));
    QCOMPARE(img.nodeFor(kIdA)->entry.uid, 4294967294u);

    // GID of a folder with and without what is below it.
    selectNames(*w, {"system"});
    w.prompter->ids = {IdInput{"42", false}, IdInput{"43", true}};
    w->changeGid();
    QCOMPARE(w.prompter->idQuestions.back().caption, "GID修改");
    QCOMPARE(w.prompter->idQuestions.back().prompt, "输入GID");
    QCOMPARE(int(img.nodeFor(kIdSystem)->entry.gid), 42);
    QCOMPARE(int(img.nodeFor(kIdX)->entry.gid), 0);
    w->changeGid();
    QCOMPARE(w.prompter->idQuestions.back().value, "42");
    QCOMPARE(int(img.nodeFor(kIdSystem)->entry.gid), 43);
    QCOMPARE(int(img.nodeFor(kIdX)->entry.gid), 43);
    QCOMPARE(rowTexts(*w, rowOf(*w, "system"))[2], "43");
}

void CommandsTest::editsExtImage() {
    TempDir dir;
    const std::string path = dir / "t.ext2";
    if (!writeExtImage(path, dir / "src"))
        QSKIP("mke2fs is not installed");
    fs::create_directories(dir / "add");
    writeFile(dir / "add/new.txt", std::string("added"));
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(path)));

    w.prompter->folder = qs(dir / "out");
    QVERIFY(runJob(*w, [&] { w->exportAll(); }));
    QCOMPARE(readFile(dir / "out/bin/tool"), korvane::test::bytesOf("tool"));
    QVERIFY(readFile(dir / "out/docs/readme.txt") == pattern(1536, 3));

    selectNames(*w, {"docs"});
    w->openSelected();
    w.prompter->texts = {QString("made"), QString("renamed.txt")};
    w->newDirectory();
    w.prompter->files = {qs(dir / "add/new.txt")};
    QVERIFY(runJob(*w, [&] { w->addFiles(); }));
    selectNames(*w, {"readme.txt"});
    w->renameSelected();
    w.prompter->ids = {IdInput{"600", false}};
    w->changePermissions();
    QCOMPARE(rowNames(*w), QStringList({"made", "new.txt", "renamed.txt"}));
    QCOMPARE(rowTexts(*w, 2)[3], "rw------- (0600)");
    QVERIFY(contentsOf(*w->image(), "docs/new.txt") == korvane::test::bytesOf("added"));
    QVERIFY(contentsOf(*w->image(), "docs/renamed.txt") == pattern(1536, 3));
    QCOMPARE(w->progressPanel()->formatName(), "EXT2");
    QCOMPARE(w.prompter->messages.size(), 1); // the extraction's end
    QVERIFY(w.prompter->messages[0].startsWith("提取完成"));

    // Saving offers EXT2, and the list stays in its folder.
    w.prompter->save.push_back(saveTo(dir / "again.ext2", "ext2"));
    QVERIFY(runJob(*w, [&] { w->saveAs(); }));
    QCOMPARE(w.prompter->saveTypesOffered, QStringList({"ext2"}));
    QCOMPARE(w->pathText(), "/docs");
}

} // namespace korvane::ui::test
