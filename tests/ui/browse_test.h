// Opening images, the tree and the list, navigation, views, the popup menu's
// enabling rules, properties, the question before edits are lost.
#pragma once

#include <QObject>

namespace korvane::ui::test {

class BrowseTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void opensYaffs2Image();
    void opensExtImage();
    void navigatesTheTree();
    void switchesViewsAndRefreshes();
    void popupFollowsSelection();
    void describesSelection();
    void asksBeforeEditsAreLost();
    void failedOpenKeepsImage();
    void startsNewImage();
    void drawsProgressBlocks();
    void loadsProgressAnimation();
};

} // namespace korvane::ui::test
