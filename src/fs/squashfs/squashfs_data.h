// Reading the contents of regular files in ranges. A file is a run of data
// blocks (each compressed or stored, a size of 0 being a hole) and, for
// most files, a tail in a fragment block shared with other files. The
// library's metadata reader gives the inode with its block list and its
// compressor unpacks the blocks.
//
// Unpacked blocks are kept in one cache shared by every reader of the
// image, and, on a large image, workers (one a core, each with its own
// decompressor) unpack the blocks that are likely to be read next: the
// following blocks of the file being read, and the fragment blocks after
// the one just read, since mksquashfs packs the tails of a folder's files
// together and Korvane reads a folder's files one after the other (by
// extension, so not in the order they were packed: the library's data
// reader, which keeps only the last fragment block, would unpack the same
// block again for every file in it).
#pragma once

#include "model/timg.h"
#include "sqfs_handles.h"

#include <condition_variable>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace korvane::squashfs {

// The longest block list Korvane reads for one file (16 MiB of sizes: a
// file of 512 GiB in 128 KiB blocks).
constexpr uint64_t kMaxFileBlocks = 4u << 20;
// Unpacked blocks kept for the reads that follow.
constexpr uint64_t kBlockCacheBytes = 32u << 20;
// Images from this size on are unpacked ahead by workers; for smaller ones
// the threads would cost more than they save.
constexpr uint64_t kReadAheadFrom = 4u << 20;

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
    // A block as the image stores it: where, and its size word.
    struct BlockKey {
        uint64_t location;
        uint32_t word;
        friend bool operator==(const BlockKey&, const BlockKey&) = default;
    };
    struct KeyHash {
        size_t operator()(const BlockKey& k) const {
            return std::hash<uint64_t>()(k.location * 31 + k.word);
        }
    };
    // An unpacked block. Its buffer is not cleared first: it is written
    // whole, and clearing 128 KiB a block is a cost worth saving.
    struct Block {
        std::unique_ptr<std::byte[]> bytes;
        size_t length = 0;
        const std::byte* data() const { return bytes.get(); }
        size_t size() const { return length; }
    };
    struct Unpacked {
        enum State : uint8_t { kQueued, kWorking, kReady } state = kWorking;
        std::shared_ptr<const Block> bytes;  // null unless kReady
        int error = 0;                       // an SQFS_ERROR code (kReady without bytes)
        std::list<BlockKey>::iterator place; // in order_ when kReady
    };

    std::unique_ptr<Context> newContext();
    // Makes ctx hold the inode at ref; throws Error.
    void loadFile(Context& ctx, uint64_t ref, const std::string& name);
    uint64_t blockLocation(const Context& ctx, uint64_t index) const;
    // Unpacks the block key into a buffer of the block size. Returns the
    // bytes, or an SQFS_ERROR code in error.
    std::shared_ptr<const Block> unpack(sqfs_compressor_t* cmp, Bytes& packed, const BlockKey& key,
                                        int& error) const;
    // The unpacked block key, from the cache or unpacked now with ctx's
    // decompressor; throws Error (what, with the library's reason).
    std::shared_ptr<const Block> block(Context& ctx, const BlockKey& key, const Message& what);
    // Asks the workers for blocks about to be read.
    void readAhead(const std::vector<BlockKey>& keys);
    // The fragment block index (where it is), or nullopt.
    std::optional<BlockKey> fragmentKey(uint32_t index) const;
    // Keeps a freshly unpacked block; call with cacheMutex_ held.
    void store(const BlockKey& key, std::shared_ptr<const Block> bytes, int error);
    void work();

    const sqfs_super_t& super_;
    SourceFile& file_;
    sqfs_compressor_t* cmp_;
    sqfs_frag_table_t* frags_;
    const unsigned workers_;

    std::mutex contextsMutex_;
    std::vector<std::unique_ptr<Context>> idle_;

    std::mutex cacheMutex_;
    std::condition_variable unpacked_; // a block was stored
    std::condition_variable queued_;   // work for the workers, or stop
    std::unordered_map<BlockKey, Unpacked, KeyHash> cache_;
    std::list<BlockKey> order_; // unpacked blocks, most recently used first
    uint64_t cachedBytes_ = 0;
    std::deque<BlockKey> queue_;
    bool stop_ = false;
    std::vector<std::thread> threads_; // started on the first read-ahead
};

} // namespace korvane::squashfs
