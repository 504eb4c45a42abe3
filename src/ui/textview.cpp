#include "textview.h"

#include <QFontDatabase>
#include <QPainter>
#include <QTextBlock>

namespace korvane::ui {

class LineNumberMargin : public QWidget {
public:
    explicit LineNumberMargin(TextView* view) : QWidget(view), view_(view) {}
    QSize sizeHint() const override { return {view_->lineNumberWidth(), 0}; }

protected:
    void paintEvent(QPaintEvent* event) override { view_->paintMargin(event); }

private:
    TextView* view_;
};

TextView::TextView(QWidget* parent) : QPlainTextEdit(parent), margin_(new LineNumberMargin(this)) {
    setObjectName("textView");
    setReadOnly(true);
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    connect(this, &QPlainTextEdit::blockCountChanged, this,
            [this] { setViewportMargins(lineNumberWidth(), 0, 0, 0); });
    connect(this, &QPlainTextEdit::updateRequest, this, [this](const QRect& rect, int dy) {
        if (dy)
            margin_->scroll(0, dy);
        else
            margin_->update(0, rect.y(), margin_->width(), rect.height());
    });
    setViewportMargins(lineNumberWidth(), 0, 0, 0);
}

int TextView::lineNumberWidth() const {
    int digits = 1;
    for (int n = std::max(1, blockCount()); n >= 10; n /= 10)
        ++digits;
    return 12 + fontMetrics().horizontalAdvance(QLatin1Char('9')) * digits;
}

int TextView::firstVisibleLineNumber() const {
    return firstVisibleBlock().blockNumber() + 1;
}

void TextView::resizeEvent(QResizeEvent* event) {
    QPlainTextEdit::resizeEvent(event);
    const QRect r = contentsRect();
    margin_->setGeometry(QRect(r.left(), r.top(), lineNumberWidth(), r.height()));
}

void TextView::paintMargin(QPaintEvent* event) {
    QPainter p(margin_);
    p.fillRect(event->rect(), palette().color(QPalette::AlternateBase));
    p.setPen(palette().color(QPalette::PlaceholderText));
    QTextBlock block = firstVisibleBlock();
    int top = qRound(blockBoundingGeometry(block).translated(contentOffset()).top());
    const int h = fontMetrics().height();
    while (block.isValid() && top <= event->rect().bottom()) {
        if (block.isVisible() && top + h >= event->rect().top())
            p.drawText(0, top, margin_->width() - 6, h, Qt::AlignRight,
                       QString::number(block.blockNumber() + 1));
        top += qRound(blockBoundingRect(block).height());
        block = block.next();
    }
}

} // namespace korvane::ui
