// LZO for SquashFS: the algorithms mksquashfs offers (lzo1x_1, _1_11, _1_12,
// _1_15 and lzo1x_999 with a level), their options record after the
// superblock (algorithm and level, u32 each), and safe decompression.
#include "compressors.h"
#include "model/bytes.h"
#include "squashfs_format.h"

#include <algorithm>
#include <lzo/lzo1x.h>
#include <mutex>
#include <vector>

namespace korvane::squashfs {

namespace {

constexpr uint32_t kOptionsSize = 8;
// What lzo1x_*_compress may write at worst for n bytes.
constexpr size_t worstCase(size_t n) {
    return n + n / 16 + 64 + 3;
}

struct Algorithm {
    int (*compress)(const lzo_bytep, lzo_uint, lzo_bytep, lzo_uintp, lzo_voidp);
    size_t workBytes;
};

// Indexed by the algorithm number SquashFS stores (SQFS_LZO_ALGORITHM).
const Algorithm kAlgorithms[] = {
    {lzo1x_1_compress, LZO1X_1_MEM_COMPRESS},       {lzo1x_1_11_compress, LZO1X_1_11_MEM_COMPRESS},
    {lzo1x_1_12_compress, LZO1X_1_12_MEM_COMPRESS}, {lzo1x_1_15_compress, LZO1X_1_15_MEM_COMPRESS},
    {lzo1x_999_compress, LZO1X_999_MEM_COMPRESS},
};

bool validSettings(uint32_t algorithm, uint32_t level) {
    if (algorithm >= std::size(kAlgorithms))
        return false;
    return algorithm == SQFS_LZO1X_999 ? level >= 1 && level <= SQFS_LZO_MAX_LEVEL : level == 0;
}

class LzoCompressor {
public:
    LzoCompressor(uint32_t blockSize, uint32_t algorithm, uint32_t level, bool uncompress)
        : blockSize_(blockSize), algorithm_(algorithm), level_(level), uncompress_(uncompress) {
        adapter_.owner = this;
        sqfs_compressor_t& c = adapter_.base;
        c.base.destroy = destroy;
        c.base.copy = copy;
        c.get_configuration = configuration;
        c.write_options = writeOptions;
        c.read_options = readOptions;
        c.do_block = uncompress ? decompressBlock : compressBlock;
        allocate();
    }
    LzoCompressor(const LzoCompressor& other)
        : LzoCompressor(other.blockSize_, other.algorithm_, other.level_, other.uncompress_) {}
    LzoCompressor& operator=(const LzoCompressor&) = delete;

    sqfs_compressor_t* get() { return &adapter_.base; }

private:
    struct Adapter {
        sqfs_compressor_t base; // first: the library sees only this
        LzoCompressor* owner;
    };
    static_assert(std::is_standard_layout_v<Adapter>);

    static LzoCompressor& of(const void* c) { return *static_cast<const Adapter*>(c)->owner; }

    // Work memory for compressing, and room for the worst case of a block
    // (liblzo checks no output bounds when compressing).
    void allocate() {
        if (uncompress_)
            return;
        work_.assign(kAlgorithms[algorithm_].workBytes, 0);
        output_.assign(worstCase(std::max(blockSize_, kMetaBlockSize)), 0);
    }

    static void destroy(sqfs_object_t* o) { delete &of(o); }

    static sqfs_object_t* copy(const sqfs_object_t* o) {
        try { // no exception may cross the library's C code
            return &(new LzoCompressor(of(o)))->get()->base;
        } catch (...) {
            return nullptr;
        }
    }

    static void configuration(const sqfs_compressor_t* c, sqfs_compressor_config_t* cfg) {
        const LzoCompressor& self = of(c);
        *cfg = sqfs_compressor_config_t{};
        cfg->id = SQFS_COMP_LZO;
        cfg->block_size = self.blockSize_;
        cfg->level = self.level_;
        cfg->opt.lzo.algorithm = static_cast<sqfs_u16>(self.algorithm_);
        if (self.uncompress_)
            cfg->flags |= SQFS_COMP_FLAG_UNCOMPRESS;
    }

