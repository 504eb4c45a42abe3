// The properties of one object: the dialog "属性" and the one-line summary
// of the status bar.
#pragma once

#include "contentreader.h"
#include "model/node.h"
#include "model/timg.h"

#include <QDialog>
#include <QIcon>
#include <QString>
#include <atomic>
#include <thread>
#include <vector>

class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QTableWidget;

namespace korvane::ui {

struct ObjectProperties {
    QString name;
    bool directory = false;
    QString type; // "文件", "目录", "软链接  ->target", ...
    QString size; // sizetext; a directory: the files below it, at all depths
    QString time; // modification time, local time zone, in the app's language
    QString uid;
    QString gid;
    QString detail;   // "rwxr-xr-x (0755)"
    QString contains; // a folder: its items and all below it; otherwise empty
    struct Attribute {
        QString name;
        QString value; // decoded for reading (see xattrtext.h)
    };
    std::vector<Attribute> attributes;
    // A file's contents, for its checksums (computed when asked for).
    ContentReader contents;
};

// Describes node (taken from the tree, the current record). A hard link is
// described by the object it links to, but keeps its own name and type text.
ObjectProperties describeObject(const Timg& img, const Node& node);

// "类型：" + type + ", 大小：" + size + ", 详细：" + detail.
QString summaryText(const ObjectProperties& p);

// A time in the local time zone, the way the app's language writes dates.
QString timeText(int64_t seconds);

class PropertiesDialog : public QDialog {
    Q_OBJECT
public:
    explicit PropertiesDialog(QWidget* parent = nullptr);

    ~PropertiesDialog() override;

    void showProperties(const ObjectProperties& p, const QIcon& icon);
    // "计算": the SHA-256 and MD5 of the file shown, on a worker thread.
    void computeChecksums();
    QString sha256Text() const;
    QString md5Text() const;

signals:
    // The checksums (or why there are none) are shown.
    void checksumsShown();

protected:
    void done(int result) override;

private:
    void stopChecksums();

    QTabWidget* pages_;
    QLabel* icon_;
    QLineEdit* name_;
    QLabel* type_;
    QLabel* size_;
    QLabel* time_;
    QLabel* containsLabel_;
    QLabel* contains_;
    QLabel* uid_;
    QLabel* gid_;
    QLabel* detail_;
    QTableWidget* attributes_;
    QLabel* noAttributes_;
    QWidget* checksumBox_;
    QPushButton* checksumButton_;
    QLineEdit* sha256_;
    QLineEdit* md5_;
    ContentReader contents_;
    std::thread worker_;
    std::atomic<bool> cancel_{false};
};

} // namespace korvane::ui
