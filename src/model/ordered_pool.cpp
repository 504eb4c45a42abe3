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
        bool wake = false;
        {
            std::lock_guard lock(mutex_);
            slot->error = error;
            slot->done = true;
            wake = awaited_ == slot.get();
        }
        // Only the unit the committer sleeps on wakes it: a wake per unit
        // would cost a switch of threads per file.
        if (wake)
            unitDone_.notify_one();
    }
}

void OrderedPool::awaitDone(size_t upTo) {
    std::unique_lock lock(mutex_);
    while (!order_.empty()) {
        const Slot* head = order_.front().get();
        const Slot* last = order_[std::min(upTo, order_.size() - 1)].get();
        const Slot* target = !head->done ? head : !last->done ? last : nullptr;
        if (!target)
            break;
        awaited_ = target;
        unitDone_.wait(lock);
    }
    awaited_ = nullptr;
}

void OrderedPool::commitReady() {
    while (true) {
        std::shared_ptr<Slot> head;
        {
            std::lock_guard lock(mutex_);
            if (order_.empty() || !order_.front()->done)
                return;
            head = order_.front();
            order_.pop_front();
        }
        if (head->error)
            std::rethrow_exception(head->error);
        if (head->unit.commit)
            head->unit.commit();
    }
}

size_t OrderedPool::queued() {
    std::lock_guard lock(mutex_);
    return order_.size();
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
    commitReady();
    // A full backlog is drained to half before more is queued, so that the
    // committer sleeps once per half a backlog rather than once per unit.
    for (size_t n = queued(); n > backlog_; n = queued()) {
        awaitDone(n - 1 - backlog_ / 2);
        commitReady();
    }
}

void OrderedPool::finish() {
    for (size_t n = queued(); n > 0; n = queued()) {
        awaitDone(n - 1);
        commitReady();
    }
}

} // namespace korvane
