#include "undo.h"

#include "model/tree.h"
#include "model/tree_order.h"

#include <algorithm>
#include <unordered_set>

namespace korvane {

namespace {

constexpr size_t kNever = static_cast<size_t>(-1);

// An object's record as an edit found it.
struct Saved {
    uint32_t id = 0;
    std::string text;
    TImgEntry entry;
    int32_t icon = 0;
};

Saved save(const Node& n) {
    return {n.entry.objId, n.text, n.entry, n.icon};
}

void restore(Timg& img, const Saved& s) {
    Node* n = img.nodeFor(s.id);
    if (!n)
        return;
    const int32_t pic = n->entry.picIndex;
    n->text = s.text;
    n->entry = s.entry;
    n->entry.picIndex = pic;
    n->icon = s.icon;
}

bool sameRecord(const Node& n, const Saved& s) {
    const TImgEntry& a = n.entry;
    const TImgEntry& b = s.entry;
    return n.text == s.text && a.name == b.name && a.mode == b.mode && a.uid == b.uid &&
           a.gid == b.gid && a.objType == b.objType && a.size == b.size && a.dataPos == b.dataPos &&
           a.linkInfo == b.linkInfo && a.mtime == b.mtime && a.ctime == b.ctime &&
           a.alias == b.alias &&
           std::equal(a.xattrs.begin(), a.xattrs.end(), b.xattrs.begin(), b.xattrs.end());
}

Node* folderNamed(Timg& img, uint32_t id) {
    Node* root = img.root();
    if (root && root->entry.objId == id)
        return root;
    return img.nodeFor(id);
}

size_t indexIn(const Node& parent, const Node* child) {
    for (size_t i = 0; i < parent.children.size(); ++i)
        if (parent.children[i].get() == child)
            return i;
    return parent.children.size();
}

// A subtree out of the tree: where it stood, and which of its nodes the node
// table named by their ids (they are named again when it goes back).
struct Placed {
    uint32_t parentId = 0;
    size_t index = 0;
    uint32_t id = 0;
    std::unique_ptr<Node> node; // null while it is in the tree
    std::vector<Node*> owners;
};

// Takes the subtree of n out of the tree, clearing the node table's slots
// that named its nodes.
void detach(Timg& img, Node* n, Placed& p) {
    p.owners.clear();
    forEachPreorder(n, [&](Node* x) {
        if (img.nodeFor(x->entry.objId) == x) {
            p.owners.push_back(x);
            img.setNode(x->entry.objId, nullptr);
        }
    });
    Node* parent = n->parent;
    p.index = indexIn(*parent, n);
    p.node = parent->detach(n);
}

// Puts a subtree taken out back where it stood.
void attach(Timg& img, Placed& p) {
    Node* parent = folderNamed(img, p.parentId);
    if (!parent || !p.node)
        return;
    p.node->parent = parent;
    const auto at = static_cast<std::ptrdiff_t>(std::min(p.index, parent->children.size()));
    parent->children.insert(parent->children.begin() + at, std::move(p.node));
    for (Node* x : p.owners)
        img.setNode(x->entry.objId, x);
}

// A copy of the subtree of n; owners gets the copies of the nodes the node
// table names. Iterative: trees can be deep.
std::unique_ptr<Node> clone(const Timg& img, const Node& n, std::vector<Node*>& owners) {
    auto copyOf = [&](const Node& from) {
        auto to = std::make_unique<Node>();
        to->text = from.text;
        to->entry = from.entry;
        to->icon = from.icon;
        if (img.nodeFor(from.entry.objId) == &from)
            owners.push_back(to.get());
        return to;
    };
    std::unique_ptr<Node> top = copyOf(n);
    std::vector<std::pair<const Node*, Node*>> stack{{&n, top.get()}};
    while (!stack.empty()) {
        auto [from, to] = stack.back();
        stack.pop_back();
        for (const auto& child : from->children) {
            Node* copy = to->addChild(copyOf(*child));
            stack.push_back({child.get(), copy});
        }
    }
    return top;
}

} // namespace

struct EditJournal::Step {
    Place place;
    virtual ~Step() = default;
    virtual void undo(Timg& img) = 0;
    virtual void redo(Timg& img) = 0;
};

namespace {

using Step = EditJournal::Step;

// A rename or a change of permissions or owners: the records it changed as
// they were. Put back by running the edit again on the same tree.
struct AttributeStep : Step {
    std::vector<Saved> before;
    std::function<EditStatus(Timg&)> edit;

