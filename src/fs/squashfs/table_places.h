// Whether the tables a SquashFS superblock names lie where it says, read
// from the bytes at those places alone: no table is loaded or unpacked. It
// tells a layout of the bytes that holds the image (a NAND dump's pages in
// the right geometry) from one that does not, at the cost of a few small
// reads.
#pragma once

#include "model/image_source.h"

namespace korvane::squashfs {

// The places checked that hold what the superblock at the start of src
// says, or 0 when any does not (or there is no SquashFS 4.0 superblock):
// - the index of each table (ids, fragments, export, attribute ids) lists
//   metadata blocks that lie end to end and end right below the index;
// - the inode table is a chain of metadata blocks that reaches the folder
//   table, and the folder table one that reaches the next table.
// Chains and indexes are followed for at most a few hundred blocks.
unsigned tablesInPlace(const ImageSource& src);

} // namespace korvane::squashfs
