#include "tar_export.h"

#include "model/error.h"
#include "model/output_file.h"
#include "model/tree.h"
#include "model/work.h"
#include "pax_header.h"
#include "utf8_names.h"

#include <algorithm>
#include <archive.h>
#include <archive_entry.h>
#include <cerrno>
#include <exception>
#include <functional>
#include <memory>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

namespace korvane {

namespace {

const Message kPreparing = msg("Preparing..");
const Message kDone = msg("Done");

struct WriteFree {
    void operator()(archive* a) const { archive_write_free(a); }
};
struct EntryFree {
    void operator()(archive_entry* e) const { archive_entry_free(e); }
};
using WriteHandle = std::unique_ptr<archive, WriteFree>;
using EntryHandle = std::unique_ptr<archive_entry, EntryFree>;

// Where the archive's bytes go, a piece of up to 1 MiB at a time. While a
// member's header is made they are caught (capture), so that its pax records
// can be put right (see pax_header.h) before they go out. Once abandoned (a
// cancelled or failed run), whatever libarchive still flushes is dropped, so
// that no end marker makes a cut archive look whole.
struct Output {
    std::function<void(ByteSpan)> write;
    bool abandoned = false;
    std::exception_ptr failure;
    Bytes* capture = nullptr;
    Bytes pending;

    void put(ByteSpan b) {
        pending.insert(pending.end(), b.begin(), b.end());
        if (pending.size() >= kStreamBuffer)
            flush();
    }
    void flush() {
        if (!pending.empty())
            write(pending);
        pending.clear();
    }
};

la_ssize_t writeCallback(archive* a, void* data, const void* buffer, size_t length) {
    auto* out = static_cast<Output*>(data);
    if (out->abandoned)
        return static_cast<la_ssize_t>(length);
    const ByteSpan bytes(static_cast<const std::byte*>(buffer), length);
    if (out->capture) {
        out->capture->insert(out->capture->end(), bytes.begin(), bytes.end());
        return static_cast<la_ssize_t>(length);
    }
    try {
        out->put(bytes);
    } catch (...) {
        out->failure = std::current_exception();
        out->abandoned = true;
        archive_set_error(a, EIO, "the archive cannot be written");
        return -1;
    }
    return static_cast<la_ssize_t>(length);
}

// Data ranges of a file as a sparse member holds them: widened to whole
// 512-byte blocks (GNU tar reads every range but the last in whole blocks) and
// merged where they meet. A file that is all hole keeps its last block, so
// that the member has data to end with.
std::vector<ContentRange> sparseRanges(Timg& img, const TImgEntry& e, uint64_t size) {
    std::vector<ContentRange> out;
    for (uint64_t pos = 0; pos < size;) {
        const ContentRange r = img.nextData(e, pos);
        if (r.begin >= r.end)
            break;
        const ContentRange w{r.begin / 512 * 512, std::min(size, (r.end + 511) / 512 * 512)};
        if (!out.empty() && w.begin <= out.back().end)
            out.back().end = std::max(out.back().end, w.end);
        else
            out.push_back(w);
        pos = r.end;
    }
    if (out.empty() && size > 0)
        out.push_back({(size - 1) / 512 * 512, size});
    return out;
}

class TarWriter {
public:
    TarWriter(Timg& img, Output& out, JobReporter& rep, uint64_t total)
        : img_(img), out_(out), rep_(rep), total_(total), a_(archive_write_new()),
          buffer_(kStreamBuffer), zeros_(kStreamBuffer) {
        // The objects that hard links stand for: only their first member's
        // name needs keeping.
        forEachPreorder(img.root(), [&](Node* n) {
            if (n->entry.objType == kTypeHardlink)
                if (const Node* t = hardlinkTarget(img, n))
                    linked_.insert(t->entry.objId);
        });
        if (!a_)
            throw std::bad_alloc();
        check(archive_write_set_format_pax(a_.get()));
        // No blocking: every header reaches the callback as it is made, to be
        // put right; Output gathers the pieces.
        check(archive_write_set_bytes_per_block(a_.get(), 0));
        // Only the SCHILY records for extended attributes: GNU tar reads
        // them and warns about libarchive's own. (A libarchive without the
        // option writes both, which readers still take.)
        (void)archive_write_set_options(a_.get(), "xattrheader=SCHILY");
        check(archive_write_open2(a_.get(), &out_, nullptr, writeCallback, nullptr, nullptr));
    }

