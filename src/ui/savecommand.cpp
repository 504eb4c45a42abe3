#include "savecommand.h"

#include "fs/registry.h"
#include "fs/yaffs2/yaffs2_format_row.h"
#include "jobpresenter.h"
#include "language.h"
#include "mainwindow.h"
#include "prompter.h"
#include "saveoptionsdialog.h"
#include "uitexts.h"

#include <QFile>
#include <QFileInfo>
#include <memory>

namespace korvane::ui {

namespace {

// The save type the dialog offers first: the image's own format.
QString saveTypeFor(const Timg& img) {
    const SaveType* t = ownSaveType(img);
    return t ? QString::fromUtf8(t->name) : QString();
}

// The settings page of a save type ("yaffs2", "ext", "" for the writer's
// options as they are).
std::string settingsPageOf(const QString& type) {
    const FormatRow* row = writerOf(type.toStdString());
    return row ? row->settingsPage : "";
}

} // namespace

SaveCommand::SaveCommand(MainWindow& window)
    : QObject(&window), w_(window), dialog_(new SaveOptionsDialog(params_, &window)) {}

void SaveCommand::imageOpened(const Timg& img) {
    updateFromScan(params_, img);
}

void SaveCommand::typeChanged(const QString& type, QWidget* dialog) {
    const SaveType* t = saveTypeNamed(type.toStdString());
    if (!t)
        return;
    // The plain YAFFS2 type keeps the geometry and puts the tags at the head
    // of the spare area; its variant takes the layout from the settings.
    if (settingsPageOf(type) == "yaffs2" && !t->appOnly)
        pickPlainYaffs2(params_);
    else
        dialog_->showBeside(dialog, type);
}

// Saving over the file opened replaces it: where the image was read with
// warnings, what could not be read becomes zeros for good, so the user is
// asked first ("否" the default).
bool SaveCommand::mayWrite(const QString& path) {
    if (!w_.openedFile_ || !writesOver(QFile::encodeName(path).toStdString(), *w_.openedFile_))
        return true;
    bool warned = false;
    for (size_t level = 0; level < w_.chain_.depth(); ++level)
        warned = warned || !w_.chain_.at(level).warningMessages().empty();
    return !warned || w_.prompter_->askYesNo(&w_, tx(kOverwriteWarned).arg(path), false);
}

void SaveCommand::saveAs() {
    Timg* img = w_.image();
    if (w_.busy() || !img || !w_.listedNode())
        return;
    std::optional<SaveTarget> target = w_.prompter_->chooseSaveTarget(
        &w_, saveTypeFor(*img),
        [this](const QString& type, QWidget* dialog) { typeChanged(type, dialog); });
    if (!target || target->path.isEmpty())
        return;
    const FormatRow* writer = writerOf(target->type.toStdString());
    if (!writer || !mayWrite(target->path))
        return;
    SaveRequest req;
    req.path = QFile::encodeName(target->path).toStdString();
    req.type = target->type.toStdString();
    if (settingsPageOf(target->type) == "yaffs2") {
        req.options = yaffs2LayoutOptions(params_.layout);
    } else {
        const SaveChoices c = dialog_->choices(target->type);
        req.options = c.options;
        req.sparse = c.sparse;
        req.likeSource = c.likeSource;
    }
    // The save clears the marks of unsaved edits; a save that fails or is
    // cancelled puts them back, so closing still asks before they are lost.
    ImageChain* chain = &w_.chain_;
    std::vector<bool> wasModified;
    for (size_t level = 0; level < chain->depth(); ++level) {
        wasModified.push_back(chain->at(level).modified);
        chain->at(level).modified = false;
    }
    auto saved = std::make_shared<bool>(false);
    const QString shownPath = QFileInfo(target->path).absoluteFilePath();
    // The panel names the format written: "EXT4", "YAFFS2".
    w_.presenter_->setFormatName(target->type.section('-', 0, 0).toUpper());
    w_.runJob([chain, req, saved] { *saved = chain->save(req); },
              [this, chain, saved, wasModified, shownPath](std::exception_ptr error) {
                  if (error || !*saved)
                      for (size_t level = 0; level < wasModified.size(); ++level)
                          chain->at(level).modified =
                              chain->at(level).modified || wasModified[level];
                  if (error)
                      w_.showJobError(error);
                  else
                      w_.message(*saved ? tx(kSaved).arg(shownPath) : tx(kSaveCancelled));
                  w_.updateTitle();
              });
}

} // namespace korvane::ui
