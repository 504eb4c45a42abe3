// The last panel of the status bar: the blue progress blocks of the readers
// and the one-line summary of the selected object. It keeps what it shows,
// so a repaint draws it again.
#pragma once

#include <QString>
#include <QWidget>

namespace korvane::ui {

class ProgressStrip : public QWidget {
    Q_OBJECT
public:
    explicit ProgressStrip(QWidget* parent = nullptr);

    // Draws blocks for pos of max over the strip (pos = max = 0 counts as
    // full): 15-pixel blocks with 2-pixel gaps.
    void myjdt(int64_t pos, int64_t max);
    // Removes the blocks.
    void clearStrip();
    void setText(const QString& text);
    QString text() const { return text_; }
    // Number of blocks drawn at the current width.
    int blockCount() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QRect progressRect() const;

    QString text_;
    bool blocks_ = false;
    double fraction_ = 0;
};

} // namespace korvane::ui