    void undo(Timg& img) override {
        for (auto it = before.rbegin(); it != before.rend(); ++it)
            restore(img, *it);
    }
    void redo(Timg& img) override { edit(img); }
};

// New folders and added files: the subtrees made (out of the tree while the
// step is undone) and the records of the files they replaced.
struct InsertStep : Step {
    std::vector<Placed> made; // by parent and index, ascending
    std::vector<Saved> replacedBefore;
    std::vector<Saved> replacedAfter;

    void undo(Timg& img) override {
        for (auto it = made.rbegin(); it != made.rend(); ++it)
            if (Node* n = img.nodeFor(it->id); n && n->parent)
                detach(img, n, *it);
        for (const Saved& s : replacedBefore)
            restore(img, s);
    }
    void redo(Timg& img) override {
        for (Placed& p : made)
            attach(img, p);
        for (const Saved& s : replacedAfter)
            restore(img, s);
    }
};

// A deletion: copies of the subtrees removed, and the hard links that took
// over a removed file (its contents, attributes and id) as they were.
struct RemoveStep : Step {
    struct Heir {
        uint32_t nowId = 0; // the id it took over
        Saved was;
        bool ownedSlot = false;
    };
    std::vector<uint32_t> ids;
    std::vector<Placed> removed; // by parent and index, ascending
    std::vector<Heir> heirs;

    void undo(Timg& img) override {
        for (const Heir& h : heirs) {
            Node* n = img.nodeFor(h.nowId);
            if (!n)
                continue;
            const int32_t pic = n->entry.picIndex;
            n->entry = h.was.entry;
            n->entry.picIndex = pic;
            n->icon = h.was.icon;
            img.setNode(h.nowId, nullptr);
            if (h.ownedSlot)
                img.setNode(h.was.id, n);
        }
        for (Placed& p : removed)
            attach(img, p);
    }
    void redo(Timg& img) override;
};

// Deletes ids from img as deletenodes does, keeping what undo needs.
std::unique_ptr<RemoveStep> removeKept(Timg& img, const std::vector<uint32_t>& ids, size_t& count) {
    auto step = std::make_unique<RemoveStep>();
    step->ids = ids;
    std::unordered_set<const Node*> doomed;
    for (uint32_t id : ids)
        if (Node* n = img.nodeFor(id); n && n->parent)
            doomed.insert(n);
    std::unordered_set<uint32_t> files; // ids of the files that go
    for (const Node* n : doomed) {
        bool below = false;
        for (const Node* a = n->parent; a && !below; a = a->parent)
            below = doomed.count(a) != 0;
        if (below)
            continue;
        Placed p;
        p.parentId = n->parent->entry.objId;
        p.index = indexIn(*n->parent, n);
        p.id = n->entry.objId;
        p.node = clone(img, *n, p.owners);
        for (Node* x : p.owners)
            files.insert(x->entry.objId);
        step->removed.push_back(std::move(p));
    }
    std::sort(step->removed.begin(), step->removed.end(), [](const Placed& a, const Placed& b) {
        return a.parentId != b.parentId ? a.parentId < b.parentId : a.index < b.index;
    });
    // Hard links that stay and lead to a file that goes may take it over.
    std::vector<std::pair<Node*, RemoveStep::Heir>> links;
    forEachPreorder(img.root(), [&](Node* n) {
        if (n->entry.objType == kTypeHardlink && files.count(n->entry.linkInfo)) {
            bool inside = false;
            for (const Node* a = n; a && !inside; a = a->parent)
                inside = doomed.count(a) != 0;
            if (!inside)
                links.push_back({n, {0, save(*n), img.nodeFor(n->entry.objId) == n}});
        }
    });
    count = korvane::deletenodes(img, ids);
    for (auto& [n, heir] : links)
        if (n->entry.objId != heir.was.id) {
            heir.nowId = n->entry.objId;
            step->heirs.push_back(std::move(heir));
        }
    return step;
}

void RemoveStep::redo(Timg& img) {
    size_t count = 0;
    std::unique_ptr<RemoveStep> again = removeKept(img, ids, count);
    removed = std::move(again->removed);
    heirs = std::move(again->heirs);
}

// The records an attribute change may touch: the objects, the files their
// hard links stand for, and with withChildren everything below them.
std::vector<Saved> candidates(Timg& img, const std::vector<uint32_t>& ids, bool withChildren) {
    std::vector<Saved> out;
    std::unordered_set<const Node*> seen;
    auto take = [&](const Node* n) {
        if (n && img.nodeFor(n->entry.objId) == n && seen.insert(n).second)
            out.push_back(save(*n));
    };
    for (uint32_t id : ids) {
        Node* n = img.nodeFor(id);
        if (!n)
            continue;
        auto one = [&](Node* x) {
            take(x);
            take(hardlinkTarget(img, x));
        };
        if (withChildren)
            forEachPreorder(n, one);
        else
            one(n);
    }
    return out;
}

} // namespace

EditJournal::EditJournal(const Timg& img) : saved_(img.modified ? kNever : 0) {}

EditJournal::~EditJournal() = default;

void EditJournal::settle(Timg& img) {
    img.modified = applied_ != saved_;
}

namespace {

// Steps made as one.
struct GroupStep : Step {
    std::vector<std::unique_ptr<Step>> parts;

