// Thumbnails of the pictures of a listing, made by a worker thread of their
// own while the window stays usable. The worker reads each picture's bytes
// through the image (Timg::ReadRange, at most kMaxPictureBytes), decodes them
// with Qt's image readers and hands (generation, object id, thumbnail) to the
// main thread, which keeps them (DirListModel) or drops them when the listing
// has moved on. Only the main thread touches the store and picIndex.
#pragma once

#include "model/timg.h"

#include <QByteArray>
#include <QImage>
#include <QObject>
#include <QRect>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace korvane::ui {

// Thumbnails are white squares of this size.
constexpr int kThumbnailSize = 97;
// Pictures larger than this get no thumbnail: the bytes are never read.
constexpr uint64_t kMaxPictureBytes = 64ull << 20;
// Nor do pictures that claim more pixels than this (a 60,000 x 60,000 PNG).
constexpr int64_t kMaxPicturePixels = 50'000'000;

// The rectangle a w x h picture takes in the square, keeping its aspect
// ratio: a landscape picture spans the width, centred from top to bottom,
// anything else spans the height (200 x 100 gives (0,24)-(97,73)). Margins
// are rounded to the nearest integer, halves to the even one.
QRect fitrect(int w, int h);

// Whether a file called name is a picture: its extension (from the last
// ".", blanks around it removed) is .jpg, .jpeg, .bmp, .png or .gif in any
// case.
bool isPictureName(std::string_view name);

// The Qt image formats tried, in order, for a picture named with extension
// ext: its own decoder first, then the others in the order .jpg, .jpeg,
// .bmp, .png, .gif, each decoder once.
std::vector<QByteArray> decoderOrder(std::string_view ext);

// The thumbnail of a picture's bytes: the first decoder of decoderOrder(ext)
// that reads them, drawn by fitrect onto a white square. Null when none can,
// or the picture is empty or claims too many pixels.
QImage makeThumbnail(const QByteArray& bytes, std::string_view ext);

class Thumbnailer : public QObject {
    Q_OBJECT
public:
    struct Item {
        uint32_t id = 0;
        std::string name;
        TImgEntry entry; // a copy: the workers never read the tree
    };

    // workers: threads that decode at once (0: one per processor, at most
    // two; the window's thread needs the rest).
    explicit Thumbnailer(QObject* parent = nullptr, int workers = 0);
    ~Thumbnailer() override;

    // Makes the thumbnails of the pictures among items, in about their order,
    // for the listing's generation, reading from img. A job already running
    // stops after at most the picture each worker is making.
    void start(uint32_t generation, std::vector<Item> items, Timg* img);
    // Ends the job and waits until no worker uses the image any more.
    void stop();

signals:
    // On the thread this object lives in.
    void thumbnailReady(uint generation, uint id, const QImage& image);
    // A job has gone through all its items (not sent for a stopped one).
    void jobDone(uint generation);

private:
    struct Job {
        uint64_t epoch = 0;
        uint32_t generation = 0;
        std::vector<Item> items;
        Timg* img = nullptr;
        std::atomic<size_t> next{0}; // the item the next free worker takes
        int workers = 0;             // workers on it (under the mutex)
        bool done = false;           // jobDone sent (under the mutex)
    };

    void run();
    void work(Job& job);
    bool current(const Job& job) const { return epoch_.load() == job.epoch; }

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::shared_ptr<Job> job_;
    int busy_ = 0;
    bool quit_ = false;
    // Moves on with every start and stop; a job whose epoch is behind stops.
    std::atomic<uint64_t> epoch_{0};
};

} // namespace korvane::ui
