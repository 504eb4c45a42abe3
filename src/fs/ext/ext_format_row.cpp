#include "ext_format_row.h"

#include "ext_writer.h"
#include "model/error.h"
#include "superblock.h"
#include "text23obj.h"

namespace korvane {

namespace {

const SaveType kSaveTypes[] = {
    {"ext2", "EXT2 镜像"},
    {"ext3", "EXT3 镜像"},
    {"ext4", "EXT4 镜像"},
};

const FormatOption kOptions[] = {
    {"block-size", "N", "EXT: block size, 1024, 2048 or 4096", "1024|2048|4096"},
    {"inode-size", "N", "EXT: inode size, 128, 256, 512 or 1024", "128|256|512|1024"},
    {"inodes", "N", "EXT: at least this many inodes"},
    {"size", "SIZE", "EXT: image size (512M, 2G ...), or auto for what the tree needs"},
    {"label", "TEXT", "EXT: volume label (at most 16 bytes)"},
    {"uuid", "UUID", "EXT: filesystem UUID, or random"},
};

const char* ownType(const Timg& img) {
    const std::string f = img.formatName();
    return f == "EXT2" ? "ext2" : f == "EXT4" ? "ext4" : "ext3";
}

ExtKind kindOf(const std::string& type) {
    return type == "ext2" ? ExtKind::kExt2 : type == "ext3" ? ExtKind::kExt3 : ExtKind::kExt4;
}

bool writeExt(Timg& img, const SaveRequest& req, JobReporter& rep, std::vector<Message>* warnings) {
    return WriteExtImage(img, req.path, kindOf(req.type), extParamsOf(req), rep, warnings);
}

std::unique_ptr<Timg> makeExt(const OpenOptions&) {
    return std::make_unique<Text23obj>();
}

} // namespace

Probe probeExt(const ProbeInput& in) {
    using namespace ext2;
    if (in.head.size() < kSuperblockOffset + kSuperblockSize)
        return {kProbeNone,
                msg("not an EXT2/EXT3/EXT4 image: %1 bytes are too few to hold a superblock",
                    in.head.size())};
    try {
        const Superblock s = loadSuperblock(in.head.data() + kSuperblockOffset, in.source.size());
        if (s.metadataCsum() && s.csumOk)
            return {kProbeVerified, msg("an EXT superblock whose checksum verifies and whose "
                                        "geometry fits the image")};
        return {kProbeStructure, msg("an EXT superblock whose geometry fits the image")};
    } catch (const Error& e) {
        if (load16(in.head.data() + kSuperblockOffset + sb::kMagic) != kMagic)
            return {kProbeNone, e.message()};
        return {kProbeSignature, msg("the EXT superblock magic, but %1", e.message())};
    }
}

ExtSaveParams extParamsOf(const SaveRequest& req) {
    const FormatOptions& o = req.options;
    ExtSaveParams p;
    p.likeSource = req.likeSource;
    p.sparse = req.sparse;
    p.blockSize = static_cast<uint32_t>(optionNumber(o, "block-size", 1024, 4096).value_or(0));
    p.inodeSize = static_cast<uint32_t>(optionNumber(o, "inode-size", 128, 1024).value_or(0));
    p.inodes = optionNumber(o, "inodes", 1, UINT32_MAX).value_or(0);
    if (auto size = optionText(o, "size")) {
        if (*size == "auto") {
            p.sizeFromTree = true;
        } else {
            const std::optional<uint64_t> v = parseSize(*size);
            if (!v || *v == 0)
                throw Error(msg("--size takes a size such as 512M or 2G, or auto; not %1", *size));
            p.size = *v;
        }
    }
    p.label = optionText(o, "label");
    if (auto uuid = optionText(o, "uuid")) {
        if (*uuid == "random") {
            p.uuid = randomUuid();
        } else {
            p.uuid = parseUuid(*uuid);
            if (!p.uuid)
                throw Error(msg("--uuid takes a UUID such as 0123abcd-4567-89ab-cdef-0123456789ab, "
                                "or random; not %1",
                                *uuid));
        }
    }
    return p;
}

const FormatRow& extFormatRow() {
    static const FormatRow row{
        .name = "ext",
        .title = "EXT2/3/4",
        .role = FormatRole::kFilesystem,
        .probe = probeExt,
        .make = makeExt,
        .saveTypes = kSaveTypes,
        .ownSaveType = ownType,
        .write = writeExt,
        .options = kOptions,
        .describesFromHeaders = true,
        .saveFlag = kFlagExtSave,
        .writesSparse = true,
        .settingsPage = "ext",
    };
    return row;
}

} // namespace korvane