    void undo(Timg& img) override {
        for (auto it = parts.rbegin(); it != parts.rend(); ++it)
            (*it)->undo(img);
    }
    void redo(Timg& img) override {
        for (auto& p : parts)
            p->redo(img);
    }
};

} // namespace

void EditJournal::beginGroup() {
    grouping_ = true;
}

void EditJournal::endGroup(Timg& img) {
    grouping_ = false;
    if (group_.empty())
        return;
    auto step = std::make_unique<GroupStep>();
    step->place = group_.front()->place;
    step->parts = std::move(group_);
    group_.clear();
    push(img, std::move(step));
}

void EditJournal::push(Timg& img, std::unique_ptr<Step> step) {
    if (grouping_) {
        group_.push_back(std::move(step));
        img.modified = true;
        return;
    }
    steps_.resize(applied_);
    if (saved_ != kNever && saved_ > applied_)
        saved_ = kNever;
    steps_.push_back(std::move(step));
    applied_ = steps_.size();
    settle(img);
}

std::optional<EditJournal::Place> EditJournal::undo(Timg& img) {
    if (!canUndo())
        return std::nullopt;
    Step& step = *steps_[--applied_];
    step.undo(img);
    settle(img);
    return step.place;
}

std::optional<EditJournal::Place> EditJournal::redo(Timg& img) {
    if (!canRedo())
        return std::nullopt;
    Step& step = *steps_[applied_++];
    step.redo(img);
    settle(img);
    return step.place;
}

void EditJournal::forget() {
    steps_.clear();
    applied_ = 0;
    saved_ = 0;
}

NewDirResult EditJournal::newdir(Timg& img, uint32_t dirId, const std::string& name) {
    NewDirResult r = korvane::newdir(img, dirId, name);
    if (r.status != EditStatus::kDone)
        return r;
    auto step = std::make_unique<InsertStep>();
    step->place = {dirId, r.node->entry.objId};
    Placed p;
    p.parentId = dirId;
    p.id = r.node->entry.objId;
    step->made.push_back(std::move(p));
    push(img, std::move(step));
    return r;
}

size_t EditJournal::deletenodes(Timg& img, const std::vector<uint32_t>& ids) {
    Place place;
    if (!ids.empty())
        if (const Node* n = img.nodeFor(ids.front()); n && n->parent)
            place = {n->parent->entry.objId, n->entry.objId};
    size_t count = 0;
    std::unique_ptr<RemoveStep> step = removeKept(img, ids, count);
    step->place = place;
    if (count > 0)
        push(img, std::move(step));
    return count;
}

EditStatus EditJournal::attributes(Timg& img, const std::vector<uint32_t>& ids, bool withChildren,
                                   Place place, std::function<EditStatus(Timg&)> edit) {
    std::vector<Saved> before = candidates(img, ids, withChildren);
    const EditStatus status = edit(img);
    if (status != EditStatus::kDone)
        return status;
    auto step = std::make_unique<AttributeStep>();
    for (Saved& s : before)
        if (const Node* n = img.nodeFor(s.id); n && !sameRecord(*n, s))
            step->before.push_back(std::move(s));
    step->place = place;
    step->edit = std::move(edit);
    push(img, std::move(step));
    return status;
}

namespace {

EditJournal::Place placeOf(const Timg& img, const std::vector<uint32_t>& ids) {
    if (ids.empty())
        return {};
    const Node* n = img.nodeFor(ids.front());
    if (!n || !n->parent)
        return {n ? n->entry.objId : 0, 0};
    return {n->parent->entry.objId, n->entry.objId};
}

} // namespace

EditStatus EditJournal::renamenode(Timg& img, uint32_t id, const std::string& name) {
    return attributes(img, {id}, false, placeOf(img, {id}),
                      [id, name](Timg& i) { return korvane::renamenode(i, id, name); });
}

EditStatus EditJournal::changemode(Timg& img, const std::vector<uint32_t>& ids,
                                   std::string_view text, bool withChildren) {
    return attributes(img, ids, withChildren, placeOf(img, ids),
                      [ids, t = std::string(text), withChildren](Timg& i) {
                          return korvane::changemode(i, ids, t, withChildren);
                      });
}

EditStatus EditJournal::changeuid(Timg& img, const std::vector<uint32_t>& ids,
                                  std::string_view text, bool withChildren) {
    return attributes(img, ids, withChildren, placeOf(img, ids),
                      [ids, t = std::string(text), withChildren](Timg& i) {
                          return korvane::changeuid(i, ids, t, withChildren);
                      });
}

EditStatus EditJournal::changegid(Timg& img, const std::vector<uint32_t>& ids,
                                  std::string_view text, bool withChildren) {
    return attributes(img, ids, withChildren, placeOf(img, ids),
                      [ids, t = std::string(text), withChildren](Timg& i) {
                          return korvane::changegid(i, ids, t, withChildren);
                      });
}

AddResult EditJournal::addfiles(Timg& img, const std::vector<std::string>& paths, uint32_t dirId,
                                AddOptions opt) {
    // New objects get ids above every id handed out so far.
    const uint32_t firstNew = img.maxObjId + 1;
    auto step = std::make_unique<InsertStep>();
    std::vector<uint32_t> replaced;
    std::function<void(const Node&)> outer = std::move(opt.beforeReplace);
    opt.beforeReplace = [&](const Node& existing) {
        step->replacedBefore.push_back(save(existing));
        replaced.push_back(existing.entry.objId);
        if (outer)
            outer(existing);
    };
    auto record = [&] {
        const Node* dir = folderNamed(img, dirId);
        if (!dir)
            return;
        for (uint32_t id = firstNew; id <= img.maxObjId && id < img.nodeTable.size(); ++id) {
            Node* n = img.nodeFor(id);
            if (!n || !n->parent)
                continue;
            const uint32_t parentId = n->parent->entry.objId;
            if (parentId >= firstNew && img.nodeFor(parentId) == n->parent)
                continue; // goes with its new folder
            Placed p;
            p.parentId = parentId;
            p.index = indexIn(*n->parent, n);
            p.id = id;
            step->made.push_back(std::move(p));
        }
        std::sort(step->made.begin(), step->made.end(), [](const Placed& a, const Placed& b) {
            return a.parentId != b.parentId ? a.parentId < b.parentId : a.index < b.index;
        });
        for (uint32_t id : replaced)
            if (const Node* n = img.nodeFor(id))
                step->replacedAfter.push_back(save(*n));
        if (step->made.empty() && step->replacedBefore.empty())
            return;
        step->place = {dirId, step->made.empty() ? replaced.front() : step->made.front().id};
        push(img, std::move(step));
    };
    AddResult result;
    try {
        result = korvane::addfiles(img, paths, dirId, opt);
    } catch (...) {
        record();
        throw;
    }
    record();
    return result;
}

} // namespace korvane
