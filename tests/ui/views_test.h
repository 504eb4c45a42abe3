// The views between opening and saving: the filter and the search of the
// whole image, the file viewer reading in ranges, undo and redo in the
// window, the comparison with a folder, the image information, checksums.
#pragma once

#include <QObject>

namespace korvane::ui::test {

class ViewsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void filtersAndSearchesImage();
    void viewerReadsOnlyWhatIsShown();
    void viewsTextAndFindsBytes();
    void undoesAndRedoesEdits();
    void comparesWithFolder();
    void showsImageInfoAndChecksums();
    void offersExt4FirstForExt4();
};

} // namespace korvane::ui::test
