#include "idinputdialog.h"

#include "prompter.h"
#include "uitexts.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace korvane::ui {

InputDialog::InputDialog(bool withChildren, QWidget* parent) : QDialog(parent) {
    setObjectName(withChildren ? "idInputDialog" : "textInputDialog");
    plainDialogFrame(this);
    auto* layout = new QVBoxLayout(this);
    prompt_ = new QLabel(this);
    layout->addWidget(prompt_);
    edit_ = new QLineEdit(this);
    edit_->setMinimumWidth(300);
    layout->addWidget(edit_);
    if (withChildren) {
        children_ = new QCheckBox(tx(kWithChildren), this);
        layout->addWidget(children_);
    }
    auto* row = new QHBoxLayout;
    row->addStretch();
    auto* ok = new QPushButton(tx(kButtonOk), this);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    auto* cancel = new QPushButton(tx(kButtonCancel), this);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    row->addWidget(ok);
    row->addWidget(cancel);
    layout->addLayout(row);
}

std::optional<IdInput> InputDialog::ask(const QString& caption, const QString& prompt,
                                        const QString& value, InputCheck check) {
    setWindowTitle(caption);
    prompt_->setText(prompt);
    edit_->setText(value);
    edit_->selectAll();
    if (children_)
        children_->setChecked(false);
    edit_->setFocus();
    check_ = std::move(check);
    const int result = exec();
    check_ = nullptr;
    if (result != QDialog::Accepted)
        return std::nullopt;
    return IdInput{edit_->text(), children_ && children_->isChecked()};
}

void InputDialog::done(int result) {
    if (result == QDialog::Accepted && check_) {
        const QString wrong = check_(edit_->text());
        if (!wrong.isEmpty()) {
            QMessageBox box(QMessageBox::Information, tx(kCaptionNotice), wrong, QMessageBox::Ok,
                            this);
            plainDialogFrame(&box);
            box.exec();
            edit_->setFocus();
            edit_->selectAll();
            return;
        }
    }
    QDialog::done(result);
}

} // namespace korvane::ui
