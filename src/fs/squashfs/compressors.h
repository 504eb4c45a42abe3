// The compressors of SquashFS images: libsquashfs brings gzip, xz, lzma, lz4
// and zstd; LZO (which the library leaves out for its licence) is Korvane's
// own sqfs_compressor_t over liblzo2, so the library's readers and writers
// take it like the others.
#pragma once

#include "sqfs_handles.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvane::squashfs {

// "gzip", "lzma", "lzo", "xz", "lz4", "zstd"; "unknown" for other ids.
const char* compressorName(uint16_t id);
// The id of a name compressorName gives; nullopt for other names.
std::optional<uint16_t> compressorNamed(std::string_view name);

// A compressor as cfg says (with SQFS_COMP_FLAG_UNCOMPRESS: a
// decompressor). Throws Error naming the compressor and the library's
// reason.
CompressorHandle makeCompressor(const sqfs_compressor_config_t& cfg);

// The decompressor of an image: its compressor with the options the image
// stores after its superblock, when it stores any. Throws Error.
CompressorHandle openDecompressor(const sqfs_super_t& super, sqfs_file_t* file);

// The same decompressor, remembering the last few hundred metadata blocks it
// unpacked; its copies (sqfs_copy) share them. Thread-safe across copies.
CompressorHandle withMetadataCache(CompressorHandle decompressor);

// How the image's compressor is set up: its decompressor's configuration
// (without SQFS_COMP_FLAG_UNCOMPRESS), with what the image stores of zstd's
// level and lz4's high compression, which the library reads but drops.
sqfs_compressor_config_t imageCompressorSettings(const sqfs_super_t& super, sqfs_file_t* file,
                                                 const sqfs_compressor_t* decompressor);

// The settings of a new compressor of id for blocks of blockSize bytes at
// level (the compressor's own default when not given). Throws Error when the
// compressor takes no such level.
sqfs_compressor_config_t compressorConfig(uint16_t id, uint32_t blockSize,
                                          std::optional<uint32_t> level);

// How an image's compressor was set, for `info` ("level 9, window 15",
// "dictionary 131072, filters x86"); empty when there is nothing to say.
std::string compressorSettings(const sqfs_compressor_config_t& cfg, bool optionsStored);

// The LZO compressor (lzo_compressor.cpp), as sqfs_compressor_create makes
// the others: 0 and the object in out, or an SQFS_ERROR code.
int createLzoCompressor(const sqfs_compressor_config_t& cfg, sqfs_compressor_t** out);

} // namespace korvane::squashfs
