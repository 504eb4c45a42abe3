#include "tcpio.h"

#include "model/error.h"
#include "model/tree_order.h"

#include <algorithm>
#include <archive.h>
#include <archive_entry.h>
#include <cstring>
#include <map>
#include <optional>

namespace korvane {

using namespace cpio;

namespace {

// A ramdisk unpacks to this much at most: real ones hold tens of MiB, a
// hostile stream must not fill the disk.
constexpr uint64_t kMinUnpackLimit = 256ull << 20;
constexpr uint64_t kMaxUnpackLimit = 4ull << 30;
constexpr uint64_t kUnpackRatio = 64;
// Names longer than this cannot be kept by any image Korvane writes.
constexpr size_t kMaxName = 255;

struct ReadFree {
    void operator()(archive* a) const { archive_read_free(a); }
};

// libarchive walks the unpacked bytes through this; skipped contents are
// never read.
// A cpio header: its size, what it claims, and how its name and data are
// padded.
struct CpioHeader {
    uint64_t header = 0, nameSize = 0, fileSize = 0, nameAlign = 1, dataAlign = 1;
};

// The header at pos, or nullopt where none of a kind cpio has begins (or its
// numbers are not numbers).
std::optional<CpioHeader> headerAt(const ImageSource& src, uint64_t pos, bool text) {
    auto number = [](const std::byte* p, int digits, int base) -> std::optional<uint64_t> {
        uint64_t v = 0;
        for (int i = 0; i < digits; ++i) {
            const auto c = static_cast<char>(p[i]);
            const int d = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : 99;
            if (d >= base)
                return std::nullopt;
            v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        }
        return v;
    };
    std::byte h[110] = {};
    const uint64_t size = src.size();
    const size_t got =
        static_cast<size_t>(std::min<uint64_t>(sizeof h, size - std::min(pos, size)));
    src.readThrough(pos, MutableByteSpan(h, got));
    CpioHeader c;
    std::optional<uint64_t> fileSize, nameSize;
    if (std::memcmp(h, "070701", 6) == 0 || std::memcmp(h, "070702", 6) == 0) {
        c.header = 110, c.nameAlign = c.dataAlign = 4; // newc, crc
        fileSize = number(h + 54, 8, 16), nameSize = number(h + 94, 8, 16);
    } else if (std::memcmp(h, "070707", 6) == 0) {
        c.header = 76; // odc
        fileSize = number(h + 65, 11, 8), nameSize = number(h + 59, 6, 8);
    } else if (!text && (load16(h) == 070707 || load16be(h) == 070707)) {
        c.header = 26, c.nameAlign = c.dataAlign = 2; // old binary, either byte order
        const bool le = load16(h) == 070707;
        auto half = [&](size_t at) { return le ? load16(h + at) : load16be(h + at); };
        nameSize = half(20);
        fileSize = uint64_t{half(22)} << 16 | half(24);
    }
    if (!fileSize || !nameSize || got < c.header)
        return std::nullopt;
    c.fileSize = *fileSize, c.nameSize = *nameSize;
    return c;
}

uint64_t alignUp(uint64_t v, uint64_t to) {
    return (v + to - 1) / to * to;
}

// Whether the header c at pos claims more than the source holds after it.
bool claimsTooMuch(const ImageSource& src, uint64_t pos, const CpioHeader& c) {
    const uint64_t size = src.size();
    const uint64_t data = alignUp(pos + c.header + c.nameSize, c.nameAlign);
    return data > size || c.fileSize > size - data;
}

// Where the members of an archive stop fitting in its bytes: the header of
// a member whose name or contents would run past the end, or a header of no
// kind cpio has; else the end, or the end of the trailer member. The reader
// holds a name and a link's target whole in memory, so a member that claims
// gigabytes is never handed to it.
uint64_t fittingEnd(const ImageSource& src) {
    const uint64_t size = src.size();
    char name[11];
    for (uint64_t pos = 0; pos < size;) {
        const std::optional<CpioHeader> c = headerAt(src, pos, false);
        if (!c || claimsTooMuch(src, pos, *c))
            return pos;
        const uint64_t nameAt = pos + c->header;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(c->nameSize, sizeof name));
        src.readThrough(nameAt, MutableByteSpan(reinterpret_cast<std::byte*>(name), n));
        if (c->nameSize == 11 && std::memcmp(name, "TRAILER!!!", 11) == 0)
            return size;
        pos = alignUp(alignUp(nameAt + c->nameSize, c->nameAlign) + c->fileSize, c->dataAlign);
    }
    return size;
}

// The library looks for the next header anywhere after a damaged one: a text
// header (newc, crc, odc) at any place before end that claims more than is
// left ends the archive there too.
uint64_t fittingEndAnywhere(const ImageSource& src, uint64_t end) {
    constexpr size_t kChunk = 1u << 20;
    Bytes buf(kChunk);
    for (uint64_t at = 0; at < end; at += kChunk) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, src.size() - at));
        src.readThrough(at, MutableByteSpan(buf.data(), n));
        for (size_t i = 0; i < n && at + i < end; ++i) {
            if (buf[i] != std::byte{'0'})
                continue;
            const std::optional<CpioHeader> c = headerAt(src, at + i, true);
            if (c && claimsTooMuch(src, at + i, *c))
                end = std::min(end, at + i);
        }
    }
    return end;
}

