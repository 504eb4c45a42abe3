#include "model/error.h"
#include "text/messagetext.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <set>

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

// Every template keeps its places in Chinese, and no template is there
// twice in either direction (the English look-up of fixed Chinese texts
// needs that too).
TEST(MessageText, CatalogueKeepsThePlaces) {
    std::set<std::string> english, chinese;
    for (const CatalogueEntry& e : catalogue()) {
        EXPECT_EQ(placesOf(e.english), placesOf(e.chinese)) << e.english;
        EXPECT_TRUE(english.insert(e.english).second) << e.english;
        EXPECT_TRUE(chinese.insert(e.chinese).second) << e.chinese;
    }
    EXPECT_EQ(placesOf("%2 and %1, 100%% and %1"), "12");
}

TEST(MessageText, RendersInBothLanguages) {
    struct Case {
        Message m;
        const char* chinese;
        const char* english;
    };
    const std::string noFile = std::strerror(ENOENT);
    for (const Case& c : {
             Case{msg("%1 is empty", "/tmp/a.img"), "/tmp/a.img 是空文件", "/tmp/a.img is empty"},
             Case{msg("Folder (%1 items)", 12), "目录(包含12项)", "Folder (12 items)"},
             // Pieces joined by ": " are translated one by one, places
             // wherever they are; the system's reason too.
             Case{msg("%1: cannot open %2: %3", "x", "/y", noFile),
                  "x：无法打开 /y：没有那个文件或目录", ""},
             Case{msg("%1: not an EXT2/EXT3 image: 12 bytes", "/i"),
                  "/i：不是 EXT2/EXT3 镜像：12 bytes", "/i: not an EXT2/EXT3 image: 12 bytes"},
             // Unknown: as it is.
             Case{msg("something new %1", "q"), "something new q", "something new q"},
             // Fixed Chinese texts that jobs send read as English.
             Case{Message{"保存中", {}}, "保存中", "Saving"},
             Case{Message{"正在扫描块", {}}, "正在扫描块", "Scanning blocks"},
         }) {
        EXPECT_EQ(messageText(c.m, Language::kChinese), c.chinese) << c.m.text;
        if (*c.english) {
            EXPECT_EQ(messageText(c.m, Language::kEnglish), c.english) << c.m.text;
        }
    }
    // An error of the core: Error keeps the message for translation.
    try {
        throwSystemError(msg("cannot read %1", "/z"), EACCES);
    } catch (const Error& e) {
        EXPECT_EQ(messageText(e.message(), Language::kChinese), "无法读取 /z：权限不够");
        EXPECT_EQ(messageText(e.message(), Language::kEnglish), e.what());
    }
}

} // namespace
