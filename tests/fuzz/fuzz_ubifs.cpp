// UBIFS: the superblock and master nodes, the journal's replay, the tree
// looked up through the index, and every file's blocks decompressed.
#include "fuzz_support.h"

int korvaneFuzzOne(const uint8_t* data, size_t size) {
    return korvane::fuzz::fuzzImage("ubifs", data, size);
}
