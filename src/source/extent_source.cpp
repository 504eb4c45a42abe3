#include "extent_source.h"

#include "model/error.h"

#include <algorithm>
#include <cstring>

namespace korvane {

ExtentSource::ExtentSource(std::shared_ptr<const ImageSource> parent,
                           std::vector<SourceExtent> extents)
    : parent_(std::move(parent)) {
    const uint64_t parentSize = parent_->size();
    bool noted = false;
    for (const SourceExtent& x : extents) {
        if (x.length == 0)
            continue;
        if (x.length > UINT64_MAX - size_)
            throw Error(msg("the extents add up to more than 2^64 bytes"));
        if (!x.zero && !noted && (x.at > parentSize || x.length > parentSize - x.at)) {
            problems_.push_back(msg("an extent at byte %1 of %2 bytes runs past the end of its "
                                    "container (%3 bytes); what is missing reads as zeros",
                                    x.at, x.length, parentSize));
            noted = true;
        }
        pieces_.push_back({size_, x});
        size_ += x.length;
    }
}

const ExtentSource::Piece& ExtentSource::pieceAt(uint64_t offset) const {
    auto it = std::upper_bound(pieces_.begin(), pieces_.end(), offset,
                               [](uint64_t o, const Piece& p) { return o < p.begin; });
    return *(it - 1);
}

template <typename ReadFn>
void ExtentSource::readPieces(uint64_t offset, MutableByteSpan out, ReadFn&& readParent) const {
    size_t done = 0;
    while (done < out.size() && offset + done < size_) {
        const uint64_t at = offset + done;
        const Piece& p = pieceAt(at);
        const uint64_t into = at - p.begin;
        const size_t n =
            static_cast<size_t>(std::min<uint64_t>(out.size() - done, p.extent.length - into));
        MutableByteSpan part = out.subspan(done, n);
        if (p.extent.zero)
            std::memset(part.data(), 0, n);
        else
            readParent(p.extent.at + into, part);
        done += n;
    }
    if (done < out.size())
        std::memset(out.data() + done, 0, out.size() - done);
}

void ExtentSource::read(uint64_t offset, MutableByteSpan out) const {
    readPieces(offset, out, [this](uint64_t at, MutableByteSpan part) { parent_->read(at, part); });
}

void ExtentSource::readThrough(uint64_t offset, MutableByteSpan out) const {
    readPieces(offset, out,
               [this](uint64_t at, MutableByteSpan part) { parent_->readThrough(at, part); });
}

const std::byte* ExtentSource::contiguous(uint64_t offset, size_t n) const {
    if (offset >= size_ || n > size_ - offset)
        return nullptr;
    const Piece& p = pieceAt(offset);
    const uint64_t into = offset - p.begin;
    if (p.extent.zero || n > p.extent.length - into)
        return nullptr;
    return parent_->contiguous(p.extent.at + into, n);
}

std::optional<FileRange> ExtentSource::storedIn(uint64_t offset, uint64_t n) const {
    if (offset >= size_ || n > size_ - offset)
        return std::nullopt;
    const Piece& p = pieceAt(offset);
    const uint64_t into = offset - p.begin;
    if (p.extent.zero || n > p.extent.length - into)
        return std::nullopt;
    return parent_->storedIn(p.extent.at + into, n);
}

uint64_t ExtentSource::storedSize() const {
    uint64_t stored = 0;
    for (const Piece& p : pieces_)
        stored += p.extent.zero ? 0 : p.extent.length;
    return stored;
}

std::unique_ptr<ExtentSource> rangeSource(std::shared_ptr<const ImageSource> parent,
                                          uint64_t offset, uint64_t size) {
    return std::make_unique<ExtentSource>(std::move(parent),
                                          std::vector<SourceExtent>{{size, offset, false}});
}

} // namespace korvane
