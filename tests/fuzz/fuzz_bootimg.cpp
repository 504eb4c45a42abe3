// Boot images of every version and vendor_boot images: the header, the
// sections, the vendor ramdisk table, the AVB footer.
#include "fuzz_support.h"

int korvaneFuzzOne(const uint8_t* data, size_t size) {
    return korvane::fuzz::fuzzImage("bootimg", data, size);
}
