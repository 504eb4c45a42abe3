// A decompressor that remembers the metadata blocks it unpacked. The
// library's metadata readers keep one block each: the walk over the folders
// goes back to a parent's listing after each subfolder, and every reading
// thread's inode reader goes over the same blocks again, so without a cache
// a block is unpacked many times over (with xz, a tenth of a millisecond
// each). Blocks are known by their packed bytes, compared whole, so a hit
// is exact whatever reader asks.
#include "compressors.h"
#include "model/bytes.h"
#include "squashfs_format.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>

namespace korvane::squashfs {

namespace {

// 256 blocks of at most 8 KiB each way: 4 MiB at most.
constexpr size_t kCachedBlocks = 256;

class BlockCache {
public:
    // Copies the unpacked bytes of in into out; false when in is not cached.
    bool find(const sqfs_u8* in, sqfs_u32 size, sqfs_u8* out, sqfs_u32 outsize, sqfs_s32& got) {
        const uint64_t key = keyOf(in, size);
        std::lock_guard lock(mutex_);
        auto it = blocks_.find(key);
        if (it == blocks_.end() || it->second.packed.size() != size ||
            std::memcmp(it->second.packed.data(), in, size) != 0 ||
            it->second.unpacked.size() > outsize)
            return false;
        it->second.used = ++clock_;
        std::memcpy(out, it->second.unpacked.data(), it->second.unpacked.size());
        got = static_cast<sqfs_s32>(it->second.unpacked.size());
        return true;
    }

    void add(const sqfs_u8* in, sqfs_u32 size, const sqfs_u8* out, sqfs_u32 outsize) {
        const uint64_t key = keyOf(in, size);
        const auto* p = reinterpret_cast<const std::byte*>(in);
        const auto* q = reinterpret_cast<const std::byte*>(out);
        Block b{Bytes(p, p + size), Bytes(q, q + outsize), 0};
        std::lock_guard lock(mutex_);
        if (blocks_.size() >= kCachedBlocks && !blocks_.count(key)) {
            auto oldest = blocks_.begin();
            for (auto it = blocks_.begin(); it != blocks_.end(); ++it)
                if (it->second.used < oldest->second.used)
                    oldest = it;
            blocks_.erase(oldest);
        }
        b.used = ++clock_;
        blocks_[key] = std::move(b);
    }

private:
    struct Block {
        Bytes packed;
        Bytes unpacked;
        uint64_t used;
    };
    static uint64_t keyOf(const sqfs_u8* in, sqfs_u32 size) {
        return std::hash<std::string_view>{}(
            std::string_view(reinterpret_cast<const char*>(in), size));
    }

    std::mutex mutex_;
    std::unordered_map<uint64_t, Block> blocks_;
    uint64_t clock_ = 0;
};

class CachingDecompressor {
public:
    CachingDecompressor(CompressorHandle inner, std::shared_ptr<BlockCache> cache)
        : inner_(std::move(inner)), cache_(std::move(cache)) {
        adapter_.owner = this;
        sqfs_compressor_t& c = adapter_.base;
        c.base.destroy = destroy;
        c.base.copy = copy;
        c.get_configuration = configuration;
        c.write_options = writeOptions;
        c.read_options = readOptions;
        c.do_block = unpack;
    }
    CachingDecompressor(const CachingDecompressor&) = delete;
    CachingDecompressor& operator=(const CachingDecompressor&) = delete;

    sqfs_compressor_t* get() { return &adapter_.base; }

private:
    struct Adapter {
        sqfs_compressor_t base; // first: the library sees only this
        CachingDecompressor* owner;
    };
    static_assert(std::is_standard_layout_v<Adapter>);
    static CachingDecompressor& of(const void* c) { return *static_cast<const Adapter*>(c)->owner; }

    static void destroy(sqfs_object_t* o) { delete &of(o); }
    static sqfs_object_t* copy(const sqfs_object_t* o) {
        const CachingDecompressor& self = of(o);
        try { // no exception may cross the library's C code
            CompressorHandle inner(static_cast<sqfs_compressor_t*>(sqfs_copy(self.inner_.get())));
            if (!inner)
                return nullptr;
            return &(new CachingDecompressor(std::move(inner), self.cache_))->get()->base;
        } catch (...) {
            return nullptr;
        }
    }
    static void configuration(const sqfs_compressor_t* c, sqfs_compressor_config_t* cfg) {
        const sqfs_compressor_t* inner = of(c).inner_.get();
        inner->get_configuration(inner, cfg);
    }
    static int writeOptions(sqfs_compressor_t* c, sqfs_file_t* file) {
        sqfs_compressor_t* inner = of(c).inner_.get();
        return inner->write_options(inner, file);
    }
    static int readOptions(sqfs_compressor_t* c, sqfs_file_t* file) {
        sqfs_compressor_t* inner = of(c).inner_.get();
        return inner->read_options(inner, file);
    }
    // Metadata blocks (unpacked into room for one) go through the cache;
    // data blocks are read once each and pass straight through.
    static sqfs_s32 unpack(sqfs_compressor_t* c, const sqfs_u8* in, sqfs_u32 size, sqfs_u8* out,
                           sqfs_u32 outsize) {
        CachingDecompressor& self = of(c);
        sqfs_compressor_t* inner = self.inner_.get();
        if (outsize != kMetaBlockSize)
            return inner->do_block(inner, in, size, out, outsize);
        sqfs_s32 got = 0;
        try {
            if (self.cache_->find(in, size, out, outsize, got))
                return got;
            got = inner->do_block(inner, in, size, out, outsize);
            if (got > 0)
                self.cache_->add(in, size, out, static_cast<sqfs_u32>(got));
        } catch (...) {
            // Not enough memory to keep the block: it was unpacked all the same.
        }
        return got;
    }

    Adapter adapter_{};
    CompressorHandle inner_;
    std::shared_ptr<BlockCache> cache_;
};

} // namespace

CompressorHandle withMetadataCache(CompressorHandle decompressor) {
    auto* c = new CachingDecompressor(std::move(decompressor), std::make_shared<BlockCache>());
    return CompressorHandle(c->get());
}

} // namespace korvane::squashfs
