// Threads that compress the pages of a write batch while the job's thread
// reads the next one. Each has its own compressor; every page is compressed
// the same way whichever thread takes it, so the image's bytes do not depend
// on the number of threads.
#pragma once

#include "compr.h"
#include "write_batch.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace korvane::jffs2 {

class CompressPool {
public:
    // threads: how many run besides the caller (0: the caller compresses
    // everything in finish()).
    CompressPool(uint8_t compr, unsigned threads);
    ~CompressPool();
    CompressPool(const CompressPool&) = delete;
    CompressPool& operator=(const CompressPool&) = delete;

    // The threads start on batch's pages; the batch must stay as it is until
    // finish() returns.
    void start(WriteBatch& batch);
    // The caller compresses pages too until none is left, then waits for the
    // threads' last ones.
    void finish();

private:
    void work(Compressor& c);
    void run(size_t index);
    // Takes pages of the current batch until none is left.
    void drain(Compressor& c);

    uint8_t compr_;
    Compressor own_;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    WriteBatch* batch_ = nullptr;
    uint64_t generation_ = 0;
    unsigned busy_ = 0;
    bool stopping_ = false;
    std::atomic<size_t> next_{0};
};

} // namespace korvane::jffs2