    // Unless closed, the archive is abandoned before libarchive flushes what
    // it holds (members are destroyed after this body runs).
    ~TarWriter() {
        if (!closed_)
            out_.abandoned = true;
    }
    TarWriter(const TarWriter&) = delete;
    TarWriter& operator=(const TarWriter&) = delete;

    // Writes top and everything below it; false when cancelled.
    bool write(Node* top);
    // Lists top, with everything below it, as not written.
    void refuse(const Node* top, Message why) {
        skip(top->text, std::move(why), top->isDirectory() ? top->subtreeSize() - 1 : 0);
        step(top->text);
    }
    void close() {
        if (archive_write_close(a_.get()) != ARCHIVE_OK)
            fail();
        closed_ = true;
    }

    TarResult result;

private:
    bool cancelled() const { return img_.cancel.load() != 0; }
    void check(int status) {
        if (status < ARCHIVE_WARN)
            fail();
    }
    [[noreturn]] void fail() {
        if (out_.failure)
            std::rethrow_exception(out_.failure);
        const char* why = archive_error_string(a_.get());
        throw Error(
            msg("cannot write the archive: %1", why ? verbatim(why) : msg("unknown error")));
    }
    void step(const std::string& path) {
        ++done_;
        rep_.progressWith(static_cast<int64_t>(done_), static_cast<int64_t>(total_), 2,
                          [&] { return verbatim(path); });
    }
    void skip(const std::string& path, Message reason, size_t below = 0) {
        if (below > 0) {
            reason = below == 1 ? msg("%1 (and the object below it)", reason)
                                : msg("%1 (and the %2 objects below it)", reason, below);
            done_ += below;
        }
        result.skipped.push_back({path, std::move(reason)});
    }
    void member(const Node* n, const std::string& path);
    void writeData(const TImgEntry& e, uint64_t size, const std::vector<ContentRange>& ranges);
    void writeZeros(uint64_t n);

    Timg& img_;
    Output& out_;
    JobReporter& rep_;
    uint64_t total_;
    uint64_t done_ = 0;
    WriteHandle a_;
    Bytes buffer_;
    Bytes zeros_;
    std::unordered_set<uint32_t> linked_;
    // The member name that carries a linked file's contents, by object id.
    std::unordered_map<uint32_t, std::string> firstName_;
    bool closed_ = false;
};

void TarWriter::writeZeros(uint64_t n) {
    while (n > 0) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(n, zeros_.size()));
        if (archive_write_data(a_.get(), zeros_.data(), piece) < 0)
            fail();
        n -= piece;
    }
}

void TarWriter::writeData(const TImgEntry& e, uint64_t size,
                          const std::vector<ContentRange>& ranges) {
    uint64_t pos = 0;
    for (const ContentRange& r : ranges) {
        // Bytes between the ranges are holes: the sparse member skips them.
        writeZeros(r.begin - pos);
        for (pos = r.begin; pos < r.end;) {
            if (cancelled())
                return;
            const size_t want =
                static_cast<size_t>(std::min<uint64_t>(buffer_.size(), r.end - pos));
            MutableByteSpan piece(buffer_.data(), want);
            const size_t got = img_.ReadRange(e, pos, piece);
            if (got < want) // the contents end early: the member keeps its size
                std::fill(buffer_.begin() + static_cast<ptrdiff_t>(got),
                          buffer_.begin() + static_cast<ptrdiff_t>(want), std::byte{0});
            if (archive_write_data(a_.get(), buffer_.data(), want) < 0)
                fail();
            pos += want;
        }
    }
    writeZeros(size - pos);
}

