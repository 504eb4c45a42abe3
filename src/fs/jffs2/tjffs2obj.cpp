#include "tjffs2obj.h"

#include "compr.h"
#include "inode_node.h"
#include "jffs2_scan.h"
#include "model/error.h"
#include "model/tree_order.h"
#include "xattr_node.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <queue>
#include <string_view>

namespace korvane {

using namespace jffs2;

namespace {

const Message kScanning = msg("Scanning nodes");
const Message kBuilding = msg("Building the file list");
const Message kDone = msg("Done");

// How far in the first node is looked for, past erased flash.
constexpr uint64_t kOrderLookahead = 64u << 20;
constexpr uint32_t kRootIno = 1;
// The inodes and names listed one by one in a warning.
constexpr size_t kNamed = 5;

// Each image gets a number of its own, so that a thread's cache of
// decompressed data never serves another image at the same address.
std::atomic<uint64_t> nextImageNumber{1};

// The last node a thread decompressed.
struct NodeCache {
    uint64_t image = 0;
    uint32_t pos = ~0u;
    uint32_t offset = 0; // where the node's data goes in its file
    Bytes data;
    Bytes packed;
};
thread_local NodeCache tCache;

uint8_t kindOf(uint32_t mode) {
    return objTypeForMode(mode);
}

// A node's data range, for working out which node holds which bytes.
// Within the file's size, so 32 bits hold the ends.
struct Span {
    uint32_t start;
    uint32_t end;
    uint32_t rank; // the order of versions: a higher rank wins
    uint32_t pos;  // of the node; bit 0 set for a hole (nodes lie at multiples of 4)

    bool hole() const { return pos & 1u; }
    uint32_t node() const { return pos & ~1u; }
};

} // namespace

// The tree, built from what the scan kept.
struct Tjffs2obj::Build {
    Tjffs2obj& img;
    ScanResult& r;
    const Endian e;

    // An inode's nodes: r.inodes[first, last), in version order.
    struct Group {
        uint32_t ino;
        uint32_t first;
        uint32_t last;
        uint32_t objId = 0; // once it has a node in the tree
    };
    std::vector<Group> groups;
    // The directory entries that count, by (pino, name).
    std::vector<uint32_t> live;
    // Per directory: the version and time of its newest entry with a time.
    struct DirTime {
        uint32_t pino;
        uint32_t version;
        uint32_t mctime;
    };
    std::vector<DirTime> dirTimes;
    // Xattr data, newest version per xid, and what has been decoded of it.
    std::vector<XattrRef> datums;
    std::vector<std::optional<Xattr>> decoded;
    std::vector<uint8_t> tried;
    std::vector<Xref> refs; // newest per (ino, xid), removed ones dropped
    std::vector<std::pair<uint32_t, uint32_t>> objFrags{{0, 0}};

    size_t missing = 0, folderTwice = 0, badTargets = 0;
    std::string missingNames, folderNames;

    Build(Tjffs2obj& i, ScanResult& s, ByteOrder order) : img(i), r(s), e(order) {}

    std::string_view nameOf(const DirentRef& d) const {
        return std::string_view(r.names).substr(d.nameAt, d.nameLen);
    }

