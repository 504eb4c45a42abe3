#include "views_test.h"

#include "checksums.h"
#include "comparecommand.h"
#include "comparewindow.h"
#include "contentpager.h"
#include "dirlistmodel.h"
#include "fileviewer.h"
#include "imageinfodialog.h"
#include "listpane.h"
#include "model/tree.h"
#include "prompter.h"
#include "searchresultsmodel.h"
#include "support/yaffs2_builder.h"
#include "transfer/extract.h"
#include "ui_fixture.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QMimeData>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sys/stat.h>

namespace korvane::ui::test {

using korvane::test::pattern;
using korvane::test::readFile;
using korvane::test::TempDir;
using korvane::test::writeFile;

namespace {

// A made-up file of any size whose byte at o is a function of o, counting
// what is read of it.
ContentReader madeUp(uint64_t size, uint64_t* readBytes) {
    ContentReader r;
    r.size = size;
    r.read = [size, readBytes](uint64_t offset, MutableByteSpan out) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(out.size(), size - offset));
        for (size_t i = 0; i < n; ++i) {
            const uint64_t o = offset + i;
            out[i] = static_cast<std::byte>(o ^ (o >> 8) ^ (o >> 16) ^ (o >> 24));
        }
        *readBytes += n;
        return n;
    };
    return r;
}

ContentReader ofBytes(const QByteArray& bytes) {
    ContentReader r;
    r.size = static_cast<uint64_t>(bytes.size());
    r.read = [bytes](uint64_t offset, MutableByteSpan out) {
        const auto n = static_cast<size_t>(
            std::min<uint64_t>(out.size(), static_cast<uint64_t>(bytes.size()) - offset));
        std::memcpy(out.data(), bytes.constData() + offset, n);
        return n;
    };
    return r;
}

} // namespace

void ViewsTest::filtersAndSearchesImage() {
    TempDir dir;
    writeYaffsImage(dir / "t.yaffs2");
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));
    w->goToPath("/system");
    QTest::keyClicks(w->listPane()->filterBox(), "F0");
    QCOMPARE(rowNames(*w).size(), 9);
    QTest::keyClicks(w->listPane()->filterBox(), "?");
    // With a wildcard it is a pattern of the whole name.
    QCOMPARE(rowNames(*w).size(), 0);
    w->listPane()->filterBox()->clear();
    QCOMPARE(rowNames(*w).size(), 12);

    // Enter searches the whole image; a hit's double click goes there.
    QTest::keyClicks(w->listPane()->filterBox(), "*.APK");
    QTest::keyClick(w->listPane()->filterBox(), Qt::Key_Return);
    QVERIFY(w->listPane()->resultsShown());
    const SearchResultsModel* hits = w->navigator()->results();
    QCOMPARE(hits->rows(), 2);
    QCOMPARE(hits->pathAt(0), "/system/app/x.apk");
    QCOMPARE(hits->pathAt(1), "/system/app/y.apk");
    w->navigator()->showHit(1);
    QVERIFY(!w->listPane()->resultsShown());
    QCOMPARE(w->pathText(), "/system/app");
    QCOMPARE(w->selectedRows(), QList<int>({rowOf(*w, "y.apk")}));

    w->navigator()->searchImage("nothing-like-it");
    QCOMPARE(w.prompter->messages.size(), 1);
}

void ViewsTest::viewerReadsOnlyWhatIsShown() {
    // Larger than the memory of the test machine may hold.
    const uint64_t size = 6ull << 30;
    uint64_t readBytes = 0;
    ContentPager pager(madeUp(size, &readBytes));
    std::byte tail[16];
    QCOMPARE(pager.read(size - 10, MutableByteSpan(tail, sizeof tail)), size_t(10));
    for (uint64_t at = 0; at < size; at += size / 40)
        pager.read(at, MutableByteSpan(tail, sizeof tail));
    QVERIFY(pager.bytesHeld() <= ContentPager::kMaxPages * ContentPager::kPageSize);
    QVERIFY(pager.bytesRead() < 64 * uint64_t(ContentPager::kPageSize));

    readBytes = 0;
    FileViewer viewer;
    viewer.resize(800, 600);
    viewer.show();
    viewer.showContents("big.bin", madeUp(size, &readBytes));
    QCOMPARE(viewer.mode(), FileViewer::Mode::kHex);
    QVERIFY(!viewer.hasMode(FileViewer::Mode::kText));
    viewer.offsetBox()->setText("0x17FFFFF00");
    QVERIFY(viewer.goToOffset());
    viewer.offsetBox()->setText(QString::number(size));
    QVERIFY(!viewer.goToOffset());
    QVERIFY2(readBytes < (4u << 20), qPrintable(QString::number(readBytes)));

    // Bytes are found where they first are at or after the start.
    std::byte want[8];
    madeUp(size, &readBytes).read(5000, MutableByteSpan(want, sizeof want));
    const QByteArray needle(reinterpret_cast<const char*>(want), sizeof want);
    QCOMPARE(findBytes(madeUp(size, &readBytes), needle, 4000), std::optional<uint64_t>(5000));
    QCOMPARE(parseOffset("0x10"), std::optional<uint64_t>(16));
    QCOMPARE(parseOffset("10h"), std::optional<uint64_t>(16));
    QCOMPARE(parseOffset("x"), std::nullopt);
}

