// A progress bar on stderr for the work events of long jobs, drawn only when
// stderr is a terminal.
#pragma once

#include "model/work.h"

namespace korvane::cli {

class TerminalProgress : public WorkSink {
public:
    TerminalProgress();
    ~TerminalProgress() override;
    void report(int64_t pos, int64_t max, int kind, const Message& message, uint8_t flag) override;
    // Removes the bar, at the end of a job.
    void clear();

private:
    bool enabled_;
    bool drawn_ = false;
};

} // namespace korvane::cli
