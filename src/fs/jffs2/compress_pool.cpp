#include "compress_pool.h"

namespace korvane::jffs2 {

CompressPool::CompressPool(uint8_t compr, unsigned threads) : compr_(compr), own_(compr) {
    if (compr_ == kComprNone)
        threads = 0;
    for (unsigned k = 0; k < threads; ++k)
        threads_.emplace_back([this, k] { run(k); });
}

CompressPool::~CompressPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_)
        t.join();
}

void CompressPool::run(size_t) {
    Compressor c(compr_);
    uint64_t seen = 0;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_)
                return;
            seen = generation_;
            // Woken after the batch was finished: nothing is left of it.
            if (!batch_)
                continue;
            ++busy_;
        }
        drain(c);
        {
            std::lock_guard lock(mutex_);
            --busy_;
        }
        idle_.notify_all();
    }
}

void CompressPool::drain(Compressor& c) {
    if (!batch_)
        return;
    WriteBatch& b = *batch_;
    for (size_t k = next_.fetch_add(1); k < b.used; k = next_.fetch_add(1)) {
        WriteItem& it = b.items[k];
        if (it.kind == WriteItem::kPage)
            it.compressed = c.compress(b.page(it), it.packed);
    }
}

void CompressPool::start(WriteBatch& batch) {
    {
        std::lock_guard lock(mutex_);
        batch_ = &batch;
        next_.store(0);
        ++generation_;
    }
    wake_.notify_all();
}

void CompressPool::finish() {
    if (compr_ != kComprNone)
        drain(own_);
    std::unique_lock lock(mutex_);
    // A thread that has not woken up for this batch yet finds nothing left.
    idle_.wait(lock, [&] { return busy_ == 0; });
    batch_ = nullptr;
}

} // namespace korvane::jffs2
