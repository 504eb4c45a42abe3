#include "tar_import.h"

#include "edit.h"
#include "model/error.h"
#include "model/tree.h"
#include "model/tree_order.h"
#include "model/work.h"
#include "pax_header.h"
#include "utf8_names.h"

#include <algorithm>
#include <archive.h>
#include <archive_entry.h>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unordered_map>

namespace korvane {

namespace {

const Message kDone = msg("Done");

// libarchive's own words about what went wrong, as it gives them.
Message archiveError(archive* a) {
    const char* why = archive_error_string(a);
    return why ? verbatim(why) : msg("unknown error");
}

struct ReadFree {
    void operator()(archive* a) const { archive_read_free(a); }
};
using ReadHandle = std::unique_ptr<archive, ReadFree>;

// The input as libarchive's filters give it (gunzipped, unxz'd...), read
// through a handle of the "raw" format and handed to the archive reader
// through a callback: libarchive reads some pax records wrongly (see
// pax_header.h), and the importer reads them again from the bytes of each
// member's headers. The last kWindow bytes handed out are kept for that; a
// member whose headers are larger keeps libarchive's reading.
class Decompressed {
public:
    static constexpr size_t kChunk = 64 << 10;
    static constexpr size_t kWindow = 4 << 20;

    Decompressed(const std::function<int(archive*)>& open, const std::string& source)
        : raw_(archive_read_new()) {
        if (!raw_)
            throw std::bad_alloc();
        archive_read_support_filter_all(raw_.get());
        archive_read_support_format_raw(raw_.get());
        archive_entry* e = nullptr;
        int r = open(raw_.get());
        if (r == ARCHIVE_OK)
            r = archive_read_next_header(raw_.get(), &e);
        if (r == ARCHIVE_EOF)
            ended_ = true; // nothing at all: the reader says what it makes of that
        else if (r < ARCHIVE_WARN)
            throw Error(msg("cannot read the archive %1: %2", source, archiveError(raw_.get())));
    }

    // Whether the input begins with a ustar, pax or GNU tar header (reading
    // its first bytes).
    bool startsTar() {
        if (chunks_.empty() && !fill())
            return false;
        const Bytes& c = chunks_.front();
        return c.size() >= 512 && std::memcmp(c.data() + 257, "ustar", 5) == 0;
    }

    // For archive_read_open2: the next piece, the first one again first.
    static la_ssize_t read(archive* a, void* self, const void** buffer) {
        auto* d = static_cast<Decompressed*>(self);
        if (d->handed_ == d->chunks_.size() && !d->fill()) {
            if (d->failed_) {
                archive_set_error(a, EIO, "%s", archive_error_string(d->raw_.get()));
                return -1;
            }
            return 0;
        }
        const Bytes& c = d->chunks_[d->handed_++];
        *buffer = c.data();
        return static_cast<la_ssize_t>(c.size());
    }

    // The headers of the member whose first header is at offset, as far as
    // they are still kept: its pax records, or nullopt.
    std::optional<PaxRecords> paxRecordsAt(uint64_t offset) const {
        // Most members' headers take three blocks; a long one is looked for
        // again in everything kept.
        for (size_t want : {size_t{4096}, kWindow}) {
            Bytes b = kept(offset, want);
            std::optional<PaxRecords> r = memberPaxRecords(b);
            if (r || b.size() < want)
                return r;
        }
        return std::nullopt;
    }

    // Compressed bytes read, for progress.
    int64_t inputBytes() const { return archive_filter_bytes(raw_.get(), -1); }

private:
    bool fill() {
        if (ended_)
            return false;
        Bytes c(kChunk);
        const la_ssize_t n = archive_read_data(raw_.get(), c.data(), c.size());
        if (n <= 0) {
            failed_ = n < 0;
            ended_ = true;
            return false;
        }
        c.resize(static_cast<size_t>(n));
        end_ += c.size();
        chunks_.push_back(std::move(c));
        // Pieces already handed out and out of the window go; the one handed
        // out last stays readable for the reader.
        while (handed_ > 1 && end_ - firstOffset_ - chunks_.front().size() >= kWindow) {
            firstOffset_ += chunks_.front().size();
            chunks_.pop_front();
            --handed_;
        }
        return true;
    }

