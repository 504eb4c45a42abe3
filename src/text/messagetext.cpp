#include "messagetext.h"

#include "catalogue.h"

#include <cctype>
#include <cstdlib>
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

// The system's English error texts (see systemErrorText) and their Chinese.
const std::unordered_map<std::string, std::string_view>& systemErrors() {
    static const auto map = [] {
        std::unordered_map<std::string, std::string_view> m;
        for (const SystemErrorText& e : systemErrorTexts())
            m.emplace(systemErrorText(e.err), e.chinese);
        return m;
    }();
    return map;
}

bool isPlace(std::string_view t, size_t i) {
    return t[i] == '%' && i + 1 < t.size() && t[i + 1] >= '1' && t[i + 1] <= '9';
}

std::string_view chineseTemplate(const std::string& templ) {
    if (auto it = chineseByEnglish().find(templ); it != chineseByEnglish().end())
        return it->second;
    const auto& errors = systemErrors();
    if (auto it = errors.find(templ); it != errors.end())
        return it->second;
    return templ;
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
    std::vector<std::string> args = m.args;
    for (size_t i = 0; i < m.nested.size() && i < args.size(); ++i)
        if (!m.nested[i].empty())
            args[i] = messageText(m.nested[i], lang);
    if (lang == Language::kEnglish)
        return fillPlaces(m.text, args);
    return fillPlaces(chineseTemplate(m.text), args);
}

bool needsWords(std::string_view templ) {
    for (size_t i = 0; i < templ.size(); ++i) {
        if (isPlace(templ, i) || templ.compare(i, 2, "%%") == 0) {
            ++i;
            continue;
        }
        if (std::isalpha(static_cast<unsigned char>(templ[i])))
            return true;
    }
    return false;
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
