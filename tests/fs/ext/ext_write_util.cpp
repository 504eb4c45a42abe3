#include "ext_write_util.h"

#include "ext_testutil.h"
#include "fs/ext/ext_planner.h"
#include "fs/ext/text23obj.h"
#include "model/tree.h"
#include "support/yaffs2_builder.h"

#include <algorithm>
#include <climits>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace korvane::test {

namespace {

// mt19937 with 32-bit results.
struct Rand {
    explicit Rand(uint32_t seed) : engine(seed) {}
    uint32_t operator()() { return static_cast<uint32_t>(engine()); }
    std::mt19937 engine;
};

std::string utf8Name(Rand& rng, size_t index) {
    static const char* pieces[] = {"ü", "目录", "文件", "é", "\xF0\x9F\x98\x80", "ж", "a", "Z"};
    const size_t target = 1 + rng() % 255;
    std::string name = "n" + std::to_string(index) + "_";
    for (;;) {
        std::string p = pieces[rng() % std::size(pieces)];
        if (name.size() + p.size() > target)
            break;
        name += p;
    }
    return name;
}

std::string shortName(Rand& rng, size_t index) {
    static const char* stems[] = {"etc", "lib",     "app.apk",  "build.prop", "x",     "init.rc",
                                  "a b", "libc.so", "data.bin", ".hidden",    "README"};
    return std::string(stems[rng() % std::size(stems)]) + "_" + std::to_string(index);
}

uint64_t smallSize(Rand& rng) {
    static const uint64_t edges[] = {0,
                                     1,
                                     1023,
                                     1024,
                                     1025,
                                     12 * 1024,
                                     12 * 1024 + 1,
                                     268 * 1024,
                                     268 * 1024 + 1,
                                     13 * 1024 - 5};
    if (rng() % 8 == 0)
        return edges[rng() % std::size(edges)];
    return rng() % 6000;
}

std::string le16(uint16_t v) {
    return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}

std::string le32(uint32_t v) {
    return le16(static_cast<uint16_t>(v)) + le16(static_cast<uint16_t>(v >> 16));
}

// A POSIX ACL as an attribute value: owner, a named user and group, mask,
// other.
std::string aclValue(Rand& rng) {
    std::string v = le32(2);
    const uint16_t tags[] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20};
    for (uint16_t tag : tags) {
        if ((tag == 0x02 || tag == 0x08) && rng() % 2)
            continue;
        v += le16(tag) + le16(static_cast<uint16_t>(rng() % 8));
        v += le32(tag == 0x02 || tag == 0x08 ? rng() % 100000 : 0xFFFFFFFF);
    }
    return v;
}

std::vector<Xattr> randomXattrs(Rand& rng, uint8_t type) {
    static const char* labels[] = {"u:object_r:system_file:s0", "u:object_r:vendor_file:s0",
                                   "u:object_r:shell_exec:s0", "u:object_r:rootfs:s0"};
    std::vector<Xattr> out;
    if (rng() % 3 == 0)
        return out;
    std::string label = labels[rng() % std::size(labels)];
    out.push_back({"security.selinux", label + std::string(1, '\0')});
    if (type == kTypeFile && rng() % 6 == 0) {
        std::string cap = le32(0x02000001) + le32(1u << (rng() % 32)) + le32(0) + le32(0) + le32(0);
        out.push_back({"security.capability", cap});
    }
    if ((type == kTypeFile || type == kTypeDirectory) && rng() % 8 == 0)
        out.push_back({"system.posix_acl_access", aclValue(rng)});
    if (type != kTypeSymlink && rng() % 4 == 0) {
        const size_t n = 1 + rng() % 3;
        for (size_t i = 0; i < n; ++i) {
            std::string value(rng() % 4 == 0 ? 150 + rng() % 100 : rng() % 40, '\0');
            for (char& c : value)
                c = static_cast<char>(rng());
            out.push_back({(rng() % 5 ? "user.k" : "trusted.t") + std::to_string(i), value});
        }
    }
    return out;
}

