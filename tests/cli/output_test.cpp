// What korvane-cli says besides its results: the version, what --quiet and
// --verbose leave out or add, the progress bar (on a terminal only), and the
// exit statuses the man page promises.
#include "korvane_version.h"
#include "support/testutil.h"
#include "support/yaffs2_builder.h"

#include <gtest/gtest.h>

using namespace korvane;
using namespace korvane::test;

namespace {

std::string cli(const std::string& args) {
    return std::string(KORVANE_CLI) + " " + args;
}

class CliOutputTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A file whose folder is missing is left out, with a warning.
        Yaffs2Builder b;
        b.root(040755, 0);
        b.dir(258, 1, "etc");
        b.file(259, 258, "hosts", pattern(3000, 1));
        b.file(260, 300, "orphan", pattern(10, 2));
        image = shellQuote(dir / "img.yaffs2");
        b.save(dir / "img.yaffs2");
    }
    TempDir dir;
    std::string image;
};

TEST_F(CliOutputTest, VersionIsTheProjectsWithTheSourcesDescription) {
    CommandResult r = run(cli("--version"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::string("korvane-cli ") + KORVANE_VERSION_TEXT + "\n");
    EXPECT_EQ(r.out.rfind(std::string("korvane-cli ") + KORVANE_VERSION, 0), 0u);
}

TEST_F(CliOutputTest, QuietLeavesOutWarningsAndVerboseAddsTheSteps) {
    const std::string warning = "warning: 1 objects were left out";
    const CommandResult plain = run(cli("ls -R " + image));
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(plain.out, "/etc\n/etc/hosts\n");
    EXPECT_NE(plain.err.find(warning), std::string::npos) << plain.err;

    struct Case {
        std::string args;
        bool warns;
        bool steps;
    };
    const Case cases[] = {
        {"-q ls -R " + image, false, false},      {"ls --quiet -R " + image, false, false},
        {"ls -R " + image + " -q", false, false}, {"--verbose ls -R " + image, true, true},
        {"ls -R -v " + image, true, true},
    };
    for (const Case& c : cases) {
        const CommandResult r = run(cli(c.args));
        ASSERT_EQ(r.status, 0) << c.args << ": " << r.err;
        EXPECT_EQ(r.out, plain.out) << c.args;
        EXPECT_EQ(r.err.find(warning) != std::string::npos, c.warns) << c.args << ": " << r.err;
        EXPECT_EQ(r.err.find(" s  Scanning blocks\n") != std::string::npos, c.steps)
            << c.args << ": " << r.err;
        EXPECT_EQ(r.err.find("img.yaffs2: YAFFS2, 3 objects\n") != std::string::npos, c.steps)
            << c.args << ": " << r.err;
        if (!c.warns) {
            EXPECT_EQ(r.err, "") << c.args;
        }
    }
}

TEST_F(CliOutputTest, ExitStatusesAreZeroOneAndTwo) {
    const std::pair<std::string, int> cases[] = {
        {"ls " + image, 0},
        {"cat " + image + " /etc/hosts", 0},
        {"cat " + image + " /etc/missing", 1},
        {"ls " + shellQuote(dir / "none.img"), 1},
        {"extract " + image + " /etc -C " + shellQuote(dir / "out") + " --tar -", 2},
        {"ls", 2},
        {"frobnicate " + image, 2},
        {"ls --page-size 7 " + image, 2},
        {"-q -v ls " + image, 2},
        {"", 2},
    };
    for (const auto& [args, status] : cases) {
        const CommandResult r = run(cli(args) + " >/dev/null");
        EXPECT_EQ(r.status, status) << args << ": " << r.err;
        if (status != 0) {
            EXPECT_NE(r.err, "") << args << " failed without a word";
        }
    }
}

// util-linux's script gives the command a terminal.
TEST_F(CliOutputTest, TheProgressBarIsDrawnOnATerminalOnly) {
    if (!haveProgram("script"))
        GTEST_SKIP() << "script (util-linux) is missing";
    auto onTerminal = [&](const std::string& env, const std::string& args) {
        const CommandResult r =
            run(env + " script -qec " + shellQuote(cli(args)) + " /dev/null </dev/null");
        EXPECT_EQ(r.status, 0) << args << ": " << r.out << r.err;
        return r.out;
    };
    const std::string erase = "\r\033[K";
    EXPECT_NE(onTerminal("TERM=xterm", "ls " + image).find(erase), std::string::npos);
    EXPECT_EQ(onTerminal("TERM=xterm", "ls -q " + image).find(erase), std::string::npos);
    EXPECT_EQ(onTerminal("TERM=dumb", "ls " + image).find(erase), std::string::npos);
    const CommandResult piped = run("TERM=xterm " + cli("ls " + image));
    EXPECT_EQ(piped.err.find(erase), std::string::npos);
}

} // namespace
