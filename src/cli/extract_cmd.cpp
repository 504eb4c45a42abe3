#include "extract_cmd.h"

#include "command.h"
#include "interrupt.h"
#include "model/error.h"
#include "transfer/extract.h"
#include "transfer/tar_export.h"

#include <unistd.h>

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

namespace {

// The objects at paths; the root when there are none.
std::vector<uint32_t> idsOf(Timg& img, const std::vector<std::string>& paths) {
    std::vector<uint32_t> ids;
    if (paths.empty() && img.root())
        ids.push_back(img.root()->entry.objId);
    for (const std::string& p : paths) {
        Node* n = findPath(img.root(), p);
        if (!n)
            throw Error(msg("no such file or directory in the image: %1", p));
        ids.push_back(n->entry.objId);
    }
    return ids;
}

} // namespace

int tarCommand(Timg& img, const std::vector<std::string>& paths, const std::string& tarPath,
               TerminalProgress& progress, std::FILE* err) {
    const std::vector<uint32_t> ids = idsOf(img, paths);
    const bool toStdout = tarPath == "-";
    if (toStdout && ::isatty(STDOUT_FILENO))
        throw Error("an archive is not written to a terminal; redirect standard output");
    TarResult r;
    {
        InterruptCancels interrupt(img.cancel);
        r = toStdout ? taroutfd(img, ids, STDOUT_FILENO) : tarout(img, ids, tarPath);
    }
    progress.clear();
    for (const SkippedObject& s : r.skipped)
        tell(err, msg("skipped %1", s.line()));
    if (r.cancelled) {
        tell(err, toStdout ? msg("cancelled; the archive is incomplete")
                           : msg("cancelled; %1 was not written", tarPath));
        return 1;
    }
    return r.skipped.empty() ? 0 : 1;
}

int extractCommand(Timg& img, const std::vector<std::string>& paths, const std::string& folder,
                   TerminalProgress& progress, std::FILE* err) {
    const std::vector<uint32_t> ids = idsOf(img, paths);
    ExtractResult r;
    {
        InterruptCancels interrupt(img.cancel);
        r = outfiles(img, ids, folder);
    }
    progress.clear();
    for (const SkippedObject& s : r.skipped)
        tell(err, msg("skipped %1", s.line()));
    if (r.cancelled) {
        tell(err, msg("extraction cancelled; %1 objects were written", r.written));
        return 1;
    }
    return r.skipped.empty() ? 0 : 1;
}

void addExtractCommand(CLI::App& app, Commands& out) {
    struct Options {
        std::string image;
        std::vector<std::string> paths;
        std::string dir;
        std::string tar;
        std::string parts;
        OpenOptions open;
    };
    auto o = std::make_shared<Options>();
    auto* extract =
        addCommand(app, "extract",
                   "Extract files and folders (everything when no PATH is given) into DIR, or "
                   "write them as a tar archive");
    if (!extract)
        return;
    extract->add_option("IMAGE", o->image, "Image file")->required();
    extract->add_option("PATH", o->paths, "File or folder inside the image");
    auto* dir =
        extract->add_option("-C,--directory", o->dir, "Target folder, created when missing");
    auto* tar = extract->add_option(
        "--tar", o->tar, "Write a POSIX pax tar archive instead (- for standard output)");
    auto* parts = extract->add_option(
        "--parts", o->parts,
        "Write the members of a container (partitions, volumes, kernel and ramdisks) as image "
        "files into this folder");
    dir->excludes(tar);
    parts->excludes(dir)->excludes(tar);
    extract->callback([o] {
        if (o->dir.empty() && o->tar.empty() && o->parts.empty())
            throw CLI::RequiredError("-C DIR, --tar FILE or --parts DIR");
    });
    addOpenOptions(extract, o->open);
    out.push_back({extract, [o](Context& ctx) {
                       auto& img = openImage(ctx, o->image, o->open);
                       if (!o->tar.empty())
                           return tarCommand(*img, o->paths, o->tar, ctx.progress, stderr);
                       if (!o->parts.empty()) {
                           if (!img->isContainer())
                               throw Error(msg("%1 holds a %2 filesystem, not members", o->image,
                                               img->formatName()));
                           return extractCommand(*img, o->paths, o->parts, ctx.progress, stderr);
                       }
                       return extractCommand(*img, o->paths, o->dir, ctx.progress, stderr);
                   }});
}

} // namespace korvane::cli