    // Up to n bytes from offset, of those kept.
    Bytes kept(uint64_t offset, size_t n) const {
        Bytes out;
        if (offset < firstOffset_ || offset >= end_)
            return out;
        uint64_t at = firstOffset_;
        for (const Bytes& c : chunks_) {
            if (out.size() >= n)
                break;
            const uint64_t next = at + c.size();
            if (next > offset) {
                const size_t from = offset > at ? static_cast<size_t>(offset - at) : 0;
                const size_t take = std::min(c.size() - from, n - out.size());
                out.insert(out.end(), c.begin() + static_cast<ptrdiff_t>(from),
                           c.begin() + static_cast<ptrdiff_t>(from + take));
            }
            at = next;
        }
        return out;
    }

    ReadHandle raw_;
    std::deque<Bytes> chunks_;
    size_t handed_ = 0;        // chunks_[0..handed_) were handed to the reader
    uint64_t firstOffset_ = 0; // of chunks_.front() in the input
    uint64_t end_ = 0;
    bool failed_ = false;
    bool ended_ = false;
};

// A time of a pax record, when the record is there and holds one.
void takePaxTime(const PaxRecords& records, const char* key, int64_t& sec, uint32_t& nsec) {
    for (const auto& [k, v] : records)
        if (k == key)
            if (std::optional<PaxTime> t = parsePaxTime(v)) {
                sec = t->sec;
                nsec = t->nsec;
            }
}

// A member's name as components below the target folder, or why it is
// refused.
struct MemberPath {
    std::vector<std::string> parts;
    Message refusal; // empty when the name can be taken
};

MemberPath splitMember(std::string_view name) {
    MemberPath m;
    if (name.empty()) {
        m.refusal = msg("a member without a name");
        return m;
    }
    if (name.front() == '/') {
        m.refusal = msg("absolute member names are refused");
        return m;
    }
    size_t i = 0;
    while (i <= name.size()) {
        size_t slash = name.find('/', i);
        if (slash == std::string_view::npos)
            slash = name.size();
        std::string_view part = name.substr(i, slash - i);
        i = slash + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            m.refusal = msg("member names with \"..\" are refused");
            return m;
        }
        if (part.size() > kMaxNameBytes) {
            m.refusal = msg("a name longer than 255 bytes");
            return m;
        }
        m.parts.emplace_back(part);
    }
    return m;
}

std::string joined(const std::vector<std::string>& parts) {
    std::string p;
    for (const std::string& s : parts)
        p += (p.empty() ? "" : "/") + s;
    return p;
}

class Importer {
public:
    Importer(Timg& img, Node* base, archive* a, JobReporter& rep, uint64_t total)
        : img_(img), base_(base), a_(a), rep_(rep), total_(total), now_(std::time(nullptr)) {}

    // Takes one member (its header was just read). pax: the member's pax
    // records as they stand in the archive, when they could be read.
    void take(archive_entry* e, const std::optional<PaxRecords>& pax);

    TarImportResult result;
    // The input's bytes read so far, when the reader's own count is of
    // decompressed bytes.
    std::function<int64_t()> bytesRead;

private:
    using NameMap = std::unordered_map<std::string, Node*>;

    void refuse(const std::string& name, const Message& why) {
        result.refused.push_back(msg("%1: %2", name, why));
    }
    NameMap& namesOf(Node* dir);
    Node* find(const std::vector<std::string>& parts, size_t count);
    Node* folderFor(const std::vector<std::string>& parts, const std::string& member);
    std::optional<TImgEntry> attributes(archive_entry* e, const std::string& member,
                                        const std::optional<PaxRecords>& pax);
    // Reads the member's data into the working file: {dataPos, size}.
    std::pair<int64_t, uint64_t> readData(archive_entry* e, const std::string& member);
    void add(Node* dir, TImgEntry entry);
    void takeLink(archive_entry* e, const MemberPath& at, const std::string& member,
                  const char* target);
    [[noreturn]] void fail(const std::string& member) {
        throw Error(msg("cannot read the archive at %1: %2", member, archiveError(a_)));
    }

