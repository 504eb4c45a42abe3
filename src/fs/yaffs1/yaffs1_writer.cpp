#include "yaffs1_writer.h"

#include "fs/yaffs2/header.h"
#include "model/error.h"
#include "model/output_file.h"
#include "model/tree.h"
#include "tags1.h"
#include "yaffs1_format.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace korvane {

using namespace yaffs1;

namespace {

constexpr size_t kNameMax = yaffs2::hdr::kNameSize - 1;
constexpr size_t kAliasMax = yaffs2::hdr::kAliasSize - 1;
constexpr uint64_t kMaxFileSize = uint64_t{kMaxChunkId} * kPageSize;
constexpr size_t kFlushPages = 2048;
// Header pages carry no byte count; mkyaffsimage writes all ones.
constexpr uint32_t kHeaderBytes = 0x3FF;

std::string where(const Node* n) {
    return "/" + pathFromRoot(n);
}

bool writable(uint8_t objType) {
    return objType >= kTypeFile && objType <= kTypeOther;
}

bool timesFit(const TImgEntry& e) {
    for (int64_t t : {e.atime, e.mtime, e.ctime})
        if (t < 0 || t > 0xFFFFFFFFll)
            return false;
    return true;
}

bool isDevice(const TImgEntry& e) {
    const uint32_t t = fileTypeBits(e);
    return e.objType >= kTypeSpecial && (t == kModeCharDevice || t == kModeBlockDevice);
}

// Buffers pages and their spares and hands them to the file in batches.
class PageWriter {
public:
    explicit PageWriter(OutputFile& out) : out_(out) {}

    void header(const yaffs2::ObjectHeader& h, uint32_t id) {
        std::byte* p = next();
        yaffs2::encodeHeader(h, p, std::byte{0xFF}, kPageSize);
        writeSpare(p + kPageSize, {0, 0, kHeaderBytes, id}, p);
    }
    void data(uint32_t id, uint32_t chunkId, const std::byte* bytes, size_t n) {
        std::byte* p = next();
        std::memset(p, 0, kPageSize);
        std::memcpy(p, bytes, n);
        writeSpare(p + kPageSize, {chunkId, 0, static_cast<uint32_t>(n), id}, p);
    }
    void flush() {
        out_.append(buffer_);
        buffer_.clear();
    }

private:
    std::byte* next() {
        if (buffer_.size() >= kFlushPages * kRecordSize)
            flush();
        buffer_.resize(buffer_.size() + kRecordSize);
        return buffer_.data() + buffer_.size() - kRecordSize;
    }

    OutputFile& out_;
    Bytes buffer_;
};

} // namespace

void checkYaffs1(Timg& img, std::vector<Message>* warnings) {
    const std::vector<Node*> nodes = preorder(img.root());
    if (nodes.size() - 1 > kMaxObjectId - kFirstOrdinaryId + 1)
        throw Error(msg("too many objects: a YAFFS1 image holds at most %1 files and folders, "
                        "this tree has %2",
                        kMaxObjectId - kFirstOrdinaryId + 1, nodes.size() - 1));
    for (const Node* n : nodes) {
        const TImgEntry& e = n->entry;
        if (n != img.root() && !writable(e.objType))
            continue;
        if (!e.xattrs.empty() && e.objType != kTypeHardlink)
            throw Error(msg("YAFFS1 keeps no extended attributes; %1 has %2", where(n),
                            e.xattrs.front().name));
        if (n == img.root())
            continue;
        if (e.name.size() > kNameMax)
            throw Error(msg("name too long (over 255 bytes) for YAFFS1: %1", where(n)));
        if (e.objType == kTypeFile && e.size > kMaxFileSize)
            throw Error(msg("file too large: YAFFS1 holds files of at most %1 bytes: %2",
                            kMaxFileSize, where(n)));
        if (e.objType == kTypeSymlink && e.alias.size() > kAliasMax)
            throw Error(msg("link target too long (over 159 bytes) for YAFFS1: %1", where(n)));
        if (e.objType == kTypeHardlink && !img.nodeFor(e.linkInfo))
            throw Error(msg("the target of the hard link was deleted; cannot save %1", where(n)));
        if (isDevice(e) && !fitsOldDev(e.rdev))
            throw Error(msg("YAFFS1 keeps device numbers of at most 255:255; %1 has %2:%3",
                            where(n), e.rdev.major, e.rdev.minor));
        if (warnings && !timesFit(e))
            warnings->push_back(msg("YAFFS1 keeps times from 1970 to 2106 only: the times of "
                                    "%1 were moved into that range",
                                    where(n)));
    }
}

