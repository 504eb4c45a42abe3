// YAFFS1 images page by page, for the tests and the fuzzing seeds, encoded
// from the format's description on their own (the tag bit fields, the tag
// ECC, the spare layout), so that the reader and writer are checked against
// something they do not share; and the same description read back page by
// page.
#pragma once

#include "fs/yaffs2/header.h"
#include "model/bytes.h"

#include <cstdint>
#include <string>

namespace korvane::test {

struct Yaffs1Page {
    uint32_t objectId = 0;
    uint32_t chunkId = 0;
    uint32_t serial = 0;
    uint32_t bytes = 0;
    bool deleted = false;        // page status 0
    std::byte blockStatus{0xFF}; // anything else marks the block bad
};

class Yaffs1Builder {
public:
    // A page of data (at most 512 bytes, zeros after) with these tags and its
    // data ECC.
    void page(const Yaffs1Page& p, ByteSpan data);
    // A header page (FF around the header) for object id.
    void header(uint32_t id, const yaffs2::ObjectHeader& h, uint32_t serial = 0,
                uint32_t shadows = 0);
    // A file's data pages.
    void file(uint32_t id, ByteSpan contents, uint32_t serial = 0);
    void erased(size_t pages = 1);
    // Flips bit (0-7) of byte offset of page k's record.
    void flip(size_t k, size_t offset, unsigned bit);

    static yaffs2::ObjectHeader make(uint32_t type, uint32_t parent, const std::string& name,
                                     uint32_t mode);

    const Bytes& bytes() const { return image_; }
    size_t pages() const { return image_.size() / 528; }

private:
    Bytes image_;
};

// Every page of a YAFFS1 image as the description reads it, one line each:
// "erased", "deleted", or the tags ("obj 257 chunk 0 serial 0 bytes 1023"),
// with "tag-ecc-bad" and "data-ecc-bad" where the ECC does not agree.
std::string yaffs1Pages(const Bytes& image);

} // namespace korvane::test
