#include "extract.h"

#include "extract_objects.h"
#include "model/error.h"
#include "model/ordered_pool.h"
#include "model/output_file.h"
#include "model/tree.h"
#include "model/work.h"
#include "unique_fd.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <sys/stat.h>
#include <unordered_map>
#include <unordered_set>

namespace korvane {

namespace {

using namespace extracting;

const Message kPreparing = msg("Preparing..");
const Message kDone = msg("Done");

// Hard links to hard links are followed this far at most.
constexpr int kMaxLinkHops = 64;

// Batches of files handed to the workers (and folders waiting for them) that
// are queued at a time.
constexpr size_t kBatchesQueued = 64;
// A batch: files of one folder, one after another in the walk, up to this
// many or this many bytes. Making a file locks its folder, so two workers
// filling one folder wait on each other; by folders they seldom meet, and a
// worker is woken once a batch rather than once a file.
constexpr size_t kBatchFiles = 32;
constexpr uint64_t kBatchBytes = 1u << 20;

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
          pool_(opt.workers ? opt.workers : defaultWorkers(), kBatchesQueued) {
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
    // Adds the file n of the folder dirfd to the batch for the workers.
    void writeLater(Node* n, int dirfd);
    // Hands the batch to the workers.
    void submitBatch();
    // Waits for the workers' files and the folders that wait for them.
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
    struct Batch {
        int dirfd = -1;
        std::vector<Node*> files;
        uint64_t bytes = 0;
    } batch_;
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
    if (batch_.dirfd != dirfd)
        submitBatch();
    batch_.dirfd = dirfd;
    batch_.files.push_back(n);
    batch_.bytes += n->entry.size;
    if (batch_.files.size() >= kBatchFiles || batch_.bytes >= kBatchBytes)
        submitBatch();
}

void Extractor::submitBatch() {
    if (batch_.files.empty())
        return;
    struct Outcome {
        bool started = false;
        Message note;
        std::optional<Message> error;
        XattrFailures xattrs;
    };
    auto files = std::make_shared<std::vector<Node*>>(std::move(batch_.files));
    auto out = std::make_shared<std::vector<Outcome>>(files->size());
    const int dirfd = batch_.dirfd;
    batch_ = Batch{};
    const Node* top = top_;
    OrderedPool::Unit u;
    u.work = [this, files, top, dirfd, out](unsigned) {
        for (size_t i = 0; i < files->size(); ++i) {
            if (cancelled())
                return;
            const Node* n = (*files)[i];
            Outcome& o = (*out)[i];
            o.started = true;
            try {
                o.note = writeFile(
                    img_, n->entry.objId, dirfd, n->text, opt_, &o.xattrs,
                    [n, top] { return pathFromRoot(n, top); }, createMask_);
            } catch (const Error& err) {
                o.error = err.message();
            } catch (const std::bad_alloc&) {
                o.error = msg("not enough memory");
            }
        }
    };
    u.commit = [this, files, top, out] {
        for (size_t i = 0; i < files->size(); ++i) {
            Outcome& o = (*out)[i];
            if (!o.started)
                return;
            const Node* n = (*files)[i];
            xattrFailures.merge(std::move(o.xattrs));
            if (o.error) {
                result.skipped.push_back({pathFromRoot(n, top), std::move(*o.error)});
                continue;
            }
            ++result.written;
            if (!o.note.empty())
                noteAttributes(pathFromRoot(n, top), o.note);
        }
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
    if (!f.queued) {
        setDirAttributes(f.fd.get(), f.dir, dirPath_);
        f.fd.reset();
        return;
    }
    // Its files are on the workers: its own mode and times are set when they
    // are written, in the order of the queue, with no wait here. Inner
    // folders come first, and setting a folder's attributes does not touch
    // the folder it is in.
    if (batch_.dirfd == f.fd.get())
        submitBatch();
    OrderedPool::Unit u;
    u.commit = [this, dir = f.dir, fd = std::make_shared<UniqueFd>(std::move(f.fd)),
                path = dirPath_] { setDirAttributes(fd->get(), dir, path); };
    pool_.submit(std::move(u));
}

void Extractor::settle() {
    submitBatch();
    pool_.finish();
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
