#include "contentcommands.h"

#include "dirlistmodel.h"
#include "fileviewer.h"
#include "jobpresenter.h"
#include "language.h"
#include "mainwindow.h"
#include "model/error.h"
#include "model/tree.h"
#include "transfer/extract.h"
#include "uitexts.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QMimeData>
#include <QTemporaryDir>
#include <QUrl>
#include <filesystem>

namespace korvane::ui {

namespace {

// Copies for other programs belong to the user who runs the app, with the
// mode the umask leaves, whoever that is.
ExtractOptions copyOptions() {
    ExtractOptions opt;
    opt.privileged = false;
    return opt;
}

// The copies keep the modes of the image, and a folder closed to its owner's
// writing or reading cannot be emptied: every folder below root is opened to
// its owner before the copies are removed (symbolic links are not followed).
void openUpFolders(const QString& root) {
    namespace fs = std::filesystem;
    std::error_code ec, ignored;
    fs::recursive_directory_iterator it(QFile::encodeName(root).toStdString(),
                                        fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->symlink_status(ignored).type() == fs::file_type::directory)
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
}

// The data of a drag out of the list: the files exist only once the target
// asks for them (on the drop), so a drag that is given up costs nothing.
class ExtractingMimeData : public QMimeData {
public:
    explicit ExtractingMimeData(std::function<QStringList()> extract)
        : extract_(std::move(extract)) {}

    QStringList formats() const override { return {QStringLiteral("text/uri-list")}; }
    bool hasFormat(const QString& mimeType) const override {
        return mimeType == QLatin1String("text/uri-list");
    }

protected:
    QVariant retrieveData(const QString& mimeType, QMetaType type) const override {
        if (mimeType != QLatin1String("text/uri-list"))
            return {};
        if (!done_) {
            done_ = true;
            for (const QString& p : extract_())
                urls_ << QUrl::fromLocalFile(p);
        }
        if (type.id() == QMetaType::QByteArray || type.id() == QMetaType::QString) {
            QByteArray text;
            for (const QUrl& u : urls_)
                text += u.toEncoded() + "\r\n";
            return text;
        }
        QVariantList list;
        for (const QUrl& u : urls_)
            list << u;
        return list;
    }

private:
    std::function<QStringList()> extract_;
    mutable bool done_ = false;
    mutable QList<QUrl> urls_;
};

} // namespace

ContentCommands::ContentCommands(MainWindow& window) : QObject(&window), w_(window) {}

ContentCommands::~ContentCommands() {
    dropCopies();
}

ContentReader ContentCommands::readerOf(const Node* node) const {
    Timg* img = w_.image();
    const Node* file = img && node ? hardlinkTarget(*img, node) : nullptr;
    if (!file || file->entry.objType != kTypeFile)
        return {};
    const TImgEntry e = file->entry;
    return {img->contentSize(e), [img, e](uint64_t offset, MutableByteSpan out) {
                return img->ReadRange(e, offset, out);
            }};
}

void ContentCommands::view(const Node* node) {
    ContentReader reader = readerOf(node);
    if (!reader)
        return;
    if (!viewer_)
        viewer_ = new FileViewer(&w_);
    viewer_->showContents(
        QString::fromUtf8(node->text.data(), static_cast<qsizetype>(node->text.size())),
        std::move(reader));
}

QString ContentCommands::freshFolder() {
    if (!private_) {
        private_ = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/korvane-XXXXXX");
        if (!private_->isValid()) {
            w_.message(tx(kNoPrivateFolder).arg(private_->errorString()));
            private_.reset();
            return {};
        }
    }
    // A folder of its own for each copy: names never clash.
    const QString folder = private_->filePath(QString::number(++copies_));
    return QDir().mkpath(folder) ? folder : QString();
}

QStringList ContentCommands::copyOut(const std::vector<uint32_t>& ids) {
    Timg* img = w_.image();
    const QString folder = img && !w_.busy() ? freshFolder() : QString();
    if (folder.isEmpty())
        return {};
    QGuiApplication::setOverrideCursor(Qt::BusyCursor);
    // At once, while the drop waits: no progress panel for this.
    WorkSink* sink = img->onwk;
    img->onwk = nullptr;
    ExtractResult r;
    QString failure;
    try {
        r = outfiles(*img, ids, QFile::encodeName(folder).toStdString(), copyOptions());
    } catch (const Error& e) {
        failure = coreText(e.message());
    }
    img->onwk = sink;
    QGuiApplication::restoreOverrideCursor();
    QStringList paths;
    for (uint32_t id : ids)
        if (const Node* n = img->nodeFor(id)) {
            const QString p = QDir(folder).filePath(QFile::decodeName(n->text.c_str()));
            if (QFileInfo::exists(p) || QFileInfo(p).isSymLink())
                paths << p;
        }
    if (!failure.isEmpty())
        w_.message(failure);
    else if (!r.skipped.empty())
        w_.message(txn(kExtractFailed, static_cast<qsizetype>(r.skipped.size())) + "\n" +
                   coreText(r.skipped.front().line()));
    return paths;
}

QMimeData* ContentCommands::dragData(const std::vector<uint32_t>& ids) {
    return new ExtractingMimeData([this, ids] { return copyOut(ids); });
}

void ContentCommands::openSelectedWithApp() {
    const QList<int> rows = w_.selectedRows();
    Timg* img = w_.image();
    if (w_.busy() || !img || rows.isEmpty())
        return;
    const Node* n = img->nodeFor(w_.listModel_->row(rows.first()).entry.objId);
    if (!readerOf(n))
        return;
    const QString folder = freshFolder();
    if (folder.isEmpty())
        return;
    const uint32_t id = n->entry.objId;
    const QString path = QDir(folder).filePath(QFile::decodeName(n->text.c_str()));
    auto result = std::make_shared<ExtractResult>();
    const std::string target = QFile::encodeName(folder).toStdString();
    w_.presenter_->setFormatName(QString::fromStdString(img->formatName()));
    w_.runJob([img, id, target, result] { *result = outfiles(*img, {id}, target, copyOptions()); },
              [this, result, path](std::exception_ptr error) {
                  if (error) {
                      w_.showJobError(error);
                      return;
                  }
                  if (!result->skipped.empty()) {
                      w_.message(coreText(result->skipped.front().line()));
                      return;
                  }
                  if (result->cancelled || !QFileInfo::exists(path))
                      return;
                  if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
                      w_.message(tx(kNoApplication).arg(path));
              });
}

void ContentCommands::dropCopies() {
    if (private_)
        openUpFolders(private_->path());
    private_.reset();
    copies_ = 0;
}

} // namespace korvane::ui