void TarWriter::member(const Node* n, const std::string& path) {
    const Node* holder = n;
    if (n->entry.objType == kTypeHardlink) {
        holder = hardlinkTarget(img_, n);
        if (!holder)
            return skip(path, msg("the object it links to is missing from the image"));
        if (holder->isDirectory())
            return skip(path, msg("hard link to a folder"));
    }
    const TImgEntry& e = holder->entry;
    EntryHandle entry(archive_entry_new());
    if (!entry)
        throw std::bad_alloc();
    archive_entry* x = entry.get();
    archive_entry_set_pathname(x, path.c_str());
    archive_entry_set_perm(x, e.mode & kModePermissionMask);
    archive_entry_set_uid(x, e.uid);
    archive_entry_set_gid(x, e.gid);
    archive_entry_set_mtime(x, e.mtime, e.mtimeNs);
    archive_entry_set_atime(x, e.atime, e.atimeNs);
    archive_entry_set_ctime(x, e.ctime, e.ctimeNs);
    for (const Xattr& xa : e.xattrs)
        archive_entry_xattr_add_entry(x, xa.name.c_str(), xa.value.data(), xa.value.size());

    const bool linkable = e.objType != kTypeDirectory && linked_.count(e.objId) != 0;
    auto first = linkable ? firstName_.find(e.objId) : firstName_.end();
    uint64_t size = 0;
    std::vector<ContentRange> ranges;
    // Records libarchive would write wrongly or leave out.
    PaxRecords fixes = {{"mtime", paxTime({e.mtime, e.mtimeNs})},
                        {"atime", paxTime({e.atime, e.atimeNs})},
                        {"ctime", paxTime({e.ctime, e.ctimeNs})}};
    if (first != firstName_.end()) {
        // Another name of a file already written.
        archive_entry_set_filetype(x, fileTypeBits(e) == kModeSymlink ? AE_IFLNK : AE_IFREG);
        archive_entry_set_hardlink(x, first->second.c_str());
        archive_entry_set_size(x, 0);
    } else {
        switch (e.objType) {
        case kTypeDirectory:
            archive_entry_set_filetype(x, AE_IFDIR);
            break;
        case kTypeFile:
            archive_entry_set_filetype(x, AE_IFREG);
            size = img_.contentSize(e);
            archive_entry_set_size(x, static_cast<la_int64_t>(size));
            ranges = sparseRanges(img_, e, size);
            if (ranges.size() != 1 || ranges[0].begin != 0 || ranges[0].end != size) {
                for (const ContentRange& r : ranges)
                    archive_entry_sparse_add_entry(x, static_cast<la_int64_t>(r.begin),
                                                   static_cast<la_int64_t>(r.end - r.begin));
                fixes.emplace_back("GNU.sparse.name", path); // the whole name
            }
            break;
        case kTypeSymlink:
            if (e.alias.empty())
                return skip(path, msg("the symbolic link has no target"));
            archive_entry_set_filetype(x, AE_IFLNK);
            archive_entry_set_symlink(x, e.alias.c_str());
            break;
        default:
            switch (fileTypeBits(e)) {
            case kModeCharDevice:
                archive_entry_set_filetype(x, AE_IFCHR);
                break;
            case kModeBlockDevice:
                archive_entry_set_filetype(x, AE_IFBLK);
                break;
            case kModeFifo:
                archive_entry_set_filetype(x, AE_IFIFO);
                break;
            case kModeSocket:
                return skip(path, msg("a tar archive cannot hold a socket"));
            default:
                return skip(path, msg("object of unknown type %1", e.objType));
            }
            archive_entry_set_rdevmajor(x, e.rdev.major);
            archive_entry_set_rdevminor(x, e.rdev.minor);
        }
    }
    // The member before ends (its padding goes out) before this header is
    // caught.
    check(archive_write_finish_entry(a_.get()));
    Bytes header;
    out_.capture = &header;
    const int status = archive_write_header(a_.get(), x);
    out_.capture = nullptr;
    if (status == ARCHIVE_FAILED) {
        const char* why = archive_error_string(a_.get());
        return skip(path, why ? verbatim(why) : msg("the archive cannot hold it"));
    }
    check(status); // a warning is a name that is not UTF-8, kept as bytes
    if (!out_.abandoned)
        out_.put(rewritePaxHeader(header, fixes));
    if (size > 0)
        writeData(e, size, ranges);
    if (linkable && first == firstName_.end())
        firstName_.emplace(e.objId, path);
    ++result.written;
}

