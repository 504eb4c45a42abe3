// Reading the contents of regular files in ranges. A file is a run of data
// blocks (each compressed or stored, a size of 0 being a hole) and, for
// most files, a tail in a fragment block shared with other files. The
// library's metadata reader gives the inode with its block list and its
// compressor unpacks the blocks; what is kept here is a cache for the order
// in which Korvane reads: one inode and one data block per reader, and the
// fragment blocks used last, shared, since the tree is walked by extension
// and name while mksquashfs packs tails by folder and name (the library's
// data reader keeps only the last fragment block, so it would unpack the
// same block once for every file in it).
#pragma once

#include "model/timg.h"
#include "sqfs_handles.h"

#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace korvane::squashfs {

// The longest block list Korvane reads for one file (16 MiB of sizes: a
// file of 512 GiB in 128 KiB blocks).
constexpr uint64_t kMaxFileBlocks = 4u << 20;
// Unpacked fragment blocks kept for files that follow.
constexpr uint64_t kFragmentCacheBytes = 16u << 20;

class ContentReader {
public:
    // frags may be null (an image without fragments, or whose table could
    // not be read: tails then cannot be read).
    ContentReader(const sqfs_super_t& super, SourceFile& file, sqfs_compressor_t* cmp,
                  sqfs_frag_table_t* frags);
    ~ContentReader();
    ContentReader(const ContentReader&) = delete;
    ContentReader& operator=(const ContentReader&) = delete;

    // Reads out.size() bytes at offset of the file whose inode is at ref;
    // the range lies inside the file. Throws Error naming the file (name)
    // when its inode or a block of it cannot be read. Thread-safe.
    void read(uint64_t ref, const std::string& name, uint64_t offset, MutableByteSpan out);
    // The first range at or after offset (inside the file) that is no hole.
    ContentRange nextData(uint64_t ref, const std::string& name, uint64_t offset);

private:
    struct Context;
    class Lease;

    std::unique_ptr<Context> newContext();
    // Makes ctx hold the inode at ref; throws Error.
    void loadFile(Context& ctx, uint64_t ref, const std::string& name);
    uint64_t blockLocation(const Context& ctx, uint64_t index) const;
    // Unpacks a block (on-disk size word sizeWord at location) into out,
    // which must take the block size; returns the bytes it holds. Returns
    // an SQFS_ERROR code (negative) on failure.
    int64_t unpack(Context& ctx, uint64_t location, uint32_t sizeWord, std::byte* out);
    std::shared_ptr<const Bytes> fragmentBlock(Context& ctx, uint32_t index,
                                               const std::string& name);

    const sqfs_super_t& super_;
    SourceFile& file_;
    sqfs_compressor_t* cmp_;
    sqfs_frag_table_t* frags_;

    std::mutex contextsMutex_;
    std::vector<std::unique_ptr<Context>> idle_;

    std::mutex fragmentsMutex_;
    std::list<uint32_t> fragmentOrder_; // most recently used first
    struct CachedFragment {
        std::shared_ptr<const Bytes> bytes;
        std::list<uint32_t>::iterator place;
    };
    std::unordered_map<uint32_t, CachedFragment> fragments_;
    uint64_t fragmentBytes_ = 0;
};

} // namespace korvane::squashfs
