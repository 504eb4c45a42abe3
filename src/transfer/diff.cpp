#include "diff.h"

#include "model/error.h"
#include "model/file_io.h"
#include "model/tree.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

namespace korvane {

// What a side shows of one object: its record as the comparison sees it (a
// hard link as the file it names), and where its contents are.
struct DiffObject {
    std::string name;
    TImgEntry e;
    const Node* node = nullptr; // image sides
    std::string diskPath;       // folder sides
};

class DiffSide::Impl {
public:
    virtual ~Impl() = default;
    virtual DiffObject top() const = 0;
    // The objects of a folder, sorted by name bytes.
    virtual std::vector<DiffObject> children(const DiffObject& folder) const = 0;
    // Reads contents at offset; fewer bytes only at the end.
    virtual size_t read(const DiffObject& o, uint64_t offset, MutableByteSpan out) const = 0;
    // Contents from offset on (at most n bytes) where they lie in memory as
    // they read (an image's mapping), otherwise empty.
    virtual ByteSpan mapped(const DiffObject& o, uint64_t offset, uint64_t n) const {
        (void)o;
        (void)offset;
        (void)n;
        return {};
    }
    // Says that n bytes of mapped() were read, so that the mapping's pages
    // are let go now and then.
    virtual void doneWith(uint64_t n) const { (void)n; }
};

namespace {

bool byName(const DiffObject& x, const DiffObject& y) {
    return x.name < y.name;
}

class ImageSide : public DiffSide::Impl {
public:
    ImageSide(Timg& img, const Node* top) : img_(img), top_(top ? top : img.root()) {}

    DiffObject top() const override { return objectOf(top_); }

    std::vector<DiffObject> children(const DiffObject& folder) const override {
        std::vector<DiffObject> out;
        out.reserve(folder.node->children.size());
        for (const auto& c : folder.node->children)
            out.push_back(objectOf(c.get()));
        std::sort(out.begin(), out.end(), byName);
        return out;
    }

    size_t read(const DiffObject& o, uint64_t offset, MutableByteSpan out) const override {
        return img_.ReadRange(o.e, offset, out);
    }

    ByteSpan mapped(const DiffObject& o, uint64_t offset, uint64_t n) const override {
        const std::optional<StoredContents> s = img_.storedContents(o.e, offset, n);
        if (!s || !s->file.mapped)
            return {};
        return ByteSpan(s->file.mapped, static_cast<size_t>(s->length));
    }

    void doneWith(uint64_t n) const override { img_.noteRead(n); }

private:
    DiffObject objectOf(const Node* n) const {
        DiffObject o;
        o.name = n->entry.name;
        const Node* target = hardlinkTarget(img_, n);
        o.node = target ? target : n;
        o.e = o.node->entry;
        o.e.name = n->entry.name;
        return o;
    }

    Timg& img_;
    const Node* top_;
};

class FolderSide : public DiffSide::Impl {
public:
    explicit FolderSide(std::string path) : path_(std::move(path)) {}

    DiffObject top() const override {
        DiffObject o;
        o.diskPath = path_;
        describe(o);
        if (o.e.objType != kTypeDirectory)
            throw Error(msg("%1 is not a folder", path_));
        return o;
    }

    std::vector<DiffObject> children(const DiffObject& folder) const override {
        std::vector<DiffObject> out;
        DIR* d = ::opendir(folder.diskPath.c_str());
        if (!d)
            throwSystemError(msg("cannot read %1", folder.diskPath), errno);
        while (dirent* de = ::readdir(d)) {
            const std::string name = de->d_name;
            if (name == "." || name == "..")
                continue;
            DiffObject o;
            o.name = name;
            o.diskPath = folder.diskPath + "/" + name;
            out.push_back(std::move(o));
        }
        ::closedir(d);
        for (DiffObject& o : out)
            describe(o);
        std::sort(out.begin(), out.end(), byName);
        return out;
    }

