// The question asked when an added file meets an object of the same name,
// or an extracted one a file on disk: "覆盖", "全覆盖", "否", "全否".
#pragma once

#include "transfer/addfiles.h"

#include <QDialog>

class QLabel;

namespace korvane::ui {

class ClashDialog : public QDialog {
    Q_OBJECT
public:
    explicit ClashDialog(QWidget* parent = nullptr);

    // Shows question above which file meets which; closing the dialog
    // counts as "否".
    ClashAnswer ask(const QString& question, const QString& sourcePath,
                    const QString& existingPath);

private:
    QLabel* question_;
    QLabel* detail_;
    ClashAnswer answer_ = ClashAnswer::kSkip;
};

} // namespace korvane::ui
