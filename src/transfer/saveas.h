// Saving the tree as a new image, in any format the registry can write.
#pragma once

#include "fs/registry.h"
#include "model/timg.h"

#include <string>
#include <vector>

namespace korvane {

// Writes img's whole tree as req says (req.type names a save type of the
// registry). Sends "保存中" first and "完成" last (with the writer's job
// flag), also when the writer fails. Returns false when the image's cancel
// flag stopped the save; then no file is left behind and an existing file at
// req.path is untouched. Throws Error with a message for the user when the
// tree cannot be saved in that format or the file cannot be written; nothing
// is written then either. What the format holds only in part (times out of
// its range) is added to warnings, when given, naming the object. A sparse
// request of a format whose writer makes only plain images writes the plain
// image beside the target first and converts it.
bool saveas(Timg& img, const SaveRequest& req, std::vector<Message>* warnings = nullptr);

// The request that saves img as it is: its own save type, likeSource, and
// sparse when it was read through an Android sparse layer. Throws Error
// when its format has no writer.
SaveRequest sameAsSource(const Timg& img, std::string path);

} // namespace korvane
