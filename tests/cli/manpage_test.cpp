// The man pages against the programs: every option a program accepts, as its
// own --help lists them, appears in its page as man shows it, so an option
// added to a command without a word in the manual fails here by name.
#include "support/testutil.h"

#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <sstream>

using namespace korvane::test;

namespace {

// The page as `man` shows it, without formatting.
std::string rendered(const std::string& page) {
    CommandResult r = run("MANWIDTH=250 MAN_KEEP_FORMATTING= man -P cat -l " + shellQuote(page));
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// The options of a CLI11 help text: each name of the lines that begin
// "  -" (-C,--directory DIR ... gives -C and --directory).
std::set<std::string> cliOptions(const std::string& help) {
    std::set<std::string> out;
    static const std::regex option(R"(^  (-[^ ]+))");
    for (const std::string& line : lines(help)) {
        std::smatch m;
        if (!std::regex_search(line, m, option))
            continue;
        std::istringstream names(m[1].str());
        for (std::string name; std::getline(names, name, ',');)
            out.insert(name);
    }
    return out;
}

// The commands of korvane-cli's help text.
std::vector<std::string> cliCommands(const std::string& help) {
    std::vector<std::string> out;
    bool inList = false;
    static const std::regex command(R"(^  ([a-z][-a-z0-9]*) )");
    for (const std::string& line : lines(help)) {
        std::smatch m;
        if (line == "Subcommands:")
            inList = true;
        else if (inList && line.empty())
            inList = false;
        else if (inList && std::regex_search(line, m, command))
            out.push_back(m[1].str());
    }
    return out;
}

// Whether text names option as a word of its own: --page-size is not named
// by --out-page-size, nor -l by -lR.
bool names(const std::string& text, const std::string& option) {
    auto part = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-'; };
    for (size_t at = text.find(option); at != std::string::npos; at = text.find(option, at + 1)) {
        const size_t end = at + option.size();
        if ((at == 0 || !part(text[at - 1])) && (end == text.size() || !part(text[end])))
            return true;
    }
    return false;
}

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& s : items)
        out += "\n  " + s;
    return out;
}

} // namespace

TEST(ManPage, KorvaneCliPageNamesEveryCommandAndOption) {
    const std::string page = rendered(KORVANE_MAN_CLI);
    ASSERT_NE(page.find("EXIT STATUS"), std::string::npos) << page;
    const CommandResult top = run(std::string(KORVANE_CLI) + " --help");
    ASSERT_EQ(top.status, 0) << top.err;
    const std::vector<std::string> commands = cliCommands(top.out);
    ASSERT_GE(commands.size(), 8u) << top.out;

    std::vector<std::string> missing;
    for (const std::string& o : cliOptions(top.out))
        if (!names(page, o))
            missing.push_back(o);
    for (const std::string& c : commands) {
        if (page.find("korvane-cli " + c + " ") == std::string::npos)
            missing.push_back(c + " (no synopsis \"korvane-cli " + c + " ...\")");
        const CommandResult help = run(std::string(KORVANE_CLI) + " " + c + " --help");
        ASSERT_EQ(help.status, 0) << c << ": " << help.err;
        for (const std::string& o : cliOptions(help.out))
            if (!names(page, o))
                missing.push_back(c + " " + o);
    }
    EXPECT_TRUE(missing.empty()) << "korvane-cli(1) does not mention:" << joined(missing);
}

TEST(ManPage, KorvanePageNamesEveryOption) {
#ifndef KORVANE_APP
    GTEST_SKIP() << "the desktop app is not built (KORVANE_UI=OFF)";
#else
    const std::string page = rendered(KORVANE_MAN_APP);
    // Qt's parser lists "-h, --help" and "--lang <LANG>"; --help-all is
    // Qt's own.
    const CommandResult help = run("env -u DISPLAY -u WAYLAND_DISPLAY LANGUAGE=en " +
                                   std::string(KORVANE_APP) + " --help");
    ASSERT_EQ(help.status, 0) << help.err;
    static const std::regex option(R"(--?[a-z][-a-z]*)");
    std::vector<std::string> missing;
    for (const std::string& line : lines(help.out)) {
        if (line.rfind("  -", 0) != 0)
            continue;
        const std::string lead = line.substr(0, line.find("  ", 2));
        for (std::sregex_iterator it(lead.begin(), lead.end(), option), end; it != end; ++it)
            if (it->str() != "--help-all" && !names(page, it->str()))
                missing.push_back(it->str());
    }
    EXPECT_TRUE(missing.empty()) << "korvane(1) does not mention:" << joined(missing);
#endif
}
