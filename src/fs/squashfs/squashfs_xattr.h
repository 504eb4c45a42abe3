// Extended attributes of SquashFS images. Reading: the library's xattr
// reader resolves an inode's attribute id to where its pairs are; the pairs
// are decoded here, so that a damaged value that claims 4 GiB is refused
// before anything is allocated for it. Writing: which names SquashFS holds
// (user., trusted. and security. only), and one set of attributes handed to
// the library's xattr writer, which shares equal sets between inodes.
#pragma once

#include "model/entry.h"
#include "sqfs_handles.h"

#include <optional>
#include <vector>

namespace korvane::squashfs {

// The longest value Linux gives an attribute, and so the longest read.
constexpr uint32_t kMaxXattrValue = 65536;

class XattrTable {
public:
    // Reads the table's header and the locations of its id blocks. Returns
    // nullptr when the image has no attributes; throws Error when its table
    // is damaged (the caller reads on without attributes).
    static std::unique_ptr<XattrTable> open(const sqfs_super_t& super, sqfs_file_t* file,
                                            sqfs_compressor_t* cmp);

    // The attributes of id, in the order the image stores them. Returns 0 or
    // an SQFS_ERROR code (the pairs read before the damage are in out).
    int read(uint32_t id, std::vector<Xattr>& out);
    uint32_t ids() const { return ids_; }

private:
    XattrTable() = default;
    int readValue(uint16_t type, std::string& value);

    XattrReaderHandle reader_;
    MetaReaderHandle pairs_;
    uint64_t pairsStart_ = 0;
    uint64_t pairsEnd_ = 0;
    uint32_t ids_ = 0;
};

// Whether SquashFS holds an attribute of this name (a known prefix and a
// name after it).
bool holdsXattrName(const std::string& name);

// Hands e's attributes that SquashFS holds to the writer as one set; returns
// its id, or kNoXattr when there are none. Returns the library's error code
// in *error (0 when all went well).
uint32_t addXattrSet(sqfs_xattr_writer_t* writer, const std::vector<Xattr>& xattrs, int* error);

} // namespace korvane::squashfs
