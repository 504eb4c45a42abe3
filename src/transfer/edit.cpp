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

bool validName(std::string_view name) {
    return safeFileName(name) && name.size() <= kMaxNameBytes;
}

Node* attributeHolder(Timg& img, Node* n) {
    const Node* t = hardlinkTarget(img, n);
    return t ? const_cast<Node*>(t) : n;
}

namespace {

// Calls fn(node) for the node holding the attributes (see attributeHolder)
// of every id that has a node, and of everything below it when withChildren.
// Returns whether any node was met.
template <typename Fn>
bool forEachTarget(Timg& img, const std::vector<uint32_t>& ids, bool withChildren, Fn&& fn) {
    bool any = false;
    for (uint32_t id : ids) {
        Node* n = img.nodeFor(id);
        if (!n)
            continue;
        any = true;
        if (withChildren)
            forEachPreorder(n, [&](Node* x) { fn(attributeHolder(img, x)); });
        else
            fn(attributeHolder(img, n));
    }
    return any;
}

// The entries of a POSIX ACL in the form Linux hands out as the attribute
// system.posix_acl_access: a 4-byte version (2), then 8 bytes an entry: tag,
// permissions (16 bits each) and an id (32 bits), little-endian.
constexpr uint32_t kAclVersion = 2;
constexpr uint16_t kAclUserObj = 0x01;
constexpr uint16_t kAclGroupObj = 0x04;
constexpr uint16_t kAclMask = 0x10;
constexpr uint16_t kAclOther = 0x20;

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

void setPermissions(TImgEntry& e, uint32_t perm) {
    perm &= kModePermissionMask;
    e.mode = (e.mode & ~kModePermissionMask) | perm;
    auto acl = std::find_if(e.xattrs.begin(), e.xattrs.end(),
                            [](const Xattr& x) { return x.name == "system.posix_acl_access"; });
    if (acl == e.xattrs.end())
        return;
    std::string& v = acl->value;
    auto u16 = [&](size_t at) {
        return static_cast<uint16_t>(static_cast<uint8_t>(v[at]) | static_cast<uint8_t>(v[at + 1])
                                                                       << 8);
    };
    if (v.size() < 4 || (v.size() - 4) % 8 != 0 || u16(0) != kAclVersion || u16(2) != 0)
        return; // not an ACL as Linux gives it: left as it is
    bool mask = false;
    for (size_t at = 4; at < v.size(); at += 8)
        mask = mask || u16(at) == kAclMask;
    // As chmod(2) does: the owner, the mask (the group where there is no
    // mask) and the others take the new bits; named entries keep theirs.
    for (size_t at = 4; at < v.size(); at += 8) {
        const uint16_t tag = u16(at);
        int bits = -1;
        if (tag == kAclUserObj)
            bits = static_cast<int>(perm >> 6) & 7;
        else if (tag == kAclMask || (tag == kAclGroupObj && !mask))
            bits = static_cast<int>(perm >> 3) & 7;
        else if (tag == kAclOther)
            bits = static_cast<int>(perm) & 7;
        if (bits >= 0) {
            v[at + 2] = static_cast<char>(bits);
            v[at + 3] = 0;
        }
    }
}

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
    sortChildren(parent);
    img.modified = true;
    return {EditStatus::kDone, added};
}

namespace {

// Whether a comes before b in tree order (pre-order, children in their
// folder's order); both in one tree.
bool treeOrderBefore(const Node* a, const Node* b) {
    std::vector<const Node*> ca, cb;
    for (const Node* x = a; x; x = x->parent)
        ca.push_back(x);
    for (const Node* x = b; x; x = x->parent)
        cb.push_back(x);
    auto ia = ca.rbegin(), ib = cb.rbegin();
    while (ia != ca.rend() && ib != cb.rend() && *ia == *ib)
        ++ia, ++ib;
    if (ia == ca.rend())
        return ib != cb.rend(); // a is above b
    if (ib == cb.rend())
        return false;
    for (const auto& c : (*ia)->parent->children) {
        if (c.get() == *ia)
            return true;
        if (c.get() == *ib)
            return false;
    }
    return false;
}

} // namespace