void ViewsTest::viewsTextAndFindsBytes() {
    FileViewer viewer;
    viewer.show();
    viewer.showContents("t.txt", ofBytes("grüße\nline two\nDE AD\n"));
    QCOMPARE(viewer.mode(), FileViewer::Mode::kText);
    QCOMPARE(viewer.encoding(), "UTF-8");
    QVERIFY(viewer.hasMode(FileViewer::Mode::kHex));
    viewer.findBox()->setText("two");
    QVERIFY(viewer.findNext());
    viewer.findBox()->setText("three");
    QVERIFY(!viewer.findNext());

    // Latin-1 text is text too; a NUL makes bytes of it.
    viewer.showContents("l.txt", ofBytes("caf\xe9\n"));
    QCOMPARE(viewer.mode(), FileViewer::Mode::kText);
    viewer.showContents("b.bin", ofBytes(QByteArray("ab\0\x01\xde\xad", 6)));
    QCOMPARE(viewer.mode(), FileViewer::Mode::kHex);
    viewer.findHexBox()->setChecked(true);
    viewer.findBox()->setText("de ad");
    QVERIFY(viewer.findNext());
}

void ViewsTest::handsCopiesToOtherApps() {
    TempDir dir;
    writeYaffsImage(dir / "t.yaffs2");
    DesktopStandIn desktop;
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));

    // "其它应用程序…": a copy of the file, in a folder of the app's own.
    selectNames(*w, {"a.txt"});
    QVERIFY(runJob(*w, [&] { w->contents()->openSelectedWithApp(); }));
    QCOMPARE(desktop.opened.size(), 1);
    const QFileInfo copy(desktop.opened[0].toLocalFile());
    QCOMPARE(copy.fileName(), "a.txt");
    QVERIFY(readFile(copy.filePath().toStdString()) == pattern(1536, 7));
    const QString copies = QFileInfo(copy.path()).path();
    struct stat st {};
    QCOMPARE(::stat(copies.toUtf8().constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, 0700u);

    // Dragged out: nothing is written until the target asks for the files;
    // each drag has a folder of its own, so names never clash there.
    auto drag = [&](const QStringList& names) {
        QModelIndexList rows;
        for (const QString& n : names)
            rows << w->listModel()->index(rowOf(*w, n), 0);
        return std::unique_ptr<QMimeData>(w->listModel()->mimeData(rows));
    };
    auto folders = [&] { return QDir(copies).entryList(QDir::Dirs | QDir::NoDotAndDotDot); };
    // Copies keep the modes of the image, a folder closed to writing too.
    w->image()->nodeFor(kIdSystem)->entry.mode = 040500;
    const std::unique_ptr<QMimeData> first = drag({"system", "a.txt"});
    QCOMPARE(folders().size(), 1);
    QVERIFY(first->hasUrls());
    const QList<QUrl> urls = first->urls();
    QCOMPARE(urls.size(), 2);
    const std::string dropped = QFileInfo(urls[0].toLocalFile()).path().toStdString();
    QVERIFY(readFile(dropped + "/system/app/x.apk") == pattern(1000, 1));
    QVERIFY(readFile(dropped + "/a.txt") == pattern(1536, 7));
    QCOMPARE(urls[1].toLocalFile(), qs(dropped + "/a.txt"));
    const QList<QUrl> again = drag({"a.txt"})->urls();
    QCOMPARE(folders().size(), 3);
    QVERIFY(readFile(again[0].toLocalFile().toStdString()) == pattern(1536, 7));

    // Closing the window removes every copy.
    QVERIFY(w->close());
    QVERIFY(!QFileInfo::exists(copies));
}

