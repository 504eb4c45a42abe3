#include "output_file.h"

#include "error.h"
#include "file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace korvane {

void pwriteAll(int fd, ByteSpan bytes, uint64_t offset, const Message& what) {
    const std::byte* p = bytes.data();
    size_t n = bytes.size();
    while (n > 0) {
        const ssize_t w = ::pwrite(fd, p, n, static_cast<off_t>(offset));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            throwSystemError(what, w < 0 ? errno : ENOSPC);
        p += w;
        n -= static_cast<size_t>(w);
        offset += static_cast<uint64_t>(w);
    }
}

size_t preadAll(int fd, MutableByteSpan out, uint64_t offset) {
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t r =
            ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            if (r == 0)
                errno = 0;
            break;
        }
        done += static_cast<size_t>(r);
    }
    return done;
}

uint64_t copyBetweenFiles(int src, uint64_t srcOff, int dst, uint64_t dstOff, uint64_t n,
                          MutableByteSpan buffer, std::atomic<bool>& kernelCopy,
                          const Message& what) {
    uint64_t done = 0;
    while (done < n && kernelCopy.load(std::memory_order_relaxed)) {
        auto from = static_cast<off_t>(srcOff + done);
        auto to = static_cast<off_t>(dstOff + done);
        const ssize_t r = ::copy_file_range(
            src, &from, dst, &to, static_cast<size_t>(std::min<uint64_t>(n - done, 1u << 30)), 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
                      errno == EBADF))
            kernelCopy = false;
        if (r <= 0) // refused, failed or at the end: the buffer says which
            break;
        done += static_cast<uint64_t>(r);
    }
    while (done < n) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(n - done, buffer.size()));
        const size_t got = preadAll(src, buffer.first(want), srcOff + done);
        const int err = errno;
        pwriteAll(dst, ByteSpan(buffer.data(), got), dstOff + done, what);
        done += got;
        if (got < want) {
            errno = err;
            break;
        }
    }
    return done;
}

std::string temporaryFolder() {
    const char* t = std::getenv("TMPDIR");
    return t && *t ? t : "/tmp";
}

namespace {

// As the kernel gives up on a chain of symbolic links.
constexpr int kMaxLinkHops = 40;

std::string folderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

void syncFolder(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return; // a folder we may not open for reading still holds the file
    const int rc = ::fsync(fd);
    const int err = errno;
    ::close(fd);
    // Some filesystems cannot sync a folder; that is no failure of the save.
    if (rc != 0 && err != EINVAL && err != EROFS)
        throwSystemError(msg("cannot write %1", folder), err);
}

void writeFully(int fd, const std::byte* p, size_t n, const std::string& target) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            throwSystemError(msg("cannot write %1", target), w < 0 ? errno : ENOSPC);
        p += w;
        n -= static_cast<size_t>(w);
    }
}

void pwriteFully(int fd, const std::byte* p, size_t n, uint64_t offset, const std::string& target) {
    pwriteAll(fd, ByteSpan(p, n), offset, msg("cannot write %1", target));
}

// What a path leads to once symbolic links are followed: the last name in
// the chain, and what is there (nothing when !exists).
struct Resolved {
    std::string path;
    struct stat st {};
    bool exists = false;
};

Resolved resolve(const std::string& target) {
    Resolved r;
    r.path = target;
    for (int hops = 0;; ++hops) {
        if (::lstat(r.path.c_str(), &r.st) != 0) {
            if (errno == ENOENT)
                return r; // the name to make (a link that leads nowhere names it)
            throwSystemError(msg("cannot examine %1", r.path), errno);
        }
        if (!S_ISLNK(r.st.st_mode)) {
            r.exists = true;
            return r;
        }
        if (hops == kMaxLinkHops)
            throw Error(msg("%1: too many levels of symbolic links", target));
        std::string link(4096, '\0');
        const ssize_t n = ::readlink(r.path.c_str(), link.data(), link.size());
        if (n < 0)
            throwSystemError(msg("cannot examine %1", r.path), errno);
        link.resize(static_cast<size_t>(n));
        r.path = link.starts_with('/') ? link : folderOf(r.path) + "/" + link;
    }
}