    void groupInodes();
    void resolveDirents();
    void resolveXattrs();
    Group* groupOf(uint32_t ino);
    InodeNode latest(const Group& g) const;
    Bytes nodeData(uint32_t pos, const InodeNode& n) const;
    TImgEntry entryOf(const Group& g);
    std::vector<Xattr> xattrsOf(uint32_t ino);
    void buildFrags(const Group& g, uint32_t isize);
    uint32_t place(const Group& g, TImgEntry entry, Node* parent, Node*& made);
    void walk(Node* root, JobReporter& rep);
    void note(size_t& count, std::string& names, const std::string& name);
};

void Tjffs2obj::Build::groupInodes() {
    std::sort(r.inodes.begin(), r.inodes.end(), [](const InodeRef& a, const InodeRef& b) {
        return a.ino != b.ino           ? a.ino < b.ino
               : a.version != b.version ? a.version < b.version
                                        : a.at < b.at;
    });
    for (uint32_t i = 0; i < r.inodes.size();) {
        uint32_t j = i;
        while (j < r.inodes.size() && r.inodes[j].ino == r.inodes[i].ino)
            ++j;
        groups.push_back({r.inodes[i].ino, i, j});
        i = j;
    }
}

Tjffs2obj::Build::Group* Tjffs2obj::Build::groupOf(uint32_t ino) {
    auto it = std::lower_bound(groups.begin(), groups.end(), ino,
                               [](const Group& g, uint32_t v) { return g.ino < v; });
    return it != groups.end() && it->ino == ino ? &*it : nullptr;
}

void Tjffs2obj::Build::resolveDirents() {
    std::vector<uint32_t> order(r.dirents.size());
    for (uint32_t k = 0; k < order.size(); ++k)
        order[k] = k;
    // By directory and name, then version; equal versions keep the order of
    // the image, so that the later entry wins as it does for the kernel.
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        const DirentRef& x = r.dirents[a];
        const DirentRef& y = r.dirents[b];
        if (x.pino != y.pino)
            return x.pino < y.pino;
        const int c = nameOf(x).compare(nameOf(y));
        return c != 0 ? c < 0 : x.version < y.version;
    });
    for (size_t k = 0; k < order.size(); ++k) {
        const DirentRef& d = r.dirents[order[k]];
        if (d.mctime != 0 && (dirTimes.empty() || dirTimes.back().pino != d.pino ||
                              d.version >= dirTimes.back().version)) {
            if (dirTimes.empty() || dirTimes.back().pino != d.pino)
                dirTimes.push_back({d.pino, d.version, d.mctime});
            else
                dirTimes.back() = {d.pino, d.version, d.mctime};
        }
        const bool lastOfName = k + 1 == order.size() || r.dirents[order[k + 1]].pino != d.pino ||
                                nameOf(r.dirents[order[k + 1]]) != nameOf(d);
        if (lastOfName && d.ino != 0)
            live.push_back(order[k]);
    }
}

void Tjffs2obj::Build::resolveXattrs() {
    std::sort(r.xattrs.begin(), r.xattrs.end(), [](const XattrRef& a, const XattrRef& b) {
        return a.xid != b.xid           ? a.xid < b.xid
               : a.version != b.version ? a.version < b.version
                                        : a.pos < b.pos;
    });
    for (size_t k = 0; k < r.xattrs.size(); ++k)
        if (k + 1 == r.xattrs.size() || r.xattrs[k + 1].xid != r.xattrs[k].xid)
            datums.push_back(r.xattrs[k]);
    decoded.resize(datums.size());
    tried.assign(datums.size(), 0);
    std::sort(r.xrefs.begin(), r.xrefs.end(), [](const Xref& a, const Xref& b) {
        return a.ino != b.ino ? a.ino < b.ino : a.xid != b.xid ? a.xid < b.xid : a.seqno < b.seqno;
    });
    for (size_t k = 0; k < r.xrefs.size(); ++k) {
        const Xref& x = r.xrefs[k];
        const bool newest =
            k + 1 == r.xrefs.size() || r.xrefs[k + 1].ino != x.ino || r.xrefs[k + 1].xid != x.xid;
        if (newest && !x.removed())
            refs.push_back(x);
    }
}

std::vector<Xattr> Tjffs2obj::Build::xattrsOf(uint32_t ino) {
    std::vector<Xattr> out;
    std::vector<uint32_t> seqnos;
    auto it = std::lower_bound(refs.begin(), refs.end(), ino,
                               [](const Xref& x, uint32_t v) { return x.ino < v; });
    for (; it != refs.end() && it->ino == ino; ++it) {
        auto d = std::lower_bound(datums.begin(), datums.end(), it->xid,
                                  [](const XattrRef& x, uint32_t v) { return x.xid < v; });
        if (d == datums.end() || d->xid != it->xid)
            continue;
        const size_t k = static_cast<size_t>(d - datums.begin());
        if (!tried[k]) {
            tried[k] = 1;
            Bytes head = readBytes(*img.image(), d->pos, xattr::kSize);
            const uint32_t len = static_cast<uint32_t>(
                xattr::kSize + std::to_integer<uint8_t>(head[xattr::kNameLen]) + 1 +
                e.u16(head.data() + xattr::kValueLen));
            Bytes whole = readBytes(*img.image(), d->pos, len);
            decoded[k] = xattrOf(decodeXattrNode(whole.data(), e), e);
        }
        if (!decoded[k])
            continue;
        // Two references of one inode to the same name: the newer counts.
        auto same = std::find_if(out.begin(), out.end(),
                                 [&](const Xattr& x) { return x.name == decoded[k]->name; });
        if (same == out.end()) {
            out.push_back(*decoded[k]);
            seqnos.push_back(it->seqno);
        } else if (it->seqno > seqnos[static_cast<size_t>(same - out.begin())]) {
            *same = *decoded[k];
        }
    }
    return out;
}

