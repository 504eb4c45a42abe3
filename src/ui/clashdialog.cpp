#include "clashdialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace korvane::ui {

ClashDialog::ClashDialog(QWidget* parent) : QDialog(parent, Qt::Dialog | Qt::WindowStaysOnTopHint) {
    setObjectName("clashDialog");
    setWindowTitle(QString::fromUtf8("提示"));
    auto* layout = new QVBoxLayout(this);
    auto* question = new QLabel(QString::fromUtf8("有重名！是否覆盖？！！"), this);
    QFont bold = question->font();
    bold.setBold(true);
    question->setFont(bold);
    question->setAlignment(Qt::AlignCenter);
    layout->addWidget(question);
    // Which file meets which object, in a smaller line below the question.
    detail_ = new QLabel(this);
    detail_->setTextFormat(Qt::PlainText);
    detail_->setWordWrap(true);
    detail_->setAlignment(Qt::AlignCenter);
    layout->addWidget(detail_);

    auto* buttons = new QHBoxLayout;
    auto add = [&](const char* text, ClashAnswer answer) {
        auto* b = new QPushButton(QString::fromUtf8(text), this);
        connect(b, &QPushButton::clicked, this, [this, answer] {
            answer_ = answer;
            accept();
        });
        buttons->addWidget(b);
        return b;
    };
    add("覆盖", ClashAnswer::kOverwrite)->setDefault(true);
    add("全覆盖", ClashAnswer::kOverwriteAll);
    add("否", ClashAnswer::kSkip);
    add("全否", ClashAnswer::kSkipAll);
    layout->addLayout(buttons);
}

ClashAnswer ClashDialog::ask(const QString& sourcePath, const QString& existingPath) {
    detail_->setText(sourcePath + "\n→ " + existingPath);
    answer_ = ClashAnswer::kSkip;
    if (exec() != QDialog::Accepted)
        return ClashAnswer::kSkip;
    return answer_;
}

} // namespace korvane::ui
