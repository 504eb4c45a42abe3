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

// The wording of each area's messages, one table a file (catalogue_*.cpp);
// catalogue() is all of them.
std::span<const CatalogueEntry> coreTexts();   // catalogue.cpp
std::span<const CatalogueEntry> formatTexts(); // catalogue_formats.cpp: the image stack
// catalogue_squashfs.cpp
std::span<const CatalogueEntry> squashfsTexts();

} // namespace korvane::text
