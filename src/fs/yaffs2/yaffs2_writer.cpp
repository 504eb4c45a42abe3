#include "yaffs2_writer.h"

#include "header.h"
#include "model/error.h"
#include "model/output_file.h"
#include "model/texts.h"
#include "model/tree.h"
#include "tags.h"
#include "tyaffs2obj.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <unordered_map>
#include <unordered_set>

namespace korvane {

using namespace yaffs2;

namespace {

constexpr std::byte kFill{0x01};
constexpr uint32_t kMaxWriterId = 0xFFFF; // ids the reader of such images keeps
constexpr size_t kNameMax = hdr::kNameSize - 1;
constexpr size_t kAliasMax = hdr::kAliasSize - 1;
constexpr size_t kFlushChunks = 512;

std::string where(const Node* n) {
    return escapedName("/" + pathFromRoot(n));
}

bool writable(uint8_t objType) {
    return objType >= kTypeFile && objType <= kTypeOther;
}

uint32_t headerType(uint8_t objType) {
    return objType >= kTypeSpecial ? uint32_t{kHdrSpecial} : uint32_t{objType};
}

// The file-type bits a header's mode must carry (a mode without them shows the
// kernel an inode of no known type); a hard link whose mode names none takes
// its target's.
uint32_t typeBits(const TImgEntry& e, const TImgEntry* linkTarget) {
    if (e.objType == kTypeHardlink && !(e.mode & kModeTypeMask) && linkTarget)
        return fileTypeBits(*linkTarget);
    return fileTypeBits(e);
}

uint64_t dataChunks(uint64_t size, uint32_t chunkData) {
    return (size + chunkData - 1) / chunkData;
}

// The plan of one save: nodes in pre-order with their object ids.
struct Plan {
    std::vector<Node*> nodes; // pre-order, root first
    std::unordered_map<const Node*, uint32_t> ids;
    uint64_t bytes = 0;
};

Plan makePlan(Timg& img) {
    Plan p;
    p.nodes = preorder(img.root());
    p.ids.reserve(p.nodes.size());
    for (size_t i = 0; i < p.nodes.size(); ++i)
        p.ids.emplace(p.nodes[i], i == 0 ? kObjIdRoot : static_cast<uint32_t>(i + 257));
    return p;
}

// Collects the chunks of the image and hands them to the file in batches.
class ChunkWriter {
public:
    ChunkWriter(OutputFile& out, const Layout& layout)
        : out_(out), lay_(layout), recordSize_(layout.recordSize()) {
        buffer_.reserve(kFlushChunks * recordSize_);
    }

    // A header chunk: filled with the fill byte, the header (and the
    // extended attributes after it) laid in.
    void header(const ObjectHeader& h, uint32_t id) {
        std::byte* c = next(kFill);
        encodeHeader(h, c, kFill, lay_.chunkDataSize(), lay_.headerOrder());
        finish(c, {kSeqLowest, id, 0, 0xFFFF});
    }

    // A data chunk: the bytes, zeros after them.
    void data(uint32_t id, uint32_t chunkId, const std::byte* bytes, size_t n) {
        std::byte* c = next(std::byte{0});
        std::memcpy(c, bytes, n);
        finish(c, {kSeqLowest, id, chunkId, static_cast<uint32_t>(n)});
    }

    void flush() {
        out_.append(buffer_);
        buffer_.clear();
    }

private:
    std::byte* next(std::byte fill) {
        if (buffer_.size() >= kFlushChunks * recordSize_)
            flush();
        buffer_.resize(buffer_.size() + recordSize_, fill);
        return buffer_.data() + buffer_.size() - recordSize_;
    }

    void finish(std::byte* c, const PackedTags& t) {
        std::byte* spare = c + lay_.pageSize;
        if (lay_.hasBadBlockMarker())
            std::memset(spare, 0xFF, std::min<uint32_t>(2, lay_.spareSize));
        std::byte* tags = c + lay_.tagsAt();
        storeTags(tags, t, lay_.order);
        if (lay_.tagEcc && !lay_.inbandTags)
            storeTagEcc(tags + kTagsSize, computeTagEcc(tags), lay_.order);
        if (lay_.dataEcc != kEccNone)
            storeDataEcc(c, lay_.pageSize, lay_.dataEcc, spare + lay_.dataEccOffset);
    }

