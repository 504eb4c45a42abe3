#include "addfiles.h"

#include "edit.h"
#include "model/error.h"
#include "model/texts.h"
#include "model/tree.h"
#include "model/tree_order.h"
#include "model/work.h"
#include "unique_fd.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unordered_map>
#include <unordered_set>

namespace korvane {

namespace {

const Message kCounting = msg("Counting the files to add");
const Message kDone = msg("Done");

using NameMap = std::unordered_map<std::string, Node*>;

// The system's reason, alone: the error lines name the folder and what failed.
[[noreturn]] void throwReason(int err) {
    throw Error(systemMessage(err));
}

// The folder name in the folder dirfd (or the folder at the path name, with
// AT_FDCWD), opened to be read; follows no symbolic link at the end.
UniqueFd openFolder(int dirfd, const char* name) {
    UniqueFd fd(::openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        throwReason(errno);
    return fd;
}

// The names in the open folder folderFd, "." and ".." left out, in byte
// order so that a run goes the same way every time. folderFd stays open.
std::vector<std::string> listFolder(int folderFd) {
    UniqueFd own(::fcntl(folderFd, F_DUPFD_CLOEXEC, 0));
    if (!own)
        throwReason(errno);
    DIR* d = ::fdopendir(own.get());
    if (!d)
        throwReason(errno);
    (void)own.release();
    std::vector<std::string> names;
    int err = 0;
    for (;;) {
        errno = 0;
        dirent* ent = ::readdir(d);
        if (!ent) {
            err = errno;
            break;
        }
        std::string name = ent->d_name;
        if (name != "." && name != "..")
            names.push_back(std::move(name));
    }
    ::closedir(d);
    if (err != 0)
        throwReason(err);
    std::sort(names.begin(), names.end());
    return names;
}

// Calls get(buffer, size) (a listxattr or getxattr call) until the buffer
// holds the whole answer; most objects have no attributes, and most names and
// values are short, so the first call usually does.
template <typename Get>
bool readWhole(std::string& out, Get&& get) {
    out.resize(256);
    for (;;) {
        const ssize_t n = get(out.data(), out.size());
        if (n >= 0) {
            out.resize(static_cast<size_t>(n));
            return true;
        }
        if (errno != ERANGE)
            return false;
        const ssize_t want = get(nullptr, 0); // grew meanwhile, or longer than the buffer
        if (want < 0)
            return false;
        out.resize(static_cast<size_t>(want) + 1);
    }
}

// The extended attributes of the object at path (not followed), in the order
// the filesystem lists them. None where the filesystem keeps none.
std::vector<Xattr> readXattrs(const std::string& path) {
    std::string names;
    if (!readWhole(names, [&](char* b, size_t n) { return ::llistxattr(path.c_str(), b, n); })) {
        if (errno == ENOTSUP || errno == ENOSYS)
            return {};
        throwSystemError("cannot list the extended attributes", errno);
    }
    std::vector<Xattr> out;
    for (size_t i = 0; i < names.size();) {
        std::string name(names.c_str() + i);
        i += name.size() + 1;
        if (name.empty())
            continue;
        std::string value;
        if (!readWhole(value, [&](char* b, size_t n) {
                return ::lgetxattr(path.c_str(), name.c_str(), b, n);
            })) {
            if (errno == ENODATA)
                continue; // removed meanwhile
            throwSystemError(msg("cannot read the extended attribute %1", name), errno);
        }
        out.push_back({std::move(name), std::move(value)});
    }
    return out;
}

void applyStat(TImgEntry& e, const struct stat& st) {
    e.mode = (e.mode & ~kModePermissionMask) | (st.st_mode & kModePermissionMask);
    e.uid = st.st_uid;
    e.gid = st.st_gid;
    e.atime = st.st_atim.tv_sec;
    e.mtime = st.st_mtim.tv_sec;
    e.ctime = st.st_ctim.tv_sec;
    e.atimeNs = static_cast<uint32_t>(st.st_atim.tv_nsec);
    e.mtimeNs = static_cast<uint32_t>(st.st_mtim.tv_nsec);
    e.ctimeNs = static_cast<uint32_t>(st.st_ctim.tv_nsec);
}

Message cannotReadFile(const std::string& path, const Message& why) {
    return msg("cannot read the file %1: %2", path, why);
}

NameMap namesOf(Node* dir) {
    NameMap m;
    m.reserve(dir->children.size());
    for (auto& c : dir->children)
        m[c->text] = c.get(); // the last of equal names counts
    return m;
}

// One run of adding.
class Adder {
public:
    // touched: gets the folders objects are added to.
    Adder(Timg& img, const AddOptions& opt, JobReporter& rep, uint64_t total,
          std::unordered_set<Node*>& touched)
        : img_(img), opt_(opt), rep_(rep), total_(total), clashmode_(opt.clashmode),
          now_(std::time(nullptr)), touched_(touched) {}

    // Adds folder + name (folder ends with "/") to dir. Returns false when
    // the run was cancelled.
    bool addpass(const std::string& folder, const std::string& name, Node* dir, NameMap& names);

    AddResult result;

private:
    // Where an object is for the *at calls: the descriptor of its folder and
    // its name, or AT_FDCWD and its whole path. Looking up a name in an open
    // folder costs the kernel a fraction of a whole path's lookup.
    struct At {
        int fd;
        const char* name;
    };
    struct Frame {
        std::string folder; // ends with "/"
        Node* dir;
        std::vector<std::string> names;
        NameMap existing;
        UniqueFd fd; // the folder's in the first kOpenFolders levels; else none (-1)
        size_t next = 0;
    };
    // Folders deeper than this many are not kept open.
    static constexpr size_t kOpenFolders = 64;

    bool cancelled() const { return img_.cancel.load() != 0; }
    void addOne(int folderFd, const std::string& folder, const std::string& name, Node* dir,
                NameMap& names, std::deque<Frame>& stack);
    void addFolder(At at, const std::string& path, const std::string& name, const struct stat& st,
                   Node* dir, NameMap& names, std::deque<Frame>& stack);
    void addNonFolder(At at, const std::string& path, const std::string& name,
                      const struct stat& st, Node* dir, NameMap& names);
    bool overwrite(const std::string& path, const Node& existing);
    TImgEntry defaults(const std::string& name, uint8_t type, const struct stat& st) const;
    // Reads the extended attributes of path into e when attributes are kept;
    // false (with a line in errlist) when they cannot be read.
    bool takeXattrs(const std::string& path, TImgEntry& e);
    Node* addnode(Node* dir, NameMap& names, TImgEntry entry);
    void progress(const std::string& path, uint64_t pos) {
        rep_.progressWith(static_cast<int64_t>(pos), static_cast<int64_t>(total_), 2,
                          [&] { return verbatim(path); });
    }

    // A second name of a file met earlier in this run: a hard link to it.
    Node* linkedTo(const struct stat& st) const {
        if (st.st_nlink < 2)
            return nullptr;
        auto it = inodes_.find({st.st_dev, st.st_ino});
        if (it == inodes_.end() || img_.nodeFor(it->second) == nullptr)
            return nullptr;
        Node* first = img_.nodeFor(it->second);
        return first->entry.objType == kTypeHardlink || first->isDirectory() ? nullptr : first;
    }
    void remember(const struct stat& st, uint32_t id) {
        if (st.st_nlink >= 2)
            inodes_.emplace(std::pair{st.st_dev, st.st_ino}, id);
    }

    struct InodeHash {
        size_t operator()(const std::pair<dev_t, ino_t>& k) const {
            return std::hash<uint64_t>()(k.first * 0x9E3779B97F4A7C15ull ^ k.second);
        }
    };

    Timg& img_;
    const AddOptions& opt_;
    JobReporter& rep_;
    uint64_t total_;
    uint64_t done_ = 0;
    ClashMode clashmode_;
    int64_t now_;
    std::unordered_set<Node*>& touched_;
    // Files with more than one name, by device and inode: the object made
    // for the first name met.
    std::unordered_map<std::pair<dev_t, ino_t>, uint32_t, InodeHash> inodes_;
};

TImgEntry Adder::defaults(const std::string& name, uint8_t type, const struct stat& st) const {
    TImgEntry e;
    e.name = name;
    e.objType = type;
    e.dataPos = -1;
    if (opt_.keepAttributes) {
        applyStat(e, st);
    } else {
        e.mode = opt_.keepModeBits ? st.st_mode & kModePermissionMask : parsemode("777");
        e.atime = e.mtime = e.ctime = now_;
    }
    return e;
}

bool Adder::takeXattrs(const std::string& path, TImgEntry& e) {
    if (!opt_.keepAttributes)
        return true;
    try {
        e.xattrs = readXattrs(path);
    } catch (const Error& err) {
        result.errlist.push_back(cannotReadFile(path, err.message()));
        return false;
    }
    return true;
}

Node* Adder::addnode(Node* dir, NameMap& names, TImgEntry entry) {
    auto node = std::make_unique<Node>();
    node->text = entry.name;
    node->icon = iconFor(entry, node->text);
    node->entry = std::move(entry);
    Node* n = dir->addChild(std::move(node));
    img_.setNode(n->entry.objId, n);
    names[n->text] = n;
    touched_.insert(dir);
    ++result.added;
    return n;
}

bool Adder::overwrite(const std::string& path, const Node& existing) {
    if (clashmode_ == kClashAsk) {
        if (!opt_.ask)
            return false;
        switch (opt_.ask(path, existing)) {
        case ClashAnswer::kOverwrite:
            return true;
        case ClashAnswer::kOverwriteAll:
            clashmode_ = kClashOverwriteAll;
            return true;
        case ClashAnswer::kSkip:
            return false;
        case ClashAnswer::kSkipAll:
            clashmode_ = kClashSkipAll;
            return false;
        }
    }
    return clashmode_ == kClashOverwriteAll;
}

void Adder::addFolder(At at, const std::string& path, const std::string& name,
                      const struct stat& st, Node* dir, NameMap& names, std::deque<Frame>& stack) {
    auto it = names.find(name);
    Node* clash = it == names.end() ? nullptr : it->second;
    if (clash && !clash->isDirectory()) {
        result.errlist.push_back(msg("cannot add the folder %1: /%2 in the image is not a folder",
                                     path, nodepath(img_.root(), clash)));
        return;
    }
    std::vector<std::string> entries;
    UniqueFd fd;
    try {
        fd = openFolder(at.fd, at.name);
        entries = listFolder(fd.get());
        if (stack.size() >= kOpenFolders)
            fd = UniqueFd();
    } catch (const Error& err) {
        result.errlist.push_back(msg("cannot read the folder %1: %2", path, err.message()));
        return;
    }
    Node* target = clash; // a folder that exists is merged into
    if (!target) {
        TImgEntry e = defaults(name, kTypeDirectory, st);
        if (!takeXattrs(path, e))
            return;
        e.linkInfo = 1;
        e.objId = img_.newobjid();
        target = addnode(dir, names, std::move(e));
    }
    progress(path, 0);
    stack.push_back({path + "/", target, std::move(entries), namesOf(target), std::move(fd)});
}

void Adder::addNonFolder(At at, const std::string& path, const std::string& name,
                         const struct stat& st, Node* dir, NameMap& names) {
    const bool isLink = S_ISLNK(st.st_mode);
    const bool isSpecial = !isLink && !S_ISREG(st.st_mode);
    auto it = names.find(name);
    Node* clash = it == names.end() ? nullptr : it->second;
    if (clash && clash->isDirectory()) {
        result.errlist.push_back(msg("cannot add the file %1: /%2 in the image is a folder", path,
                                     nodepath(img_.root(), clash)));
        return;
    }
    if (clash && !overwrite(path, *clash)) {
        progress(path, done_);
        return;
    }
    TImgEntry e = defaults(name,
                           isLink      ? uint8_t{kTypeSymlink}
                           : isSpecial ? objTypeForMode(st.st_mode)
                                       : uint8_t{kTypeFile},
                           st);
    e.objId = clash ? clash->entry.objId : img_.newobjid();
    if (Node* first = linkedTo(st)) {
        // Another name of a file already added: a hard link, with the
        // file's own attributes.
        TImgEntry link = first->entry;
        link.name = name;
        link.objType = kTypeHardlink;
        link.mode = fileTypeBits(first->entry) | (first->entry.mode & kModePermissionMask);
        link.size = 0;
        link.dataPos = -1;
        link.alias.clear();
        link.linkInfo = first->entry.objId;
        link.objId = e.objId;
        e = std::move(link);
    } else if (!takeXattrs(path, e)) {
        return;
    } else if (isSpecial) {
        // Device nodes, FIFOs and sockets keep their kind in the mode.
        e.mode |= st.st_mode & S_IFMT;
        if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
            e.rdev = {::major(st.st_rdev), ::minor(st.st_rdev)};
    } else if (isLink) {
        // The target as it stands, never followed.
        std::string target(static_cast<size_t>(std::max<off_t>(st.st_size, 0)) + 1, '\0');
        for (;;) {
            ssize_t n = ::readlinkat(at.fd, at.name, target.data(), target.size());
            if (n < 0) {
                result.errlist.push_back(cannotReadFile(path, systemMessage(errno)));
                return;
            }
            if (static_cast<size_t>(n) < target.size()) {
                target.resize(static_cast<size_t>(n));
                break;
            }
            target.resize(target.size() * 2);
        }
        e.alias = std::move(target);
    } else if (opt_.referToFiles) {
        // Left on disk until the image is written, which opens it then and
        // checks it against this stamp: here it need only be readable.
        if (::faccessat(at.fd, at.name, R_OK, AT_EACCESS) != 0) {
            result.errlist.push_back(cannotReadFile(path, systemMessage(errno)));
            return;
        }
        const auto size = static_cast<uint64_t>(st.st_size);
        if (size > 0)
            e.dataPos = img_.referToFile(path, FileStamp::of(st),
                                         static_cast<uint64_t>(st.st_blocks) * 512 < size);
        e.size = size;
        done_ += size;
    } else {
        UniqueFd fd(::openat(at.fd, at.name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        struct stat now {};
        if (!fd || ::fstat(fd.get(), &now) != 0) {
            result.errlist.push_back(cannotReadFile(path, systemMessage(errno)));
            return;
        }
        if (!S_ISREG(now.st_mode)) {
            result.errlist.push_back(
                msg("cannot add %1: it stopped being a regular file while it was read", path));
            return;
        }
        const auto size = static_cast<uint64_t>(now.st_size);
        if (size > 0) {
            try {
                e.dataPos = appendtowork(img_, fd.get(), size);
            } catch (const Error& err) {
                result.errlist.push_back(cannotReadFile(path, err.message()));
                return;
            }
        }
        e.size = size;
        done_ += size;
    }
    const uint32_t id = e.objId;
    const bool linkName = e.objType == kTypeHardlink;
    if (clash) {
        if (opt_.beforeReplace)
            opt_.beforeReplace(*clash);
        clash->entry = std::move(e);
        clash->icon = iconFor(clash->entry, clash->text);
        ++result.overwritten;
    } else {
        addnode(dir, names, std::move(e));
    }
    if (!linkName)
        remember(st, id);
    progress(path, done_);
}

void Adder::addOne(int folderFd, const std::string& folder, const std::string& name, Node* dir,
                   NameMap& names, std::deque<Frame>& stack) {
    const std::string path = folder + name;
    const At at = folderFd >= 0 ? At{folderFd, name.c_str()} : At{AT_FDCWD, path.c_str()};
    struct stat st {};
    if (::fstatat(at.fd, at.name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        result.errlist.push_back(cannotReadFile(path, systemMessage(errno)));
        return;
    }
    if (S_ISDIR(st.st_mode))
        addFolder(at, path, name, st, dir, names, stack);
    else
        addNonFolder(at, path, name, st, dir, names);
}

bool Adder::addpass(const std::string& folder, const std::string& name, Node* dir, NameMap& names) {
    if (cancelled())
        return false;
    // A deque: frames stay where they are while deeper ones are pushed.
    std::deque<Frame> stack;
    addOne(-1, folder, name, dir, names, stack);
    while (!stack.empty()) {
        if (cancelled())
            return false;
        Frame& f = stack.back();
        if (f.next == f.names.size()) {
            stack.pop_back();
            continue;
        }
        const std::string& child = f.names[f.next++];
        addOne(f.fd.get(), f.folder, child, f.dir, f.existing, stack);
    }
    return true;
}

// "/a/b/" -> ("/a/", "b"): the folder part (with its last separator) and the
// name part of an absolute, normalised path.
std::pair<std::string, std::string> splitPath(const std::string& path) {
    std::string p = std::filesystem::absolute(path).lexically_normal().string();
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    size_t slash = p.rfind('/');
    return {p.substr(0, slash + 1), p.substr(slash + 1)};
}

} // namespace

int64_t appendtowork(Timg& img, int fd, uint64_t size) {
    return img.workfile().appendFrom(fd, size);
}

void copyattributes(Timg& img, uint32_t id, const std::string& path) {
    Node* n = img.nodeFor(id);
    if (!n)
        throw Error(msg("object %1 is not in the tree", id));
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        throwSystemError(msg("cannot read %1", path), errno);
    std::vector<Xattr> xattrs = readXattrs(path);
    applyStat(n->entry, st);
    n->entry.xattrs = std::move(xattrs);
    img.modified = true;
}

uint64_t countpass(const std::string& path) {
    uint64_t total = 0;
    std::vector<std::string> pending{path};
    while (!pending.empty()) {
        std::string p = std::move(pending.back());
        pending.pop_back();
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0)
            continue;
        if (S_ISREG(st.st_mode)) {
            total += static_cast<uint64_t>(st.st_size);
        } else if (S_ISDIR(st.st_mode)) {
            try {
                for (std::string& name : listFolder(openFolder(AT_FDCWD, p.c_str()).get()))
                    pending.push_back(p + "/" + name);
            } catch (const Error&) {
            }
        }
    }
    return total;
}

AddResult addfiles(Timg& img, const std::vector<std::string>& paths, uint32_t dirId,
                   const AddOptions& opt) {
    JobReporter rep(img.onwk, kFlagAddFiles);
    AddResult result;
    bool changed = false;
    // Only the folders objects went into need putting in order: a few files
    // added to a large image cost what they take.
    std::unordered_set<Node*> touched;
    auto finish = [&] {
        for (Node* d : touched)
            sortChildren(d);
        if (changed)
            img.modified = true;
        rep.send(0, 0, 3, kDone);
    };
    try {
        Node* dir = img.nodeFor(dirId);
        if (!dir || !dir->isDirectory())
            throw Error(msg("the target folder (object %1) is not in the tree", dirId));
        std::vector<std::pair<std::string, std::string>> parts;
        for (const std::string& p : paths)
            if (!p.empty())
                parts.push_back(splitPath(p));
        // The bytes to copy, for the progress; a run that only refers to the
        // files reads none of them now, and a walk to count them would take
        // as long as the run (its progress has no total).
        uint64_t total = 0;
        if (!opt.referToFiles) {
            rep.send(0, 0, 1, kCounting);
            for (const auto& [folder, name] : parts)
                if (!name.empty())
                    total += countpass(folder + name);
        }

        Adder adder(img, opt, rep, total, touched);
        NameMap names = namesOf(dir);
        bool finished = true;
        try {
            for (const auto& [folder, name] : parts) {
                if (name.empty()) {
                    adder.result.errlist.push_back(
                        msg("cannot add %1: it is the root folder", folder));
                    continue;
                }
                if (!(finished = adder.addpass(folder, name, dir, names)))
                    break;
            }
        } catch (...) {
            changed = adder.result.added + adder.result.overwritten > 0;
            throw;
        }
        result = std::move(adder.result);
        result.cancelled = !finished;
        changed = result.added + result.overwritten > 0;
    } catch (...) {
        finish();
        throw;
    }
    finish();
    return result;
}

} // namespace korvane
