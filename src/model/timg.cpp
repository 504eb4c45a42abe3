#include "timg.h"

#include "error.h"
#include "file_io.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane {

namespace {

// dataPos of the first file on disk; the next ones count down from it.
constexpr int64_t kFirstDiskFile = -2;

// The disk file a thread read last, left open for the reads that follow
// (a file is mostly read in several pieces by one thread). Closed when the
// thread reads to its end or reads another file, when the image is closed
// on the thread, and when the thread ends: a file added from a removable
// disk is not kept open once it was read.
struct DiskReader {
    uint64_t owner = 0; // Timg::instance_ of the image it belongs to
    size_t index = 0;
    int fd = -1;
    ~DiskReader() { reset(); }
    void reset() {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        owner = 0;
    }
};

thread_local DiskReader diskReader;

uint64_t nextInstance() {
    static std::atomic<uint64_t> instances{0};
    return ++instances;
}

} // namespace

Timg::Timg() : instance_(nextInstance()) {}
void Timg::checkStampAndClose(int fd, const DiskFile& f) {
    struct Closer {
        ~Closer() { diskReader.reset(); }
    } closer;
    checkStamp(fd, f);
}

Timg::~Timg() {
    if (diskReader.owner == instance_)
        diskReader.reset();
}

int64_t Timg::referToFile(std::string path, const FileStamp& stamp, bool mayHaveHoles) {
    std::lock_guard lock(diskMutex_);
    diskFiles_.push_back({std::move(path), stamp, mayHaveHoles});
    return kFirstDiskFile - static_cast<int64_t>(diskFiles_.size() - 1);
}

void Timg::checkStamp(int fd, const DiskFile& f) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !(FileStamp::of(st) == f.stamp))
        throw Error(msg("%1 changed after it was added", f.path));
}

Timg::DiskFile Timg::diskFileOf(const TImgEntry& e) {
    const auto index = static_cast<size_t>(kFirstDiskFile - e.dataPos);
    std::lock_guard lock(diskMutex_);
    if (index >= diskFiles_.size())
        throw Error(msg("the contents of %1 are missing from the working file", e.name));
    return diskFiles_[index];
}

int Timg::diskFileFd(const TImgEntry& e, const DiskFile& file) {
    const auto index = static_cast<size_t>(kFirstDiskFile - e.dataPos);
    DiskReader& reader = diskReader;
    if (reader.fd >= 0 && reader.owner == instance_ && reader.index == index)
        return reader.fd;
    reader.reset();
    const int fd = ::open(file.path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        throwSystemError(msg("cannot open %1", file.path), errno);
    try {
        checkStamp(fd, file);
    } catch (...) {
        ::close(fd);
        throw;
    }
    reader.fd = fd;
    reader.owner = instance_;
    reader.index = index;
    return fd;
}

void Timg::DoWork(int64_t pos, int64_t max, int kind, const Message& message, uint8_t flag) {
    if (onwk)
        onwk->report(pos, max, kind, message, flag);
}

void Timg::Init(std::shared_ptr<const ImageSource> data) {
    image_ = std::move(data);
    nodeTable.clear();
    root_.reset();
    warnings_.clear();
    warningMessages_.clear();
    if (image_)
        for (const Message& m : image_->problems())
            warn(m);
    maxObjId = 0;
    modified = false;
}

uint32_t Timg::newobjid() {
    if (maxObjId >= kObjIdLimit - 1)
        throw Error(msg("no object id is left in this image: it already uses ids up to %1, and "
                        "new objects may not go beyond %2",
                        maxObjId, kObjIdLimit - 1));
    ++maxObjId;
    if (nodeTable.size() <= maxObjId)
        nodeTable.resize(static_cast<size_t>(maxObjId) + 1, nullptr);
    return maxObjId;
}

void Timg::setNode(uint32_t id, Node* node) {
    if (id >= nodeTable.size()) {
        if (!node)
            return;
        nodeTable.resize(static_cast<size_t>(id) + 1, nullptr);
    }
    nodeTable[id] = node;
}

WorkFile& Timg::workfile() {
    if (!workfile_)
        workfile_ = std::make_unique<WorkFile>();
    return *workfile_;
}

void Timg::warn(Message message) {
    warnings_.push_back(message.english());
    warningMessages_.push_back(std::move(message));
}

void Timg::noteRead(uint64_t n) const {
    if (!image_)
        return;
    if (readSinceRelease_.fetch_add(n) + n >= kResidentBudget) {
        readSinceRelease_.store(0);
        lastStretch_.store(~uint64_t{0});
        image_->releaseResident();
    }
}

void Timg::noteReadAt(uint64_t offset, uint64_t n) const {
    const uint64_t first = offset / kFaultAround;
    const uint64_t last = (offset + std::max<uint64_t>(n, 1) - 1) / kFaultAround;
    const uint64_t before = lastStretch_.exchange(last);
    noteRead((last - first + (before == first ? 0 : 1)) * kFaultAround);
}

uint64_t Timg::contentSize(const TImgEntry& e) const {
    return e.objType == kTypeFile ? e.size : 0;
}

bool Timg::ReadContent(uint32_t id, TImgEntry& entry, Bytes& buffer) {
    buffer.clear();
    if (!GetEntry(id, entry))
        return false;
    const uint64_t n = contentSize(entry);
    if (n == 0)
        return true;
    if (n > kWholeReadLimit)
        throw Error(msg("%1 holds %2 bytes, too many to read at once", entry.name, n));
    buffer = contentBuffer(n);
    ReadRange(entry, 0, MutableByteSpan(buffer.data(), static_cast<size_t>(n)));
    return true;
}

size_t Timg::ReadRange(const TImgEntry& e, uint64_t offset, MutableByteSpan out) {
    const uint64_t total = contentSize(e);
    if (offset >= total || out.empty())
        return 0;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(out.size(), total - offset));
    out = out.first(n);
    if (e.dataPos <= kFirstDiskFile) {
        const DiskFile file = diskFileOf(e);
        const int fd = diskFileFd(e, file);
        if (preadAll(fd, out, offset) < n) {
            if (errno != 0)
                throwSystemError(msg("cannot read %1", file.path), errno);
            throw Error(msg("%1 changed after it was added", file.path));
        }
        // Written to while it was read: the end tells.
        if (offset + n == total)
            checkStampAndClose(fd, file);
        return n;
    }
    if (e.dataPos < 0)
        return readImageRange(e, offset, out);
    if (!workfile_)
        throw Error(msg("the contents of %1 are missing from the working file", e.name));
    workfile_->read(e.dataPos + static_cast<int64_t>(offset), out);
    return n;
}

