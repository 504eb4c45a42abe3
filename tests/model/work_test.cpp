#include "model/work.h"

#include <gtest/gtest.h>

using namespace korvane;

namespace {

struct CountingSink : WorkSink {
    int events = 0;
    void report(int64_t, int64_t, int, const Message&, uint8_t) override { ++events; }
};

// A step's progress is coalesced: its first event and the one reaching the
// maximum go out, the rest about 30 a second. A step whose total is not known
// (a maximum of 0) is coalesced the same way rather than sent whole.
TEST(JobReporter, CoalescesProgressWithAndWithoutATotal) {
    for (int64_t max : {int64_t{10000}, int64_t{0}}) {
        CountingSink sink;
        JobReporter rep(&sink, 0);
        for (int64_t i = 1; i <= 10000; ++i)
            rep.progress(i, max, 2, msg("step"));
        EXPECT_GE(sink.events, max ? 2 : 1) << max;
        EXPECT_LE(sink.events, 10) << max;
    }
}

} // namespace
