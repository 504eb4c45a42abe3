// Opening an EROFS image: the walk of its directories from the root.
//
// The walk reads each directory's blocks and the inodes of its folders on
// its own thread, in order. The inodes of the other entries (most of an
// image: files, links, devices) lie scattered across the image, one read
// each; the dirent's type says they are no folders, so the walk need not
// wait for them. They are decoded in batches by the workers while the walk
// goes on, and taken back on the walk's thread in the walk's order: hard
// links, entries left out and the problems reported come out as they would
// from one thread.
#include "dir.h"
#include "model/error.h"
#include "model/ordered_pool.h"
#include "model/tree_order.h"
#include "terofsobj.h"

#include <algorithm>
#include <memory>
#include <utility>

namespace korvane {

using namespace erofs;

namespace {

// Entries handed to the workers at a time, and such batches waiting at most.
constexpr size_t kPendingBatch = 256;
constexpr size_t kBatchesQueued = 16;
// Bytes an inode and the attributes beside it take, mostly: what a read of
// several inodes at once takes past the last.
constexpr size_t kInodeReach = 256;
// Images of fewer inodes are walked on one thread: starting the workers
// would cost more than they save.
constexpr uint64_t kWorkersFrom = 256;

std::string displayPath(const Node* n) {
    return "/" + pathFromRoot(n);
}

// Whether a dirent's type says its entry is no folder.
bool notAFolder(uint8_t fileType) {
    return fileType == kFtRegular || (fileType >= kFtCharDevice && fileType <= kFtSymlink);
}

// The first object id given to each nid, and whether a worker decodes its
// inode. Open addressing in one array: nearly every nid is seen once, and a
// node of a std::unordered_map for each cost the walk more in allocating and
// freeing them than in looking them up.
class SeenTable {
public:
    struct Seen {
        uint32_t id;
        bool pending;
    };
    explicit SeenTable(size_t expected) { rehash(std::max<size_t>(64, expected * 2)); }
    const Seen* find(uint64_t nid) const {
        for (size_t i = slot(nid);; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (!s.used)
                return nullptr;
            if (s.nid == nid)
                return &s.seen;
        }
    }
    void insert(uint64_t nid, Seen seen) {
        if ((used_ + 1) * 2 > slots_.size())
            rehash(slots_.size() * 2);
        put(nid, seen);
    }

private:
    struct Slot {
        uint64_t nid = 0;
        Seen seen{};
        bool used = false;
    };
    size_t slot(uint64_t nid) const { return (nid * 0x9e3779b97f4a7c15ull >> 32) & mask_; }
    void put(uint64_t nid, Seen seen) {
        size_t i = slot(nid);
        while (slots_[i].used)
            i = (i + 1) & mask_;
        slots_[i] = {nid, seen, true};
        ++used_;
    }
    void rehash(size_t want) {
        size_t n = 64;
        while (n < want)
            n *= 2;
        std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(n));
        mask_ = n - 1;
        used_ = 0;
        for (const Slot& s : old)
            if (s.used)
                put(s.nid, s.seen);
    }
    std::vector<Slot> slots_;
    size_t mask_ = 0;
    size_t used_ = 0;
};

} // namespace

// An entry whose inode a worker decodes: a name of an object not seen
// before (decoded into node->entry), or a later name of one (firstId) that
// becomes a hard link once the first is known.
struct Terofsobj::Pending {
    Node* node = nullptr;
    uint64_t nid = 0;
    uint32_t firstId = 0;
    Inode inode;
    std::optional<Message> error;
    std::vector<Note> notes;
};

