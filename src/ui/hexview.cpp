#include "hexview.h"

#include "language.h"
#include "model/error.h"

#include <QFontDatabase>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>
#include <climits>

namespace korvane::ui {

namespace {

constexpr int kMargin = 4;

} // namespace

HexView::HexView(QWidget* parent) : QAbstractScrollArea(parent) {
    setObjectName("hexView");
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    setFocusPolicy(Qt::StrongFocus);
    horizontalScrollBar()->setRange(0, 0);
    viewport()->setBackgroundRole(QPalette::Base);
}

void HexView::setContents(ContentReader reader) {
    pager_ = ContentPager(std::move(reader));
    top_ = 0;
    markStart_ = 0;
    markEnd_ = pager_.size() > 0 ? 1 : 0;
    readError_.clear();
    updateScrollBar();
    viewport()->update();
}

uint64_t HexView::lineCount() const {
    return (pager_.size() + kBytesPerLine - 1) / kBytesPerLine;
}

int HexView::visibleLines() const {
    return std::max(1, (viewport()->height() - 2 * kMargin) / fontMetrics().height());
}

int HexView::offsetDigits() const {
    return pager_.size() > 0xFFFFFFFFull ? 12 : 8;
}

void HexView::updateScrollBar() {
    const uint64_t lines = lineCount();
    const uint64_t last = lines > static_cast<uint64_t>(visibleLines())
                              ? lines - static_cast<uint64_t>(visibleLines())
                              : 0;
    linesPerStep_ = last / INT_MAX + 1;
    settingBar_ = true;
    verticalScrollBar()->setRange(0, static_cast<int>(last / linesPerStep_));
    verticalScrollBar()->setPageStep(std::max(1, visibleLines() - 1));
    verticalScrollBar()->setSingleStep(1);
    verticalScrollBar()->setValue(static_cast<int>(top_ / linesPerStep_));
    settingBar_ = false;
}

void HexView::setTop(uint64_t line) {
    const uint64_t lines = lineCount();
    const uint64_t last = lines > static_cast<uint64_t>(visibleLines())
                              ? lines - static_cast<uint64_t>(visibleLines())
                              : 0;
    top_ = std::min(line, last);
    settingBar_ = true;
    verticalScrollBar()->setValue(static_cast<int>(top_ / linesPerStep_));
    settingBar_ = false;
    viewport()->update();
}

void HexView::scrollContentsBy(int, int) {
    if (settingBar_)
        return;
    top_ = static_cast<uint64_t>(verticalScrollBar()->value()) * linesPerStep_;
    viewport()->update();
}

void HexView::goTo(uint64_t offset, uint64_t length) {
    if (pager_.size() == 0)
        return;
    offset = std::min(offset, pager_.size() - 1);
    markStart_ = offset;
    markEnd_ = std::min(pager_.size(), offset + std::max<uint64_t>(length, 1));
    const uint64_t line = offset / kBytesPerLine;
    const auto shown = static_cast<uint64_t>(visibleLines());
    if (line < top_ || line >= top_ + shown)
        setTop(line > shown / 2 ? line - shown / 2 : 0);
    viewport()->update();
    emit cursorMoved(markStart_);
}

int HexView::lineBytes(uint64_t line, std::byte* out) {
    try {
        return static_cast<int>(
            pager_.read(line * kBytesPerLine, MutableByteSpan(out, kBytesPerLine)));
    } catch (const Error& e) {
        readError_ = coreText(e.message());
        return -1;
    }
}

QString HexView::lineText(uint64_t line) {
    std::byte bytes[kBytesPerLine];
    const int n = lineBytes(line, bytes);
    QString text = QString("%1").arg(line * kBytesPerLine, offsetDigits(), 16, QChar('0'));
    text += " ";
    QString ascii;
    for (int i = 0; i < kBytesPerLine; ++i) {
        if (i == 8)
            text += " ";
        if (i < n) {
            const auto b = static_cast<unsigned>(bytes[i]);
            text += QString(" %1").arg(b, 2, 16, QChar('0'));
            ascii += b >= 0x20 && b < 0x7F ? QChar(static_cast<char>(b)) : QChar('.');
        } else {
            text += n < 0 ? " ??" : "   ";
        }
    }
    return text + "  " + ascii;
}

void HexView::paintEvent(QPaintEvent*) {
    QPainter p(viewport());
    const QFontMetrics fm = fontMetrics();
    const int h = fm.height();
    const int cw = fm.horizontalAdvance('0');
    const int hexX = kMargin + (offsetDigits() + 2) * cw;
    const int asciiX = hexX + (kBytesPerLine * 3 + 2) * cw;
    const QColor offsetColour = palette().color(QPalette::PlaceholderText);
    const QColor mark = palette().color(QPalette::Highlight);
    const QColor markText = palette().color(QPalette::HighlightedText);
    const uint64_t lines = lineCount();
    for (int row = 0; row < visibleLines() + 1; ++row) {
        const uint64_t line = top_ + static_cast<uint64_t>(row);
        if (line >= lines)
            break;
        const int y = kMargin + row * h;
        std::byte bytes[kBytesPerLine];
        const int n = lineBytes(line, bytes);
        p.setPen(offsetColour);
        p.drawText(kMargin, y + fm.ascent(),
                   QString("%1").arg(line * kBytesPerLine, offsetDigits(), 16, QChar('0')));
        for (int i = 0; i < kBytesPerLine; ++i) {
            const uint64_t at = line * kBytesPerLine + static_cast<uint64_t>(i);
            if (at >= pager_.size())
                break;
            const int x = hexX + (i * 3 + (i >= 8 ? 1 : 0)) * cw;
            const int ax = asciiX + i * cw;
            const bool marked = at >= markStart_ && at < markEnd_;
            if (marked) {
                p.fillRect(x - cw / 2, y, 3 * cw, h, mark);
                p.fillRect(ax, y, cw, h, mark);
            }
            p.setPen(marked ? markText : palette().color(QPalette::Text));
            if (i >= n) {
                p.drawText(x, y + fm.ascent(), "??");
                continue;
            }
            const auto b = static_cast<unsigned>(bytes[i]);
            p.drawText(x, y + fm.ascent(), QString("%1").arg(b, 2, 16, QChar('0')));
            p.drawText(ax, y + fm.ascent(),
                       QString(b >= 0x20 && b < 0x7F ? QChar(static_cast<char>(b)) : QChar('.')));
        }
    }
}

void HexView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBar();
}

