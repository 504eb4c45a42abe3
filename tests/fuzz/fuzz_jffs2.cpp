// JFFS2: the node scan (byte order, checksums, erase block clues), the
// newest versions of names and data, attributes, and every object's
// contents decompressed node by node.
#include "fuzz_support.h"

int korvaneFuzzOne(const uint8_t* data, size_t size) {
    return korvane::fuzz::fuzzImage("jffs2", data, size);
}
