// The question asked when an added file meets an object of the same name.
#pragma once

#include "transfer/addfiles.h"

#include <QDialog>

class QLabel;

namespace korvane::ui {

class ClashDialog : public QDialog {
    Q_OBJECT
public:
    explicit ClashDialog(QWidget* parent = nullptr);

    // Shows the question; closing the dialog counts as "否".
    ClashAnswer ask(const QString& sourcePath, const QString& existingPath);

private:
    QLabel* detail_;
    ClashAnswer answer_ = ClashAnswer::kSkip;
};

} // namespace korvane::ui
