// Ctrl-C (and SIGTERM) during a job sets the image's cancel flag, so that the
// job can stop cleanly and remove what it started writing; the handler resets
// itself, so a second Ctrl-C ends the program at once.
#pragma once

#include <atomic>
#include <csignal>

namespace korvane::cli {

class InterruptCancels {
public:
    explicit InterruptCancels(std::atomic<int>& flag);
    ~InterruptCancels();
    InterruptCancels(const InterruptCancels&) = delete;
    InterruptCancels& operator=(const InterruptCancels&) = delete;

private:
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
};

} // namespace korvane::cli
