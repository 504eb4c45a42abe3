// Lists what a job could not do, or what opening an image warned about, one
// line each ("添加文件 错误信息", the objects extraction skipped).
#pragma once

#include <QDialog>
#include <QStringList>

class QLabel;
class QPlainTextEdit;

namespace korvane::ui {

class ErrorListDialog : public QDialog {
    Q_OBJECT
public:
    explicit ErrorListDialog(QWidget* parent = nullptr);

    // summary, when not empty, is shown above the lines.
    void showLines(const QString& caption, const QString& summary, const QStringList& lines);

private:
    QLabel* summary_;
    QPlainTextEdit* text_;
};

} // namespace korvane::ui
