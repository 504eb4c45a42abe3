#include "prompter.h"

#include "clashdialog.h"
#include "errorlistdialog.h"
#include "uitexts.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>

namespace korvane::ui {

namespace {

// The save dialog's types, in the order of SaveType.
const char* const kSaveTypes[] = {kSaveFilterYaffs2, kSaveFilterYaffs2Custom, kSaveFilterExt2,
                                  kSaveFilterExt3, kSaveFilterExt4};

QStringList saveFilters() {
    QStringList filters;
    for (const char* f : kSaveTypes)
        filters << tx(f) + " (*)";
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

void plainDialogFrame(QWidget* dialog) {
    dialog->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
}

DialogPrompter::DialogPrompter() = default;
DialogPrompter::~DialogPrompter() = default;

// The dialogs are made on first use with the window as parent, so they are
// centred on it, and kept for the run.
template <typename Dialog, typename... Args>
Dialog& DialogPrompter::dialog(std::unique_ptr<Dialog>& slot, QWidget* parent, Args... args) {
    if (!slot)
        slot = std::make_unique<Dialog>(args..., parent);
    else if (slot->parentWidget() != parent)
        slot->setParent(parent, slot->windowFlags());
    return *slot;
}

bool DialogPrompter::askYesNo(QWidget* parent, const QString& text, bool defaultYes) {
    QMessageBox box(QMessageBox::Information, tx(kCaptionNotice), text,
                    QMessageBox::Yes | QMessageBox::No, parent);
    plainDialogFrame(&box);
    box.setDefaultButton(defaultYes ? QMessageBox::Yes : QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void DialogPrompter::showMessage(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Information, tx(kCaptionNotice), text, QMessageBox::Ok, parent);
    plainDialogFrame(&box);
    box.exec();
}

QString DialogPrompter::chooseImage(QWidget* parent) {
    QFileDialog dlg(parent, tx(kOpenDialogTitle), lastImageFolder_, "*.* (*)");
    plainDialogFrame(&dlg);
    dlg.setFileMode(QFileDialog::ExistingFile);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return {};
    QString path = dlg.selectedFiles().first();
    lastImageFolder_ = QFileInfo(path).absolutePath();
    return path;
}

QString DialogPrompter::chooseFolder(QWidget* parent, const QString& start) {
    // Qt's own dialog: it has the button for a new folder.
    QFileDialog dlg(parent, tx(kExtractDialogTitle), start);
    plainDialogFrame(&dlg);
    dlg.setOption(QFileDialog::DontUseNativeDialog);
    dlg.setOption(QFileDialog::ShowDirsOnly);
    dlg.setFileMode(QFileDialog::Directory);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return {};
    return dlg.selectedFiles().first();
}

QString DialogPrompter::chooseArchive(QWidget* parent, const QString& start) {
    QFileDialog dlg(parent, tx(kTarDialogTitle), start, tx(kTarFilter));
    plainDialogFrame(&dlg);
    dlg.setOption(QFileDialog::DontUseNativeDialog);
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setDefaultSuffix("tar");
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return {};
    return dlg.selectedFiles().first();
}

std::optional<SaveTarget> DialogPrompter::chooseSaveTarget(QWidget* parent, int type,
                                                           const SaveTypeChanged& typeChanged) {
    // Qt's own dialog, which reports a change of type while it is open.
    QFileDialog dlg(parent, tx(kSaveDialogTitle));
    plainDialogFrame(&dlg);
    dlg.setOption(QFileDialog::DontUseNativeDialog);
    dlg.setOption(QFileDialog::HideNameFilterDetails);
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setFileMode(QFileDialog::AnyFile);
    dlg.setDefaultSuffix("img");
    const QStringList filters = saveFilters();
    dlg.setNameFilters(filters);
    if (type < kSaveTypeYaffs2 || type > kSaveTypeExt3)
        type = kSaveTypeYaffs2;
    dlg.selectNameFilter(filters[type - 1]);
    if (!lastImageFolder_.isEmpty())
        dlg.setDirectory(lastImageFolder_);
    QObject::connect(&dlg, &QFileDialog::filterSelected, &dlg, [&](const QString& filter) {
        if (int picked = saveTypeOf(filter); picked > 0)
            typeChanged(picked, &dlg);
    });
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return std::nullopt;
    int picked = saveTypeOf(dlg.selectedNameFilter());
    if (picked <= 0)
        picked = type;
    return SaveTarget{dlg.selectedFiles().first(), picked};
}

std::optional<FileChoice> DialogPrompter::chooseFiles(QWidget* parent) {
    return dialog(addFiles_, parent).choose();
}

std::optional<QString> DialogPrompter::askText(QWidget* parent, const QString& caption,
                                               const QString& prompt, const QString& value,
                                               const InputCheck& check) {
    std::optional<IdInput> in =
        dialog(textInput_, parent, false).ask(caption, prompt, value, check);
    if (!in)
        return std::nullopt;
    return in->text;
}

std::optional<IdInput> DialogPrompter::askId(QWidget* parent, const QString& caption,
                                             const QString& prompt, const QString& value,
                                             const InputCheck& check) {
    return dialog(idInput_, parent, true).ask(caption, prompt, value, check);
}

ClashAnswer DialogPrompter::askClash(QWidget* parent, const QString& question,
                                     const QString& sourcePath, const QString& existingPath) {
    return dialog(clash_, parent).ask(question, sourcePath, existingPath);
}

void DialogPrompter::showErrorList(QWidget* parent, const QString& caption, const QString& summary,
                                   const QStringList& lines) {
    dialog(errors_, parent).showLines(caption, summary, lines);
}

void DialogPrompter::showProperties(QWidget* parent, const ObjectProperties& properties,
                                    const QIcon& icon) {
    dialog(properties_, parent).showProperties(properties, icon);
}

} // namespace korvane::ui
