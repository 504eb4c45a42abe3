#include "work.h"

namespace korvane {

namespace {
constexpr auto kInterval = std::chrono::milliseconds(33);
}

void JobReporter::send(int64_t pos, int64_t max, int kind, const Message& message) {
    lastKind_ = kind;
    last_ = std::chrono::steady_clock::now();
    if (sink_)
        sink_->report(pos, max, kind, message, flag_);
}

bool JobReporter::due(int64_t pos, int64_t max, int kind) {
    if (!sink_)
        return false;
    // A max of 0 is a total not known: the end is not reached.
    if (kind != lastKind_ || (max > 0 && pos >= max))
        return true;
    return std::chrono::steady_clock::now() - last_ >= kInterval;
}

} // namespace korvane
