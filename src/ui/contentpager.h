// The pages of a file's contents a view has on screen: fixed-size pages read
// through the ContentReader on first use, the least recently used dropped
// beyond a small budget, so that scrolling a file of any size reads only
// what is shown and memory stays bounded.
#pragma once

#include "contentreader.h"

#include <cstdint>
#include <list>

namespace korvane::ui {

class ContentPager {
public:
    static constexpr size_t kPageSize = 64u << 10;
    static constexpr size_t kMaxPages = 8;

    explicit ContentPager(ContentReader reader = {});

    uint64_t size() const { return reader_.size; }
    // Copies the bytes at offset into out; returns how many (fewer only at
    // the end). Throws korvane::Error when they cannot be read.
    size_t read(uint64_t offset, MutableByteSpan out);
    // The bytes of the pages held now, and read from the source so far.
    size_t bytesHeld() const;
    uint64_t bytesRead() const { return bytesRead_; }
    const ContentReader& reader() const { return reader_; }

private:
    struct Page {
        uint64_t index;
        Bytes bytes;
    };
    const Page& page(uint64_t index);

    ContentReader reader_;
    std::list<Page> pages_; // most recently used first
    uint64_t bytesRead_ = 0;
};

} // namespace korvane::ui
