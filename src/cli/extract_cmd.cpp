#include "extract_cmd.h"

#include "command.h"
#include "interrupt.h"
#include "model/error.h"
#include "transfer/extract.h"

namespace korvane::cli {

std::string printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", u);
            out += buf;
        } else {
            out += c;
        }
    }
    return out;
}

int extractCommand(Timg& img, const std::vector<std::string>& paths, const std::string& folder,
                   TerminalProgress& progress, std::FILE* err) {
    std::vector<uint32_t> ids;
    if (paths.empty() && img.root())
        ids.push_back(img.root()->entry.objId);
    for (const std::string& p : paths) {
        Node* n = findPath(img.root(), p);
        if (!n)
            throw Error("no such file or directory in the image: " + p);
        ids.push_back(n->entry.objId);
    }
    ExtractResult r;
    {
        InterruptCancels interrupt(img.cancel);
        r = outfiles(img, ids, folder);
    }
    progress.clear();
    for (const SkippedObject& s : r.skipped)
        std::fprintf(err, "korvane-cli: skipped %s\n", printable(s.line()).c_str());
    if (r.cancelled) {
        std::fprintf(err, "korvane-cli: extraction cancelled; %llu objects were written\n",
                     static_cast<unsigned long long>(r.written));
        return 1;
    }
    return r.skipped.empty() ? 0 : 1;
}

void addExtractCommand(CLI::App& app, Commands& out) {
    struct Options {
        std::string image;
        std::vector<std::string> paths;
        std::string dir;
        OpenOptions open;
    };
    auto o = std::make_shared<Options>();
    auto* extract = app.add_subcommand(
        "extract", "Extract files and folders (everything when no PATH is given) into DIR");
    extract->add_option("IMAGE", o->image, "Image file")->required();
    extract->add_option("PATH", o->paths, "File or folder inside the image");
    extract->add_option("-C,--directory", o->dir, "Target folder, created when missing")
        ->required();
    addOpenOptions(extract, o->open);
    out.push_back({extract, [o](Context& ctx) {
                       auto img = openImage(ctx, o->image, o->open);
                       return extractCommand(*img, o->paths, o->dir, ctx.progress, stderr);
                   }});
}

} // namespace korvane::cli
