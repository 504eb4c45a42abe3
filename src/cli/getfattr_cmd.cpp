// korvane-cli getfattr: an object's extended attributes, printed the way
// `getfattr -d -m -` prints those of a file on disk.
#include "command.h"
#include "listing.h"
#include "model/error.h"
#include "model/texts.h"
#include "model/tree.h"

#include <cstdio>

namespace korvane::cli {

namespace {

bool printable(char c) {
    return c >= 0x20 && c < 0x7F;
}

// getfattr's choice: text when at most one byte in eight (a final zero
// aside) is not printable, base64 otherwise.
std::string encodeValue(const std::string& v) {
    const size_t n = !v.empty() && v.back() == '\0' ? v.size() - 1 : v.size();
    size_t unprintable = 0;
    for (size_t i = 0; i < n; ++i)
        unprintable += printable(v[i]) ? 0 : 1;
    if (n < unprintable * 8)
        return "0s" + base64(v);
    std::string out = "\"";
    for (size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(v[i]);
        if (c == '\0' || c == '\n' || c == '\r') {
            out += '\\';
            out += static_cast<char>('0' + (c >> 6));
            out += static_cast<char>('0' + ((c >> 3) & 7));
            out += static_cast<char>('0' + (c & 7));
        } else {
            if (c == '\\' || c == '"')
                out += '\\';
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

} // namespace

std::string getfattrText(const Timg& img, const std::string& path) {
    Node* n = findPath(img.root(), path);
    if (!n)
        throw Error(msg("no such file or directory in the image: %1", path));
    const Node* target = hardlinkTarget(img, n);
    const TImgEntry& e = target ? target->entry : n->entry;
    if (e.xattrs.empty())
        return {};
    size_t skip = 0;
    while (skip < path.size() && path[skip] == '/')
        ++skip;
    std::string out =
        "# file: " + (skip == path.size() ? std::string(".") : path.substr(skip)) + "\n";
    for (const Xattr& a : e.xattrs)
        out += a.name + "=" + encodeValue(a.value) + "\n";
    return out + "\n";
}

void addGetfattrCommand(CLI::App& app, Commands& out) {
    struct Options {
        std::string image;
        std::vector<std::string> paths;
        OpenOptions open;
    };
    auto o = std::make_shared<Options>();
    auto* cmd = addCommand(app, "getfattr",
                           "Print objects' extended attributes as `getfattr -d -m -` does");
    if (!cmd)
        return;
    cmd->add_option("IMAGE", o->image, "Image file")->required();
    cmd->add_option("PATH", o->paths, "Objects inside the image")->required();
    addOpenOptions(cmd, o->open);
    out.push_back({cmd, [o](Context& ctx) {
                       auto& img = openImage(ctx, o->image, o->open);
                       for (const std::string& p : o->paths) {
                           const std::string text = getfattrText(*img, p);
                           std::fwrite(text.data(), 1, text.size(), stdout);
                       }
                       return 0;
                   }});
}

} // namespace korvane::cli