InodeNode Tjffs2obj::Build::latest(const Group& g) const {
    const InodeRef& n = r.inodes[g.last - 1];
    return decodeInodeNode(readBytes(*img.image(), n.pos(), inode::kSize).data(), e);
}

Bytes Tjffs2obj::Build::nodeData(uint32_t pos, const InodeNode& n) const {
    Bytes packed = readBytes(*img.image(), pos + inode::kSize, n.csize);
    Bytes data(n.dsize);
    if (decompress(n.compr, packed, data) != Decompressed::kOk)
        return {};
    return data;
}

void Tjffs2obj::Build::buildFrags(const Group& g, uint32_t isize) {
    std::vector<Span> spans;
    for (uint32_t k = g.first; k < g.last; ++k) {
        const InodeRef& n = r.inodes[k];
        const uint64_t end = std::min<uint64_t>(uint64_t{n.offset} + n.dsize, isize);
        if (n.dsize > 0 && n.offset < end)
            spans.push_back({n.offset, static_cast<uint32_t>(end), k - g.first, n.at});
    }
    std::stable_sort(spans.begin(), spans.end(),
                     [](const Span& a, const Span& b) { return a.start < b.start; });
    auto emit = [&](uint64_t from, uint64_t to, const Span& s) {
        if (img.frags_.size() > objFrags.back().first) {
            Frag& last = img.frags_.back();
            if (last.node == s.node() && last.start + last.length == from) {
                last.length += static_cast<uint32_t>(to - from);
                return;
            }
        }
        img.frags_.push_back(
            {static_cast<uint32_t>(from), static_cast<uint32_t>(to - from), s.node()});
    };
    bool overlaps = false;
    for (size_t k = 1; k < spans.size() && !overlaps; ++k)
        overlaps = spans[k].start < spans[k - 1].end;
    if (!overlaps) {
        for (const Span& s : spans)
            if (!s.hole())
                emit(s.start, s.end, s);
        return;
    }
    // Nodes written over older ones: between each two boundaries, the
    // newest node that covers the stretch holds it.
    std::vector<uint32_t> points;
    points.reserve(spans.size() * 2);
    for (const Span& s : spans) {
        points.push_back(s.start);
        points.push_back(s.end);
    }
    std::sort(points.begin(), points.end());
    points.erase(std::unique(points.begin(), points.end()), points.end());
    auto lower = [&](uint32_t a, uint32_t b) { return spans[a].rank < spans[b].rank; };
    std::priority_queue<uint32_t, std::vector<uint32_t>, decltype(lower)> active(lower);
    size_t next = 0;
    for (size_t k = 0; k + 1 < points.size(); ++k) {
        const uint32_t a = points[k];
        while (next < spans.size() && spans[next].start <= a)
            active.push(static_cast<uint32_t>(next++));
        while (!active.empty() && spans[active.top()].end <= a)
            active.pop();
        if (!active.empty() && !spans[active.top()].hole())
            emit(a, points[k + 1], spans[active.top()]);
    }
}

TImgEntry Tjffs2obj::Build::entryOf(const Group& g) {
    const InodeNode n = latest(g);
    const InodeRef& ref = r.inodes[g.last - 1];
    TImgEntry entry;
    entry.objType = kindOf(n.mode);
    entry.mode = n.mode;
    entry.uid = n.uid;
    entry.gid = n.gid;
    entry.atime = n.atime;
    entry.mtime = n.mtime;
    entry.ctime = n.ctime;
    entry.linkInfo = 0;
    entry.dataPos = -1;
    switch (entry.objType) {
    case kTypeFile:
        entry.size = n.isize;
        break;
    case kTypeDirectory: {
        // Entries written after the folder's last inode node carry its
        // newer times, as the kernel reads them.
        auto t = std::lower_bound(dirTimes.begin(), dirTimes.end(), g.ino,
                                  [](const DirTime& d, uint32_t v) { return d.pino < v; });
        if (t != dirTimes.end() && t->pino == g.ino && t->version > n.version)
            entry.mtime = entry.ctime = t->mctime;
        break;
    }
    case kTypeSymlink: {
        Bytes target = nodeData(ref.pos(), n);
        if (target.empty() && n.dsize > 0)
            ++badTargets;
        entry.alias.assign(reinterpret_cast<const char*>(target.data()), target.size());
        entry.size = entry.alias.size();
        break;
    }
    case kTypeSpecial:
    case kTypeBlockDevice: {
        Bytes dev = nodeData(ref.pos(), n);
        entry.rdev = decodeDevice(dev.data(), static_cast<uint32_t>(dev.size()), e);
        break;
    }
    default:
        break;
    }
    entry.xattrs = xattrsOf(g.ino);
    return entry;
}

