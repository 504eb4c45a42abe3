#include "saveas.h"

#include "ext/ext_writer.h"
#include "model/error.h"

namespace korvane {

bool saveas(Timg& img, const std::string& path, SaveKind kind, const SaveParams& params,
            std::vector<Message>* warnings) {
    const uint8_t flag = kind == kSaveYaffs2 ? kFlagYaffsSave : kFlagExtSave;
    JobReporter rep(img.onwk, flag);
    rep.send(0, 0, 1, "保存中");
    bool done = false;
    try {
        if (kind == kSaveYaffs2)
            done = writeYaffs2(img, path, params, rep, warnings);
        else
            done = WriteExtImage(img, path, kind == kSaveExt3, rep, warnings);
    } catch (...) {
        rep.send(0, 0, 6, "完成");
        throw;
    }
    rep.send(0, 0, 6, "完成");
    return done;
}

} // namespace korvane
