#include "yaffs2_builder.h"

#include "source/image_data.h"

#include <cstring>
#include <fstream>
#include <functional>
#include <stdexcept>

namespace korvane::test {

using namespace yaffs2;

void Yaffs2Builder::chunk(const PackedTags& tags, ByteSpan data) {
    const Layout& l = layout_;
    size_t at = image_.size();
    image_.resize(at + l.recordSize(), std::byte{0});
    std::byte* c = image_.data() + at;
    std::memcpy(c, data.data(), std::min<size_t>(data.size(), l.chunkDataSize()));
    std::byte* spare = c + l.pageSize;
    std::memset(spare, std::to_integer<int>(spareFill), l.spareSize);
    if (l.hasBadBlockMarker())
        std::memset(spare, 0xFF, std::min<uint32_t>(2, l.spareSize));
    std::byte* t = c + l.tagsAt();
    storeTags(t, tags, l.order);
    if (l.tagEcc && !l.inbandTags)
        storeTagEcc(t + kTagsSize, computeTagEcc(t), l.order);
    storeDataEcc(c, l.pageSize, l.dataEcc, spare + l.dataEccOffset);
}

void Yaffs2Builder::header(uint32_t id, const ObjectHeader& h, bool extraInfo) {
    Bytes area(layout_.chunkDataSize(), dataFill);
    encodeHeader(h, area.data(), dataFill, layout_.chunkDataSize(), layout_.headerOrder());
    PackedTags t{sequence, id, 0, 0xFFFF};
    if (extraInfo) {
        t.objectId = id | (h.type << kExtraTypeShift);
        t.chunkId = kExtraHeaderFlag | h.parent;
        t.byteCount = h.type == kHdrFile ? h.fileSize : h.type == kHdrHardlink ? h.equivId : 0;
    }
    chunk(t, area);
}

void Yaffs2Builder::data(uint32_t id, uint32_t chunkId, ByteSpan bytes) {
    chunk({sequence, id, chunkId, static_cast<uint32_t>(bytes.size())}, bytes);
}

void Yaffs2Builder::erased(size_t count) {
    image_.resize(image_.size() + count * layout_.recordSize(), std::byte{0xFF});
}

void Yaffs2Builder::zeros(size_t count) {
    image_.resize(image_.size() + count * layout_.recordSize(), std::byte{0});
}

void Yaffs2Builder::flipBit(size_t k, size_t offset, unsigned bit) {
    image_.at(k * layout_.recordSize() + offset) ^= static_cast<std::byte>(1u << bit);
}

void Yaffs2Builder::markBad(size_t k) {
    image_.at(k * layout_.recordSize() + layout_.pageSize) = std::byte{0};
}

ObjectHeader Yaffs2Builder::make(uint32_t type, uint32_t parent, const std::string& name,
                                 uint32_t mode) {
    ObjectHeader h;
    h.type = type;
    h.parent = parent;
    h.name = name;
    h.mode = mode;
    h.atime = 1000;
    h.mtime = 2000;
    h.ctime = 3000;
    return h;
}

void Yaffs2Builder::root(uint32_t mode, uint32_t mtime) {
    ObjectHeader h = make(kHdrDirectory, kObjIdRoot, "", mode);
    h.mtime = mtime;
    header(kObjIdRoot, h);
}

void Yaffs2Builder::dir(uint32_t id, uint32_t parent, const std::string& name, uint32_t mode) {
    header(id, make(kHdrDirectory, parent, name, mode));
}

void Yaffs2Builder::file(uint32_t id, uint32_t parent, const std::string& name, ByteSpan contents,
                         uint32_t mode) {
    ObjectHeader h = make(kHdrFile, parent, name, mode);
    h.fileSize = static_cast<uint32_t>(contents.size());
    header(id, h);
    const size_t step = layout_.chunkDataSize();
    for (size_t off = 0, k = 1; off < contents.size(); off += step, ++k)
        data(id, static_cast<uint32_t>(k),
             contents.subspan(off, std::min(step, contents.size() - off)));
}

void Yaffs2Builder::symlink(uint32_t id, uint32_t parent, const std::string& name,
                            const std::string& target) {
    ObjectHeader h = make(kHdrSymlink, parent, name, 0120777);
    h.alias = target;
    header(id, h);
}

void Yaffs2Builder::hardlink(uint32_t id, uint32_t parent, const std::string& name,
                             uint32_t equivId) {
    ObjectHeader h = make(kHdrHardlink, parent, name, 0100644);
    h.equivId = equivId;
    header(id, h);
}

void Yaffs2Builder::special(uint32_t id, uint32_t parent, const std::string& name, uint32_t mode,
                            uint32_t rdev) {
    ObjectHeader h = make(kHdrSpecial, parent, name, mode);
    h.rdev = rdev;
    header(id, h);
}

void Yaffs2Builder::save(const std::string& path) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image_.data()),
              static_cast<std::streamsize>(image_.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::unique_ptr<Tyaffs2obj> openYaffs2(const Bytes& bytes, WorkSink* sink) {
    auto img = std::make_unique<Tyaffs2obj>();
    img->onwk = sink;
    img->Init(ImageData::fromBytes(bytes));
    img->Open();
    return img;
}

std::unique_ptr<Tyaffs2obj> openYaffs2(const Bytes& bytes, const Layout& layout) {
    auto img = std::make_unique<Tyaffs2obj>();
    img->setLayout(layout);
    img->Init(ImageData::fromBytes(bytes));
    img->Open();
    return img;
}

Bytes pattern(size_t size, uint32_t seed) {
    Bytes out(size);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<std::byte>(x & 0xFF);
    }
    return out;
}

std::string describeTree(Timg& img) {
    std::string out;
    Bytes buf(1 << 16);
    forEachPreorder(img.root(), [&](Node* n) {
        const TImgEntry& e = n->entry;
        out += "/" + pathFromRoot(n) + " t" + std::to_string(e.objType) + " m" +
               std::to_string(e.mode) + " u" + std::to_string(e.uid) + " g" +
               std::to_string(e.gid) + " s" + std::to_string(e.size) + " a" +
               std::to_string(e.atime) + " M" + std::to_string(e.mtime) + " c" +
               std::to_string(e.ctime) + " -> " + e.alias + " d" + std::to_string(e.rdev.major) +
               ":" + std::to_string(e.rdev.minor);
        if (e.objType == kTypeHardlink) {
            const Node* t = img.nodeFor(e.linkInfo);
            out += " link " + (t ? pathFromRoot(t) : std::string("?"));
        }
        for (const Xattr& x : e.xattrs)
            out += " x" + x.name + "=" + std::to_string(std::hash<std::string>{}(x.value));
        if (e.objType == kTypeFile) {
            size_t h = 0;
            for (uint64_t off = 0; off < e.size; off += buf.size()) {
                size_t got = img.ReadRange(e, off, MutableByteSpan(buf));
                h = h * 31 + std::hash<std::string_view>{}(
                                 std::string_view(reinterpret_cast<const char*>(buf.data()), got));
            }
            out += " sum" + std::to_string(h);
        }
        out += "\n";
    });
    return out;
}

} // namespace korvane::test