uint32_t Tjffs2obj::Build::place(const Group& g, TImgEntry entry, Node* parent, Node*& made) {
    const uint32_t id = img.newobjid();
    entry.objId = id;
    objFrags.resize(static_cast<size_t>(id) + 1, {0, 0});
    const uint32_t begin = static_cast<uint32_t>(img.frags_.size());
    objFrags[id] = {begin, begin};
    if (entry.objType == kTypeFile) {
        buildFrags(g, static_cast<uint32_t>(entry.size));
        objFrags[id].second = static_cast<uint32_t>(img.frags_.size());
    }
    auto node = std::make_unique<Node>();
    node->text = entry.name;
    node->entry = std::move(entry);
    node->icon = iconFor(node->entry, node->text);
    made = parent->addChild(std::move(node));
    img.setNode(id, made);
    return id;
}

void Tjffs2obj::Build::note(size_t& count, std::string& names, const std::string& name) {
    if (count++ < kNamed)
        names += (names.empty() ? "" : ", ") + name;
}

void Tjffs2obj::Build::walk(Node* root, JobReporter& rep) {
    // Folders still to list: the node and its inode.
    std::vector<std::pair<Node*, uint32_t>> stack{{root, kRootIno}};
    std::vector<std::pair<Node*, uint32_t>> subdirs;
    const int64_t expected = static_cast<int64_t>(live.size());
    int64_t made = 0;
    while (!stack.empty()) {
        auto [dir, pino] = stack.back();
        stack.pop_back();
        auto it = std::lower_bound(live.begin(), live.end(), pino,
                                   [&](uint32_t k, uint32_t v) { return r.dirents[k].pino < v; });
        for (; it != live.end() && r.dirents[*it].pino == pino; ++it) {
            const DirentRef& d = r.dirents[*it];
            const std::string name(nameOf(d));
            const std::string path =
                pathFromRoot(dir).empty() ? "/" + name : "/" + pathFromRoot(dir) + "/" + name;
            if (d.ino == kRootIno) {
                note(folderTwice, folderNames, path);
                continue;
            }
            Group* g = groupOf(d.ino);
            if (!g) {
                note(missing, missingNames, path);
                continue;
            }
            if (g->objId != 0) {
                Node* first = img.nodeFor(g->objId);
                if (first->isDirectory()) {
                    note(folderTwice, folderNames, path);
                    continue;
                }
                TImgEntry link = first->entry;
                link.name = name;
                link.objType = kTypeHardlink;
                link.linkInfo = g->objId;
                Node* n = nullptr;
                place(*g, std::move(link), dir, n);
                ++img.info_.hardLinks;
                continue;
            }
            TImgEntry entry = entryOf(*g);
            entry.name = name;
            Node* n = nullptr;
            g->objId = place(*g, std::move(entry), dir, n);
            rep.progressWith(++made, expected, 2, [&] { return verbatim(n->text); });
            if (n->isDirectory())
                subdirs.push_back({n, g->ino});
        }
        // Folders in the order of their names, so that of two names of a
        // file the first in that order holds it.
        stack.insert(stack.end(), subdirs.rbegin(), subdirs.rend());
        subdirs.clear();
        if (img.cancel.load())
            throw Error(msg("cancelled"));
    }
}

Tjffs2obj::Tjffs2obj() = default;
Tjffs2obj::~Tjffs2obj() = default;

void Tjffs2obj::Open() {
    JobReporter rep(onwk, kFlagRead);
    rep.send(0, 0, 1, kScanning);
    try {
        info_ = ScanInfo{};
        geometry_ = Geometry{};
        frags_.clear();
        fragBegin_.clear();
        nodeTable.clear();
        maxObjId = 0;
        imageNumber_ = nextImageNumber.fetch_add(1);
        const ImageSource& src = *image();
        const std::optional<ByteOrder> order = detectOrder(src, kOrderLookahead);
        if (!order)
            throw Error(msg("no JFFS2 node was found in the image"));
        std::vector<Message> warnings;
        ScanResult r = scanNodes(src, *order, info_, geometry_, warnings, rep, cancel);
        for (Message& m : warnings)
            warn(std::move(m));
        rep.send(0, 0, 2, kBuilding);
        build(r, rep);
    } catch (...) {
        rep.send(0, 0, 3, kDone);
        throw;
    }
    rep.send(0, 0, 3, kDone);
}

