#include "saveoptionsdialog.h"

#include "uitexts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>

namespace korvane::ui {

using namespace yaffs2;

namespace {

QString u8(const char* s) {
    return QString::fromUtf8(s);
}

// A preset as the list shows it, in the dialog's words.
QString presetLabel(const Layout& l) {
    QString s = QString("%1+%2").arg(l.pageSize).arg(l.spareSize);
    if (l.inbandTags)
        s += u8("，页内标签");
    else if (l.tagOffset == 2)
        s += u8("，FF FF 擦除标志");
    else if (l.tagOffset > 2)
        s += u8("，标签在偏移 %1").arg(l.tagOffset);
    if (!l.inbandTags && !l.tagEcc)
        s += u8("，标签无 ECC");
    if (l.order == ByteOrder::kBig)
        s += u8("，大端");
    if (l.dataEcc != kEccNone)
        s += l.dataEcc == kEccYaffs ? u8("，yaffs2自带ECC") : u8("，NAND FLASH ECC");
    return s;
}

} // namespace

SaveOptionsDialog::SaveOptionsDialog(SaveParams& params, QWidget* owner)
    : QDialog(owner), params_(params), owner_(owner) {
    updating_ = true; // no reactions until every control is there
    setObjectName("saveOptionsDialog");
    setWindowTitle(u8("保存设置"));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    auto* layout = new QVBoxLayout(this);

    auto* eccBox = new QGroupBox(u8("保存为："), this);
    auto* eccLayout = new QVBoxLayout(eccBox);
    ecc_[0] = new QRadioButton(u8("yaffs2自带ECC"), eccBox);
    ecc_[1] = new QRadioButton(u8("NAND FLASH ECC"), eccBox);
    ecc_[2] = new QRadioButton(u8("不写数据 ECC"), eccBox);
    for (auto* b : ecc_) {
        eccLayout->addWidget(b);
        connect(b, &QRadioButton::toggled, this, &SaveOptionsDialog::refresh);
    }
    ecc_[0]->setChecked(true);
    layout->addWidget(eccBox);

    auto* markerBox = new QGroupBox(u8("设置 OOB头（FF FF）擦除标志"), this);
    auto* markerLayout = new QGridLayout(markerBox);
    marker_[0] = new QRadioButton(u8("没有"), markerBox);
    marker_[1] = new QRadioButton(u8("有"), markerBox);
    markerLayout->addWidget(marker_[0], 0, 0);
    markerLayout->addWidget(marker_[1], 0, 1);
    marker_[0]->setChecked(true);
    for (auto* b : marker_)
        connect(b, &QRadioButton::toggled, this, &SaveOptionsDialog::markerChanged);
    layout->addWidget(markerBox);

    auto* nandBox = new QGroupBox(u8("NAND 布局"), this);
    auto* form = new QFormLayout(nandBox);
    preset_ = new QComboBox(nandBox);
    preset_->addItem(u8("（自定）"));
    for (const NamedLayout& n : commonLayouts())
        preset_->addItem(presetLabel(n.layout));
    form->addRow(u8("常用布局："), preset_);
    pageSize_ = new QComboBox(nandBox);
    for (uint32_t p = kMinPageSize; p <= kMaxPageSize; p *= 2)
        pageSize_->addItem(QString::number(p), p);
    form->addRow(u8("页大小："), pageSize_);
    spareSize_ = new QSpinBox(nandBox);
    spareSize_->setRange(0, kMaxSpareSize);
    spareSize_->setSuffix(u8(" 字节"));
    form->addRow(u8("备用区（OOB）大小："), spareSize_);
    inband_ = new QCheckBox(u8("标签在页内（inband）"), nandBox);
    form->addRow(QString(), inband_);
    tagOffset_ = new QSpinBox(nandBox);
    tagOffset_->setRange(0, kMaxSpareSize);
    form->addRow(u8("标签在备用区的偏移："), tagOffset_);
    tagEcc_ = new QCheckBox(u8("标签带 ECC"), nandBox);
    form->addRow(QString(), tagEcc_);
    order_ = new QComboBox(nandBox);
    order_->addItem(u8("小端（little-endian）"));
    order_->addItem(u8("大端（big-endian）"));
    form->addRow(u8("字节序："), order_);
    layout->addWidget(nandBox);

    problem_ = new QLabel(this);
    problem_->setObjectName("layoutProblem");
    problem_->setWordWrap(true);
    problem_->setStyleSheet("color: #b00000");
    layout->addWidget(problem_);

    connect(preset_, &QComboBox::activated, this, &SaveOptionsDialog::applyPreset);
    connect(pageSize_, &QComboBox::currentIndexChanged, this, &SaveOptionsDialog::refresh);
    connect(spareSize_, &QSpinBox::valueChanged, this, &SaveOptionsDialog::refresh);
    connect(tagOffset_, &QSpinBox::valueChanged, this, [this] {
        if (updating_)
            return;
        updating_ = true;
        marker_[tagOffset_->value() >= 2 ? 1 : 0]->setChecked(true);
        updating_ = false;
        refresh();
    });
    connect(inband_, &QCheckBox::toggled, this, &SaveOptionsDialog::refresh);
    connect(tagEcc_, &QCheckBox::toggled, this, &SaveOptionsDialog::refresh);
    connect(order_, &QComboBox::currentIndexChanged, this, &SaveOptionsDialog::refresh);

    auto* row = new QHBoxLayout;
    row->addStretch();
    ok_ = new QPushButton(u8(kButtonOk), this);
    ok_->setDefault(true);
    connect(ok_, &QPushButton::clicked, this, &SaveOptionsDialog::confirm);
    auto* cancel = new QPushButton(u8(kButtonCancel), this);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    row->addWidget(ok_);
    row->addWidget(cancel);
    layout->addLayout(row);

    updating_ = false;
    showLayout(params_.layout);
}

QRadioButton* SaveOptionsDialog::eccButton(int index) const {
    return ecc_[std::clamp(index, 0, 2)];
}

QRadioButton* SaveOptionsDialog::markerButton(int index) const {
    return marker_[index == 0 ? 0 : 1];
}

Layout SaveOptionsDialog::chosenLayout() const {
    Layout l;
    l.pageSize = pageSize_->currentData().toUInt();
    l.spareSize = static_cast<uint32_t>(spareSize_->value());
    l.inbandTags = inband_->isChecked();
    l.tagOffset = l.inbandTags ? 0 : static_cast<uint32_t>(tagOffset_->value());
    l.tagEcc = !l.inbandTags && tagEcc_->isChecked();
    l.order = order_->currentIndex() == 1 ? ByteOrder::kBig : ByteOrder::kLittle;
    const EccKind ecc = ecc_[0]->isChecked()   ? kEccYaffs
                        : ecc_[1]->isChecked() ? kEccNand
                                               : kEccNone;
    if (ecc != kEccNone) {
        l.dataEcc = ecc;
        l.dataEccOffset = standardDataEccOffset(l).value_or(l.spareSize);
    }
    return l;
}

// The controls from a layout; the preset box names it when it is one.
void SaveOptionsDialog::showLayout(const Layout& l) {
    updating_ = true;
    pageSize_->setCurrentIndex(pageSize_->findData(l.pageSize));
    spareSize_->setValue(static_cast<int>(l.spareSize));
    inband_->setChecked(l.inbandTags);
    tagOffset_->setValue(static_cast<int>(l.tagOffset));
    tagEcc_->setChecked(l.tagEcc && !l.inbandTags);
    order_->setCurrentIndex(l.order == ByteOrder::kBig ? 1 : 0);
    ecc_[l.dataEcc == kEccYaffs ? 0 : l.dataEcc == kEccNand ? 1 : 2]->setChecked(true);
    marker_[!l.inbandTags && l.tagOffset >= 2 ? 1 : 0]->setChecked(true);
    updating_ = false;
    refresh();
}

void SaveOptionsDialog::applyPreset(int index) {
    if (index <= 0 || index > static_cast<int>(commonLayouts().size()))
        return;
    showLayout(commonLayouts()[static_cast<size_t>(index - 1)].layout);
}

// The marker radio buttons put the tags at the head of the spare area or
// after the two marker bytes.
void SaveOptionsDialog::markerChanged() {
    if (updating_)
        return;
    updating_ = true;
    const bool marked = marker_[1]->isChecked();
    if (marked && tagOffset_->value() < 2)
        tagOffset_->setValue(2);
    else if (!marked && tagOffset_->value() >= 2)
        tagOffset_->setValue(0);
    updating_ = false;
    refresh();
}

void SaveOptionsDialog::refresh() {
    if (updating_)
        return;
    const Layout l = chosenLayout();
    tagOffset_->setEnabled(!l.inbandTags);
    tagEcc_->setEnabled(!l.inbandTags);
    for (auto* b : marker_)
        b->setEnabled(!l.inbandTags);
    int match = 0;
    for (size_t i = 0; i < commonLayouts().size(); ++i)
        if (commonLayouts()[i].layout == l)
            match = static_cast<int>(i) + 1;
    preset_->setCurrentIndex(match);
    QString why;
    if (l.dataEcc != kEccNone && !standardDataEccOffset(l))
        why = u8("数据 ECC（%1 字节）在备用区放不下。").arg(l.dataEccBytes());
    else if (layoutProblem(l))
        why = u8("标签放不下：备用区太小，或偏移太大。");
    problem_->setText(why);
    problem_->setVisible(!why.isEmpty());
    ok_->setEnabled(why.isEmpty());
}

void SaveOptionsDialog::showEvent(QShowEvent* event) {
    showLayout(params_.layout);
    QDialog::showEvent(event);
}

void SaveOptionsDialog::confirm() {
    const Layout l = chosenLayout();
    if (layoutProblem(l))
        return;
    params_.layout = l;
    accept();
}

void SaveOptionsDialog::returnToOwner() {
    hide();
    setParent(owner_, Qt::Dialog);
}

void SaveOptionsDialog::showBeside(QWidget* dialog) {
    QWidget* anchor = dialog ? dialog : owner_;
    if (parentWidget() != anchor)
        setParent(anchor, Qt::Dialog);
    if (auto* d = qobject_cast<QDialog*>(dialog))
        connect(d, &QDialog::finished, this, &SaveOptionsDialog::returnToOwner,
                Qt::SingleShotConnection);
    adjustSize();
    if (anchor->isVisible())
        move(anchor->frameGeometry().topRight() + QPoint(8, 0));
    show();
    raise();
    activateWindow();
}

} // namespace korvane::ui
