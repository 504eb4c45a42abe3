// libFuzzer's entry point: the format's korvaneFuzzOne.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return korvaneFuzzOne(data, size);
}
