#include "inode_table_out.h"

#include <algorithm>
#include <cstring>

namespace korvane::ext2 {

namespace {

// Large enough that few folders outlive the window their inode is in, and
// that the tables go out in large writes.
constexpr uint32_t kWindowBytes = 1u << 20;

} // namespace

InodeTableOut::InodeTableOut(const Geometry& geo, const Layout& layout, ImageOut& out,
                             uint32_t highest)
    : geo_(geo), layout_(layout), out_(out), isz_(geo.inodeSize), highest_(highest),
      capacity_(kWindowBytes / geo.inodeSize) {}

uint64_t InodeTableOut::slotOffset(uint32_t n) const {
    const uint32_t ipg = geo_.inodesPerGroup;
    return layout_.group((n - 1) / ipg).inodeTable * geo_.blockSize +
           uint64_t{(n - 1) % ipg} * isz_;
}

void InodeTableOut::advance() {
    if (end_ > first_)
        out_.writeAt(slotOffset(first_), ByteSpan(window_.data(), size_t{end_ - first_} * isz_));
    first_ = end_;
    const uint32_t ipg = geo_.inodesPerGroup;
    const uint64_t groupEnd = (uint64_t{first_ - 1} / ipg + 1) * ipg + 1;
    end_ = static_cast<uint32_t>(
        std::min({uint64_t{first_} + capacity_, groupEnd, uint64_t{highest_} + 1}));
    window_.assign(size_t{end_ - first_} * isz_, std::byte{0});
}

void InodeTableOut::put(uint32_t n, ByteSpan inode) {
    while (n >= end_ && first_ <= highest_)
        advance();
    if (n >= first_ && n < end_)
        std::memcpy(window_.data() + size_t{n - first_} * isz_, inode.data(), isz_);
    else
        out_.writeAt(slotOffset(n), inode.first(isz_));
}

void InodeTableOut::finish() {
    do
        advance();
    while (first_ <= highest_);
    const uint64_t tableBytes = uint64_t{geo_.inodeTableBlocks()} * geo_.blockSize;
    for (uint32_t g = 0; g < geo_.groupCount(); ++g)
        out_.zeroed(layout_.group(g).inodeTable * geo_.blockSize, tableBytes);
}

} // namespace korvane::ext2
