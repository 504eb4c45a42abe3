// Android super images: the geometry and its backup, every slot's metadata
// copies and their checksums, partitions read through their extents.
#include "fuzz_support.h"

int korvaneFuzzOne(const uint8_t* data, size_t size) {
    return korvane::fuzz::fuzzImage("super", data, size);
}
