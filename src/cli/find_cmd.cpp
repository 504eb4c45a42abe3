// korvane-cli find: the objects of an image that match a find expression,
// as GNU find reads it.
#include "command.h"
#include "extract_cmd.h"
#include "listing.h"
#include "model/error.h"
#include "model/tree.h"
#include "transfer/find.h"

#include <ctime>
#include <memory>

namespace korvane::cli {

namespace {

struct FindOptions {
    OpenOptions open;
    bool json = false;
    std::vector<std::string> rest; // IMAGE [PATH] [EXPRESSION...]
};

int findCommand(Context& ctx, FindOptions& o) {
    std::vector<std::string> words;
    for (const std::string& w : o.rest) {
        if (w == "--json")
            o.json = true;
        else
            words.push_back(w);
    }
    if (words.empty())
        throw CLI::RequiredError("IMAGE");
    const std::string image = words.front();
    words.erase(words.begin());
    std::string start = "/";
    if (!words.empty() && !words.front().empty() && words.front()[0] != '-' &&
        words.front() != "!" && words.front() != "(") {
        start = words.front();
        words.erase(words.begin());
    }
    const FindExpression expr = FindExpression::parse(words, std::time(nullptr));
    auto& img = openImage(ctx, image, o.open);
    const Node* top = findPath(img->root(), start);
    if (!top)
        throw Error(msg("no such file in the image: %1", start));
    bool first = true;
    std::string out;
    findObjects(*img, top, expr, [&](const Node* n, const std::string& path) {
        if (o.json) {
            out += first ? "[\n" : ",\n";
            jsonEntry(out, *img, n, path);
        } else {
            out += printable(path);
            out += '\n';
        }
        first = false;
        if (out.size() > (1u << 16)) {
            std::fwrite(out.data(), 1, out.size(), stdout);
            out.clear();
        }
        return true;
    });
    if (o.json)
        out += first ? "[]\n" : "\n]\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

} // namespace

void addFindCommand(CLI::App& app, Commands& out) {
    auto o = std::make_shared<FindOptions>();
    auto* cmd =
        addCommand(app, "find",
                   "List the objects that match a find expression: IMAGE [PATH] [EXPRESSION], the "
                   "tests -name -iname -path -ipath -type -size -newer -mtime -mmin -perm -user "
                   "-group -xattr -empty, joined by -a, -o, ! and ( ) as GNU find reads them");
    if (!cmd)
        return;
    cmd->add_flag("--json", o->json, "Print a JSON array of the objects, as ls --json does");
    addOpenOptions(cmd, o->open);
    cmd->prefix_command();
    out.push_back({cmd, [o, cmd](Context& ctx) {
                       o->rest = cmd->remaining();
                       return findCommand(ctx, *o);
                   }});
}

} // namespace korvane::cli
