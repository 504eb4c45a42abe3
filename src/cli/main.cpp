// korvane-cli: every job of Korvane without a display.
#include "command.h"
#include "model/error.h"

#include <cstdio>
#include <exception>

using namespace korvane;
using namespace korvane::cli;

namespace korvane::cli {

void addOpenOptions(CLI::App* cmd, OpenOptions& opt) {
    (void)cmd;
    (void)opt;
}

std::unique_ptr<Timg> openImage(Context& ctx, const std::string& path, const OpenOptions& opt) {
    auto img = loadimage(path, &ctx.progress, opt);
    ctx.progress.clear();
    for (const std::string& w : img->warnings())
        std::fprintf(stderr, "korvane-cli: warning: %s\n", w.c_str());
    return img;
}

} // namespace korvane::cli

int main(int argc, char** argv) {
    CLI::App app{"Korvane: browse, extract and edit YAFFS2 and EXT2/EXT3 filesystem images."};
    app.name("korvane-cli");
    app.require_subcommand(1);

    Commands commands;
    addReadCommands(app, commands);
    addExtractCommand(app, commands);
    addSaveCommands(app, commands);
    addEditCommand(app, commands);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : kExitUsage;
    }

    try {
        Context ctx;
        for (Command& c : commands) {
            if (!c.sub->parsed())
                continue;
            int status = c.run(ctx);
            if (std::fflush(stdout) != 0)
                throw Error("cannot write to standard output");
            return status;
        }
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "korvane-cli: out of memory\n");
        return kExitError;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "korvane-cli: %s\n", e.what());
        return kExitError;
    }
    return 0;
}
