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

bool isHole(uint32_t word) {
    return (word & kBlockSizeMask) == 0;
}

} // namespace

struct ContentReader::Context {
    MetaReaderHandle inodes;
    CompressorHandle cmp;
    // The file whose inode is loaded.
    uint64_t ref = kNone;
    InodeBuffer inode;
    InodeInfo info;
    uint64_t blocks = 0;
    std::vector<uint64_t> checkpoints;
    // The data block unpacked last.
    uint64_t blockAt = kNone;
    uint32_t blockWord = 0;
    size_t blockBytes = 0;
    Bytes block;
    Bytes packed;

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
    : super_(super), file_(file), cmp_(cmp), frags_(frags) {}

ContentReader::~ContentReader() = default;

std::unique_ptr<ContentReader::Context> ContentReader::newContext() {
    auto ctx = std::make_unique<Context>();
    ctx->inodes.reset(sqfs_meta_reader_create(file_.file(), cmp_, super_.inode_table_start,
                                              super_.directory_table_start));
    ctx->cmp.reset(static_cast<sqfs_compressor_t*>(sqfs_copy(cmp_)));
    if (!ctx->inodes || !ctx->cmp)
        throw Error(sqfsMessage(SQFS_ERROR_ALLOC));
    ctx->block.resize(super_.block_size);
    ctx->packed.resize(super_.block_size);
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

int64_t ContentReader::unpack(Context& ctx, uint64_t location, uint32_t sizeWord, std::byte* out) {
    const uint32_t stored = sizeWord & kBlockSizeMask;
    if (stored > super_.block_size)
        return SQFS_ERROR_CORRUPTED;
    if (sizeWord & kBlockUncompressed)
        return file_.read(location, MutableByteSpan(out, stored)) ? int64_t{stored}
                                                                  : int64_t{SQFS_ERROR_IO};
    if (!file_.read(location, MutableByteSpan(ctx.packed.data(), stored)))
        return SQFS_ERROR_IO;
    const sqfs_s32 got =
        ctx.cmp->do_block(ctx.cmp.get(), reinterpret_cast<const sqfs_u8*>(ctx.packed.data()),
                          stored, reinterpret_cast<sqfs_u8*>(out), super_.block_size);
    return got > 0 ? got : (got < 0 ? got : SQFS_ERROR_CORRUPTED);
}

std::shared_ptr<const Bytes> ContentReader::fragmentBlock(Context& ctx, uint32_t index,
                                                          const std::string& name) {
    {
        std::lock_guard lock(fragmentsMutex_);
        auto it = fragments_.find(index);
        if (it != fragments_.end()) {
            fragmentOrder_.splice(fragmentOrder_.begin(), fragmentOrder_, it->second.place);
            return it->second.bytes;
        }
    }
    sqfs_fragment_t where{};
    int64_t got = frags_ ? sqfs_frag_table_lookup(frags_, index, &where) : SQFS_ERROR_OUT_OF_BOUNDS;
    auto bytes = std::make_shared<Bytes>(super_.block_size);
    if (got == 0)
        got = unpack(ctx, where.start_offset, where.size, bytes->data());
    if (got < 0)
        throw Error(withReason(msg("the fragment block holding the end of %1 cannot be read", name),
                               sqfsMessage(static_cast<int>(got))));
    bytes->resize(static_cast<size_t>(got));
    std::lock_guard lock(fragmentsMutex_);
    auto [it, fresh] = fragments_.try_emplace(index);
    if (fresh) {
        fragmentOrder_.push_front(index);
        it->second = {std::move(bytes), fragmentOrder_.begin()};
        fragmentBytes_ += it->second.bytes->size();
        while (fragmentBytes_ > kFragmentCacheBytes && fragmentOrder_.size() > 1) {
            auto last = fragments_.find(fragmentOrder_.back());
            fragmentBytes_ -= last->second.bytes->size();
            fragments_.erase(last);
            fragmentOrder_.pop_back();
        }
    }
    return it->second.bytes;
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
    for (uint64_t pos = offset; pos < end;) {
        std::byte* dest = out.data() + (pos - offset);
        const uint64_t index = pos / bs;
        if (pos >= size) { // the entry claims more than the inode holds
            std::memset(dest, 0, static_cast<size_t>(end - pos));
            break;
        }
        if (index >= ctx.blocks) {
            if (!ctx.info.hasFragment())
                throw Error(msg("the end of %1 lies outside its fragment block", name));
            const auto frag = fragmentBlock(ctx, ctx.info.fragment, name);
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
        if (ctx.blockAt != at || ctx.blockWord != word) {
            ctx.blockAt = kNone;
            const int64_t got = unpack(ctx, at, word, ctx.block.data());
            if (got < 0)
                throw Error(withReason(msg("block %1 of %2 cannot be read", index, name),
                                       sqfsMessage(static_cast<int>(got))));
            const uint64_t expected = std::min(bs, size - index * bs);
            if (static_cast<uint64_t>(got) != expected)
                throw Error(msg("block %1 of %2 holds %3 bytes where %4 belong", index, name, got,
                                expected));
            ctx.blockAt = at;
            ctx.blockWord = word;
            ctx.blockBytes = static_cast<size_t>(got);
        }
        std::memcpy(dest, ctx.block.data() + within, static_cast<size_t>(n));
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