ContentRange Timg::nextData(const TImgEntry& e, uint64_t offset) {
    const uint64_t total = contentSize(e);
    if (offset >= total)
        return {total, total};
    ContentRange r;
    if (e.dataPos <= kFirstDiskFile) {
        const DiskFile file = diskFileOf(e);
        const bool holes = file.mayHaveHoles;
        const int fd = holes ? diskFileFd(e, file) : -1;
        const off_t data = holes ? ::lseek(fd, static_cast<off_t>(offset), SEEK_DATA) : -1;
        if (!holes) {
            r = {offset, total};
        } else if (data < 0) {
            // Past the last data only a hole is left; without hole support
            // everything is data.
            r = errno == ENXIO ? ContentRange{total, total} : ContentRange{offset, total};
        } else {
            const off_t hole = ::lseek(fd, data, SEEK_HOLE);
            r = {static_cast<uint64_t>(data), hole > data ? static_cast<uint64_t>(hole) : total};
        }
        if (holes && r.begin >= total) // the end, reached through a hole
            checkStampAndClose(fd, file);
    } else if (e.dataPos < 0) {
        r = nextImageData(e, offset);
    } else if (workfile_) {
        auto [begin, end] = workfile_->nextData(e.dataPos + static_cast<int64_t>(offset),
                                                e.dataPos + static_cast<int64_t>(total));
        r = {begin - static_cast<uint64_t>(e.dataPos), end - static_cast<uint64_t>(e.dataPos)};
    } else {
        r = {offset, total};
    }
    r.begin = std::clamp(r.begin, offset, total);
    r.end = std::clamp(r.end, r.begin, total);
    return r;
}

std::optional<StoredContents> Timg::storedContents(const TImgEntry& e, uint64_t offset,
                                                   uint64_t n) {
    const uint64_t total = contentSize(e);
    if (e.dataPos >= 0 || e.dataPos <= kFirstDiskFile || offset >= total || n == 0)
        return std::nullopt;
    std::optional<StoredContents> s = storedImageContents(e, offset, std::min(n, total - offset));
    if (!s || s->length == 0 || s->file.fd < 0)
        return std::nullopt;
    s->length = std::min(s->length, std::min(n, total - offset));
    return s;
}

ContentRange Timg::nextImageData(const TImgEntry& e, uint64_t offset) {
    return {offset, contentSize(e)};
}

Bytes contentBuffer(uint64_t size) {
    if (size == 0)
        return {};
    uint64_t rounded = (size + 1023) / 1024 * 1024;
    if (rounded > std::numeric_limits<size_t>::max() / 2)
        throw Error("file too large to hold in memory");
    return Bytes(static_cast<size_t>(rounded));
}

} // namespace korvane
