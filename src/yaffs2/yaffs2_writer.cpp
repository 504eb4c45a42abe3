#include "yaffs2_writer.h"

#include "model/error.h"
#include "model/output_file.h"
#include "tyaffs2obj.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace korvane {

using namespace yaffs2;

namespace {

constexpr std::byte kFill{0x01};
constexpr uint32_t kMaxWriterId = 0xFFFF; // ids the reader of such images keeps
constexpr size_t kNameMax = hdr::kNameSize - 1;
constexpr size_t kAliasMax = hdr::kAliasSize - 1;
constexpr size_t kFlushChunks = 512;

std::string where(const Node* n) {
    return "/" + pathFromRoot(n);
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

uint64_t dataChunks(uint64_t size) {
    return (size + kDataSize - 1) / kDataSize;
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
    ChunkWriter(OutputFile& out, const SaveParams& params) : out_(out), params_(params) {
        buffer_.reserve(kFlushChunks * kChunkSize);
    }

    // A header chunk: filled with the fill byte, the header laid in.
    void header(const ObjectHeader& h, uint32_t id) {
        std::byte* c = next(kFill);
        encodeHeader(h, c, kFill);
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
        if (buffer_.size() >= kFlushChunks * kChunkSize)
            flush();
        buffer_.resize(buffer_.size() + kChunkSize, fill);
        return buffer_.data() + buffer_.size() - kChunkSize;
    }

    void finish(std::byte* c, const PackedTags& t) {
        const size_t at = params_.tagOffset;
        storeTags(c + at, t);
        if (at > kTagOffsetPlain)
            store16(c + kTagOffsetPlain, 0xFFFF);
        storeTagEcc(c + at + kTagsSize, computeTagEcc(c + at));
        if (params_.ecc != kEccNone)
            storeDataEcc(c, params_.ecc, c + params_.eccOffset);
    }

    OutputFile& out_;
    const SaveParams& params_;
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
    return h;
}

} // namespace

void updateFromScan(SaveParams& params, const Timg& img) {
    if (auto* y = dynamic_cast<const Tyaffs2obj*>(&img)) {
        params.tagOffset = y->scanInfo().tagOffset;
        params.firstSpareWord = y->scanInfo().firstSpareWord;
    }
}

void checkYaffs2(Timg& img, std::vector<Message>* warnings) {
    Plan plan = makePlan(img);
    if (plan.nodes.size() - 1 + 257 > kMaxWriterId)
        throw Error("对象太多：YAFFS2 镜像最多保存 " + std::to_string(kMaxWriterId - 257) +
                    " 个文件及目录，当前有 " + std::to_string(plan.nodes.size() - 1) + " 个");
    uint64_t bytes = kChunkSize;
    for (size_t i = 1; i < plan.nodes.size(); ++i) {
        const Node* n = plan.nodes[i];
        const TImgEntry& e = n->entry;
        if (!writable(e.objType))
            continue;
        if (e.name.size() > kNameMax)
            throw Error("名称太长（超过255字节），YAFFS2 无法保存：" + where(n));
        if (e.objType == kTypeFile && e.size > 0xFFFFFFFFull)
            throw Error("文件太大，YAFFS2 无法保存 4GB 及以上的文件：" + where(n));
        if (e.objType == kTypeSymlink && e.alias.size() > kAliasMax)
            throw Error("软链接目标太长（超过159字节），YAFFS2 无法保存：" + where(n));
        if (e.objType == kTypeHardlink) {
            const Node* t = img.nodeFor(e.linkInfo);
            if (!t || !plan.ids.count(t))
                throw Error("硬链接的目标已被删除，无法保存：" + where(n));
        }
        if (isDevice(e) && !fitsOldDev(e.rdev))
            throw Error(msg("YAFFS2 keeps device numbers of at most 255:255; %1 has %2:%3",
                            where(n), e.rdev.major, e.rdev.minor));
        if (warnings && !timesFit(e))
            warnings->push_back(msg("YAFFS2 keeps times from 1970 to 2106 only: the times of "
                                    "%1 were moved into that range",
                                    where(n)));
        bytes += kChunkSize * (1 + (e.objType == kTypeFile ? dataChunks(e.size) : 0));
    }
    if (bytes > 0xFFFFFFFFull)
        throw Error("镜像太大：YAFFS2 镜像不能达到 4GB（需要 " + std::to_string(bytes >> 20) +
                    " MB）");
}

bool writeYaffs2(Timg& img, const std::string& path, const SaveParams& params, JobReporter& rep,
                 std::vector<Message>* warnings) {
    rep.send(0, 0, 2, "正在计算空间");
    checkYaffs2(img, warnings);
    Plan plan = makePlan(img);

    rep.send(0, 0, 3, "正在创建文件");
    std::unique_ptr<OutputFile> out;
    try {
        out = std::make_unique<OutputFile>(path);
    } catch (const Error& e) {
        throw Error(std::string("无法创建IMG文件！,可能其它程序正在使用。\n") + e.what());
    }
    ChunkWriter w(*out, params);

    rep.send(0, 0, 4, "正在写入IMG文件头");
    ObjectHeader root = headerFor(img.root()->entry, kObjIdRoot, nullptr);
    root.type = kHdrDirectory;
    root.mode = kModeDirectory | (img.root()->entry.mode & kModePermissionMask);
    root.name.clear();
    w.header(root, kObjIdRoot);

    const int64_t total = static_cast<int64_t>(plan.nodes.size()) - 1;
    TImgEntry e;
    Bytes contents(kStreamBuffer);
    for (size_t r = 1; r < plan.nodes.size(); ++r) {
        const Node* n = plan.nodes[r];
        rep.progressWith(static_cast<int64_t>(r), total, 5, [n] { return n->text; });
        if (!writable(n->entry.objType))
            continue;
        const uint32_t id = plan.ids.at(n);
        const uint32_t parent = plan.ids.at(n->parent);
        e = n->entry;
        ObjectHeader h;
        if (e.objType == kTypeHardlink) {
            const Node* t = img.nodeFor(e.linkInfo);
            h = headerFor(e, parent, &t->entry);
            h.equivId = plan.ids.at(t);
        } else {
            h = headerFor(e, parent, nullptr);
        }
        w.header(h, id);
        if (e.objType == kTypeFile) {
            // Every chunk is written, holes too: readers of such images expect
            // them. Contents that cannot be found read as zeros.
            static_assert(kStreamBuffer % kDataSize == 0);
            for (uint64_t off = 0; off < e.size; off += contents.size()) {
                size_t piece =
                    static_cast<size_t>(std::min<uint64_t>(contents.size(), e.size - off));
                size_t got = img.ReadRange(e, off, MutableByteSpan(contents.data(), piece));
                std::memset(contents.data() + got, 0, piece - got);
                for (size_t k = 0; k < piece; k += kDataSize)
                    w.data(id, static_cast<uint32_t>((off + k) / kDataSize + 1),
                           contents.data() + k, std::min(kDataSize, piece - k));
            }
        }
        if (img.cancel.load())
            return false;
    }
    w.flush();
    out->commit();
    return true;
}

} // namespace korvane
