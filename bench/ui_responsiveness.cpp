// korvane-ui-bench: how responsive the desktop app stays on a big image.
// Drives the real main window on the offscreen platform while a timer probe
// fires every 10 ms and records the longest gap between its ticks (a stall of
// the event loop). Phases: opening IMAGE (time until the root listing shows),
// searching the whole image by name, extracting everything, saving as YAFFS2,
// opening and showing a folder of many entries in both views, filtering it
// as a name is typed, and showing a 2 GiB file in the hex view.
//
//   korvane-ui-bench IMAGE WORKDIR [--wide N]
#include "dirlistmodel.h"
#include "fileviewer.h"
#include "hexview.h"
#include "iconprovider.h"
#include "mainwindow.h"
#include "navigator.h"
#include "searchresultsmodel.h"
#include "support/yaffs2_builder.h"
#include "ui_probe.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

using namespace korvane;
using namespace korvane::ui;
using korvane::bench::settle;
using korvane::bench::StallProbe;

namespace {

// Answers the extraction and save dialogs with fixed targets.
class BenchPrompter : public Prompter {
public:
    QString folder;
    QString saveTarget;

    bool askYesNo(QWidget*, const QString&, bool) override { return true; }
    void showMessage(QWidget*, const QString& text) override {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
    }
    QString chooseImage(QWidget*) override { return {}; }
    QString chooseFolder(QWidget*, const QString&) override { return folder; }
    std::optional<SaveTarget> chooseSaveTarget(QWidget*, const QString&,
                                               const SaveTypeChanged&) override {
        return SaveTarget{saveTarget, "yaffs2"};
    }
    std::optional<FileChoice> chooseFiles(QWidget*) override { return std::nullopt; }
    std::optional<QString> askText(QWidget*, const QString&, const QString&, const QString&,
                                   const InputCheck&) override {
        return std::nullopt;
    }
    std::optional<IdInput> askId(QWidget*, const QString&, const QString&, const QString&,
                                 const InputCheck&) override {
        return std::nullopt;
    }
    ClashAnswer askClash(QWidget*, const QString&, const QString&, const QString&) override {
        return ClashAnswer::kOverwriteAll;
    }
    void showErrorList(QWidget*, const QString& caption, const QString&,
                       const QStringList& lines) override {
        std::fprintf(stderr, "%s: %lld lines\n", qPrintable(caption),
                     static_cast<long long>(lines.size()));
    }
    void showProperties(QWidget*, const ObjectProperties&, const QIcon&) override {}
};

// Runs start (which starts a job) and the event loop until the job has ended
// and then settleMs more, so work the end leaves to the event loop counts.
double runPhase(MainWindow& w, StallProbe& probe, const std::function<void()>& start,
                int settleMs = 300) {
    QEventLoop loop;
    QElapsedTimer t;
    double seconds = 0;
    auto c = QObject::connect(&w, &MainWindow::jobFinished, &loop, [&] {
        seconds = static_cast<double>(t.nsecsElapsed()) / 1e9;
        QTimer::singleShot(settleMs, &loop, &QEventLoop::quit);
    });
    probe.reset();
    t.start();
    start();
    loop.exec();
    QObject::disconnect(c);
    return seconds;
}

// Opens path; returns the seconds until the listing of the root was shown
// (filled, and the event loop free again to paint it).
double openPhase(MainWindow& w, StallProbe& probe, const QString& path, double& jobSeconds) {
    QElapsedTimer t;
    double shown = 0;
    auto c = QObject::connect(&w, &MainWindow::listFilled, [&] {
        probe.atNextTick([&] { shown = static_cast<double>(t.nsecsElapsed()) / 1e9; });
    });
    t.start();
    jobSeconds = runPhase(w, probe, [&] { w.openImage(path); });
    QObject::disconnect(c);
    return shown;
}

// The process's resident size in MiB (VmRSS).
double residentMiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) / 1024;
    return 0;
}

