// korvane-cli: every job of Korvane without a display.
#include "command.h"
#include "extract_cmd.h"
#include "korvane_version.h"
#include "model/error.h"
#include "text/messagetext.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>

using namespace korvane;
using namespace korvane::cli;

namespace korvane::cli {

namespace {

// Core messages in the language the locale names; English unless it names
// Chinese.
text::Language messageLanguage() {
    static const text::Language lang = text::languageFromEnvironment(text::Language::kEnglish);
    return lang;
}

} // namespace

std::string say(const Message& m) {
    return text::messageText(m, messageLanguage());
}

void tell(std::FILE* err, const Message& m) {
    if (verbosity() == Verbosity::kQuiet && m.text == "warning: %1")
        return;
    std::fprintf(err, "korvane-cli: %s\n", printable(say(m)).c_str());
}

void addOpenOptions(CLI::App* cmd, OpenOptions& opt) {
    std::vector<std::string> names;
    for (const FormatRow& f : formats())
        names.push_back(f.name);
    cmd->add_option("--format", opt.format,
                    "Read the image (the last --part, when given) as this format, whatever "
                    "the probes say")
        ->check(CLI::IsMember(names));
    cmd->add_option("--part", opt.members,
                    "Open this member of the image (a partition, volume, ramdisk, or any file "
                    "inside it) as the image; repeat to go deeper")
        ->allow_extra_args(false);
    yaffs2::LayoutHints& h = opt.yaffs2;
    const std::string group = "YAFFS2 layout (found when not given)";
    cmd->add_option_function<uint32_t>(
           "--page-size", [&h](uint32_t v) { h.pageSize = v; }, "YAFFS2: bytes per NAND page")
        ->group(group)
        ->check(CLI::Range(yaffs2::kMinPageSize, yaffs2::kMaxPageSize));
    cmd->add_option_function<uint32_t>(
           "--spare-size", [&h](uint32_t v) { h.spareSize = v; },
           "YAFFS2: spare (out-of-band) bytes after each page; 0 for pages only")
        ->group(group)
        ->check(CLI::Range(0u, yaffs2::kMaxSpareSize));
    cmd->add_option_function<uint32_t>(
           "--tag-offset", [&h](uint32_t v) { h.tagOffset = v; },
           "YAFFS2: where the tags start in the spare area")
        ->group(group)
        ->check(CLI::Range(0u, yaffs2::kMaxSpareSize));
    cmd->add_option_function<std::string>(
           "--byte-order",
           [&h](const std::string& v) {
               h.order = v == "be" ? yaffs2::ByteOrder::kBig : yaffs2::ByteOrder::kLittle;
           },
           "YAFFS2: byte order of tags and headers, le or be")
        ->group(group)
        ->check(CLI::IsMember({"le", "be"}));
    cmd->add_flag("--inband-tags", h.inbandTags, "YAFFS2: tags in the last 16 bytes of each page")
        ->group(group);
    cmd->add_flag("--no-tag-ecc", h.noTagEcc, "YAFFS2: the tags carry no ECC")->group(group);
}

namespace {

// The command whose options are built: none when empty (the help lists the
// commands without them), every one when unset.
std::optional<std::string> builtCommand;

} // namespace

CLI::App* addCommand(CLI::App& app, const std::string& name, const std::string& description) {
    CLI::App* cmd = app.add_subcommand(name, description);
    return !builtCommand || *builtCommand == name ? cmd : nullptr;
}

ImageChain& openImage(Context& ctx, const std::string& path, const OpenOptions& opt) {
    ImageChain& chain = ctx.images.emplace_back(ImageChain::open(path, &ctx.progress, opt));
    ctx.progress.clear();
    for (size_t level = 0; level < chain.depth(); ++level)
        for (const Message& w : chain.at(level).warningMessages())
            tell(stderr, msg("warning: %1", w));
    if (verbosity() == Verbosity::kVerbose) {
        const Timg& img = chain.top();
        const size_t objects = img.root() ? img.root()->subtreeSize() : 0;
        tell(stderr, msg("%1: %2, %3 objects", path, img.formatName(), objects));
    }
    return chain;
}

} // namespace korvane::cli

