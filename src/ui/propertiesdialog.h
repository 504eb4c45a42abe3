// The properties of one object: the dialog "属性" and the one-line summary
// of the status bar.
#pragma once

#include "model/node.h"
#include "model/timg.h"

#include <QDialog>
#include <QIcon>
#include <QString>

class QLabel;
class QLineEdit;

namespace korvane::ui {

struct ObjectProperties {
    QString name;
    bool directory = false;
    QString type; // "文件", "目录", "软链接  ->target", ...
    QString size; // sizetext; a directory: the files below it, at all depths
    QString time; // modification time, local time zone
    QString uid;
    QString gid;
    QString detail; // "rwxr-xr-x (0755)"
};

// Describes node (taken from the tree, the current record).
ObjectProperties describeObject(const Timg& img, const Node& node);

// "类型：" + type + ", 大小：" + size + ", 详细：" + detail.
QString summaryText(const ObjectProperties& p);

class PropertiesDialog : public QDialog {
    Q_OBJECT
public:
    explicit PropertiesDialog(QWidget* parent = nullptr);

    void showProperties(const ObjectProperties& p, const QIcon& icon);

private:
    QLabel* icon_;
    QLineEdit* name_;
    QLabel* type_;
    QLabel* size_;
    QLabel* time_;
    QLabel* uid_;
    QLabel* gid_;
    QLabel* detail_;
};

} // namespace korvane::ui