    // The options are stored only where they differ from mksquashfs's
    // defaults, as mksquashfs stores them.
    static int writeOptions(sqfs_compressor_t* c, sqfs_file_t* file) {
        const LzoCompressor& self = of(c);
        if (self.algorithm_ == SQFS_LZO_DEFAULT_ALG && self.level_ == SQFS_LZO_DEFAULT_LEVEL)
            return 0;
        std::byte record[2 + kOptionsSize];
        store16(record, static_cast<uint16_t>(kMetaUncompressed | kOptionsSize));
        store32(record + 2, self.algorithm_);
        store32(record + 6, self.algorithm_ == SQFS_LZO1X_999 ? self.level_ : 0);
        const int ret = file->write_at(file, sb::kSize, record, sizeof record);
        return ret ? ret : static_cast<int>(sizeof record);
    }

    static int readOptions(sqfs_compressor_t* c, sqfs_file_t* file) {
        LzoCompressor& self = of(c);
        std::byte record[2 + kOptionsSize];
        if (const int ret = file->read_at(file, sb::kSize, record, sizeof record))
            return ret;
        if (load16(record) != (kMetaUncompressed | kOptionsSize))
            return SQFS_ERROR_CORRUPTED;
        const uint32_t algorithm = load32(record + 2);
        const uint32_t level = load32(record + 6);
        if (!validSettings(algorithm, level))
            return SQFS_ERROR_UNSUPPORTED;
        self.algorithm_ = algorithm;
        self.level_ = level;
        try {
            self.allocate();
        } catch (...) {
            return SQFS_ERROR_ALLOC;
        }
        return 0;
    }

    // The compressed block, or 0 when it would not be smaller (the block is
    // then stored as it is).
    static sqfs_s32 compressBlock(sqfs_compressor_t* c, const sqfs_u8* in, sqfs_u32 size,
                                  sqfs_u8* out, sqfs_u32 outsize) {
        LzoCompressor& self = of(c);
        if (size > std::max(self.blockSize_, kMetaBlockSize))
            return SQFS_ERROR_ARG_INVALID;
        lzo_uint len = self.output_.size();
        int ret;
        if (self.algorithm_ == SQFS_LZO1X_999 && self.level_ != SQFS_LZO_DEFAULT_LEVEL)
            ret = lzo1x_999_compress_level(in, size, self.output_.data(), &len, self.work_.data(),
                                           nullptr, 0, nullptr, static_cast<int>(self.level_));
        else
            ret = kAlgorithms[self.algorithm_].compress(in, size, self.output_.data(), &len,
                                                        self.work_.data());
        if (ret != LZO_E_OK)
            return SQFS_ERROR_COMPRESSOR;
        if (len >= size || len > outsize)
            return 0;
        std::copy_n(self.output_.data(), len, out);
        return static_cast<sqfs_s32>(len);
    }

    static sqfs_s32 decompressBlock(sqfs_compressor_t*, const sqfs_u8* in, sqfs_u32 size,
                                    sqfs_u8* out, sqfs_u32 outsize) {
        lzo_uint len = outsize;
        if (lzo1x_decompress_safe(in, size, out, &len, nullptr) != LZO_E_OK)
            return SQFS_ERROR_COMPRESSOR;
        return static_cast<sqfs_s32>(len);
    }

    Adapter adapter_{};
    uint32_t blockSize_;
    uint32_t algorithm_;
    uint32_t level_;
    bool uncompress_;
    std::vector<unsigned char> work_;
    std::vector<unsigned char> output_;
};

} // namespace

int createLzoCompressor(const sqfs_compressor_config_t& cfg, sqfs_compressor_t** out) {
    *out = nullptr;
    static std::once_flag once;
    static int init = LZO_E_OK;
    std::call_once(once, [] { init = lzo_init(); });
    if (init != LZO_E_OK)
        return SQFS_ERROR_INTERNAL;
    if ((cfg.flags & ~SQFS_COMP_FLAG_GENERIC_ALL) != 0 ||
        !validSettings(cfg.opt.lzo.algorithm, cfg.level))
        return SQFS_ERROR_UNSUPPORTED;
    try {
        auto* c = new LzoCompressor(cfg.block_size, cfg.opt.lzo.algorithm, cfg.level,
                                    (cfg.flags & SQFS_COMP_FLAG_UNCOMPRESS) != 0);
        *out = c->get();
        return 0;
    } catch (...) {
        return SQFS_ERROR_ALLOC;
    }
}

} // namespace korvane::squashfs
