#include "model/error.h"
#include "text/messagetext.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <sstream>

using namespace korvane;
using namespace korvane::text;

namespace {

TEST(MessageText, LanguageFromTheLocale) {
    constexpr auto en = Language::kEnglish, zh = Language::kChinese;
    struct Case {
        const char *language, *lcAll, *lcMessages, *lang;
        Language otherwise, picked;
    };
    for (const Case& c : {
             Case{nullptr, nullptr, nullptr, nullptr, zh, zh},
             Case{nullptr, nullptr, nullptr, nullptr, en, en},
             Case{nullptr, nullptr, nullptr, "en_US.UTF-8", zh, en},
             Case{nullptr, nullptr, nullptr, "zh_CN.UTF-8", en, zh},
             Case{nullptr, nullptr, nullptr, "C.UTF-8", zh, zh},
             Case{nullptr, nullptr, nullptr, "C.UTF-8", en, en},
             Case{nullptr, nullptr, nullptr, "de_DE.UTF-8", zh, zh},
             Case{nullptr, nullptr, "en_GB.UTF-8", "zh_CN.UTF-8", zh, en},
             Case{nullptr, "zh_TW.UTF-8", "en_GB.UTF-8", "en_US", en, zh},
             Case{"en:zh", "zh_CN.UTF-8", nullptr, nullptr, zh, en},
             Case{"zh_CN:en", nullptr, nullptr, "en_US.UTF-8", en, zh},
             Case{"", "", "", "en", zh, en},
             Case{nullptr, nullptr, nullptr, "eng", zh, zh},
         })
        EXPECT_EQ(languageFrom(c.language, c.lcAll, c.lcMessages, c.lang, c.otherwise), c.picked)
            << (c.language ? c.language : "-") << " " << (c.lcAll ? c.lcAll : "-") << " "
            << (c.lcMessages ? c.lcMessages : "-") << " " << (c.lang ? c.lang : "-");
    EXPECT_EQ(parseLanguage("en"), en);
    EXPECT_EQ(parseLanguage("ZH"), zh);
    EXPECT_EQ(parseLanguage("fr"), std::nullopt);
}

// Every template keeps its places in Chinese, and no template is there twice.
TEST(MessageText, CatalogueKeepsThePlaces) {
    std::set<std::string> english;
    for (const CatalogueEntry& e : catalogue()) {
        EXPECT_EQ(placesOf(e.english), placesOf(e.chinese)) << e.english;
        EXPECT_TRUE(english.insert(e.english).second) << e.english;
    }
    EXPECT_EQ(placesOf("%2 and %1, 100%% and %1"), "12");
}

// The templates the sources hand to msg(), Error() and throwSystemError() as
// string literals (adjacent literals joined), comments left out; each with
// the file it is first met in.
std::map<std::string, std::string> templatesInSources(const std::filesystem::path& root) {
    std::map<std::string, std::string> out;
    auto isWord = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
    for (const auto& f : std::filesystem::recursive_directory_iterator(root)) {
        const std::string ext = f.path().extension().string();
        if (ext != ".cpp" && ext != ".h")
            continue;
        std::ifstream in(f.path());
        std::stringstream ss;
        ss << in.rdbuf();
        const std::string s = ss.str();
        // Skips blanks and comments from i; returns the next position.
        auto skip = [&](size_t i) {
            while (i < s.size()) {
                if (std::isspace(static_cast<unsigned char>(s[i])))
                    ++i;
                else if (s.compare(i, 2, "//") == 0)
                    i = std::min(s.find('\n', i), s.size());
                else if (s.compare(i, 2, "/*") == 0)
                    i = std::min(s.find("*/", i), s.size() - 2) + 2;
                else
                    break;
            }
            return i;
        };
        // The literal at i (after its opening quote), unescaped; i moves past it.
        auto literal = [&](size_t& i) {
            std::string t;
            for (; i < s.size() && s[i] != '"'; ++i) {
                if (s[i] != '\\') {
                    t += s[i];
                    continue;
                }
                const char e = s[++i];
                t += e == 'n' ? '\n' : e == 't' ? '\t' : e;
            }
            ++i;
            return t;
        };
        for (size_t i = 0; i < s.size();) {
            if (s[i] == '"') {
                ++i;
                literal(i);
            } else if (s[i] == '\'') {
                i = s.find('\'', i + (s[i + 1] == '\\' ? 3 : 2)) + 1;
            } else if (s[i] == '/' && (s[i + 1] == '/' || s[i + 1] == '*')) {
                i = skip(i);
            } else if (isWord(s[i])) {
                size_t end = i;
                while (end < s.size() && isWord(s[end]))
                    ++end;
                const std::string word = s.substr(i, end - i);
                i = end;
                if (word != "msg" && word != "Error" && word != "throwSystemError")
                    continue;
                size_t at = skip(i);
                if (at >= s.size() || s[at] != '(')
                    continue;
                at = skip(at + 1);
                std::string templ;
                bool found = false;
                while (at < s.size() && s[at] == '"') {
                    ++at;
                    templ += literal(at);
                    found = true;
                    at = skip(at);
                }
                if (found)
                    out.emplace(templ, f.path().lexically_relative(root).string());
                i = at;
            } else {
                ++i;
            }
        }
    }
    return out;
}

// Every template in the sources that has words has a Chinese wording, and
// every entry of the catalogue is still used.
TEST(MessageText, EveryTemplateOfTheSourcesIsInTheCatalogue) {
    const auto found = templatesInSources(KORVANE_SOURCE_DIR);
    ASSERT_GT(found.size(), 300u) << "the sources were not read";
    std::set<std::string> known;
    for (const CatalogueEntry& e : catalogue())
        known.insert(e.english);
    for (const auto& [templ, file] : found) {
        if (needsWords(templ)) {
            EXPECT_TRUE(known.count(templ)) << file << ": \"" << templ << "\" has no Chinese";
        }
    }
    for (const std::string& e : known)
        EXPECT_TRUE(found.count(e)) << "\"" << e << "\" is used nowhere";
}

TEST(MessageText, RendersInBothLanguages) {
    struct Case {
        Message m;
        const char* chinese;
        const char* english;
    };
    const Message noFile = systemMessage(ENOENT);
    for (const Case& c : {
             Case{msg("%1 is empty", "/tmp/a.img"), "/tmp/a.img 是空文件", "/tmp/a.img is empty"},
             Case{msg("Folder (%1 items)", 12), "目录(包含12项)", "Folder (12 items)"},
             // Arguments that are messages are translated too, however deep.
             Case{msg("%1: %2", "/x", withReason(msg("cannot open %1", "/y"), noFile)),
                  "/x：无法打开 /y：没有那个文件或目录",
                  "/x: cannot open /y: No such file or directory"},
             Case{msg("cannot read the file %1: %2", "/a b", noFile),
                  "源文件:/a b,无法读取:没有那个文件或目录",
                  "cannot read the file /a b: No such file or directory"},
             // Names as they stand, places in them too.
             Case{verbatim("50%% %1"), "50%% %1", "50%% %1"},
             // Unknown: as it is.
             Case{msg("something new %1", "q"), "something new q", "something new q"},
         }) {
        EXPECT_EQ(messageText(c.m, Language::kChinese), c.chinese) << c.m.text;
        EXPECT_EQ(messageText(c.m, Language::kEnglish), c.english) << c.m.text;
        EXPECT_EQ(c.m.english(), c.english);
    }
    // An error of the core keeps the message for translation.
    try {
        throwSystemError(msg("cannot read %1", "/z"), EACCES);
    } catch (const Error& e) {
        EXPECT_EQ(messageText(e.message(), Language::kChinese), "无法读取 /z：权限不够");
        EXPECT_EQ(messageText(e.message(), Language::kEnglish), e.what());
    }
    // The system errors extraction and adding files meet read as Chinese.
    for (int err : {EACCES, ENOENT, EEXIST, ENOSPC, EPERM, EROFS, ENOTDIR, EISDIR, ENAMETOOLONG,
                    ELOOP, EIO, EMLINK, EDQUOT, EBUSY})
        EXPECT_NE(messageText(systemMessage(err), Language::kChinese), systemErrorText(err))
            << systemErrorText(err);
}

} // namespace
