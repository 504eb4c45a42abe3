#include "prompter.h"

#include "addfilesdialog.h"
#include "clashdialog.h"
#include "errorlistdialog.h"
#include "uitexts.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QMessageBox>

namespace korvane::ui {

namespace {

const char* const kSaveFilters[] = {"YAFFS2 镜像 (*)", "YAFFS2 镜像(自定参数) (*)", "EXT2 镜像 (*)",
                                    "EXT3 镜像 (*)"};

QStringList saveFilters() {
    QStringList filters;
    for (const char* f : kSaveFilters)
        filters << QString::fromUtf8(f);
    return filters;
}

} // namespace

int saveTypeOf(const QString& filter) {
    const QStringList filters = saveFilters();
    for (int i = 0; i < filters.size(); ++i) {
        const QString& f = filters[i];
        if (filter == f || filter == f.left(f.lastIndexOf(" (")))
            return i + 1;
    }
    return 0;
}

DialogPrompter::DialogPrompter() = default;
DialogPrompter::~DialogPrompter() = default;

// The dialogs are made on first use with the window as parent, so they are
// centred on it, and kept for the run.
template <typename Dialog>
Dialog& DialogPrompter::dialog(std::unique_ptr<Dialog>& slot, QWidget* parent) {
    if (!slot)
        slot = std::make_unique<Dialog>(parent);
    else if (slot->parentWidget() != parent)
        slot->setParent(parent, slot->windowFlags());
    return *slot;
}

bool DialogPrompter::askYesNo(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Information, QString::fromUtf8(kCaptionNotice), text,
                    QMessageBox::Yes | QMessageBox::No, parent);
    return box.exec() == QMessageBox::Yes;
}

void DialogPrompter::showMessage(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Information, QString::fromUtf8(kCaptionNotice), text,
                    QMessageBox::Ok, parent);
    box.exec();
}

QString DialogPrompter::chooseImage(QWidget* parent) {
    QString path = QFileDialog::getOpenFileName(parent, QString::fromUtf8(kOpenDialogTitle),
                                                lastImageFolder_, "*.* (*)");
    if (!path.isEmpty())
        lastImageFolder_ = QFileInfo(path).absolutePath();
    return path;
}

QString DialogPrompter::chooseFolder(QWidget* parent, const QString& start) {
    // Qt's own dialog: it has the button for a new folder.
    return QFileDialog::getExistingDirectory(parent, QString::fromUtf8(kExtractDialogTitle), start,
                                             QFileDialog::ShowDirsOnly |
                                                 QFileDialog::DontUseNativeDialog);
}

QString DialogPrompter::chooseArchive(QWidget* parent, const QString& start) {
    QFileDialog dlg(parent, QString::fromUtf8(kTarDialogTitle), start,
                    QString::fromUtf8(kTarFilter));
    dlg.setOption(QFileDialog::DontUseNativeDialog);
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setDefaultSuffix("tar");
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return {};
    return dlg.selectedFiles().first();
}

std::optional<SaveTarget> DialogPrompter::chooseSaveTarget(QWidget* parent,
                                                           const SaveTypeChanged& typeChanged) {
    // Qt's own dialog, which reports a change of type while it is open.
    QFileDialog dlg(parent, QString::fromUtf8(kSaveDialogTitle));
    dlg.setOption(QFileDialog::DontUseNativeDialog);
    dlg.setOption(QFileDialog::HideNameFilterDetails);
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setFileMode(QFileDialog::AnyFile);
    dlg.setDefaultSuffix("img");
    const QStringList filters = saveFilters();
    dlg.setNameFilters(filters);
    dlg.selectNameFilter(filters[lastSaveType_ - 1]);
    if (!lastImageFolder_.isEmpty())
        dlg.setDirectory(lastImageFolder_);
    QObject::connect(&dlg, &QFileDialog::filterSelected, &dlg, [&](const QString& filter) {
        if (int type = saveTypeOf(filter); type > 0)
            typeChanged(type, &dlg);
    });
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return std::nullopt;
    int type = saveTypeOf(dlg.selectedNameFilter());
    if (type <= 0)
        type = kSaveTypeYaffs2;
    lastSaveType_ = type;
    return SaveTarget{dlg.selectedFiles().first(), type};
}

QStringList DialogPrompter::chooseFiles(QWidget* parent) {
    return dialog(addFiles_, parent).choose();
}

std::optional<QString> DialogPrompter::askText(QWidget* parent, const QString& caption,
                                               const QString& prompt, const QString& value) {
    bool ok = false;
    QString text = QInputDialog::getText(parent, caption, prompt, QLineEdit::Normal, value, &ok);
    if (!ok)
        return std::nullopt;
    return text;
}

std::optional<IdInput> DialogPrompter::askId(QWidget* parent, const QString& caption,
                                             const QString& prompt, const QString& value) {
    return dialog(idInput_, parent).ask(caption, prompt, value);
}

ClashAnswer DialogPrompter::askClash(QWidget* parent, const QString& sourcePath,
                                     const QString& existingPath) {
    return dialog(clash_, parent).ask(sourcePath, existingPath);
}

void DialogPrompter::showErrorList(QWidget* parent, const QString& caption,
                                   const QStringList& lines) {
    dialog(errors_, parent).showLines(caption, lines);
}

void DialogPrompter::showProperties(QWidget* parent, const ObjectProperties& properties,
                                    const QIcon& icon) {
    dialog(properties_, parent).showProperties(properties, icon);
}

} // namespace korvane::ui
