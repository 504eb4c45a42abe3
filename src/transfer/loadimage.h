// Opening images: the probes of the format registry decide what the bytes
// are; byte layers are unwrapped and probed again, and the container or
// filesystem that bids highest reads them.
#pragma once

#include "fs/open_options.h"
#include "fs/registry.h"
#include "model/timg.h"

#include <memory>
#include <string>
#include <vector>

namespace korvane {

// How deep byte layers may wrap one another (a sparse image of a sparse
// image...) before opening gives up.
constexpr size_t kMaxLayers = 8;

// Reads bytes as the image they hold, reporting through sink: layers are
// unwrapped, then the best container or filesystem (or the one opt.format
// names) makes the image object, which is given the bytes and opened.
// Throws Error with a message for the user when nothing can read the bytes or
// the chosen reader refuses them.
std::unique_ptr<Timg> openBytes(std::shared_ptr<const ImageSource> bytes, WorkSink* sink,
                                const OpenOptions& opt = {});

// Maps the file and opens it (openBytes); errors name the file.
std::unique_ptr<Timg> loadimage(const std::string& path, WorkSink* sink = nullptr,
                                const OpenOptions& opt = {});

// A new empty image (YAFFS2, 2048+64) holding only a root directory (mode
// 040755, owner 0, times now).
std::unique_ptr<Timg> newimage(WorkSink* sink = nullptr);

// What opening would see in bytes, for `info`: the layers it would unwrap and,
// for the bytes inside them, every probe's answer, best first.
struct Identification {
    std::vector<std::string> layers; // outermost first
    std::vector<ProbeResult> probes;
};
Identification identify(std::shared_ptr<const ImageSource> bytes, const OpenOptions& opt = {});

} // namespace korvane
