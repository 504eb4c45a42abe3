#include "cpio_writer.h"

#include "model/error.h"
#include "model/output_file.h"
#include "model/tree.h"
#include "tcpio.h"

#include <archive.h>
#include <archive_entry.h>
#include <map>

namespace korvane::cpio {

namespace {

struct WriteFree {
    void operator()(archive* a) const { archive_write_free(a); }
};
struct EntryFree {
    void operator()(archive_entry* e) const { archive_entry_free(e); }
};

// Where libarchive's output goes: the file, through the legacy LZ4 packer
// where that was asked for.
struct Sink {
    OutputFile& out;
    Packer* packer = nullptr;

    static la_ssize_t write(archive*, void* self, const void* data, size_t n) {
        auto* s = static_cast<Sink*>(self);
        const ByteSpan bytes(static_cast<const std::byte*>(data), n);
        if (s->packer)
            s->packer->add(bytes);
        else
            s->out.append(bytes);
        return static_cast<la_ssize_t>(n);
    }
};

Message archiveWhy(archive* a) {
    const char* why = archive_error_string(a);
    return why ? verbatim(why) : msg("unknown error");
}

constexpr int64_t kMaxTime = 0xFFFFFFFFll;

} // namespace

CpioParams cpioParamsOf(const Timg& img, const SaveRequest& req) {
    CpioParams p;
    if (req.likeSource)
        if (auto* c = dynamic_cast<const Tcpio*>(&img)) {
            p.compression = c->compression();
            p.topEntry = c->hasTopEntry();
            p.dotSlash = c->dotSlashNames();
            if (c->archiveFormat() == ARCHIVE_FORMAT_CPIO_POSIX ||
                c->archiveFormat() == ARCHIVE_FORMAT_CPIO_BIN_LE)
                p.format = c->archiveFormat();
        }
    if (auto name = optionText(req.options, "ramdisk-compression"))
        if (!compressionNamed(*name, p.compression))
            throw Error(
                msg("--ramdisk-compression takes gzip, lz4, lz4-legacy or none; not %1", *name));
    return p;
}

bool writeCpio(Timg& img, const std::string& path, const CpioParams& params, JobReporter& rep,
               std::vector<Message>* warnings) {
    std::vector<Node*> nodes = preorder(img.root());
    // Before a byte is written: what cpio cannot hold.
    std::map<uint32_t, uint32_t> names; // file id -> how many names it has
    size_t withXattrs = 0;
    for (Node* n : nodes) {
        const TImgEntry& e = n->entry;
        if (n != img.root() && e.objType == kTypeHardlink) {
            const Node* t = img.nodeFor(e.linkInfo);
            if (!t || t->isDirectory())
                throw Error(
                    msg("%1 is a hard link to nothing a cpio archive can hold", pathFromRoot(n)));
            names[e.linkInfo]++;
        } else if (e.objType == kTypeFile) {
            names[e.objId]++;
        }
        withXattrs += e.xattrs.empty() ? 0 : 1;
    }
    if (withXattrs && warnings)
        warnings->push_back(msg("cpio has no room for extended attributes: those of %1 objects "
                                "are left out",
                                withXattrs));

    OutputFile out(path);
    std::unique_ptr<Packer> packer;
    if (params.compression == Compression::kLz4Legacy)
        packer = lz4LegacyPacker([&out](ByteSpan b) { out.append(b); });
    Sink sink{out, packer.get()};
    std::unique_ptr<archive, WriteFree> a(archive_write_new());
    if (!a)
        throw std::bad_alloc();
    const int set =
        params.format == ARCHIVE_FORMAT_CPIO_POSIX    ? archive_write_set_format_cpio_odc(a.get())
        : params.format == ARCHIVE_FORMAT_CPIO_BIN_LE ? archive_write_set_format_cpio_bin(a.get())
                                                      : archive_write_set_format_cpio_newc(a.get());
    if (set != ARCHIVE_OK || addWriteFilter(a.get(), params.compression) != ARCHIVE_OK)
        throw Error(msg("libarchive cannot write this cpio archive: %1", archiveWhy(a.get())));
    archive_write_set_bytes_in_last_block(a.get(), 1);
    if (archive_write_open(a.get(), &sink, nullptr, Sink::write, nullptr) != ARCHIVE_OK)
        throw Error(msg("cannot write %1: %2", path, archiveWhy(a.get())));

    std::map<uint32_t, uint32_t> written; // file id -> names written so far
    Bytes buffer(kStreamBuffer);
    std::unique_ptr<archive_entry, EntryFree> ae(archive_entry_new());
    uint64_t index = 0;
    for (Node* n : nodes) {
        if (img.cancel.load() != 0)
            return false;
        ++index;
        const bool top = n == img.root();
        if (top && !params.topEntry)
            continue;
        const TImgEntry& e = n->entry;
        const bool link = e.objType == kTypeHardlink;
        const Node* fileNode = link ? img.nodeFor(e.linkInfo) : n;
        const TImgEntry& f = fileNode->entry;
        const std::string rel = top ? "." : pathFromRoot(n);
        const std::string name = top ? "." : (params.dotSlash ? "./" + rel : rel);
        rep.progressWith(static_cast<int64_t>(index), static_cast<int64_t>(nodes.size()), 5,
                         [&] { return verbatim(rel); });
        archive_entry_clear(ae.get());
        archive_entry_set_pathname(ae.get(), name.c_str());
        archive_entry_set_mode(ae.get(), fileTypeBits(f) | (f.mode & kModePermissionMask));
        archive_entry_set_uid(ae.get(), f.uid);
        archive_entry_set_gid(ae.get(), f.gid);
        int64_t mtime = f.mtime;
        if (mtime < 0 || mtime > kMaxTime) {
            mtime = std::clamp<int64_t>(mtime, 0, kMaxTime);
            if (warnings)
                warnings->push_back(
                    msg("%1: its time is moved to %2, the nearest cpio holds", rel, mtime));
        }
        archive_entry_set_mtime(ae.get(), mtime, 0);
        archive_entry_set_ino64(ae.get(), f.objId);
        const uint32_t count = names.count(f.objId) ? names[f.objId] : 1;
        archive_entry_set_nlink(ae.get(), f.objType == kTypeDirectory ? 2 : count);
        uint64_t size = 0;
        bool carries = false;
        switch (f.objType) {
        case kTypeFile: {
            // newc keeps the contents with a file's last name.
            const uint32_t seen = ++written[f.objId];
            carries = seen == count;
            size = carries ? img.contentSize(f) : 0;
            break;
        }
        case kTypeSymlink:
            archive_entry_set_symlink(ae.get(), f.alias.c_str());
            size = f.alias.size();
            break;
        case kTypeSpecial:
        case kTypeBlockDevice:
            archive_entry_set_rdevmajor(ae.get(), f.rdev.major);
            archive_entry_set_rdevminor(ae.get(), f.rdev.minor);
            break;
        default:
            break;
        }
        archive_entry_set_size(ae.get(), static_cast<la_int64_t>(size));
        if (archive_write_header(a.get(), ae.get()) < ARCHIVE_WARN)
            throw Error(msg("cannot write %1 into the archive: %2", rel, archiveWhy(a.get())));
        if (carries && size > 0) {
            uint64_t done = 0;
            const bool ok = forEachData(img, f, buffer, [&](uint64_t at, ByteSpan bytes) {
                // cpio has no holes: the zeros between pieces are written out.
                static const Bytes zeros(kStreamBuffer);
                while (done < at) {
                    const size_t z =
                        static_cast<size_t>(std::min<uint64_t>(zeros.size(), at - done));
                    archive_write_data(a.get(), zeros.data(), z);
                    done += z;
                }
                if (archive_write_data(a.get(), bytes.data(), bytes.size()) < 0)
                    return false;
                done += bytes.size();
                return img.cancel.load() == 0;
            });
            if (!ok && img.cancel.load() != 0)
                return false;
            if (!ok)
                throw Error(msg("cannot write %1 into the archive: %2", rel, archiveWhy(a.get())));
            static const Bytes zeros(kStreamBuffer);
            while (done < size) {
                const size_t z = static_cast<size_t>(std::min<uint64_t>(zeros.size(), size - done));
                archive_write_data(a.get(), zeros.data(), z);
                done += z;
            }
        }
    }
    if (archive_write_close(a.get()) != ARCHIVE_OK)
        throw Error(msg("cannot write %1: %2", path, archiveWhy(a.get())));
    if (packer)
        packer->finish();
    out.commit();
    return true;
}

} // namespace korvane::cpio
