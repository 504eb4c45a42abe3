// SquashFS: the superblock and its checks, the compressor's options, the
// owner, fragment and attribute tables, the walk of the folder table and
// every file's contents through its block list and fragment.
#include "fuzz_support.h"

int korvaneFuzzOne(const uint8_t* data, size_t size) {
    return korvane::fuzz::fuzzImage("squashfs", data, size);
}
