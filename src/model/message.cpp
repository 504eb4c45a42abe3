#include "message.h"

#include "error.h"

#include <cstring>
#include <locale.h>

namespace korvane {

std::string fillPlaces(std::string_view templ, const std::vector<std::string>& args) {
    std::string out;
    out.reserve(templ.size() + 32);
    for (size_t i = 0; i < templ.size(); ++i) {
        char c = templ[i];
        if (c == '%' && i + 1 < templ.size()) {
            char d = templ[i + 1];
            if (d == '%') {
                out += '%';
                ++i;
                continue;
            }
            if (d >= '1' && d <= '9' && static_cast<size_t>(d - '1') < args.size()) {
                out += args[static_cast<size_t>(d - '1')];
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}

std::string Message::english() const {
    return fillPlaces(text, args);
}

namespace detail {
void addArg(Message& m, const Message& inner) {
    m.nested.resize(m.args.size());
    m.args.push_back(inner.english());
    m.nested.push_back(inner);
}
} // namespace detail

std::string systemErrorText(int err) {
    // The C locale's text, whatever locale the process runs in (the desktop
    // app sets the user's): the catalogues know the English one.
    static const locale_t c = ::newlocale(LC_ALL_MASK, "C", locale_t{});
    return c ? ::strerror_l(err, c) : std::strerror(err);
}

Message systemMessage(int err) {
    return Message{systemErrorText(err), {}, {}};
}

Message withReason(Message what, Message reason) {
    return msg("%1: %2", std::move(what), std::move(reason));
}

void throwSystemError(const char* what, int err) {
    throwSystemError(msg(what), err);
}

void throwSystemError(Message what, int err) {
    throw Error(withReason(std::move(what), systemMessage(err)));
}

} // namespace korvane