// A time from 1901 to 2310 (e2fsck takes later ones for times before 1970
// that an old kernel wrote wrongly).
int64_t wideTime(Rand& rng) {
    const int64_t lo = INT32_MIN, hi = 3 * (int64_t{1} << 32) + INT32_MIN - 1;
    return lo + static_cast<int64_t>((uint64_t{rng()} << 32 | rng()) %
                                     static_cast<uint64_t>(hi - lo + 1));
}

} // namespace

void randomTree(Timg& img, uint32_t seed, const RandomTreeOptions& opt) {
    Rand rng(seed);
    Rand extra(seed * 7919 + 1); // attributes and wide times, apart from the tree's shape
    Node* root = img.root();
    root->entry.mode = 040000 | (0700 | (rng() % 0100));
    root->entry.uid = static_cast<uint16_t>(rng());
    root->entry.gid = static_cast<uint16_t>(rng());
    root->entry.mtime = rng() & 0x7FFFFFFF;
    std::vector<Node*> dirs{root};
    std::vector<Node*> linkable;
    std::map<const Node*, std::set<std::string>> names;
    size_t index = 0;

    auto uniqueName = [&](Node* parent) {
        for (;;) {
            std::string n = rng() % 4 == 0 ? utf8Name(rng, index) : shortName(rng, index);
            ++index;
            if (parent == root && n == "lost+found")
                continue;
            if (names[parent].insert(n).second)
                return n;
        }
    };
    auto stamp = [&](Node* n) {
        // 32-bit owners; times that both formats hold (1970 to 2038).
        n->entry.uid = static_cast<uint32_t>(rng()) % 0xFFFFFFFFu;
        n->entry.gid = static_cast<uint32_t>(rng()) % 0xFFFFFFFFu;
        n->entry.atime = rng() & 0x7FFFFFFF;
        n->entry.ctime = rng() & 0x7FFFFFFF;
        n->entry.mtime = rng() & 0x7FFFFFFF;
        if (opt.xattrs)
            n->entry.xattrs = randomXattrs(extra, n->entry.objType);
        if (opt.wideTimes) {
            for (int64_t* t : {&n->entry.atime, &n->entry.ctime, &n->entry.mtime})
                *t = wideTime(extra);
            n->entry.atimeNs = extra() % 1000000000;
            n->entry.ctimeNs = extra() % 1000000000;
            n->entry.mtimeNs = extra() % 1000000000;
        }
    };
    auto pickDir = [&]() {
        // Often the newest folder, so that chains grow deep.
        return rng() % 3 == 0 ? dirs.back() : dirs[rng() % dirs.size()];
    };
    auto addRandomFile = [&](Node* parent, uint64_t size) {
        Node* f = addFile(img, parent, uniqueName(parent), pattern(size, rng()),
                          0100000 | (rng() % 01000) | (rng() % 4 == 0 ? 01000 : 0));
        stamp(f);
        linkable.push_back(f);
        return f;
    };

    if (opt.rootLostFound) {
        Node* lf = addNode(img, root, "lost+found", kTypeDirectory, 040700);
        names[root].insert("lost+found");
        addFile(img, lf, "old", pattern(5000, 1));
        addNode(img, lf, "sub", kTypeDirectory, 040755);
    }
    for (size_t k = 0; k < opt.objects; ++k) {
        Node* parent = pickDir();
        const uint32_t r = rng() % 100;
        if (r < 18) {
            const bool deepLostFound =
                parent != root && rng() % 20 == 0 && names[parent].insert("lost+found").second;
            Node* d = addNode(img, parent, deepLostFound ? "lost+found" : uniqueName(parent),
                              kTypeDirectory, 040000 | 0700 | (rng() % 0100));
            stamp(d);
            dirs.push_back(d);
        } else if (r < 60) {
            addRandomFile(parent, smallSize(rng));
        } else if (r < 72) {
            static const size_t lengths[] = {1, 58, 59, 60, 61, 200, 1023};
            const size_t len = rng() % 2 ? lengths[rng() % std::size(lengths)] : 1 + rng() % 300;
            std::string target;
            while (target.size() < len)
                target += "../dir_" + std::to_string(rng() % 100) + "/";
            target.resize(len);
            Node* l = addSymlink(img, parent, uniqueName(parent), target);
            stamp(l);
            linkable.push_back(l);
        } else if (r < 80 && !linkable.empty()) {
            addHardlink(img, parent, uniqueName(parent), linkable[rng() % linkable.size()]);
        } else if (r < 88) {
            const bool block = rng() % 2;
            // Old-style numbers and ones only the new encoding holds.
            const DevNum dev = rng() % 3 ? DevNum{1 + rng() % 254, rng() % 256}
                                         : DevNum{256 + rng() % 3000, 256 + rng() % 900000};
            // As YAFFS2 keeps them (type 5 with the type in the mode), or by
            // object type alone.
            Node* s = rng() % 2
                          ? addSpecial(img, parent, uniqueName(parent), kTypeSpecial,
                                       (block ? 060000 : 020000) | (rng() % 01000), dev)
                          : addSpecial(img, parent, uniqueName(parent),
                                       block ? kTypeBlockDevice : kTypeSpecial, rng() % 01000, dev);
            stamp(s);
            linkable.push_back(s);
        } else {
            static const uint32_t kinds[] = {010000, 0140000, 0};
            const uint32_t kind = kinds[rng() % std::size(kinds)];
            Node* s = addSpecial(img, parent, uniqueName(parent),
                                 kind == 0 || rng() % 2 ? kTypeOther : kTypeSpecial,
                                 kind | (rng() % 01000));
            stamp(s);
        }
    }
    for (uint64_t size : opt.bigFiles)
        addRandomFile(pickDir(), size);
}

