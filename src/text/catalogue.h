// The catalogue's tables (see messagetext.h).
#pragma once

#include "messagetext.h"

#include <span>

namespace korvane::text {

// A system error (errno) and its Chinese text.
struct SystemErrorText {
    int err;
    const char* chinese;
};

std::span<const SystemErrorText> systemErrorTexts();

} // namespace korvane::text