// "/dev/disk\040one" as /proc/self/mounts spells names: octal escapes.
std::string unescapeMountField(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        const auto octal = [&](size_t k) { return s[k] >= '0' && s[k] <= '7'; };
        if (s[i] == '\\' && i + 3 < s.size() && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
            out +=
                static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// The device number of the disk a partition belongs to, or of the device
// itself when it is no partition.
uint64_t wholeDisk(uint64_t rdev) {
    char link[64];
    std::snprintf(link, sizeof link, "/sys/dev/block/%u:%u", ::major(rdev), ::minor(rdev));
    char* real = ::realpath(link, nullptr);
    if (!real)
        return rdev;
    std::string path = real;
    std::free(real);
    if (::access((path + "/partition").c_str(), F_OK) != 0)
        return rdev;
    unsigned maj = 0, min = 0;
    if (std::FILE* f = std::fopen((folderOf(path) + "/dev").c_str(), "re")) {
        const bool ok = std::fscanf(f, "%u:%u", &maj, &min) == 2;
        std::fclose(f);
        if (ok)
            return ::makedev(maj, min);
    }
    return rdev;
}

// Where the block device rdev, or a partition of it, is mounted; nullopt
// when it is not.
std::optional<std::string> mountPointOf(uint64_t rdev) {
    std::FILE* f = std::fopen("/proc/self/mounts", "re");
    if (!f)
        f = std::fopen("/proc/mounts", "re");
    if (!f)
        return std::nullopt;
    std::optional<std::string> found;
    char source[4096], point[4096];
    char line[8192];
    while (!found && std::fgets(line, sizeof line, f)) {
        if (std::sscanf(line, "%4095s %4095s", source, point) != 2)
            continue;
        struct stat st {};
        if (::stat(unescapeMountField(source).c_str(), &st) != 0 || !S_ISBLK(st.st_mode))
            continue;
        if (st.st_rdev == rdev || wholeDisk(st.st_rdev) == rdev)
            found = unescapeMountField(point);
    }
    std::fclose(f);
    return found;
}

uint64_t blockDeviceSize(int fd, const std::string& target) {
    uint64_t size = 0;
    if (::ioctl(fd, BLKGETSIZE64, &size) != 0)
        throwSystemError(msg("cannot read the size of %1", target), errno);
    return size;
}

} // namespace

uint32_t processUmask() {
    // Read from the kernel, never by setting it: umask() changes it for
    // every thread of the process, if only for a moment.
    if (std::FILE* f = std::fopen("/proc/self/status", "re")) {
        char line[256];
        unsigned value = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, f))
            found = std::sscanf(line, "Umask: %o", &value) == 1;
        std::fclose(f);
        if (found)
            return value & 0777;
    }
    return 022;
}

