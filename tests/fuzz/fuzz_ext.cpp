// EXT2/EXT3: the superblock and group checks, the directory walk and every
// object's contents through its block map.
#include "fuzz_support.h"

int korvaneFuzzOne(const uint8_t* data, size_t size) {
    return korvane::fuzz::fuzzImage("ext", data, size);
}