struct Walker {
    const ImageSource& src;
    uint64_t end = src.size();
    uint64_t pos = 0;
    Bytes buffer = Bytes(1u << 16);

    static la_ssize_t read(archive*, void* self, const void** out) {
        auto* w = static_cast<Walker*>(self);
        const uint64_t size = w->end;
        if (w->pos >= size)
            return 0;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(w->buffer.size(), size - w->pos));
        w->src.readThrough(w->pos, MutableByteSpan(w->buffer.data(), n));
        w->pos += n;
        *out = w->buffer.data();
        return static_cast<la_ssize_t>(n);
    }
    static la_int64_t skip(archive*, void* self, la_int64_t request) {
        auto* w = static_cast<Walker*>(self);
        const uint64_t left = w->end - std::min(w->pos, w->end);
        const auto n = static_cast<uint64_t>(std::max<la_int64_t>(request, 0));
        const uint64_t step = std::min(n, left);
        w->pos += step;
        return static_cast<la_int64_t>(step);
    }
};

Message archiveWhy(archive* a) {
    const char* why = archive_error_string(a);
    return why ? verbatim(why) : msg("unknown error");
}

} // namespace

// Builds the tree from the archive's members in the order they come.
class Tcpio::Builder {
public:
    Builder(Tcpio& img) : img_(img) {}

    void take(archive* a, archive_entry* e, uint64_t dataAt);
    void finish();

private:
    Node* folderFor(const std::vector<std::string>& parts, const std::string& member);
    Node* add(Node* dir, TImgEntry entry);
    TImgEntry attributes(archive_entry* e);

    Tcpio& img_;
    std::map<std::pair<Node*, std::string>, Node*> names_;
    std::map<std::string, uint32_t> byPath_; // a member's path -> its object, for hard links
};

Node* Tcpio::Builder::add(Node* dir, TImgEntry entry) {
    entry.objId = img_.newobjid();
    auto node = std::make_unique<Node>();
    node->text = entry.name;
    node->entry = std::move(entry);
    Node* n = dir->addChild(std::move(node));
    img_.setNode(n->entry.objId, n);
    names_[{dir, n->text}] = n;
    return n;
}

Node* Tcpio::Builder::folderFor(const std::vector<std::string>& parts, const std::string& member) {
    Node* dir = img_.root();
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        auto it = names_.find({dir, parts[i]});
        if (it != names_.end()) {
            if (!it->second->isDirectory()) {
                img_.warn(msg("%1 is left out: %2 on its way is not a folder", member, parts[i]));
                return nullptr;
            }
            dir = it->second;
            continue;
        }
        img_.warn(msg("%1 comes before its folder %2, which is made", member, parts[i]));
        TImgEntry f;
        f.name = parts[i];
        f.objType = kTypeDirectory;
        f.mode = kModeDirectory | 0755;
        f.linkInfo = 1;
        dir = add(dir, std::move(f));
    }
    return dir;
}

TImgEntry Tcpio::Builder::attributes(archive_entry* e) {
    TImgEntry t;
    t.mode = static_cast<uint32_t>(archive_entry_mode(e));
    t.uid = static_cast<uint32_t>(archive_entry_uid(e));
    t.gid = static_cast<uint32_t>(archive_entry_gid(e));
    t.mtime = t.atime = t.ctime = archive_entry_mtime(e);
    t.objType = objTypeForMode(t.mode);
    if (t.objType == kTypeSpecial || t.objType == kTypeBlockDevice)
        t.rdev = {static_cast<uint32_t>(archive_entry_rdevmajor(e)),
                  static_cast<uint32_t>(archive_entry_rdevminor(e))};
    t.linkInfo = 1;
    return t;
}

