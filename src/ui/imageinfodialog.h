// "镜像信息": what `korvane-cli info` says of the image browsed, in the app:
// the file and the chain of images, how it is stored (byte layers), which
// format read it and how sure every probe was and why, the format's facts
// (layout, geometry, features; for YAFFS2 the ECC pages corrected and
// uncorrectable and the bad blocks), the warnings of the reading, and a
// container's members with their facts and what each holds.
#pragma once

#include <QDialog>
#include <QString>
#include <vector>

class QTreeWidget;

namespace korvane {
class ImageChain;
}

namespace korvane::ui {

struct ImageInfo {
    struct Row {
        QString label;
        QString value;
    };
    struct Section {
        QString title;
        std::vector<Row> rows;
    };
    std::vector<Section> sections;

    // The value of the first row labelled label ("" when there is none).
    QString value(const QString& label) const;
};

// The information of the top image of chain, opened from the file path.
ImageInfo imageInfo(const ImageChain& chain, const QString& path);

class ImageInfoDialog : public QDialog {
    Q_OBJECT
public:
    explicit ImageInfoDialog(QWidget* parent = nullptr);
    void showInfo(const ImageInfo& info);

private:
    QTreeWidget* tree_;
};

} // namespace korvane::ui
