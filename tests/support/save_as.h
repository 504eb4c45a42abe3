// Saving in the tests: a save type by its registry name with the typed
// choices of the YAFFS2 and EXT writers, turned into the options a save
// request carries, so that every test save goes the way the app's and
// korvane-cli's do.
#pragma once

#include "fs/ext/ext_choice.h"
#include "fs/yaffs2/yaffs2_writer.h"
#include "transfer/saveas.h"

#include <string>
#include <vector>

namespace korvane::test {

// The request that saves img as type with these choices: a YAFFS2 type takes
// params.layout whole, an EXT type the choices of ext.
SaveRequest saveRequest(const std::string& path, const std::string& type,
                        const SaveParams& params = {}, const ExtSaveParams& ext = {});

bool saveas(Timg& img, const std::string& path, const std::string& type, const SaveParams& params,
            std::vector<Message>* warnings = nullptr);
bool saveas(Timg& img, const std::string& path, const std::string& type, const SaveParams& params,
            const ExtSaveParams& ext, std::vector<Message>* warnings = nullptr);

} // namespace korvane::test
