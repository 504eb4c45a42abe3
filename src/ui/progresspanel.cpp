#include "progresspanel.h"

#include "uitexts.h"

#include <QLabel>
#include <QMovie>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <climits>

namespace korvane::ui {

namespace {

constexpr int kWidth = 465;
constexpr int kHeight = 86;

// Four 1-pixel lines per edge, from the outside in.
const QColor kLeft[4] = {{0, 25, 207}, {8, 49, 217}, {22, 106, 238}, {8, 85, 221}};
const QColor kTop[4] = {{0, 81, 229}, {58, 145, 255}, {33, 137, 255}, {0, 90, 245}};
const QColor kRightBottom[4] = {{0, 19, 140}, {0, 30, 161}, {0, 61, 221}, {0, 72, 241}};

} // namespace

ProgressPanel::ProgressPanel(QWidget* parent) : QFrame(parent) {
    setObjectName("progressPanel");
    setFixedSize(kWidth, kHeight);
    setAutoFillBackground(false);

    message_ = new QLabel(this);
    message_->setGeometry(16, 10, 321, 20);
    message_->setTextFormat(Qt::PlainText);

    animation_ = new QLabel(this);
    animation_->setGeometry(352, 6, 23, 25);
    animation_->setScaledContents(true);
    movie_ = new QMovie(":/korvane/progress.gif", QByteArray(), this);
    animation_->setMovie(movie_);

    format_ = new QLabel("YAFFS2", this);
    format_->setGeometry(376, 10, 80, 20);

    bar_ = new QProgressBar(this);
    bar_->setGeometry(16, 35, 433, 20);
    bar_->setTextVisible(false);

    cancel_ = new QPushButton(tx(kButtonCancel), this);
    cancel_->setObjectName("cancelButton");
    cancel_->setGeometry(184, 60, 73, 22);
    connect(cancel_, &QPushButton::clicked, this, &ProgressPanel::cancelClicked);
    hide();
}

void ProgressPanel::setMessage(const QString& text) {
    // Paths can be long: keep the end, which names the object.
    QFontMetrics fm(message_->font());
    message_->setText(fm.elidedText(text, Qt::ElideMiddle, message_->width()));
    message_->setToolTip(text);
}

QString ProgressPanel::message() const {
    return message_->toolTip();
}

void ProgressPanel::setFormatName(const QString& text) {
    format_->setText(text);
}

QString ProgressPanel::formatName() const {
    return format_->text();
}

void ProgressPanel::resetBar() {
    bar_->setRange(0, 0);
}

void ProgressPanel::setProgress(int64_t pos, int64_t max) {
    if (max < 0)
        max = 0;
    pos = std::clamp<int64_t>(pos, 0, max);
    int shift = 0;
    while ((max >> shift) > INT_MAX)
        ++shift;
    int m = static_cast<int>(max >> shift);
    if (bar_->maximum() != m || bar_->minimum() != 0)
        bar_->setRange(0, m);
    bar_->setValue(static_cast<int>(pos >> shift));
}

int ProgressPanel::barValue() const {
    return bar_->value();
}

int ProgressPanel::barMaximum() const {
    return bar_->maximum();
}

void ProgressPanel::centre() {
    if (QWidget* p = parentWidget())
        move((p->width() - width()) / 2, (p->height() - height()) / 2);
}

void ProgressPanel::showprogress() {
    centre();
    show();
    raise();
    movie_->start();
}

void ProgressPanel::hideprogress() {
    movie_->stop();
    hide();
    lower();
}

void ProgressPanel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const int w = width(), h = height();
    p.fillRect(rect(), palette().color(QPalette::Button));
    for (int k = 0; k < 4; ++k) {
        p.setPen(kLeft[k]);
        p.drawLine(k, k, k, h - k);
        p.setPen(kTop[k]);
        p.drawLine(k, k, w - k, k);
        p.setPen(kRightBottom[k]);
        p.drawLine(w - 1 - k, 0, w - 1 - k, h);
        p.drawLine(0, h - 1 - k, w, h - 1 - k);
    }
}

} // namespace korvane::ui
