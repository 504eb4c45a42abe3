// Opening images, the tree and the list, navigation by mouse, keys and typed
// paths, views, sorting, the popup menu's enabling rules, properties and
// extended attributes, warnings, the question before edits are lost, the
// app's language.
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
    void keyboardCommands();
    void goesToTypedPaths();
    void sortsByColumn();
    void wrapsNamesInIconView();
    void showsOpenWarnings();
    void showsAttributesAndLabels();
    void picksLanguage();
};

} // namespace korvane::ui::test
