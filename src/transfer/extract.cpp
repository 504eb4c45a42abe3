#include "extract.h"

#include "model/error.h"
#include "model/ordered_pool.h"
#include "model/output_file.h"
#include "model/tree.h"
#include "model/work.h"
#include "unique_fd.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unordered_map>
#include <unordered_set>

namespace korvane {

namespace {

const Message kPreparing = msg("Preparing..");
const Message kDone = msg("Done");

// Hard links to hard links are followed this far at most.
constexpr int kMaxLinkHops = 64;

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

// The permission bits a written object gets. Without privilege the umask
// applies, and the set-user and set-group bits go unless the object would
// have them for the ids it is meant to have: the file belongs to whoever
// extracts it, and those bits would otherwise hand them its rights.
uint32_t permissionBits(const TImgEntry& e, const ExtractOptions& opt) {
    uint32_t m = e.mode & kModePermissionMask;
    if (opt.privileged)
        return m;
    m &= ~opt.umask;
    if (e.uid != ::geteuid())
        m &= ~uint32_t{S_ISUID};
    if (e.gid != ::getegid())
        m &= ~uint32_t{S_ISGID};
    return m;
}

// Adds "WHAT: REASON" to the notes about one object, "; " between them.
void addNote(Message& note, Message what, int err) {
    Message item = withReason(std::move(what), systemMessage(err));
    note = note.empty() ? std::move(item) : msg("%1; %2", note, item);
}

struct timespec2 {
    struct timespec t[2];
};

timespec2 timesOf(const TImgEntry& e) {
    return {{{static_cast<time_t>(e.atime), static_cast<long>(e.atimeNs)},
             {static_cast<time_t>(e.mtime), static_cast<long>(e.mtimeNs)}}};
}

// The path through which an O_PATH descriptor's object can be changed by
// calls that take no descriptor of that kind (chmod, utimensat, setxattr).
std::string procPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
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

// Sets the object's extended attributes through set(name, value) (0 or -1
// with errno) and records what failed.
template <typename Set>
void applyXattrs(const TImgEntry& e, XattrFailures* failures, const PathOf& path, Set&& set) {
    for (const Xattr& x : e.xattrs)
        if (set(x.name.c_str(), x.value.data(), x.value.size()) != 0 && failures)
            failures->add(x.name, path, errno);
}

// Owner (privileged only; before the mode, since a change of owner clears the
// set-id bits), mode, extended attributes and times of an open file or folder.
// setMode false: the object was created with its mode.
Message applyAttributes(int fd, const TImgEntry& e, const ExtractOptions& opt,
                        XattrFailures* failures = nullptr, const PathOf& path = {},
                        bool setMode = true) {
    Message note;
    if (opt.privileged && ::fchown(fd, e.uid, e.gid) != 0)
        addNote(note, msg("cannot set the owner"), errno);
    if (setMode && ::fchmod(fd, permissionBits(e, opt)) != 0)
        addNote(note, msg("cannot set the mode"), errno);
    applyXattrs(e, failures, path, [fd](const char* n, const void* v, size_t len) {
        return ::fsetxattr(fd, n, v, len, 0);
    });
    const timespec2 times = timesOf(e);
    if (::futimens(fd, times.t) != 0)
        addNote(note, msg("cannot set the times"), errno);
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

Message writeSymlink(int dirfd, const std::string& name, const TImgEntry& e,
                     const ExtractOptions& opt, XattrFailures* failures, const PathOf& path) {
    if (e.alias.empty())
        throw Error("the symbolic link has no target");
    createReplacing(dirfd, name, msg("symbolic link"),
                    [&] { return ::symlinkat(e.alias.c_str(), dirfd, name.c_str()); });
    Message note;
    if (opt.privileged && ::fchownat(dirfd, name.c_str(), e.uid, e.gid, AT_SYMLINK_NOFOLLOW) != 0)
        addNote(note, msg("cannot set the owner"), errno);
    // The link itself, reached through its folder's descriptor and never
    // followed.
    const std::string at = procPath(dirfd) + "/" + name;
    applyXattrs(e, failures, path, [&at](const char* n, const void* v, size_t len) {
        return ::lsetxattr(at.c_str(), n, v, len, 0);
    });
    const timespec2 times = timesOf(e);
    if (::utimensat(dirfd, name.c_str(), times.t, AT_SYMLINK_NOFOLLOW) != 0)
        addNote(note, msg("cannot set the times"), errno);
    return note;
}

// Device nodes, FIFOs and sockets. Devices need privilege; FIFOs and sockets
// can be made by anyone. The attributes are set on the node that was made,
// through a descriptor of it, never through a name that could have been
// swapped for a link meanwhile.
Message writeSpecial(int dirfd, const std::string& name, const TImgEntry& e,
                     const ExtractOptions& opt, XattrFailures* failures, const PathOf& path) {
    const uint32_t type = fileTypeBits(e);
    const Message what = type == kModeCharDevice    ? msg("character device")
                         : type == kModeBlockDevice ? msg("block device")
                         : type == kModeFifo        ? msg("FIFO")
                         : type == kModeSocket      ? msg("socket")
                                                    : Message{};
    if (what.empty()) {
        char mode[16];
        std::snprintf(mode, sizeof mode, "%o", e.mode);
        throw Error(msg("special file of unknown kind (mode %1)", mode));
    }
    const bool device = type == kModeCharDevice || type == kModeBlockDevice;
    if (device && !opt.privileged)
        throw Error(msg("%1: device nodes are created only when running as root", what));
    const dev_t dev = device ? ::makedev(e.rdev.major, e.rdev.minor) : 0;
    createReplacing(dirfd, name, what,
                    [&] { return ::mknodat(dirfd, name.c_str(), type | 0600, dev); });
    UniqueFd fd(::openat(dirfd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0)
        throwSystemError(msg("cannot open the new %1", what), errno);
    if ((st.st_mode & S_IFMT) != type || (device && st.st_rdev != dev))
        throw Error(msg("the new %1 was replaced by something else", what));
    Message note;
    if (opt.privileged && ::fchownat(fd.get(), "", e.uid, e.gid, AT_EMPTY_PATH) != 0)
        addNote(note, msg("cannot set the owner"), errno);
    const std::string self = procPath(fd.get());
    if (::chmod(self.c_str(), permissionBits(e, opt)) != 0)
        addNote(note, msg("cannot set the mode"), errno);
    applyXattrs(e, failures, path, [&self](const char* n, const void* v, size_t len) {
        return ::setxattr(self.c_str(), n, v, len, 0);
    });
    const timespec2 times = timesOf(e);
    if (::utimensat(AT_FDCWD, self.c_str(), times.t, 0) != 0)
        addNote(note, msg("cannot set the times"), errno);
    return note;
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

// Writes the regular file id as name in dirfd (see outonefile), recording
// extended attributes that could not be set. createMask: the process's umask.
Message writeFile(Timg& img, uint32_t id, int dirfd, const std::string& name,
                  const ExtractOptions& opt, XattrFailures* failures, const PathOf& path,
                  uint32_t createMask) {
    TImgEntry e;
    if (!img.GetEntry(id, e))
        throw Error("the object is missing from the image");
    if (e.objType != kTypeFile)
        throw Error("not a regular file");
    // The file is made with its permission bits when the umask leaves them
    // whole and no set-id or sticky bit is wanted (a change of owner would
    // clear those): no change of mode afterwards then.
    const uint32_t perm = permissionBits(e, opt);
    const bool madeWithMode = (perm & ~0777u) == 0 && (perm & createMask) == 0;
    auto create = [&] {
        return ::openat(dirfd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        madeWithMode ? perm : 0600);
    };
    UniqueFd fd(create());
    if (!fd && errno == EEXIST) {
        clearWay(dirfd, name);
        fd.reset(create());
    }
    if (!fd)
        throwSystemError("cannot create the file", errno);
    Message note;
    try {
        // Data ranges are written where they belong; holes are left unwritten,
        // so they stay holes, and the length is set at the end.
        Bytes buffer(static_cast<size_t>(std::min<uint64_t>(kStreamBuffer, e.size)));
        uint64_t end = 0;
        forEachData(img, e, MutableByteSpan(buffer), [&](uint64_t at, ByteSpan piece) {
            writeAll(fd.get(), piece.data(), piece.size(), at);
            end = at + piece.size();
            return true;
        });
        if (end != e.size && ::ftruncate(fd.get(), static_cast<off_t>(e.size)) != 0)
            throwSystemError("cannot write the file", errno);
        note = applyAttributes(fd.get(), e, opt, failures, path, !madeWithMode);
        if (fd.close() != 0)
            throwSystemError("cannot write the file", errno);
    } catch (...) {
        fd.reset();
        (void)::unlinkat(dirfd, name.c_str(), 0);
        throw;
    }
    return note;
}

// Files handed to the workers that wait at a time, and folders whose files
// are still being written that wait for their own mode and times.
constexpr size_t kFilesQueued = 64;
constexpr size_t kFoldersWaiting = 64;

// One extraction run. Memory grows with the depth of the tree by one folder
// descriptor a level, and with the number of objects by one record for each
// object hard links point to; the path of the folder being written is kept
// once, and an object's path is made only for a message.
//
// Regular files are written by a worker per core while the walk goes on (the
// kernel's work of making and filling files is most of an extraction, and
// decompressing formats add their own). What each write found is taken in
// on the walk's thread in the walk's order, so counts, notes and the list of
// skipped objects are the same as with one thread. A folder gets its own
// mode and times once every file in it is written; a file that hard links
// point to is written by the walk itself, so that the links find it.
class Extractor {
public:
    Extractor(Timg& img, const ExtractOptions& opt, JobReporter& rep, int rootfd, uint64_t total,
              const std::vector<Node*>& tops)
        : img_(img), opt_(opt), rep_(rep), rootfd_(rootfd), total_(total),
          pool_(opt.workers ? opt.workers : defaultWorkers(), kFilesQueued) {
        // The objects hard links point to: only they need their place kept.
        for (const Node* top : tops)
            forEachPreorder(const_cast<Node*>(top), [&](Node* n) {
                if (n->entry.objType == kTypeHardlink)
                    if (const Node* t = hardlinkTarget(img, n))
                        linked_.insert(t->entry.objId);
            });
    }

    // Writes top and everything below it into the target folder. Returns
    // false when the run was cancelled.
    bool extract(Node* top);
    // Lists top, and everything below it, as not written: an object before it
    // in the run has its name.
    void refuseNamesake(Node* top);
    // Hard links whose target came later in the walk, or was not extracted.
    void finishLinks();

    ExtractResult result;
    XattrFailures xattrFailures;

private:
    const uint32_t createMask_ = korvane::processUmask();
    struct Frame {
        Node* dir;
        UniqueFd fd;
        bool fresh;        // made by this run: nothing was in it
        size_t pathLength; // of dirPath_ while the folder's children are written
        // Children not written: a child before them in the folder has their
        // name (sorted by address).
        std::vector<const Node*> namesakes;
        size_t next = 0;
        bool queued = false; // files of it went to the workers
    };
    // A folder done but for its files on the workers: its attributes are set
    // when they are written.
    struct Waiting {
        Node* dir;
        UniqueFd fd;
        std::string path;
    };
    // An object written to disk, and the top of the run it is below.
    struct Place {
        const Node* node;
        const Node* top;
    };

    bool cancelled() const { return img_.cancel.load() != 0; }
    // The path below the target folder of a child of the folder being
    // written (or of a top).
    std::string childPath(const Node* n) const {
        return dirPath_.empty() ? n->text : dirPath_ + "/" + n->text;
    }
    // The path of any object written, from the tree.
    static std::string pathOf(const Place& p) { return pathFromRoot(p.node, p.top); }
    bool mayReplace(int dirfd, const Node* n);
    void visit(Node* n, int dirfd, bool freshDir, std::vector<Frame>& stack);
    void finishDir(Frame& f);
    void setDirAttributes(int fd, const Node* dir, const std::string& path);
    void writeLater(Node* n, int dirfd);
    // Waits for the workers' files and finishes the folders that waited.
    void settle();
    void skip(std::string path, Message reason, size_t below = 0);
    void step(const Node* n);
    UniqueFd makeDir(int dirfd, const std::string& name, bool& fresh);
    UniqueFd openFolderOf(const Place& p) const;
    const Node* linkTarget(const Node* link) const;
    Message writeHardlink(const Place& link, int dirfd, const PathOf& path);
    Message writeCopy(const Node* target, int dirfd, const std::string& name, const PathOf& path);
    void noteAttributes(const std::string& path, const Message& note);
    void remember(const Node* n) {
        if (linked_.count(n->entry.objId))
            written_[n->entry.objId] = {n, top_};
    }

    Timg& img_;
    const ExtractOptions& opt_;
    JobReporter& rep_;
    int rootfd_;
    uint64_t total_;
    uint64_t done_ = 0;
    const Node* top_ = nullptr;
    std::string dirPath_; // of the folder whose children are being written
    std::unordered_set<uint32_t> linked_;
    std::unordered_map<uint32_t, Place> written_;
    std::vector<Place> pending_;
    ClashMode replaceMode_ = kClashAsk;
    OrderedPool pool_;
    std::vector<Waiting> waiting_;
};

// Whether n's name in dirfd may be written: true when nothing or a folder is
// there, or when the user lets what is there be replaced. Counts the answer.
bool Extractor::mayReplace(int dirfd, const Node* n) {
    struct stat st {};
    // A folder is merged into, or refused when a non-folder is written there.
    if (::fstatat(dirfd, n->text.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode))
        return true;
    bool replace = replaceMode_ != kClashSkipAll;
    if (replaceMode_ == kClashAsk && opt_.askReplace) {
        const ClashAnswer a = opt_.askReplace(childPath(n));
        replace = a == ClashAnswer::kOverwrite || a == ClashAnswer::kOverwriteAll;
        if (a == ClashAnswer::kOverwriteAll)
            replaceMode_ = kClashOverwriteAll;
        else if (a == ClashAnswer::kSkipAll)
            replaceMode_ = kClashSkipAll;
    }
    ++(replace ? result.replaced : result.kept);
    return replace;
}

void Extractor::step(const Node* n) {
    ++done_;
    rep_.progressWith(static_cast<int64_t>(done_), static_cast<int64_t>(total_), 2,
                      [&] { return verbatim(childPath(n)); });
}

void Extractor::skip(std::string path, Message reason, size_t below) {
    if (below > 0) {
        reason = below == 1 ? msg("%1 (and the object below it)", reason)
                            : msg("%1 (and the %2 objects below it)", reason, below);
        done_ += below;
    }
    result.skipped.push_back({std::move(path), std::move(reason)});
}

void Extractor::noteAttributes(const std::string& path, const Message& note) {
    if (!note.empty())
        result.skipped.push_back({path, msg("written, but %1", note)});
}

UniqueFd Extractor::makeDir(int dirfd, const std::string& name, bool& fresh) {
    struct stat st {};
    fresh = ::mkdirat(dirfd, name.c_str(), 0700) == 0;
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

// The folder that holds p on disk, opened for reaching into only (O_PATH):
// that needs no read permission on it, so a folder of mode 0111 still works.
UniqueFd Extractor::openFolderOf(const Place& p) const {
    std::vector<const Node*> chain; // p's folders below the target folder, innermost first
    if (p.node != p.top)
        for (const Node* n = p.node->parent; n; n = n->parent) {
            chain.push_back(n);
            if (n == p.top)
                break;
        }
    UniqueFd cur(::fcntl(rootfd_, F_DUPFD_CLOEXEC, 0));
    if (!cur)
        throwSystemError("cannot open the target folder", errno);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        UniqueFd next(::openat(cur.get(), (*it)->text.c_str(),
                               O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next)
            throwSystemError(msg("cannot open the folder %1", pathFromRoot(*it, p.top)), errno);
        cur = std::move(next);
    }
    return cur;
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

Message Extractor::writeCopy(const Node* target, int dirfd, const std::string& name,
                             const PathOf& path) {
    const TImgEntry& e = target->entry;
    switch (e.objType) {
    case kTypeFile:
        return writeFile(img_, e.objId, dirfd, name, opt_, &xattrFailures, path, createMask_);
    case kTypeSymlink:
        return writeSymlink(dirfd, name, e, opt_, &xattrFailures, path);
    default:
        return writeSpecial(dirfd, name, e, opt_, &xattrFailures, path);
    }
}

Message Extractor::writeHardlink(const Place& link, int dirfd, const PathOf& path) {
    const Node* target = linkTarget(link.node);
    const std::string& name = link.node->text;
    auto it = written_.find(target->entry.objId);
    if (it == written_.end())
        return writeCopy(target, dirfd, name, path);
    const Place& src = it->second;
    if (src.node == link.node)
        return {};
    UniqueFd srcDir = openFolderOf(src);
    try {
        createReplacing(dirfd, name, msg("hard link"), [&] {
            return ::linkat(srcDir.get(), src.node->text.c_str(), dirfd, name.c_str(), 0);
        });
    } catch (const Error&) {
        // No link possible here (too many links, a filesystem without hard
        // links): a copy keeps the contents.
        return writeCopy(target, dirfd, name, path);
    }
    return {};
}

void Extractor::visit(Node* n, int dirfd, bool freshDir, std::vector<Frame>& stack) {
    const std::string& name = n->text;
    const TImgEntry& e = n->entry;
    const bool isDir = e.objType == kTypeDirectory;
    const PathOf path = [&] { return childPath(n); };
    if (!safeFileName(name)) {
        skip(path(), msg("the name cannot be used as a file name"),
             isDir ? n->subtreeSize() - 1 : 0);
        step(n);
        return;
    }
    // Asked here for hard links written at the end too. In a folder this run
    // made there is nothing to replace.
    if (!freshDir && !mayReplace(dirfd, n)) {
        done_ += isDir ? n->subtreeSize() - 1 : 0;
        step(n);
        return;
    }
    try {
        Message note;
        switch (e.objType) {
        case kTypeDirectory: {
            bool fresh = false;
            UniqueFd fd = makeDir(dirfd, name, fresh);
            step(n);
            dirPath_ = path();
            stack.push_back(
                {n, std::move(fd), fresh, dirPath_.size(), laterNamesakes(n->children)});
            ++result.written;
            return;
        }
        case kTypeFile:
            if (pool_.workers() > 1 && !linked_.count(e.objId) && !stack.empty() &&
                stack.back().fd.get() == dirfd) {
                stack.back().queued = true;
                writeLater(n, dirfd);
                step(n);
                return;
            }
            note = writeFile(img_, e.objId, dirfd, name, opt_, &xattrFailures, path, createMask_);
            remember(n);
            break;
        case kTypeSymlink:
            note = writeSymlink(dirfd, name, e, opt_, &xattrFailures, path);
            remember(n);
            break;
        case kTypeHardlink:
            if (!written_.count(linkTarget(n)->entry.objId)) {
                // Its target may still come: linked (or copied) at the end.
                pending_.push_back({n, top_});
                step(n);
                return;
            }
            note = writeHardlink({n, top_}, dirfd, path);
            break;
        case kTypeSpecial:
        case kTypeBlockDevice:
        case kTypeOther:
            note = writeSpecial(dirfd, name, e, opt_, &xattrFailures, path);
            remember(n);
            break;
        default:
            throw Error(msg("object of unknown type %1", e.objType));
        }
        ++result.written;
        if (!note.empty())
            noteAttributes(path(), note);
    } catch (const Error& err) {
        skip(path(), err.message(), isDir ? n->subtreeSize() - 1 : 0);
    } catch (const std::bad_alloc&) {
        skip(path(), msg("not enough memory"));
    }
    step(n);
}

void Extractor::writeLater(Node* n, int dirfd) {
    struct Outcome {
        bool started = false;
        Message note;
        std::optional<Message> error;
        XattrFailures xattrs;
    };
    auto out = std::make_shared<Outcome>();
    const Node* top = top_;
    OrderedPool::Unit u;
    u.work = [this, n, top, dirfd, out](unsigned) {
        if (cancelled())
            return;
        out->started = true;
        try {
            out->note = writeFile(
                img_, n->entry.objId, dirfd, n->text, opt_, &out->xattrs,
                [n, top] { return pathFromRoot(n, top); }, createMask_);
        } catch (const Error& err) {
            out->error = err.message();
        } catch (const std::bad_alloc&) {
            out->error = msg("not enough memory");
        }
    };
    u.commit = [this, n, top, out] {
        if (!out->started)
            return;
        xattrFailures.merge(std::move(out->xattrs));
        if (out->error) {
            result.skipped.push_back({pathFromRoot(n, top), std::move(*out->error)});
            return;
        }
        ++result.written;
        noteAttributes(pathFromRoot(n, top), out->note);
    };
    pool_.submit(std::move(u));
}

void Extractor::setDirAttributes(int fd, const Node* dir, const std::string& path) {
    const Message note =
        applyAttributes(fd, dir->entry, opt_, &xattrFailures, [&path] { return path; });
    if (!note.empty())
        noteAttributes(path, note);
}

void Extractor::finishDir(Frame& f) {
    if (f.queued) {
        waiting_.push_back({f.dir, std::move(f.fd), dirPath_});
        if (waiting_.size() >= kFoldersWaiting)
            settle();
        return;
    }
    setDirAttributes(f.fd.get(), f.dir, dirPath_);
    f.fd.reset();
}

void Extractor::settle() {
    pool_.finish();
    // Inner folders waited first, and setting a folder's attributes does not
    // touch the folder it is in.
    for (Waiting& w : waiting_)
        setDirAttributes(w.fd.get(), w.dir, w.path);
    waiting_.clear();
}

void Extractor::refuseNamesake(Node* top) {
    top_ = top;
    dirPath_.clear();
    skip(childPath(top), msg("an object of the same name came before it; it is left out"),
         top->isDirectory() ? top->subtreeSize() - 1 : 0);
    step(top);
}

bool Extractor::extract(Node* top) {
    top_ = top;
    dirPath_.clear();
    std::vector<Frame> stack;
    if (cancelled())
        return false;
    // The workers use the descriptors of the folders on the stack: they are
    // done before the stack goes, however the walk ends.
    struct Settle {
        Extractor& x;
        ~Settle() {
            try {
                x.settle();
            } catch (...) {
            }
        }
    } settleAtEnd{*this};
    visit(top, rootfd_, false, stack);
    // Each folder's path is dirPath_ while its children are written.
    auto pop = [&] {
        finishDir(stack.back());
        stack.pop_back();
        dirPath_.resize(stack.empty() ? 0 : stack.back().pathLength);
    };
    while (!stack.empty()) {
        if (cancelled()) {
            // Keep what was written, with its folders' own modes and times.
            while (!stack.empty())
                pop();
            settle();
            return false;
        }
        Frame& f = stack.back();
        if (f.next == f.dir->children.size()) {
            pop();
            continue;
        }
        Node* child = f.dir->children[f.next++].get();
        if (std::binary_search(f.namesakes.begin(), f.namesakes.end(), child)) {
            // Two objects of one name in a folder: the first is written, and
            // the other would overwrite it or be merged into it.
            skip(childPath(child), msg("an object of the same name came before it; it is left out"),
                 child->isDirectory() ? child->subtreeSize() - 1 : 0);
            step(child);
            continue;
        }
        // visit may grow the stack: pass a copy of the descriptor, not a
        // reference into it.
        const int fd = f.fd.get();
        visit(child, fd, f.fresh, stack);
    }
    settle();
    return true;
}

void Extractor::finishLinks() {
    for (const Place& p : pending_) {
        if (cancelled())
            return;
        top_ = p.top;
        const PathOf path = [&] { return pathOf(p); };
        try {
            UniqueFd dir = openFolderOf(p);
            // The folder has its final mode and times already: open it up for
            // the link when we may not write into it, and give both back
            // afterwards.
            struct stat st {};
            if (::fstat(dir.get(), &st) != 0)
                throwSystemError("cannot examine its folder", errno);
            const std::string self = procPath(dir.get());
            const bool opened = !opt_.privileged && (st.st_mode & 0300) != 0300;
            if (opened)
                (void)::chmod(self.c_str(), (st.st_mode & kModePermissionMask) | 0300);
            Message note;
            try {
                note = writeHardlink(p, dir.get(), path);
            } catch (...) {
                if (opened)
                    (void)::chmod(self.c_str(), st.st_mode & kModePermissionMask);
                throw;
            }
            if (opened)
                (void)::chmod(self.c_str(), st.st_mode & kModePermissionMask);
            if (p.node != p.top) {
                const struct timespec times[2] = {st.st_atim, st.st_mtim};
                (void)::utimensat(AT_FDCWD, self.c_str(), times, 0);
            }
            ++result.written;
            if (!note.empty())
                noteAttributes(path(), note);
        } catch (const Error& err) {
            skip(path(), err.message());
        } catch (const std::bad_alloc&) {
            skip(path(), msg("not enough memory"));
        }
    }
}

} // namespace

bool ExtractOptions::runningAsRoot() {
    return ::geteuid() == 0;
}

uint32_t ExtractOptions::processUmask() {
    return korvane::processUmask();
}

Message outonefile(Timg& img, uint32_t id, int dirfd, const std::string& name,
                   const ExtractOptions& opt) {
    return writeFile(
        img, id, dirfd, name, opt, nullptr, [&name] { return name; }, korvane::processUmask());
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
                missing.push_back({"#" + std::to_string(id), msg("no such object in the tree")});
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
            throwSystemError(msg("cannot open the target folder %1", folder),
                             ec ? ec.value() : errno);

        raiseOpenFileLimit();
        Extractor x(img, opt, rep, root.get(), total, tops);
        x.result.skipped = std::move(missing);
        // The objects of the run go into one folder: names must differ there
        // too.
        const std::vector<const Node*> namesakes = laterNamesakes(tops);
        bool finished = true;
        for (Node* n : tops) {
            if (std::binary_search(namesakes.begin(), namesakes.end(), n))
                x.refuseNamesake(n);
            else if (!(finished = x.extract(n)))
                break;
        }
        if (finished)
            x.finishLinks();
        x.xattrFailures.report(x.result.skipped);
        x.result.cancelled = !finished || img.cancel.load() != 0;
        rep.send(0, 0, 3, kDone);
        return std::move(x.result);
    } catch (...) {
        rep.send(0, 0, 3, kDone);
        throw;
    }
}

} // namespace korvane