std::optional<FileIdentity> fileIdentity(const std::string& path) {
    struct stat st {};
    if (path == "-" || ::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    if (S_ISBLK(st.st_mode))
        return FileIdentity{st.st_rdev, 0, true};
    return FileIdentity{st.st_dev, st.st_ino, false};
}

bool writesOver(const std::string& out, const FileIdentity& opened) {
    const std::optional<FileIdentity> id = fileIdentity(out);
    return id && *id == opened;
}

std::optional<uint64_t> outputDeviceSize(const std::string& path) {
    if (path == "-")
        return std::nullopt;
    const Resolved r = resolve(path);
    if (!r.exists || !S_ISBLK(r.st.st_mode))
        return std::nullopt;
    const int fd = ::open(r.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throwSystemError(msg("cannot open %1", path), errno);
    try {
        const uint64_t size = blockDeviceSize(fd, path);
        ::close(fd);
        return size;
    } catch (...) {
        ::close(fd);
        throw;
    }
}

OutputFile::OutputFile(std::string target, Access access)
    : target_(std::move(target)), access_(access) {
    if (target_ == "-") {
        kind_ = Kind::kStream;
        if (::isatty(STDOUT_FILENO))
            throw Error("standard output is a terminal; redirect it to a file or a program");
        streamFd_ = STDOUT_FILENO;
        ownStream_ = false;
        if (access_ == Access::kAppendOnly)
            direct_ = true;
        else
            openTemporary();
        return;
    }
    const Resolved r = resolve(target_);
    path_ = r.path;
    if (!r.exists || S_ISREG(r.st.st_mode))
        openFile(r.path);
    else if (S_ISDIR(r.st.st_mode))
        throw Error(msg("%1 is a folder", target_));
    else if (S_ISBLK(r.st.st_mode))
        openDevice(r.path, r.st.st_rdev);
    else if (S_ISCHR(r.st.st_mode) || S_ISFIFO(r.st.st_mode))
        openStream(r.path);
    else
        throw Error(msg("%1 is a socket; nothing can be written to it", target_));
}

void OutputFile::openFile(const std::string& path) {
    kind_ = Kind::kFile;
    size_t slash = path.rfind('/');
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    temp_ = folderOf(path) + "/." + base + ".korvane-XXXXXX";
    fd_ = ::mkostemp(temp_.data(), O_CLOEXEC);
    if (fd_ < 0)
        throwSystemError(msg("cannot create a file in %1", folderOf(path)), errno);
}

void OutputFile::openDevice(const std::string& path, uint64_t rdev) {
    kind_ = Kind::kBlockDevice;
    if (std::optional<std::string> point = mountPointOf(rdev))
        throw Error(
            msg("%1 is mounted on %2; unmount it before writing an image to it", target_, *point));
    // O_EXCL: the kernel refuses a device that is mounted or held (a swap
    // area, a device-mapper table) after the look at the mount table.
    fd_ = ::open(path.c_str(), O_RDWR | O_EXCL | O_CLOEXEC);
    if (fd_ < 0) {
        if (errno == EBUSY)
            throw Error(msg("%1 is in use (mounted, a swap area or held by another device); it "
                            "is not written",
                            target_));
        throwSystemError(msg("cannot open %1", target_), errno);
    }
    deviceSize_ = blockDeviceSize(fd_, target_);
}

void OutputFile::openStream(const std::string& path) {
    kind_ = Kind::kStream;
    streamFd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (streamFd_ < 0)
        throwSystemError(msg("cannot open %1", target_), errno);
    if (access_ == Access::kAppendOnly)
        direct_ = true;
    else
        openTemporary();
}

// A writer that seeks writes a stream through an unnamed file in the user's
// temporary folder.
void OutputFile::openTemporary() {
    const std::string folder = temporaryFolder();
    fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        std::string name = folder + "/.korvane-stream-XXXXXX";
        fd_ = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd_ < 0)
            throwSystemError(msg("cannot create a file in %1", folder), errno);
        ::unlink(name.c_str());
    }
}

OutputFile::~OutputFile() {
    unmap();
    if (fd_ >= 0)
        ::close(fd_);
    if (streamFd_ >= 0 && ownStream_)
        ::close(streamFd_);
    if (!committed_ && kind_ == Kind::kFile && !temp_.empty())
        ::unlink(temp_.c_str());
}

std::optional<uint64_t> OutputFile::fixedSize() const {
    if (kind_ == Kind::kBlockDevice)
        return deviceSize_;
    return std::nullopt;
}

void OutputFile::unmap() {
    if (map_) {
        ::munmap(map_, size_);
        map_ = nullptr;
    }
}