void HexView::keyPressEvent(QKeyEvent* event) {
    const auto page = static_cast<uint64_t>(visibleLines() - 1) * kBytesPerLine;
    const uint64_t size = pager_.size();
    if (size == 0)
        return QAbstractScrollArea::keyPressEvent(event);
    uint64_t at = markStart_;
    switch (event->key()) {
    case Qt::Key_Left:
        at = at > 0 ? at - 1 : 0;
        break;
    case Qt::Key_Right:
        at = std::min(size - 1, at + 1);
        break;
    case Qt::Key_Up:
        at = at >= kBytesPerLine ? at - kBytesPerLine : at;
        break;
    case Qt::Key_Down:
        at = at + kBytesPerLine < size ? at + kBytesPerLine : at;
        break;
    case Qt::Key_PageUp:
        at = at > page ? at - page : at % kBytesPerLine;
        break;
    case Qt::Key_PageDown:
        at = at + page < size ? at + page : at;
        break;
    case Qt::Key_Home:
        at = event->modifiers() & Qt::ControlModifier ? 0 : at - at % kBytesPerLine;
        break;
    case Qt::Key_End:
        at = event->modifiers() & Qt::ControlModifier
                 ? size - 1
                 : std::min(size - 1, at - at % kBytesPerLine + kBytesPerLine - 1);
        break;
    default:
        return QAbstractScrollArea::keyPressEvent(event);
    }
    goTo(at);
}

void HexView::mousePressEvent(QMouseEvent* event) {
    const QFontMetrics fm = fontMetrics();
    const int cw = fm.horizontalAdvance('0');
    const int hexX = kMargin + (offsetDigits() + 2) * cw;
    const int asciiX = hexX + (kBytesPerLine * 3 + 2) * cw;
    const int row = (static_cast<int>(event->position().y()) - kMargin) / fm.height();
    const int x = static_cast<int>(event->position().x());
    int column = -1;
    if (x >= asciiX)
        column = (x - asciiX) / cw;
    else if (x >= hexX)
        column = (x - hexX) / (3 * cw);
    if (row < 0 || column < 0 || column >= kBytesPerLine)
        return;
    const uint64_t at =
        (top_ + static_cast<uint64_t>(row)) * kBytesPerLine + static_cast<uint64_t>(column);
    if (at < pager_.size())
        goTo(at);
}

} // namespace korvane::ui
