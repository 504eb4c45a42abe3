#include "node.h"

#include <algorithm>

namespace korvane {

Node::~Node() {
    // Tear down iteratively: a degenerate tree (one long chain) would otherwise
    // recurse once per level in the destructors.
    std::vector<std::unique_ptr<Node>> pending = std::move(children);
    while (!pending.empty()) {
        std::unique_ptr<Node> n = std::move(pending.back());
        pending.pop_back();
        for (auto& c : n->children)
            pending.push_back(std::move(c));
        n->children.clear();
    }
}

Node* Node::addChild(std::unique_ptr<Node> child) {
    child->parent = this;
    children.push_back(std::move(child));
    return children.back().get();
}

std::unique_ptr<Node> Node::detach(const Node* child) {
    auto it = std::find_if(children.begin(), children.end(),
                           [child](const std::unique_ptr<Node>& c) { return c.get() == child; });
    if (it == children.end())
        return nullptr;
    std::unique_ptr<Node> out = std::move(*it);
    children.erase(it);
    out->parent = nullptr;
    return out;
}

size_t Node::subtreeSize() const {
    size_t n = 0;
    forEachPreorder(const_cast<Node*>(this), [&n](Node*) { ++n; });
    return n;
}

std::vector<Node*> preorder(Node* top) {
    std::vector<Node*> out;
    forEachPreorder(top, [&out](Node* n) { out.push_back(n); });
    return out;
}

std::string pathFromRoot(const Node* node, const Node* top) {
    std::vector<const Node*> chain;
    for (const Node* n = node; n && n->parent; n = n->parent) {
        chain.push_back(n);
        if (n == top)
            break;
    }
    std::string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (!path.empty())
            path += '/';
        path += (*it)->text;
    }
    return path;
}

Node* findPath(Node* root, std::string_view path) {
    Node* cur = root;
    while (cur && !path.empty()) {
        size_t slash = path.find('/');
        std::string_view part = path.substr(0, slash);
        path = slash == std::string_view::npos ? std::string_view{} : path.substr(slash + 1);
        if (part.empty())
            continue;
        Node* next = nullptr;
        for (auto& c : cur->children)
            if (c->text == part) {
                next = c.get();
                break;
            }
        cur = next;
    }
    return cur;
}

} // namespace korvane
