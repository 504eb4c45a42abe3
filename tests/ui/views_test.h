// The views between opening and saving: the filter and the search of the
// whole image, the file viewer reading in ranges, copies handed to other
// programs, undo and redo in the window, the comparison with a folder, the
// image information, checksums.
#pragma once

#include <QDesktopServices>
#include <QList>
#include <QObject>
#include <QUrl>

namespace korvane::ui::test {

// Takes the files the app hands to the desktop's applications while it
// lives, instead of the desktop.
class DesktopStandIn : public QObject {
    Q_OBJECT
public:
    DesktopStandIn() { QDesktopServices::setUrlHandler("file", this, "open"); }
    ~DesktopStandIn() override { QDesktopServices::unsetUrlHandler("file"); }

    QList<QUrl> opened;

public Q_SLOTS:
    void open(const QUrl& url) { opened << url; }
};

class ViewsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void filtersAndSearchesImage();
    void viewerReadsOnlyWhatIsShown();
    void viewsTextAndFindsBytes();
    void handsCopiesToOtherApps();
    void undoesAndRedoesEdits();
    void comparesWithFolder();
    void showsImageInfoAndChecksums();
    void offersExt4FirstForExt4();
};

} // namespace korvane::ui::test
