#include "squashfs_data.h"

#include "model/error.h"
#include "squashfs_format.h"
#include "squashfs_inode.h"

#include <algorithm>
#include <cstring>

namespace korvane::squashfs {

namespace {

constexpr uint64_t kNone = ~uint64_t{0};
// Where every 1024th block starts is kept; the others are summed from there.
constexpr uint64_t kCheckpointStride = 1024;
// nextData answers at most this much data at once, so that a call stays
// short on a file of many blocks.
constexpr uint64_t kLongestRange = 64u << 20;
// Blocks each worker may have waiting.
constexpr size_t kQueuedPerWorker = 4;

bool isHole(uint32_t word) {
    return (word & kBlockSizeMask) == 0;
}

unsigned workersFor(const sqfs_super_t& super) {
    return super.bytes_used >= kReadAheadFrom ? std::max(1u, std::thread::hardware_concurrency())
                                              : 0;
}

} // namespace

// What one reading thread holds: a decompressor of its own, which its
// reader of inodes uses too (a decompressor keeps state between calls, so
// the reader's one cannot be shared between threads).
struct ContentReader::Context {
    CompressorHandle cmp;
    MetaReaderHandle inodes;
    Bytes packed;
    // The file whose inode is loaded.
    uint64_t ref = kNone;
    InodeBuffer inode;
    InodeInfo info;
    uint64_t blocks = 0;
    std::vector<uint64_t> checkpoints;

