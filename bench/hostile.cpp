// korvane-hostile: makes YAFFS2 images that claim more than they hold, for
// the memory benchmark: a file header claiming 4 GiB over one data chunk, or
// folders nested LEVELS deep with names of 250 bytes (or --name-bytes).
#include "support/yaffs2_builder.h"

#include <CLI/CLI.hpp>

using namespace korvane;
using namespace korvane::test;

int main(int argc, char** argv) {
    CLI::App app{"Make hostile YAFFS2 images for the memory benchmark."};
    std::string out;
    size_t levels = 0;
    size_t nameBytes = 250;
    app.add_option("--out", out, "Image to write")->required();
    app.add_option("--nested", levels, "Folders inside one another (default: a 4 GiB claim)");
    app.add_option("--name-bytes", nameBytes, "With --nested: bytes of each folder's name")
        ->check(CLI::Range(1, 255));
    CLI11_PARSE(app, argc, argv);

    Yaffs2Builder b;
    b.root();
    if (levels == 0) {
        yaffs2::ObjectHeader h = Yaffs2Builder::make(yaffs2::kHdrFile, 1, "claims", 0100644);
        h.fileSize = 0xFFFFFFFF;
        b.header(258, h);
        b.data(258, 1, pattern(100, 1));
    } else {
        for (uint32_t i = 0; i < levels; ++i) {
            // Distinct names where they are long enough to hold a number.
            const std::string number = std::to_string(100000 + i);
            std::string name(nameBytes, 'd');
            if (nameBytes > number.size())
                name.replace(nameBytes - number.size(), number.size(), number);
            b.dir(258 + i, i == 0 ? 1 : 257 + i, name);
        }
    }
    b.save(out);
    return 0;
}
