#include "ordered_pool.h"

#include <algorithm>

namespace korvane {

unsigned defaultWorkers() {
    return std::clamp(std::thread::hardware_concurrency(), 1u, 64u);
}

OrderedPool::OrderedPool(unsigned workers, size_t backlog)
    : workers_(std::max(1u, workers)), backlog_(std::max<size_t>(1, backlog)) {
    if (workers_ > 1)
        for (unsigned i = 0; i < workers_; ++i)
            threads_.emplace_back([this, i] { run(i); });
}

OrderedPool::~OrderedPool() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        pending_.clear();
    }
    workReady_.notify_all();
    for (std::thread& t : threads_)
        t.join();
}

void OrderedPool::run(unsigned worker) {
    while (true) {
        std::shared_ptr<Slot> slot;
        {
            std::unique_lock lock(mutex_);
            workReady_.wait(lock, [&] { return stop_ || !pending_.empty(); });
            if (stop_)
                return;
            slot = pending_.front();
            pending_.pop_front();
        }
        std::exception_ptr error;
        try {
            if (slot->unit.work)
                slot->unit.work(worker);
        } catch (...) {
            error = std::current_exception();
        }
        {
            std::lock_guard lock(mutex_);
            slot->error = error;
            slot->done = true;
        }
        unitDone_.notify_all();
    }
}

void OrderedPool::commitReady(bool wait) {
    while (true) {
        std::shared_ptr<Slot> head;
        {
            std::unique_lock lock(mutex_);
            if (order_.empty())
                return;
            if (wait)
                unitDone_.wait(lock, [&] { return order_.front()->done; });
            if (!order_.front()->done)
                return;
            head = order_.front();
            order_.pop_front();
        }
        wait = false;
        if (head->error)
            std::rethrow_exception(head->error);
        if (head->unit.commit)
            head->unit.commit();
    }
}

void OrderedPool::submit(Unit u) {
    if (threads_.empty()) {
        if (u.work)
            u.work(0);
        if (u.commit)
            u.commit();
        return;
    }
    auto slot = std::make_shared<Slot>();
    slot->unit = std::move(u);
    if (!slot->unit.work)
        slot->done = true;
    {
        std::lock_guard lock(mutex_);
        order_.push_back(slot);
        if (!slot->done)
            pending_.push_back(slot);
    }
    workReady_.notify_one();
    commitReady(false);
    while (true) {
        {
            std::lock_guard lock(mutex_);
            if (order_.size() <= backlog_)
                break;
        }
        commitReady(true);
    }
}

void OrderedPool::finish() {
    while (true) {
        {
            std::lock_guard lock(mutex_);
            if (order_.empty())
                return;
        }
        commitReady(true);
    }
}

} // namespace korvane