void Terofsobj::walk(Node* root, const Inode& rootInode, JobReporter& rep) {
    struct Frame {
        Node* node;
        Inode inode;
        uint64_t next = 0; // the next block of the directory
    };
    // Sized for as many as the superblock counts, within what the image
    // could hold and never more than a million ahead (a hostile count costs
    // nothing).
    SeenTable firstSeen(static_cast<size_t>(
        std::min({sb_.inos, src_->storedSize() >> kNidShift, uint64_t{1} << 20})));
    firstSeen.insert(rootInode.nid, {root->entry.objId, false});
    const uint64_t bs = sb_.blockSize;
    // Every directory block is stored in the file (a compressed one in
    // less): a hostile map that repeats one block of entries cannot make
    // the walk go on past that.
    const uint64_t dirBudget = src_->storedSize() * 16 + (1u << 20);
    uint64_t dirBytes = 0;
    const int64_t expected = static_cast<int64_t>(std::max<uint64_t>(sb_.inos, 1));
    int64_t made = 1;

    Scratch scratch; // the walk's own
    const unsigned workers = sb_.inos >= kWorkersFrom ? defaultWorkers() : 1;
    std::vector<Scratch> workerScratch(workers);
    std::vector<Frame> lateFolders; // entries whose inode, not their dirent, says folder
    std::vector<Node*> dropped;     // listed, then left out when their inode was read
    // Problems the workers found, reported after the walk's own: the first
    // ones kept, the rest counted.
    std::vector<Note> workerNotes;
    size_t moreNotes = 0;
    size_t moreLeftOut = 0;
    auto noteLater = [&](Message m, bool leftOut) {
        if (workerNotes.size() < kDamageListed) {
            workerNotes.push_back({std::move(m), leftOut});
            return;
        }
        ++moreNotes;
        moreLeftOut += leftOut ? 1 : 0;
    };
    auto drop = [&](Node* n) {
        setNode(n->entry.objId, nullptr);
        inodes_[n->entry.objId] = ObjInode{};
        dropped.push_back(n);
    };
    auto linkTo = [&](Node* n, const Node* first) {
        const uint32_t id = n->entry.objId;
        n->entry = first->entry;
        n->entry.objType = kTypeHardlink;
        n->entry.linkInfo = first->entry.objId;
        n->entry.name = n->text;
        n->entry.objId = id;
        n->icon = iconFor(n->entry, n->text);
        inodes_[id] = inodes_[first->entry.objId];
        ++info_.hardLinks;
    };
    // An entry whose inode is decoded: counted, kept for reading its
    // contents, given its icon.
    auto adopt = [&](Node* n, const Inode& inode) {
        if (inode.compressed())
            ++info_.compressedFiles;
        keepInode(n->entry.objId, inode);
        n->icon = iconFor(n->entry, n->text);
    };
    // Takes a decoded entry back, in the walk's order.
    auto settle = [&](Pending& p) {
        Node* n = p.node;
        if (p.firstId) {
            const Node* first = nodeFor(p.firstId);
            if (!first)
                noteLater(msg("%1: names an object that cannot be read; left out", displayPath(n)),
                          true);
            else if (first->isDirectory())
                noteLater(msg("%1: names directory %2 a second time; left out", displayPath(n),
                              displayPath(first)),
                          true);
            else
                return linkTo(n, first);
            return drop(n);
        }
        if (p.error) {
            noteLater(msg("%1: %2; left out", displayPath(n), *p.error), true);
            return drop(n);
        }
        for (Note& x : p.notes)
            noteLater(std::move(x.text), x.leftOut);
        adopt(n, p.inode);
        if (n->isDirectory())
            lateFolders.push_back({n, p.inode});
    };
    // The workers use the nodes and the scratch: the pool goes first.
    OrderedPool pool(workers, kBatchesQueued);
    std::vector<Pending> batch;
    batch.reserve(kPendingBatch);
    auto submit = [&] {
        if (batch.empty())
            return;
        auto items = std::make_shared<std::vector<Pending>>(std::move(batch));
        batch = {};
        batch.reserve(kPendingBatch);
        OrderedPool::Unit u;
        u.work = [this, items, &workerScratch](unsigned w) {
            Scratch& s = workerScratch[w];
            // In the order they lie in: an inode's neighbours in the batch
            // (mostly its siblings, each beside its inline data) come with
            // it in one read, up to the thread's window.
            std::vector<Pending*> order;
            order.reserve(items->size());
            for (Pending& p : *items)
                if (!p.firstId)
                    order.push_back(&p);
            std::sort(order.begin(), order.end(),
                      [](const Pending* a, const Pending* b) { return a->nid < b->nid; });
            // How far apart two inodes may lie to come in one read.
            constexpr uint64_t kReachNids = (kMetadataWindow - kInodeReach) >> kNidShift;
            for (size_t i = 0, reach = 0; i < order.size(); ++i) {
                Pending& p = *order[i];
                reach = std::max(reach, i);
                while (reach + 1 < order.size() && order[reach + 1]->nid - p.nid <= kReachNids)
                    ++reach;
                const size_t readAhead =
                    static_cast<size_t>((order[reach]->nid - p.nid) << kNidShift) + kInodeReach;
                p.node->entry.name = p.node->text;
                try {
                    p.inode = readInode(p.nid, readAhead);
                    decodeEntry(p.inode, p.node->entry, s);
                } catch (const Error& e) {
                    p.error = e.message();
                } catch (const std::bad_alloc&) {
                    p.error = msg("not enough memory");
                }
                p.notes = std::move(s.notes);
                s.notes.clear();
            }
        };
        u.commit = [items, &settle] {
            for (Pending& p : *items)
                settle(p);
        };
        pool.submit(std::move(u));
    };

    Bytes block(bs);
    std::vector<DirEntry> entries;
    std::vector<Frame> stack;
    stack.push_back({root, rootInode});
    while (true) {
        if (stack.empty()) {
            // Every folder is read: the workers' entries are taken back, and
            // those that turned out to be folders are walked in turn.
            submit();
            pool.finish();
            if (lateFolders.empty())
                break;
            stack.assign(lateFolders.rbegin(), lateFolders.rend());
            lateFolders.clear();
            continue;
        }
        if (cancel.load())
            throw Error(msg("cancelled"));
        Frame& f = stack.back();
        const uint64_t at = f.next * bs;
        if (at >= f.inode.size) {
            stack.pop_back();
            continue;
        }
        ++f.next;
        Node* dir = f.node;
        const size_t len = static_cast<size_t>(std::min<uint64_t>(bs, f.inode.size - at));
        if ((dirBytes += len) > dirBudget) {
            damage(msg("directory %1: the directories read so far take more than the file "
                       "can hold; the rest of it is not read",
                       displayPath(dir)));
            stack.pop_back();
            continue;
        }
        entries.clear();
        try {
            readContents(f.inode, at, MutableByteSpan(block.data(), len));
        } catch (const Error& e) {
            damage(msg("directory %1: block %2 cannot be read (%3); the rest of it is not read",
                       displayPath(dir), f.next - 1, e.message()));
            stack.pop_back();
            continue;
        }
        if (auto why = parseDirBlock(ByteSpan(block.data(), len), entries))
            damage(msg("directory %1: block %2: %3; the entries after it are left out",
                       displayPath(dir), f.next - 1, *why));
        std::vector<Frame> subdirs;
        for (const DirEntry& d : entries) {
            if (d.name == "." || d.name == "..")
                continue;
            auto node = std::make_unique<Node>();
            node->text = std::string(d.name);
            auto where = [&] { return displayPath(dir) + (dir == root ? "" : "/") + node->text; };
            Inode inode;
            const Node* first = nullptr;
            uint32_t firstId = 0;
            bool pending = false;
            const SeenTable::Seen* seen = firstSeen.find(d.nid);
            if (seen) {
                if (seen->pending) {
                    firstId = seen->id;
                    pending = true;
                } else if (first = nodeFor(seen->id); !first || first->isDirectory()) {
                    damage(msg("%1: names directory %2 a second time; left out", where(),
                               first ? displayPath(first) : std::string("?")));
                    continue;
                }
            } else if (notAFolder(d.fileType)) {
                pending = true;
            } else {
                try {
                    inode = readInode(d.nid);
                } catch (const Error& e) {
                    damage(msg("%1: %2; left out", where(), e.message()));
                    continue;
                }
                decodeEntry(inode, node->entry, scratch);
                damage(scratch);
            }
            if (!pending)
                node->entry.name = node->text;
            node->entry.objId = newobjid();
            const uint32_t id = node->entry.objId;
            if (inodes_.size() <= id)
                inodes_.resize(static_cast<size_t>(id) + 1);
            inodes_[id].nid = d.nid;
            if (!seen)
                firstSeen.insert(d.nid, {id, pending});
            Node* added = dir->addChild(std::move(node));
            setNode(id, added);
            if (first) {
                linkTo(added, first);
            } else if (pending) {
                Pending& p = batch.emplace_back();
                p.node = added;
                p.nid = d.nid;
                p.firstId = firstId;
                if (batch.size() >= kPendingBatch)
                    submit();
            } else {
                adopt(added, inode);
                if (added->isDirectory())
                    subdirs.push_back({added, inode});
            }
            ++made;
            rep.progressWith(std::min(made, expected), expected, 2,
                             [&] { return verbatim(added->text); });
        }
        // f may move when the stack grows.
        // Taken in the order the directory lists them.
        for (auto s = subdirs.rbegin(); s != subdirs.rend(); ++s)
            stack.push_back(*s);
    }

    // The entries left out go in one pass over each folder that held one
    // (taking them out one by one would cost a folder of a million damaged
    // entries a million passes). They are marked by the id 0, which no
    // object has.
    std::vector<Node*> parents;
    parents.reserve(dropped.size());
    for (Node* n : dropped) {
        n->entry.objId = 0;
        parents.push_back(n->parent);
    }
    dropped = {};
    std::sort(parents.begin(), parents.end());
    parents.erase(std::unique(parents.begin(), parents.end()), parents.end());
    for (Node* p : parents)
        std::erase_if(p->children,
                      [](const std::unique_ptr<Node>& c) { return c->entry.objId == 0; });
    for (Note& n : workerNotes)
        damage(std::move(n.text), n.leftOut);
    damageReported_ += moreNotes;
    info_.skipped += moreLeftOut;
}

