// UBI: the PEB scan, the choice among copies of a LEB, the volume table, and
// every volume's bytes read through its extents.
#include "fuzz_support.h"

int korvaneFuzzOne(const uint8_t* data, size_t size) {
    return korvane::fuzz::fuzzImage("ubi", data, size);
}
