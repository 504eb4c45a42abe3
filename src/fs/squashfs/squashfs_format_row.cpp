#include "squashfs_format_row.h"

#include "compressors.h"
#include "model/error.h"
#include "squashfs_format.h"
#include "squashfs_inode.h"
#include "squashfs_volume.h"
#include "squashfs_writer.h"
#include "tsquashfsobj.h"

namespace korvane {

using namespace squashfs;

namespace {

const SaveType kSaveTypes[] = {
    {"squashfs", "SquashFS 镜像"},
};

const FormatOption kOptions[] = {
    {"comp", "ALG",
     "SquashFS: compressor, gzip, xz, lzo, lz4 or zstd (default: as the source image, else gzip)",
     "gzip|xz|lzo|lz4|zstd"},
    {"block-size", "N",
     "SquashFS: data block size, a power of two from 4096 to 1048576 (default: as the source "
     "image, else 131072)"},
    {"comp-level", "N",
     "SquashFS: compression level: gzip 1-9, xz 0-9, lzo 1-9, zstd 1-22 (default: as the "
     "source image, else the compressor's own)"},
    {"jobs", "N", "SquashFS: compressing threads (default: one a core)"},
};

const char* ownType(const Timg&) {
    return "squashfs";
}

std::unique_ptr<Timg> makeSquashfs(const OpenOptions&) {
    return std::make_unique<Tsquashfsobj>();
}

bool writeImage(Timg& img, const SaveRequest& req, JobReporter& rep,
                std::vector<Message>* warnings) {
    return writeSquashfs(img, req, rep, warnings);
}

// Whether the root inode decodes as a folder: a check of the inode table, of
// its compression and of the superblock's reference together.
bool rootIsFolder(const sqfs_super_t& s, SourceFile& file) {
    try {
        CompressorHandle cmp = openDecompressor(s, file.file());
        MetaReaderHandle inodes(sqfs_meta_reader_create(file.file(), cmp.get(), s.inode_table_start,
                                                        s.directory_table_start));
        InodeInfo root;
        return inodes && readInodeInfo(inodes.get(), s, s.root_inode_ref, root) == 0 &&
               root.isDir();
    } catch (const Error&) {
        return false;
    }
}

} // namespace

Probe probeSquashfs(const ProbeInput& in) {
    if (in.head.size() < sb::kSize)
        return {kProbeNone, msg("not a SquashFS image: %1 bytes are too few to hold a superblock",
                                in.head.size())};
    const uint32_t magic = load32(in.head.data() + sb::kMagic);
    if (magic != kMagic && magic != kMagicSwapped)
        return {kProbeNone, msg("no SquashFS superblock at byte 0")};
    SourceFile file(in.source);
    sqfs_super_t s;
    try {
        s = readSuperblock(file.file());
    } catch (const Error& e) {
        return {kProbeSignature, msg("the SquashFS superblock magic, but %1", e.message())};
    }
    if (s.bytes_used > in.source.size())
        return {kProbeSignature,
                msg("a SquashFS superblock, but the image is cut short: it holds %1 of its %2 "
                    "bytes",
                    in.source.size(), s.bytes_used)};
    if (rootIsFolder(s, file))
        return {kProbeVerified, msg("a SquashFS superblock whose tables fit the image and whose "
                                    "root inode is a folder")};
    return {kProbeStructure, msg("a SquashFS superblock whose tables fit the image")};
}

const FormatRow& squashfsFormatRow() {
    static const FormatRow row{
        .name = "squashfs",
        .title = "SquashFS",
        .role = FormatRole::kFilesystem,
        .probe = probeSquashfs,
        .make = makeSquashfs,
        .saveTypes = kSaveTypes,
        .ownSaveType = ownType,
        .write = writeImage,
        .options = kOptions,
        .saveFlag = kFlagSave,
    };
    return row;
}

} // namespace korvane