void Tcpio::Builder::take(archive* a, archive_entry* e, uint64_t dataAt) {
    (void)a;
    const char* raw = archive_entry_pathname(e);
    std::string member = raw ? raw : "";
    if (member.rfind("./", 0) == 0)
        img_.dotSlash_ = true;
    std::vector<std::string> parts;
    bool bad = false;
    for (size_t i = 0; i <= member.size();) {
        size_t slash = std::min(member.find('/', i), member.size());
        std::string part = member.substr(i, slash - i);
        i = slash + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == ".." || part.size() > kMaxName)
            bad = true;
        parts.push_back(std::move(part));
    }
    if (bad) {
        img_.warn(msg("%1 is left out: its name holds \"..\" or a part over 255 bytes", member));
        return;
    }
    TImgEntry t = attributes(e);
    if (parts.empty()) { // "." gives the top folder its attributes
        img_.topEntry_ = true;
        if (t.objType == kTypeDirectory) {
            Node* root = img_.root();
            t.name = root->entry.name;
            t.objId = root->entry.objId;
            root->entry = std::move(t);
        }
        return;
    }
    Node* dir = folderFor(parts, member);
    if (!dir)
        return;
    const std::string key = member.substr(member.rfind("./", 0) == 0 ? 2 : 0);
    auto clash = names_.find({dir, parts.back()});
    if (clash != names_.end()) {
        Node* old = clash->second;
        if (old->isDirectory() && t.objType == kTypeDirectory) {
            t.name = old->entry.name;
            t.objId = old->entry.objId;
            old->entry = std::move(t);
            return;
        }
        img_.warn(msg("%1 is in the archive twice; the later one is kept", member));
        if (old->isDirectory()) // a folder keeps what is below it
            return;
        names_.erase(clash);
        img_.setNode(old->entry.objId, nullptr);
        dir->detach(old);
    }
    t.name = parts.back();
    const char* target = archive_entry_hardlink(e);
    const uint64_t size = static_cast<uint64_t>(std::max<la_int64_t>(archive_entry_size(e), 0));
    if (target) {
        std::string to = target;
        if (to.rfind("./", 0) == 0)
            to = to.substr(2);
        auto it = byPath_.find(to);
        Node* file = it == byPath_.end() ? nullptr : img_.nodeFor(it->second);
        if (!file || file->isDirectory()) {
            img_.warn(msg("%1 is left out: a hard link to %2, which is not in the archive", member,
                          target));
            return;
        }
        // newc keeps the contents with a file's last name.
        if (size > 0 && file->entry.objType == kTypeFile) {
            file->entry.size = size;
            img_.dataAt_[file->entry.objId] = dataAt;
        }
        TImgEntry link = file->entry;
        link.name = t.name;
        link.objType = kTypeHardlink;
        link.size = 0;
        link.linkInfo = file->entry.objId;
        link.xattrs.clear();
        Node* n = add(dir, std::move(link));
        file->entry.linkInfo++;
        byPath_[key] = n->entry.linkInfo;
        return;
    }
    if (t.objType == kTypeSymlink) {
        const char* to = archive_entry_symlink(e);
        t.alias = to ? to : "";
        t.size = t.alias.size();
    } else if (t.objType == kTypeFile) {
        t.size = size;
    }
    Node* n = add(dir, std::move(t));
    if (n->entry.objType == kTypeFile && size > 0)
        img_.dataAt_[n->entry.objId] = dataAt;
    byPath_[key] = n->entry.objId;
}

void Tcpio::Builder::finish() {
    sortTree(img_.root());
}

