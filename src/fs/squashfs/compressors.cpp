#include "compressors.h"

#include "model/error.h"
#include "squashfs_format.h"

#include <iterator>

namespace korvane::squashfs {

namespace {

struct Named {
    uint16_t id;
    const char* name;
};

const Named kCompressors[] = {
    {SQFS_COMP_GZIP, "gzip"}, {SQFS_COMP_LZMA, "lzma"}, {SQFS_COMP_LZO, "lzo"},
    {SQFS_COMP_XZ, "xz"},     {SQFS_COMP_LZ4, "lz4"},   {SQFS_COMP_ZSTD, "zstd"},
};

struct LevelRange {
    uint16_t id;
    uint32_t min;
    uint32_t max;
};

const LevelRange kLevels[] = {
    {SQFS_COMP_GZIP, SQFS_GZIP_MIN_LEVEL, SQFS_GZIP_MAX_LEVEL},
    {SQFS_COMP_LZMA, SQFS_LZMA_MIN_LEVEL, SQFS_LZMA_MAX_LEVEL},
    {SQFS_COMP_LZO, 1, SQFS_LZO_MAX_LEVEL}, // lzo1x_999's levels
    {SQFS_COMP_XZ, SQFS_XZ_MIN_LEVEL, SQFS_XZ_MAX_LEVEL},
    {SQFS_COMP_ZSTD, SQFS_ZSTD_MIN_LEVEL, SQFS_ZSTD_MAX_LEVEL},
};

// A compressor that stores a block as it is when packing would not make it
// smaller. The library's LZ4 hands back a packed block of 5 bytes for 4 (a
// table of one owner), which unsquashfs refuses to read.
class SmallerOnly {
public:
    explicit SmallerOnly(CompressorHandle inner) : inner_(std::move(inner)) {
        adapter_.owner = this;
        sqfs_compressor_t& c = adapter_.base;
        c.base.destroy = [](sqfs_object_t* o) { delete &of(o); };
        c.base.copy = copy;
        c.get_configuration = [](const sqfs_compressor_t* self, sqfs_compressor_config_t* cfg) {
            const sqfs_compressor_t* in = of(self).inner_.get();
            in->get_configuration(in, cfg);
        };
        c.write_options = [](sqfs_compressor_t* self, sqfs_file_t* file) {
            sqfs_compressor_t* in = of(self).inner_.get();
            return in->write_options(in, file);
        };
        c.read_options = [](sqfs_compressor_t* self, sqfs_file_t* file) {
            sqfs_compressor_t* in = of(self).inner_.get();
            return in->read_options(in, file);
        };
        c.do_block = compress;
    }

    sqfs_compressor_t* release() { return &adapter_.base; }

private:
    struct Adapter {
        sqfs_compressor_t base; // first: the library sees only this
        SmallerOnly* owner;
    };
    static_assert(std::is_standard_layout_v<Adapter>);

    static SmallerOnly& of(const void* c) { return *static_cast<const Adapter*>(c)->owner; }

    static sqfs_object_t* copy(const sqfs_object_t* o) {
        try { // no exception may cross the library's C code
            CompressorHandle inner(static_cast<sqfs_compressor_t*>(sqfs_copy(of(o).inner_.get())));
            return inner ? &(new SmallerOnly(std::move(inner)))->release()->base : nullptr;
        } catch (...) {
            return nullptr;
        }
    }

    static sqfs_s32 compress(sqfs_compressor_t* self, const sqfs_u8* in, sqfs_u32 size,
                             sqfs_u8* out, sqfs_u32 outsize) {
        sqfs_compressor_t* inner = of(self).inner_.get();
        const sqfs_s32 ret = inner->do_block(inner, in, size, out, outsize);
        return ret > 0 && static_cast<sqfs_u32>(ret) >= size ? 0 : ret;
    }

