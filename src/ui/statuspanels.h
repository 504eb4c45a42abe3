// The status bar along the bottom of the work area: "IMG名称", the image's
// file name, "IMG大小", its size, the status message, and the strip with the
// readers' progress blocks and the selection summary.
#pragma once

#include <QString>
#include <QWidget>

class QLabel;

namespace korvane::ui {

class ProgressStrip;

class StatusPanels : public QWidget {
    Q_OBJECT
public:
    explicit StatusPanels(QWidget* parent = nullptr);

    // Panels 1 and 3: the image's name (cut in the middle when long, the
    // whole path as its tooltip) and size.
    void setImage(const QString& name, const QString& path, const QString& size);
    // Panel 4.
    void setStatus(const QString& text);
    // The text of panel 0 to 5 (5: the strip's summary).
    QString text(int panel) const;
    ProgressStrip* strip() const { return strip_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void showName();

    QLabel* panels_[5] = {};
    ProgressStrip* strip_ = nullptr;
    QString name_;
};

} // namespace korvane::ui