void Tcpio::Open() {
    JobReporter rep(onwk, kFlagRead);
    rep.send(0, 0, 1, msg("Reading the cpio archive"));
    const ImageSource& packed = *image();
    const Bytes head = readBytes(packed, 0, 16);
    compression_ = compressionOf(head);
    if (compression_ == Compression::kNone) {
        unpacked_ = sharedImage();
    } else {
        const uint64_t limit =
            std::clamp(packed.size() * kUnpackRatio, kMinUnpackLimit, kMaxUnpackLimit);
        std::vector<Message> problems;
        unpacked_ = unpack(packed, compression_, limit, problems, &cancel);
        for (Message& m : problems)
            warn(std::move(m));
    }
    std::unique_ptr<archive, ReadFree> a(archive_read_new());
    if (!a)
        throw std::bad_alloc();
    archive_read_support_format_cpio(a.get());
    Walker walker{*unpacked_};
    walker.end = fittingEndAnywhere(*unpacked_, fittingEnd(*unpacked_));
    if (walker.end < unpacked_->size())
        warn(msg("at byte %1 the archive holds no member it can read (one that claims more than "
                 "is left, or no cpio header); what follows is left out",
                 walker.end));
    archive_read_set_read_callback(a.get(), Walker::read);
    archive_read_set_skip_callback(a.get(), Walker::skip);
    archive_read_set_callback_data(a.get(), &walker);
    if (archive_read_open1(a.get()) != ARCHIVE_OK)
        throw Error(msg("not a cpio archive: %1", archiveWhy(a.get())));

    nodeTable.clear();
    maxObjId = 1;
    auto root = std::make_unique<Node>();
    root->text = "/";
    root->entry.objType = kTypeDirectory;
    root->entry.mode = kModeDirectory | 0755;
    root->entry.objId = 1;
    root->entry.linkInfo = 1;
    setNode(1, root.get());
    setRoot(std::move(root));

    Builder b(*this);
    const int64_t total = static_cast<int64_t>(unpacked_->size());
    for (;;) {
        if (cancel.load() != 0)
            throw Error(msg("cancelled"));
        archive_entry* e = nullptr;
        const int r = archive_read_next_header(a.get(), &e);
        if (r == ARCHIVE_EOF)
            break;
        if (r == ARCHIVE_RETRY)
            continue;
        if (r == ARCHIVE_FATAL) {
            if (members_ == 0)
                throw Error(msg("not a cpio archive: %1", archiveWhy(a.get())));
            warn(msg("the archive is damaged after %1 members (%2); the rest is left out", members_,
                     archiveWhy(a.get())));
            break;
        }
        if (r == ARCHIVE_WARN)
            warn(msg("%1: %2", archive_entry_pathname(e) ? archive_entry_pathname(e) : "?",
                     archiveWhy(a.get())));
        if (members_ == 0) {
            format_ = archive_format(a.get());
            const char* name = archive_format_name(a.get());
            form_ = name ? name : "cpio";
        }
        ++members_;
        // The format has read the header and the name: what follows is the
        // member's data.
        const uint64_t dataAt = static_cast<uint64_t>(archive_filter_bytes(a.get(), 0));
        b.take(a.get(), e, dataAt);
        rep.progressWith(static_cast<int64_t>(dataAt), total, 2, [&] {
            const char* p = archive_entry_pathname(e);
            return verbatim(p ? p : "");
        });
    }
    b.finish();
    for (const auto& [id, at] : dataAt_) {
        const Node* n = nodeFor(id);
        if (n && (at > unpacked_->size() || n->entry.size > unpacked_->size() - at))
            warn(msg("the contents of %1 run past the end of the archive; what is missing reads "
                     "as zeros",
                     n->entry.name));
    }
    rep.send(0, 0, 3, msg("Done"));
}

bool Tcpio::GetEntry(uint32_t id, TImgEntry& entry) {
    Node* n = nodeFor(id);
    if (!n)
        return false;
    entry = n->entry;
    return true;
}

uint64_t Tcpio::contentSize(const TImgEntry& e) const {
    return e.objType == kTypeFile ? e.size : 0;
}

size_t Tcpio::readImageRange(const TImgEntry& e, uint64_t offset, MutableByteSpan out) {
    const uint64_t size = contentSize(e);
    if (offset >= size)
        return 0;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(out.size(), size - offset));
    auto it = dataAt_.find(e.objId);
    if (it == dataAt_.end()) {
        std::fill(out.begin(), out.begin() + static_cast<ptrdiff_t>(n), std::byte{0});
        return n;
    }
    unpacked_->read(it->second + offset, out.first(n));
    return n;
}

std::vector<std::pair<std::string, std::string>> Tcpio::describe() const {
    std::vector<std::pair<std::string, std::string>> f;
    f.push_back({"archive", form_.empty() ? "cpio" : form_});
    f.push_back({"compression", compressionName(compression_)});
    if (compression_ != Compression::kNone)
        f.push_back({"unpacked size", std::to_string(unpacked_->size()) + " bytes"});
    f.push_back({"members", std::to_string(members_)});
    return f;
}

} // namespace korvane
