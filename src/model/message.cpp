#include "message.h"

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

} // namespace korvane
