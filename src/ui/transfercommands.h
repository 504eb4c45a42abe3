// Moving objects between the image and the disk: extracting the selection
// or everything into a folder, exporting a tar archive, and adding files and
// folders from disk (by the chooser or by a drop). Each runs as a job of the
// window it belongs to, and asks the window's prompter what it must ask.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

namespace korvane::ui {

class MainWindow;

class TransferCommands : public QObject {
    Q_OBJECT
public:
    explicit TransferCommands(MainWindow& window);

    void extractSelected();
    void exportAll();
    // Writes the selected objects, or the whole tree when none is selected,
    // as a tar archive.
    void exportTar();
    void addFiles();
    void addPaths(const QStringList& paths, bool keepAttributes);

private:
    void runExtraction(const std::vector<uint32_t>& ids);
    void rememberFolder(const QString& folder);
    // Lists the lines of a job's error list, when there are any.
    void showErrors(const char* caption, const QStringList& lines);

    MainWindow& w_;
    QString lastExtractFolder_;
};

} // namespace korvane::ui
