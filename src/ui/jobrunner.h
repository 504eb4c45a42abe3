// Runs one long core job at a time on a worker thread and brings its work
// events, its questions and its end back to the main thread.
#pragma once

#include "model/work.h"

#include <QObject>
#include <QString>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace korvane::ui {

class JobRunner : public QObject {
    Q_OBJECT
public:
    explicit JobRunner(QObject* parent = nullptr);
    ~JobRunner() override;

    // The sink jobs report through. Each event is forwarded, in order, as a
    // workEvent signal on the thread this object lives in, its message in the
    // app's language.
    WorkSink* sink() { return &sink_; }

    // True from start() until the job's done callback is called.
    bool busy() const { return busy_; }

    // Runs work on a new worker thread. When it has returned or thrown, done
    // runs on this object's thread with the exception (or null), after every
    // work event the job sent. One job at a time: refuses (returns false)
    // while busy.
    bool start(std::function<void()> work, std::function<void(std::exception_ptr)> done);

    // For the worker: runs fn on this object's thread and waits until it has
    // returned. Returns false, without running fn, once the runner is being
    // destroyed.
    bool callOnMainThread(const std::function<void()>& fn);

signals:
    void workEvent(qint64 pos, qint64 max, int kind, const QString& message, int flag);
    // After the done callback of a job.
    void finished();

private:
    class QueuedSink : public WorkSink {
    public:
        explicit QueuedSink(JobRunner* owner) : owner_(owner) {}
        void report(int64_t pos, int64_t max, int kind, const Message& message,
                    uint8_t flag) override;

    private:
        JobRunner* owner_;
    };

    QueuedSink sink_{this};
    bool busy_ = false;
    std::thread worker_;
    std::mutex mutex_;
    std::condition_variable answered_;
    bool shuttingDown_ = false;
};

} // namespace korvane::ui
