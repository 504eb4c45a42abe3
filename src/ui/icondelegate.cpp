#include "icondelegate.h"

#include "dirlistmodel.h"
#include "thumbnailer.h"

#include <QApplication>
#include <QPainter>
#include <QTextLayout>

namespace korvane::ui {

namespace {

constexpr int kIconSide = 48;
constexpr int kFallbackIcon = 32;
constexpr int kCellWidth = 112;
constexpr int kPad = 4;
const QColor kFrameGrey(236, 233, 216);
const QColor kFrameBlue(0, 0, 255);

} // namespace

IconDelegate::IconDelegate(QObject* parent) : QStyledItemDelegate(parent) {}

QStringList IconDelegate::nameLines(const QString& name, const QFont& font, int width) {
    QTextLayout layout(name, font);
    QTextOption option(Qt::AlignHCenter);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    QStringList lines;
    int secondStart = -1;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        if (lines.size() == 1)
            secondStart = line.textStart();
        lines << name.mid(line.textStart(), line.textLength());
    }
    layout.endLayout();
    if (lines.size() > 2)
        lines = {lines[0],
                 QFontMetrics(font).elidedText(name.mid(secondStart), Qt::ElideRight, width)};
    return lines;
}

QSize IconDelegate::cellSize(const QFontMetrics& fm) const {
    const int picture = thumbnails_ ? kThumbnailSize : kIconSide;
    return {kCellWidth, kPad + picture + kPad + 2 * fm.height() + kPad};
}

QSize IconDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
    return cellSize(option.fontMetrics);
}

void IconDelegate::paint(QPainter* p, const QStyleOptionViewItem& option,
                         const QModelIndex& index) const {
    const QRect cell = option.rect;
    const bool selected = option.state & QStyle::State_Selected;
    const bool focused = option.state & QStyle::State_HasFocus;
    const QPalette& pal = option.palette;
    const int side = thumbnails_ ? kThumbnailSize : kIconSide;
    const QRect square(cell.left() + (cell.width() - side) / 2, cell.top() + kPad, side, side);
    p->save();

    // The picture.
    const QIcon icon = index.data(Qt::DecorationRole).value<QIcon>();
    if (thumbnails_) {
        const QImage thumb = index.data(DirListModel::ThumbnailRole).value<QImage>();
        if (!selected) {
            p->setPen(kFrameGrey);
            p->drawRect(square.adjusted(-1, -1, 0, 0));
        }
        if (!thumb.isNull()) {
            p->drawImage(square, thumb);
        } else {
            const QRect small(square.left() + (side - kFallbackIcon) / 2,
                              square.top() + (side - kFallbackIcon) / 2, kFallbackIcon,
                              kFallbackIcon);
            icon.paint(p, small);
        }
        if (selected) {
            p->setPen(kFrameBlue);
            p->drawRect(square.adjusted(-1, -1, 0, 0));
            p->drawRect(square);
        }
    } else {
        if (selected)
            p->fillRect(square.adjusted(-2, -2, 2, 2), pal.color(QPalette::Highlight).lighter(170));
        icon.paint(p, square, Qt::AlignCenter, selected ? QIcon::Selected : QIcon::Normal);
    }

    // The name, in at most two lines.
    const int textWidth = cell.width() - 2 * kPad;
    const QStringList lines =
        nameLines(index.data(Qt::DisplayRole).toString(), option.font, textWidth);
    const QFontMetrics& fm = option.fontMetrics;
    int widest = 0;
    for (const QString& l : lines)
        widest = std::max(widest, fm.horizontalAdvance(l));
    const QRect textBox(cell.left() + (cell.width() - widest) / 2 - 2, square.bottom() + kPad,
                        widest + 4, static_cast<int>(lines.size()) * fm.height() + 2);
    if (selected)
        p->fillRect(textBox, pal.color(focused ? QPalette::Active : QPalette::Inactive,
                                       QPalette::Highlight));
    p->setPen(pal.color(QPalette::Active, selected ? QPalette::HighlightedText : QPalette::Text));
    p->setFont(option.font);
    int y = textBox.top() + 1;
    for (const QString& l : lines) {
        p->drawText(QRect(cell.left() + kPad, y, textWidth, fm.height()), Qt::AlignHCenter, l);
        y += fm.height();
    }
    p->restore();
}

} // namespace korvane::ui
