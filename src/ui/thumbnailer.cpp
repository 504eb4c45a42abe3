#include "thumbnailer.h"

#include "model/tree_order.h"

#include <QBuffer>
#include <QImageReader>
#include <QMetaObject>
#include <QPainter>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace korvane::ui {

namespace {

// The picture extensions, in the order decoders are tried after a failure.
constexpr std::string_view kPictureExtensions[] = {".jpg", ".jpeg", ".bmp", ".png", ".gif"};

// The workers' niceness above the window's thread.
constexpr int kWorkerNice = 5;

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
        // Reduced by averaging areas, which keeps fine detail from aliasing
        // (JPEG pictures come already reduced by the decoder).
        if (picture.width() > 2 * placed.width())
            picture =
                picture.scaled(placed.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
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

Thumbnailer::Thumbnailer(QObject* parent, int workers) : QObject(parent) {
    QImageReader::setAllocationLimit(kAllocationLimitMiB);
    if (workers <= 0)
        workers = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 2u));
    for (int i = 0; i < workers; ++i)
        workers_.emplace_back([this] { run(); });
}

Thumbnailer::~Thumbnailer() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
        job_.reset();
        ++epoch_;
    }
    wake_.notify_all();
    for (std::thread& t : workers_)
        t.join();
}

void Thumbnailer::start(uint32_t generation, std::vector<Item> items, Timg* img) {
    auto job = std::make_shared<Job>();
    job->generation = generation;
    job->items = std::move(items);
    job->img = img;
    {
        std::lock_guard lock(mutex_);
        job->epoch = ++epoch_;
        job_ = std::move(job);
    }
    wake_.notify_all();
}

void Thumbnailer::stop() {
    std::unique_lock lock(mutex_);
    ++epoch_;
    job_.reset();
    idle_.wait(lock, [this] { return busy_ == 0; });
}

void Thumbnailer::run() {
    // Below the window's thread, which must stay free to paint.
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), kWorkerNice);
    std::shared_ptr<Job> last;
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return quit_ || (job_ && job_ != last); });
        if (quit_)
            return;
        std::shared_ptr<Job> job = job_;
        last = job;
        ++busy_;
        ++job->workers;
        lock.unlock();
        work(*job);
        lock.lock();
        --busy_;
        // The last worker out of a job that went through all its items says so.
        if (--job->workers == 0 && !job->done && current(*job) &&
            job->next.load() >= job->items.size()) {
            job->done = true;
            const uint generation = job->generation;
            QMetaObject::invokeMethod(
                this, [this, generation] { emit jobDone(generation); }, Qt::QueuedConnection);
        }
        idle_.notify_all();
    }
}

void Thumbnailer::work(Job& job) {
    QByteArray bytes;
    for (size_t i = job.next++; i < job.items.size(); i = job.next++) {
        if (!current(job))
            return;
        const Item& item = job.items[i];
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
}

} // namespace korvane::ui
