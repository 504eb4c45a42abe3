// The image formats Korvane reads, each with a bid on a file's bytes. Opening
// asks every reader and takes the highest bid, as archive readers bid on their
// input; equal bids fall back to the first-word rule (a zero first word means
// EXT, anything else YAFFS2). A container format (an Android sparse image)
// bids first and, when it wins, the readers bid again on the bytes it holds.
#pragma once

#include "loadimage.h"
#include "model/bytes.h"
#include "model/timg.h"
#include "source/image_data.h"

#include <memory>
#include <span>

namespace korvane {

struct ImageReader {
    const char* name;
    // 0 when the bytes are certainly not this format; higher is surer (at
    // most 100). Reads only what it needs.
    int (*bid)(ByteSpan data, const OpenOptions& opt);
    // A new, empty image object of this format.
    std::unique_ptr<Timg> (*make)(const OpenOptions& opt);
    // Reads its bytes through Timg::image(), so it can read an image held in
    // a container; the others need the file's bytes in memory as they stand.
    bool anySource = false;
};

std::span<const ImageReader> imageReaders();

// A format that holds an image in another form: opening it gives the bytes
// of the image it holds.
struct ImageWrapper {
    const char* name;
    int (*bid)(ByteSpan head);
    std::unique_ptr<ImageSource> (*open)(std::unique_ptr<ImageSource> file);
};

std::span<const ImageWrapper> imageWrappers();

struct ChosenFormat {
    const ImageReader* reader = nullptr; // nullptr when nothing can read the bytes
    std::unique_ptr<ImageSource> source; // the bytes the reader reads
};

// Unwraps containers, then picks the reader of what is left.
ChosenFormat chooseFormat(std::unique_ptr<ImageData> file, const OpenOptions& opt);

// The reader with the highest bid; when none bids, the one the first-word rule
// names (so that its refusal says what is wrong).
const ImageReader* chooseReader(ByteSpan data, const OpenOptions& opt);

} // namespace korvane
