#include "jobrunner.h"

#include "language.h"

#include <QMetaObject>

namespace korvane::ui {

void JobRunner::QueuedSink::report(int64_t pos, int64_t max, int kind, const Message& message,
                                   uint8_t flag) {
    JobRunner* owner = owner_;
    // Put into words on the main thread, where the language is set.
    QMetaObject::invokeMethod(
        owner,
        [owner, pos, max, kind, message, flag] {
            emit owner->workEvent(pos, max, kind, coreText(message), static_cast<int>(flag));
        },
        Qt::QueuedConnection);
}

JobRunner::JobRunner(QObject* parent) : QObject(parent) {}

JobRunner::~JobRunner() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shuttingDown_ = true;
    }
    answered_.notify_all();
    // Events the worker posts from here on are dropped with this object.
    if (worker_.joinable())
        worker_.join();
}

bool JobRunner::start(std::function<void()> work, std::function<void(std::exception_ptr)> done) {
    if (busy_)
        return false;
    busy_ = true;
    if (worker_.joinable())
        worker_.join();
    worker_ = std::thread([this, work = std::move(work), done = std::move(done)]() mutable {
        std::exception_ptr error;
        try {
            work();
        } catch (...) {
            error = std::current_exception();
        }
        // Posted after the job's last event, so it is handled after it.
        QMetaObject::invokeMethod(
            this,
            [this, done = std::move(done), error] {
                if (worker_.joinable())
                    worker_.join();
                busy_ = false;
                done(error);
                emit finished();
            },
            Qt::QueuedConnection);
    });
    return true;
}

bool JobRunner::callOnMainThread(const std::function<void()>& fn) {
    struct Call {
        bool done = false;
    };
    auto call = std::make_shared<Call>();
    QMetaObject::invokeMethod(
        this,
        [this, call, &fn] {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (shuttingDown_)
                    return;
            }
            fn();
            {
                std::lock_guard<std::mutex> lock(mutex_);
                call->done = true;
            }
            answered_.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> lock(mutex_);
    answered_.wait(lock, [&] { return call->done || shuttingDown_; });
    return call->done;
}

} // namespace korvane::ui