LinkIndex linksOf(Node* root) {
    LinkIndex links;
    forEachPreorder(root, [&](Node* n) {
        if (n->entry.objType == kTypeHardlink)
            links.emplace(n->entry.linkInfo, n);
    });
    return links;
}

size_t removeSubtrees(Timg& img, const std::vector<Node*>& tops, LinkIndex& links,
                      const std::function<void(Node*)>& removedFolder) {
    std::unordered_set<const Node*> removed;
    for (Node* top : tops)
        forEachPreorder(top, [&](Node* x) {
            removed.insert(x);
            if (x->isDirectory() && removedFolder)
                removedFolder(x);
        });
    // A file goes with its last name: a removed file whose hard links stay
    // lives on in the first of them (see below).
    std::unordered_map<uint32_t, TImgEntry> orphans;
    for (const Node* x : removed) {
        const TImgEntry& e = x->entry;
        if (e.objType == kTypeHardlink) {
            auto [b, end] = links.equal_range(e.linkInfo);
            for (auto it = b; it != end; ++it)
                if (it->second == x) {
                    links.erase(it);
                    break;
                }
        }
        if (img.nodeFor(e.objId) != x)
            continue;
        img.setNode(e.objId, nullptr);
        if (e.objType == kTypeHardlink || x->isDirectory())
            continue;
        auto [b, end] = links.equal_range(e.objId);
        if (std::any_of(b, end, [&](const auto& l) { return !removed.count(l.second); }))
            orphans.emplace(e.objId, e);
    }
    // Each folder's children are erased in one pass, so deleting thousands of
    // siblings costs no more than walking them once.
    std::unordered_map<Node*, std::unordered_set<const Node*>> byParent;
    for (Node* top : tops)
        byParent[top->parent].insert(top);
    for (auto& [parent, gone] : byParent) {
        if (gone.size() == 1) { // one object removed (rm): no look-ups
            parent->detach(*gone.begin());
            continue;
        }
        const auto& goneHere = gone; // a lambda may not capture a structured binding (clang)
        std::erase_if(parent->children, [&goneHere](const std::unique_ptr<Node>& c) {
            return goneHere.count(c.get()) != 0;
        });
    }
    // The first remaining link (in tree order) takes over the file's contents,
    // attributes and id, so that the other links still lead to it.
    for (auto& [id, entry] : orphans) {
        auto [b, end] = links.equal_range(id);
        auto first = b;
        for (auto it = b; it != end; ++it)
            if (treeOrderBefore(it->second, first->second))
                first = it;
        Node* n = first->second;
        links.erase(first);
        if (img.nodeFor(n->entry.objId) == n)
            img.setNode(n->entry.objId, nullptr);
        entry.name = n->entry.name;
        entry.picIndex = -1;
        n->entry = std::move(entry);
        n->icon = iconFor(n->entry, n->text);
        img.setNode(n->entry.objId, n);
    }
    if (!removed.empty())
        img.modified = true;
    return removed.size();
}

size_t deletenodes(Timg& img, const std::vector<uint32_t>& ids) {
    std::unordered_set<const Node*> doomed;
    for (uint32_t id : ids)
        if (Node* n = img.nodeFor(id); n && n->parent)
            doomed.insert(n);
    std::vector<Node*> tops;
    for (const Node* n : doomed) {
        bool underDoomed = false;
        for (const Node* a = n->parent; a && !underDoomed; a = a->parent)
            underDoomed = doomed.count(a) != 0;
        if (!underDoomed) // else it goes with its doomed ancestor
            tops.push_back(const_cast<Node*>(n));
    }
    if (tops.empty())
        return 0;
    LinkIndex links = linksOf(img.root());
    return removeSubtrees(img, tops, links, {});
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
        // As chmod -R: the symbolic links of a subtree are left alone.
        if (!(withChildren && n->entry.objType == kTypeSymlink))
            setPermissions(n->entry, *bits);
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
