// The writing of single objects on disk for extraction: files, symbolic
// links, device nodes, FIFOs and sockets, with their attributes. Shared by
// the extraction run (extract.cpp) and nothing else.
#pragma once

#include "extract.h"
#include "model/error.h"

#include <cerrno>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace korvane::extracting {

// Removes whatever non-folder is called name in dirfd, without following it,
// so that name can be created anew.
void clearWay(int dirfd, const std::string& name);

// Runs make (a creating call that returns 0, or -1 with errno); when the name
// exists, replaces what is there (never a folder) and tries once more. what
// names the kind of object made ("symbolic link").
template <typename Make>
void createReplacing(int dirfd, const std::string& name, const Message& what, Make&& make) {
    if (make() == 0)
        return;
    if (errno != EEXIST)
        throwSystemError(msg("cannot create the %1", what), errno);
    clearWay(dirfd, name);
    if (make() != 0)
        throwSystemError(msg("cannot create the %1", what), errno);
}

// The path of the object being written, below the target folder: made only
// when a message needs it.
using PathOf = std::function<std::string()>;

// Extended attributes that could not be set, summed up per name: an image
// from a phone labels every file, and a run by an ordinary user cannot set
// one of those labels.
class XattrFailures {
public:
    void add(const std::string& name, const PathOf& path, int err) {
        auto [it, fresh] = byName_.try_emplace(name);
        if (fresh)
            it->second = {path(), err, 0};
        ++it->second.count;
    }
    // Takes in what another run of writes found, as if it came after this
    // one's.
    void merge(XattrFailures&& other) {
        for (auto& [name, f] : other.byName_) {
            auto [it, fresh] = byName_.try_emplace(name, std::move(f));
            if (!fresh)
                it->second.count += f.count;
        }
    }
    void report(std::vector<SkippedObject>& out) const {
        for (const auto& [name, f] : byName_) {
            Message why = msg("written, but the extended attribute %1 could not be set (%2)", name,
                              systemMessage(f.err));
            if (f.count > 1)
                why = msg("%1; the same for %2 more objects", why, f.count - 1);
            out.push_back({f.firstPath, std::move(why)});
        }
    }

private:
    struct Failure {
        std::string firstPath;
        int err;
        uint64_t count;
    };
    std::map<std::string, Failure> byName_;
};

// The path through which an O_PATH descriptor's object can be changed by
// calls that take no descriptor of that kind (chmod, utimensat, setxattr).
std::string procPath(int fd);

// Owner, mode, extended attributes and times of an open file or folder (see
// extract_objects.cpp); setMode false: the object was created with its mode.
Message applyAttributes(int fd, const TImgEntry& e, const ExtractOptions& opt,
                        XattrFailures* failures = nullptr, const PathOf& path = {},
                        bool setMode = true);

Message writeSymlink(int dirfd, const std::string& name, const TImgEntry& e,
                     const ExtractOptions& opt, XattrFailures* failures, const PathOf& path);
Message writeSpecial(int dirfd, const std::string& name, const TImgEntry& e,
                     const ExtractOptions& opt, XattrFailures* failures, const PathOf& path);
// Writes the regular file id as name in dirfd, recording extended attributes
// that could not be set. createMask: the process's umask.
Message writeFile(Timg& img, uint32_t id, int dirfd, const std::string& name,
                  const ExtractOptions& opt, XattrFailures* failures, const PathOf& path,
                  uint32_t createMask);

// Raises the soft limit of open files to the hard limit: every folder on the
// way down holds a descriptor.
void raiseOpenFileLimit();

} // namespace korvane::extracting