namespace {

const Node* resolved(Timg& img, const Node* n) {
    for (int hops = 0; n && n->entry.objType == kTypeHardlink && hops < 64; ++hops)
        n = img.nodeFor(n->entry.linkInfo);
    return n;
}

char kindOf(const TImgEntry& e) {
    switch (e.objType) {
    case kTypeFile:
        return 'f';
    case kTypeSymlink:
        return 'l';
    case kTypeDirectory:
        return 'd';
    default:
        break;
    }
    switch (e.mode & kModeTypeMask) {
    case kModeCharDevice:
        return 'c';
    case kModeBlockDevice:
        return 'b';
    case kModeFifo:
        return 'p';
    case kModeSocket:
        return 's';
    default:
        return e.objType == kTypeBlockDevice ? 'b' : e.objType == kTypeOther ? 'p' : 'c';
    }
}

uint64_t fnv(ByteSpan bytes) {
    uint64_t h = 1469598103934665603ull;
    for (std::byte b : bytes)
        h = (h ^ std::to_integer<uint64_t>(b)) * 1099511628211ull;
    return h;
}

Bytes contentsOf(Timg& img, const Node* n) {
    TImgEntry e;
    Bytes buf;
    img.ReadContent(n->entry.objId, e, buf);
    buf.resize(static_cast<size_t>(n->entry.size));
    return buf;
}

// The objects below the root, the root's lost+found left out.
std::vector<Node*> objects(Timg& img) {
    std::vector<Node*> out;
    Node* root = img.root();
    for (const auto& c : root->children) {
        if (c->text == "lost+found")
            continue;
        forEachPreorder(c.get(), [&](Node* n) { out.push_back(n); });
    }
    return out;
}

std::string octal(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04o", v);
    return buf;
}

} // namespace