    Adapter adapter_{};
    CompressorHandle inner_;
};

void addFlag(std::string& text, uint16_t flags, uint16_t bit, const char* name) {
    if (flags & bit)
        text += std::string(text.empty() ? "" : " ") + name;
}

} // namespace

const char* compressorName(uint16_t id) {
    for (const Named& c : kCompressors)
        if (c.id == id)
            return c.name;
    return "unknown";
}

std::optional<uint16_t> compressorNamed(std::string_view name) {
    for (const Named& c : kCompressors)
        if (name == c.name)
            return c.id;
    return std::nullopt;
}

CompressorHandle makeCompressor(const sqfs_compressor_config_t& cfg) {
    sqfs_compressor_t* raw = nullptr;
    const int ret = cfg.id == SQFS_COMP_LZO ? createLzoCompressor(cfg, &raw)
                                            : sqfs_compressor_create(&cfg, &raw);
    CompressorHandle c(raw);
    if (ret != 0 || !c)
        throw Error(withReason(msg("cannot use the %1 compressor", compressorName(cfg.id)),
                               sqfsMessage(ret ? ret : SQFS_ERROR_ALLOC)));
    if (cfg.flags & SQFS_COMP_FLAG_UNCOMPRESS)
        return c;
    return CompressorHandle((new SmallerOnly(std::move(c)))->release());
}

CompressorHandle openDecompressor(const sqfs_super_t& super, sqfs_file_t* file) {
    sqfs_compressor_config_t cfg;
    const auto id = static_cast<SQFS_COMPRESSOR>(super.compression_id);
    if (sqfs_compressor_config_init(&cfg, id, super.block_size, SQFS_COMP_FLAG_UNCOMPRESS) != 0)
        throw Error(msg("the image is compressed with %1, which Korvane cannot read",
                        compressorName(super.compression_id)));
    CompressorHandle c = makeCompressor(cfg);
    if (super.flags & SQFS_FLAG_COMPRESSOR_OPTIONS) {
        const int ret = c->read_options(c.get(), file);
        if (ret < 0)
            throw Error(withReason(msg("the options of the %1 compressor after the superblock "
                                       "cannot be read",
                                       compressorName(super.compression_id)),
                                   sqfsMessage(ret)));
    }
    return c;
}

sqfs_compressor_config_t imageCompressorSettings(const sqfs_super_t& super, sqfs_file_t* file,
                                                 const sqfs_compressor_t* decompressor) {
    sqfs_compressor_config_t cfg{};
    decompressor->get_configuration(decompressor, &cfg);
    cfg.flags &= ~SQFS_COMP_FLAG_UNCOMPRESS;
    if (!(super.flags & SQFS_FLAG_COMPRESSOR_OPTIONS))
        return cfg;
    std::byte record[copt::kLz4Size]{};
    const size_t size = cfg.id == SQFS_COMP_ZSTD ? copt::kZstdSize : copt::kLz4Size;
    if ((cfg.id != SQFS_COMP_ZSTD && cfg.id != SQFS_COMP_LZ4) ||
        file->read_at(file, copt::kRecord, record, size) != 0)
        return cfg;
    if (cfg.id == SQFS_COMP_ZSTD) {
        const uint32_t level = load32(record + copt::kZstdLevel);
        if (level >= SQFS_ZSTD_MIN_LEVEL && level <= SQFS_ZSTD_MAX_LEVEL)
            cfg.level = level;
    } else if (load32(record + copt::kLz4Flags) & copt::kLz4HighCompression) {
        cfg.flags |= SQFS_COMP_FLAG_LZ4_HC;
    }
    return cfg;
}

sqfs_compressor_config_t compressorConfig(uint16_t id, uint32_t blockSize,
                                          std::optional<uint32_t> level) {
    sqfs_compressor_config_t cfg;
    if (sqfs_compressor_config_init(&cfg, static_cast<SQFS_COMPRESSOR>(id), blockSize, 0) != 0)
        throw Error(
            msg("Korvane cannot write SquashFS images compressed with %1", compressorName(id)));
    if (!level)
        return cfg;
    for (const LevelRange& r : kLevels) {
        if (r.id != id)
            continue;
        if (*level < r.min || *level > r.max)
            throw Error(msg("--comp-level: %1 takes levels from %2 to %3, not %4",
                            compressorName(id), r.min, r.max, *level));
        cfg.level = *level;
        return cfg;
    }
    throw Error(msg("--comp-level: %1 takes no level", compressorName(id)));
}

std::string compressorSettings(const sqfs_compressor_config_t& cfg, bool optionsStored) {
    std::string flags;
    switch (cfg.id) {
    case SQFS_COMP_GZIP:
        addFlag(flags, cfg.flags, SQFS_COMP_FLAG_GZIP_FILTERED, "filtered");
        addFlag(flags, cfg.flags, SQFS_COMP_FLAG_GZIP_HUFFMAN, "huffman");
        addFlag(flags, cfg.flags, SQFS_COMP_FLAG_GZIP_RLE, "rle");
        addFlag(flags, cfg.flags, SQFS_COMP_FLAG_GZIP_FIXED, "fixed");
        return optionsStored ? "level " + std::to_string(cfg.level) + ", window " +
                                   std::to_string(cfg.opt.gzip.window_size) +
                                   (flags.empty() ? "" : ", strategies " + flags)
                             : "";
    case SQFS_COMP_XZ:
    case SQFS_COMP_LZMA:
        addFlag(flags, cfg.flags, SQFS_COMP_FLAG_XZ_X86, "x86");
        addFlag(flags, cfg.flags, SQFS_COMP_FLAG_XZ_POWERPC, "powerpc");
        addFlag(flags, cfg.flags, SQFS_COMP_FLAG_XZ_IA64, "ia64");
        addFlag(flags, cfg.flags, SQFS_COMP_FLAG_XZ_ARM, "arm");
        addFlag(flags, cfg.flags, SQFS_COMP_FLAG_XZ_ARMTHUMB, "armthumb");
        addFlag(flags, cfg.flags, SQFS_COMP_FLAG_XZ_SPARC, "sparc");
        addFlag(flags, cfg.flags, SQFS_COMP_FLAG_XZ_EXTREME, "extreme");
        return optionsStored ? "dictionary " + std::to_string(cfg.opt.xz.dict_size) +
                                   (flags.empty() ? "" : ", filters " + flags)
                             : "";
    case SQFS_COMP_LZ4:
        return (cfg.flags & SQFS_COMP_FLAG_LZ4_HC) ? "high compression" : "";
    case SQFS_COMP_ZSTD:
        return optionsStored ? "level " + std::to_string(cfg.level) : "";
    case SQFS_COMP_LZO: {
        static const char* const kNames[] = {"lzo1x_1", "lzo1x_1_11", "lzo1x_1_12", "lzo1x_1_15",
                                             "lzo1x_999"};
        const uint16_t a = cfg.opt.lzo.algorithm;
        std::string text = a < std::size(kNames) ? kNames[a] : "algorithm " + std::to_string(a);
        return a == SQFS_LZO1X_999 ? text + " level " + std::to_string(cfg.level) : text;
    }
    default:
        return "";
    }
}

} // namespace korvane::squashfs
