#include "blockmap.h"

#include <algorithm>
#include <cstring>

namespace korvane::ext2 {

void BlockDevice::read(uint64_t b, uint64_t within, MutableByteSpan out) const {
    size_t done = 0;
    while (done < out.size()) {
        const uint64_t at = within + done;
        const uint64_t block = b + at / blockSize_;
        // Blocks inside the filesystem are copied in one piece up to its end.
        uint64_t n = out.size() - done;
        if (block != 0 && block < blocksCount_) {
            n = std::min(n, (blocksCount_ - block) * blockSize_ - at % blockSize_);
            src_->read(block * blockSize_ + at % blockSize_, out.subspan(done, n));
        } else {
            n = std::min<uint64_t>(n, blockSize_ - at % blockSize_);
            std::memset(out.data() + done, 0, n);
        }
        done += n;
    }
}

BlockRun runInArray(const std::byte* words, size_t i, size_t n) {
    const uint32_t first = load32(words + 4 * i);
    size_t k = i + 1;
    if (first == 0) {
        while (k < n && load32(words + 4 * k) == 0)
            ++k;
    } else {
        while (k < n && load32(words + 4 * k) == first + (k - i))
            ++k;
    }
    return {first, k - i};
}

BlockRun IndirectMapper::lookup(uint64_t logical) const {
    if (logical < kDirectBlocks) {
        std::byte direct[4 * kDirectBlocks];
        for (size_t i = 0; i < kDirectBlocks; ++i)
            store32(direct + 4 * i, map_[i]);
        return runInArray(direct, logical, kDirectBlocks);
    }
    logical -= kDirectBlocks;
    const uint64_t per = dev_.blockSize() / 4;
    uint64_t span = per;
    size_t level = 1;
    while (level <= 3 && logical >= span) {
        logical -= span;
        span *= per;
        ++level;
    }
    if (level > 3)
        return {0, kEndlessHole};
    if (scratch_.empty())
        scratch_.resize(dev_.blockSize());
    // span: the blocks below the pointer being followed; logical: the
    // position within them.
    uint64_t b = map_[kIndirectSlot + level - 1];
    for (size_t l = level; l >= 1; --l) {
        const ByteSpan p = dev_.block(b, scratch_.data());
        if (p.empty())
            return {0, span - logical};
        span /= per;
        const size_t index = static_cast<size_t>(logical / span);
        if (l == 1)
            return runInArray(p.data(), index, static_cast<size_t>(per));
        b = load32(p.data() + 4 * index);
        logical %= span;
    }
    return {0, 1};
}

} // namespace korvane::ext2