namespace {

// The options that hold for every command: --version, --quiet and --verbose.
// They may come after the command too (korvane-cli ls -q IMAGE), as users of
// other tools expect.
void addGlobalOptions(CLI::App& app) {
    app.set_version_flag("--version", std::string("korvane-cli ") + KORVANE_VERSION_TEXT,
                         "Print the version and exit");
    auto* quiet = app.add_flag_callback(
        "-q,--quiet", [] { setVerbosity(Verbosity::kQuiet); },
        "Print errors only: no progress bar, no warnings");
    app.add_flag_callback(
           "-v,--verbose", [] { setVerbosity(Verbosity::kVerbose); },
           "Also print each step of the work with its time, and what the image was read as")
        ->excludes(quiet);
    // find keeps what it does not know as its expression (-v there is no
    // option), so nothing of its line falls through to these.
    for (CLI::App* sub : app.get_subcommands({}))
        if (!sub->get_prefix_command())
            sub->fallthrough();
}

// Ends the process once a command has done its work, without closing its
// images one object at a time: freeing the tree of a large image takes
// longer than the kernel takes to drop the whole process. Member files that
// saves left behind still go, through the normal way out; so does everything
// in a sanitized build, whose leak check wants to see it all freed.
void leaveNow([[maybe_unused]] Context& ctx, [[maybe_unused]] int status) {
#if !defined(__SANITIZE_ADDRESS__)
    for (const ImageChain& chain : ctx.images)
        if (chain.holdsTemporaries())
            return;
    ctx.progress.clear();
    std::fflush(stderr);
    std::_Exit(status);
#endif
}

// The first word of the command line that is not an option: the command (no
// option before it takes a value).
std::string namedCommand(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (argv[i][0] != '-')
            return argv[i];
    return {};
}

std::unique_ptr<CLI::App> makeApp(Commands& commands) {
    auto app = std::make_unique<CLI::App>(
        "Korvane: browse, extract, compare and edit flash filesystem images (YAFFS2, YAFFS1, "
        "EXT2/3/4, EROFS, SquashFS, JFFS2, UBIFS, cpio) and the containers that hold them "
        "(Android sparse, super and boot images, UBI, raw NAND dumps).");
    app->name("korvane-cli");
    app->require_subcommand(1);
    addReadCommands(*app, commands);
    addExtractCommand(*app, commands);
    addSaveCommands(*app, commands);
    addGetfattrCommand(*app, commands);
    addEditCommand(*app, commands);
    addExportCommand(*app, commands);
    addFindCommand(*app, commands);
    addDiffCommand(*app, commands);
    addSuperCommand(*app, commands);
    addGlobalOptions(*app);
    return app;
}

// Parses the command line into app; the exit status when it is to end here.
std::optional<int> parse(CLI::App& app, int argc, char** argv) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : kExitUsage;
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv) {
    builtCommand = namedCommand(argc, argv);
    Commands commands;
    std::unique_ptr<CLI::App> app = makeApp(commands);
    if (std::optional<int> status = parse(*app, argc, argv))
        return *status;
    if (std::none_of(commands.begin(), commands.end(),
                     [](const Command& c) { return c.sub->parsed(); })) {
        // The parser took another word for the command than the first:
        // build every command and parse again.
        builtCommand.reset();
        commands.clear();
        app = makeApp(commands);
        if (std::optional<int> status = parse(*app, argc, argv))
            return *status;
    }

    try {
        Context ctx;
        for (Command& c : commands) {
            if (!c.sub->parsed())
                continue;
            int status = c.run(ctx);
            if (std::fflush(stdout) != 0)
                throw Error("cannot write to standard output");
            leaveNow(ctx, status);
            return status;
        }
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "korvane-cli: %s\n", say(msg("out of memory")).c_str());
        return kExitError;
    } catch (const Error& e) {
        // As it stands: some messages are several lines on purpose.
        std::fprintf(stderr, "korvane-cli: %s\n", say(e.message()).c_str());
        return kExitError;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "korvane-cli: %s\n", e.what());
        return kExitError;
    }
    return 0;
}
