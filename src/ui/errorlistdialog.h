// Lists what a job could not do, one line each ("添加文件 错误信息" and the
// objects extraction skipped).
#pragma once

#include <QDialog>
#include <QStringList>

class QPlainTextEdit;

namespace korvane::ui {

class ErrorListDialog : public QDialog {
    Q_OBJECT
public:
    explicit ErrorListDialog(QWidget* parent = nullptr);

    void showLines(const QString& caption, const QStringList& lines);

private:
    QPlainTextEdit* text_;
};

} // namespace korvane::ui
