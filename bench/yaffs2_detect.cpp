// korvane-detect-bench: how long finding the YAFFS2 layout of an image takes
// (the part of opening that detection adds), best of a number of runs.
#include "fs/yaffs2/detect.h"
#include "source/image_data.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

using namespace korvane;

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: korvane-detect-bench IMAGE [RUNS]\n");
        return 2;
    }
    const int runs = argc > 2 ? std::atoi(argv[2]) : 20;
    auto image = ImageData::mapFile(argv[1]);
    double best = 1e9;
    std::optional<yaffs2::Detection> found;
    for (int i = 0; i < runs; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        found = yaffs2::detectLayout(image->span());
        auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    if (found)
        std::printf("%.3f ms  %s, %d%% sure\n", best, yaffs2::describeLayout(found->layout).c_str(),
                    found->confidence);
    else
        std::printf("%.3f ms  refused\n", best);
    return 0;
}
