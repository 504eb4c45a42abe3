#include "extract.h"

#include "model/error.h"
#include "model/tree.h"
#include "model/work.h"
#include "unique_fd.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unordered_map>

namespace korvane {

namespace {

const std::string kPreparing = "正在准备。。";
const std::string kDone = "完成";

// Hard links to hard links are followed this far at most.
constexpr int kMaxLinkHops = 64;

std::string joinPath(const std::string& dir, const std::string& name) {
    return dir.empty() ? name : dir + "/" + name;
}

// Removes whatever non-folder is called name in dirfd, without following it,
// so that name can be created anew.
void clearWay(int dirfd, const std::string& name) {
    struct stat st {};
    if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return;
        throwSystemError("cannot examine the existing entry", errno);
    }
    if (S_ISDIR(st.st_mode))
        throw Error("a folder of that name is in the way");
    if (::unlinkat(dirfd, name.c_str(), 0) != 0)
        throwSystemError("cannot replace the existing entry", errno);
}

// Runs make (a creating call that returns 0, or -1 with errno); when the name
// exists, replaces what is there (never a folder) and tries once more.
template <typename Make>
void createReplacing(int dirfd, const std::string& name, const char* what, Make&& make) {
    if (make() == 0)
        return;
    if (errno != EEXIST)
        throwSystemError(std::string("cannot create the ") + what, errno);
    clearWay(dirfd, name);
    if (make() != 0)
        throwSystemError(std::string("cannot create the ") + what, errno);
}

uint32_t permissionBits(const TImgEntry& e, const ExtractOptions& opt) {
    uint32_t m = e.mode & kModePermissionMask;
    return opt.privileged ? m : m & ~opt.umask;
}

void addNote(std::string& note, const std::string& what, int err) {
    if (!note.empty())
        note += "; ";
    note += what + ": " + std::strerror(err);
}

// Owner (privileged only; before the mode, since a change of owner clears the
// set-id bits), mode and times of an open file or folder.
std::string applyAttributes(int fd, const TImgEntry& e, const ExtractOptions& opt) {
    std::string note;
    if (opt.privileged && ::fchown(fd, e.uid, e.gid) != 0)
        addNote(note, "cannot set the owner", errno);
    if (::fchmod(fd, permissionBits(e, opt)) != 0)
        addNote(note, "cannot set the mode", errno);
    const struct timespec times[2] = {{static_cast<time_t>(e.atime), static_cast<long>(e.atimeNs)},
                                      {static_cast<time_t>(e.mtime), static_cast<long>(e.mtimeNs)}};
    if (::futimens(fd, times) != 0)
        addNote(note, "cannot set the times", errno);
    return note;
}

// The same for an entry that cannot be opened (symbolic links, device
// nodes), never following it.
std::string applyAttributesAt(int dirfd, const std::string& name, const TImgEntry& e,
                              const ExtractOptions& opt, bool setMode) {
    std::string note;
    if (opt.privileged && ::fchownat(dirfd, name.c_str(), e.uid, e.gid, AT_SYMLINK_NOFOLLOW) != 0)
        addNote(note, "cannot set the owner", errno);
    // The entry was just made by this job and is no symbolic link, so
    // fchmodat (which always follows) changes the entry itself.
    if (setMode && ::fchmodat(dirfd, name.c_str(), permissionBits(e, opt), 0) != 0)
        addNote(note, "cannot set the mode", errno);
    const struct timespec times[2] = {{static_cast<time_t>(e.atime), static_cast<long>(e.atimeNs)},
                                      {static_cast<time_t>(e.mtime), static_cast<long>(e.mtimeNs)}};
    if (::utimensat(dirfd, name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        addNote(note, "cannot set the times", errno);
    return note;
}

void writeAll(int fd, const std::byte* p, uint64_t n, uint64_t offset) {
    while (n > 0) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(n, 1u << 30));
        ssize_t w = ::pwrite(fd, p, want, static_cast<off_t>(offset));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            throwSystemError("cannot write the file", w < 0 ? errno : ENOSPC);
        p += w;
        n -= static_cast<uint64_t>(w);
        offset += static_cast<uint64_t>(w);
    }
}

std::string writeSymlink(int dirfd, const std::string& name, const TImgEntry& e,
                         const ExtractOptions& opt) {
    if (e.alias.empty())
        throw Error("the symbolic link has no target");
    createReplacing(dirfd, name, "symbolic link",
                    [&] { return ::symlinkat(e.alias.c_str(), dirfd, name.c_str()); });
    return applyAttributesAt(dirfd, name, e, opt, false);
}

// Device nodes, FIFOs and sockets.
std::string writeSpecial(int dirfd, const std::string& name, const TImgEntry& e,
                         const ExtractOptions& opt) {
    uint32_t type = e.mode & kModeTypeMask;
    if (type == 0 && e.objType == kTypeBlockDevice)
        type = kModeBlockDevice;
    const char* what = type == kModeCharDevice    ? "character device"
                       : type == kModeBlockDevice ? "block device"
                       : type == kModeFifo        ? "FIFO"
                       : type == kModeSocket      ? "socket"
                                                  : nullptr;
    if (!what) {
        char mode[16];
        std::snprintf(mode, sizeof mode, "%o", e.mode);
        throw Error(std::string("special file of unknown kind (mode ") + mode + ")");
    }
    if (!opt.privileged)
        throw Error(std::string(what) + ": device nodes, FIFOs and sockets are created only "
                                        "when running as root");
    const dev_t dev = ::makedev(e.rdev.major, e.rdev.minor);
    createReplacing(dirfd, name, what,
                    [&] { return ::mknodat(dirfd, name.c_str(), type | 0600, dev); });
    return applyAttributesAt(dirfd, name, e, opt, true);
}

// Opens the folder at path (names joined by "/") below dirfd, following no
// symbolic link on the way.
UniqueFd openBeneath(int dirfd, const std::string& path) {
    UniqueFd cur(::fcntl(dirfd, F_DUPFD_CLOEXEC, 0));
    if (!cur)
        throwSystemError("cannot open the target folder", errno);
    size_t from = 0;
    while (from < path.size()) {
        size_t slash = path.find('/', from);
        if (slash == std::string::npos)
            slash = path.size();
        std::string part = path.substr(from, slash - from);
        from = slash + 1;
        UniqueFd next(
            ::openat(cur.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next)
            throwSystemError("cannot open the folder " + path, errno);
        cur = std::move(next);
    }
    return cur;
}

// Every folder on the way down to the object being written holds a
// descriptor, so deep trees need many: allow as many as the system lets the
// process have. A folder beyond that is skipped and listed.
void raiseOpenFileLimit() {
    struct rlimit rl {};
    if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        (void)::setrlimit(RLIMIT_NOFILE, &rl);
    }
}

// One extraction run.
class Extractor {
public:
    Extractor(Timg& img, const ExtractOptions& opt, JobReporter& rep, int rootfd, uint64_t total)
        : img_(img), opt_(opt), rep_(rep), rootfd_(rootfd), total_(total) {}

