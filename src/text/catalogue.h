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
std::span<const CatalogueEntry> coreTexts();    // catalogue.cpp
std::span<const CatalogueEntry> formatTexts();  // catalogue_formats.cpp: the image stack
std::span<const CatalogueEntry> erofsTexts();   // catalogue_erofs.cpp
std::span<const CatalogueEntry> androidTexts(); // catalogue_android.cpp: super, boot images, cpio
std::span<const CatalogueEntry> ubiTexts();     // catalogue_ubi.cpp: UBI, UBIFS, NAND dumps
std::span<const CatalogueEntry> jffs2Texts();   // catalogue_jffs2.cpp
std::span<const CatalogueEntry> yaffs1Texts();  // catalogue_yaffs1.cpp
// catalogue_squashfs.cpp
std::span<const CatalogueEntry> squashfsTexts();

} // namespace korvane::text
