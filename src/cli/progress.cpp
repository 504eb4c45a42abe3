#include "progress.h"

#include "command.h"

#include <cstdio>
#include <string>
#include <unistd.h>

namespace korvane::cli {

namespace {

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

TerminalProgress::TerminalProgress() : enabled_(::isatty(STDERR_FILENO) == 1) {}

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

void TerminalProgress::report(int64_t pos, int64_t max, int, const Message& message, uint8_t) {
    if (!enabled_)
        return;
    constexpr int kWidth = 30;
    int filled = max > 0 ? static_cast<int>(std::min<int64_t>(pos, max) * kWidth / max) : 0;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(kWidth, '.');
    int percent = max > 0 ? static_cast<int>(std::min<int64_t>(pos, max) * 100 / max) : 0;
    std::fprintf(stderr, "\r\033[K[%s] %3d%% %s", bar.c_str(), percent,
                 fitColumns(say(message), 40).c_str());
    std::fflush(stderr);
    drawn_ = true;
}

} // namespace korvane::cli
