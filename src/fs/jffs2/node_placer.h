// Lays nodes into erase blocks in the order they come, as mkfs.jffs2 does:
// a cleanmarker starts each block; a node that does not fit in what is left
// of a block goes to the next one, the rest filled with erased flash (FF);
// a data node is split instead where at least kMinDataLen of its data still
// fits. The output is buffered and appended to the file.
#pragma once

#include "compr.h"
#include "jffs2_writer.h"
#include "model/output_file.h"
#include "write_batch.h"

#include <cstdint>
#include <vector>

namespace korvane::jffs2 {

class NodePlacer {
public:
    NodePlacer(OutputFile& out, const Jffs2SaveParams& params);

    // Places one item of a batch (a page's compressed form is in the item).
    void place(const WriteBatch& batch, WriteItem& item);
    // Pads as the parameters say and writes out what is buffered. Throws
    // Error when the nodes take more than the size to pad to (unless that
    // is the source image's, which gives a warning instead).
    void finish(std::vector<Message>* warnings);

    uint64_t position() const { return pos_; }

private:
    // Bytes left in the current erase block.
    uint64_t room() const { return params_.eraseBlock - pos_ % params_.eraseBlock; }
    // A cleanmarker when a block starts here.
    void openBlock();
    // Erased flash to the end of the current block.
    void closeBlock();
    // Makes room for n bytes in the current block, or starts the next one.
    void reserve(uint64_t n);
    void emit(ByteSpan node);
    void fill(uint64_t n, std::byte value);
    void flushIfFull();
    void page(InodeNode meta, ByteSpan raw, bool compressed, Bytes& packed);
    // Writes a data node for raw's first bytes that fit in space bytes of
    // node data (raw compresses to packedSize bytes, 0 when it does not);
    // gives how many bytes it took.
    uint32_t splitPage(InodeNode& meta, ByteSpan raw, uint64_t space, size_t packedSize);
    void dataNode(InodeNode meta, ByteSpan stored);
    uint32_t nextVersion(uint32_t ino);

    OutputFile& out_;
    const Jffs2SaveParams& params_;
    Endian e_;
    Compressor serial_; // for the pieces of split pages
    Bytes buffer_;
    Bytes node_;
    Bytes piece_;
    uint64_t pos_ = 0;
    std::vector<uint32_t> versions_; // per inode: the last version given
};

} // namespace korvane::jffs2
