#include "progress.h"

#include "command.h"
#include "extract_cmd.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace korvane::cli {

namespace {

Verbosity gVerbosity = Verbosity::kNormal;

// A bar needs a terminal that understands carriage return and "erase line";
// in a pipe, a log file or an Emacs shell buffer it would be noise.
bool barWanted() {
    if (gVerbosity == Verbosity::kQuiet || ::isatty(STDERR_FILENO) != 1)
        return false;
    const char* term = std::getenv("TERM");
    return term && *term && std::strcmp(term, "dumb") != 0;
}

// Keeps at most max columns of a UTF-8 text, cutting only between characters.
std::string fitColumns(const std::string& s, size_t max) {
    std::string out;
    size_t columns = 0;
    for (size_t i = 0; i < s.size();) {
        auto c = static_cast<unsigned char>(s[i]);
        size_t len = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        size_t width = len >= 3 ? 2 : 1; // CJK takes two columns
        if (columns + width > max || i + len > s.size())
            break;
        if (c >= 0x20 || len > 1)
            out.append(s, i, len);
        columns += width;
        i += len;
    }
    return out;
}

} // namespace

void setVerbosity(Verbosity v) {
    gVerbosity = v;
}

Verbosity verbosity() {
    return gVerbosity;
}

TerminalProgress::TerminalProgress()
    : enabled_(barWanted()), verbose_(gVerbosity == Verbosity::kVerbose),
      start_(std::chrono::steady_clock::now()) {}

TerminalProgress::~TerminalProgress() {
    clear();
}

void TerminalProgress::clear() {
    if (drawn_) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        drawn_ = false;
    }
}

// A line for the first event of each step whose text is a step, not the name
// of an object going by, with the seconds since the command started.
void TerminalProgress::logStep(int kind, const Message& message, uint8_t flag) {
    if (kind == lastKind_ && flag == lastFlag_)
        return;
    lastKind_ = kind;
    lastFlag_ = flag;
    if (message.empty() || message.text == verbatim({}).text)
        return;
    std::string step = say(message);
    if (step == lastStep_)
        return;
    clear();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start_;
    std::fprintf(stderr, "korvane-cli: %8.3f s  %s\n", elapsed.count(), printable(step).c_str());
    lastStep_ = std::move(step);
}

void TerminalProgress::report(int64_t pos, int64_t max, int kind, const Message& message,
                              uint8_t flag) {
    if (verbose_)
        logStep(kind, message, flag);
    if (!enabled_)
        return;
    if (max <= 0) {
        // No total: what goes by, without a bar.
        std::fprintf(stderr, "\r\033[K%s", fitColumns(say(message), 72).c_str());
        std::fflush(stderr);
        drawn_ = true;
        return;
    }
    constexpr int kWidth = 30;
    const int64_t at = std::min<int64_t>(pos, max);
    const int filled = static_cast<int>(at * kWidth / max);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(kWidth, '.');
    const int percent = static_cast<int>(at * 100 / max);
    std::fprintf(stderr, "\r\033[K[%s] %3d%% %s", bar.c_str(), percent,
                 fitColumns(say(message), 40).c_str());
    std::fflush(stderr);
    drawn_ = true;
}

} // namespace korvane::cli
