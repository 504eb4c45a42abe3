// Bytes made of stretches of another source: a partition of a super image
// (its linear and zero extents, in order), a volume, a kernel inside a boot
// image. Reads past what the parent holds give zeros, and the first such
// stretch is noted as a problem, so a member that claims more than its
// container has still opens.
#pragma once

#include "model/image_source.h"

#include <memory>
#include <vector>

namespace korvane {

struct SourceExtent {
    uint64_t length = 0;
    uint64_t at = 0;   // offset in the parent
    bool zero = false; // reads as zeros, takes nothing of the parent
};

class ExtentSource : public ImageSource {
public:
    ExtentSource(std::shared_ptr<const ImageSource> parent, std::vector<SourceExtent> extents);

    uint64_t size() const override { return size_; }
    void read(uint64_t offset, MutableByteSpan out) const override;
    void readThrough(uint64_t offset, MutableByteSpan out) const override;
    const std::byte* contiguous(uint64_t offset, size_t n) const override;
    std::optional<FileRange> storedIn(uint64_t offset, uint64_t n) const override;
    void releaseResident() const override { parent_->releaseResident(); }
    uint64_t storedSize() const override;

    const ImageSource& parent() const { return *parent_; }

private:
    struct Piece {
        uint64_t begin; // offset in this source
        SourceExtent extent;
    };
    // The piece holding offset (offset < size()).
    const Piece& pieceAt(uint64_t offset) const;
    template <typename ReadFn>
    void readPieces(uint64_t offset, MutableByteSpan out, ReadFn&& readParent) const;

    std::shared_ptr<const ImageSource> parent_;
    std::vector<Piece> pieces_;
    uint64_t size_ = 0;
};

// The bytes [offset, offset + size) of parent.
std::unique_ptr<ExtentSource> rangeSource(std::shared_ptr<const ImageSource> parent,
                                          uint64_t offset, uint64_t size);

} // namespace korvane
