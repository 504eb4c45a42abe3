// The JFFS2 row of the format registry.
#pragma once

#include "fs/registry.h"
#include "jffs2_writer.h"

namespace korvane {

const FormatRow& jffs2FormatRow();

// What a save request asks of the JFFS2 writer: the source image's geometry
// when it is saved like its source and is a JFFS2 image, the defaults of
// mkfs.jffs2 otherwise, and the request's options over either. Throws Error
// for an option value the writer cannot take.
Jffs2SaveParams jffs2ParamsOf(const Timg& img, const SaveRequest& req,
                              std::vector<Message>* warnings = nullptr);

} // namespace korvane
