#include "model/tree_order.h"

#include <gtest/gtest.h>

using namespace korvane;

namespace {

std::unique_ptr<Node> node(const std::string& name, uint8_t type) {
    auto n = std::make_unique<Node>();
    n->text = n->entry.name = name;
    n->entry.objType = type;
    n->icon = iconFor(n->entry, name);
    return n;
}

TEST(TreeOrder, FoldersFirstThenByExtensionThenName) {
    Node root;
    for (auto [name, type] : std::vector<std::pair<std::string, uint8_t>>{{"b.txt", 1},
                                                                          {"Zeta", 3},
                                                                          {"a.TXT", 1},
                                                                          {"readme", 1},
                                                                          {"x.apk", 1},
                                                                          {"alpha", 3},
                                                                          {"B.txt", 1},
                                                                          {"lib.so", 1},
                                                                          {"c.jpg", 1}})
        root.addChild(node(name, type));
    sortTree(&root);
    std::string order;
    for (auto& c : root.children)
        order += c->text + " ";
    EXPECT_EQ(order, "alpha Zeta readme x.apk c.jpg lib.so a.TXT b.txt B.txt ");
}

TEST(TreeOrder, IconIndexIsStableAndFoldersSortFirstAsText) {
    EXPECT_EQ(iconindex("dir"), kFolderIcon);
    EXPECT_EQ(iconindex(".jpg"), iconindex(".JPG"));
    EXPECT_NE(iconindex(".jpg"), iconindex(".png"));
    EXPECT_LT(iconindex(""), iconindex(".a"));
    // Every file index has ten digits, so text order equals number order.
    for (auto ext : {"", ".a", ".zzzzz", ".~~~", ".9"})
        EXPECT_EQ(std::to_string(iconindex(ext)).size(), 10u) << ext;
    EXPECT_EQ(extensionOf("archive.tar.gz"), ".gz");
    EXPECT_EQ(extensionOf("noext"), "");
}

TEST(TreeOrder, CompareText) {
    EXPECT_LT(compareText("apple", "Banana"), 0);
    EXPECT_LT(compareText("a", "A"), 0);
    EXPECT_LT(compareText("A", "b"), 0);
    EXPECT_EQ(compareText("same", "same"), 0);
    EXPECT_LT(compareText("ab", "abc"), 0);
}

} // namespace