void ViewsTest::undoesAndRedoesEdits() {
    TempDir dir;
    writeYaffsImage(dir / "t.yaffs2");
    writeFile(dir / "add.txt", std::string("added"));
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));
    const QStringList before = rowNames(*w);
    const QString title = w->windowTitle();
    QVERIFY(!title.contains('*'));

    w.prompter->texts = {QString("nd"), QString("b.txt")};
    w->newDirectory();
    selectNames(*w, {"a.txt"});
    w->renameSelected();
    w.prompter->ids = {IdInput{"0000", false}};
    selectNames(*w, {"system"});
    w->changePermissions();
    selectNames(*w, {"empty", "link"});
    w.prompter->yesNo = {true};
    w->deleteSelected();
    QVERIFY(runJob(*w, [&] { w->addPaths({qs(dir / "add.txt")}); }));
    const QStringList after = rowNames(*w);
    QCOMPARE(after, QStringList({"nd", "system", "dev", "hard", "add.txt", "b.txt", "中文名.txt"}));
    QVERIFY(w->windowTitle().startsWith('*') || w->windowTitle().contains("*"));

    for (int i = 0; i < 5; ++i)
        w->undo();
    QCOMPARE(rowNames(*w), before);
    QCOMPARE(w->windowTitle(), title);
    QVERIFY(!w->image()->modified);
    QCOMPARE(w->image()->nodeFor(kIdSystem)->entry.mode, 040755u);

    for (int i = 0; i < 5; ++i)
        w->redo();
    w->goToPath("/");
    QCOMPARE(rowNames(*w), after);
    QCOMPARE(w->image()->nodeFor(kIdSystem)->entry.mode, 040000u);
    QVERIFY(w->windowTitle().contains("*"));
}

void ViewsTest::comparesWithFolder() {
    TempDir dir;
    writeYaffsImage(dir / "t.yaffs2");
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));
    // The image's /system as a folder, with one file changed, one added and
    // one taken away.
    outfiles(*w->image(), {kIdSystem}, dir / "out");
    writeFile(dir / "out/system/app/x.apk", std::string(1000, 'x'));
    writeFile(dir / "out/system/new.txt", std::string("new"));
    std::filesystem::remove(dir / "out/system/f01.txt");

    QVERIFY(runJob(*w, [&] { w->comparing()->compareWith(qs(dir / "out"), true); }));
    CompareWindow* cw = w->comparing()->window();
    QVERIFY(cw && cw->isVisible());
    const CompareModel* m = cw->model();
    QCOMPARE(m->stateOf("/system/app/x.apk"), CompareModel::kChanged);
    QCOMPARE(m->stateOf("/system/new.txt"), CompareModel::kAdded);
    QCOMPARE(m->stateOf("/system/f01.txt"), CompareModel::kRemoved);
    QCOMPARE(m->stateOf("/a.txt"), CompareModel::kRemoved);
    QVERIFY(cw->summaryText().contains("t.yaffs2"));

    // Only differences, and the folders that lead to them; or everything.
    QVERIFY(cw->onlyDifferencesBox()->isChecked());
    const int shown = m->shownRows();
    cw->onlyDifferencesBox()->setChecked(false);
    QVERIFY(m->shownRows() >= shown);
    cw->onlyDifferencesBox()->setChecked(true);
    QCOMPARE(m->shownRows(), shown);
}

void ViewsTest::showsImageInfoAndChecksums() {
    TempDir dir;
    writeYaffsImage(dir / "t.yaffs2");
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));
    const ImageInfo info = imageInfo(w->chain(), qs(dir / "t.yaffs2"));
    QVERIFY(info.sections.size() >= 3);
    QVERIFY2(info.value("读取格式").contains("YAFFS2"), qPrintable(info.value("读取格式")));

    // The checksums of the properties, in one pass.
    const std::atomic<bool> cancel{false};
    uint64_t done = 0;
    const std::optional<Checksums> sums =
        computeChecksums(ofBytes("abc"), cancel, [&](uint64_t n) { done = n; });
    QVERIFY(sums);
    QCOMPARE(done, uint64_t(3));
    QCOMPARE(sums->sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    QCOMPARE(sums->md5, "900150983cd24fb0d6963f7d28e17f72");
}

void ViewsTest::offersExt4FirstForExt4() {
    TempDir dir;
    std::filesystem::create_directories(dir / "src");
    writeFile(dir / "src/a.txt", std::string("a"));
    const std::string cmd =
        "mke2fs -q -F -t ext4 -d " + (dir / "src") + " " + (dir / "e.img") + " 4M >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0)
        QSKIP("mke2fs is not installed");
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "e.img")));
    w->saveAs(); // the save dialog is cancelled
    QCOMPARE(w.prompter->saveTypesOffered, QStringList({"ext4"}));

    // The real save dialog shows the settings of the type it offers from
    // the start, without a change of type.
    DialogPrompter real;
    QStringList shown;
    QTimer::singleShot(200, [] {
        if (QWidget* dialog = QApplication::activeModalWidget())
            dialog->close();
    });
    const auto picked = real.chooseSaveTarget(
        nullptr, "ext4", [&](const QString& type, QWidget*) { shown << type; });
    QVERIFY(!picked);
    QCOMPARE(shown, QStringList({"ext4"}));
}

} // namespace korvane::ui::test
