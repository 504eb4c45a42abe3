#include "saveas.h"

#include "model/error.h"

namespace korvane {

const char* saveKindName(SaveKind kind) {
    switch (kind) {
    case kSaveYaffs2:
        return "YAFFS2";
    case kSaveExt2:
        return "EXT2";
    case kSaveExt3:
        return "EXT3";
    case kSaveExt4:
        return "EXT4";
    }
    return "";
}

bool saveas(Timg& img, const std::string& path, SaveKind kind, const SaveParams& params,
            std::vector<Message>* warnings) {
    return saveas(img, path, kind, params, ExtSaveParams{}, warnings);
}

bool saveas(Timg& img, const std::string& path, SaveKind kind, const SaveParams& params,
            const ExtSaveParams& ext, std::vector<Message>* warnings) {
    const uint8_t flag = kind == kSaveYaffs2 ? kFlagYaffsSave : kFlagExtSave;
    JobReporter rep(img.onwk, flag);
    rep.send(0, 0, 1, msg("Saving"));
    bool done = false;
    try {
        if (kind == kSaveYaffs2) {
            if (ext.sparse)
                throw Error("Android sparse images hold EXT filesystems, not YAFFS2");
            done = writeYaffs2(img, path, params, rep, warnings);
        } else {
            const ExtKind k = kind == kSaveExt2   ? ExtKind::kExt2
                              : kind == kSaveExt3 ? ExtKind::kExt3
                                                  : ExtKind::kExt4;
            done = WriteExtImage(img, path, k, ext, rep, warnings);
        }
    } catch (...) {
        rep.send(0, 0, 6, msg("Done"));
        throw;
    }
    rep.send(0, 0, 6, msg("Done"));
    return done;
}

} // namespace korvane
