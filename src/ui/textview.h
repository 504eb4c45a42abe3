// The text view of the viewer: read-only, with line numbers in a margin.
#pragma once

#include <QPlainTextEdit>

namespace korvane::ui {

class TextView : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit TextView(QWidget* parent = nullptr);

    int lineNumberWidth() const;
    // The number shown beside the first line in sight.
    int firstVisibleLineNumber() const;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    friend class LineNumberMargin;
    void paintMargin(QPaintEvent* event);

    QWidget* margin_;
};

} // namespace korvane::ui
