// "另存": the save dialog with the registry's save types (the image's own
// offered first), "保存设置" beside it for the types that have settings, and
// the save job. Saving an image opened inside another writes the images
// around it anew, outward, to the file chosen.
#pragma once

#include "fs/yaffs2/yaffs2_writer.h"

#include <QObject>
#include <QString>

class QWidget;

namespace korvane {
class Timg;
}

namespace korvane::ui {

class MainWindow;
class SaveOptionsDialog;

class SaveCommand : public QObject {
    Q_OBJECT
public:
    explicit SaveCommand(MainWindow& window);

    void saveAs();
    // After an image was opened: the settings that follow it (a YAFFS2
    // image's layout).
    void imageOpened(const Timg& img);

    SaveParams& params() { return params_; }
    SaveOptionsDialog* dialog() const { return dialog_; }

private:
    void typeChanged(const QString& type, QWidget* dialog);
    // Whether the image may be written to path (asks when path is the file
    // opened and it was read with warnings).
    bool mayWrite(const QString& path);

    MainWindow& w_;
    SaveParams params_;
    SaveOptionsDialog* dialog_;
};

} // namespace korvane::ui
