// What korvane-cli says on stderr while it works: a progress bar for the work
// events of long jobs, drawn only when stderr is a terminal, and with
// --verbose a line for each step.
#pragma once

#include "model/work.h"

#include <chrono>
#include <string>

namespace korvane::cli {

// --quiet: errors only; the default: errors, warnings and the bar on a
// terminal; --verbose: also a line for each step of the work.
enum class Verbosity { kQuiet, kNormal, kVerbose };
void setVerbosity(Verbosity v);
Verbosity verbosity();

class TerminalProgress : public WorkSink {
public:
    TerminalProgress();
    ~TerminalProgress() override;
    void report(int64_t pos, int64_t max, int kind, const Message& message, uint8_t flag) override;
    // Removes the bar, at the end of a job.
    void clear();

private:
    void logStep(int kind, const Message& message, uint8_t flag);

    bool enabled_;
    bool drawn_ = false;
    bool verbose_;
    std::chrono::steady_clock::time_point start_;
    int lastKind_ = -1;
    int lastFlag_ = -1;
    std::string lastStep_;
};

} // namespace korvane::cli
