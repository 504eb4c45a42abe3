// "选择文件": picks files and folders together from disk for adding to the
// image. A folder is entered by a double click, or by typing its path in the
// location box (Enter, or leaving the box); the selection may mix files and
// folders. "保留文件属性" (on by default, remembered) keeps each file's mode,
// owner and times.
#pragma once

#include <QDialog>
#include <QStringList>
#include <optional>

class QCheckBox;
class QComboBox;
class QFileSystemModel;
class QLabel;
class QListView;
class QModelIndex;

namespace korvane::ui {

struct FileChoice {
    QStringList paths;
    bool keepAttributes = true;
};

class AddFilesDialog : public QDialog {
    Q_OBJECT
public:
    explicit AddFilesDialog(QWidget* parent = nullptr);

    // Shows the dialog (in the folder of its last use); the chosen paths and
    // whether to keep their attributes, nullopt when cancelled.
    std::optional<FileChoice> choose();

    // The folder shown.
    QString folder() const { return folder_; }
    void setFolder(const QString& path);
    // Full paths of the selected items, in list order.
    QStringList selectedPaths() const;
    QListView* listView() const { return list_; }
    QComboBox* locationBox() const { return path_; }
    QCheckBox* keepAttributesBox() const { return keep_; }
    // Goes to what text names: a folder, or the folder of a file (which is
    // selected). False when nothing is there: with a message, or quietly
    // back to the folder shown.
    bool goTo(const QString& text, bool quiet = false);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void goUp();
    void enter(const QModelIndex& index);
    void updateCount();
    void fillPathCombo();

    QFileSystemModel* model_;
    QListView* list_;
    QComboBox* path_;
    QLabel* count_;
    QCheckBox* keep_;
    QString folder_;
};

} // namespace korvane::ui
