// libsquashfs as Korvane uses it: owning handles for the library's objects
// (released with sqfs_destroy) and buffers (released with sqfs_free), the
// files the library reads and writes through (Korvane's image sources and
// output files, so that a SquashFS image inside a container member is read
// in place), and its error codes as messages. Only src/fs/squashfs includes
// the library's headers.
#pragma once

#include "model/image_source.h"
#include "model/message.h"
#include "model/output_file.h"

#include <exception>
#include <memory>
#include <sqfs/block.h>
#include <sqfs/block_processor.h>
#include <sqfs/block_writer.h>
#include <sqfs/compressor.h>
#include <sqfs/dir.h>
#include <sqfs/dir_writer.h>
#include <sqfs/error.h>
#include <sqfs/frag_table.h>
#include <sqfs/id_table.h>
#include <sqfs/inode.h>
#include <sqfs/io.h>
#include <sqfs/meta_reader.h>
#include <sqfs/meta_writer.h>
#include <sqfs/predef.h>
#include <sqfs/super.h>
#include <sqfs/xattr.h>
#include <sqfs/xattr_reader.h>
#include <sqfs/xattr_writer.h>
#include <type_traits>

namespace korvane {
class Timg;
} // namespace korvane

namespace korvane::squashfs {

struct SqfsDestroy {
    void operator()(void* object) const { sqfs_destroy(object); }
};
struct SqfsFree {
    void operator()(void* buffer) const { sqfs_free(buffer); }
};

// An object of the library (compressor, reader, writer, table).
template <typename T>
using Handle = std::unique_ptr<T, SqfsDestroy>;
// A buffer the library handed out (an inode, a folder entry, a table).
template <typename T>
using Buffer = std::unique_ptr<T, SqfsFree>;

using CompressorHandle = Handle<sqfs_compressor_t>;
using MetaReaderHandle = Handle<sqfs_meta_reader_t>;
using MetaWriterHandle = Handle<sqfs_meta_writer_t>;
using IdTableHandle = Handle<sqfs_id_table_t>;
using FragTableHandle = Handle<sqfs_frag_table_t>;
using XattrReaderHandle = Handle<sqfs_xattr_reader_t>;
using XattrWriterHandle = Handle<sqfs_xattr_writer_t>;
using DirWriterHandle = Handle<sqfs_dir_writer_t>;
using BlockWriterHandle = Handle<sqfs_block_writer_t>;
using BlockProcessorHandle = Handle<sqfs_block_processor_t>;
using InodeBuffer = Buffer<sqfs_inode_generic_t>;
using DirEntryBuffer = Buffer<sqfs_dir_entry_t>;

// The library's error code as a message ("the data is damaged").
Message sqfsMessage(int code);

// The bytes of an image source as the library's file. Reads past the end of
// the source fail (the library then reports the table it was reading as
// damaged) instead of reading zeros. Reads count towards the image's
// resident budget (Timg::noteRead). Read-only; safe to use from several
// threads at once. Must outlive every library object given file().
class SourceFile {
public:
    SourceFile(const ImageSource& source, const Timg* img = nullptr);
    SourceFile(const SourceFile&) = delete;
    SourceFile& operator=(const SourceFile&) = delete;

    sqfs_file_t* file() { return &adapter_.file; }
    const ImageSource& source() const { return *source_; }
    // Reads [offset, offset + out.size()); false when it is not wholly
    // inside the source.
    bool read(uint64_t offset, MutableByteSpan out) const;
    // The same for data blocks: read with system calls where the source is
    // a mapped file, so that reading a large image leaves none of it
    // resident.
    bool readThrough(uint64_t offset, MutableByteSpan out) const;

private:
    struct Adapter {
        sqfs_file_t file; // first: the library sees only this
        SourceFile* owner;
    };
    static_assert(std::is_standard_layout_v<Adapter>);
    static int readAt(sqfs_file_t* f, sqfs_u64 offset, void* buffer, size_t size);
    static int refuseWrite(sqfs_file_t* f, sqfs_u64 offset, const void* buffer, size_t size);
    static sqfs_u64 sizeOf(const sqfs_file_t* f);
    static int refuseTruncate(sqfs_file_t* f, sqfs_u64 size);

    Adapter adapter_;
    const ImageSource* source_;
    const Timg* img_;
};

// An output file as the library's file: the library appends data blocks and
// tables, rewrites the superblock, reads blocks back to find duplicates and
// cuts off a duplicate it has just written. A failure of the file (a full
// disk) is kept and thrown again by rethrow(), so the user sees the
// system's reason rather than the library's "I/O error".
class OutputSqfsFile {
public:
    explicit OutputSqfsFile(OutputFile& out);
    OutputSqfsFile(const OutputSqfsFile&) = delete;
    OutputSqfsFile& operator=(const OutputSqfsFile&) = delete;

    sqfs_file_t* file() { return &adapter_.file; }
    uint64_t size() const { return size_; }
    // Throws the file's own error if one happened; otherwise Error with
    // what, naming the library's code.
    [[noreturn]] void fail(const Message& what, int code) const;

private:
    struct Adapter {
        sqfs_file_t file;
        OutputSqfsFile* owner;
    };
    static_assert(std::is_standard_layout_v<Adapter>);
    static OutputSqfsFile& of(const sqfs_file_t* f);
    static int readAt(sqfs_file_t* f, sqfs_u64 offset, void* buffer, size_t size);
    static int writeAt(sqfs_file_t* f, sqfs_u64 offset, const void* buffer, size_t size);
    static sqfs_u64 sizeOf(const sqfs_file_t* f);
    static int truncateTo(sqfs_file_t* f, sqfs_u64 size);

    Adapter adapter_;
    OutputFile* out_;
    uint64_t size_ = 0;
    std::exception_ptr error_;
};

} // namespace korvane::squashfs
