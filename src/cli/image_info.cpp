#include "image_info.h"

#include "command.h"
#include "extract_cmd.h"
#include "listing.h"
#include "model/error.h"
#include "transfer/loadimage.h"

#include <string>

namespace korvane::cli {

namespace {

// Two readers whose scores are this close both have a good claim on the
// bytes: info names the runner-up and how to open with it.
constexpr int kCloseScores = 15;

void fact(std::FILE* out, const std::string& label, const std::string& value) {
    std::fprintf(out, "%-18s %s\n", (label + ":").c_str(), printable(value).c_str());
}

std::string sizeText(uint64_t n) {
    return std::to_string(n) + " bytes";
}

// What the best probe finds in bytes, as one line: "EROFS (sure: ...)".
std::string holds(const std::shared_ptr<const ImageSource>& bytes) {
    if (bytes->size() == 0)
        return "nothing (empty)";
    try {
        Identification id = identify(bytes);
        std::string text;
        for (const std::string& l : id.layers)
            text += formatNamed(l)->title + std::string(" > ");
        if (id.probes.empty())
            return text + "nothing Korvane reads";
        return text + id.probes.front().format->title;
    } catch (const Error& e) {
        return say(e.message());
    }
}

void printIdentification(const ImageChain& chain, size_t level, const OpenOptions& opt,
                         std::FILE* out) {
    Identification id;
    try {
        OpenOptions o = opt;
        if (level + 1 < chain.depth())
            o.format.clear();
        id = identify(chain.bytesOf(level), o);
    } catch (const Error&) {
        return; // the file changed since it was opened: nothing more to say
    }
    std::string layers;
    for (const std::string& l : id.layers)
        layers += (layers.empty() ? "" : " > ") + std::string(formatNamed(l)->title);
    if (!layers.empty())
        fact(out, "stored as", layers);
    const FormatRow* read = formatOf(chain.at(level));
    for (size_t i = 0; i < id.probes.size(); ++i) {
        const ProbeResult& p = id.probes[i];
        if (p.format->role == FormatRole::kLayer)
            continue;
        const bool chosen = p.format == read;
        fact(out, chosen ? "identified by" : "also bids",
             std::string(p.format->title) + " (" + std::to_string(p.probe.score) +
                 "): " + say(p.probe.why));
    }
    if (id.probes.size() >= 2 && id.probes[0].format->role != FormatRole::kLayer &&
        id.probes[0].probe.score - id.probes[1].probe.score <= kCloseScores)
        fact(out, "note",
             say(msg("the bytes could also be %1; open them as that with --format %2",
                     id.probes[1].format->title, id.probes[1].format->name)));
}

void printMembers(Timg& img, std::FILE* out) {
    std::fprintf(out, "members:\n");
    for (const auto& child : img.root()->children) {
        const TImgEntry& e = child->entry;
        std::fprintf(out, "  %s\n", printable(e.name).c_str());
        std::fprintf(out, "    %-16s %s\n", "size:", sizeText(img.contentSize(e)).c_str());
        for (const auto& [label, value] : img.memberFacts(e))
            std::fprintf(out, "    %-16s %s\n", (label + ":").c_str(), printable(value).c_str());
        std::string what;
        try {
            what = holds(ImageChain::bytesOf(img, child.get()));
        } catch (const Error& err) {
            what = say(err.message());
        }
        std::fprintf(out, "    %-16s %s\n", "holds:", what.c_str());
    }
}

} // namespace

void printChainInfo(const ImageChain& chain, const OpenOptions& opt, std::FILE* out) {
    if (chain.depth() > 1) {
        std::string path = chain.path();
        for (const std::string& m : chain.memberNames())
            path += " > " + m;
        fact(out, "image", path);
    }
    const size_t top = chain.depth() - 1;
    printIdentification(chain, top, opt, out);
    printInfo(chain.top(), out);
    if (chain.top().isContainer())
        printMembers(chain.top(), out);
}

} // namespace korvane::cli
