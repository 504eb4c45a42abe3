// Every question the main window asks and every message it shows goes
// through a Prompter. The app uses DialogPrompter, which shows the dialogs;
// tests and the benchmark answer with their own.
#pragma once

#include "addfilesdialog.h"
#include "idinputdialog.h"
#include "imageinfodialog.h"
#include "propertiesdialog.h"
#include "transfer/addfiles.h"

#include <QIcon>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

class QWidget;

namespace korvane::ui {

class ClashDialog;
class ErrorListDialog;

// The save type (the registry's name: "ext4") of a filter of the save
// dialog, as the dialog names it: whole ("EXT2 镜像 (*)") or without its
// patterns ("EXT2 镜像", as it reports a pick while it hides them); empty for
// any other text.
QString saveTypeOf(const QString& filter);

// What "与…比较" compares the browsed image with.
struct CompareTarget {
    QString path;
    bool folder = false; // a folder on disk, not an image file
};

struct SaveTarget {
    QString path;
    QString type; // a save type of the registry: "yaffs2", "ext4"
};

// Called with the type the user picks while the save dialog is open, and the
// dialog itself (null when there is no dialog window).
using SaveTypeChanged = std::function<void(const QString& type, QWidget* dialog)>;

// Dialogs of the app have a title and a close button, no minimise or
// maximise buttons.
void plainDialogFrame(QWidget* dialog);

class Prompter {
public:
    virtual ~Prompter() = default;

    // Yes/No question with the caption "提示"; true for Yes. defaultYes: the
    // button Enter presses.
    virtual bool askYesNo(QWidget* parent, const QString& text, bool defaultYes) = 0;
    // Message with the caption "提示".
    virtual void showMessage(QWidget* parent, const QString& text) = 0;
    // The image file to open; empty when cancelled.
    virtual QString chooseImage(QWidget* parent) = 0;
    // The folder to extract into, starting at start; empty when cancelled.
    virtual QString chooseFolder(QWidget* parent, const QString& start) = 0;
    // The tar archive to write, starting in the folder start; empty when
    // cancelled. (Not pure: prompters that never export answer "cancelled".)
    virtual QString chooseArchive(QWidget* parent, const QString& start) {
        (void)parent;
        (void)start;
        return {};
    }
    // The file to save as and its type (type offered first); nullopt when
    // cancelled.
    virtual std::optional<SaveTarget> chooseSaveTarget(QWidget* parent, const QString& type,
                                                       const SaveTypeChanged& typeChanged) = 0;
    // Files and folders to add; nullopt when cancelled.
    virtual std::optional<FileChoice> chooseFiles(QWidget* parent) = 0;
    // One line of text, checked by check before the box closes; nullopt when
    // cancelled.
    // One of items (the index), current first; nullopt when cancelled. (Not
    // pure: prompters that never ask answer "cancelled".)
    virtual std::optional<int> askChoice(QWidget* parent, const QString& caption,
                                         const QString& prompt, const QStringList& items) {
        (void)parent;
        (void)caption;
        (void)prompt;
        (void)items;
        return std::nullopt;
    }
    virtual std::optional<QString> askText(QWidget* parent, const QString& caption,
                                           const QString& prompt, const QString& value,
                                           const InputCheck& check) = 0;
    // The permission, UID or GID box, likewise.
    virtual std::optional<IdInput> askId(QWidget* parent, const QString& caption,
                                         const QString& prompt, const QString& value,
                                         const InputCheck& check) = 0;
    // A file meets an object of the same name (question says which case).
    virtual ClashAnswer askClash(QWidget* parent, const QString& question,
                                 const QString& sourcePath, const QString& existingPath) = 0;
    // Lines of what went wrong, under summary (may be empty).
    virtual void showErrorList(QWidget* parent, const QString& caption, const QString& summary,
                               const QStringList& lines) = 0;
    virtual void showProperties(QWidget* parent, const ObjectProperties& properties,
                                const QIcon& icon) = 0;
    // "镜像信息". (Not pure: prompters that never show it do nothing.)
    virtual void showImageInfo(QWidget* parent, const ImageInfo& info) {
        (void)parent;
        (void)info;
    }
    // The image file or folder to compare with; nullopt when cancelled.
    // (Not pure: prompters that never compare answer "cancelled".)
    virtual std::optional<CompareTarget> chooseCompareTarget(QWidget* parent) {
        (void)parent;
        return std::nullopt;
    }
};

// Shows the real dialogs, each made once and kept for the run.
class DialogPrompter : public Prompter {
public:
    DialogPrompter();
    ~DialogPrompter() override;

    bool askYesNo(QWidget* parent, const QString& text, bool defaultYes) override;
    void showMessage(QWidget* parent, const QString& text) override;
    QString chooseImage(QWidget* parent) override;
    QString chooseFolder(QWidget* parent, const QString& start) override;
    QString chooseArchive(QWidget* parent, const QString& start) override;
    std::optional<SaveTarget> chooseSaveTarget(QWidget* parent, const QString& type,
                                               const SaveTypeChanged& typeChanged) override;
    std::optional<FileChoice> chooseFiles(QWidget* parent) override;
    std::optional<int> askChoice(QWidget* parent, const QString& caption, const QString& prompt,
                                 const QStringList& items) override;
    std::optional<QString> askText(QWidget* parent, const QString& caption, const QString& prompt,
                                   const QString& value, const InputCheck& check) override;
    std::optional<IdInput> askId(QWidget* parent, const QString& caption, const QString& prompt,
                                 const QString& value, const InputCheck& check) override;
    ClashAnswer askClash(QWidget* parent, const QString& question, const QString& sourcePath,
                         const QString& existingPath) override;
    void showErrorList(QWidget* parent, const QString& caption, const QString& summary,
                       const QStringList& lines) override;
    void showProperties(QWidget* parent, const ObjectProperties& properties,
                        const QIcon& icon) override;
    void showImageInfo(QWidget* parent, const ImageInfo& info) override;
    std::optional<CompareTarget> chooseCompareTarget(QWidget* parent) override;

private:
    template <typename Dialog, typename... Args>
    Dialog& dialog(std::unique_ptr<Dialog>& slot, QWidget* parent, Args... args);

    std::unique_ptr<AddFilesDialog> addFiles_;
    std::unique_ptr<ClashDialog> clash_;
    std::unique_ptr<ErrorListDialog> errors_;
    std::unique_ptr<InputDialog> textInput_;
    std::unique_ptr<InputDialog> idInput_;
    std::unique_ptr<PropertiesDialog> properties_;
    std::unique_ptr<ImageInfoDialog> info_;
};

} // namespace korvane::ui
