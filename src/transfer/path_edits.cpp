// Edits addressed by paths inside the image: what korvane-cli edit, device
// tables and scripts run, one run at a time (PathEdits).
#include "edit.h"
#include "edit_shared.h"
#include "model/error.h"
#include "model/texts.h"
#include "model/tree.h"
#include "model/tree_order.h"

#include <algorithm>
#include <charconv>
#include <ctime>
#include <functional>
#include <unordered_map>
#include <unordered_set>

namespace korvane {

namespace {

// Folders with fewer children are searched one by one.
constexpr size_t kIndexFrom = 16;

std::string joinPath(const std::vector<std::string>& parts, size_t count) {
    std::string p;
    for (size_t i = 0; i < count; ++i)
        p += "/" + parts[i];
    return p.empty() ? "/" : p;
}

TImgEntry entryOf(const std::string& name, uint8_t type, uint32_t mode, const NewObject& a) {
    TImgEntry e;
    e.name = name;
    e.objType = type;
    e.mode = mode;
    e.uid = a.uid;
    e.gid = a.gid;
    e.atime = e.ctime = e.mtime = a.time.sec;
    e.atimeNs = e.ctimeNs = e.mtimeNs = a.time.nsec;
    e.dataPos = -1;
    return e;
}

// The last name of a path as ln takes it for a link made in a folder.
std::string lastName(std::string_view path) {
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

} // namespace

struct PathEdits::State {
    // The names of a folder looked into: the first child of each name.
    struct Names {
        std::unordered_map<std::string_view, Node*> byName;
        bool duplicates = false; // a name held by two children (a damaged image)
    };
    std::unordered_map<const Node*, Names> folders;
    // Folders children were added to, with how many children before them
    // were in order.
    std::unordered_map<Node*, size_t> unsorted;
    std::optional<LinkIndex> links; // made at the first removal
};

PathEdits::PathEdits(Timg& img) : img_(img), s_(std::make_unique<State>()) {}

PathEdits::~PathEdits() {
    finish();
}

void PathEdits::finish() {
    for (auto& [dir, sortedPrefix] : s_->unsorted)
        sortAppendedChildren(dir, sortedPrefix);
    s_->unsorted.clear();
}

void PathEdits::forget() {
    finish();
    s_->folders.clear();
    s_->links.reset();
}

Node* PathEdits::child(Node* dir, std::string_view name) {
    if (dir->children.size() < kIndexFrom && !s_->folders.count(dir)) {
        for (auto& c : dir->children)
            if (c->text == name)
                return c.get();
        return nullptr;
    }
    auto [it, fresh] = s_->folders.try_emplace(dir);
    State::Names& f = it->second;
    if (fresh) {
        f.byName.reserve(dir->children.size());
        for (auto& c : dir->children)
            f.duplicates |= !f.byName.try_emplace(c->text, c.get()).second;
    }
    auto found = f.byName.find(name);
    return found == f.byName.end() ? nullptr : found->second;
}

void PathEdits::added(Node* dir, Node* n) {
    if (auto it = s_->folders.find(dir); it != s_->folders.end())
        it->second.duplicates |= !it->second.byName.try_emplace(n->text, n).second;
    s_->unsorted.try_emplace(dir, dir->children.size() - 1);
}

// Before n leaves dir (or is renamed).
void PathEdits::leaving(Node* dir, const Node* n) {
    if (auto u = s_->unsorted.find(dir); u != s_->unsorted.end())
        u->second = 0; // the order is found again at the end
    auto it = s_->folders.find(dir);
    if (it == s_->folders.end())
        return;
    State::Names& f = it->second;
    auto at = f.byName.find(n->text);
    if (at == f.byName.end() || at->second != n)
        return;
    f.byName.erase(at);
    if (f.duplicates) // another child of that name now answers to it
        for (auto& c : dir->children)
            if (c.get() != n && c->text == n->text) {
                f.byName.emplace(c->text, c.get());
                break;
            }
}

Node* PathEdits::attach(Node* dir, TImgEntry e) {
    e.objId = img_.newobjid();
    auto node = std::make_unique<Node>();
    node->text = e.name;
    node->icon = iconFor(e, node->text);
    node->entry = std::move(e);
    Node* added = dir->addChild(std::move(node));
    img_.setNode(added->entry.objId, added);
    this->added(dir, added);
    if (added->entry.objType == kTypeHardlink && s_->links)
        s_->links->emplace(added->entry.linkInfo, added);
    img_.modified = true;
    return added;
}

PathEdits::Place PathEdits::placeFor(std::string_view path) {
    std::vector<std::string> parts = splitImagePath(path);
    if (parts.empty())
        throw Error(msg("%1 exists", "/"));
    std::string name = std::move(parts.back());
    parts.pop_back();
    Node* dir = require(joinPath(parts, parts.size()));
    if (!dir->isDirectory())
        throw Error(msg("%1 is not a folder", joinPath(parts, parts.size())));
    parts.push_back(name);
    if (child(dir, name))
        throw Error(msg("%1 exists", joinPath(parts, parts.size())));
    if (!validName(name))
        throw Error(
            msg("%1 cannot be used as a name (at most %2 bytes, no \"/\")", name, kMaxNameBytes));
    return {dir, std::move(name)};
}

PathEdits::Place PathEdits::placeInto(std::string_view path, const std::string& name) {
    Node* n = lookup(path);
    if (n && n->isDirectory()) {
        std::string inside = std::string(path) + "/" + name;
        return placeFor(inside);
    }
    return placeFor(path);
}

NewObject newObjectNow(uint32_t perm) {
    NewObject a;
    a.perm = perm;
    a.time.sec = std::time(nullptr);
    return a;
}

std::vector<std::string> splitImagePath(std::string_view path) {
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= path.size()) {
        size_t slash = path.find('/', i);
        if (slash == std::string_view::npos)
            slash = path.size();
        std::string_view part = path.substr(i, slash - i);
        if (part == "..") {
            if (parts.empty())
                throw Error(msg("%1 leads out of the image", std::string(path)));
            parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.emplace_back(part);
        }
        i = slash + 1;
    }
    return parts;
}

Node* PathEdits::lookup(std::string_view path) {
    Node* n = img_.root();
    for (const std::string& part : splitImagePath(path)) {
        if (!n || !n->isDirectory())
            return nullptr;
        n = child(n, part);
    }
    return n;
}

Node* PathEdits::require(std::string_view path) {
    Node* n = lookup(path);
    if (!n)
        throw Error(msg("no such file or folder in the image: %1", std::string(path)));
    return n;
}

Node* PathEdits::makedir(std::string_view path, const NewObject& attrs, bool parents) {
    const std::vector<std::string> parts = splitImagePath(path);
    Node* dir = img_.root();
    if (parts.empty() && !parents)
        throw Error(msg("%1 exists", "/"));
    for (size_t i = 0; i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        if (Node* c = child(dir, parts[i])) {
            if (!c->isDirectory())
                throw Error(msg("%1 is not a folder", joinPath(parts, i + 1)));
            if (last && !parents)
                throw Error(msg("%1 exists", joinPath(parts, i + 1)));
            dir = c;
            continue;
        }
        if (!last && !parents)
            throw Error(msg("no such folder in the image: %1", joinPath(parts, i + 1)));
        Place at = placeFor(joinPath(parts, i + 1));
        NewObject a = attrs;
        if (!last)
            a.perm = 0755;
        TImgEntry e = entryOf(at.name, kTypeDirectory, kModeDirectory | (a.perm & 07777), a);
        e.linkInfo = 1;
        dir = attach(at.dir, std::move(e));
    }
    return dir;
}

Node* PathEdits::makefile(std::string_view path, const NewObject& attrs) {
    Place at = placeFor(path);
    return attach(at.dir, entryOf(at.name, kTypeFile, kModeFile | (attrs.perm & 07777), attrs));
}

Node* PathEdits::makesymlink(std::string_view path, const std::string& target,
                             const NewObject& attrs) {
    if (target.empty())
        throw Error(msg("a symbolic link needs a target: %1", std::string(path)));
    Place at = placeInto(path, lastName(target));
    TImgEntry e = entryOf(at.name, kTypeSymlink, kModeSymlink | 0777, attrs);
    e.alias = target;
    e.size = target.size();
    return attach(at.dir, std::move(e));
}

Node* PathEdits::makehardlink(std::string_view path, std::string_view existing) {
    Node* named = require(existing);
    const Node* target = hardlinkTarget(img_, named);
    if (!target)
        throw Error(msg("%1 is a hard link to nothing", std::string(existing)));
    if (target->isDirectory())
        throw Error(msg("%1 is a folder: folders cannot have hard links", std::string(existing)));
    Place at = placeInto(path, named->text);
    return attach(at.dir, hardlinkEntryTo(target->entry, at.name));
}

Node* PathEdits::makespecial(std::string_view path, uint32_t typeBits, DevNum rdev,
                             const NewObject& attrs) {
    if (typeBits != kModeCharDevice && typeBits != kModeBlockDevice && typeBits != kModeFifo &&
        typeBits != kModeSocket)
        throw Error(msg("not a kind of special file: %1", std::string(path)));
    const bool device = typeBits == kModeCharDevice || typeBits == kModeBlockDevice;
    if (device && !fitsNewDev(rdev))
        throw Error(
            msg("device number %1:%2 is too large (at most 4095:1048575)", rdev.major, rdev.minor));
    Place at = placeFor(path);
    TImgEntry e =
        entryOf(at.name, objTypeForMode(typeBits), typeBits | (attrs.perm & 07777), attrs);
    if (device)
        e.rdev = rdev;
    return attach(at.dir, std::move(e));
}

void PathEdits::movepath(std::string_view from, std::string_view to) {
    Node* n = require(from);
    if (!n->parent)
        throw Error("the root folder cannot be moved");
    Node* dest = lookup(to);
    if (dest == n)
        return;
    Place at = placeInto(to, n->text);
    for (const Node* a = at.dir; a; a = a->parent)
        if (a == n)
            throw Error(msg("%1 cannot be moved into itself", std::string(from)));
    Node* oldDir = n->parent;
    leaving(oldDir, n);
    std::unique_ptr<Node> moved = oldDir->detach(n);
    moved->text = moved->entry.name = at.name;
    moved->icon = iconFor(moved->entry, moved->text);
    Node* placed = at.dir->addChild(std::move(moved));
    added(at.dir, placed);
    img_.modified = true;
}

size_t PathEdits::removepath(std::string_view path, bool recursive) {
    Node* n = require(path);
    if (!n->parent)
        throw Error("the root folder cannot be removed");
    if (n->isDirectory() && !recursive)
        throw Error(msg("%1 is a folder", std::string(path)));
    // Which of a file's other names takes it over depends on the order.
    finish();
    if (!s_->links)
        s_->links = linksOf(img_.root());
    leaving(n->parent, n);
    return removeSubtrees(img_, {n}, *s_->links, [this](Node* dir) {
        s_->folders.erase(dir);
        s_->unsorted.erase(dir);
    });
}

std::optional<uint32_t> applyModeText(std::string_view text, uint32_t perm, bool isDir) {
    perm &= 07777;
    if (!text.empty() && text.size() <= 4 &&
        text.find_first_not_of("01234567") == std::string_view::npos) {
        uint32_t v = 0;
        for (char c : text)
            v = v * 8 + static_cast<uint32_t>(c - '0');
        return v;
    }
    if (text.empty())
        return std::nullopt;
    // Clauses: [ugoa]* followed by one or more [-+=] with letters from rwxXst
    // or one of u, g, o (the bits that class has now).
    const uint32_t start = perm;
    size_t i = 0;
    while (i <= text.size()) {
        uint32_t who = 0;
        for (; i < text.size() && std::string_view("ugoa").find(text[i]) != std::string_view::npos;
             ++i)
            who |= text[i] == 'u'   ? 04700u
                   : text[i] == 'g' ? 02070u
                   : text[i] == 'o' ? 01007u
                                    : 07777u;
        if (who == 0)
            who = 07777;
        if (i >= text.size() || std::string_view("+-=").find(text[i]) == std::string_view::npos)
            return std::nullopt;
        while (i < text.size() && std::string_view("+-=").find(text[i]) != std::string_view::npos) {
            const char op = text[i++];
            uint32_t bits = 0;
            if (i < text.size() &&
                std::string_view("ugo").find(text[i]) != std::string_view::npos) {
                const uint32_t from = text[i] == 'u'   ? (perm >> 6) & 7
                                      : text[i] == 'g' ? (perm >> 3) & 7
                                                       : perm & 7;
                bits = from << 6 | from << 3 | from;
                ++i;
            } else {
                for (; i < text.size() &&
                       std::string_view("rwxXst").find(text[i]) != std::string_view::npos;
                     ++i) {
                    switch (text[i]) {
                    case 'r':
                        bits |= 0444;
                        break;
                    case 'w':
                        bits |= 0222;
                        break;
                    case 'x':
                        bits |= 0111;
                        break;
                    case 'X':
                        if (isDir || (start & 0111))
                            bits |= 0111;
                        break;
                    case 's':
                        bits |= 06000;
                        break;
                    case 't':
                        bits |= 01000;
                        break;
                    }
                }
            }
            bits &= who;
            if (op == '+')
                perm |= bits;
            else if (op == '-')
                perm &= ~bits;
            else
                perm = (perm & ~who) | bits;
        }
        if (i == text.size())
            return perm;
        if (text[i] != ',')
            return std::nullopt;
        ++i;
        if (i == text.size())
            return std::nullopt;
    }
    return perm;
}

template <typename Fn>
void PathEdits::forEachHolder(Node* n, bool recursive, Fn&& fn) {
    if (recursive)
        forEachPreorder(n, [&](Node* x) { fn(attributeHolder(img_, x)); });
    else
        fn(attributeHolder(img_, n));
}

void PathEdits::changemodes(std::string_view path, std::string_view text, bool recursive) {
    Node* n = require(path);
    if (!applyModeText(text, 0, false))
        throw Error(msg("not a mode: %1", std::string(text)));
    forEachHolder(n, recursive, [&](Node* x) {
        // As GNU chmod -R: symbolic links are left alone.
        TImgEntry& e = x->entry;
        if (!(recursive && e.objType == kTypeSymlink))
            setPermissions(e, *applyModeText(text, e.mode, x->isDirectory()));
    });
    img_.modified = true;
}

std::optional<OwnerIds> parseOwner(std::string_view text) {
    OwnerIds o;
    const size_t colon = text.find(':');
    std::string_view u = text.substr(0, colon);
    std::string_view g =
        colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
    if (!u.empty() && !(o.uid = idvalue(u)))
        return std::nullopt;
    if (!g.empty() && !(o.gid = idvalue(g)))
        return std::nullopt;
    if (!o.uid && !o.gid)
        return std::nullopt;
    return o;
}

void PathEdits::changeowner(std::string_view path, std::string_view text, bool recursive) {
    Node* n = require(path);
    std::optional<OwnerIds> o = parseOwner(text);
    if (!o)
        throw Error(msg("not an owner (UID, UID:GID or :GID): %1", std::string(text)));
    forEachHolder(n, recursive, [&](Node* x) {
        if (o->uid)
            x->entry.uid = *o->uid;
        if (o->gid)
            x->entry.gid = *o->gid;
    });
    img_.modified = true;
}

void PathEdits::settimes(std::string_view path, std::optional<Timestamp> atime,
                         std::optional<Timestamp> mtime) {
    TImgEntry& e = attributeHolder(img_, require(path))->entry;
    if (atime) {
        e.atime = atime->sec;
        e.atimeNs = atime->nsec;
    }
    if (mtime) {
        e.mtime = mtime->sec;
        e.mtimeNs = mtime->nsec;
    }
    img_.modified = true;
}

bool validXattrName(std::string_view name) {
    if (name.size() > 255 || name.find('\0') != std::string_view::npos)
        return false;
    for (std::string_view ns : {"user.", "trusted.", "security.", "system."})
        if (name.size() > ns.size() && name.substr(0, ns.size()) == ns)
            return true;
    return false;
}

void PathEdits::setxattr(std::string_view path, const std::string& name, const std::string& value) {
    if (!validXattrName(name))
        throw Error(msg("not an extended attribute name (user., trusted., security. or "
                        "system. and a name): %1",
                        name));
    TImgEntry& e = attributeHolder(img_, require(path))->entry;
    auto it = std::find_if(e.xattrs.begin(), e.xattrs.end(),
                           [&](const Xattr& x) { return x.name == name; });
    if (it != e.xattrs.end())
        it->value = value;
    else
        e.xattrs.push_back({name, value});
    img_.modified = true;
}

void PathEdits::removexattr(std::string_view path, std::string_view name) {
    TImgEntry& e = attributeHolder(img_, require(path))->entry;
    auto it = std::find_if(e.xattrs.begin(), e.xattrs.end(),
                           [&](const Xattr& x) { return x.name == name; });
    if (it == e.xattrs.end())
        throw Error(msg("%1 has no extended attribute %2", std::string(path), std::string(name)));
    e.xattrs.erase(it);
    img_.modified = true;
}

// One operation, as a run of its own.

Node* lookupPath(Timg& img, std::string_view path) {
    return PathEdits(img).lookup(path);
}

Node* requirePath(Timg& img, std::string_view path) {
    return PathEdits(img).require(path);
}

Node* makedir(Timg& img, std::string_view path, const NewObject& attrs, bool parents) {
    return PathEdits(img).makedir(path, attrs, parents);
}

Node* makefile(Timg& img, std::string_view path, const NewObject& attrs) {
    return PathEdits(img).makefile(path, attrs);
}

Node* makesymlink(Timg& img, std::string_view path, const std::string& target,
                  const NewObject& attrs) {
    return PathEdits(img).makesymlink(path, target, attrs);
}

Node* makehardlink(Timg& img, std::string_view path, std::string_view existing) {
    return PathEdits(img).makehardlink(path, existing);
}

Node* makespecial(Timg& img, std::string_view path, uint32_t typeBits, DevNum rdev,
                  const NewObject& attrs) {
    return PathEdits(img).makespecial(path, typeBits, rdev, attrs);
}

void movepath(Timg& img, std::string_view from, std::string_view to) {
    PathEdits(img).movepath(from, to);
}

size_t removepath(Timg& img, std::string_view path, bool recursive) {
    return PathEdits(img).removepath(path, recursive);
}

void changemodes(Timg& img, std::string_view path, std::string_view text, bool recursive) {
    PathEdits(img).changemodes(path, text, recursive);
}

void changeowner(Timg& img, std::string_view path, std::string_view text, bool recursive) {
    PathEdits(img).changeowner(path, text, recursive);
}

void settimes(Timg& img, std::string_view path, std::optional<Timestamp> atime,
              std::optional<Timestamp> mtime) {
    PathEdits(img).settimes(path, atime, mtime);
}

void setxattr(Timg& img, std::string_view path, const std::string& name, const std::string& value) {
    PathEdits(img).setxattr(path, name, value);
}

void removexattr(Timg& img, std::string_view path, std::string_view name) {
    PathEdits(img).removexattr(path, name);
}

} // namespace korvane