void Tjffs2obj::build(ScanResult& r, JobReporter& rep) {
    Build b(*this, r, geometry_.order);
    b.groupInodes();
    b.resolveDirents();
    b.resolveXattrs();
    info_.inodes = b.groups.size();

    auto root = std::make_unique<Node>();
    root->text = "/";
    root->icon = kFolderIcon;
    root->entry.objType = kTypeDirectory;
    root->entry.mode = kModeDirectory | 0755;
    if (Build::Group* g = b.groupOf(kRootIno)) {
        root->entry = b.entryOf(*g);
        if (root->entry.objType != kTypeDirectory) {
            warn(msg("the root inode does not describe a directory; it is shown as one"));
            root->entry.objType = kTypeDirectory;
            root->entry.mode = kModeDirectory | (root->entry.mode & kModePermissionMask);
        }
    }
    root->entry.name.clear();
    root->entry.objId = newobjid();
    setNode(root->entry.objId, root.get());
    if (Build::Group* g = b.groupOf(kRootIno))
        g->objId = root->entry.objId;
    b.objFrags.resize(2, {0, 0});
    b.walk(root.get(), rep);

    fragBegin_.assign(b.objFrags.size() + 1, static_cast<uint32_t>(frags_.size()));
    for (size_t id = 0; id < b.objFrags.size(); ++id)
        fragBegin_[id] = b.objFrags[id].first;
    fragEnd_.resize(b.objFrags.size());
    for (size_t id = 0; id < b.objFrags.size(); ++id)
        fragEnd_[id] = b.objFrags[id].second;
    frags_.shrink_to_fit();

    for (const Build::Group& g : b.groups)
        if (g.objId == 0 && g.ino != kRootIno)
            ++info_.unnamed;
    if (b.missing)
        warn(msg("%1 names point to inodes without nodes and were left out: %2%3", b.missing,
                 b.missingNames, b.missing > kNamed ? ", ..." : ""));
    if (b.folderTwice)
        warn(msg("%1 further names of folders were left out (a folder has one name): %2%3",
                 b.folderTwice, b.folderNames, b.folderTwice > kNamed ? ", ..." : ""));
    if (b.badTargets)
        warn(msg("the targets of %1 symbolic links cannot be read", b.badTargets));

    sortTree(root.get());
    info_.objects = root->subtreeSize();
    setRoot(std::move(root));
}

bool Tjffs2obj::GetEntry(uint32_t id, TImgEntry& entry) {
    if (Node* n = nodeFor(id)) {
        entry = n->entry;
        return true;
    }
    return false;
}

std::pair<const Tjffs2obj::Frag*, const Tjffs2obj::Frag*> Tjffs2obj::fragsOf(uint32_t id) const {
    if (id >= fragEnd_.size())
        return {nullptr, nullptr};
    return {frags_.data() + fragBegin_[id], frags_.data() + fragEnd_[id]};
}

const Bytes& Tjffs2obj::nodeData(const TImgEntry& e, uint32_t pos, uint32_t& nodeOffset) {
    NodeCache& c = tCache;
    if (c.image == imageNumber_ && c.pos == pos) {
        nodeOffset = c.offset;
        return c.data;
    }
    c.image = 0;
    const Endian en(geometry_.order);
    // The header and a page of data in one read: most nodes hold no more.
    const uint64_t guess = std::min<uint64_t>(inode::kSize + kPageSize, image()->size() - pos);
    c.packed.resize(static_cast<size_t>(guess));
    image()->readThrough(pos, MutableByteSpan(c.packed));
    const InodeNode n = decodeInodeNode(c.packed.data(), en);
    if (inode::kSize + n.csize <= guess) {
        c.packed.erase(c.packed.begin(), c.packed.begin() + inode::kSize);
        c.packed.resize(n.csize);
    } else {
        c.packed.resize(n.csize);
        image()->readThrough(uint64_t{pos} + inode::kSize, MutableByteSpan(c.packed));
    }
    c.data.resize(n.dsize);
    const Decompressed d = decompress(n.compr, c.packed, c.data);
    if (d == Decompressed::kUnsupported)
        throw Error(msg("the data of %1 from byte %2 on is compressed with %3, which Korvane "
                        "does not read",
                        e.name, n.offset, comprName(n.compr)));
    if (d != Decompressed::kOk)
        throw Error(msg("the data of %1 from byte %2 on cannot be read: the node at byte %3 does "
                        "not decompress to the %4 bytes it gives",
                        e.name, n.offset, pos, n.dsize));
    c.image = imageNumber_;
    c.pos = pos;
    c.offset = n.offset;
    nodeOffset = n.offset;
    return c.data;
}

