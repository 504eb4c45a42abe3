#include "prompter.h"

#include "clashdialog.h"
#include "errorlistdialog.h"
#include "fs/registry.h"
#include "uitexts.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTimer>

namespace korvane::ui {

namespace {

// Every save type of the registry, in its order, with the filter the dialog
// shows for it.
struct SaveFilter {
    QString type;
    QString filter;
};

// The folders the choosers were last in, kept across runs.
const char* const kImageFolderKey = "folders/image";
const char* const kCompareFolderKey = "folders/compare";

QString remembered(const char* key) {
    return QSettings().value(key).toString();
}

void remember(const char* key, const QString& folder) {
    QSettings().setValue(key, folder);
}

QList<SaveFilter> saveFilters() {
    QList<SaveFilter> filters;
    for (const FormatRow& f : formats())
        for (const SaveType& t : f.saveTypes)
            filters.push_back({QString::fromUtf8(t.name), tx(t.label) + " (*)"});
    return filters;
}

} // namespace

QString saveTypeOf(const QString& filter) {
    for (const SaveFilter& f : saveFilters())
        if (filter == f.filter || filter == f.filter.left(f.filter.lastIndexOf(" (")))
            return f.type;
    return {};
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
    QFileDialog dlg(parent, tx(kOpenDialogTitle), remembered(kImageFolderKey), "*.* (*)");
    plainDialogFrame(&dlg);
    dlg.setFileMode(QFileDialog::ExistingFile);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return {};
    QString path = dlg.selectedFiles().first();
    remember(kImageFolderKey, QFileInfo(path).absolutePath());
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

std::optional<SaveTarget> DialogPrompter::chooseSaveTarget(QWidget* parent, const QString& type,
                                                           const SaveTypeChanged& typeChanged) {
    // Qt's own dialog, which reports a change of type while it is open.
    QFileDialog dlg(parent, tx(kSaveDialogTitle));
    plainDialogFrame(&dlg);
    dlg.setOption(QFileDialog::DontUseNativeDialog);
    dlg.setOption(QFileDialog::HideNameFilterDetails);
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setFileMode(QFileDialog::AnyFile);
    dlg.setDefaultSuffix("img");
    QStringList filters;
    QString offered;
    for (const SaveFilter& f : saveFilters()) {
        filters << f.filter;
        if (f.type == type || offered.isEmpty())
            offered = f.filter;
    }
    dlg.setNameFilters(filters);
    dlg.selectNameFilter(offered);
    if (const QString folder = remembered(kImageFolderKey); !folder.isEmpty())
        dlg.setDirectory(folder);
    QObject::connect(&dlg, &QFileDialog::filterSelected, &dlg, [&](const QString& filter) {
        if (QString picked = saveTypeOf(filter); !picked.isEmpty())
            typeChanged(picked, &dlg);
    });
    // The settings of the type offered first are there from the start (its
    // sparse output, say, would otherwise need a detour through another
    // type); the name box keeps the focus.
    QTimer::singleShot(0, &dlg, [&] {
        if (QString first = saveTypeOf(offered); !first.isEmpty()) {
            typeChanged(first, &dlg);
            dlg.activateWindow();
        }
    });
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return std::nullopt;
    QString picked = saveTypeOf(dlg.selectedNameFilter());
    if (picked.isEmpty())
        picked = type;
    return SaveTarget{dlg.selectedFiles().first(), picked};
}

std::optional<FileChoice> DialogPrompter::chooseFiles(QWidget* parent) {
    return dialog(addFiles_, parent).choose();
}

std::optional<int> DialogPrompter::askChoice(QWidget* parent, const QString& caption,
                                             const QString& prompt, const QStringList& items) {
    bool ok = false;
    const QString picked = QInputDialog::getItem(parent, caption, prompt, items, 0, false, &ok);
    if (!ok)
        return std::nullopt;
    const int index = static_cast<int>(items.indexOf(picked));
    return index >= 0 ? std::optional<int>(index) : std::nullopt;
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

void DialogPrompter::showImageInfo(QWidget* parent, const ImageInfo& info) {
    dialog(info_, parent).showInfo(info);
}

std::optional<CompareTarget> DialogPrompter::chooseCompareTarget(QWidget* parent) {
    const std::optional<int> kind = askChoice(parent, tx(kActionCompare), tx(kCompareChoose),
                                              {tx(kCompareWithImage), tx(kCompareWithFolder)});
    if (!kind)
        return std::nullopt;
    const bool folder = *kind == 1;
    QFileDialog dlg(parent, folder ? tx(kCompareFolderTitle) : tx(kOpenDialogTitle),
                    remembered(kCompareFolderKey));
    plainDialogFrame(&dlg);
    dlg.setOption(QFileDialog::DontUseNativeDialog);
    if (folder) {
        dlg.setOption(QFileDialog::ShowDirsOnly);
        dlg.setFileMode(QFileDialog::Directory);
    } else {
        dlg.setFileMode(QFileDialog::ExistingFile);
    }
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return std::nullopt;
    const QString path = dlg.selectedFiles().first();
    remember(kCompareFolderKey, folder ? path : QFileInfo(path).absolutePath());
    return CompareTarget{path, folder};
}

} // namespace korvane::ui
