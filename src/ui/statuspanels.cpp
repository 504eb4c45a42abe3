#include "statuspanels.h"

#include "progressstrip.h"
#include "uitexts.h"

#include <QHBoxLayout>
#include <QLabel>

namespace korvane::ui {

namespace {

// Least widths of panels 0 to 4; the strip takes the rest.
constexpr int kWidths[5] = {50, 180, 50, 80, 150};

} // namespace

StatusPanels::StatusPanels(QWidget* parent) : QWidget(parent) {
    setObjectName("statusPanels");
    auto* h = new QHBoxLayout(this);
    h->setContentsMargins(0, 0, 0, 0);
    h->setSpacing(2);
    const QString texts[5] = {tx(kPanelImageName), {}, tx(kPanelImageSize), {}, {}};
    for (int i = 0; i < 5; ++i) {
        auto* panel = new QLabel(texts[i], this);
        panel->setFrameShape(QFrame::Panel);
        panel->setFrameShadow(QFrame::Sunken);
        panel->setTextFormat(Qt::PlainText);
        const int fits = panel->fontMetrics().horizontalAdvance(texts[i]) + 10;
        if (i == 0 || i == 2)
            panel->setFixedWidth(std::max(kWidths[i], fits));
        else
            panel->setMinimumWidth(kWidths[i]);
        panels_[i] = panel;
        h->addWidget(panel);
    }
    panels_[1]->setObjectName("imageNamePanel");
    strip_ = new ProgressStrip(this);
    strip_->setObjectName("progressStrip");
    h->addWidget(strip_, 1);
    setFixedHeight(fontMetrics().height() + 8);
}

void StatusPanels::setImage(const QString& name, const QString& path, const QString& size) {
    name_ = name;
    panels_[1]->setToolTip(path);
    panels_[3]->setText(size);
    showName();
}

void StatusPanels::setStatus(const QString& text) {
    panels_[4]->setText(text);
    panels_[4]->setToolTip(text);
}

QString StatusPanels::text(int panel) const {
    if (panel == 1)
        return name_;
    if (panel == 5)
        return strip_->text();
    return panel >= 0 && panel < 5 ? panels_[panel]->text() : QString();
}

void StatusPanels::showName() {
    QLabel* p = panels_[1];
    const int room = std::max(kWidths[1], p->width()) - 10;
    p->setText(p->fontMetrics().elidedText(name_, Qt::ElideMiddle, room));
}

void StatusPanels::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    showName();
}

} // namespace korvane::ui