    // Writes top and everything below it into the target folder. Returns
    // false when the run was cancelled.
    bool extract(Node* top);
    // Hard links whose target came later in the walk, or was not extracted.
    void finishLinks();

    ExtractResult result;

private:
    struct Frame {
        Node* dir;
        UniqueFd fd;
        std::string path;
        size_t next = 0;
    };
    // Where an object was written: its folder below the target and its name.
    struct Place {
        std::string dir;
        std::string name;
    };
    struct PendingLink {
        const Node* node;
        Place place;
    };

    bool cancelled() const { return img_.cancel.load() != 0; }
    bool mayReplace(int dirfd, const std::string& name, const std::string& path);
    void visit(Node* n, int dirfd, const std::string& dirPath, std::vector<Frame>& stack);
    void finishDir(Frame& f);
    void skip(const std::string& path, std::string reason, size_t below = 0);
    void step(const std::string& path);
    UniqueFd makeDir(int dirfd, const std::string& name);
    const Node* linkTarget(const Node* link) const;
    std::string writeHardlink(const Node* link, int dirfd, const Place& at);
    std::string writeCopy(const Node* target, int dirfd, const std::string& name);
    void noteAttributes(const std::string& path, const std::string& note);

    Timg& img_;
    const ExtractOptions& opt_;
    JobReporter& rep_;
    int rootfd_;
    uint64_t total_;
    uint64_t done_ = 0;
    std::unordered_map<uint32_t, Place> written_;
    std::vector<PendingLink> pending_;
    ClashMode replaceMode_ = kClashAsk;
};

// Whether name in dirfd may be written: true when nothing or a folder is
// there, or when the user lets what is there be replaced. Counts the answer.
bool Extractor::mayReplace(int dirfd, const std::string& name, const std::string& path) {
    struct stat st {};
    // A folder is merged into, or refused when a non-folder is written there.
    if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode))
        return true;
    bool replace = replaceMode_ != kClashSkipAll;
    if (replaceMode_ == kClashAsk && opt_.askReplace) {
        const ClashAnswer a = opt_.askReplace(path);
        replace = a == ClashAnswer::kOverwrite || a == ClashAnswer::kOverwriteAll;
        if (a == ClashAnswer::kOverwriteAll)
            replaceMode_ = kClashOverwriteAll;
        else if (a == ClashAnswer::kSkipAll)
            replaceMode_ = kClashSkipAll;
    }
    ++(replace ? result.replaced : result.kept);
    return replace;
}

