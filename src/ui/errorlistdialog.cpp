#include "errorlistdialog.h"

#include "prompter.h"
#include "uitexts.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace korvane::ui {

ErrorListDialog::ErrorListDialog(QWidget* parent) : QDialog(parent) {
    setObjectName("errorListDialog");
    plainDialogFrame(this);
    resize(600, 320);
    auto* layout = new QVBoxLayout(this);
    summary_ = new QLabel(this);
    summary_->setWordWrap(true);
    summary_->setTextFormat(Qt::PlainText);
    layout->addWidget(summary_);
    text_ = new QPlainTextEdit(this);
    text_->setReadOnly(true);
    text_->setLineWrapMode(QPlainTextEdit::NoWrap);
    layout->addWidget(text_);
    auto* row = new QHBoxLayout;
    row->addStretch();
    auto* close = new QPushButton(tx(kButtonClose), this);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    row->addWidget(close);
    layout->addLayout(row);
}

void ErrorListDialog::showLines(const QString& caption, const QString& summary,
                                const QStringList& lines) {
    setWindowTitle(caption);
    summary_->setText(summary);
    summary_->setVisible(!summary.isEmpty());
    text_->setPlainText(lines.join('\n'));
    exec();
}

} // namespace korvane::ui
