// The input box of the permission, UID and GID commands, with "包含子项".
#pragma once

#include <QDialog>
#include <optional>

class QCheckBox;
class QLabel;
class QLineEdit;

namespace korvane::ui {

struct IdInput {
    QString text;
    bool withChildren = false;
};

class IdInputDialog : public QDialog {
    Q_OBJECT
public:
    explicit IdInputDialog(QWidget* parent = nullptr);

    // Shows the box with the command's caption, prompt and current value and
    // "包含子项" unchecked; nullopt when cancelled.
    std::optional<IdInput> ask(const QString& caption, const QString& prompt, const QString& value);

private:
    QLabel* prompt_;
    QLineEdit* edit_;
    QCheckBox* children_;
};

} // namespace korvane::ui