void Extractor::step(const std::string& path) {
    ++done_;
    rep_.progress(static_cast<int64_t>(done_), static_cast<int64_t>(total_), 2, path);
}

void Extractor::skip(const std::string& path, std::string reason, size_t below) {
    if (below > 0) {
        reason += " (and the " + std::to_string(below) + " object" + (below == 1 ? "" : "s") +
                  " below it)";
        done_ += below;
    }
    result.skipped.push_back({path, std::move(reason)});
}

void Extractor::noteAttributes(const std::string& path, const std::string& note) {
    if (!note.empty())
        result.skipped.push_back({path, "written, but " + note});
}

UniqueFd Extractor::makeDir(int dirfd, const std::string& name) {
    struct stat st {};
    bool fresh = ::mkdirat(dirfd, name.c_str(), 0700) == 0;
    if (!fresh) {
        if (errno != EEXIST)
            throwSystemError("cannot create the folder", errno);
        if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            throwSystemError("cannot examine the existing entry", errno);
        if (!S_ISDIR(st.st_mode)) {
            // A file or symbolic link in the way is replaced, never followed.
            if (::unlinkat(dirfd, name.c_str(), 0) != 0)
                throwSystemError("cannot replace the existing entry", errno);
            if (::mkdirat(dirfd, name.c_str(), 0700) != 0)
                throwSystemError("cannot create the folder", errno);
            fresh = true;
        }
    }
    UniqueFd fd(::openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        throwSystemError("cannot open the folder", errno);
    // A folder left read-only by an earlier run gets its final mode again at
    // the end; until then it must take its contents.
    if (!fresh && !opt_.privileged && (st.st_mode & 0700) != 0700)
        (void)::fchmod(fd.get(), (st.st_mode & kModePermissionMask) | 0700);
    return fd;
}

const Node* Extractor::linkTarget(const Node* link) const {
    const Node* t = link;
    for (int hops = 0; t && t->entry.objType == kTypeHardlink; ++hops) {
        if (hops == kMaxLinkHops)
            throw Error("the hard link leads into a loop of hard links");
        t = img_.nodeFor(t->entry.linkInfo);
    }
    if (!t)
        throw Error("the object it links to is missing from the image");
    if (t->entry.objType == kTypeDirectory)
        throw Error("hard link to a folder");
    return t;
}

std::string Extractor::writeCopy(const Node* target, int dirfd, const std::string& name) {
    const TImgEntry& e = target->entry;
    switch (e.objType) {
    case kTypeFile:
        return outonefile(img_, e.objId, dirfd, name, opt_);
    case kTypeSymlink:
        return writeSymlink(dirfd, name, e, opt_);
    default:
        return writeSpecial(dirfd, name, e, opt_);
    }
}

std::string Extractor::writeHardlink(const Node* link, int dirfd, const Place& at) {
    const Node* target = linkTarget(link);
    auto it = written_.find(target->entry.objId);
    if (it == written_.end())
        return writeCopy(target, dirfd, at.name);
    const Place& src = it->second;
    if (src.dir == at.dir && src.name == at.name)
        return {}; // the link and its target share the one name
    UniqueFd srcDir = openBeneath(rootfd_, src.dir);
    try {
        createReplacing(dirfd, at.name, "hard link", [&] {
            return ::linkat(srcDir.get(), src.name.c_str(), dirfd, at.name.c_str(), 0);
        });
    } catch (const Error&) {
        // No link possible here (too many links, a filesystem without hard
        // links): a copy keeps the contents.
        return writeCopy(target, dirfd, at.name);
    }
    return {};
}

void Extractor::visit(Node* n, int dirfd, const std::string& dirPath, std::vector<Frame>& stack) {
    const std::string& name = n->text;
    const std::string path = joinPath(dirPath, name);
    const TImgEntry& e = n->entry;
    const bool isDir = e.objType == kTypeDirectory;
    if (!safeFileName(name)) {
        skip(path, "the name cannot be used as a file name", isDir ? n->subtreeSize() - 1 : 0);
        step(path);
        return;
    }
    // Asked here for hard links written at the end too.
    if (!mayReplace(dirfd, name, path)) {
        done_ += isDir ? n->subtreeSize() - 1 : 0;
        step(path);
        return;
    }
    try {
        std::string note;
        switch (e.objType) {
        case kTypeDirectory:
            stack.push_back({n, makeDir(dirfd, name), path});
            break;
        case kTypeFile:
            note = outonefile(img_, e.objId, dirfd, name, opt_);
            written_[e.objId] = {dirPath, name};
            break;
        case kTypeSymlink:
            note = writeSymlink(dirfd, name, e, opt_);
            written_[e.objId] = {dirPath, name};
            break;
        case kTypeHardlink:
            if (!written_.count(linkTarget(n)->entry.objId)) {
                // Its target may still come: linked (or copied) at the end.
                pending_.push_back({n, {dirPath, name}});
                step(path);
                return;
            }
            note = writeHardlink(n, dirfd, {dirPath, name});
            break;
        case kTypeSpecial:
        case kTypeBlockDevice:
        case kTypeOther:
            note = writeSpecial(dirfd, name, e, opt_);
            written_[e.objId] = {dirPath, name};
            break;
        default:
            throw Error("object of unknown type " + std::to_string(e.objType));
        }
        ++result.written;
        noteAttributes(path, note);
    } catch (const Error& err) {
        skip(path, err.what(), isDir ? n->subtreeSize() - 1 : 0);
    } catch (const std::bad_alloc&) {
        skip(path, "not enough memory to hold its contents");
    }
    step(path);
}

void Extractor::finishDir(Frame& f) {
    noteAttributes(f.path, applyAttributes(f.fd.get(), f.dir->entry, opt_));
    f.fd.reset();
}

bool Extractor::extract(Node* top) {
    std::vector<Frame> stack;
    if (cancelled())
        return false;
    visit(top, rootfd_, "", stack);
    while (!stack.empty()) {
        if (cancelled()) {
            // Keep what was written, with its folders' own modes and times.
            while (!stack.empty()) {
                finishDir(stack.back());
                stack.pop_back();
            }
            return false;
        }
        Frame& f = stack.back();
        if (f.next == f.dir->children.size()) {
            finishDir(f);
            stack.pop_back();
            continue;
        }
        Node* child = f.dir->children[f.next++].get();
        // visit may grow the stack: pass copies, not references into it.
        int fd = f.fd.get();
        std::string dirPath = f.path;
        visit(child, fd, dirPath, stack);
    }
    return true;
}

void Extractor::finishLinks() {
    for (const PendingLink& p : pending_) {
        if (cancelled())
            return;
        const std::string path = joinPath(p.place.dir, p.place.name);
        try {
            UniqueFd dir = openBeneath(rootfd_, p.place.dir);
            // The folder has its final mode and times already: open it up for
            // the link when it is read-only, and give both back afterwards.
            struct stat st {};
            if (::fstat(dir.get(), &st) != 0)
                throwSystemError("cannot examine its folder", errno);
            bool opened = !opt_.privileged && (st.st_mode & 0300) != 0300;
            if (opened)
                (void)::fchmod(dir.get(), (st.st_mode & kModePermissionMask) | 0300);
            std::string note;
            try {
                note = writeHardlink(p.node, dir.get(), p.place);
            } catch (...) {
                if (opened)
                    (void)::fchmod(dir.get(), st.st_mode & kModePermissionMask);
                throw;
            }
            if (opened)
                (void)::fchmod(dir.get(), st.st_mode & kModePermissionMask);
            if (!p.place.dir.empty()) {
                const struct timespec times[2] = {st.st_atim, st.st_mtim};
                (void)::futimens(dir.get(), times);
            }
            ++result.written;
            noteAttributes(path, note);
        } catch (const Error& err) {
            skip(path, err.what());
        } catch (const std::bad_alloc&) {
            skip(path, "not enough memory to hold its contents");
        }
    }
}

} // namespace

