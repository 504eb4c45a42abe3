// Cells of the icon and thumbnail views: the icon (or the picture in its
// 97 x 97 frame) above the name, which wraps over at most two lines,
// anywhere in a word, and is cut with "…" after that.
#pragma once

#include <QStyledItemDelegate>

namespace korvane::ui {

class IconDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit IconDelegate(QObject* parent = nullptr);

    // Thumbnail view: pictures in frames; otherwise large icons.
    void setThumbnails(bool on) { thumbnails_ = on; }
    bool thumbnails() const { return thumbnails_; }
    // The size of a cell.
    QSize cellSize(const QFontMetrics& fm) const;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // The name as it is drawn: at most two lines of width pixels.
    static QStringList nameLines(const QString& name, const QFont& font, int width);

private:
    bool thumbnails_ = false;
};

} // namespace korvane::ui
