#include "edit.h"

#include "model/error.h"
#include "model/texts.h"
#include "model/tree.h"
#include "model/tree_order.h"

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
    if (t.size() > 4)
        return std::nullopt;
    uint32_t value = parsemode(t);
    if (value == 0)
        return std::nullopt;
    return value;
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
        throw Error("the folder (object " + std::to_string(dirId) + ") is not in the tree");
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
