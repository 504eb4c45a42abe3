// "保存设置": how images saved with the type "YAFFS2 镜像(自定参数)" are laid
// out: the data ECC, the erase marker, and the NAND layout (page and spare
// size, where the tags are, their ECC, the byte order), with the layouts
// boards commonly use as presets; and for EXT images Android sparse output and
// keeping the geometry of the image saved. Shown beside the save dialog, not
// modally; it shows the current settings each time it opens.
#pragma once

#include "fs/yaffs2/yaffs2_writer.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QSpinBox;

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

    QRadioButton* eccButton(int index) const;    // 0 "yaffs2自带ECC", 1 "NAND FLASH ECC", 2 none
    QRadioButton* markerButton(int index) const; // 0 "没有", 1 "有"
    QComboBox* presetBox() const { return preset_; }
    QComboBox* pageSizeBox() const { return pageSize_; }
    QSpinBox* spareSizeBox() const { return spareSize_; }
    QSpinBox* tagOffsetBox() const { return tagOffset_; }
    QCheckBox* inbandBox() const { return inband_; }
    QCheckBox* tagEccBox() const { return tagEcc_; }
    QComboBox* byteOrderBox() const { return order_; }
    QPushButton* okButton() const { return ok_; }
    QCheckBox* sparseBox() const { return sparseBox_; }       // "Android sparse 格式"
    QCheckBox* sameAsSourceBox() const { return sourceBox_; } // "与源镜像相同"

    // The layout the controls describe (the data ECC in its standard place).
    yaffs2::Layout chosenLayout() const;
    void confirm(); // "确定"
    // The EXT choices as last confirmed.
    bool sparse() const { return sparse_; }
    bool sameAsSource() const { return sameAsSource_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void showLayout(const yaffs2::Layout& l);
    void applyPreset(int index);
    void markerChanged();
    void refresh();
    void returnToOwner();

    SaveParams& params_;
    QWidget* owner_;
    QRadioButton* ecc_[3];
    QRadioButton* marker_[2];
    QComboBox* preset_;
    QComboBox* pageSize_;
    QSpinBox* spareSize_;
    QSpinBox* tagOffset_;
    QCheckBox* inband_;
    QCheckBox* tagEcc_;
    QComboBox* order_;
    QLabel* problem_;
    QPushButton* ok_;
    bool updating_ = false;
    QCheckBox* sparseBox_;
    QCheckBox* sourceBox_;
    bool sparse_ = false;
    bool sameAsSource_ = false;
};

} // namespace korvane::ui