    size_t read(const DiffObject& o, uint64_t offset, MutableByteSpan out) const override {
        const int fd = ::open(o.diskPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            throwSystemError(msg("cannot open %1", o.diskPath), errno);
        const size_t done = preadAll(fd, out, offset);
        const int err = done < out.size() ? errno : 0;
        ::close(fd);
        if (err != 0)
            throwSystemError(msg("cannot read %1", o.diskPath), err);
        return done;
    }

private:
    static void describe(DiffObject& o) {
        struct stat st {};
        if (::lstat(o.diskPath.c_str(), &st) != 0)
            throwSystemError(msg("cannot read %1", o.diskPath), errno);
        TImgEntry& e = o.e;
        e.name = o.name;
        e.mode = st.st_mode;
        e.objType = objTypeForMode(st.st_mode);
        e.uid = st.st_uid;
        e.gid = st.st_gid;
        e.size = static_cast<uint64_t>(st.st_size);
        e.mtime = st.st_mtim.tv_sec;
        e.mtimeNs = static_cast<uint32_t>(st.st_mtim.tv_nsec);
        if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
            e.rdev = DevNum{major(st.st_rdev), minor(st.st_rdev)};
        if (S_ISLNK(st.st_mode)) {
            std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
            const ssize_t n = ::readlink(o.diskPath.c_str(), target.data(), target.size());
            if (n >= 0)
                target.resize(static_cast<size_t>(n));
            e.alias = target;
        }
        readXattrs(o.diskPath, e);
    }

    static void readXattrs(const std::string& path, TImgEntry& e) {
        const ssize_t size = ::llistxattr(path.c_str(), nullptr, 0);
        if (size <= 0)
            return;
        std::string names(static_cast<size_t>(size), '\0');
        const ssize_t got = ::llistxattr(path.c_str(), names.data(), names.size());
        if (got <= 0)
            return;
        names.resize(static_cast<size_t>(got));
        for (size_t at = 0; at < names.size();) {
            const std::string name = names.c_str() + at;
            at += name.size() + 1;
            const ssize_t vs = ::lgetxattr(path.c_str(), name.c_str(), nullptr, 0);
            if (vs < 0)
                continue;
            std::string value(static_cast<size_t>(vs), '\0');
            const ssize_t vg = ::lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
            if (vg < 0)
                continue;
            value.resize(static_cast<size_t>(vg));
            e.xattrs.push_back({name, value});
        }
    }

    std::string path_;
};

bool sameTime(const TImgEntry& a, const TImgEntry& b) {
    if (a.mtime != b.mtime)
        return false;
    // A format that keeps whole seconds says nothing of the nanoseconds.
    return a.mtimeNs == 0 || b.mtimeNs == 0 || a.mtimeNs == b.mtimeNs;
}

bool sameXattrs(std::vector<Xattr> a, std::vector<Xattr> b) {
    auto order = [](const Xattr& x, const Xattr& y) { return x.name < y.name; };
    std::sort(a.begin(), a.end(), order);
    std::sort(b.begin(), b.end(), order);
    return a == b;
}

uint16_t metadataDifferences(const TImgEntry& a, const TImgEntry& b, const DiffOptions& opt) {
    uint16_t what = 0;
    if (fileTypeBits(a) != fileTypeBits(b))
        return kDiffType;
    // A symbolic link's target is its contents.
    if (fileTypeBits(a) == kModeSymlink && a.alias != b.alias)
        what |= kDiffTarget;
    if (opt.contentOnly)
        return what;
    if ((a.mode & kModePermissionMask) != (b.mode & kModePermissionMask))
        what |= kDiffMode;
    if (a.uid != b.uid || a.gid != b.gid)
        what |= kDiffOwner;
    if (!opt.ignoreTimes && fileTypeBits(a) != kModeSymlink && !sameTime(a, b))
        what |= kDiffTime;
    if ((fileTypeBits(a) == kModeCharDevice || fileTypeBits(a) == kModeBlockDevice) &&
        !(a.rdev == b.rdev))
        what |= kDiffDevice;
    if (!sameXattrs(a.xattrs, b.xattrs))
        what |= kDiffXattrs;
    return what;
}

// A difference waiting for its contents to be compared.
struct Pending {
    DiffEntry entry;
    DiffObject a, b;
    bool compareContents = false;
};

class Comparison {
public:
    Comparison(const DiffSide::Impl& a, const DiffSide::Impl& b, const DiffOptions& opt,
               const std::function<void(const DiffEntry&)>& report)
        : a_(a), b_(b), opt_(opt), report_(report) {
        workers_ = opt.workers > 0
                       ? opt.workers
                       : std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    }

    DiffSummary run() {
        DiffObject ta = a_.top(), tb = b_.top();
        std::string path = "/";
        compareFolder(ta, tb, path);
        flush();
        summary_.cancelled = cancelled();
        return summary_;
    }

private:
    static constexpr size_t kBatch = 256;

    bool cancelled() const { return opt_.cancel && opt_.cancel->load(); }

    void add(Pending p) {
        batch_.push_back(std::move(p));
        if (batch_.back().compareContents && ++contentJobs_ >= kBatch)
            flush();
    }

    void compareFolder(const DiffObject& fa, const DiffObject& fb, std::string& path) {
        const std::vector<DiffObject> ca = a_.children(fa), cb = b_.children(fb);
        size_t i = 0, j = 0;
        const size_t base = path.size();
        while ((i < ca.size() || j < cb.size()) && !cancelled()) {
            int order = i == ca.size() ? 1 : j == cb.size() ? -1 : ca[i].name.compare(cb[j].name);
            path.resize(base);
            if (base > 1)
                path += '/';
            path += order <= 0 ? ca[i].name : cb[j].name;
            if (order < 0)
                one(ca[i++], path, DiffKind::kRemoved);
            else if (order > 0)
                one(cb[j++], path, DiffKind::kAdded);
            else
                both(ca[i++], cb[j++], path);
        }
        path.resize(base);
    }

    void one(const DiffObject& o, const std::string& path, DiffKind kind) {
        Pending p;
        p.entry.path = path;
        p.entry.kind = kind;
        (kind == DiffKind::kAdded ? p.entry.b : p.entry.a) = o.e;
        add(std::move(p));
    }

