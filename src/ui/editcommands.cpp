#include "editcommands.h"

#include "dirlistmodel.h"
#include "foldertreemodel.h"
#include "inputchecks.h"
#include "language.h"
#include "model/error.h"
#include "model/texts.h"
#include "prompter.h"
#include "transfer/edit.h"
#include "transfer/image_chain.h"
#include "uitexts.h"

namespace korvane::ui {

namespace {

QString utf8(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

} // namespace

EditCommands::EditCommands(EditHost& host, QObject* parent) : QObject(parent), host_(host) {}

void EditCommands::imagesChanged(const ImageChain& chain, bool restart) {
    if (restart)
        journals_.clear();
    journals_.resize(std::min(journals_.size(), chain.depth()));
    while (journals_.size() < chain.depth())
        journals_.push_back(std::make_unique<EditJournal>(chain.at(journals_.size())));
}

EditJournal& EditCommands::journal() {
    return *journals_.back();
}

bool EditCommands::canUndo() const {
    return !journals_.empty() && journals_.back()->canUndo();
}

bool EditCommands::canRedo() const {
    return !journals_.empty() && journals_.back()->canRedo();
}

void EditCommands::undo() {
    if (Timg* img = host_.editableImage(); img && canUndo())
        show(*img, journal().undo(*img));
}

void EditCommands::redo() {
    if (Timg* img = host_.editableImage(); img && canRedo())
        show(*img, journal().redo(*img));
}

// The folder where the step happened, listed anew with its object selected.
void EditCommands::show(Timg& img, const std::optional<EditJournal::Place>& place) {
    if (!place)
        return;
    Node* dir = img.nodeFor(place->folderId);
    if (!dir || !dir->isDirectory())
        dir = img.root();
    host_.relist(dir, place->objectId);
}

std::vector<uint32_t> EditCommands::selectedIds() const {
    std::vector<uint32_t> ids;
    for (int row : host_.selectedRows())
        ids.push_back(host_.listModel()->row(row).entry.objId);
    return ids;
}

void EditCommands::message(const QString& text) {
    host_.prompter().showMessage(host_.dialogParent(), text);
}

void EditCommands::newDirectory() {
    Timg* img = host_.editableImage();
    Node* dir = host_.listedFolder();
    if (!img || !dir)
        return;
    std::optional<QString> name = host_.prompter().askText(
        host_.dialogParent(), tx(kNewDirCaption), tx(kNewDirPrompt), QString(),
        [dir](const QString& t) { return nameProblem(t, dir, {}); });
    if (!name || name->isEmpty())
        return;
    NewDirResult r;
    try {
        r = journal().newdir(*img, dir->entry.objId, name->toStdString());
    } catch (const Error& e) {
        message(coreText(e.message()));
        return;
    }
    if (r.status == EditStatus::kExists)
        message(tx(kTextExists));
    else if (r.status == EditStatus::kInvalid)
        message(tx(kTextInvalid));
    else if (r.status == EditStatus::kDone)
        host_.relist(dir, r.node->entry.objId);
}

void EditCommands::deleteSelected() {
    Timg* img = host_.editableImage();
    const QList<int> rows = host_.selectedRows();
    if (!img || rows.isEmpty())
        return;
    DirListModel* list = host_.listModel();
    QStringList names;
    for (int row : rows)
        names << utf8(list->row(row).text);
    if (!host_.prompter().askYesNo(host_.dialogParent(), deleteQuestion(names), false))
        return;
    host_.beginRemoval();
    // From the last row to the first, as the list's own order stands;
    // folders one by one, so the folder tree can follow; one step to undo.
    FolderTreeModel* folders = host_.folderModel();
    EditJournal& j = journal();
    j.beginGroup();
    std::vector<uint32_t> files;
    for (auto it = rows.crbegin(); it != rows.crend(); ++it) {
        const uint32_t id = list->row(*it).entry.objId;
        Node* n = img->nodeFor(id);
        if (n && n->isDirectory()) {
            folders->beginRemoveNode(n);
            j.deletenodes(*img, {id});
            folders->endRemoveNode();
        } else if (n) {
            files.push_back(id);
        }
    }
    j.deletenodes(*img, files);
    j.endGroup(*img);
    list->removeRows(rows);
    host_.endRemoval();
}

void EditCommands::renameSelected() {
    Timg* img = host_.editableImage();
    const QList<int> rows = host_.selectedRows();
    if (!img || rows.isEmpty())
        return;
    DirListModel* list = host_.listModel();
    const int row = rows.first();
    const uint32_t id = list->row(row).entry.objId;
    const QString caption = utf8(list->row(row).text);
    Node* node = img->nodeFor(id);
    const Node* dir = node ? node->parent : nullptr;
    std::optional<QString> answer = host_.prompter().askText(
        host_.dialogParent(), tx(kRenameCaption), tx(kRenamePrompt), caption,
        [dir, caption](const QString& t) { return nameProblem(t, dir, caption); });
    if (!answer || answer->isEmpty() || *answer == caption)
        return;
    const EditStatus status = journal().renamenode(*img, id, answer->toStdString());
    if (status == EditStatus::kExists) {
        message(tx(kTextExists));
    } else if (status == EditStatus::kInvalid) {
        message(tx(kTextInvalid));
    } else if (status == EditStatus::kDone) {
        if (Node* n = img->nodeFor(id)) {
            list->refreshRow(row, *n, *img);
            host_.folderModel()->nodeRenamed(n);
        }
        host_.renamed(id);
    }
}

void EditCommands::changePermissions() {
    Timg* img = host_.editableImage();
    const QList<int> rows = host_.selectedRows();
    if (!img || rows.isEmpty())
        return;
    const std::vector<uint32_t> ids = selectedIds();
    QString value;
    if (ids.size() == 1)
        if (Node* n = img->nodeFor(ids.front()))
            value = utf8(modetext(n->entry.mode, 0));
    std::optional<IdInput> in =
        host_.prompter().askId(host_.dialogParent(), tx(kPermissionsCaption),
                               tx(kPermissionsPrompt), value, permissionProblem);
    if (!in || in->text.trimmed().isEmpty())
        return;
    if (journal().changemode(*img, ids, in->text.toStdString(), in->withChildren) ==
        EditStatus::kInvalid) {
        message(tx(kTextInvalid));
        return;
    }
    host_.reselect(rows);
}

void EditCommands::changeUid() {
    changeIds(kUidCaption, kUidPrompt, 0);
}

void EditCommands::changeGid() {
    changeIds(kGidCaption, kGidPrompt, 1);
}

void EditCommands::changeIds(const char* caption, const char* prompt, int which) {
    Timg* img = host_.editableImage();
    const QList<int> rows = host_.selectedRows();
    if (!img || rows.isEmpty())
        return;
    const std::vector<uint32_t> ids = selectedIds();
    QString value;
    if (ids.size() == 1)
        if (Node* n = img->nodeFor(ids.front()))
            value = QString::number(which == 0 ? n->entry.uid : n->entry.gid);
    const QString what = which == 0 ? "UID" : "GID";
    std::optional<IdInput> in =
        host_.prompter().askId(host_.dialogParent(), tx(caption), tx(prompt), value,
                               [what](const QString& t) { return idProblem(t, what); });
    if (!in)
        return;
    const std::string text = in->text.toStdString();
    const EditStatus status = which == 0 ? journal().changeuid(*img, ids, text, in->withChildren)
                                         : journal().changegid(*img, ids, text, in->withChildren);
    if (status == EditStatus::kInvalid) {
        message(tx(kTextInvalid));
        return;
    }
    host_.reselect(rows);
}

} // namespace korvane::ui
