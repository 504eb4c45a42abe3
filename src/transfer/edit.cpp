#include "edit.h"

#include "model/error.h"
#include "model/texts.h"
#include "model/tree.h"
#include "model/tree_order.h"

#include <algorithm>
#include <charconv>
#include <ctime>
#include <unordered_map>
#include <unordered_set>

namespace korvane {

namespace {

bool validName(std::string_view name) {
    return safeFileName(name) && name.size() <= kMaxNameBytes;
}

// Calls fn(node) for the node of every id that has one, and for everything
// below it when withChildren. Returns whether any node was met.
template <typename Fn>
bool forEachTarget(Timg& img, const std::vector<uint32_t>& ids, bool withChildren, Fn&& fn) {
    bool any = false;
    for (uint32_t id : ids) {
        Node* n = img.nodeFor(id);
        if (!n)
            continue;
        any = true;
        if (withChildren)
            forEachPreorder(n, fn);
        else
            fn(n);
    }
    return any;
}

template <typename Fn>
EditStatus changeId(Timg& img, const std::vector<uint32_t>& ids, std::string_view text,
                    bool withChildren, Fn&& set) {
    std::optional<uint32_t> value = idvalue(text);
    if (!value)
        return EditStatus::kInvalid;
    if (!forEachTarget(img, ids, withChildren, [&](Node* n) { set(n->entry, *value); }))
        return EditStatus::kUnchanged;
    img.modified = true;
    return EditStatus::kDone;
}

} // namespace

std::string_view trimmed(std::string_view text) {
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

std::optional<uint32_t> permissioncode(std::string_view text) {
    std::string_view t = trimmed(text);
    // 0000 is a mode like any other: an object nobody but root may use.
    if (t.empty() || t.size() > 4 || t.find_first_not_of("01234567") != std::string_view::npos)
        return std::nullopt;
    return parsemode(t);
}

std::optional<uint32_t> idvalue(std::string_view text) {
    std::string_view t = trimmed(text);
    if (!t.empty() && t.front() == '+')
        t.remove_prefix(1);
    if (t.empty())
        return std::nullopt;
    uint32_t value = 0;
    auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), value, 10);
    if (ec != std::errc() || end != t.data() + t.size() || value > kMaxId)
        return std::nullopt;
    return value;
}

NewDirResult newdir(Timg& img, uint32_t dirId, const std::string& name) {
    Node* parent = img.nodeFor(dirId);
    if (!parent || !parent->isDirectory())
        throw Error(msg("the folder (object %1) is not in the tree", dirId));
    if (name.empty())
        return {EditStatus::kUnchanged};
    std::string_view wanted = trimmed(name);
    for (auto& c : parent->children)
        if (trimmed(c->text) == wanted)
            return {EditStatus::kExists};
    if (!validName(name))
        return {EditStatus::kInvalid};

    auto node = std::make_unique<Node>();
    node->text = name;
    TImgEntry& e = node->entry;
    e.name = name;
    e.objType = kTypeDirectory;
    e.mode = parsemode("0755");
    const auto now = static_cast<uint32_t>(std::time(nullptr));
    e.atime = e.ctime = e.mtime = now;
    e.dataPos = -1;
    e.objId = img.newobjid();
    node->icon = iconindex("dir");
    Node* added = parent->addChild(std::move(node));
    img.setNode(e.objId, added);
    sortTree(img.root());
    img.modified = true;
    return {EditStatus::kDone, added};
}

