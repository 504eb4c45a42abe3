#include "format_options.h"

#include "model/error.h"

#include <cctype>
#include <exception>

namespace korvane {

std::optional<std::string> optionText(const FormatOptions& o, const std::string& name) {
    auto it = o.find(name);
    if (it == o.end())
        return std::nullopt;
    return it->second;
}

std::optional<uint64_t> parseSize(const std::string& text) {
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return std::nullopt;
    size_t used = 0;
    uint64_t v = 0;
    try {
        v = std::stoull(text, &used, 10);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    int shift = 0;
    if (used + 1 == text.size()) {
        const std::string units = "KMGT";
        const size_t u = units.find(static_cast<char>(std::toupper(text[used])));
        if (u == std::string::npos)
            return std::nullopt;
        shift = 10 * static_cast<int>(u + 1);
    } else if (used != text.size()) {
        return std::nullopt;
    }
    if (shift > 0 && v > (UINT64_MAX >> shift))
        return std::nullopt;
    return v << shift;
}

std::optional<uint64_t> optionNumber(const FormatOptions& o, const std::string& name, uint64_t min,
                                     uint64_t max, bool sizes) {
    const std::optional<std::string> text = optionText(o, name);
    if (!text)
        return std::nullopt;
    std::optional<uint64_t> v;
    if (sizes) {
        v = parseSize(*text);
    } else if (!text->empty() && text->find_first_not_of("0123456789") == std::string::npos &&
               text->size() <= 19) {
        v = std::stoull(*text);
    }
    if (!v || *v < min || *v > max)
        throw Error(msg("--%1 takes a number from %2 to %3, not %4", name, min, max, *text));
    return v;
}

} // namespace korvane
