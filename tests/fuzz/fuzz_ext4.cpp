// ext4: extent trees, 64-bit descriptors, inline data, extended attributes in
// the inode and in attribute blocks, checksums and the journal's replay, read
// by the EXT reader from ext4 seeds (the ext harness keeps to EXT2 and EXT3).
#include "fuzz_support.h"

int korvaneFuzzOne(const uint8_t* data, size_t size) {
    return korvane::fuzz::fuzzImage("ext", data, size);
}