namespace {

// Calls fn for every node of the tree outside the doomed subtrees.
template <typename Fn>
void forEachSurvivor(Node* root, const std::unordered_set<const Node*>& doomed, Fn&& fn) {
    std::vector<Node*> stack{root};
    while (!stack.empty()) {
        Node* n = stack.back();
        stack.pop_back();
        if (doomed.count(n))
            continue;
        fn(n);
        for (auto it = n->children.rbegin(); it != n->children.rend(); ++it)
            stack.push_back(it->get());
    }
}

// A file goes with its last name: when a removed object has hard links that
// stay, the first of them (in tree order) takes over its contents and
// attributes, and its id, so that the other links still lead to it.
void passOnLinkedFiles(Timg& img, std::unordered_map<uint32_t, TImgEntry>& orphans,
                       const std::unordered_set<const Node*>& doomed) {
    forEachSurvivor(img.root(), doomed, [&](Node* n) {
        if (n->entry.objType != kTypeHardlink)
            return;
        auto it = orphans.find(n->entry.linkInfo);
        if (it == orphans.end())
            return;
        TImgEntry e = std::move(it->second);
        orphans.erase(it);
        if (img.nodeFor(n->entry.objId) == n)
            img.setNode(n->entry.objId, nullptr);
        e.name = n->entry.name;
        e.picIndex = -1;
        n->entry = std::move(e);
        n->icon = iconFor(n->entry, n->text);
        img.setNode(n->entry.objId, n);
    });
}

} // namespace

size_t deletenodes(Timg& img, const std::vector<uint32_t>& ids) {
    std::unordered_set<const Node*> doomed;
    for (uint32_t id : ids)
        if (Node* n = img.nodeFor(id); n && n->parent)
            doomed.insert(n);
    // The objects that hard links outside the removed subtrees lead to.
    std::unordered_set<uint32_t> linked;
    forEachSurvivor(img.root(), doomed, [&](Node* n) {
        if (n->entry.objType == kTypeHardlink)
            linked.insert(n->entry.linkInfo);
    });
    // Each folder's children are erased in one pass, so deleting thousands of
    // siblings costs no more than walking them once.
    std::unordered_set<Node*> parents;
    std::unordered_map<uint32_t, TImgEntry> orphans;
    size_t removed = 0;
    for (const Node* n : doomed) {
        bool underDoomed = false;
        for (const Node* a = n->parent; a && !underDoomed; a = a->parent)
            underDoomed = doomed.count(a) != 0;
        if (underDoomed)
            continue; // goes with its doomed ancestor
        forEachPreorder(const_cast<Node*>(n), [&](Node* x) {
            const uint32_t id = x->entry.objId;
            if (img.nodeFor(id) == x) {
                img.setNode(id, nullptr);
                if (linked.count(id) && x->entry.objType != kTypeHardlink && !x->isDirectory())
                    orphans.emplace(id, x->entry);
            }
            ++removed;
        });
        parents.insert(n->parent);
    }
    for (Node* p : parents)
        std::erase_if(p->children,
                      [&](const std::unique_ptr<Node>& c) { return doomed.count(c.get()) != 0; });
    if (!orphans.empty())
        passOnLinkedFiles(img, orphans, {});
    if (removed > 0)
        img.modified = true;
    return removed;
}

EditStatus renamenode(Timg& img, uint32_t id, const std::string& name) {
    Node* n = img.nodeFor(id);
    if (!n || !n->parent)
        return EditStatus::kInvalid;
    if (name.empty() || name == n->text)
        return EditStatus::kUnchanged;
    for (auto& c : n->parent->children)
        if (c.get() != n && c->text == name)
            return EditStatus::kExists;
    if (!validName(name))
        return EditStatus::kInvalid;
    n->text = name;
    n->entry.name = name;
    n->icon = iconFor(n->entry, n->text);
    img.modified = true;
    return EditStatus::kDone;
}

EditStatus changemode(Timg& img, const std::vector<uint32_t>& ids, std::string_view text,
                      bool withChildren) {
    if (text.empty())
        return EditStatus::kUnchanged;
    std::optional<uint32_t> bits = permissioncode(text);
    if (!bits)
        return EditStatus::kInvalid;
    bool any = forEachTarget(img, ids, withChildren, [&](Node* n) {
        n->entry.mode = (n->entry.mode & ~kModePermissionMask) | *bits;
    });
    if (!any)
        return EditStatus::kUnchanged;
    img.modified = true;
    return EditStatus::kDone;
}

