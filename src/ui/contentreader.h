// How the app's views read an object's contents: in ranges, into the
// caller's buffer, never the whole file at once.
#pragma once

#include "model/bytes.h"

#include <cstdint>
#include <functional>

namespace korvane::ui {

struct ContentReader {
    uint64_t size = 0;
    // Reads out.size() bytes at offset into out; fewer only where the
    // contents end. Holes read as zeros. Throws korvane::Error when the
    // contents cannot be read.
    std::function<size_t(uint64_t offset, MutableByteSpan out)> read;

    explicit operator bool() const { return static_cast<bool>(read); }
};

} // namespace korvane::ui
