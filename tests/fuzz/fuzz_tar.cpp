// Archives for `pack SOURCE`: libarchive reads the bytes (tar, pax, cpio, ...
// in any compression) and the importer builds a tree of them in a new image,
// whose every object is then read back in ranges from the working file.
#include "fuzz_support.h"
#include "model/error.h"
#include "transfer/loadimage.h"
#include "transfer/tar_import.h"

int korvaneFuzzOne(const uint8_t* data, size_t size) {
    using namespace korvane;
    if (size > fuzz::kMaxInput)
        return 0;
    std::unique_ptr<Timg> img = newimage();
    try {
        tarin(*img, ByteSpan(reinterpret_cast<const std::byte*>(data), size), "fuzz.tar",
              img->root()->entry.objId);
    } catch (const Error&) {
        // A damaged archive: what came before the damage stays in the tree.
    }
    fuzz::readEverything(*img);
    return 0;
}