    OutputFile& out_;
    const Layout& lay_;
    const size_t recordSize_;
    Bytes buffer_;
};

bool isDevice(const TImgEntry& e) {
    const uint32_t t = fileTypeBits(e);
    return e.objType >= kTypeSpecial && (t == kModeCharDevice || t == kModeBlockDevice);
}

// YAFFS2 keeps unsigned 32-bit seconds.
constexpr int64_t kMaxHeaderTime = 0xFFFFFFFFll;

uint32_t headerTime(int64_t t) {
    return static_cast<uint32_t>(std::clamp<int64_t>(t, 0, kMaxHeaderTime));
}

bool timesFit(const TImgEntry& e) {
    for (int64_t t : {e.atime, e.mtime, e.ctime})
        if (t < 0 || t > kMaxHeaderTime)
            return false;
    return true;
}

Message timesMoved(const Node* n) {
    return msg("YAFFS2 keeps times from 1970 to 2106 only: the times of %1 were moved into that "
               "range",
               where(n));
}

bool validXattrName(const std::string& name) {
    return !name.empty() && name.find('\0') == std::string::npos;
}

ObjectHeader headerFor(const TImgEntry& e, uint32_t parent, const TImgEntry* linkTarget) {
    ObjectHeader h;
    h.type = headerType(e.objType);
    h.parent = parent;
    h.name = e.name;
    h.mode = typeBits(e, linkTarget) | (e.mode & kModePermissionMask);
    h.uid = e.uid;
    h.gid = e.gid;
    h.atime = headerTime(e.atime);
    h.mtime = headerTime(e.mtime);
    h.ctime = headerTime(e.ctime);
    h.fileSize = static_cast<uint32_t>(e.size);
    h.alias = e.alias;
    if (h.type == kHdrSpecial && isDevice(e))
        h.rdev = encodeOldDev(e.rdev);
    if (h.type != kHdrHardlink) // a hard link's attributes are its target's
        h.xattrs = e.xattrs;
    return h;
}

} // namespace

void updateFromScan(SaveParams& params, const Timg& img) {
    if (auto* y = dynamic_cast<const Tyaffs2obj*>(&img)) {
        params.layout = y->layout();
        params.layout.pagesPerBlock = 0;
    }
}

void pickPlainYaffs2(SaveParams& params) {
    params.layout = plainLayout(params.layout, false, kEccYaffs);
}

void checkYaffs2(Timg& img, const Layout& layout, std::vector<Message>* warnings) {
    if (auto problem = layoutProblem(layout))
        throw Error(*problem);
    const uint32_t chunkData = layout.chunkDataSize();
    const uint32_t xattrRoom = xattrSpace(chunkData);
    Plan plan = makePlan(img);
    if (plan.nodes.size() - 1 + 257 > kMaxWriterId)
        throw Error(msg("too many objects: a YAFFS2 image holds at most %1 files and folders, "
                        "this tree has %2",
                        kMaxWriterId - 257, plan.nodes.size() - 1));
    uint64_t bytes = layout.recordSize();
    if (warnings && !timesFit(img.root()->entry))
        warnings->push_back(timesMoved(img.root()));
    for (size_t i = 1; i < plan.nodes.size(); ++i) {
        const Node* n = plan.nodes[i];
        const TImgEntry& e = n->entry;
        if (!writable(e.objType))
            throw Error(msg("%1: an object of a type %2 does not know, which it cannot hold",
                            where(n), "YAFFS2"));
        if (e.name.size() > kNameMax)
            throw Error(msg("name too long (over 255 bytes) for YAFFS2: %1", where(n)));
        if (!safeFileName(e.name))
            throw Error(msg("%1: the name is empty, \".\" or \"..\", or holds \"/\" or a NUL "
                            "byte, which %2 cannot hold",
                            where(n), "YAFFS2"));
        if (e.objType == kTypeFile && e.size > 0xFFFFFFFFull)
            throw Error(
                msg("file too large: YAFFS2 cannot hold files of 4 GB or more: %1", where(n)));
        if (e.objType == kTypeSymlink && e.alias.size() > kAliasMax)
            throw Error(msg("link target too long (over 159 bytes) for YAFFS2: %1", where(n)));
        if (e.objType == kTypeHardlink) {
            const Node* t = img.nodeFor(e.linkInfo);
            if (!t || !plan.ids.count(t))
                throw Error(
                    msg("the target of the hard link was deleted; cannot save %1", where(n)));
        }
        if (e.objType != kTypeHardlink) {
            for (const Xattr& x : e.xattrs)
                if (!validXattrName(x.name))
                    throw Error(msg("%1 has an extended attribute without a valid name", where(n)));
            if (const uint64_t need = xattrBytes(e.xattrs); need > xattrRoom)
                throw Error(msg("the extended attributes of %1 take %2 bytes; a header chunk of "
                                "this layout holds %3",
                                where(n), need, xattrRoom));
        }
        if (isDevice(e) && !fitsOldDev(e.rdev))
            throw Error(msg("YAFFS2 keeps device numbers of at most 255:255; %1 has %2:%3",
                            where(n), e.rdev.major, e.rdev.minor));
        if (warnings && !timesFit(e))
            warnings->push_back(timesMoved(n));
        bytes += layout.recordSize() *
                 (1 + (e.objType == kTypeFile ? dataChunks(e.size, chunkData) : 0));
    }
    if (bytes > 0xFFFFFFFFull)
        throw Error(msg("image too large: a YAFFS2 image must stay under 4 GB (this one needs "
                        "%1 MB)",
                        bytes >> 20));
}

bool writeYaffs2(Timg& img, const std::string& path, const SaveParams& params, JobReporter& rep,
                 std::vector<Message>* warnings) {
    const Layout& lay = params.layout;
    rep.send(0, 0, 2, msg("Working out the space"));
    checkYaffs2(img, lay, warnings);
    Plan plan = makePlan(img);

    rep.send(0, 0, 3, msg("Creating the file"));
    std::unique_ptr<OutputFile> out;
    try {
        out = std::make_unique<OutputFile>(path);
    } catch (const Error& e) {
        throw Error(
            msg("cannot create the image file; another program may be using it.\n%1", e.message()));
    }
    ChunkWriter w(*out, lay);

    rep.send(0, 0, 4, msg("Writing the image header"));
    ObjectHeader root = headerFor(img.root()->entry, kObjIdRoot, nullptr);
    root.type = kHdrDirectory;
    root.mode = kModeDirectory | (img.root()->entry.mode & kModePermissionMask);
    root.name.clear();
    w.header(root, kObjIdRoot);

    const size_t chunkData = lay.chunkDataSize();
    Bytes contents(kStreamBuffer / chunkData * chunkData);
    auto writeObject = [&](const Node* n) {
        const TImgEntry& e = n->entry;
        const uint32_t id = plan.ids.at(n);
        const uint32_t parent = plan.ids.at(n->parent);
        ObjectHeader h;
        if (e.objType == kTypeHardlink) {
            const Node* t = img.nodeFor(e.linkInfo);
            h = headerFor(e, parent, &t->entry);
            h.equivId = plan.ids.at(t);
        } else {
            h = headerFor(e, parent, nullptr);
        }
        w.header(h, id);
        if (e.objType != kTypeFile)
            return;
        // Every chunk is written, holes too: readers of such images expect
        // them. Contents that cannot be found read as zeros.
        for (uint64_t off = 0; off < e.size; off += contents.size()) {
            size_t piece = static_cast<size_t>(std::min<uint64_t>(contents.size(), e.size - off));
            size_t got = img.ReadRange(e, off, MutableByteSpan(contents.data(), piece));
            std::memset(contents.data() + got, 0, piece - got);
            for (size_t k = 0; k < piece; k += chunkData)
                w.data(id, static_cast<uint32_t>((off + k) / chunkData + 1), contents.data() + k,
                       std::min(chunkData, piece - k));
        }
    };

    // A hard link met before its target waits until the target is written:
    // readers resolve the equivalent id when they meet the link.
    std::unordered_map<const Node*, std::vector<const Node*>> waiting;
    std::unordered_set<const Node*> written;
    std::function<void(const Node*)> writeWithLinks = [&](const Node* n) {
        writeObject(n);
        written.insert(n);
        auto it = waiting.find(n);
        if (it == waiting.end())
            return;
        std::vector<const Node*> links = std::move(it->second);
        waiting.erase(it);
        for (const Node* link : links)
            writeWithLinks(link);
    };

    const int64_t total = static_cast<int64_t>(plan.nodes.size()) - 1;
    for (size_t r = 1; r < plan.nodes.size(); ++r) {
        const Node* n = plan.nodes[r];
        rep.progressWith(static_cast<int64_t>(r), total, 5, [n] { return verbatim(n->text); });
        if (!writable(n->entry.objType))
            continue;
        if (n->entry.objType == kTypeHardlink) {
            const Node* t = img.nodeFor(n->entry.linkInfo);
            if (!written.count(t)) {
                waiting[t].push_back(n);
                continue;
            }
        }
        writeWithLinks(n);
        if (img.cancel.load())
            return false;
    }
    // Links whose target is never written as an object of its own.
    for (const Node* n : plan.nodes)
        if (n->entry.objType == kTypeHardlink && !written.count(n))
            writeWithLinks(n);
    w.flush();
    out->commit();
    return true;
}

} // namespace korvane
