// The hex view of the viewer: each line the offset, sixteen bytes in hex and
// the same bytes as ASCII. It reads only the lines on screen, through a
// ContentPager, so a file of any size opens at once; offsets are 64-bit and
// the scroll bar is scaled where the lines outnumber its range.
#pragma once

#include "contentpager.h"

#include <QAbstractScrollArea>
#include <QString>
#include <cstdint>

namespace korvane::ui {

class HexView : public QAbstractScrollArea {
    Q_OBJECT
public:
    static constexpr int kBytesPerLine = 16;

    explicit HexView(QWidget* parent = nullptr);

    void setContents(ContentReader reader);
    const ContentPager& pager() const { return pager_; }
    uint64_t size() const { return pager_.size(); }

    // The first line shown, and how many fit.
    uint64_t topLine() const { return top_; }
    int visibleLines() const;
    // Scrolls offset into sight and marks length bytes from it (0: the one
    // byte at offset as the cursor).
    void goTo(uint64_t offset, uint64_t length = 0);
    uint64_t cursor() const { return markStart_; }
    // The text of line (for tests): "00000010  41 42 ...  AB..".
    QString lineText(uint64_t line);
    // Why bytes on screen could not be read, empty when they could.
    const QString& readError() const { return readError_; }

signals:
    void cursorMoved(uint64_t offset);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    uint64_t lineCount() const;
    void setTop(uint64_t line);
    void updateScrollBar();
    int offsetDigits() const;
    // The bytes of line into out (16 at most); -1 when unreadable.
    int lineBytes(uint64_t line, std::byte* out);

    ContentPager pager_;
    uint64_t top_ = 0;
    uint64_t markStart_ = 0;
    uint64_t markEnd_ = 1;
    // Scroll bar units per line (above 1 when the lines outnumber its range).
    uint64_t linesPerStep_ = 1;
    bool settingBar_ = false;
    QString readError_;
};

} // namespace korvane::ui
