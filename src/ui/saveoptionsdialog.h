// "保存设置": the data ECC and the erase marker of YAFFS2 images saved with
// the type "YAFFS2 镜像(自定参数)", and for EXT images Android sparse output
// and keeping the geometry of the image saved. Shown beside the save dialog,
// not modally; keeps its choices for the run.
#pragma once

#include "yaffs2/yaffs2_writer.h"

#include <QDialog>

class QCheckBox;
class QRadioButton;

namespace korvane::ui {

class SaveOptionsDialog : public QDialog {
    Q_OBJECT
public:
    // "确定" writes into params, which must outlive the dialog.
    SaveOptionsDialog(SaveParams& params, QWidget* owner);

    // Shows the dialog as a window of dialog (the open save dialog), or of its
    // owner when dialog is null, beside it; when dialog closes, this one
    // closes too and returns to its owner.
    void showBeside(QWidget* dialog);

    QRadioButton* eccButton(int index) const;           // 0 "yaffs2自带ECC", 1 "NAND FLASH ECC"
    QRadioButton* markerButton(int index) const;        // 0 "没有", 1 "有"
    QCheckBox* sparseBox() const { return sparseBox_; } // "Android sparse 格式"
    QCheckBox* sameAsSourceBox() const { return sourceBox_; } // "与源镜像相同"
    void confirm();                                           // "确定"
    // The EXT choices as last confirmed.
    bool sparse() const { return sparse_; }
    bool sameAsSource() const { return sameAsSource_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void returnToOwner();

    SaveParams& params_;
    QWidget* owner_;
    QRadioButton* ecc_[2];
    QRadioButton* marker_[2];
    QCheckBox* sparseBox_;
    QCheckBox* sourceBox_;
    bool sparse_ = false;
    bool sameAsSource_ = false;
};

} // namespace korvane::ui