// Milliseconds that fn takes, with the events it leaves behind handled.
double timedMs(const std::function<void()>& fn) {
    QElapsedTimer t;
    t.start();
    fn();
    QCoreApplication::processEvents();
    return static_cast<double>(t.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QStringList args = QApplication::arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: korvane-ui-bench IMAGE WORKDIR [--wide N]\n");
        return 2;
    }
    const QString image = args[1];
    const std::filesystem::path work = args[2].toStdString();
    int wide = 20000;
    if (int i = static_cast<int>(args.indexOf("--wide")); i > 0 && i + 1 < args.size())
        wide = args[i + 1].toInt();
    std::filesystem::remove_all(work / "extract");
    std::filesystem::create_directories(work);

    IconProvider::chooseIconTheme();
    auto prompter = std::make_unique<BenchPrompter>();
    prompter->folder = QString::fromStdString((work / "extract").string());
    prompter->saveTarget = QString::fromStdString((work / "saved.yaffs2").string());
    MainWindow w(std::move(prompter));
    w.resize(1024, 700);
    w.show();
    StallProbe probe;
    settle(200);

    double scan = 0;
    double shown = openPhase(w, probe, image, scan);
    std::printf("open:    root listing shown after %.3f s (scan job %.3f s), %d objects; "
                "longest stall %.1f ms\n",
                shown, scan, w.image() ? static_cast<int>(w.image()->root()->subtreeSize()) : 0,
                probe.worstMs());
    // The whole image searched by a part of a name, as Enter in the filter
    // box does.
    const double searchMs = timedMs([&] { w.navigator()->searchImage("7"); });
    std::printf("search:  whole image for *7*: %d hits in %.1f ms\n",
                w.navigator()->results()->rows(), searchMs);
    w.navigator()->setFilter({});
    double extract = runPhase(w, probe, [&] { w.exportAll(); });
    std::printf("extract: everything in %.3f s; longest stall %.1f ms\n", extract, probe.worstMs());
    double save = runPhase(w, probe, [&] { w.saveAs(); });
    std::error_code ec;
    auto saved = std::filesystem::file_size(work / "saved.yaffs2", ec);
    std::printf("save:    YAFFS2 (%llu MiB) in %.3f s; longest stall %.1f ms\n",
                static_cast<unsigned long long>(ec ? 0 : saved >> 20), save, probe.worstMs());

    // A folder of many entries: the list builds its rows lazily.
    korvane::test::Yaffs2Builder b;
    b.root();
    for (int i = 0; i < wide; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "entry%06d.%s", i, i % 3 == 0 ? "so" : "txt");
        b.file(static_cast<uint32_t>(300 + i), 1, name, {});
    }
    const std::string widePath = (work / "wide.yaffs2").string();
    b.save(widePath);
    double wideScan = 0;
    double wideShown = openPhase(w, probe, QString::fromStdString(widePath), wideScan);
    std::printf("wide:    %d entries in one folder, icon view shown after %.3f s; longest "
                "stall %.1f ms\n",
                w.listModel()->rows(), wideShown, probe.worstMs());
    probe.reset();
    w.showDetailView();
    settle(300);
    std::printf("wide:    detail view; longest stall %.1f ms\n", probe.worstMs());
    probe.reset();
    w.showIconView();
    settle(300);
    std::printf("wide:    back to the icon view; longest stall %.1f ms\n", probe.worstMs());
    // The filter box over the wide folder, one keystroke at a time.
    const QString typed = QStringLiteral("entry01999");
    double slowest = 0;
    for (qsizetype i = 1; i <= typed.size(); ++i)
        slowest = std::max(slowest, timedMs([&] { w.navigator()->setFilter(typed.left(i)); }));
    std::printf("filter:  typing \"%s\" over %d entries, slowest keystroke %.1f ms\n",
                qPrintable(typed), wide, slowest);
    w.navigator()->setFilter({});

    // A 2 GiB file in the hex view: its contents are made as they are read,
    // so what the view reads is what the memory shows.
    constexpr uint64_t kBig = 2ull << 30;
    uint64_t bytesRead = 0;
    ContentReader reader;
    reader.size = kBig;
    reader.read = [&](uint64_t offset, MutableByteSpan out) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(out.size(), kBig - offset));
        for (size_t i = 0; i < n; ++i)
            out[i] = static_cast<std::byte>((offset + i) * 131 >> 3);
        bytesRead += n;
        return n;
    };
    const double before = residentMiB();
    FileViewer viewer(&w);
    const double firstScreen = timedMs([&] {
        viewer.showContents(QStringLiteral("big.bin"), reader);
        viewer.setMode(FileViewer::Mode::kHex);
        viewer.show();
        viewer.hexView()->repaint();
    });
    std::printf("hex:     2 GiB file, first screen in %.1f ms, %llu KiB read, %.1f MiB more "
                "memory\n",
                firstScreen, static_cast<unsigned long long>(bytesRead >> 10),
                residentMiB() - before);
    viewer.close();

    std::filesystem::remove_all(work / "extract");
    std::filesystem::remove(work / "saved.yaffs2");
    std::filesystem::remove(widePath);
    return 0;
}
