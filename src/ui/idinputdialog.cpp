#include "idinputdialog.h"

#include "uitexts.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace korvane::ui {

IdInputDialog::IdInputDialog(QWidget* parent) : QDialog(parent, Qt::Tool) {
    setObjectName("idInputDialog");
    auto* layout = new QVBoxLayout(this);
    prompt_ = new QLabel(this);
    layout->addWidget(prompt_);
    edit_ = new QLineEdit(this);
    edit_->setMinimumWidth(260);
    layout->addWidget(edit_);
    children_ = new QCheckBox(QString::fromUtf8("包含子项"), this);
    layout->addWidget(children_);
    auto* row = new QHBoxLayout;
    row->addStretch();
    auto* ok = new QPushButton(QString::fromUtf8(kButtonOk), this);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    auto* cancel = new QPushButton(QString::fromUtf8(kButtonCancel), this);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    row->addWidget(ok);
    row->addWidget(cancel);
    layout->addLayout(row);
}

std::optional<IdInput> IdInputDialog::ask(const QString& caption, const QString& prompt,
                                          const QString& value) {
    setWindowTitle(caption);
    prompt_->setText(prompt);
    edit_->setText(value);
    edit_->selectAll();
    children_->setChecked(false);
    edit_->setFocus();
    if (exec() != QDialog::Accepted)
        return std::nullopt;
    return IdInput{edit_->text(), children_->isChecked()};
}

} // namespace korvane::ui