    Timg& img_;
    Node* base_;
    archive* a_;
    JobReporter& rep_;
    uint64_t total_;
    int64_t now_;
    std::unordered_map<Node*, NameMap> names_;
};

Importer::NameMap& Importer::namesOf(Node* dir) {
    auto [it, fresh] = names_.try_emplace(dir);
    if (fresh)
        for (auto& c : dir->children)
            it->second[c->text] = c.get();
    return it->second;
}

Node* Importer::find(const std::vector<std::string>& parts, size_t count) {
    Node* n = base_;
    for (size_t i = 0; i < count && n; ++i) {
        if (!n->isDirectory())
            return nullptr;
        NameMap& m = namesOf(n);
        auto it = m.find(parts[i]);
        n = it == m.end() ? nullptr : it->second;
    }
    return n;
}

// The folder a member goes into, made with the folders missing on the way.
Node* Importer::folderFor(const std::vector<std::string>& parts, const std::string& member) {
    Node* dir = base_;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        NameMap& m = namesOf(dir);
        auto it = m.find(parts[i]);
        if (it != m.end()) {
            if (!it->second->isDirectory()) {
                refuse(member,
                       msg("%1 is not a folder in the archive",
                           joined({parts.begin(), parts.begin() + static_cast<ptrdiff_t>(i + 1)})));
                return nullptr;
            }
            dir = it->second;
            continue;
        }
        TImgEntry e;
        e.name = parts[i];
        e.objType = kTypeDirectory;
        e.mode = kModeDirectory | 0755;
        e.atime = e.ctime = e.mtime = now_;
        e.linkInfo = 1;
        add(dir, std::move(e));
        dir = m.at(parts[i]);
    }
    return dir;
}

void Importer::add(Node* dir, TImgEntry entry) {
    entry.objId = img_.newobjid();
    auto node = std::make_unique<Node>();
    node->text = entry.name;
    node->icon = iconFor(entry, node->text);
    node->entry = std::move(entry);
    Node* n = dir->addChild(std::move(node));
    img_.setNode(n->entry.objId, n);
    namesOf(dir)[n->text] = n;
    ++result.added;
}

