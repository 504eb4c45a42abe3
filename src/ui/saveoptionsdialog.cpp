#include "saveoptionsdialog.h"

#include "uitexts.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace korvane::ui {

SaveOptionsDialog::SaveOptionsDialog(SaveParams& params, QWidget* owner)
    : QDialog(owner), params_(params), owner_(owner) {
    setObjectName("saveOptionsDialog");
    setWindowTitle(QString::fromUtf8("保存设置"));
    auto* layout = new QVBoxLayout(this);

    auto* eccBox = new QGroupBox(QString::fromUtf8("保存为："), this);
    auto* eccLayout = new QVBoxLayout(eccBox);
    ecc_[0] = new QRadioButton(QString::fromUtf8("yaffs2自带ECC"), eccBox);
    ecc_[1] = new QRadioButton(QString::fromUtf8("NAND FLASH ECC"), eccBox);
    for (auto* b : ecc_)
        eccLayout->addWidget(b);
    ecc_[0]->setChecked(true);
    layout->addWidget(eccBox);

    auto* markerBox = new QGroupBox(QString::fromUtf8("设置 OOB头（FF FF）擦除标志"), this);
    auto* markerLayout = new QGridLayout(markerBox);
    marker_[0] = new QRadioButton(QString::fromUtf8("没有"), markerBox);
    marker_[1] = new QRadioButton(QString::fromUtf8("有"), markerBox);
    markerLayout->addWidget(marker_[0], 0, 0);
    markerLayout->addWidget(marker_[1], 0, 1);
    marker_[0]->setChecked(true);
    layout->addWidget(markerBox);

    auto* extBox = new QGroupBox(QString::fromUtf8("EXT 镜像"), this);
    auto* extLayout = new QVBoxLayout(extBox);
    sparseBox_ = new QCheckBox(QString::fromUtf8("Android sparse 格式"), extBox);
    sourceBox_ =
        new QCheckBox(QString::fromUtf8("与源镜像相同（块大小、inode、大小、卷标、UUID）"), extBox);
    extLayout->addWidget(sparseBox_);
    extLayout->addWidget(sourceBox_);
    layout->addWidget(extBox);

    auto* row = new QHBoxLayout;
    row->addStretch();
    auto* ok = new QPushButton(QString::fromUtf8(kButtonOk), this);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &SaveOptionsDialog::confirm);
    auto* cancel = new QPushButton(QString::fromUtf8(kButtonCancel), this);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    row->addWidget(ok);
    row->addWidget(cancel);
    layout->addLayout(row);
}

QRadioButton* SaveOptionsDialog::eccButton(int index) const {
    return ecc_[index == 0 ? 0 : 1];
}

QRadioButton* SaveOptionsDialog::markerButton(int index) const {
    return marker_[index == 0 ? 0 : 1];
}

void SaveOptionsDialog::showEvent(QShowEvent* event) {
    // An opened image with the erase marker: offer to keep it.
    if (params_.firstSpareWord == -1)
        marker_[1]->setChecked(true);
    sparseBox_->setChecked(sparse_);
    sourceBox_->setChecked(sameAsSource_);
    QDialog::showEvent(event);
}

void SaveOptionsDialog::confirm() {
    params_.ecc = ecc_[0]->isChecked() ? yaffs2::kEccYaffs : yaffs2::kEccNand;
    params_.tagOffset =
        marker_[0]->isChecked() ? yaffs2::kTagOffsetPlain : yaffs2::kTagOffsetMarked;
    sparse_ = sparseBox_->isChecked();
    sameAsSource_ = sourceBox_->isChecked();
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
