#include "sqfs_handles.h"

#include "model/error.h"
#include "model/timg.h"

namespace korvane::squashfs {

Message sqfsMessage(int code) {
    switch (code) {
    case SQFS_ERROR_ALLOC:
        return msg("there is not enough memory");
    case SQFS_ERROR_IO:
        return msg("it lies outside the image");
    case SQFS_ERROR_COMPRESSOR:
        return msg("its compressed data is damaged");
    case SQFS_ERROR_CORRUPTED:
        return msg("it is damaged");
    case SQFS_ERROR_UNSUPPORTED:
        return msg("it uses a feature Korvane cannot read");
    case SQFS_ERROR_OVERFLOW:
        return msg("it claims a size larger than it can have");
    case SQFS_ERROR_OUT_OF_BOUNDS:
        return msg("it points outside its table");
    case SFQS_ERROR_SUPER_MAGIC:
        return msg("the superblock has no SquashFS magic");
    case SFQS_ERROR_SUPER_VERSION:
        return msg("the superblock names a SquashFS version other than 4.0");
    case SQFS_ERROR_SUPER_BLOCK_SIZE:
        return msg("the superblock names a block size other than a power of two from 4 KiB to "
                   "1 MiB");
    case SQFS_ERROR_NOT_DIR:
        return msg("it is not a folder");
    case SQFS_ERROR_NO_ENTRY:
        return msg("it does not exist");
    case SQFS_ERROR_LINK_LOOP:
        return msg("it loops");
    case SQFS_ERROR_NOT_FILE:
        return msg("it is not a regular file");
    default:
        return msg("libsquashfs error %1", code);
    }
}

// ------------------------------------------------------------ SourceFile

SourceFile::SourceFile(const ImageSource& source, const Timg* img)
    : adapter_{}, source_(&source), img_(img) {
    adapter_.owner = this;
    adapter_.file.base.destroy = [](sqfs_object_t*) {}; // owned by this object
    adapter_.file.read_at = readAt;
    adapter_.file.write_at = refuseWrite;
    adapter_.file.get_size = sizeOf;
    adapter_.file.truncate = refuseTruncate;
}

bool SourceFile::read(uint64_t offset, MutableByteSpan out) const {
    const uint64_t size = source_->size();
    if (offset > size || out.size() > size - offset)
        return false;
    if (out.empty())
        return true;
    source_->read(offset, out);
    if (img_)
        img_->noteRead(out.size());
    return true;
}

bool SourceFile::readThrough(uint64_t offset, MutableByteSpan out) const {
    const uint64_t size = source_->size();
    if (offset > size || out.size() > size - offset)
        return false;
    if (!out.empty())
        source_->readThrough(offset, out);
    return true;
}

int SourceFile::readAt(sqfs_file_t* f, sqfs_u64 offset, void* buffer, size_t size) {
    const SourceFile& self = *reinterpret_cast<Adapter*>(f)->owner;
    try {
        return self.read(offset, MutableByteSpan(static_cast<std::byte*>(buffer), size))
                   ? 0
                   : SQFS_ERROR_IO;
    } catch (...) { // no exception may cross the library's C code
        return SQFS_ERROR_IO;
    }
}

int SourceFile::refuseWrite(sqfs_file_t*, sqfs_u64, const void*, size_t) {
    return SQFS_ERROR_IO;
}

sqfs_u64 SourceFile::sizeOf(const sqfs_file_t* f) {
    return reinterpret_cast<const Adapter*>(f)->owner->source_->size();
}

int SourceFile::refuseTruncate(sqfs_file_t*, sqfs_u64) {
    return SQFS_ERROR_IO;
}

// -------------------------------------------------------- OutputSqfsFile

OutputSqfsFile::OutputSqfsFile(OutputFile& out) : adapter_{}, out_(&out) {
    adapter_.owner = this;
    adapter_.file.base.destroy = [](sqfs_object_t*) {};
    adapter_.file.read_at = readAt;
    adapter_.file.write_at = writeAt;
    adapter_.file.get_size = sizeOf;
    adapter_.file.truncate = truncateTo;
}

OutputSqfsFile& OutputSqfsFile::of(const sqfs_file_t* f) {
    return *reinterpret_cast<const Adapter*>(f)->owner;
}

void OutputSqfsFile::fail(const Message& what, int code) const {
    if (error_)
        std::rethrow_exception(error_);
    throw Error(withReason(what, sqfsMessage(code)));
}

int OutputSqfsFile::readAt(sqfs_file_t* f, sqfs_u64 offset, void* buffer, size_t size) {
    OutputSqfsFile& self = of(f);
    if (offset > self.size_ || size > self.size_ - offset)
        return SQFS_ERROR_OUT_OF_BOUNDS;
    try {
        self.out_->readAt(offset, MutableByteSpan(static_cast<std::byte*>(buffer), size));
        return 0;
    } catch (...) {
        self.error_ = std::current_exception();
        return SQFS_ERROR_IO;
    }
}

int OutputSqfsFile::writeAt(sqfs_file_t* f, sqfs_u64 offset, const void* buffer, size_t size) {
    OutputSqfsFile& self = of(f);
    try {
        self.out_->writeAt(offset, ByteSpan(static_cast<const std::byte*>(buffer), size));
        self.size_ = std::max<uint64_t>(self.size_, offset + size);
        return 0;
    } catch (...) {
        self.error_ = std::current_exception();
        return SQFS_ERROR_IO;
    }
}

sqfs_u64 OutputSqfsFile::sizeOf(const sqfs_file_t* f) {
    return of(f).size_;
}

int OutputSqfsFile::truncateTo(sqfs_file_t* f, sqfs_u64 size) {
    OutputSqfsFile& self = of(f);
    try {
        self.out_->resize(size);
        self.size_ = size;
        return 0;
    } catch (...) {
        self.error_ = std::current_exception();
        return SQFS_ERROR_IO;
    }
}

} // namespace korvane::squashfs
