#include "thumbnailer.h"

#include "model/tree_order.h"

#include <QBuffer>
#include <QImageReader>
#include <QMetaObject>
#include <QPainter>
#include <algorithm>
#include <cctype>
#include <cmath>

namespace korvane::ui {

namespace {

// The picture extensions, in the order decoders are tried after a failure.
constexpr std::string_view kPictureExtensions[] = {".jpg", ".jpeg", ".bmp", ".png", ".gif"};

// Decoding may allocate at most this much for one picture.
constexpr int kAllocationLimitMiB = 256;

std::string pictureExtension(std::string_view name) {
    std::string_view ext = extensionOf(name);
    while (!ext.empty() && ext.front() == ' ')
        ext.remove_prefix(1);
    while (!ext.empty() && ext.back() == ' ')
        ext.remove_suffix(1);
    std::string lower(ext);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

QByteArray formatOf(std::string_view ext) {
    if (ext == ".jpg" || ext == ".jpeg")
        return "jpeg";
    if (ext == ".bmp")
        return "bmp";
    if (ext == ".png")
        return "png";
    if (ext == ".gif")
        return "gif";
    return {};
}

// One decoder's try: the picture, decoded at the size it takes in the square
// where the format can do that (JPEG scales while it decodes).
QImage decode(const QByteArray& bytes, const QByteArray& format, QRect& placed) {
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, format);
    reader.setAutoDetectImageFormat(false);
    if (!reader.canRead())
        return {};
    const QSize size = reader.size();
    if (size.isValid() &&
        (size.isEmpty() || int64_t{size.width()} * size.height() > kMaxPicturePixels))
        return {};
    if (size.isValid()) {
        placed = fitrect(size.width(), size.height());
        if (reader.supportsOption(QImageIOHandler::ScaledSize) && format == "jpeg")
            reader.setScaledSize(placed.size());
    }
    QImage picture = reader.read();
    if (picture.isNull() || picture.width() <= 0 || picture.height() <= 0)
        return {};
    if (!size.isValid())
        placed = fitrect(picture.width(), picture.height());
    return picture;
}

} // namespace

QRect fitrect(int w, int h) {
    const double side = kThumbnailSize;
    if (h < w) {
        const int margin = static_cast<int>(std::nearbyint((side - h * side / w) / 2));
        return QRect(0, margin, kThumbnailSize, kThumbnailSize - 2 * margin);
    }
    const int margin = static_cast<int>(std::nearbyint((side - w * side / h) / 2));
    return QRect(margin, 0, kThumbnailSize - 2 * margin, kThumbnailSize);
}

bool isPictureName(std::string_view name) {
    const std::string ext = pictureExtension(name);
    return std::find(std::begin(kPictureExtensions), std::end(kPictureExtensions), ext) !=
           std::end(kPictureExtensions);
}

std::vector<QByteArray> decoderOrder(std::string_view ext) {
    std::vector<QByteArray> order;
    auto add = [&](std::string_view e) {
        QByteArray f = formatOf(e);
        if (!f.isEmpty() && std::find(order.begin(), order.end(), f) == order.end())
            order.push_back(f);
    };
    add(pictureExtension(ext));
    for (std::string_view e : kPictureExtensions)
        add(e);
    return order;
}

QImage makeThumbnail(const QByteArray& bytes, std::string_view ext) {
    if (bytes.isEmpty())
        return {};
    for (const QByteArray& format : decoderOrder(ext)) {
        QRect placed;
        QImage picture = decode(bytes, format, placed);
        if (picture.isNull())
            continue;
        QImage thumb(kThumbnailSize, kThumbnailSize, QImage::Format_RGB32);
        thumb.fill(Qt::white);
        QPainter p(&thumb);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.drawImage(placed, picture);
        p.end();
        // Three bytes a pixel: a listing of thousands of pictures keeps them all.
        return thumb.convertToFormat(QImage::Format_RGB888);
    }
    return {};
}

Thumbnailer::Thumbnailer(QObject* parent) : QObject(parent) {
    QImageReader::setAllocationLimit(kAllocationLimitMiB);
    worker_ = std::thread([this] { run(); });
}

Thumbnailer::~Thumbnailer() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
        pending_.reset();
        ++epoch_;
    }
    wake_.notify_all();
    worker_.join();
}

void Thumbnailer::start(uint32_t generation, std::vector<Item> items, Timg* img) {
    {
        std::lock_guard lock(mutex_);
        const uint64_t epoch = ++epoch_;
        pending_ = Job{epoch, generation, std::move(items), img};
    }
    wake_.notify_all();
}

void Thumbnailer::stop() {
    std::unique_lock lock(mutex_);
    ++epoch_;
    pending_.reset();
    idle_.wait(lock, [this] { return !busy_; });
}

void Thumbnailer::run() {
    for (;;) {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return quit_ || pending_; });
        if (quit_)
            return;
        Job job = std::move(*pending_);
        pending_.reset();
        busy_ = true;
        lock.unlock();
        work(job);
        lock.lock();
        busy_ = false;
        idle_.notify_all();
    }
}

void Thumbnailer::work(Job& job) {
    QByteArray bytes;
    for (const Item& item : job.items) {
        if (!current(job))
            return;
        if (item.entry.objType != kTypeFile || !isPictureName(item.name))
            continue;
        QImage thumb;
        try {
            const uint64_t size = job.img->contentSize(item.entry);
            if (size == 0 || size > kMaxPictureBytes)
                continue;
            bytes.resize(static_cast<qsizetype>(size));
            auto* data = reinterpret_cast<std::byte*>(bytes.data());
            const size_t got = job.img->ReadRange(item.entry, 0, MutableByteSpan(data, size));
            bytes.truncate(static_cast<qsizetype>(got));
            thumb = makeThumbnail(bytes, extensionOf(item.name));
        } catch (...) {
            // Unreadable contents: no thumbnail, the icon stays.
            continue;
        }
        if (thumb.isNull())
            continue;
        // An outdated job keeps nothing of what it finished last.
        if (!current(job))
            return;
        const uint generation = job.generation, id = item.id;
        QMetaObject::invokeMethod(
            this, [this, generation, id, thumb] { emit thumbnailReady(generation, id, thumb); },
            Qt::QueuedConnection);
    }
    if (current(job)) {
        const uint generation = job.generation;
        QMetaObject::invokeMethod(
            this, [this, generation] { emit jobDone(generation); }, Qt::QueuedConnection);
    }
}

} // namespace korvane::ui