    const sqfs_u32* sizes() const { return inode->extra; }
};

class ContentReader::Lease {
public:
    explicit Lease(ContentReader& r) : reader_(r) {
        {
            std::lock_guard lock(r.contextsMutex_);
            if (!r.idle_.empty()) {
                ctx_ = std::move(r.idle_.back());
                r.idle_.pop_back();
            }
        }
        if (!ctx_)
            ctx_ = r.newContext();
    }
    ~Lease() {
        std::lock_guard lock(reader_.contextsMutex_);
        reader_.idle_.push_back(std::move(ctx_));
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    Context& operator*() { return *ctx_; }

private:
    ContentReader& reader_;
    std::unique_ptr<Context> ctx_;
};

ContentReader::ContentReader(const sqfs_super_t& super, SourceFile& file, sqfs_compressor_t* cmp,
                             sqfs_frag_table_t* frags)
    : super_(super), file_(file), cmp_(cmp), frags_(frags), workers_(workersFor(super)) {}

ContentReader::~ContentReader() {
    {
        std::lock_guard lock(cacheMutex_);
        stop_ = true;
    }
    queued_.notify_all();
    for (std::thread& t : threads_)
        t.join();
}

std::unique_ptr<ContentReader::Context> ContentReader::newContext() {
    auto ctx = std::make_unique<Context>();
    ctx->cmp.reset(static_cast<sqfs_compressor_t*>(sqfs_copy(cmp_)));
    if (ctx->cmp)
        ctx->inodes.reset(sqfs_meta_reader_create(
            file_.file(), ctx->cmp.get(), super_.inode_table_start, super_.directory_table_start));
    if (!ctx->inodes || !ctx->cmp)
        throw Error(sqfsMessage(SQFS_ERROR_ALLOC));
    return ctx;
}

void ContentReader::loadFile(Context& ctx, uint64_t ref, const std::string& name) {
    ctx.ref = kNone;
    ctx.inode.reset();
    InodeInfo info;
    int ret = readInodeInfo(ctx.inodes.get(), super_, ref, info);
    if (ret == 0 && !info.isFile())
        ret = SQFS_ERROR_NOT_FILE;
    if (ret != 0)
        throw Error(withReason(msg("the inode of %1 cannot be read", name), sqfsMessage(ret)));
    const uint64_t blocks = info.blockCount(super_.block_size);
    if (blocks > kMaxFileBlocks)
        throw Error(msg("%1 claims %2 bytes in %3 blocks; Korvane reads files of at most %4 "
                        "blocks",
                        name, info.size, blocks, kMaxFileBlocks));
    sqfs_inode_generic_t* raw = nullptr;
    ret = sqfs_meta_reader_read_inode(ctx.inodes.get(), &super_, ref >> 16, ref & 0xFFFF, &raw);
    ctx.inode.reset(raw);
    if (ret == 0 && (!raw || sqfs_inode_get_file_block_count(raw) != blocks))
        ret = SQFS_ERROR_CORRUPTED;
    if (ret != 0)
        throw Error(withReason(msg("the inode of %1 cannot be read", name), sqfsMessage(ret)));
    ctx.checkpoints.clear();
    uint64_t at = info.blocksStart;
    for (uint64_t i = 0; i < blocks; ++i) {
        if (i % kCheckpointStride == 0)
            ctx.checkpoints.push_back(at);
        at += raw->extra[i] & kBlockSizeMask;
    }
    ctx.info = std::move(info);
    ctx.blocks = blocks;
    ctx.ref = ref;
}

uint64_t ContentReader::blockLocation(const Context& ctx, uint64_t index) const {
    uint64_t at = ctx.checkpoints[index / kCheckpointStride];
    for (uint64_t i = index / kCheckpointStride * kCheckpointStride; i < index; ++i)
        at += ctx.sizes()[i] & kBlockSizeMask;
    return at;
}

std::shared_ptr<const ContentReader::Block> ContentReader::unpack(sqfs_compressor_t* cmp,
                                                                  Bytes& packed,
                                                                  const BlockKey& key,
                                                                  int& error) const {
    error = 0;
    const uint32_t stored = key.word & kBlockSizeMask;
    if (stored > super_.block_size) {
        error = SQFS_ERROR_CORRUPTED;
        return nullptr;
    }
    try {
        auto out = std::make_shared<Block>();
        out->bytes.reset(new std::byte[super_.block_size]);
        if (key.word & kBlockUncompressed) {
            if (!file_.readThrough(key.location, MutableByteSpan(out->bytes.get(), stored)))
                error = SQFS_ERROR_IO;
            out->length = stored;
            return error ? nullptr : out;
        }
        packed.resize(super_.block_size);
        if (!file_.readThrough(key.location, MutableByteSpan(packed.data(), stored))) {
            error = SQFS_ERROR_IO;
            return nullptr;
        }
        const sqfs_s32 got =
            cmp->do_block(cmp, reinterpret_cast<const sqfs_u8*>(packed.data()), stored,
                          reinterpret_cast<sqfs_u8*>(out->bytes.get()), super_.block_size);
        if (got <= 0) {
            error = got < 0 ? got : SQFS_ERROR_CORRUPTED;
            return nullptr;
        }
        out->length = static_cast<size_t>(got);
        return out;
    } catch (const std::bad_alloc&) {
        error = SQFS_ERROR_ALLOC;
        return nullptr;
    }
}

void ContentReader::store(const BlockKey& key, std::shared_ptr<const Block> bytes, int error) {
    Unpacked& u = cache_[key];
    u.state = Unpacked::kReady;
    u.bytes = std::move(bytes);
    u.error = error;
    order_.push_front(key);
    u.place = order_.begin();
    cachedBytes_ += u.bytes ? u.bytes->size() : 0;
    // Blocks being unpacked are not in order_, so they are never dropped.
    while (cachedBytes_ > kBlockCacheBytes && order_.size() > 1) {
        auto last = cache_.find(order_.back());
        cachedBytes_ -= last->second.bytes ? last->second.bytes->size() : 0;
        cache_.erase(last);
        order_.pop_back();
    }
}

std::shared_ptr<const ContentReader::Block> ContentReader::block(Context& ctx, const BlockKey& key,
                                                                 const Message& what) {
    std::unique_lock lock(cacheMutex_);
    for (;;) {
        auto it = cache_.find(key);
        if (it == cache_.end()) {
            cache_[key].state = Unpacked::kWorking; // claimed by this thread
            break;
        }
        Unpacked& u = it->second;
        if (u.state == Unpacked::kReady) {
            if (!u.bytes)
                throw Error(withReason(what, sqfsMessage(u.error)));
            order_.splice(order_.begin(), order_, u.place);
            return u.bytes;
        }
        if (u.state == Unpacked::kQueued) { // not started: do it here rather than wait
            if (auto q = std::find(queue_.begin(), queue_.end(), key); q != queue_.end())
                queue_.erase(q);
            u.state = Unpacked::kWorking;
            break;
        }
        unpacked_.wait(lock);
    }
    lock.unlock();
    int error = 0;
    std::shared_ptr<const Block> bytes = unpack(ctx.cmp.get(), ctx.packed, key, error);
    lock.lock();
    store(key, bytes, error);
    unpacked_.notify_all();
    if (!bytes)
        throw Error(withReason(what, sqfsMessage(error)));
    return bytes;
}

void ContentReader::readAhead(const std::vector<BlockKey>& keys) {
    if (workers_ == 0 || keys.empty())
        return;
    size_t queued = 0;
    {
        std::lock_guard lock(cacheMutex_);
        for (const BlockKey& key : keys) {
            if (queue_.size() >= workers_ * kQueuedPerWorker)
                break;
            if (isHole(key.word) || cache_.count(key))
                continue;
            cache_[key].state = Unpacked::kQueued;
            queue_.push_back(key);
            ++queued;
        }
        if (queued > 0 && threads_.empty())
            for (unsigned i = 0; i < workers_; ++i)
                threads_.emplace_back([this] { work(); });
    }
    // Waking the workers for blocks already at hand only costs switches.
    if (queued == 1)
        queued_.notify_one();
    else if (queued > 1)
        queued_.notify_all();
}

void ContentReader::work() {
    CompressorHandle cmp(static_cast<sqfs_compressor_t*>(sqfs_copy(cmp_)));
    Bytes packed;
    std::unique_lock lock(cacheMutex_);
    for (;;) {
        queued_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (stop_)
            return;
        const BlockKey key = queue_.front();
        queue_.pop_front();
        auto it = cache_.find(key);
        if (it == cache_.end() || it->second.state != Unpacked::kQueued)
            continue;
        if (!cmp) { // no decompressor of its own: leave the block to its reader
            cache_.erase(it);
            unpacked_.notify_all();
            continue;
        }
        it->second.state = Unpacked::kWorking;
        lock.unlock();
        int error = 0;
        std::shared_ptr<const Block> bytes = unpack(cmp.get(), packed, key, error);
        lock.lock();
        store(key, std::move(bytes), error);
        unpacked_.notify_all();
    }
}

std::optional<ContentReader::BlockKey> ContentReader::fragmentKey(uint32_t index) const {
    sqfs_fragment_t where{};
    if (!frags_ || sqfs_frag_table_lookup(frags_, index, &where) != 0)
        return std::nullopt;
    return BlockKey{where.start_offset, where.size};
}

void ContentReader::read(uint64_t ref, const std::string& name, uint64_t offset,
                         MutableByteSpan out) {
    Lease lease(*this);
    Context& ctx = *lease;
    if (ctx.ref != ref)
        loadFile(ctx, ref, name);
    const uint64_t bs = super_.block_size;
    const uint64_t size = ctx.info.size;
    const uint64_t tailStart = ctx.blocks * bs;
    const uint64_t end = offset + out.size();
    const size_t ahead = 2 * workers_;
    std::vector<BlockKey> next;
    for (uint64_t pos = offset; pos < end;) {
        std::byte* dest = out.data() + (pos - offset);
        const uint64_t index = pos / bs;
        if (pos >= size) { // the entry claims more than the inode holds
            std::memset(dest, 0, static_cast<size_t>(end - pos));
            break;
        }
        if (index >= ctx.blocks) {
            const uint32_t f = ctx.info.fragment;
            const std::optional<BlockKey> key =
                ctx.info.hasFragment() ? fragmentKey(f) : std::nullopt;
            const Message what =
                msg("the fragment block holding the end of %1 cannot be read", name);
            if (!key)
                throw Error(withReason(what, sqfsMessage(SQFS_ERROR_OUT_OF_BOUNDS)));
            const auto frag = block(ctx, *key, what);
            next.clear();
            for (uint32_t k = 1; k <= ahead && f + k > f; ++k)
                if (auto following = fragmentKey(f + k))
                    next.push_back(*following);
            readAhead(next);
            const uint64_t tail = size - tailStart;
            if (ctx.info.fragmentOffset > frag->size() ||
                tail > frag->size() - ctx.info.fragmentOffset)
                throw Error(msg("the end of %1 lies outside its fragment block", name));
            const uint64_t n = std::min(end, size) - pos;
            std::memcpy(dest, frag->data() + ctx.info.fragmentOffset + (pos - tailStart),
                        static_cast<size_t>(n));
            pos += n;
            continue;
        }
        const uint64_t within = pos % bs;
        const uint64_t n = std::min(bs - within, end - pos);
        const uint32_t word = ctx.sizes()[index];
        if (isHole(word)) {
            std::memset(dest, 0, static_cast<size_t>(n));
            pos += n;
            continue;
        }
        const uint64_t at = blockLocation(ctx, index);
        const auto data = block(ctx, {at, word}, msg("block %1 of %2 cannot be read", index, name));
        const uint64_t expected = std::min(bs, size - index * bs);
        if (data->size() != expected)
            throw Error(msg("block %1 of %2 holds %3 bytes where %4 belong", index, name,
                            data->size(), expected));
        next.clear();
        uint64_t following = at + (word & kBlockSizeMask);
        for (uint64_t k = index + 1; k < ctx.blocks && k <= index + ahead; ++k) {
            next.push_back({following, ctx.sizes()[k]});
            following += ctx.sizes()[k] & kBlockSizeMask;
        }
        readAhead(next);
        std::memcpy(dest, data->data() + within, static_cast<size_t>(n));
        pos += n;
    }
}

ContentRange ContentReader::nextData(uint64_t ref, const std::string& name, uint64_t offset) {
    Lease lease(*this);
    Context& ctx = *lease;
    if (ctx.ref != ref)
        loadFile(ctx, ref, name);
    const uint64_t bs = super_.block_size;
    const uint64_t size = ctx.info.size;
    uint64_t index = offset / bs;
    while (index < ctx.blocks && isHole(ctx.sizes()[index]))
        ++index;
    if (index >= ctx.blocks) {
        const uint64_t tailStart = ctx.blocks * bs;
        if (tailStart < size)
            return {std::max(offset, tailStart), size};
        return {size, size};
    }
    const uint64_t limit = index + std::max<uint64_t>(1, kLongestRange / bs);
    uint64_t last = index;
    while (last < ctx.blocks && last < limit && !isHole(ctx.sizes()[last]))
        ++last;
    const uint64_t end = last >= ctx.blocks ? size : std::min(size, last * bs);
    return {std::max(offset, index * bs), end};
}

} // namespace korvane::squashfs
