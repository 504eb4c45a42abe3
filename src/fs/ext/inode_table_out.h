// The inode tables of an EXT image being written, held a window of slots at
// a time, so that the writer's memory does not grow with its inodes. Inodes
// come complete (link count final, checksum set) and mostly in the order of
// their numbers: the tree writer numbers objects in tree order and writes
// each folder after its contents. The window's slots go out together, zeros
// where no inode came, once an inode past them arrives; an inode whose slot
// went out before it came is written alone in its place (its checksum covers
// its own bytes only, so nothing around it needs to be read back).
#pragma once

#include "ext_layout.h"
#include "model/bytes.h"
#include "source/sparse/sparse_writer.h"

#include <cstdint>

namespace korvane::ext2 {

class InodeTableOut {
public:
    // The slots of inodes 1 to highest are written, zeros where no inode is
    // put; the rest of every table is only declared zero.
    InodeTableOut(const Geometry& geo, const Layout& layout, ImageOut& out, uint32_t highest);

    // Inode n, of the geometry's inode size.
    void put(uint32_t n, ByteSpan inode);
    // Writes what is left.
    void finish();

private:
    uint64_t slotOffset(uint32_t n) const;
    // Writes the window's slots and moves it on to those that follow, within
    // one group's table.
    void advance();

    const Geometry& geo_;
    const Layout& layout_;
    ImageOut& out_;
    const uint32_t isz_;
    const uint32_t highest_;
    const uint32_t capacity_; // slots the window holds
    Bytes window_;
    uint32_t first_ = 1; // the window's first slot
    uint32_t end_ = 1;   // past its last
};

} // namespace korvane::ext2
