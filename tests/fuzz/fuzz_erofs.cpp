// EROFS: the superblock, the directory walk, inodes and attributes, and every
// object's contents through its block map or cluster index and the
// decompressors.
#include "fuzz_support.h"

int korvaneFuzzOne(const uint8_t* data, size_t size) {
    return korvane::fuzz::fuzzImage("erofs", data, size);
}
