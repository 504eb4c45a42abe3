#include "contentpager.h"

#include <algorithm>
#include <cstring>

namespace korvane::ui {

ContentPager::ContentPager(ContentReader reader) : reader_(std::move(reader)) {}

const ContentPager::Page& ContentPager::page(uint64_t index) {
    for (auto it = pages_.begin(); it != pages_.end(); ++it)
        if (it->index == index) {
            pages_.splice(pages_.begin(), pages_, it);
            return pages_.front();
        }
    const uint64_t start = index * kPageSize;
    const auto want = static_cast<size_t>(std::min<uint64_t>(kPageSize, reader_.size - start));
    Page p{index, Bytes(want)};
    const size_t got = reader_.read(start, MutableByteSpan(p.bytes.data(), want));
    p.bytes.resize(got);
    bytesRead_ += got;
    if (pages_.size() >= kMaxPages)
        pages_.pop_back();
    pages_.push_front(std::move(p));
    return pages_.front();
}

size_t ContentPager::read(uint64_t offset, MutableByteSpan out) {
    size_t done = 0;
    while (done < out.size() && offset + done < reader_.size) {
        const uint64_t at = offset + done;
        const Page& p = page(at / kPageSize);
        const auto within = static_cast<size_t>(at % kPageSize);
        if (within >= p.bytes.size())
            break; // the contents ended early
        const size_t n = std::min(out.size() - done, p.bytes.size() - within);
        std::memcpy(out.data() + done, p.bytes.data() + within, n);
        done += n;
    }
    return done;
}

size_t ContentPager::bytesHeld() const {
    size_t held = 0;
    for (const Page& p : pages_)
        held += p.bytes.capacity();
    return held;
}

} // namespace korvane::ui