std::string treeDump(Timg& img) {
    std::map<const Node*, std::vector<std::string>> namesOf;
    std::vector<Node*> all = objects(img);
    for (Node* n : all)
        namesOf[resolved(img, n)].push_back("/" + pathFromRoot(n));
    std::vector<std::string> lines;
    const TImgEntry& r = img.root()->entry;
    lines.push_back("/ d " + octal(r.mode & 07777) + " u" + std::to_string(r.uid) + " g" +
                    std::to_string(r.gid) + " m" + std::to_string(r.mtime));
    for (Node* n : all) {
        const Node* t = resolved(img, n);
        if (!t) {
            lines.push_back("/" + pathFromRoot(n) + " dangling");
            continue;
        }
        const TImgEntry& e = t->entry;
        const char kind = kindOf(e);
        std::string line = "/" + pathFromRoot(n) + " " + kind + " " + octal(e.mode & 07777) + " u" +
                           std::to_string(e.uid) + " g" + std::to_string(e.gid) + " a" +
                           std::to_string(e.atime) + " c" + std::to_string(e.ctime) + " m" +
                           std::to_string(e.mtime);
        if (kind == 'f')
            line += " s" + std::to_string(e.size) + " h" + std::to_string(fnv(contentsOf(img, t)));
        if (kind == 'l')
            line += " -> " + e.alias;
        if (kind == 'c' || kind == 'b')
            line += " dev" + std::to_string(e.rdev.major) + ":" + std::to_string(e.rdev.minor);
        std::vector<Xattr> xattrs = e.xattrs;
        std::sort(xattrs.begin(), xattrs.end(),
                  [](const Xattr& a, const Xattr& b) { return a.name < b.name; });
        for (const Xattr& x : xattrs)
            line += " " + x.name + "=" + std::to_string(fnv(asBytes(x.value)));
        std::vector<std::string>& group = namesOf[t];
        if (group.size() > 1) {
            std::sort(group.begin(), group.end());
            line += " names";
            for (const std::string& p : group)
                line += " " + p;
        }
        lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const std::string& l : lines)
        out += l + "\n";
    return out;
}

namespace {

class ZeroImage : public Timg {
public:
    void Open() override {
        auto root = std::make_unique<Node>();
        root->entry.objType = kTypeDirectory;
        root->entry.mode = 040755;
        root->entry.objId = newobjid();
        setNode(root->entry.objId, root.get());
        setRoot(std::move(root));
    }
    bool GetEntry(uint32_t id, TImgEntry& entry) override {
        const Node* n = nodeFor(id);
        if (n)
            entry = n->entry;
        return n != nullptr;
    }
    std::string formatName() const override { return "ZERO"; }
    std::vector<std::pair<std::string, std::string>> describe() const override { return {}; }

protected:
    size_t readImageRange(const TImgEntry& e, uint64_t offset, MutableByteSpan out) override {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(out.size(), e.size - offset));
        std::fill_n(out.begin(), n, std::byte{0});
        return n;
    }
};

} // namespace

std::unique_ptr<Timg> zeroImage() {
    auto img = std::make_unique<ZeroImage>();
    img->Open();
    return img;
}

void expectFsckClean(const std::string& image) {
    CommandResult r = run("e2fsck -fn " + shellQuote(image));
    EXPECT_EQ(r.status, 0) << image << "\n" << r.out << r.err;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        const bool pass = line.rfind("Pass ", 0) == 0 && line.find(": Checking ") == 6;
        const bool summary = line.find(" files (") != std::string::npos && line.size() > 7 &&
                             line.compare(line.size() - 7, 7, " blocks") == 0;
        EXPECT_TRUE(line.empty() || pass || summary) << "e2fsck says: " << line;
    }
}

