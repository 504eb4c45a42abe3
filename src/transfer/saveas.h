// Saving the tree as a new image, in any of the formats Korvane writes.
#pragma once

#include "fs/ext/ext_writer.h"
#include "model/timg.h"
#include "fs/yaffs2/yaffs2_writer.h"

#include <string>
#include <vector>

namespace korvane {

enum SaveKind : uint8_t { kSaveYaffs2 = 0, kSaveExt2 = 1, kSaveExt3 = 2, kSaveExt4 = 3 };

// "YAFFS2", "EXT2", "EXT3", "EXT4".
const char* saveKindName(SaveKind kind);

// Writes the whole tree to path as the given kind. Sends "保存中" first and
// "完成" last (flag 4 for YAFFS2, 5 for EXT), also when the writer fails.
// Returns false when the image's cancel flag stopped the save; then no file is
// left behind and an existing file at path is untouched. Throws Error with a
// message for the user when the tree cannot be saved in that format or the
// file cannot be written; nothing is written then either. What the format
// holds only in part (times out of its range) is added to warnings, when
// given, naming the object. ext holds the choices for EXT images (geometry,
// keeping the source's, Android sparse output); a YAFFS2 save refuses sparse
// output.
bool saveas(Timg& img, const std::string& path, SaveKind kind, const SaveParams& params,
            std::vector<Message>* warnings = nullptr);
bool saveas(Timg& img, const std::string& path, SaveKind kind, const SaveParams& params,
            const ExtSaveParams& ext, std::vector<Message>* warnings = nullptr);

} // namespace korvane
