// The input boxes of the edit commands: one line of text (new folder,
// rename), and the permission, UID and GID box with "包含子项". Both check
// what was typed before they close: a wrong input is explained and the box
// stays open with the text, for correction.
#pragma once

#include <QDialog>
#include <functional>
#include <optional>

class QCheckBox;
class QLabel;
class QLineEdit;

namespace korvane::ui {

// What is wrong with an input, "" when nothing is.
using InputCheck = std::function<QString(const QString&)>;

struct IdInput {
    QString text;
    bool withChildren = false;
};

class InputDialog : public QDialog {
    Q_OBJECT
public:
    // withChildren: the box has "包含子项".
    InputDialog(bool withChildren, QWidget* parent = nullptr);

    // Shows the box with the command's caption, prompt and current value
    // ("包含子项" unchecked); nullopt when cancelled.
    std::optional<IdInput> ask(const QString& caption, const QString& prompt, const QString& value,
                               InputCheck check);
    QLineEdit* edit() const { return edit_; }

    void done(int result) override;

private:
    QLabel* prompt_;
    QLineEdit* edit_;
    QCheckBox* children_ = nullptr;
    InputCheck check_;
};

} // namespace korvane::ui
