#include "tree_nodes.h"

#include "model/tree.h"
#include "testutil.h"

#include <algorithm>
#include <map>

namespace korvane::test {

Node* addNode(Timg& img, Node* parent, const std::string& name, uint8_t type, uint32_t mode) {
    auto n = std::make_unique<Node>();
    n->text = n->entry.name = name;
    n->entry.objType = type;
    n->entry.mode = mode;
    n->entry.objId = img.newobjid();
    Node* raw = parent->addChild(std::move(n));
    img.setNode(raw->entry.objId, raw);
    return raw;
}

Node* addFile(Timg& img, Node* parent, const std::string& name, const Bytes& bytes, uint32_t mode) {
    Node* n = addNode(img, parent, name, kTypeFile, mode);
    n->entry.size = bytes.size();
    if (!bytes.empty())
        n->entry.dataPos = img.workfile().append(bytes);
    return n;
}

Node* addSymlink(Timg& img, Node* parent, const std::string& name, const std::string& target) {
    Node* n = addNode(img, parent, name, kTypeSymlink, 0777);
    n->entry.alias = target;
    return n;
}

Node* addHardlink(Timg& img, Node* parent, const std::string& name, const Node* target) {
    Node* n = addNode(img, parent, name, kTypeHardlink, target->entry.mode);
    n->entry.linkInfo = target->entry.objId;
    return n;
}

Node* addSpecial(Timg& img, Node* parent, const std::string& name, uint8_t type, uint32_t mode,
                 DevNum rdev) {
    Node* n = addNode(img, parent, name, type, mode);
    n->entry.rdev = rdev;
    return n;
}

std::string treeText(Timg& img) {
    std::map<std::string, const Node*> byPath;
    forEachPreorder(img.root(), [&](Node* n) {
        if (n != img.root())
            byPath["/" + pathFromRoot(n)] = n;
    });
    std::map<const Node*, std::pair<std::string, int>> names; // file -> first name, count
    for (auto& [path, n] : byPath) {
        const Node* h = hardlinkTarget(img, n);
        auto [it, fresh] = names.try_emplace(h ? h : n, path, 0);
        ++it->second.second;
    }
    std::string out;
    for (auto& [path, n] : byPath) {
        const Node* holder = hardlinkTarget(img, n);
        const TImgEntry& e = (holder ? holder : n)->entry;
        char buf[160];
        std::snprintf(buf, sizeof buf, " %06o %u:%u m%lld.%09u dev%u:%u",
                      fileTypeBits(e) | (e.mode & 07777), e.uid, e.gid,
                      static_cast<long long>(e.mtime), e.mtimeNs, e.rdev.major, e.rdev.minor);
        std::string line = path + buf;
        if (e.objType == kTypeFile) {
            Bytes data(static_cast<size_t>(e.size));
            img.ReadRange(e, 0, MutableByteSpan(data));
            line += " s" + std::to_string(e.size) + " h" + std::to_string(contentHash(data));
        }
        if (e.objType == kTypeSymlink)
            line += " -> " + e.alias;
        std::vector<Xattr> xattrs = e.xattrs;
        std::sort(xattrs.begin(), xattrs.end(),
                  [](const Xattr& a, const Xattr& b) { return a.name < b.name; });
        for (const Xattr& x : xattrs)
            line += " " + x.name + "=" + x.value;
        const auto& [first, count] = names[holder ? holder : n];
        if (count > 1)
            line += " names " + first;
        out += line + "\n";
    }
    return out;
}

} // namespace korvane::test
