#include "erofs_format_row.h"

#include "erofs_writer.h"
#include "model/error.h"
#include "super.h"
#include "terofsobj.h"

namespace korvane {

namespace {

const SaveType kSaveTypes[] = {
    {"erofs", "EROFS 镜像"},
};

const FormatOption kOptions[] = {
    {"compress", "ALG[,LEVEL]",
     "EROFS: none, lz4 or lz4hc[,1-12] (default: as the source image, else none)"},
    {"uuid", "UUID", "EROFS: filesystem UUID, or random"},
    {"label", "TEXT", "EROFS: volume name (at most 16 bytes)"},
    {"timestamp", "SECONDS",
     "EROFS: build time (Unix seconds); fixed, it makes the image "
     "reproducible"},
    {"block-size", "N", "EROFS: block size (4096 only)"},
};

std::unique_ptr<Timg> makeErofs(const OpenOptions&) {
    return std::make_unique<Terofsobj>();
}

const char* ownType(const Timg&) {
    return "erofs";
}

bool writeErofs(Timg& img, const SaveRequest& req, JobReporter& rep,
                std::vector<Message>* warnings) {
    return WriteErofsImage(img, req.path, erofsParamsOf(img, req), rep, warnings);
}

} // namespace

Probe probeErofs(const ProbeInput& in) {
    using namespace erofs;
    if (in.head.size() < kSuperOffset + sb::kSize)
        return {kProbeNone, msg("not an EROFS image: %1 bytes are too few to hold a superblock",
                                in.head.size())};
    if (load32(in.head.data() + kSuperOffset + sb::kMagic) != kMagic)
        return {kProbeNone, msg("not an EROFS image: no EROFS magic at byte 1024")};
    try {
        const Superblock s = loadSuperblock(in.head);
        if ((s.blocks << s.blockBits) > in.source.size() || s.blocks == 0)
            return {kProbeSignature,
                    msg("the EROFS superblock magic, but its %1 blocks of %2 bytes do not fit "
                        "the %3 bytes there are",
                        s.blocks, s.blockSize, in.source.size())};
        if ((s.compat & kCompatSbChecksum) && s.checksumOk)
            return {kProbeVerified, msg("an EROFS superblock whose checksum verifies and whose "
                                        "geometry fits the image")};
        return {kProbeStructure, msg("an EROFS superblock whose geometry fits the image")};
    } catch (const Error& e) {
        return {kProbeSignature, msg("the EROFS superblock magic, but %1", e.message())};
    }
}

const FormatRow& erofsFormatRow() {
    static const FormatRow row{
        .name = "erofs",
        .title = "EROFS",
        .role = FormatRole::kFilesystem,
        .probe = probeErofs,
        .make = makeErofs,
        .saveTypes = kSaveTypes,
        .ownSaveType = ownType,
        .write = writeErofs,
        .options = kOptions,
        .saveFlag = kFlagSave,
    };
    return row;
}

} // namespace korvane
