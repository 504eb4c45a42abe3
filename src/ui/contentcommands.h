// Looking into files: "打开" on a file shows it in the viewer; "其它应用程序…"
// hands a copy to the desktop's application for its type; objects dragged
// out of the list onto a file manager or the desktop become files there. The
// copies are extracted into a private temporary folder of the app, removed
// when the app closes.
#pragma once

#include "contentreader.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <vector>

class QMimeData;
class QTemporaryDir;

namespace korvane {
struct Node;
}

namespace korvane::ui {

class FileViewer;
class MainWindow;

class ContentCommands : public QObject {
    Q_OBJECT
public:
    explicit ContentCommands(MainWindow& window);
    ~ContentCommands() override;

    // The contents of node (a regular file, or a hard link to one) in the
    // browsed image; empty for anything else.
    ContentReader readerOf(const Node* node) const;
    // Shows node's contents in the viewer, in front of the window.
    void view(const Node* node);
    FileViewer* viewer() const { return viewer_; }

    // "其它应用程序…": the selected file, copied out, opened by the desktop.
    void openSelectedWithApp();
    // The data of a drag of the objects ids: when the target takes it, they
    // are extracted into the private folder and handed over as files.
    QMimeData* dragData(const std::vector<uint32_t>& ids);
    // Extracts ids into a new folder of the private folder, at once; the
    // paths of the objects written, empty (and the reason shown) when none.
    QStringList copyOut(const std::vector<uint32_t>& ids);
    // Removes the private folder and every copy in it.
    void dropCopies();

private:
    QString freshFolder();

    MainWindow& w_;
    std::unique_ptr<QTemporaryDir> private_;
    int copies_ = 0;
    FileViewer* viewer_ = nullptr;
};

} // namespace korvane::ui