size_t Tjffs2obj::readImageRange(const TImgEntry& e, uint64_t offset, MutableByteSpan out) {
    std::memset(out.data(), 0, out.size());
    auto [b, end] = fragsOf(e.objId);
    const uint64_t to = offset + out.size();
    auto it =
        std::upper_bound(b, end, offset, [](uint64_t v, const Frag& f) { return v < f.start; });
    if (it != b)
        --it;
    for (; it != end && it->start < to; ++it) {
        const uint64_t from = std::max<uint64_t>(offset, it->start);
        const uint64_t until = std::min<uint64_t>(to, uint64_t{it->start} + it->length);
        if (from >= until)
            continue;
        uint32_t nodeOffset = 0;
        const Bytes& data = nodeData(e, it->node, nodeOffset);
        const uint64_t at = from - nodeOffset;
        if (from < nodeOffset || at + (until - from) > data.size())
            throw Error(msg("the data of %1 from byte %2 on cannot be read: the node at byte %3 "
                            "changed under the reader",
                            e.name, from, it->node));
        std::memcpy(out.data() + (from - offset), data.data() + at,
                    static_cast<size_t>(until - from));
    }
    return out.size();
}

ContentRange Tjffs2obj::nextImageData(const TImgEntry& e, uint64_t offset) {
    const uint64_t total = contentSize(e);
    auto [b, end] = fragsOf(e.objId);
    auto it =
        std::upper_bound(b, end, offset, [](uint64_t v, const Frag& f) { return v < f.start; });
    if (it != b && uint64_t{(it - 1)->start} + (it - 1)->length > offset)
        --it;
    if (it == end)
        return {total, total};
    const uint64_t begin = std::max<uint64_t>(offset, it->start);
    uint64_t until = uint64_t{it->start} + it->length;
    for (++it; it != end && it->start == until; ++it)
        until += it->length;
    return {begin, std::min(until, total)};
}

std::vector<std::pair<std::string, std::string>> Tjffs2obj::describe() const {
    const Geometry& g = geometry_;
    const ScanInfo& s = info_;
    std::string compr;
    for (uint8_t k = 0; k < s.comprNodes.size(); ++k)
        if (s.comprNodes[k])
            compr +=
                (compr.empty() ? "" : ", ") + comprName(k) + " " + std::to_string(s.comprNodes[k]);
    return {
        {"format", "JFFS2"},
        {"image size", std::to_string(size())},
        {"byte order", g.order == ByteOrder::kBig ? "big-endian" : "little-endian"},
        {"erase block", std::to_string(g.eraseBlock) + " (" + g.eraseBlockFrom + ")"},
        {"cleanmarkers", g.cleanmarkers ? std::to_string(s.cleanmarkers) + " (" +
                                              std::to_string(g.cleanmarkerSize) + " bytes each)"
                                        : std::string("none")},
        {"summaries", std::to_string(s.summaryNodes)},
        {"nodes end at", std::to_string(g.contentEnd)},
        {"nodes", std::to_string(s.nodes)},
        {"inode nodes", std::to_string(s.inodeNodes)},
        {"directory entries", std::to_string(s.dirents)},
        {"xattr nodes", std::to_string(s.xattrNodes + s.xrefNodes)},
        {"data nodes", compr.empty() ? std::string("none") : compr},
        {"obsolete nodes", std::to_string(s.obsolete)},
        {"padding nodes", std::to_string(s.paddingNodes)},
        {"damaged nodes", std::to_string(s.badNodes)},
        {"unknown nodes", std::to_string(s.unknown)},
        {"damaged bytes", std::to_string(s.dirtyBytes)},
        {"inodes", std::to_string(s.inodes)},
        {"objects", std::to_string(s.objects)},
        {"hard links", std::to_string(s.hardLinks)},
        {"deleted inodes", std::to_string(s.unnamed)},
    };
}

} // namespace korvane
