// YAFFS2: the scan (layout guess, runs, headers, the tree) and every object's
// contents through the per-object chunk index.
#include "fuzz_support.h"

int korvaneFuzzOne(const uint8_t* data, size_t size) {
    return korvane::fuzz::fuzzImage("yaffs2", data, size);
}