void Terofsobj::Open() {
    JobReporter rep(onwk, kFlagRead);
    rep.send(0, 0, 1, {});
    scanning_ = true;
    struct Done {
        Terofsobj* self;
        JobReporter& rep;
        ~Done() {
            self->scanning_ = false;
            rep.send(0, 0, 3, {});
        }
    } done{this, rep};
    nodeTable.clear();
    inodes_.clear();
    maxObjId = 0;
    info_ = ReadInfo{};
    const Inode rootInode = readInode(sb_.rootNid);
    if ((rootInode.mode & kModeTypeMask) != kModeDirectory)
        throw Error(msg("the EROFS root inode (nid %1) is not a directory", sb_.rootNid));
    auto root = std::make_unique<Node>();
    Scratch scratch;
    decodeEntry(rootInode, root->entry, scratch);
    damage(scratch);
    if (rootInode.compressed())
        ++info_.compressedFiles;
    root->text = "/";
    root->icon = kFolderIcon;
    root->entry.objId = newobjid();
    keepInode(root->entry.objId, rootInode);
    setNode(root->entry.objId, root.get());
    walk(root.get(), rootInode, rep);
    if (damageReported_ > kDamageListed)
        warn(msg("%1 more problems with entries were found", damageReported_ - kDamageListed));
    sortTree(root.get());
    info_.objects = root->subtreeSize();
    setRoot(std::move(root));
}

} // namespace korvane
