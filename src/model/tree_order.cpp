#include "tree_order.h"

#include <algorithm>

namespace korvane {

namespace {

constexpr int32_t kFileIconBase = 1000000000;

unsigned char foldAscii(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c;
}

// Digits 1..10, letters 11..36, anything else 37, end 0: base 38 keeps the
// alphabetical order of the characters.
int32_t extensionDigit(unsigned char c) {
    c = foldAscii(c);
    if (c >= '0' && c <= '9')
        return 1 + (c - '0');
    if (c >= 'a' && c <= 'z')
        return 11 + (c - 'a');
    return 37;
}

} // namespace

std::string_view extensionOf(std::string_view name) {
    size_t dot = name.rfind('.');
    return dot == std::string_view::npos ? std::string_view{} : name.substr(dot);
}

int32_t iconindex(std::string_view text) {
    if (text == "dir")
        return kFolderIcon;
    if (!text.empty() && text.front() == '.')
        text.remove_prefix(1);
    int32_t code = 0;
    for (size_t i = 0; i < 5; ++i)
        code =
            code * 38 + (i < text.size() ? extensionDigit(static_cast<unsigned char>(text[i])) : 0);
    return kFileIconBase + code;
}

int32_t iconFor(const TImgEntry& entry, std::string_view name) {
    return entry.objType == kTypeDirectory ? kFolderIcon : iconindex(extensionOf(name));
}

int compareText(std::string_view a, std::string_view b) {
    size_t n = std::min(a.size(), b.size());
    int caseOrder = 0;
    for (size_t i = 0; i < n; ++i) {
        auto ca = static_cast<unsigned char>(a[i]);
        auto cb = static_cast<unsigned char>(b[i]);
        if (ca == cb)
            continue;
        unsigned char fa = foldAscii(ca), fb = foldAscii(cb);
        if (fa != fb)
            return fa < fb ? -1 : 1;
        if (caseOrder == 0)
            caseOrder = ca > cb ? -1 : 1; // lower case ('a' > 'A') first
    }
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return caseOrder;
}

namespace {

bool childBefore(const std::unique_ptr<Node>& x, const std::unique_ptr<Node>& y) {
    if (x->icon != y->icon)
        return x->icon < y->icon;
    return compareText(x->text, y->text) < 0;
}

} // namespace

void sortChildren(Node* dir) {
    std::stable_sort(dir->children.begin(), dir->children.end(), childBefore);
}

void sortAppendedChildren(Node* dir, size_t sortedPrefix) {
    auto& c = dir->children;
    const auto mid = c.begin() + static_cast<ptrdiff_t>(std::min(sortedPrefix, c.size()));
    if (!std::is_sorted(c.begin(), mid, childBefore)) {
        sortChildren(dir);
        return;
    }
    // Stable as a sort of the whole: the children before come first among
    // equals.
    std::stable_sort(mid, c.end(), childBefore);
    std::inplace_merge(c.begin(), mid, c.end(), childBefore);
}

void sortTree(Node* top) {
    forEachPreorder(top, [](Node* n) { sortChildren(n); });
}

} // namespace korvane
