#include "tree_nodes.h"

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

} // namespace korvane::test