void expectRdumpMatches(Timg& source, const std::string& image) {
    TempDir out;
    CommandResult r =
        run("debugfs -R " + shellQuote("rdump / " + out.path().string()) + " " + shellQuote(image));
    ASSERT_EQ(r.status, 0) << r.err;
    const bool root = ::geteuid() == 0;
    size_t checked = 0;
    for (Node* n : objects(source)) {
        const Node* t = resolved(source, n);
        const TImgEntry& e = t->entry;
        const char kind = kindOf(e);
        if (kind != 'f' && kind != 'd' && kind != 'l')
            continue; // rdump does not make special files
        const std::string path = out / pathFromRoot(n);
        SCOPED_TRACE(path);
        struct stat st {};
        ASSERT_EQ(::lstat(path.c_str(), &st), 0) << "missing from rdump";
        if (kind == 'l') {
            ASSERT_TRUE(S_ISLNK(st.st_mode));
            EXPECT_EQ(fs::read_symlink(path).string(), e.alias);
            ++checked;
            continue;
        }
        ASSERT_EQ(kind == 'd', S_ISDIR(st.st_mode));
        // rdump restores no sticky bit, and gives a file its owner after its
        // mode, which clears the set-user and set-group bits; debugfs stat
        // checks those bits.
        const uint32_t mask = kind == 'f' ? 0777 : 06777;
        EXPECT_EQ(st.st_mode & mask, e.mode & mask) << std::oct << st.st_mode;
        if (e.mtime >= 0 && e.mtime <= INT32_MAX) {
            EXPECT_EQ(st.st_mtime, static_cast<time_t>(e.mtime));
        }
        if (root) {
            EXPECT_EQ(st.st_uid, e.uid);
            EXPECT_EQ(st.st_gid, e.gid);
        }
        if (kind == 'f') {
            EXPECT_EQ(static_cast<uint64_t>(st.st_size), e.size);
            EXPECT_TRUE(readFile(path) == contentsOf(source, t)) << "contents differ";
        }
        ++checked;
    }
    EXPECT_GT(checked, 0u);
}

namespace {

// The text after label in debugfs stat output, up to the next blank (word)
// or the next run of two blanks or the line's end (phrase).
std::string statField(const std::string& text, const std::string& label, bool phrase = false) {
    size_t at = text.find(label);
    if (at == std::string::npos)
        return "";
    at += label.size();
    while (at < text.size() && text[at] == ' ')
        ++at;
    size_t end = at;
    while (end < text.size() && text[end] != '\n' &&
           !(phrase ? text.compare(end, 2, "  ") == 0 : text[end] == ' '))
        ++end;
    return text.substr(at, end - at);
}

uint64_t statNumber(const std::string& text, const std::string& label, int base = 10) {
    std::string w = statField(text, label);
    EXPECT_FALSE(w.empty()) << "no " << label;
    return w.empty() ? 0 : std::stoull(w, nullptr, base);
}

// An ACL value with the ids of the entries that have none read as 0: the
// kernel gives them as 0xFFFFFFFF, debugfs as 0.
std::string aclIdsCleared(const std::string& name, std::string v) {
    if (name.rfind("system.posix_acl_", 0) != 0)
        return v;
    for (size_t at = 4; at + 8 <= v.size(); at += 8) {
        const auto tag = static_cast<uint8_t>(v[at]);
        if (tag != 0x02 && tag != 0x08)
            v.replace(at + 4, 4, 4, '\0');
    }
    return v;
}

// Seconds and nanoseconds of "mtime: 0x6b17e4bc:4a8cbc44" (the part after
// the colon only in inodes with extra fields).
std::pair<int64_t, uint32_t> statTime(const std::string& text, const std::string& label) {
    const std::string w = statField(text, label);
    EXPECT_FALSE(w.empty()) << "no " << label;
    if (w.empty())
        return {0, 0};
    const auto lo = static_cast<int32_t>(std::stoul(w, nullptr, 16));
    const size_t colon = w.find(':');
    if (colon == std::string::npos)
        return {lo, 0};
    const auto extra = static_cast<uint32_t>(std::stoul(w.substr(colon + 1), nullptr, 16));
    return {lo + (int64_t{extra & 3} << 32), extra >> 2};
}

} // namespace

