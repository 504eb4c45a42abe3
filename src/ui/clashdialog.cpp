#include "clashdialog.h"

#include "prompter.h"
#include "uitexts.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace korvane::ui {

ClashDialog::ClashDialog(QWidget* parent) : QDialog(parent) {
    setObjectName("clashDialog");
    plainDialogFrame(this);
    setWindowFlag(Qt::WindowStaysOnTopHint);
    setWindowTitle(tx(kCaptionNotice));
    auto* layout = new QVBoxLayout(this);
    question_ = new QLabel(this);
    QFont bold = question_->font();
    bold.setBold(true);
    question_->setFont(bold);
    question_->setAlignment(Qt::AlignCenter);
    layout->addWidget(question_);
    // Which file meets which object, in a smaller line below the question.
    detail_ = new QLabel(this);
    detail_->setTextFormat(Qt::PlainText);
    detail_->setWordWrap(true);
    detail_->setAlignment(Qt::AlignCenter);
    layout->addWidget(detail_);

    auto* buttons = new QHBoxLayout;
    auto add = [&](const char* text, ClashAnswer answer) {
        auto* b = new QPushButton(tx(text), this);
        connect(b, &QPushButton::clicked, this, [this, answer] {
            answer_ = answer;
            accept();
        });
        buttons->addWidget(b);
        return b;
    };
    add(kClashOverwrite, ClashAnswer::kOverwrite)->setDefault(true);
    add(kClashOverwriteAll, ClashAnswer::kOverwriteAll);
    add(kClashSkip, ClashAnswer::kSkip);
    add(kClashSkipAll, ClashAnswer::kSkipAll);
    layout->addLayout(buttons);
}

ClashAnswer ClashDialog::ask(const QString& question, const QString& sourcePath,
                             const QString& existingPath) {
    question_->setText(question);
    detail_->setText(sourcePath + "\n→ " + existingPath);
    answer_ = ClashAnswer::kSkip;
    if (exec() != QDialog::Accepted)
        return ClashAnswer::kSkip;
    return answer_;
}

} // namespace korvane::ui
