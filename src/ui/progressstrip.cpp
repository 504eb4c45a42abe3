#include "progressstrip.h"

#include <QPainter>
#include <cmath>

namespace korvane::ui {

namespace {
constexpr int kBlockWidth = 15;
constexpr int kBlockStep = 17;
constexpr int kRightMargin = 15;
} // namespace

ProgressStrip::ProgressStrip(QWidget* parent) : QWidget(parent) {
    setMinimumWidth(50);
}

QSize ProgressStrip::sizeHint() const {
    return {200, fontMetrics().height() + 4};
}

QRect ProgressStrip::progressRect() const {
    QRect r = rect();
    r.setRight(r.right() - kRightMargin);
    return r;
}

void ProgressStrip::myjdt(int64_t pos, int64_t max) {
    if (pos <= 0 && max <= 0)
        pos = max = 1;
    if (pos > max)
        max = pos;
    blocks_ = true;
    fraction_ = static_cast<double>(pos) / static_cast<double>(max);
    update();
}

void ProgressStrip::clearStrip() {
    blocks_ = false;
    update();
}

void ProgressStrip::setText(const QString& text) {
    text_ = text;
    // The whole summary, when the strip is too narrow for it.
    setToolTip(text);
    update();
}

int ProgressStrip::blockCount() const {
    if (!blocks_)
        return 0;
    int width = std::max(0, progressRect().width());
    return static_cast<int>(std::ceil(fraction_ * width / kBlockStep));
}

void ProgressStrip::paintEvent(QPaintEvent*) {
    QPainter p(this);
    QRect r = progressRect();
    int n = blockCount();
    for (int d = 0; d < n; ++d) {
        int left = r.left() + kBlockStep * d;
        int right = std::min(left + kBlockWidth, r.right() + 1);
        if (right > left)
            p.fillRect(QRect(left, r.top(), right - left, r.height()), QColor(0, 0, 255));
    }
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(r.adjusted(2, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
               text_);
}

} // namespace korvane::ui
