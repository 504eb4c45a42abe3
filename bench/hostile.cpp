// korvane-hostile: makes YAFFS2 images that claim more than they hold, for
// the memory benchmark: a file header claiming 4 GiB over one data chunk, or
// folders nested LEVELS deep with 250-byte names.
#include "support/yaffs2_builder.h"

#include <CLI/CLI.hpp>

using namespace korvane;
using namespace korvane::test;

int main(int argc, char** argv) {
    CLI::App app{"Make hostile YAFFS2 images for the memory benchmark."};
    std::string out;
    size_t levels = 0;
    app.add_option("--out", out, "Image to write")->required();
    app.add_option("--nested", levels, "Folders inside one another (default: a 4 GiB claim)");
    CLI11_PARSE(app, argc, argv);

    Yaffs2Builder b;
    b.root();
    if (levels == 0) {
        yaffs2::ObjectHeader h = Yaffs2Builder::make(yaffs2::kHdrFile, 1, "claims", 0100644);
        h.fileSize = 0xFFFFFFFF;
        b.header(258, h);
        b.data(258, 1, pattern(100, 1));
    } else {
        for (uint32_t i = 0; i < levels; ++i)
            b.dir(258 + i, i == 0 ? 1 : 257 + i,
                  std::string(244, 'd') + std::to_string(100000 + i));
    }
    b.save(out);
    return 0;
}