    void both(const DiffObject& oa, const DiffObject& ob, std::string& path) {
        ++summary_.compared;
        Pending p;
        p.entry.path = path;
        p.entry.what = metadataDifferences(oa.e, ob.e, opt_);
        const bool folders = oa.e.objType == kTypeDirectory && ob.e.objType == kTypeDirectory;
        const bool files = fileTypeBits(oa.e) == kModeFile && fileTypeBits(ob.e) == kModeFile;
        if (files && oa.e.size != ob.e.size)
            p.entry.what |= kDiffContents;
        else if (files && oa.e.size > 0) {
            p.compareContents = true;
            p.a = oa;
            p.b = ob;
        }
        if (p.entry.what || p.compareContents) {
            p.entry.a = oa.e;
            p.entry.b = ob.e;
            add(std::move(p));
        }
        if (folders)
            compareFolder(oa, ob, path);
    }

    bool sameContents(const DiffObject& oa, const DiffObject& ob, Bytes& ba, Bytes& bb) const {
        const uint64_t size = oa.e.size;
        for (uint64_t at = 0; at < size;) {
            if (cancelled())
                return true;
            // Where both sides lie in their images' mappings they are
            // compared there, without copying them out.
            const uint64_t chunk = std::min<uint64_t>(ba.size(), size - at);
            const ByteSpan ma = a_.mapped(oa, at, chunk);
            const ByteSpan mb = ma.empty() ? ByteSpan{} : b_.mapped(ob, at, chunk);
            if (!mb.empty()) {
                const size_t n = std::min(ma.size(), mb.size());
                if (std::memcmp(ma.data(), mb.data(), n) != 0)
                    return false;
                a_.doneWith(n);
                b_.doneWith(n);
                at += n;
                continue;
            }
            const size_t want = static_cast<size_t>(std::min<uint64_t>(ba.size(), size - at));
            const size_t ga = a_.read(oa, at, MutableByteSpan(ba.data(), want));
            const size_t gb = b_.read(ob, at, MutableByteSpan(bb.data(), want));
            if (ga != gb || std::memcmp(ba.data(), bb.data(), ga) != 0)
                return false;
            if (ga == 0)
                break;
            at += ga;
        }
        return true;
    }

    // Compares the pending contents, several at once, then reports the
    // batch in order.
    void flush() {
        std::vector<Pending*> jobs;
        for (Pending& p : batch_)
            if (p.compareContents)
                jobs.push_back(&p);
        std::atomic<size_t> next{0};
        std::exception_ptr failure;
        std::mutex failureMutex;
        auto work = [&] {
            // Cleared once per thread, not once per batch.
            thread_local Bytes ba(1u << 20), bb(1u << 20);
            for (size_t k; (k = next++) < jobs.size();) {
                try {
                    if (!sameContents(jobs[k]->a, jobs[k]->b, ba, bb))
                        jobs[k]->entry.what |= kDiffContents;
                } catch (...) {
                    std::lock_guard lock(failureMutex);
                    if (!failure)
                        failure = std::current_exception();
                }
            }
        };
        const int threads = std::min<int>(workers_, static_cast<int>(jobs.size()));
        std::vector<std::thread> pool;
        for (int t = 1; t < threads; ++t)
            pool.emplace_back(work);
        work();
        for (std::thread& t : pool)
            t.join();
        if (failure)
            std::rethrow_exception(failure);
        for (Pending& p : batch_) {
            if (p.entry.kind == DiffKind::kChanged && p.entry.what == 0)
                continue;
            (p.entry.kind == DiffKind::kAdded     ? summary_.added
             : p.entry.kind == DiffKind::kRemoved ? summary_.removed
                                                  : summary_.changed)++;
            report_(p.entry);
        }
        batch_.clear();
        contentJobs_ = 0;
    }

    const DiffSide::Impl& a_;
    const DiffSide::Impl& b_;
    const DiffOptions& opt_;
    const std::function<void(const DiffEntry&)>& report_;
    int workers_ = 1;
    std::vector<Pending> batch_;
    size_t contentJobs_ = 0;
    DiffSummary summary_;
};

} // namespace

std::vector<std::string> diffWhatNames(uint16_t what) {
    static const char* const kNames[] = {"type", "contents", "mode",   "owner",
                                         "time", "target",   "device", "xattrs"};
    std::vector<std::string> out;
    for (size_t i = 0; i < std::size(kNames); ++i)
        if (what & (1u << i))
            out.emplace_back(kNames[i]);
    return out;
}

DiffSide::DiffSide(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
DiffSide::DiffSide(DiffSide&&) noexcept = default;
DiffSide& DiffSide::operator=(DiffSide&&) noexcept = default;
DiffSide::~DiffSide() = default;

DiffSide DiffSide::image(Timg& img, const Node* top) {
    return DiffSide(std::make_unique<ImageSide>(img, top));
}

DiffSide DiffSide::folder(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return DiffSide(std::make_unique<FolderSide>(std::move(path)));
}

DiffSummary diffTrees(const DiffSide& a, const DiffSide& b, const DiffOptions& opt,
                      const std::function<void(const DiffEntry&)>& report) {
    return Comparison(a.impl(), b.impl(), opt, report).run();
}

} // namespace korvane
