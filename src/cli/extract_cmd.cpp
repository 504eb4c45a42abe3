#include "extract_cmd.h"

#include "model/error.h"
#include "transfer/extract.h"

#include <atomic>
#include <csignal>

namespace korvane::cli {

namespace {

std::atomic<int>* cancelFlag = nullptr;

extern "C" void onInterrupt(int) {
    if (cancelFlag)
        cancelFlag->store(1);
}

// The first Ctrl-C asks the job to stop; the handler resets itself, so a
// second one ends the program at once.
class InterruptCancels {
public:
    explicit InterruptCancels(std::atomic<int>& flag) {
        cancelFlag = &flag;
        struct sigaction sa {};
        sa.sa_handler = onInterrupt;
        sa.sa_flags = SA_RESETHAND;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGINT, &sa, &old_);
    }
    ~InterruptCancels() {
        ::sigaction(SIGINT, &old_, nullptr);
        cancelFlag = nullptr;
    }
    InterruptCancels(const InterruptCancels&) = delete;
    InterruptCancels& operator=(const InterruptCancels&) = delete;

private:
    struct sigaction old_ {};
};

} // namespace

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler stores into it");

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

} // namespace korvane::cli
