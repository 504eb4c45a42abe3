#include "container.h"

#include "model/error.h"

#include <algorithm>
#include <set>

namespace korvane {

void Tcontainer::startMembers(int64_t time) {
    members_.clear();
    nodeTable.clear();
    maxObjId = 1;
    auto root = std::make_unique<Node>();
    root->text = "/";
    root->entry.objType = kTypeDirectory;
    root->entry.mode = kModeDirectory | 0755;
    root->entry.atime = root->entry.mtime = root->entry.ctime = time;
    root->entry.objId = 1;
    setNode(1, root.get());
    setRoot(std::move(root));
}

namespace {

bool usableName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.size() <= 255 &&
           name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

} // namespace

Node* Tcontainer::addMember(std::string name, std::shared_ptr<const ImageSource> bytes,
                            int64_t time) {
    const uint32_t id = newobjid();
    bool clash = false;
    for (const auto& c : root()->children)
        clash = clash || c->entry.name == name;
    if (!usableName(name) || clash) {
        std::string given = "member-" + std::to_string(root()->children.size() + 1);
        warn(msg("a member named %1 cannot keep its name; it is listed as %2", name, given));
        name = std::move(given);
    }
    auto node = std::make_unique<Node>();
    node->text = name;
    TImgEntry& e = node->entry;
    e.name = std::move(name);
    e.objType = kTypeFile;
    e.mode = kModeFile | 0644;
    e.size = bytes ? bytes->size() : 0;
    e.atime = e.mtime = e.ctime = time;
    e.objId = id;
    e.linkInfo = 1;
    if (members_.size() <= id)
        members_.resize(id + 1);
    members_[id] = std::move(bytes);
    Node* added = root()->addChild(std::move(node));
    setNode(id, added);
    return added;
}

std::shared_ptr<const ImageSource> Tcontainer::memberSource(const TImgEntry& e) const {
    if (e.dataPos != -1 || e.objType != kTypeFile || e.objId >= members_.size())
        return nullptr;
    return members_[e.objId];
}

bool Tcontainer::GetEntry(uint32_t id, TImgEntry& entry) {
    Node* n = nodeFor(id);
    if (!n)
        return false;
    entry = n->entry;
    return true;
}

size_t Tcontainer::readImageRange(const TImgEntry& e, uint64_t offset, MutableByteSpan out) {
    if (e.objId >= members_.size() || !members_[e.objId])
        throw Error(msg("%1 is not a member of this image", e.name));
    const ImageSource& src = *members_[e.objId];
    const uint64_t size = src.size();
    if (offset >= size)
        return 0;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(out.size(), size - offset));
    src.readThrough(offset, out.first(n));
    return n;
}

} // namespace korvane
