// Work done on several cores and finished in order: each unit's work runs on
// a worker (with the worker's number, so each keeps its own compressor and
// scratch), its commit runs on the thread that submitted it, in the order of
// submission. At most `backlog` units wait at a time, so memory stays
// bounded. With one worker everything runs on the calling thread, and the
// result is the same as with many.
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace korvane {

class OrderedPool {
public:
    struct Unit {
        std::function<void(unsigned worker)> work; // may be empty
        std::function<void()> commit;
    };

    OrderedPool(unsigned workers, size_t backlog);
    ~OrderedPool();
    OrderedPool(const OrderedPool&) = delete;
    OrderedPool& operator=(const OrderedPool&) = delete;

    unsigned workers() const { return workers_; }
    // Queues u; commits the finished units at the head, waiting while the
    // backlog is full. A work's exception is thrown here, by its commit.
    void submit(Unit u);
    // Waits for every unit and commits them all.
    void finish();

private:
    struct Slot {
        Unit unit;
        bool done = false;
        std::exception_ptr error;
    };
    void run(unsigned worker);
    // Sleeps until the head unit and the one at index upTo (or the last) are
    // done.
    void awaitDone(size_t upTo);
    // Commits the finished units at the head.
    void commitReady();
    size_t queued();

    unsigned workers_;
    size_t backlog_;
    std::mutex mutex_;
    std::condition_variable workReady_;
    std::condition_variable unitDone_;
    std::deque<std::shared_ptr<Slot>> order_;   // every unit not committed yet
    std::deque<std::shared_ptr<Slot>> pending_; // units no worker took yet
    const Slot* awaited_ = nullptr;             // the unit the committer sleeps on
    bool stop_ = false;
    std::vector<std::thread> threads_;
};

// Workers for a job: one per core.
unsigned defaultWorkers();

} // namespace korvane