bool writeYaffs1(Timg& img, const std::string& path, JobReporter& rep,
                 std::vector<Message>* warnings) {
    rep.send(0, 0, 2, msg("Working out the space"));
    checkYaffs1(img, warnings);
    const std::vector<Node*> nodes = preorder(img.root());
    std::unordered_map<const Node*, uint32_t> ids;
    for (size_t i = 0; i < nodes.size(); ++i)
        ids.emplace(nodes[i], i == 0 ? kObjIdRoot : static_cast<uint32_t>(i) + 256);

    rep.send(0, 0, 3, msg("Creating the file"));
    std::unique_ptr<OutputFile> out;
    try {
        out = std::make_unique<OutputFile>(path);
    } catch (const Error& e) {
        throw Error(
            msg("cannot create the image file; another program may be using it.\n%1", e.message()));
    }
    PageWriter w(*out);

    rep.send(0, 0, 4, msg("Writing the image header"));
    yaffs2::ObjectHeader root = yaffs2::headerFromEntry(img.root()->entry);
    root.type = yaffs2::kHdrDirectory;
    root.mode = kModeDirectory | (img.root()->entry.mode & kModePermissionMask);
    root.parent = kObjIdRoot;
    root.xattrs.clear();
    w.header(root, kObjIdRoot);

    Bytes contents(kStreamBuffer);
    auto write = [&](const Node* n) {
        const TImgEntry& e = n->entry;
        const uint32_t id = ids.at(n);
        const Node* target = e.objType == kTypeHardlink ? img.nodeFor(e.linkInfo) : nullptr;
        yaffs2::ObjectHeader h = yaffs2::headerFromEntry(e, target ? &target->entry : nullptr);
        h.name = e.name;
        h.parent = ids.at(n->parent);
        if (target)
            h.equivId = ids.count(target) ? ids.at(target) : 0;
        w.header(h, id);
        if (e.objType != kTypeFile)
            return;
        // Every page is written, holes too: YAFFS1 takes a file's size from
        // its data pages.
        for (uint64_t off = 0; off < e.size; off += contents.size()) {
            const size_t piece =
                static_cast<size_t>(std::min<uint64_t>(contents.size(), e.size - off));
            const size_t got = img.ReadRange(e, off, MutableByteSpan(contents.data(), piece));
            std::memset(contents.data() + got, 0, piece - got);
            for (size_t k = 0; k < piece; k += kPageSize)
                w.data(id, static_cast<uint32_t>((off + k) / kPageSize + 1), contents.data() + k,
                       std::min<size_t>(kPageSize, piece - k));
        }
    };
    // Hard links after everything else, so that their targets come first.
    const int64_t total = static_cast<int64_t>(nodes.size()) - 1;
    int64_t done = 0;
    for (int pass = 0; pass < 2; ++pass)
        for (size_t i = 1; i < nodes.size(); ++i) {
            const Node* n = nodes[i];
            if (!writable(n->entry.objType) || (n->entry.objType == kTypeHardlink) != (pass == 1))
                continue;
            rep.progressWith(++done, total, 5, [n] { return verbatim(n->text); });
            write(n);
            if (img.cancel.load())
                return false;
        }
    w.flush();
    out->commit();
    return true;
}

} // namespace korvane
