#include "output_file.h"

#include "error.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane {

namespace {

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

OutputFile::OutputFile(std::string target) : target_(std::move(target)) {
    std::string name = target_;
    size_t slash = name.rfind('/');
    std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    temp_ = folderOf(target_) + "/." + base + ".korvane-XXXXXX";
    fd_ = ::mkostemp(temp_.data(), O_CLOEXEC);
    if (fd_ < 0)
        throwSystemError(msg("cannot create a file in %1", folderOf(target_)), errno);
}

OutputFile::~OutputFile() {
    unmap();
    if (fd_ >= 0)
        ::close(fd_);
    if (!committed_)
        ::unlink(temp_.c_str());
}

void OutputFile::unmap() {
    if (map_) {
        ::munmap(map_, size_);
        map_ = nullptr;
    }
}

void OutputFile::resize(uint64_t size) {
    unmap();
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0)
        throwSystemError(msg("cannot size %1", target_), errno);
    size_ = size;
}

void OutputFile::append(ByteSpan bytes) {
    writeAt(written_, bytes);
    written_ += bytes.size();
}

void OutputFile::writeAt(uint64_t offset, ByteSpan bytes) {
    const std::byte* p = bytes.data();
    size_t n = bytes.size();
    while (n > 0) {
        ssize_t w = ::pwrite(fd_, p, n, static_cast<off_t>(offset));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            throwSystemError(msg("cannot write %1", target_), w < 0 ? errno : ENOSPC);
        p += w;
        n -= static_cast<size_t>(w);
        offset += static_cast<uint64_t>(w);
    }
}

void OutputFile::readAt(uint64_t offset, MutableByteSpan out) const {
    std::byte* p = out.data();
    size_t n = out.size();
    while (n > 0) {
        ssize_t r = ::pread(fd_, p, n, static_cast<off_t>(offset));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            throwSystemError(msg("cannot read %1", target_), r < 0 ? errno : EIO);
        p += r;
        n -= static_cast<size_t>(r);
        offset += static_cast<uint64_t>(r);
    }
}

MutableByteSpan OutputFile::map() {
    if (!map_ && size_ > 0) {
        // Reserve the blocks now: running out of space while writing through
        // a mapping would be a fault, not an error message.
        int err = ::posix_fallocate(fd_, 0, static_cast<off_t>(size_));
        if (err != 0 && err != EOPNOTSUPP && err != EINVAL)
            throwSystemError(msg("cannot reserve space for %1", target_), err);
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

void OutputFile::commit() {
    if (map_ && ::msync(map_, size_, MS_SYNC) != 0)
        throwSystemError(msg("cannot write %1", target_), errno);
    unmap();
    // A file that is replaced keeps its permissions and, where the process
    // may give them, its owner; a new file gets what new files get.
    struct stat old {};
    if (::stat(target_.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
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
    if (::rename(temp_.c_str(), target_.c_str()) != 0)
        throwSystemError(msg("cannot replace %1", target_), errno);
    committed_ = true;
    syncFolder(folderOf(target_));
}

} // namespace korvane
