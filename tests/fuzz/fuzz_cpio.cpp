// cpio archives, plain or compressed (gzip, LZ4 legacy and frame): the
// unpacking, libarchive's walk, the tree and the contents in place.
#include "fuzz_support.h"

int korvaneFuzzOne(const uint8_t* data, size_t size) {
    return korvane::fuzz::fuzzImage("cpio", data, size);
}