void expectDebugfsStat(Timg& source, const std::string& image) {
    // The inode of every object as the writer numbers them.
    std::map<uint32_t, std::pair<const Node*, size_t>> inodes; // inode -> object, names
    AbsoluteIndex tree(source.root());
    ext2::ForEachWritten(tree, [&](const Node* n, size_t index) {
        if (index == 0)
            return;
        const Node* t = resolved(source, n);
        ASSERT_NE(t, nullptr) << pathFromRoot(n);
        // The tree's own lost+found becomes the image's, inode 11.
        const uint64_t ino = t == ext2::TreeLostFound(*source.root())
                                 ? ext2::kLostFoundIno
                                 : ext2::InodeFor(tree.indexOf(t));
        auto& slot = inodes[static_cast<uint32_t>(ino)];
        slot.first = t;
        ++slot.second;
    });
    TempDir dir;
    std::string commands;
    size_t attrFiles = 0;
    for (const auto& [ino, object] : inodes) {
        commands += "stat <" + std::to_string(ino) + ">\n";
        for (const Xattr& x : object.first->entry.xattrs)
            commands += "ea_get -f " + (dir / std::to_string(attrFiles++)) + " <" +
                        std::to_string(ino) + "> " + x.name + "\n";
    }
    writeFile(dir / "commands", commands);
    CommandResult r =
        run("debugfs -f " + shellQuote(dir / "commands") + " " + shellQuote(image) + " 2>&1");
    ASSERT_EQ(r.status, 0) << r.out;

    // One report per inode, each beginning with "Inode: N".
    std::map<uint32_t, std::string> stats;
    for (size_t at = r.out.find("Inode: "); at != std::string::npos;) {
        size_t next = r.out.find("\nInode: ", at);
        std::string one =
            r.out.substr(at, next == std::string::npos ? std::string::npos : next - at);
        stats[static_cast<uint32_t>(statNumber(one, "Inode:"))] = one;
        at = next == std::string::npos ? next : next + 1;
    }
    ASSERT_EQ(stats.size(), inodes.size());
    static const std::map<char, std::string> types{
        {'f', "regular"},       {'d', "directory"}, {'l', "symlink"}, {'c', "character special"},
        {'b', "block special"}, {'p', "FIFO"},      {'s', "socket"}};
    attrFiles = 0;
    for (const auto& [ino, object] : inodes) {
        const TImgEntry& e = object.first->entry;
        const std::string& s = stats[ino];
        SCOPED_TRACE(pathFromRoot(object.first) + "\n" + s);
        const char kind = kindOf(e);
        EXPECT_EQ(statField(s, "Type:", true), types.at(kind));
        EXPECT_EQ(statNumber(s, "Mode:", 8), e.mode & 07777);
        EXPECT_EQ(static_cast<uint32_t>(statNumber(s, "User:")), e.uid);
        EXPECT_EQ(static_cast<uint32_t>(statNumber(s, "Group:")), e.gid);
        const uint64_t size = statNumber(s, "Size:");
        if (kind == 'f') {
            EXPECT_EQ(size, e.size);
        } else if (kind == 'l') {
            EXPECT_EQ(size, e.alias.size());
            if (e.xattrs.empty()) {
                EXPECT_EQ(statNumber(s, "Blockcount:") == 0, e.alias.size() < 60);
            }
        } else if (kind != 'd') {
            EXPECT_EQ(size, 0u);
        }
        if (kind != 'd') {
            EXPECT_EQ(statNumber(s, "Links:"), object.second);
        }
        if (kind == 'c' || kind == 'b') {
            std::string dev = statField(s, "Device major/minor number:");
            char buf[32];
            std::snprintf(buf, sizeof buf, "%02u:%02u", e.rdev.major, e.rdev.minor);
            EXPECT_EQ(dev, buf);
        }
        const bool extra = s.find("Size of extra inode fields:") != std::string::npos;
        const auto [mtime, mtimeNs] = statTime(s, "mtime:");
        const auto [atime, atimeNs] = statTime(s, "atime:");
        if (extra) {
            EXPECT_EQ(mtime, e.mtime);
            EXPECT_EQ(mtimeNs, e.mtimeNs);
            EXPECT_EQ(atime, e.atime);
            EXPECT_EQ(atimeNs, e.atimeNs);
        } else if (e.mtime >= INT32_MIN && e.mtime <= INT32_MAX) {
            EXPECT_EQ(mtime, e.mtime);
        }
        for (const Xattr& x : e.xattrs) {
            const std::string file = dir / std::to_string(attrFiles++);
            EXPECT_TRUE(std::filesystem::exists(file)) << "no attribute " << x.name;
            if (std::filesystem::exists(file)) {
                EXPECT_EQ(aclIdsCleared(x.name, toString(readFile(file))),
                          aclIdsCleared(x.name, x.value))
                    << x.name;
            }
        }
    }
}

} // namespace korvane::test
