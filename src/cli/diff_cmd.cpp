// korvane-cli diff: what differs between two images, or an image and a
// folder; exit 0 when they are equal, 1 when not, 2 on trouble (as diff).
#include "command.h"
#include "extract_cmd.h"
#include "listing.h"
#include "model/error.h"
#include "model/tree.h"
#include "transfer/diff.h"

#include <filesystem>
#include <memory>

namespace korvane::cli {

namespace {

struct DiffCliOptions {
    std::string a, b;
    std::vector<std::string> partsA, partsB, parts;
    OpenOptions open;
    bool json = false;
    bool contentOnly = false;
    bool ignoreTimes = false;
};

std::string line(const DiffEntry& d) {
    if (d.kind == DiffKind::kAdded)
        return "added   " + printable(d.path);
    if (d.kind == DiffKind::kRemoved)
        return "removed " + printable(d.path);
    std::string what;
    for (const std::string& w : diffWhatNames(d.what))
        what += (what.empty() ? "" : ",") + w;
    return "changed " + printable(d.path) + " (" + what + ")";
}

nlohmann::json sideJson(const TImgEntry& e) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", e.mode & kModePermissionMask);
    return {{"type", typeName(e)}, {"mode", mode},   {"uid", e.uid},
            {"gid", e.gid},        {"size", e.size}, {"mtime", e.mtime}};
}

nlohmann::json entryJson(const DiffEntry& d) {
    static const char* const kKinds[] = {"added", "removed", "changed"};
    nlohmann::json j = {{"path", d.path}, {"change", kKinds[static_cast<int>(d.kind)]}};
    if (d.kind == DiffKind::kChanged)
        j["what"] = diffWhatNames(d.what);
    if (d.kind != DiffKind::kAdded)
        j["a"] = sideJson(d.a);
    if (d.kind != DiffKind::kRemoved)
        j["b"] = sideJson(d.b);
    return j;
}

int diffCommand(Context& ctx, const DiffCliOptions& o) {
    // Each side is a folder on disk or an image (with the members named).
    auto side = [&](const std::string& path, const std::vector<std::string>& own) {
        std::error_code ec;
        if (std::filesystem::is_directory(path, ec))
            return DiffSide::folder(path);
        OpenOptions opt = o.open;
        opt.members = o.parts;
        opt.members.insert(opt.members.end(), own.begin(), own.end());
        return DiffSide::image(openImage(ctx, path, opt).top());
    };
    const DiffSide a = side(o.a, o.partsA);
    const DiffSide b = side(o.b, o.partsB);
    DiffOptions opt;
    opt.contentOnly = o.contentOnly;
    opt.ignoreTimes = o.ignoreTimes;
    bool first = true;
    if (o.json)
        std::fputs("[", stdout);
    const DiffSummary s = diffTrees(a, b, opt, [&](const DiffEntry& d) {
        if (o.json) {
            std::fputs(first ? "\n" : ",\n", stdout);
            std::fputs(
                entryJson(d).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str(),
                stdout);
        } else {
            std::fprintf(stdout, "%s\n", line(d).c_str());
        }
        first = false;
    });
    if (o.json)
        std::fputs(first ? "]\n" : "\n]\n", stdout);
    return s.equal() ? 0 : 1;
}

} // namespace

void addDiffCommand(CLI::App& app, Commands& out) {
    auto o = std::make_shared<DiffCliOptions>();
    auto* cmd =
        addCommand(app, "diff",
                   "Compare two images (or an image and a folder): what was added, removed or "
                   "changed; exit 0 when equal, 1 when not, 2 on trouble");
    if (!cmd)
        return;
    cmd->add_option("A", o->a, "Image or folder")->required();
    cmd->add_option("B", o->b, "Image or folder")->required();
    cmd->add_flag("--json", o->json, "Print a JSON array of the differences");
    cmd->add_flag("--content-only", o->contentOnly,
                  "Compare types and contents only, not modes, owners, times or attributes");
    cmd->add_flag("--ignore-times", o->ignoreTimes, "Do not compare modification times");
    cmd->add_option("--a-part", o->partsA, "Open this member of A (repeat to go deeper)")
        ->allow_extra_args(false);
    cmd->add_option("--b-part", o->partsB, "Open this member of B (repeat to go deeper)")
        ->allow_extra_args(false);
    addOpenOptions(cmd, o->open);
    out.push_back({cmd, [o](Context& ctx) {
                       try {
                           DiffCliOptions opt = *o;
                           opt.parts = opt.open.members; // --part opens the member in both
                           opt.open.members.clear();
                           return diffCommand(ctx, opt);
                       } catch (const Error& e) {
                           tell(stderr, e.message());
                           return 2;
                       }
                   }});
}

} // namespace korvane::cli
