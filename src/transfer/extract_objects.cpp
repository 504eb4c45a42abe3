#include "extract_objects.h"

#include "model/error.h"
#include "model/file_io.h"
#include "unique_fd.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace korvane::extracting {

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

// The permission bits a written object gets. Without privilege the umask
// applies, and the set-user and set-group bits go unless the object would
// have them for the ids it is meant to have: the file belongs to whoever
// extracts it, and those bits would otherwise hand them its rights.
static uint32_t permissionBits(const TImgEntry& e, const ExtractOptions& opt) {
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
static void addNote(Message& note, Message what, int err) {
    Message item = withReason(std::move(what), systemMessage(err));
    note = note.empty() ? std::move(item) : msg("%1; %2", note, item);
}

struct timespec2 {
    struct timespec t[2];
};

static timespec2 timesOf(const TImgEntry& e) {
    return {{{static_cast<time_t>(e.atime), static_cast<long>(e.atimeNs)},
             {static_cast<time_t>(e.mtime), static_cast<long>(e.mtimeNs)}}};
}

// The path through which an O_PATH descriptor's object can be changed by
// calls that take no descriptor of that kind (chmod, utimensat, setxattr).
std::string procPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

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
                        XattrFailures* failures, const PathOf& path, bool setMode) {
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

// Cleared once the kernel refuses to copy between the image's filesystem and
// the target's.
static std::atomic<bool> kernelCopy{true};

// Writes one file's contents through its thread's buffer. Pieces that follow
// one another in the file (an EROFS file's blocks and the tail kept beside
// its inode, an ext4 file's extents) gather in the buffer and go out with
// one write: on small files the calls, not the bytes, cost the time.
class ContentWriter {
public:
    ContentWriter(int fd, MutableByteSpan buffer) : fd_(fd), buffer_(buffer) {}

    // Copies s to the file at offset from the image file: file to file where
    // the kernel can, otherwise read into the buffer. Writing from the
    // image's mapping instead was as fast when the image's page cache held
    // large pages (an image read from disk), and a third slower when it held
    // the small pages of an image just written, whose faults the mapping
    // takes a few pages at a time; reading through the image's reader costs
    // it extra work for each piece; sendfile goes through a pipe, and on two
    // cores its page reads drained each other's page lists. Returns how many
    // bytes were copied: fewer than asked when the image file ends early or
    // cannot be read (the rest is for the caller to read); throws when
    // writing fails.
    uint64_t copy(const StoredContents& s, uint64_t offset) {
        if (kernelCopy.load(std::memory_order_relaxed) || s.length > buffer_.size()) {
            flush();
            return copyBetweenFiles(s.file.fd, s.file.offset, fd_, offset, s.length, buffer_,
                                    kernelCopy, msg("cannot write the file"));
        }
        const size_t got =
            preadAll(s.file.fd, space(offset, static_cast<size_t>(s.length)), s.file.offset);
        fill_ += got;
        return got;
    }

    // Room in the buffer for up to want bytes that belong at offset: after the
    // gathered ones where they follow them, otherwise once those are written.
    // The bytes put there are handed over with added.
    MutableByteSpan space(uint64_t offset, size_t want) {
        want = std::min(want, buffer_.size());
        if (fill_ > 0 && (offset != at_ + fill_ || fill_ + want > buffer_.size()))
            flush();
        if (fill_ == 0)
            at_ = offset;
        return MutableByteSpan(buffer_.data() + fill_, want);
    }
    void added(size_t n) { fill_ += n; }

    void flush() {
        if (fill_ > 0)
            pwriteAll(fd_, ByteSpan(buffer_.data(), fill_), at_, msg("cannot write the file"));
        fill_ = 0;
    }

private:
    int fd_;
    MutableByteSpan buffer_;
    uint64_t at_ = 0; // where in the file the gathered bytes belong
    size_t fill_ = 0; // how many are gathered
};

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
        // One buffer per thread for every file it writes, never cleared:
        // each piece is read into it before it is written.
        thread_local std::unique_ptr<std::byte[]> buffer(new std::byte[kStreamBuffer]);
        ContentWriter out(fd.get(), MutableByteSpan(buffer.get(), kStreamBuffer));
        uint64_t end = 0;
        const uint64_t total = img.contentSize(e);
        for (uint64_t pos = 0; pos < total;) {
            const ContentRange r = img.nextData(e, pos);
            if (r.begin >= r.end)
                break;
            for (pos = r.begin; pos < r.end;) {
                // Bytes the image file holds as they are go file to file.
                if (const auto s = img.storedContents(e, pos, r.end - pos)) {
                    const uint64_t n = out.copy(*s, pos);
                    pos += n;
                    end = std::max(end, pos);
                    if (n == s->length)
                        continue;
                }
                const MutableByteSpan to = out.space(
                    pos, static_cast<size_t>(std::min<uint64_t>(kStreamBuffer, r.end - pos)));
                const size_t got = img.ReadRange(e, pos, to);
                if (got == 0) {
                    pos = total;
                    break;
                }
                out.added(got);
                pos += got;
                end = pos;
            }
        }
        out.flush();
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

} // namespace korvane::extracting