bool ExtractOptions::runningAsRoot() {
    return ::geteuid() == 0;
}

uint32_t ExtractOptions::processUmask() {
    // Read without changing it: umask() would change it for every thread.
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Umask:", 0) == 0)
            return static_cast<uint32_t>(std::stoul(line.substr(6), nullptr, 8)) & 0777;
    mode_t old = ::umask(022);
    ::umask(old);
    return old & 0777;
}

std::string outonefile(Timg& img, uint32_t id, int dirfd, const std::string& name,
                       const ExtractOptions& opt) {
    TImgEntry e;
    if (!img.GetEntry(id, e))
        throw Error("the object is missing from the image");
    if (e.objType != kTypeFile)
        throw Error("not a regular file");
    auto create = [&] {
        return ::openat(dirfd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        0600);
    };
    UniqueFd fd(create());
    if (!fd && errno == EEXIST) {
        clearWay(dirfd, name);
        fd.reset(create());
    }
    if (!fd)
        throwSystemError("cannot create the file", errno);
    std::string note;
    try {
        // Data ranges are written where they belong; holes are left unwritten,
        // so they stay holes, and the length is set at the end.
        Bytes buffer(static_cast<size_t>(std::min<uint64_t>(kStreamBuffer, e.size)));
        forEachData(img, e, MutableByteSpan(buffer), [&](uint64_t at, ByteSpan piece) {
            writeAll(fd.get(), piece.data(), piece.size(), at);
            return true;
        });
        if (::ftruncate(fd.get(), static_cast<off_t>(e.size)) != 0)
            throwSystemError("cannot write the file", errno);
        note = applyAttributes(fd.get(), e, opt);
        if (fd.close() != 0)
            throwSystemError("cannot write the file", errno);
    } catch (...) {
        fd.reset();
        (void)::unlinkat(dirfd, name.c_str(), 0);
        throw;
    }
    return note;
}

