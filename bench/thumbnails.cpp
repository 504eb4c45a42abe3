// korvane-thumb-bench: thumbnails of a folder of many pictures in the
// desktop app (offscreen platform). Makes a YAFFS2 image holding COUNT
// pictures of about one megapixel, half JPEG and half PNG, opens it in the
// main window, switches the folder to the thumbnail view and reports the time
// to the first thumbnail, thumbnails per second, the longest stall of the
// event loop (a timer probe fires every 10 ms) and the memory the
// thumbnails take above the listing's.
//
//   korvane-thumb-bench WORKDIR [--count N]
#include "dirlistmodel.h"
#include "iconprovider.h"
#include "mainwindow.h"
#include "support/yaffs2_builder.h"
#include "thumbnailer.h"
#include "ui_probe.h"

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QImage>
#include <QPainter>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>

using namespace korvane;
using namespace korvane::ui;
using korvane::bench::settle;
using korvane::bench::StallProbe;

namespace {

// A picture of w x h pixels: gradients and shapes, so that both formats
// compress it as they compress photographs of plain scenes.
QByteArray makePicture(int w, int h, int seed, const char* format) {
    QImage image(w, h, QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient g(0, 0, w, h);
    g.setColorAt(0, QColor::fromHsv((seed * 37) % 360, 200, 230));
    g.setColorAt(1, QColor::fromHsv((seed * 37 + 120) % 360, 160, 90));
    p.fillRect(image.rect(), g);
    p.setRenderHint(QPainter::Antialiasing);
    for (int k = 0; k < 24; ++k) {
        p.setBrush(QColor::fromHsv((seed * 13 + k * 29) % 360, 180, 200, 160));
        p.setPen(Qt::NoPen);
        p.drawEllipse(QPoint((seed * 97 + k * 211) % w, (seed * 53 + k * 131) % h), 40 + k * 3,
                      30 + k * 2);
    }
    p.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format, 85);
    return bytes;
}

double cpuSeconds() {
    struct rusage ru {};
    ::getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double residentMiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setOrganizationName("korvane-bench");
    QApplication::setApplicationName("korvane-thumb-bench");
    const QStringList args = QApplication::arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: korvane-thumb-bench WORKDIR [--count N]\n");
        return 2;
    }
    const std::filesystem::path work = args[1].toStdString();
    int count = 2000;
    if (int i = static_cast<int>(args.indexOf("--count")); i > 0 && i + 1 < args.size())
        count = args[i + 1].toInt();
    std::filesystem::create_directories(work);
    IconProvider::chooseIconTheme();

    // The pictures: 1152 x 864 (about a megapixel), 16 of each format,
    // used over and over under different names.
    constexpr int kDistinct = 16;
    std::vector<QByteArray> jpegs, pngs;
    for (int s = 0; s < kDistinct; ++s) {
        jpegs.push_back(makePicture(1152, 864, s, "JPEG"));
        pngs.push_back(makePicture(1152, 864, s + kDistinct, "PNG"));
    }
    korvane::test::Yaffs2Builder b;
    b.root();
    b.dir(300, 1, "DCIM");
    uint64_t bytes = 0;
    for (int i = 0; i < count; ++i) {
        const bool jpeg = i % 2 == 0;
        const QByteArray& pic = (jpeg ? jpegs : pngs)[static_cast<size_t>(i / 2 % kDistinct)];
        char name[32];
        std::snprintf(name, sizeof name, "IMG_%05d.%s", i, jpeg ? "jpg" : "png");
        b.file(static_cast<uint32_t>(400 + i), 300, name,
               ByteSpan(reinterpret_cast<const std::byte*>(pic.data()),
                        static_cast<size_t>(pic.size())));
        bytes += static_cast<uint64_t>(pic.size());
    }
    const std::string image = (work / "pictures.yaffs2").string();
    b.save(image);
    std::printf("%d pictures of 1152 x 864 (JPEG %lld KiB, PNG %lld KiB each), %llu MiB in all\n",
                count, static_cast<long long>(jpegs[0].size() >> 10),
                static_cast<long long>(pngs[0].size() >> 10),
                static_cast<unsigned long long>(bytes >> 20));
    b = korvane::test::Yaffs2Builder();

    MainWindow w;
    w.resize(1024, 700);
    w.show();
    QEventLoop opened;
    QObject::connect(&w, &MainWindow::jobFinished, &opened, &QEventLoop::quit);
    w.openImage(QString::fromStdString(image));
    opened.exec();
    w.goToPath("/DCIM");
    settle(300);
    const double before = residentMiB();

    // The same probe with the window idle: what the machine's other work
    // alone costs the event loop.
    StallProbe probe;
    settle(3000);
    const double idleStall = probe.worstMs();
    QElapsedTimer t;
    double first = 0;
    int made = 0;
    QEventLoop done;
    QObject::connect(w.thumbnailer(), &Thumbnailer::thumbnailReady, &done, [&] {
        if (++made == 1)
            first = static_cast<double>(t.nsecsElapsed()) / 1e9;
    });
    QObject::connect(w.thumbnailer(), &Thumbnailer::jobDone, &done, &QEventLoop::quit);
    probe.reset();
    const double cpu0 = cpuSeconds();
    t.start();
    w.showThumbnailView();
    done.exec();
    const double all = static_cast<double>(t.nsecsElapsed()) / 1e9;
    const double cpu = cpuSeconds() - cpu0;
    const double stall = probe.worstMs();
    settle(200);
    const double after = residentMiB();
    std::printf("thumbnails: first after %.3f s; %d in %.2f s (%.0f a second; %.1f ms of "
                "processor time each); longest stall %.1f ms; memory %.1f MiB above the "
                "listing's (%d kept)\n",
                first, made, all, made / all, cpu * 1e3 / made, stall, after - before,
                w.listModel()->thumbnailCount());
    double load[3] = {};
    if (::getloadavg(load, 3) > 0)
        std::printf("the machine meanwhile: load average %.2f; longest stall of the idle window "
                    "%.1f ms\n",
                    load[0], idleStall);
    std::filesystem::remove(image);
    return 0;
}