void OutputFile::checkRoom(uint64_t end) const {
    if (kind_ == Kind::kBlockDevice && end > deviceSize_)
        throw Error(msg("the image needs %1 bytes; %2 holds %3", end, target_, deviceSize_));
}

void OutputFile::noteWritten(uint64_t begin, uint64_t end) {
    if (kind_ != Kind::kBlockDevice || begin >= end)
        return;
    std::lock_guard lock(writtenMutex_);
    // Merged with the ranges it touches, so that a writer going front to
    // back keeps one entry.
    auto it = deviceWritten_.upper_bound(begin);
    if (it != deviceWritten_.begin()) {
        auto prev = std::prev(it);
        if (prev->second >= begin) {
            begin = prev->first;
            end = std::max(end, prev->second);
            it = deviceWritten_.erase(prev);
        }
    }
    while (it != deviceWritten_.end() && it->first <= end) {
        end = std::max(end, it->second);
        it = deviceWritten_.erase(it);
    }
    deviceWritten_.emplace(begin, end);
}

void OutputFile::resize(uint64_t size) {
    unmap();
    if (kind_ == Kind::kBlockDevice) {
        checkRoom(size);
    } else if (direct_) {
        if (size != written_)
            throw Error(msg("cannot size %1: it is written as a stream", target_));
    } else if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) {
        throwSystemError(msg("cannot size %1", target_), errno);
    }
    size_ = size;
}

void OutputFile::append(ByteSpan bytes) {
    if (direct_) {
        writeFully(streamFd_, bytes.data(), bytes.size(), target_);
        written_ += bytes.size();
        return;
    }
    writeAt(written_, bytes);
    written_ += bytes.size();
}

void OutputFile::writeAt(uint64_t offset, ByteSpan bytes) {
    if (direct_) {
        if (offset != written_)
            throw Error(msg("cannot seek in %1: it is written as a stream", target_));
        writeFully(streamFd_, bytes.data(), bytes.size(), target_);
        written_ += bytes.size();
        return;
    }
    checkRoom(offset + bytes.size());
    pwriteFully(fd_, bytes.data(), bytes.size(), offset, target_);
    noteWritten(offset, offset + bytes.size());
}

void OutputFile::readAt(uint64_t offset, MutableByteSpan out) const {
    if (preadAll(fd_, out, offset) < out.size())
        throwSystemError(msg("cannot read %1", target_), errno != 0 ? errno : EIO);
}

MutableByteSpan OutputFile::map() {
    if (direct_)
        throw Error(msg("cannot map %1: it is written as a stream", target_));
    if (!map_ && size_ > 0) {
        if (kind_ == Kind::kBlockDevice) {
            // What the mapping leaves alone must read as zeros, as in a new file.
            zeroUnwritten(size_);
            noteWritten(0, size_);
        } else {
            // Reserve the blocks now: running out of space while writing
            // through a mapping would be a fault, not an error message.
            int err = ::posix_fallocate(fd_, 0, static_cast<off_t>(size_));
            if (err != 0 && err != EOPNOTSUPP && err != EINVAL)
                throwSystemError(msg("cannot reserve space for %1", target_), err);
        }
        void* p = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
        if (p == MAP_FAILED)
            throwSystemError(msg("cannot map %1", target_), errno);
        map_ = static_cast<std::byte*>(p);
        // The file is new: read-ahead would only fill pages with zeros that
        // the writer is about to overwrite.
        ::madvise(p, size_, MADV_RANDOM);
    }
    return {map_, static_cast<size_t>(size_)};
}

