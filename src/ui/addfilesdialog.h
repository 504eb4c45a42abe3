// "选择文件": picks files and folders together from disk for adding to the
// image. A folder is entered by a double click; the selection may mix files
// and folders.
#pragma once

#include <QDialog>
#include <QStringList>

class QComboBox;
class QFileSystemModel;
class QLabel;
class QListView;
class QModelIndex;

namespace korvane::ui {

class AddFilesDialog : public QDialog {
    Q_OBJECT
public:
    explicit AddFilesDialog(QWidget* parent = nullptr);

    // Shows the dialog (in the folder of its last use); the chosen paths, or
    // an empty list when cancelled.
    QStringList choose();

    // The folder shown.
    QString folder() const { return folder_; }
    void setFolder(const QString& path);
    // Full paths of the selected items, in list order.
    QStringList selectedPaths() const;
    QListView* listView() const { return list_; }

private:
    void goUp();
    void enter(const QModelIndex& index);
    void updateCount();
    void fillPathCombo();

    QFileSystemModel* model_;
    QListView* list_;
    QComboBox* path_;
    QLabel* count_;
    QString folder_;
};

} // namespace korvane::ui
