#include "jffs2_crc.h"

#include "model/crc.h"

namespace korvane::jffs2 {

// crc32() inverts the register on the way in and out; inverting around it
// gives the raw register JFFS2 keeps.
uint32_t jffs2Crc(ByteSpan data) {
    return ~crc32(~uint32_t{0}, data);
}

} // namespace korvane::jffs2