// Zeroes what was not written below end: the device then reads as a new
// file would. The kernel zeroes aligned stretches without sending the zeros
// where the device can.
void OutputFile::zeroUnwritten(uint64_t end) {
    const Bytes zeros(1u << 20);
    auto zero = [&](uint64_t begin, uint64_t stop) {
        const uint64_t alignedBegin = (begin + 511) / 512 * 512;
        const uint64_t alignedEnd = stop / 512 * 512;
        if (alignedBegin < alignedEnd) {
            uint64_t range[2] = {alignedBegin, alignedEnd - alignedBegin};
            if (::ioctl(fd_, BLKZEROOUT, range) == 0) {
                if (begin < alignedBegin)
                    pwriteFully(fd_, zeros.data(), alignedBegin - begin, begin, target_);
                if (alignedEnd < stop)
                    pwriteFully(fd_, zeros.data(), stop - alignedEnd, alignedEnd, target_);
                return;
            }
        }
        for (uint64_t at = begin; at < stop;) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(zeros.size(), stop - at));
            pwriteFully(fd_, zeros.data(), n, at, target_);
            at += n;
        }
    };
    uint64_t pos = 0;
    for (const auto& [b, e] : deviceWritten_) {
        if (b >= end)
            break;
        if (pos < b)
            zero(pos, b);
        pos = std::max(pos, e);
    }
    if (pos < end)
        zero(pos, end);
}

void OutputFile::copyToStream() {
    const uint64_t total = std::max(size_, written_);
    off_t at = 0;
    while (static_cast<uint64_t>(at) < total) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(total - at, 1u << 30));
        const ssize_t n = ::sendfile(streamFd_, fd_, &at, want);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EINVAL || errno == ENOSYS))
            break; // the stream takes no sendfile: copied below
        if (n <= 0)
            throwSystemError(msg("cannot write %1", target_), n < 0 ? errno : EIO);
    }
    Bytes buf(1u << 20);
    while (static_cast<uint64_t>(at) < total) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(total - at, buf.size()));
        const ssize_t n = ::pread(fd_, buf.data(), want, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throwSystemError(msg("cannot read back %1", target_), n < 0 ? errno : EIO);
        writeFully(streamFd_, buf.data(), static_cast<size_t>(n), target_);
        at += n;
    }
}

void OutputFile::commit() {
    if (map_ && ::msync(map_, size_, MS_SYNC) != 0)
        throwSystemError(msg("cannot write %1", target_), errno);
    unmap();
    if (kind_ == Kind::kBlockDevice) {
        zeroUnwritten(deviceSize_);
        if (::fsync(fd_) != 0)
            throwSystemError(msg("cannot write %1", target_), errno);
        committed_ = true;
        return;
    }
    if (kind_ == Kind::kStream) {
        if (!direct_)
            copyToStream();
        // A pipe cannot be synced; a device that can is.
        if (::fsync(streamFd_) != 0 && errno != EINVAL && errno != EROFS)
            throwSystemError(msg("cannot write %1", target_), errno);
        committed_ = true;
        return;
    }
    // A file that is replaced keeps its permissions and, where the process
    // may give them, its owner; a new file gets what new files get.
    struct stat old {};
    if (::stat(path_.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        if (old.st_uid != ::geteuid() || old.st_gid != ::getegid())
            (void)::fchown(fd_, old.st_uid, old.st_gid);
        if (::fchmod(fd_, old.st_mode & 07777) != 0)
            throwSystemError(msg("cannot set the permissions of %1", target_), errno);
    } else if (::fchmod(fd_, 0666 & ~processUmask()) != 0) {
        throwSystemError(msg("cannot set the permissions of %1", target_), errno);
    }
    // Everything on the disk before the name points at it: a crash leaves
    // the old file or the new one, never a partial one.
    if (::fsync(fd_) != 0)
        throwSystemError(msg("cannot write %1", target_), errno);
    if (::close(fd_) != 0) {
        fd_ = -1;
        throwSystemError(msg("cannot write %1", target_), errno);
    }
    fd_ = -1;
    if (::rename(temp_.c_str(), path_.c_str()) != 0)
        throwSystemError(msg("cannot replace %1", target_), errno);
    committed_ = true;
    syncFolder(folderOf(path_));
}

} // namespace korvane