EditStatus changeuid(Timg& img, const std::vector<uint32_t>& ids, std::string_view text,
                     bool withChildren) {
    return changeId(img, ids, text, withChildren, [](TImgEntry& e, uint32_t v) { e.uid = v; });
}

EditStatus changegid(Timg& img, const std::vector<uint32_t>& ids, std::string_view text,
                     bool withChildren) {
    return changeId(img, ids, text, withChildren, [](TImgEntry& e, uint32_t v) { e.gid = v; });
}

} // namespace korvane

// ---- Operations on paths ----------------------------------------------------

namespace korvane {

namespace {

// The node an attribute change through n reaches: a hard link's file, or n.
Node* attributeHolder(Timg& img, Node* n) {
    const Node* t = hardlinkTarget(img, n);
    return t ? const_cast<Node*>(t) : n;
}

Node* childNamed(Node* dir, std::string_view name) {
    for (auto& c : dir->children)
        if (c->text == name)
            return c.get();
    return nullptr;
}

std::string joinPath(const std::vector<std::string>& parts, size_t count) {
    std::string p;
    for (size_t i = 0; i < count; ++i)
        p += "/" + parts[i];
    return p.empty() ? "/" : p;
}

// Where a new object at path goes: its folder, which must exist, and its
// name, which must be free and usable.
struct Place {
    Node* dir = nullptr;
    std::string name;
};

Place placeFor(Timg& img, std::string_view path) {
    std::vector<std::string> parts = splitImagePath(path);
    if (parts.empty())
        throw Error(msg("%1 exists", "/"));
    std::string name = std::move(parts.back());
    parts.pop_back();
    Node* dir = requirePath(img, joinPath(parts, parts.size()));
    if (!dir->isDirectory())
        throw Error(msg("%1 is not a folder", joinPath(parts, parts.size())));
    parts.push_back(name);
    if (childNamed(dir, name))
        throw Error(msg("%1 exists", joinPath(parts, parts.size())));
    if (!validName(name))
        throw Error(
            msg("%1 cannot be used as a name (at most %2 bytes, no \"/\")", name, kMaxNameBytes));
    return {dir, std::move(name)};
}

// As placeFor; when path names a folder, the new object goes into it under
// name instead (ln, mv).
Place placeInto(Timg& img, std::string_view path, const std::string& name) {
    Node* n = lookupPath(img, path);
    if (n && n->isDirectory()) {
        std::string inside = std::string(path) + "/" + name;
        return placeFor(img, inside);
    }
    return placeFor(img, path);
}

TImgEntry entryOf(const Place& at, uint8_t type, uint32_t mode, const NewObject& a) {
    TImgEntry e;
    e.name = at.name;
    e.objType = type;
    e.mode = mode;
    e.uid = a.uid;
    e.gid = a.gid;
    e.atime = e.ctime = e.mtime = a.time.sec;
    e.atimeNs = e.ctimeNs = e.mtimeNs = a.time.nsec;
    e.dataPos = -1;
    return e;
}

Node* attach(Timg& img, Node* dir, TImgEntry e) {
    e.objId = img.newobjid();
    auto node = std::make_unique<Node>();
    node->text = e.name;
    node->icon = iconFor(e, node->text);
    node->entry = std::move(e);
    Node* added = dir->addChild(std::move(node));
    img.setNode(added->entry.objId, added);
    sortChildren(dir);
    img.modified = true;
    return added;
}

// The last name of a path as ln takes it for a link made in a folder.
std::string lastName(std::string_view path) {
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

template <typename Fn>
void forEachHolder(Timg& img, Node* n, bool recursive, Fn&& fn) {
    if (recursive)
        forEachPreorder(n, [&](Node* x) { fn(attributeHolder(img, x)); });
    else
        fn(attributeHolder(img, n));
}

} // namespace

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

Node* lookupPath(Timg& img, std::string_view path) {
    Node* n = img.root();
    for (const std::string& part : splitImagePath(path)) {
        if (!n || !n->isDirectory())
            return nullptr;
        n = childNamed(n, part);
    }
    return n;
}

Node* requirePath(Timg& img, std::string_view path) {
    Node* n = lookupPath(img, path);
    if (!n)
        throw Error(msg("no such file or folder in the image: %1", std::string(path)));
    return n;
}

Node* makedir(Timg& img, std::string_view path, const NewObject& attrs, bool parents) {
    const std::vector<std::string> parts = splitImagePath(path);
    Node* dir = img.root();
    if (parts.empty() && !parents)
        throw Error(msg("%1 exists", "/"));
    for (size_t i = 0; i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        if (Node* c = childNamed(dir, parts[i])) {
            if (!c->isDirectory())
                throw Error(msg("%1 is not a folder", joinPath(parts, i + 1)));
            if (last && !parents)
                throw Error(msg("%1 exists", joinPath(parts, i + 1)));
            dir = c;
            continue;
        }
        if (!last && !parents)
            throw Error(msg("no such folder in the image: %1", joinPath(parts, i + 1)));
        Place at = placeFor(img, joinPath(parts, i + 1));
        NewObject a = attrs;
        if (!last)
            a.perm = 0755;
        TImgEntry e = entryOf(at, kTypeDirectory, kModeDirectory | (a.perm & 07777), a);
        e.linkInfo = 1;
        dir = attach(img, at.dir, std::move(e));
    }
    return dir;
}

Node* makefile(Timg& img, std::string_view path, const NewObject& attrs) {
    Place at = placeFor(img, path);
    return attach(img, at.dir, entryOf(at, kTypeFile, kModeFile | (attrs.perm & 07777), attrs));
}

Node* makesymlink(Timg& img, std::string_view path, const std::string& target,
                  const NewObject& attrs) {
    if (target.empty())
        throw Error(msg("a symbolic link needs a target: %1", std::string(path)));
    Place at = placeInto(img, path, lastName(target));
    TImgEntry e = entryOf(at, kTypeSymlink, kModeSymlink | 0777, attrs);
    e.alias = target;
    e.size = target.size();
    return attach(img, at.dir, std::move(e));
}

Node* makehardlink(Timg& img, std::string_view path, std::string_view existing) {
    Node* named = requirePath(img, existing);
    const Node* target = hardlinkTarget(img, named);
    if (!target)
        throw Error(msg("%1 is a hard link to nothing", std::string(existing)));
    if (target->isDirectory())
        throw Error(msg("%1 is a folder: folders cannot have hard links", std::string(existing)));
    Place at = placeInto(img, path, named->text);
    TImgEntry e = target->entry;
    e.name = at.name;
    e.objType = kTypeHardlink;
    e.mode = fileTypeBits(target->entry) | (target->entry.mode & kModePermissionMask);
    e.size = 0;
    e.dataPos = -1;
    e.alias.clear();
    e.xattrs.clear();
    e.picIndex = -1;
    e.linkInfo = target->entry.objId;
    return attach(img, at.dir, std::move(e));
}

Node* makespecial(Timg& img, std::string_view path, uint32_t typeBits, DevNum rdev,
                  const NewObject& attrs) {
    if (typeBits != kModeCharDevice && typeBits != kModeBlockDevice && typeBits != kModeFifo &&
        typeBits != kModeSocket)
        throw Error(msg("not a kind of special file: %1", std::string(path)));
    const bool device = typeBits == kModeCharDevice || typeBits == kModeBlockDevice;
    if (device && !fitsNewDev(rdev))
        throw Error(
            msg("device number %1:%2 is too large (at most 4095:1048575)", rdev.major, rdev.minor));
    Place at = placeFor(img, path);
    TImgEntry e = entryOf(at, objTypeForMode(typeBits), typeBits | (attrs.perm & 07777), attrs);
    if (device)
        e.rdev = rdev;
    return attach(img, at.dir, std::move(e));
}

void movepath(Timg& img, std::string_view from, std::string_view to) {
    Node* n = requirePath(img, from);
    if (!n->parent)
        throw Error("the root folder cannot be moved");
    Node* dest = lookupPath(img, to);
    if (dest == n)
        return;
    Place at = placeInto(img, to, n->text);
    for (const Node* a = at.dir; a; a = a->parent)
        if (a == n)
            throw Error(msg("%1 cannot be moved into itself", std::string(from)));
    Node* oldDir = n->parent;
    std::unique_ptr<Node> moved = oldDir->detach(n);
    moved->text = moved->entry.name = at.name;
    moved->icon = iconFor(moved->entry, moved->text);
    at.dir->addChild(std::move(moved));
    sortChildren(at.dir);
    img.modified = true;
}

size_t removepath(Timg& img, std::string_view path, bool recursive) {
    Node* n = requirePath(img, path);
    if (!n->parent)
        throw Error("the root folder cannot be removed");
    if (n->isDirectory() && !recursive)
        throw Error(msg("%1 is a folder", std::string(path)));
    return deletenodes(img, {n->entry.objId});
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

void changemodes(Timg& img, std::string_view path, std::string_view text, bool recursive) {
    Node* n = requirePath(img, path);
    if (!applyModeText(text, 0, false))
        throw Error(msg("not a mode: %1", std::string(text)));
    forEachHolder(img, n, recursive, [&](Node* x) {
        TImgEntry& e = x->entry;
        e.mode = (e.mode & ~kModePermissionMask) | *applyModeText(text, e.mode, x->isDirectory());
    });
    img.modified = true;
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

void changeowner(Timg& img, std::string_view path, std::string_view text, bool recursive) {
    Node* n = requirePath(img, path);
    std::optional<OwnerIds> o = parseOwner(text);
    if (!o)
        throw Error(msg("not an owner (UID, UID:GID or :GID): %1", std::string(text)));
    forEachHolder(img, n, recursive, [&](Node* x) {
        if (o->uid)
            x->entry.uid = *o->uid;
        if (o->gid)
            x->entry.gid = *o->gid;
    });
    img.modified = true;
}

void settimes(Timg& img, std::string_view path, std::optional<Timestamp> atime,
              std::optional<Timestamp> mtime) {
    TImgEntry& e = attributeHolder(img, requirePath(img, path))->entry;
    if (atime) {
        e.atime = atime->sec;
        e.atimeNs = atime->nsec;
    }
    if (mtime) {
        e.mtime = mtime->sec;
        e.mtimeNs = mtime->nsec;
    }
    img.modified = true;
}

bool validXattrName(std::string_view name) {
    if (name.size() > 255 || name.find('\0') != std::string_view::npos)
        return false;
    for (std::string_view ns : {"user.", "trusted.", "security.", "system."})
        if (name.size() > ns.size() && name.substr(0, ns.size()) == ns)
            return true;
    return false;
}

void setxattr(Timg& img, std::string_view path, const std::string& name, const std::string& value) {
    if (!validXattrName(name))
        throw Error(msg("not an extended attribute name (user., trusted., security. or "
                        "system. and a name): %1",
                        name));
    TImgEntry& e = attributeHolder(img, requirePath(img, path))->entry;
    auto it = std::find_if(e.xattrs.begin(), e.xattrs.end(),
                           [&](const Xattr& x) { return x.name == name; });
    if (it != e.xattrs.end())
        it->value = value;
    else
        e.xattrs.push_back({name, value});
    img.modified = true;
}

void removexattr(Timg& img, std::string_view path, std::string_view name) {
    TImgEntry& e = attributeHolder(img, requirePath(img, path))->entry;
    auto it = std::find_if(e.xattrs.begin(), e.xattrs.end(),
                           [&](const Xattr& x) { return x.name == name; });
    if (it == e.xattrs.end())
        throw Error(msg("%1 has no extended attribute %2", std::string(path), std::string(name)));
    e.xattrs.erase(it);
    img.modified = true;
}

} // namespace korvane
