// The floating panel that shows the progress of extraction, adding files and
// saving: message, animation, format name, progress bar and "取消".
#pragma once

#include <QFrame>

class QLabel;
class QMovie;
class QProgressBar;
class QPushButton;

namespace korvane::ui {

class ProgressPanel : public QFrame {
    Q_OBJECT
public:
    explicit ProgressPanel(QWidget* parent);

    void setMessage(const QString& text);
    QString message() const;
    void setFormatName(const QString& text);
    QString formatName() const;
    // Empties the bar and makes it a busy indicator until the first progress.
    void resetBar();
    // pos of max (64-bit counts, scaled to the bar's range).
    void setProgress(int64_t pos, int64_t max);
    int barValue() const;
    int barMaximum() const;
    QPushButton* cancelButton() const { return cancel_; }

    // Centres the panel on its parent, shows it on top and starts the
    // animation; hides it again.
    void showprogress();
    void hideprogress();
    // Keeps the panel centred.
    void centre();

signals:
    void cancelClicked();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QLabel* message_;
    QLabel* animation_;
    QMovie* movie_;
    QLabel* format_;
    QProgressBar* bar_;
    QPushButton* cancel_;
};

} // namespace korvane::ui
