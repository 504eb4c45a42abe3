#include "jffs2_builder.h"

#include "fs/jffs2/compr.h"
#include "fs/jffs2/node_header.h"
#include "support/testutil.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <stdexcept>
#include <vector>

namespace korvane::test {

using namespace jffs2;

void Jffs2Builder::append(ByteSpan node) {
    last_ = image_.size();
    image_.insert(image_.end(), node.begin(), node.end());
    image_.resize(padded(image_.size()), std::byte{0xFF});
}

void Jffs2Builder::cleanmarker() {
    std::byte h[hdr::kSize];
    storeHeader(h, kTypeCleanmarker, hdr::kSize, e_);
    append(ByteSpan(h, sizeof h));
}

void Jffs2Builder::dirent(uint32_t pino, uint32_t version, uint32_t ino, const std::string& name,
                          uint8_t type, uint32_t mctime) {
    Dirent d{pino, version, ino, mctime, type, name};
    Bytes node(direntSize(name.size()));
    encodeDirent(d, node.data(), e_);
    append(node);
}

void Jffs2Builder::inode(InodeNode n, ByteSpan stored) {
    n.csize = static_cast<uint32_t>(stored.size());
    Bytes node(inode::kSize + stored.size());
    encodeInodeNode(n, stored.data(), node.data(), e_);
    if (!stored.empty()) // an empty span's data may be null, which memcpy does not take
        std::memcpy(node.data() + inode::kSize, stored.data(), stored.size());
    append(node);
}

void Jffs2Builder::data(uint32_t ino, uint32_t version, uint32_t offset, ByteSpan bytes,
                        uint32_t isize, uint32_t mode, uint32_t mtime) {
    InodeNode n;
    n.ino = ino;
    n.version = version;
    n.mode = mode;
    n.isize = isize;
    n.atime = n.mtime = n.ctime = mtime;
    n.offset = offset;
    n.dsize = static_cast<uint32_t>(bytes.size());
    inode(n, bytes);
}

void Jffs2Builder::dir(uint32_t ino, uint32_t version, uint32_t mode, uint32_t mtime) {
    InodeNode n;
    n.ino = ino;
    n.version = version;
    n.mode = mode;
    n.atime = n.mtime = n.ctime = mtime;
    inode(n);
}

void Jffs2Builder::xattr(uint32_t xid, uint32_t version, uint8_t prefix, const std::string& name,
                         const std::string& value) {
    XattrDatum d{xid, version, prefix, name, value};
    Bytes node(padded(xattrNodeSize(d)));
    encodeXattrNode(d, node.data(), e_);
    append(node);
}

void Jffs2Builder::xref(uint32_t ino, uint32_t xid, uint32_t seqno) {
    Bytes node(xref::kSize);
    encodeXref({ino, xid, seqno}, node.data(), e_);
    append(node);
}

void Jffs2Builder::erased(size_t n) {
    image_.insert(image_.end(), n, std::byte{0xFF});
}

void Jffs2Builder::obsoleteLast() {
    std::byte* p = image_.data() + last_ + hdr::kType;
    e_.put16(p, static_cast<uint16_t>(e_.u16(p) & ~kAccurate));
}

void Jffs2Builder::damageLast(size_t offset) {
    image_[last_ + offset] ^= std::byte{0x10};
}

Jffs2Builder Jffs2Builder::small() {
    Jffs2Builder b;
    b.cleanmarker();
    b.dirent(1, 1, 2, "d", kDtDir);
    b.dir(2, 2);
    b.dirent(2, 1, 3, "a");
    Bytes a(3000);
    for (size_t k = 0; k < a.size(); ++k)
        a[k] = static_cast<std::byte>(k * 7);
    b.data(3, 1, 0, a, 3000);
    b.dirent(1, 2, 4, "b");
    b.data(4, 1, 0, {}, 0);
    b.dirent(1, 3, 5, "l", kDtLnk);
    const std::string target = "d/a";
    InodeNode l;
    l.ino = 5;
    l.version = 1;
    l.mode = 0120777;
    l.isize = l.dsize = static_cast<uint32_t>(target.size());
    b.inode(l, asBytes(target));
    return b;
}

namespace {

struct NodeRef {
    InodeNode n;
    size_t at;
};

struct Name {
    uint32_t version;
    uint32_t ino;
    uint8_t type;
};

std::string hexOf(const std::string& s) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

} // namespace

std::string jffs2NodeText(const Bytes& image, bool allTimes) {
    // The byte order of the first node after erased flash.
    size_t first = 0;
    while (first + 4 <= image.size() && load32(image.data() + first) == 0xFFFFFFFF)
        first += 4;
    const Endian e(first + hdr::kSize <= image.size() &&
                           headerOk(image.data() + first, Endian(ByteOrder::kBig))
                       ? ByteOrder::kBig
                       : ByteOrder::kLittle);
    std::map<uint32_t, std::vector<NodeRef>> inodes;
    std::map<std::pair<uint32_t, std::string>, Name> names;
    std::map<uint32_t, XattrDatum> datums;
    std::map<std::pair<uint32_t, uint32_t>, uint32_t> refs;
    for (size_t pos = 0; pos + hdr::kSize <= image.size();) {
        const std::byte* p = image.data() + pos;
        if (!headerOk(p, e)) {
            pos += 4;
            continue;
        }
        const NodeHeader h = loadHeader(p, e);
        if (h.totlen < hdr::kSize || h.totlen > image.size() - pos)
            throw std::runtime_error("a node runs past the image at byte " + std::to_string(pos));
        if (h.type == kTypeInode) {
            if (checkInodeNode(p, h.totlen, e) != InodeCheck::kOk)
                throw std::runtime_error("a bad inode node at byte " + std::to_string(pos));
            const InodeNode n = decodeInodeNode(p, e);
            inodes[n.ino].push_back({n, pos});
        } else if (h.type == kTypeDirent) {
            if (checkDirent(p, h.totlen, e) != DirentCheck::kOk)
                throw std::runtime_error("a bad dirent at byte " + std::to_string(pos));
            const Dirent d = decodeDirent(p, e);
            Name& slot = names[{d.pino, d.name}];
            if (d.version >= slot.version)
                slot = {d.version, d.ino, d.type};
        } else if (h.type == kTypeXattr) {
            const XattrDatum d = decodeXattrNode(p, e);
            auto it = datums.find(d.xid);
            if (it == datums.end() || d.version > it->second.version)
                datums[d.xid] = d;
        } else if (h.type == kTypeXref) {
            const Xref x = decodeXref(p, e);
            uint32_t& seq = refs[{x.ino, x.xid}];
            seq = std::max(seq, x.seqno);
        }
        pos += padded(h.totlen);
    }

    // Paths from the root, each folder's names in order.
    std::map<std::string, std::pair<uint32_t, uint8_t>> paths;
    std::vector<std::pair<std::string, uint32_t>> dirs{{"", 1}};
    std::set<uint32_t> seenDirs{1};
    while (!dirs.empty()) {
        auto [path, ino] = dirs.back();
        dirs.pop_back();
        for (auto it = names.lower_bound({ino, ""}); it != names.end() && it->first.first == ino;
             ++it) {
            if (it->second.ino == 0)
                continue;
            const std::string p = path + "/" + it->first.second;
            paths[p] = {it->second.ino, it->second.type};
            if (it->second.type == kDtDir && seenDirs.insert(it->second.ino).second)
                dirs.push_back({p, it->second.ino});
        }
    }

    std::string out;
    std::map<uint32_t, std::string> firstPath;
    for (const auto& [path, what] : paths) {
        const auto [ino, type] = what;
        out += path + " t=" + std::to_string(type);
        auto [fp, fresh] = firstPath.emplace(ino, path);
        if (!fresh) {
            out += " -> " + fp->second + "\n";
            continue;
        }
        std::vector<NodeRef>& nodes = inodes[ino];
        std::sort(nodes.begin(), nodes.end(),
                  [](const NodeRef& a, const NodeRef& b) { return a.n.version < b.n.version; });
        std::set<std::string> metas;
        for (const NodeRef& r : nodes) {
            const InodeNode& n = r.n;
            char buf[128];
            if (allTimes)
                std::snprintf(buf, sizeof buf, "%o %u:%u size=%u a=%u m=%u c=%u", n.mode, n.uid,
                              n.gid, n.isize, n.atime, n.mtime, n.ctime);
            else
                std::snprintf(buf, sizeof buf, "%o %u:%u size=%u m=%u", n.mode, n.uid, n.gid,
                              n.isize, n.mtime);
            metas.insert(buf);
        }
        for (const std::string& m : metas)
            out += " [" + m + "]";
        const uint32_t isize = nodes.empty() ? 0 : nodes.back().n.isize;
        const uint32_t fileType = nodes.empty() ? 0 : nodes.back().n.mode & kModeTypeMask;
        Bytes content(fileType == kModeFile ? std::min<uint32_t>(isize, 64u << 20) : 0);
        for (const NodeRef& r : nodes) {
            const InodeNode& n = r.n;
            Bytes d(n.dsize);
            if (decompress(n.compr, ByteSpan(image).subspan(r.at + inode::kSize, n.csize), d) !=
                Decompressed::kOk)
                throw std::runtime_error("a node that does not decompress at byte " +
                                         std::to_string(r.at));
            if (fileType == kModeFile) {
                for (size_t k = 0; k < d.size() && n.offset + k < content.size(); ++k)
                    content[n.offset + k] = d[k];
            } else if (fileType == kModeSymlink) {
                out += " link=" + toString(d);
            } else if (fileType == kModeCharDevice || fileType == kModeBlockDevice) {
                const DevNum dev = decodeDevice(d.data(), static_cast<uint32_t>(d.size()), e);
                out += " dev=" + std::to_string(dev.major) + ":" + std::to_string(dev.minor);
            }
        }
        if (fileType == kModeFile)
            out += " data=" + std::to_string(contentHash(content));
        std::vector<std::string> attrs;
        for (auto it = refs.lower_bound({ino, 0}); it != refs.end() && it->first.first == ino;
             ++it) {
            if (it->second & xref::kDeleteMarker)
                continue;
            auto d = datums.find(it->first.second);
            if (d == datums.end())
                continue;
            const std::optional<Xattr> x = xattrOf(d->second, e);
            attrs.push_back(x ? x->name + "=" + hexOf(x->value) : "?");
        }
        std::sort(attrs.begin(), attrs.end());
        for (const std::string& a : attrs)
            out += " " + a;
        out += "\n";
    }
    return out;
}

} // namespace korvane::test
