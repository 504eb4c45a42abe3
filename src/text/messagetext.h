// The core's messages in the user's language. A message is an English
// template with numbered places and its arguments (model/message.h); the
// catalogue gives each template's Chinese wording with the same places.
// Used by korvane-cli and the desktop app alike.
#pragma once

#include "model/message.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace korvane::text {

enum class Language { kChinese, kEnglish };

// The language the environment asks for: the first of LANGUAGE (its first
// entry), LC_ALL, LC_MESSAGES and LANG that is set and not empty decides:
// English when it begins with "en", Chinese when it begins with "zh",
// otherwise (C, POSIX, other languages, nothing set) the program's own:
// Chinese for the desktop app, whose texts are Chinese, English for the CLI.
Language languageFrom(const char* language, const char* lcAll, const char* lcMessages,
                      const char* lang, Language otherwise);
Language languageFromEnvironment(Language otherwise);

// "en" or "zh" (and their longer forms such as en_US, zh_CN.UTF-8); nullopt
// for anything else.
std::optional<Language> parseLanguage(std::string_view name);

// The message in lang, arguments that are messages too. Chinese: the
// catalogue's wording of the template (or, for a system error text, the
// table's); a template it lacks stays English. English: the template itself.
std::string messageText(const Message& m, Language lang);

// Whether a template has words to translate, rather than only places and
// punctuation ("%1: %2", "%1+%2"), which read the same in every language.
bool needsWords(std::string_view templ);

struct CatalogueEntry {
    const char* english;
    const char* chinese;
};

// Every template the catalogue knows, with its Chinese wording.
std::span<const CatalogueEntry> catalogue();

// The places ("%1".."%9") a template uses, as a sorted text such as "123".
std::string placesOf(std::string_view templ);

} // namespace korvane::text