ExtractResult outfiles(Timg& img, const std::vector<uint32_t>& ids, const std::string& folder,
                       const ExtractOptions& opt) {
    JobReporter rep(img.onwk, kFlagExtract);
    rep.send(0, 0, 1, kPreparing);
    try {
        if (folder.empty())
            throw Error("no target folder given");
        // The objects: an id of the root stands for the root's children.
        std::vector<Node*> tops;
        std::vector<SkippedObject> missing;
        for (uint32_t id : ids) {
            Node* n = img.nodeFor(id);
            if (!n)
                missing.push_back({"#" + std::to_string(id), "no such object in the tree"});
            else if (!n->parent)
                for (auto& c : n->children)
                    tops.push_back(c.get());
            else
                tops.push_back(n);
        }
        uint64_t total = 0;
        for (Node* n : tops)
            total += n->subtreeSize();

        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
        UniqueFd root(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!root)
            throwSystemError("cannot open the target folder " + folder, ec ? ec.value() : errno);

        raiseOpenFileLimit();
        Extractor x(img, opt, rep, root.get(), total);
        x.result.skipped = std::move(missing);
        bool finished = true;
        for (Node* n : tops)
            if (!(finished = x.extract(n)))
                break;
        if (finished)
            x.finishLinks();
        x.result.cancelled = !finished || img.cancel.load() != 0;
        rep.send(0, 0, 3, kDone);
        return std::move(x.result);
    } catch (...) {
        rep.send(0, 0, 3, kDone);
        throw;
    }
}

} // namespace korvane
