// Checksums of a file's contents for the properties dialog: SHA-256 and
// MD5 in one pass over the contents, read in ranges.
#pragma once

#include "contentreader.h"

#include <QString>
#include <atomic>
#include <functional>
#include <optional>

namespace korvane::ui {

struct Checksums {
    QString sha256; // lower-case hex
    QString md5;
};

// Reads the contents from start to end; progress(bytesDone) after each
// piece. nullopt when cancel was set. Throws korvane::Error when the
// contents cannot be read.
std::optional<Checksums> computeChecksums(const ContentReader& reader,
                                          const std::atomic<bool>& cancel,
                                          const std::function<void(uint64_t)>& progress = {});

} // namespace korvane::ui
