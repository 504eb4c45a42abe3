// Checksums the image formats use: CRC32C (ext4 metadata_csum, JBD2 v3
// journals), CRC32 (Android sparse images, JBD2 v1 journals; in its raw form
// UBI headers and JFFS2 nodes) and CRC16 (ext4 gdt_csum group descriptors).
#pragma once

#include "bytes.h"

#include <cstdint>

namespace korvane {

// Castagnoli polynomial, reflected. Pass the previous result as seed to go on;
// the kernel's ext4_chksum is crc32c(seed, data) with no final inversion, so
// this takes and returns the raw register: start with ~0u for a plain CRC32C
// and invert the end result yourself when a format wants it.
uint32_t crc32c(uint32_t seed, ByteSpan data);

// IEEE 802.3 CRC32 as zlib computes it: crc32(0, data) is the usual checksum;
// pass a previous result to go on.
uint32_t crc32(uint32_t previous, ByteSpan data);

// The same polynomial without the inversions on entry and exit: the register
// is seeded with `seed` and returned as it stands. UBI seeds it with ~0u,
// JFFS2 with 0; crc32(p, d) == ~crc32Raw(~p, d).
uint32_t crc32Raw(uint32_t seed, ByteSpan data);

// CRC16 (polynomial 0x8005, reflected, as the kernel's crc16), seed given.
uint16_t crc16(uint16_t seed, ByteSpan data);

} // namespace korvane
