// "保存设置": the settings of the save type picked in the save dialog, and only
// of that type. For "YAFFS2 镜像(自定参数)" the layout images are written in:
// the data ECC, the erase marker, and the NAND layout (page and spare size,
// where the tags are, their ECC, the byte order), with the layouts boards
// commonly use as presets. For the EXT types Android sparse output and
// keeping the geometry of the image saved. For the types of formats without
// a page of their own, a form of the writer's options as the registry lists
// them (text fields, lists of the values an option takes, flags as check
// boxes), with Android sparse output and "与源镜像相同". Shown beside the save
// dialog, not modally; it shows the current settings each time it opens.
#pragma once

#include "fs/format_options.h"
#include "fs/yaffs2/yaffs2_writer.h"

#include <QDialog>
#include <QString>
#include <map>
#include <utility>
#include <vector>

class QCheckBox;
class QComboBox;
class QFormLayout;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QSpinBox;

namespace korvane {
struct FormatOption;
}

namespace korvane::ui {

// What "保存设置" says for a save type, as last confirmed.
struct SaveChoices {
    FormatOptions options; // the writer's options (types whose settings are a form)
    bool sparse = false;   // "Android sparse 格式"
    bool likeSource = false;
};

class SaveOptionsDialog : public QDialog {
    Q_OBJECT
public:
    // "确定" writes the YAFFS2 layout into params, which must outlive the
    // dialog, and keeps the other types' choices.
    SaveOptionsDialog(SaveParams& params, QWidget* owner);

    // Shows the settings of save type (a registry name: "ext4") as a window
    // of dialog (the open save dialog), or of its owner when dialog is null,
    // beside it; when dialog closes, this one closes too and returns to its
    // owner.
    void showBeside(QWidget* dialog, const QString& type);
    // Shows the controls of save type only.
    void setSaveType(const QString& type);
    const QString& saveType() const { return type_; }
    // The choices of type as last confirmed.
    SaveChoices choices(const QString& type) const;

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
    // The form's control of option name (a QLineEdit, QComboBox or
    // QCheckBox), null when the type shown has no such option.
    QWidget* optionField(const QString& name) const;
    // The group boxes shown for the type: "yaffs2" (its three boxes), "ext",
    // "form" (the writer's options) and "output" (sparse, like the source).
    bool pageShown(const QString& page) const;

    // The layout the controls describe (the data ECC in its standard place).
    yaffs2::Layout chosenLayout() const;
    void confirm(); // "确定"
    // The sparse and like-the-source choices of the type shown, as last
    // confirmed.
    bool sparse() const { return choices(type_).sparse; }
    bool sameAsSource() const { return choices(type_).likeSource; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void buildYaffs2Page(QLayout* layout);
    void buildForm(const QString& type);
    void showChoices();
    FormatOptions formOptions() const;
    // Where a type's choices are kept: the EXT types share theirs.
    QString choicesKey(const QString& type) const;
    std::string page() const;
    void showLayout(const yaffs2::Layout& l);
    void applyPreset(int index);
    void markerChanged();
    void refresh();
    void returnToOwner();
    // Moves the dialog beside anchor, all of it on anchor's screen.
    void placeBeside(QWidget* anchor);

    SaveParams& params_;
    QWidget* owner_;
    QString type_;
    std::map<QString, SaveChoices> confirmed_;
    QGroupBox* eccBox_;
    QGroupBox* markerBox_;
    QGroupBox* nandBox_;
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
    QGroupBox* formBox_;
    QFormLayout* form_;
    std::vector<std::pair<const FormatOption*, QWidget*>> fields_;
    QGroupBox* outputBox_;
    QCheckBox* sparseBox_;
    QCheckBox* sourceBox_;
    QPushButton* ok_;
    bool updating_ = false;
};

} // namespace korvane::ui