bool TarWriter::write(Node* top) {
    const Message namesake = msg("an object of the same name came before it; it is left out");
    // A whole tree is written as "./" and "./PATH"; anything else under its
    // own name. The name of the folder being written is kept once, and each
    // member's name is made from it.
    const bool whole = top->parent == nullptr;
    std::string path = whole ? std::string(".") : top->text;
    if (cancelled())
        return false;
    if (!whole && !safeFileName(top->text)) {
        skip(path, msg("the name cannot be used as a file name"),
             top->isDirectory() ? top->subtreeSize() - 1 : 0);
        step(path);
        return true;
    }
    member(top, path);
    step(path);
    if (!top->isDirectory())
        return !cancelled();
    struct Frame {
        const Node* dir;
        size_t next;
        size_t pathLength;
        std::vector<const Node*> namesakes; // sorted by address
    };
    std::vector<Frame> stack;
    stack.push_back({top, 0, path.size(), laterNamesakes(top->children)});
    while (!stack.empty()) {
        if (cancelled())
            return false;
        Frame& f = stack.back();
        if (f.next == f.dir->children.size()) {
            stack.pop_back();
            continue;
        }
        const Node* n = f.dir->children[f.next++].get();
        path.resize(f.pathLength);
        path += '/';
        path += n->text;
        auto below = [n] { return n->isDirectory() ? n->subtreeSize() - 1 : 0; };
        if (!safeFileName(n->text)) {
            skip(path, msg("the name cannot be used as a file name"), below());
        } else if (std::binary_search(f.namesakes.begin(), f.namesakes.end(), n)) {
            // Two members of one name: an extraction would put the second
            // over the first.
            skip(path, namesake, below());
        } else {
            member(n, path);
            if (n->isDirectory())
                stack.push_back({n, 0, path.size(), laterNamesakes(n->children)});
        }
        step(path);
    }
    return true;
}

TarResult run(Timg& img, const std::vector<uint32_t>& ids, Output& out) {
    JobReporter rep(img.onwk, kFlagExtract);
    rep.send(0, 0, 1, kPreparing);
    try {
        std::vector<Node*> tops;
        std::vector<SkippedObject> missing;
        for (uint32_t id : ids) {
            if (Node* n = img.nodeFor(id))
                tops.push_back(n);
            else
                missing.push_back({"#" + std::to_string(id), msg("no such object in the tree")});
        }
        uint64_t total = 0;
        for (Node* n : tops)
            total += n->subtreeSize();
        Utf8Names names;
        TarWriter w(img, out, rep, total);
        w.result.skipped = std::move(missing);
        const std::vector<const Node*> namesakes = laterNamesakes(tops);
        bool finished = true;
        for (Node* n : tops) {
            if (std::binary_search(namesakes.begin(), namesakes.end(), n))
                w.refuse(n, msg("an object of the same name came before it; it is left out"));
            else if (!(finished = w.write(n)))
                break;
        }
        if (finished)
            w.close();
        // What was made goes out; a cut archive without its end marker.
        out.flush();
        if (!finished)
            out.abandoned = true;
        w.result.cancelled = !finished;
        rep.send(0, 0, 3, kDone);
        return std::move(w.result);
    } catch (...) {
        out.abandoned = true;
        rep.send(0, 0, 3, kDone);
        throw;
    }
}

} // namespace

TarResult tarout(Timg& img, const std::vector<uint32_t>& ids, const std::string& path) {
    // An archive is written front to back: a FIFO or a device takes it as
    // it is made.
    OutputFile file(path, OutputFile::Access::kAppendOnly);
    Output out;
    out.write = [&file](ByteSpan b) { file.append(b); };
    TarResult r = run(img, ids, out);
    if (!r.cancelled)
        file.commit();
    return r;
}

TarResult taroutfd(Timg& img, const std::vector<uint32_t>& ids, int fd) {
    Output out;
    out.write = [fd](ByteSpan b) {
        while (!b.empty()) {
            const ssize_t w = ::write(fd, b.data(), b.size());
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0)
                throwSystemError("cannot write the archive", errno);
            b = b.subspan(static_cast<size_t>(w));
        }
    };
    return run(img, ids, out);
}

} // namespace korvane
