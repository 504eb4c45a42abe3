#include "squashfs_xattr.h"

#include "model/error.h"
#include "squashfs_format.h"

#include <cstring>

namespace korvane::squashfs {

namespace {

// More pairs than this in one set, or more bytes, and the set is damaged:
// Linux lists at most 64 KiB of names for an object.
constexpr uint32_t kMaxPairs = 4096;
constexpr uint64_t kMaxSetBytes = 1u << 20;
constexpr uint32_t kMaxXattrName = 255;

} // namespace

std::unique_ptr<XattrTable> XattrTable::open(const sqfs_super_t& super, sqfs_file_t* file,
                                             sqfs_compressor_t* cmp) {
    if ((super.flags & SQFS_FLAG_NO_XATTRS) || super.xattr_id_table_start == kNoTable)
        return nullptr;
    const uint64_t at = super.xattr_id_table_start;
    const uint64_t end = std::min<uint64_t>(super.bytes_used, file->get_size(file));
    std::byte header[xid::kHeaderSize];
    if (at < sb::kSize || at > end || end - at < sizeof header ||
        file->read_at(file, at, header, sizeof header) != 0)
        throw Error(msg("the table of extended attributes lies outside the image"));
    std::unique_ptr<XattrTable> t(new XattrTable);
    t->pairsStart_ = load64(header + xid::kPairsStart);
    t->pairsEnd_ = at;
    t->ids_ = load32(header + xid::kIds);
    // The library reads the locations of the id blocks into memory: their
    // number must fit in the bytes the table has, before it allocates them.
    const uint64_t blocks = (uint64_t{t->ids_} * xid::kSize + kMetaBlockSize - 1) / kMetaBlockSize;
    if (blocks * 8 > end - at - sizeof header)
        throw Error(msg("the table of extended attributes counts %1 ids, more than its %2 bytes "
                        "can list",
                        t->ids_, end - at));
    if (t->pairsStart_ < sb::kSize || t->pairsStart_ >= at)
        throw Error(msg("the table of extended attributes says its pairs lie outside the image"));
    t->reader_.reset(sqfs_xattr_reader_create(0));
    t->pairs_.reset(sqfs_meta_reader_create(file, cmp, t->pairsStart_, t->pairsEnd_));
    if (!t->reader_ || !t->pairs_)
        throw Error(sqfsMessage(SQFS_ERROR_ALLOC));
    if (int ret = sqfs_xattr_reader_load(t->reader_.get(), &super, file, cmp))
        throw Error(
            withReason(msg("the table of extended attributes cannot be read"), sqfsMessage(ret)));
    return t;
}

int XattrTable::readValue(uint16_t type, std::string& value) {
    std::byte word[8];
    if (int ret = sqfs_meta_reader_read(pairs_.get(), word, xvalue::kSize))
        return ret;
    uint32_t size = load32(word + xvalue::kValueSize);
    sqfs_u64 returnBlock = 0;
    size_t returnOffset = 0;
    const bool outOfLine = (type & kXattrOutOfLine) != 0;
    if (outOfLine) {
        // The value is stored once elsewhere; this is a reference to it.
        if (size != 8)
            return SQFS_ERROR_CORRUPTED;
        if (int ret = sqfs_meta_reader_read(pairs_.get(), word, 8))
            return ret;
        const uint64_t ref = load64(word);
        sqfs_meta_reader_get_position(pairs_.get(), &returnBlock, &returnOffset);
        if ((ref & 0xFFFF) >= kMetaBlockSize)
            return SQFS_ERROR_OUT_OF_BOUNDS;
        if (int ret = sqfs_meta_reader_seek(pairs_.get(), pairsStart_ + (ref >> 16), ref & 0xFFFF))
            return ret;
        if (int ret = sqfs_meta_reader_read(pairs_.get(), word, xvalue::kSize))
            return ret;
        size = load32(word + xvalue::kValueSize);
    }
    if (size > kMaxXattrValue)
        return SQFS_ERROR_OVERFLOW;
    value.resize(size);
    if (int ret = sqfs_meta_reader_read(pairs_.get(), value.data(), size))
        return ret;
    if (outOfLine)
        return sqfs_meta_reader_seek(pairs_.get(), returnBlock, returnOffset);
    return 0;
}

int XattrTable::read(uint32_t id, std::vector<Xattr>& out) {
    sqfs_xattr_id_t desc;
    if (int ret = sqfs_xattr_reader_get_desc(reader_.get(), id, &desc))
        return ret;
    if (desc.count > kMaxPairs)
        return SQFS_ERROR_OVERFLOW;
    if ((desc.xattr & 0xFFFF) >= kMetaBlockSize)
        return SQFS_ERROR_OUT_OF_BOUNDS;
    if (int ret = sqfs_meta_reader_seek(pairs_.get(), pairsStart_ + (desc.xattr >> 16),
                                        desc.xattr & 0xFFFF))
        return ret;
    uint64_t bytes = 0;
    for (uint32_t i = 0; i < desc.count; ++i) {
        std::byte key[xkey::kSize];
        if (int ret = sqfs_meta_reader_read(pairs_.get(), key, sizeof key))
            return ret;
        const uint16_t type = load16(key + xkey::kType);
        const uint16_t nameSize = load16(key + xkey::kNameSize);
        const char* prefix =
            sqfs_get_xattr_prefix(static_cast<SQFS_XATTR_TYPE>(type & kXattrPrefixMask));
        if (!prefix || (type & ~(kXattrPrefixMask | kXattrOutOfLine)) != 0)
            return SQFS_ERROR_UNSUPPORTED;
        if (nameSize == 0 || nameSize > kMaxXattrName)
            return SQFS_ERROR_CORRUPTED;
        Xattr x;
        x.name = prefix;
        const size_t prefixLength = x.name.size();
        x.name.resize(prefixLength + nameSize);
        if (int ret = sqfs_meta_reader_read(pairs_.get(), x.name.data() + prefixLength, nameSize))
            return ret;
        if (x.name.find('\0') != std::string::npos)
            return SQFS_ERROR_CORRUPTED;
        if (int ret = readValue(type, x.value))
            return ret;
        if ((bytes += x.name.size() + x.value.size()) > kMaxSetBytes)
            return SQFS_ERROR_OVERFLOW;
        out.push_back(std::move(x));
    }
    return 0;
}

bool holdsXattrName(const std::string& name) {
    if (name.find('\0') != std::string::npos)
        return false;
    const int id = sqfs_get_xattr_prefix_id(name.c_str());
    if (id < 0)
        return false;
    const char* prefix = sqfs_get_xattr_prefix(static_cast<SQFS_XATTR_TYPE>(id));
    return name.size() > std::strlen(prefix) && name.size() <= kMaxXattrName;
}

uint32_t addXattrSet(sqfs_xattr_writer_t* writer, const std::vector<Xattr>& xattrs, int* error) {
    *error = 0;
    bool any = false;
    for (const Xattr& x : xattrs)
        any = any || holdsXattrName(x.name);
    if (!any)
        return kNoXattr;
    if ((*error = sqfs_xattr_writer_begin(writer, 0)) != 0)
        return kNoXattr;
    for (const Xattr& x : xattrs) {
        if (!holdsXattrName(x.name))
            continue;
        if ((*error = sqfs_xattr_writer_add(writer, x.name.c_str(), x.value.data(),
                                            x.value.size())) != 0)
            return kNoXattr;
    }
    sqfs_u32 id = kNoXattr;
    *error = sqfs_xattr_writer_end(writer, &id);
    return id;
}

} // namespace korvane::squashfs
