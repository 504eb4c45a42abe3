// Choosing what an EXT image is to be: the kind's defaults, the geometry of
// the EXT image being saved ("like the source"), and the choices a user made
// (block and inode size, inode count, size, label, UUID, sparse output).
#pragma once

#include "ext_planner.h"
#include "model/timg.h"

#include <array>
#include <optional>
#include <string>

namespace korvane {

using ext2::ExtKind;

// Choices for an EXT image. A field left at zero (or empty) takes the kind's
// default or, with likeSource, the value of the EXT image being saved.
struct ExtSaveParams {
    uint32_t blockSize = 0;           // 1024, 2048 or 4096
    uint32_t inodeSize = 0;           // 128, 256, 512 or 1024 (at most the block size)
    uint64_t inodes = 0;              // at least this many inodes
    uint64_t size = 0;                // the image's size in bytes
    bool sizeFromTree = false;        // size the image to the tree, even when keeping the source's
    std::optional<std::string> label; // at most 16 bytes
    std::optional<std::array<uint8_t, 16>> uuid; // the filesystem's UUID
    bool likeSource = false; // keep the geometry of the image saved, when it is an EXT image
    bool sparse = false;     // write an Android sparse image
};

// What an EXT image's superblock says of its geometry, for saving like it.
struct ExtSource {
    ExtKind kind = ExtKind::kExt2;
    uint32_t blockSize = 0;
    uint32_t inodeSize = 0;
    uint64_t inodesCount = 0;
    uint64_t blocksCount = 0;
    uint64_t imageBytes = 0; // what the source image holds, which may be less
    std::string label;
    std::array<uint8_t, 16> uuid{};
    std::array<uint8_t, 16> hashSeed{};
    uint8_t hashVersion = 0;
    uint32_t hashFlags = 0;
    uint32_t compat = 0;
    uint32_t incompat = 0;
    uint32_t roCompat = 0;
};

// The geometry of img when it is an EXT image.
std::optional<ExtSource> extSourceOf(const Timg& img);

// "0123abcd-..." to 16 bytes; nullopt when text is no UUID.
std::optional<std::array<uint8_t, 16>> parseUuid(const std::string& text);
std::string uuidText(const std::array<uint8_t, 16>& uuid);

// What an image of kind with the choices p, saved from img, is to be. Throws
// Error for a choice no image can have (a block size of 3000, a label of 20
// bytes).
ext2::ExtFormat extFormatFor(ExtKind kind, const ExtSaveParams& p, const Timg& img);

// A random (version 4) UUID.
std::array<uint8_t, 16> randomUuid();

} // namespace korvane
