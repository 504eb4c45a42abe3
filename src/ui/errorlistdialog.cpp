#include "errorlistdialog.h"

#include "uitexts.h"

#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace korvane::ui {

ErrorListDialog::ErrorListDialog(QWidget* parent) : QDialog(parent) {
    setObjectName("errorListDialog");
    resize(560, 320);
    auto* layout = new QVBoxLayout(this);
    text_ = new QPlainTextEdit(this);
    text_->setReadOnly(true);
    text_->setLineWrapMode(QPlainTextEdit::NoWrap);
    text_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    text_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    layout->addWidget(text_);
    auto* row = new QHBoxLayout;
    row->addStretch();
    auto* close = new QPushButton(QString::fromUtf8(kButtonClose), this);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    row->addWidget(close);
    layout->addLayout(row);
}

void ErrorListDialog::showLines(const QString& caption, const QStringList& lines) {
    setWindowTitle(caption);
    text_->setPlainText(lines.join('\n'));
    exec();
}

} // namespace korvane::ui
