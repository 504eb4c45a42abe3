#include "messagetext.h"

#include "catalogue.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace korvane::text {

namespace {

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i])
            return false;
    return true;
}

const std::unordered_map<std::string_view, std::string_view>& chineseByEnglish() {
    static const auto map = [] {
        std::unordered_map<std::string_view, std::string_view> m;
        for (const CatalogueEntry& e : catalogue())
            m.emplace(e.english, e.chinese);
        return m;
    }();
    return map;
}

const std::unordered_map<std::string_view, std::string_view>& englishByChinese() {
    static const auto map = [] {
        std::unordered_map<std::string_view, std::string_view> m;
        for (const CatalogueEntry& e : catalogue())
            m.emplace(e.chinese, e.english);
        return m;
    }();
    return map;
}

// strerror's English texts, for the errors the system reports.
const std::unordered_map<std::string, std::string_view>& systemErrors() {
    static const auto map = [] {
        std::unordered_map<std::string, std::string_view> m;
        for (const SystemErrorText& e : systemErrorTexts())
            m.emplace(std::strerror(e.err), e.chinese);
        return m;
    }();
    return map;
}

bool isPlace(std::string_view t, size_t i) {
    return t[i] == '%' && i + 1 < t.size() && t[i + 1] >= '1' && t[i + 1] <= '9';
}

// Replaces each place %d of templ by %map[d] (map indexed by digit 1..9).
std::string renumber(std::string_view templ, const char (&map)[10]) {
    std::string out;
    out.reserve(templ.size());
    for (size_t i = 0; i < templ.size(); ++i) {
        if (templ[i] == '%' && i + 1 < templ.size() && templ[i + 1] == '%') {
            out += "%%";
            ++i;
        } else if (isPlace(templ, i)) {
            out += '%';
            out += map[templ[i + 1] - '0'];
            ++i;
        } else {
            out += templ[i];
        }
    }
    return out;
}

// The Chinese wording of one piece of a template, whose places may be any
// numbers: looked up with its places counted from %1 in order of first use.
std::optional<std::string> chinesePiece(std::string_view piece) {
    char toLocal[10] = {}, toGlobal[10] = {};
    char next = '1';
    for (size_t i = 0; i < piece.size(); ++i) {
        if (piece[i] == '%' && i + 1 < piece.size() && piece[i + 1] == '%') {
            ++i;
        } else if (isPlace(piece, i)) {
            int d = piece[i + 1] - '0';
            if (!toLocal[d]) {
                toLocal[d] = next;
                toGlobal[next - '0'] = piece[i + 1];
                ++next;
            }
            ++i;
        }
    }
    const auto& map = chineseByEnglish();
    auto it = map.find(renumber(piece, toLocal));
    if (it == map.end())
        return std::nullopt;
    return renumber(it->second, toGlobal);
}

std::string chineseTemplate(std::string_view templ) {
    const auto& map = chineseByEnglish();
    if (auto it = map.find(templ); it != map.end())
        return std::string(it->second);
    // "context: reason: detail", each piece on its own.
    std::vector<std::string_view> pieces;
    for (size_t from = 0;;) {
        size_t at = templ.find(": ", from);
        pieces.push_back(templ.substr(from, at == std::string_view::npos ? at : at - from));
        if (at == std::string_view::npos)
            break;
        from = at + 2;
    }
    if (pieces.size() == 1)
        return std::string(templ);
    std::string out;
    bool translated = false;
    std::vector<std::string> words;
    for (std::string_view p : pieces) {
        std::optional<std::string> zh = chinesePiece(p);
        translated = translated || zh.has_value();
        words.push_back(zh ? *zh : std::string(p));
    }
    const char* glue = translated ? "：" : ": ";
    for (size_t i = 0; i < words.size(); ++i)
        out += (i ? glue : "") + words[i];
    return out;
}

} // namespace

Language languageFrom(const char* language, const char* lcAll, const char* lcMessages,
                      const char* lang, Language otherwise) {
    std::string_view first;
    if (language && *language) {
        first = language;
        first = first.substr(0, first.find(':'));
    }
    for (const char* v : {lcAll, lcMessages, lang})
        if (first.empty() && v && *v)
            first = v;
    return parseLanguage(first).value_or(otherwise);
}

Language languageFromEnvironment(Language otherwise) {
    return languageFrom(std::getenv("LANGUAGE"), std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"),
                        std::getenv("LANG"), otherwise);
}

std::optional<Language> parseLanguage(std::string_view name) {
    auto is = [&](std::string_view code) {
        return startsWithNoCase(name, code) &&
               (name.size() == 2 || name[2] == '_' || name[2] == '-' || name[2] == '.');
    };
    if (is("en"))
        return Language::kEnglish;
    if (is("zh"))
        return Language::kChinese;
    return std::nullopt;
}

std::string messageText(const Message& m, Language lang) {
    if (lang == Language::kEnglish) {
        const auto& map = englishByChinese();
        auto it = map.find(m.text);
        return fillPlaces(it == map.end() ? std::string_view(m.text) : it->second, m.args);
    }
    std::vector<std::string> args = m.args;
    const auto& errors = systemErrors();
    for (std::string& a : args)
        if (auto it = errors.find(a); it != errors.end())
            a = it->second;
    return fillPlaces(chineseTemplate(m.text), args);
}

std::string messageText(std::string_view fixed, Language lang) {
    return messageText(Message{std::string(fixed), {}}, lang);
}

std::string placesOf(std::string_view templ) {
    bool seen[10] = {};
    for (size_t i = 0; i < templ.size(); ++i) {
        if (templ[i] == '%' && i + 1 < templ.size() && templ[i + 1] == '%')
            ++i;
        else if (isPlace(templ, i))
            seen[templ[++i] - '0'] = true;
    }
    std::string out;
    for (char d = '1'; d <= '9'; ++d)
        if (seen[d - '0'])
            out += d;
    return out;
}

} // namespace korvane::text