std::optional<TImgEntry> Importer::attributes(archive_entry* e, const std::string& member,
                                              const std::optional<PaxRecords>& pax) {
    TImgEntry t;
    const la_int64_t uid = archive_entry_uid(e), gid = archive_entry_gid(e);
    if (uid < 0 || uid > la_int64_t{kMaxId} || gid < 0 || gid > la_int64_t{kMaxId}) {
        refuse(member, msg("owner %1:%2 cannot be kept (0 to 4294967294)", uid, gid));
        return std::nullopt;
    }
    t.uid = static_cast<uint32_t>(uid);
    t.gid = static_cast<uint32_t>(gid);
    t.mode = archive_entry_perm(e) & kModePermissionMask;
    t.mtime = archive_entry_mtime(e);
    t.mtimeNs = static_cast<uint32_t>(archive_entry_mtime_nsec(e));
    t.atime = t.mtime;
    t.atimeNs = t.mtimeNs;
    t.ctime = t.mtime;
    t.ctimeNs = t.mtimeNs;
    if (archive_entry_atime_is_set(e)) {
        t.atime = archive_entry_atime(e);
        t.atimeNs = static_cast<uint32_t>(archive_entry_atime_nsec(e));
    }
    if (archive_entry_ctime_is_set(e)) {
        t.ctime = archive_entry_ctime(e);
        t.ctimeNs = static_cast<uint32_t>(archive_entry_ctime_nsec(e));
    }
    if (pax) {
        // As the archive has them: libarchive gives a time before 1970 with
        // a fraction the wrong sign.
        takePaxTime(*pax, "mtime", t.mtime, t.mtimeNs);
        takePaxTime(*pax, "atime", t.atime, t.atimeNs);
        takePaxTime(*pax, "ctime", t.ctime, t.ctimeNs);
    } else if ((archive_format(a_) & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_TAR) {
        // Not read again: libarchive's seconds and fraction have one sign,
        // -1 and 0.25 standing for -1.25 s (only -0.x s cannot be told from
        // +0.x s).
        for (auto [sec, nsec] : {std::pair{&t.mtime, &t.mtimeNs}, std::pair{&t.atime, &t.atimeNs},
                                 std::pair{&t.ctime, &t.ctimeNs}})
            if (*sec < 0 && *nsec > 0) {
                *sec -= 1;
                *nsec = 1000000000 - *nsec;
            }
    }
    // pax archives may carry an attribute twice (libarchive's and the SCHILY
    // record): the last one counts.
    archive_entry_xattr_reset(e);
    const char* name;
    const void* value;
    size_t size;
    while (archive_entry_xattr_next(e, &name, &value, &size) == ARCHIVE_OK) {
        if (!name || !validXattrName(name)) {
            // macOS names ("com.apple.quarantine") have no namespace an image
            // holds: they are left out, as tar leaves them out on Linux.
            result.warnings.push_back(
                msg("%1: the extended attribute %2 is left out (no user., trusted., security. "
                    "or system. name)",
                    member, name ? name : ""));
            continue;
        }
        std::string v(static_cast<const char*>(value), size);
        auto it = std::find_if(t.xattrs.begin(), t.xattrs.end(),
                               [&](const Xattr& x) { return x.name == name; });
        if (it != t.xattrs.end())
            it->value = std::move(v);
        else
            t.xattrs.push_back({name, std::move(v)});
    }
    return t;
}

std::pair<int64_t, uint64_t> Importer::readData(archive_entry* e, const std::string& member) {
    const bool sized = archive_entry_size_is_set(e) != 0;
    const uint64_t declared =
        sized ? static_cast<uint64_t>(std::max<la_int64_t>(archive_entry_size(e), 0)) : 0;
    WorkFile& wf = img_.workfile();
    const int64_t start = wf.appendStart();
    // Places in the working file are signed 64-bit offsets: a sparse member
    // may claim more with a few bytes of data, and its end would not be one.
    const auto room = static_cast<uint64_t>(std::numeric_limits<int64_t>::max() - start);
    auto tooLarge = [&](uint64_t bytes) {
        return Error(msg("%1: the member claims %2 bytes, more than the working file can hold",
                         member, bytes));
    };
    if (declared > room)
        throw tooLarge(declared);
    uint64_t end = 0;
    for (;;) {
        const void* buf = nullptr;
        size_t len = 0;
        la_int64_t offset = 0;
        const int r = archive_read_data_block(a_, &buf, &len, &offset);
        if (r == ARCHIVE_EOF)
            break;
        if (r < ARCHIVE_WARN)
            fail(member);
        if (len == 0)
            continue;
        const auto at = static_cast<uint64_t>(offset);
        if (offset < 0 || (sized && at + len > declared))
            throw Error(msg("%1: the archive holds more data than the member's size", member));
        if (at + len > room)
            throw tooLarge(at + len);
        wf.writeAt(start + static_cast<int64_t>(at),
                   ByteSpan(static_cast<const std::byte*>(buf), len));
        end = std::max<uint64_t>(end, at + len);
    }
    const uint64_t size = sized ? declared : end;
    if (size == 0)
        return {-1, 0};
    wf.appendEnd(start, size);
    return {start, size};
}

void Importer::takeLink(archive_entry* e, const MemberPath& at, const std::string& member,
                        const char* target) {
    const MemberPath to = splitMember(target);
    if (!to.refusal.empty())
        return refuse(member, msg("hard link to %1: %2", target, to.refusal));
    Node* t = to.parts.empty() ? nullptr : find(to.parts, to.parts.size());
    const Node* file = t ? hardlinkTarget(img_, t) : nullptr;
    if (!file)
        return refuse(member,
                      msg("hard link to %1, which is not in the archive before it", target));
    if (file->isDirectory())
        return refuse(member, msg("hard link to the folder %1", target));
    // cpio keeps a file's contents with its last name: they are the file's.
    if (archive_entry_size_is_set(e) && archive_entry_size(e) > 0 &&
        file->entry.objType == kTypeFile) {
        auto [pos, size] = readData(e, member);
        TImgEntry& fe = const_cast<Node*>(file)->entry;
        fe.dataPos = pos;
        fe.size = size;
    }
    if (at.parts.empty())
        return refuse(member, msg("the top folder cannot be a hard link"));
    Node* dir = folderFor(at.parts, member);
    if (!dir)
        return;
    NameMap& names = namesOf(dir);
    auto clash = names.find(at.parts.back());
    if (clash != names.end()) {
        if (clash->second == file)
            return; // a name listed again as a link to itself
        if (clash->second->isDirectory())
            return refuse(member, msg("a folder and a file of the same name in the archive"));
        deletenodes(img_, {clash->second->entry.objId});
        names.erase(clash);
    }
    add(dir, hardlinkEntryTo(file->entry, at.parts.back()));
}

void Importer::take(archive_entry* e, const std::optional<PaxRecords>& pax) {
    const char* raw = archive_entry_pathname(e);
    const std::string member = raw ? raw : "";
    rep_.progressWith(bytesRead ? bytesRead() : archive_filter_bytes(a_, -1),
                      static_cast<int64_t>(total_), 2, [&] { return verbatim(member); });
    const MemberPath at = splitMember(member);
    if (!at.refusal.empty())
        return refuse(member, at.refusal);
    if (const char* target = archive_entry_hardlink(e))
        return takeLink(e, at, member, target);

    std::optional<TImgEntry> attrs = attributes(e, member, pax);
    if (!attrs)
        return;
    TImgEntry t = std::move(*attrs);
    const auto type = static_cast<uint32_t>(archive_entry_filetype(e));
    switch (type) {
    case AE_IFDIR:
        t.objType = kTypeDirectory;
        t.linkInfo = 1;
        break;
    case AE_IFREG:
        t.objType = kTypeFile;
        break;
    case AE_IFLNK: {
        const char* target = archive_entry_symlink(e);
        if (!target || !*target)
            return refuse(member, msg("a symbolic link without a target"));
        t.objType = kTypeSymlink;
        t.alias = target;
        t.size = t.alias.size();
        break;
    }
    case AE_IFCHR:
    case AE_IFBLK:
        t.rdev = {static_cast<uint32_t>(archive_entry_rdevmajor(e)),
                  static_cast<uint32_t>(archive_entry_rdevminor(e))};
        if (!fitsNewDev(t.rdev))
            return refuse(member, msg("device number %1:%2 is too large (at most 4095:1048575)",
                                      t.rdev.major, t.rdev.minor));
        [[fallthrough]];
    case AE_IFIFO:
    case AE_IFSOCK:
        t.objType = objTypeForMode(type);
        break;
    default:
        return refuse(member, msg("a member of a kind no image holds"));
    }
    t.mode |= type;

    // "." (or "./"): the folder the archive goes into.
    if (at.parts.empty()) {
        if (t.objType != kTypeDirectory)
            return refuse(member, msg("the top folder is not a folder in the archive"));
        t.name = base_->entry.name;
        t.objId = base_->entry.objId;
        base_->entry = std::move(t);
        return;
    }
    Node* dir = folderFor(at.parts, member);
    if (!dir)
        return;
    NameMap& names = namesOf(dir);
    auto clash = names.find(at.parts.back());
    if (clash != names.end()) {
        Node* old = clash->second;
        if (old->isDirectory() != (t.objType == kTypeDirectory))
            return refuse(member, msg("a folder and a file of the same name in the archive"));
        if (old->isDirectory()) { // a folder listed again: its attributes
            t.name = old->entry.name;
            t.objId = old->entry.objId;
            old->entry = std::move(t);
            return;
        }
        deletenodes(img_, {old->entry.objId});
        names.erase(clash);
    }
    if (t.objType == kTypeFile) {
        auto [pos, size] = readData(e, member);
        t.dataPos = pos;
        t.size = size;
    }
    t.name = at.parts.back();
    add(dir, std::move(t));
}

// The body of both tarin: open(a) opens a handle on the input; reopenable:
// it may be called twice (a file, bytes in memory; not standard input).
TarImportResult importArchive(Timg& img, const std::string& source, uint32_t dirId, uint64_t total,
                              const std::function<int(archive*)>& open, bool reopenable) {
    JobReporter rep(img.onwk, kFlagAddFiles);
    rep.send(0, 0, 1, verbatim(source));
    Node* base = nullptr;
    bool changed = false;
    auto finish = [&] {
        if (changed && base) {
            sortTree(base);
            img.modified = true;
        }
        rep.send(0, 0, 3, kDone);
    };
    try {
        base = img.nodeFor(dirId);
        if (!base || !base->isDirectory())
            throw Error(msg("the target folder (object %1) is not in the tree", dirId));
        Utf8Names names;
        ReadHandle a(archive_read_new());
        if (!a)
            throw std::bad_alloc();
        archive_read_support_format_all(a.get());
        archive_read_support_filter_all(a.get());
        // A tar archive is read through Decompressed, to read its pax records
        // again; other formats (some need to seek) straight from the input,
        // unless it can be opened only once.
        std::unique_ptr<Decompressed> input = std::make_unique<Decompressed>(open, source);
        if (input->startsTar() || !reopenable) {
            if (archive_read_open2(a.get(), input.get(), nullptr, &Decompressed::read, nullptr,
                                   nullptr) != ARCHIVE_OK)
                throw Error(msg("cannot read the archive %1: %2", source, archiveError(a.get())));
        } else {
            input.reset();
            if (open(a.get()) != ARCHIVE_OK)
                throw Error(msg("cannot read the archive %1: %2", source, archiveError(a.get())));
        }
        Importer imp(img, base, a.get(), rep, total);
        if (input)
            imp.bytesRead = [&input] { return input->inputBytes(); };
        for (;;) {
            if (img.cancel.load() != 0) {
                imp.result.cancelled = true;
                break;
            }
            archive_entry* e = nullptr;
            const int r = archive_read_next_header(a.get(), &e);
            if (r == ARCHIVE_EOF)
                break;
            if (r == ARCHIVE_RETRY)
                continue;
            const char* why = archive_error_string(a.get());
            const char* name = e ? archive_entry_pathname(e) : nullptr;
            if (r == ARCHIVE_FATAL)
                throw Error(msg("cannot read the archive %1: %2", source, archiveError(a.get())));
            if (r == ARCHIVE_FAILED) {
                imp.result.refused.push_back(
                    msg("%1: %2", name ? name : "?", why ? verbatim(why) : msg("cannot be read")));
                continue;
            }
            if (r == ARCHIVE_WARN && why)
                imp.result.warnings.push_back(msg("%1: %2", name ? name : "?", why));
            changed = true; // a member may change attributes without adding anything
            const bool pax =
                (archive_format(a.get()) & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_TAR;
            imp.take(e, input && pax ? input->paxRecordsAt(static_cast<uint64_t>(
                                           archive_read_header_position(a.get())))
                                     : std::nullopt);
        }
        TarImportResult result = std::move(imp.result);
        finish();
        return result;
    } catch (...) {
        finish();
        throw;
    }
}

} // namespace

TarImportResult tarin(Timg& img, const std::string& source, uint32_t dirId) {
    const bool stdinput = source == "-";
    uint64_t total = 0;
    struct stat st {};
    if (!stdinput && ::stat(source.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        total = static_cast<uint64_t>(st.st_size);
    return importArchive(
        img, source, dirId, total,
        [&](archive* a) {
            return stdinput ? archive_read_open_fd(a, 0, 1 << 16)
                            : archive_read_open_filename(a, source.c_str(), 1 << 16);
        },
        !stdinput);
}

TarImportResult tarin(Timg& img, ByteSpan bytes, const std::string& label, uint32_t dirId) {
    return importArchive(
        img, label, dirId, bytes.size(),
        [&](archive* a) { return archive_read_open_memory(a, bytes.data(), bytes.size()); }, true);
}

} // namespace korvane
