#include "interrupt.h"

namespace korvane::cli {

namespace {

std::atomic<int>* cancelFlag = nullptr;

extern "C" void onInterrupt(int) {
    if (cancelFlag)
        cancelFlag->store(1);
}

} // namespace

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler stores into it");

InterruptCancels::InterruptCancels(std::atomic<int>& flag) {
    cancelFlag = &flag;
    struct sigaction sa {};
    sa.sa_handler = onInterrupt;
    sa.sa_flags = SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, &oldInt_);
    ::sigaction(SIGTERM, &sa, &oldTerm_);
}

InterruptCancels::~InterruptCancels() {
    ::sigaction(SIGINT, &oldInt_, nullptr);
    ::sigaction(SIGTERM, &oldTerm_, nullptr);
    cancelFlag = nullptr;
}

} // namespace korvane::cli
