#include "node_placer.h"

#include "model/error.h"
#include "node_header.h"

#include <algorithm>
#include <cstring>

namespace korvane::jffs2 {

namespace {

constexpr size_t kFlushBytes = 4u << 20;
constexpr std::byte kErased{0xFF};
// The cleanmarker is a bare node header.
constexpr uint32_t kCleanmarkerSize = hdr::kSize;
// Tries at compressing a shorter piece of a page to fit an erase block's end.
constexpr int kSplitTries = 4;

} // namespace

NodePlacer::NodePlacer(OutputFile& out, const Jffs2SaveParams& params)
    : out_(out), params_(params), e_(params.order), serial_(params.compr) {
    buffer_.reserve(kFlushBytes + (64u << 10));
}

void NodePlacer::flushIfFull() {
    if (buffer_.size() >= kFlushBytes) {
        out_.append(buffer_);
        buffer_.clear();
    }
}

void NodePlacer::fill(uint64_t n, std::byte value) {
    while (n > 0) {
        const size_t k = static_cast<size_t>(std::min<uint64_t>(n, kFlushBytes));
        buffer_.insert(buffer_.end(), k, value);
        pos_ += k;
        n -= k;
        flushIfFull();
    }
}

void NodePlacer::emit(ByteSpan node) {
    buffer_.insert(buffer_.end(), node.begin(), node.end());
    pos_ += node.size();
    fill(padded(pos_) - pos_, kErased);
    flushIfFull();
}

void NodePlacer::openBlock() {
    if (!params_.cleanmarkers || pos_ % params_.eraseBlock != 0)
        return;
    std::byte marker[kCleanmarkerSize];
    storeHeader(marker, kTypeCleanmarker, kCleanmarkerSize, e_);
    emit(ByteSpan(marker, sizeof marker));
}

void NodePlacer::closeBlock() {
    if (pos_ % params_.eraseBlock != 0)
        fill(room(), kErased);
}

void NodePlacer::reserve(uint64_t n) {
    openBlock();
    if (padded(n) > room()) {
        closeBlock();
        openBlock();
    }
}

uint32_t NodePlacer::nextVersion(uint32_t ino) {
    if (ino >= versions_.size())
        versions_.resize(static_cast<size_t>(ino) + 1, 0);
    return ++versions_[ino];
}

void NodePlacer::place(const WriteBatch& batch, WriteItem& it) {
    switch (it.kind) {
    case WriteItem::kDirent: {
        node_.resize(direntSize(it.dirent.name.size()));
        encodeDirent(it.dirent, node_.data(), e_);
        reserve(node_.size());
        emit(node_);
        break;
    }
    case WriteItem::kInode: {
        InodeNode n = it.inode;
        n.csize = n.dsize = static_cast<uint32_t>(it.data.size());
        node_.resize(inode::kSize + it.data.size());
        encodeInodeNode(n, it.data.data(), node_.data(), e_);
        if (!it.data.empty()) // an empty node's data may be null, which memcpy does not take
            std::memcpy(node_.data() + inode::kSize, it.data.data(), it.data.size());
        reserve(node_.size());
        emit(node_);
        break;
    }
    case WriteItem::kPage:
        page(it.inode, batch.page(it), it.compressed, it.packed);
        break;
    case WriteItem::kXattr: {
        node_.resize(padded(xattrNodeSize(it.datum)));
        encodeXattrNode(it.datum, node_.data(), e_);
        reserve(node_.size());
        emit(node_);
        break;
    }
    case WriteItem::kXref: {
        node_.resize(xref::kSize);
        encodeXref(it.xref, node_.data(), e_);
        reserve(node_.size());
        emit(node_);
        break;
    }
    }
}

void NodePlacer::dataNode(InodeNode meta, ByteSpan stored) {
    meta.version = nextVersion(meta.ino);
    meta.csize = static_cast<uint32_t>(stored.size());
    node_.resize(inode::kSize + stored.size());
    encodeInodeNode(meta, stored.data(), node_.data(), e_);
    if (!stored.empty())
        std::memcpy(node_.data() + inode::kSize, stored.data(), stored.size());
    emit(node_);
}

void NodePlacer::page(InodeNode meta, ByteSpan raw, bool compressed, Bytes& packed) {
    for (;;) {
        openBlock();
        if (room() < inode::kSize + kMinDataLen) {
            closeBlock();
            openBlock();
        }
        const ByteSpan stored = compressed ? ByteSpan(packed) : raw;
        meta.dsize = static_cast<uint32_t>(raw.size());
        meta.compr = compressed ? params_.compr : uint8_t{kComprNone};
        if (padded(inode::kSize + stored.size()) <= room()) {
            dataNode(meta, stored);
            return;
        }
        // The end of the block: as much of the page as fits, the rest in
        // the next block.
        const uint32_t took =
            splitPage(meta, raw, room() - inode::kSize, compressed ? packed.size() : 0);
        raw = raw.subspan(took);
        meta.offset += took;
        compressed = serial_.compress(raw, packed);
    }
}

uint32_t NodePlacer::splitPage(InodeNode& meta, ByteSpan raw, uint64_t space, size_t packedSize) {
    space &= ~uint64_t{3};
    const size_t plain = static_cast<size_t>(std::min<uint64_t>(space, raw.size()));
    if (packedSize > 0) {
        // A first guess from how well the whole page compressed, then
        // smaller pieces until one fits; each must hold more than the plain
        // bytes that fit.
        Bytes& trial = piece_;
        size_t take =
            std::min<size_t>(raw.size() - 1, static_cast<size_t>(space * raw.size() / packedSize));
        for (int k = 0; k < kSplitTries && take > plain; ++k) {
            if (serial_.compress(raw.first(take), trial) && trial.size() <= space) {
                meta.dsize = static_cast<uint32_t>(take);
                meta.compr = params_.compr;
                dataNode(meta, trial);
                return static_cast<uint32_t>(take);
            }
            take = take * 7 / 8;
        }
    }
    meta.dsize = static_cast<uint32_t>(plain);
    meta.compr = kComprNone;
    dataNode(meta, raw.first(plain));
    return static_cast<uint32_t>(plain);
}

void NodePlacer::finish(std::vector<Message>* warnings) {
    switch (params_.pad) {
    case Jffs2SaveParams::Pad::kNone:
        break;
    case Jffs2SaveParams::Pad::kBlock:
        closeBlock();
        break;
    case Jffs2SaveParams::Pad::kSize:
        if (pos_ > params_.padSize) {
            if (!params_.padIsSource)
                throw Error(msg("the image takes %1 bytes, more than the %2 given with --pad", pos_,
                                params_.padSize));
            if (warnings)
                warnings->push_back(msg("the new image takes %1 bytes, more than the source "
                                        "image's %2; it is not padded",
                                        pos_, params_.padSize));
            break;
        }
        // Erased blocks that follow carry their cleanmarker, as a formatted
        // partition's do.
        while (pos_ < params_.padSize) {
            if (pos_ % params_.eraseBlock == 0 && params_.padSize - pos_ >= kCleanmarkerSize)
                openBlock();
            fill(std::min(room(), params_.padSize - pos_), kErased);
        }
        break;
    }
    out_.append(buffer_);
    buffer_.clear();
}

} // namespace korvane::jffs2
