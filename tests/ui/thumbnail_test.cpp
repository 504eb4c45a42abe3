#include "thumbnail_test.h"

#include "dirlistmodel.h"
#include "model/crc.h"
#include "support/yaffs2_builder.h"
#include "thumbnailer.h"
#include "ui_fixture.h"

#include <QBuffer>
#include <QImage>
#include <QListView>
#include <QTest>

namespace korvane::ui::test {

using korvane::test::TempDir;
using korvane::test::Yaffs2Builder;

namespace {

// A w x h picture, red, in the given format.
QByteArray picture(int w, int h, const char* format) {
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(Qt::red);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

// A 1 x 1 GIF (Qt writes none).
QByteArray gif() {
    static const unsigned char bytes[] = {'G', 'I', 'F',  '8', '9', 'a',  1,    0, 1,    0,    0x80,
                                          0,   0,   0xff, 0,   0,   0,    0,    0, 0x21, 0xf9, 4,
                                          1,   0,   0,    0,   0,   0x2c, 0,    0, 0,    0,    1,
                                          0,   1,   0,    0,   2,   2,    0x44, 1, 0,    0x3b};
    return QByteArray(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

// The start of a PNG whose header claims w x h pixels.
QByteArray pngHeader(uint32_t w, uint32_t h) {
    QByteArray ihdr("IHDR");
    for (uint32_t v : {w, h})
        for (int shift = 24; shift >= 0; shift -= 8)
            ihdr += char(v >> shift);
    ihdr += QByteArray("\x08\x02\x00\x00\x00", 5);
    const uint32_t crc = crc32(0, ByteSpan(reinterpret_cast<const std::byte*>(ihdr.data()),
                                           static_cast<size_t>(ihdr.size())));
    QByteArray out("\x89PNG\r\n\x1a\n\x00\x00\x00\x0d", 12);
    out += ihdr;
    for (int shift = 24; shift >= 0; shift -= 8)
        out += char(crc >> shift);
    return out;
}

Bytes bytesOf(const QByteArray& a) {
    const auto* p = reinterpret_cast<const std::byte*>(a.data());
    return Bytes(p, p + a.size());
}

// Waits until the thumbnails of the listing are made.
bool settle(MainWindow& w, int expected) {
    return QTest::qWaitFor([&] { return w.listModel()->thumbnailCount() == expected; }, 20000) &&
           !QTest::qWaitFor([&] { return w.listModel()->thumbnailCount() > expected; }, 200);
}

} // namespace

void ThumbnailTest::thumbnailPlacement() {
    struct Case {
        int w, h;
        QRect placed;
    };
    for (const Case& c : {
             Case{200, 100, QRect(0, 24, 97, 49)}, // (0,24)-(97,73)
             Case{100, 200, QRect(24, 0, 49, 97)}, Case{50, 50, QRect(0, 0, 97, 97)},
             Case{97, 96, QRect(0, 0, 97, 97)},  // margin 0.5: to the even 0
             Case{97, 94, QRect(0, 2, 97, 93)},  // 1.5: to 2
             Case{1000, 1, QRect(0, 48, 97, 1)}, // 48.45
         })
        QCOMPARE(fitrect(c.w, c.h), c.placed);
    // The picture lands there, on white.
    const QImage t = makeThumbnail(picture(200, 100, "PNG"), ".png");
    QCOMPARE(t.size(), QSize(97, 97));
    for (auto [y, red] : {std::pair{10, false}, {23, false}, {30, true}, {72, true}, {80, false}})
        QCOMPARE(t.pixelColor(48, y) == QColor(Qt::red), red);
}

void ThumbnailTest::thumbnailDecoderRetry() {
    using Order = std::vector<QByteArray>;
    QCOMPARE(decoderOrder(".png"), Order({"png", "jpeg", "bmp", "gif"}));
    QCOMPARE(decoderOrder(".JPG"), Order({"jpeg", "bmp", "png", "gif"}));
    QCOMPARE(decoderOrder(" .gif "), Order({"gif", "jpeg", "bmp", "png"}));
    for (const char* name : {"x.JPG", "a.jpeg", "b.Bmp", "c.png ", "d.GIF"})
        QVERIFY2(isPictureName(name), name);
    for (const char* name : {"jpg", "a.jpg.txt", "a.svg", ""})
        QVERIFY2(!isPictureName(name), name);
    // a.png holding JPEG data is shown; so are the other formats under any
    // of the names; text is nothing.
    struct Case {
        QByteArray bytes;
        const char* ext;
        bool shown;
    };
    for (const Case& c :
         {Case{picture(40, 30, "JPEG"), ".png", true}, Case{picture(40, 30, "BMP"), ".gif", true},
          Case{picture(40, 30, "PNG"), ".jpg", true}, Case{gif(), ".bmp", true},
          Case{QByteArray("just some text"), ".gif", false}, Case{QByteArray(), ".png", false}})
        QCOMPARE(!makeThumbnail(c.bytes, c.ext).isNull(), c.shown);
}

void ThumbnailTest::thumbnailOfDamagedOrHugePicture() {
    const QByteArray png = picture(300, 200, "PNG");
    const QByteArray jpeg = picture(300, 200, "JPEG");
    // Cut short, claiming 60,000 x 60,000 pixels, or torn in the middle:
    // no thumbnail, no crash.
    for (const QByteArray& bad : {png.left(40), pngHeader(60000, 60000),
                                  pngHeader(60000, 60000) + png.mid(33), pngHeader(0, 10)})
        QVERIFY(makeThumbnail(bad, ".png").isNull());
    // Torn data may give a partly drawn picture, as a viewer shows it.
    for (const QByteArray& torn :
         {jpeg.left(200), png.left(png.size() / 2) + QByteArray(64, '\xff')})
        (void)makeThumbnail(torn, ".png");
    // A JPEG that claims 60,000 x 60,000 pixels (its size in the SOF).
    QByteArray huge = jpeg;
    const qsizetype sof = huge.indexOf(QByteArray("\xff\xc0", 2));
    QVERIFY(sof > 0);
    for (int k : {5, 7}) {
        huge[sof + k] = char(60000 >> 8);
        huge[sof + k + 1] = char(60000 & 0xff);
    }
    QVERIFY(makeThumbnail(huge, ".jpg").isNull());
}

void ThumbnailTest::thumbnailViewShowsPictures() {
    TempDir dir;
    Yaffs2Builder b;
    b.root();
    b.file(300, 1, "a.png", bytesOf(picture(60, 40, "JPEG")));
    b.file(301, 1, "x.JPG", bytesOf(picture(50, 50, "JPEG")));
    b.file(302, 1, "b.gif", korvane::test::bytesOf("no picture here"));
    b.file(303, 1, "c.gif", bytesOf(gif()));
    b.file(304, 1, "notes.txt", bytesOf(picture(20, 20, "PNG")));
    b.dir(305, 1, "y.jpg");
    b.save(dir / "t.yaffs2");
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));
    w->showThumbnailView();
    QVERIFY(settle(*w, 3));
    const DirListModel* m = w->listModel();
    auto thumb = [&](const char* name) {
        return m->data(m->index(rowOf(*w, name), 0), DirListModel::ThumbnailRole).value<QImage>();
    };
    for (const char* name : {"a.png", "x.JPG", "c.gif"})
        QVERIFY2(thumb(name).size() == QSize(97, 97), name);
    for (const char* name : {"b.gif", "notes.txt", "y.jpg"})
        QVERIFY2(thumb(name).isNull(), name);
    // The tree's record knows where its picture is; another view keeps the
    // list as it is, and the view comes back with the window.
    QVERIFY(w->image()->nodeFor(301)->entry.picIndex >= 0);
    QCOMPARE(w->image()->nodeFor(302)->entry.picIndex, -1);
    QVERIFY(w->iconView()->grab().width() > 0);
    w->close();
    Window again = makeWindow(false);
    QCOMPARE(again->view(), MainWindow::View::kThumbnails);
}

void ThumbnailTest::thumbnailOfOutdatedListingDropped() {
    TempDir dir;
    Yaffs2Builder b;
    b.root();
    b.dir(300, 1, "pictures");
    const Bytes jpeg = bytesOf(picture(400, 300, "JPEG"));
    for (uint32_t i = 0; i < 40; ++i)
        b.file(400 + i, 300, "p" + std::to_string(i) + ".jpg", jpeg);
    b.dir(301, 1, "two");
    b.file(500, 301, "one.jpg", jpeg);
    b.file(501, 301, "two.jpg", jpeg);
    b.save(dir / "t.yaffs2");
    Window w = makeWindow();
    QVERIFY(openAndWait(*w, qs(dir / "t.yaffs2")));
    w->showThumbnailView();
    // Listing another folder while the first one's pictures are made: none
    // of them reaches the new listing.
    w->goToPath("/pictures");
    w->goToPath("/two");
    QVERIFY(settle(*w, 2));
    for (uint32_t i = 0; i < 40; ++i)
        QCOMPARE(w->image()->nodeFor(400 + i)->entry.picIndex, -1);
    // Results of an old generation are refused, whatever their id.
    DirListModel* m = w->listModel();
    QImage any(97, 97, QImage::Format_RGB888);
    QVERIFY(!m->addThumbnail(m->generation() - 1, 500, any, w->image()));
    m->bumpGeneration();
    QVERIFY(!m->addThumbnail(m->generation() - 1, 500, any, w->image()));
    QCOMPARE(m->thumbnailCount(), 2);
}

} // namespace korvane::ui::test
