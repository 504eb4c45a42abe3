// YAFFS1: the page scan (tags and their ECC, deleted pages, bad blocks,
// serial numbers, the data ECC), the tree, and every object's contents.
#include "fuzz_support.h"

int korvaneFuzzOne(const uint8_t* data, size_t size) {
    return korvane::fuzz::fuzzImage("yaffs1", data, size);
}
