#include "transfercommands.h"

#include "editcommands.h"
#include "jobpresenter.h"
#include "jobrunner.h"
#include "language.h"
#include "mainwindow.h"
#include "model/tree.h"
#include "transfer/addfiles.h"
#include "transfer/extract.h"
#include "transfer/tar_export.h"
#include "uitexts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <memory>

namespace korvane::ui {

namespace {

QString utf8(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

std::string fileName(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

// The folder extraction and tar export last wrote to, kept across runs.
const char* const kExtractFolderKey = "folders/extract";

} // namespace

TransferCommands::TransferCommands(MainWindow& window)
    : QObject(&window), w_(window),
      lastExtractFolder_(QSettings().value(kExtractFolderKey).toString()) {}

void TransferCommands::rememberFolder(const QString& folder) {
    lastExtractFolder_ = folder;
    QSettings().setValue(kExtractFolderKey, folder);
}

void TransferCommands::showErrors(const char* caption, const QStringList& lines) {
    if (!lines.isEmpty())
        w_.prompter_->showErrorList(&w_, tx(caption), QString(), lines);
}

void TransferCommands::extractSelected() {
    if (w_.busy() || !w_.image())
        return;
    std::vector<uint32_t> ids = w_.selectedIds();
    if (!ids.empty())
        runExtraction(ids);
}

void TransferCommands::exportAll() {
    if (w_.busy() || !w_.listedNode())
        return;
    std::vector<uint32_t> ids;
    for (const auto& child : w_.image()->root()->children)
        ids.push_back(child->entry.objId);
    runExtraction(ids);
}

void TransferCommands::runExtraction(const std::vector<uint32_t>& ids) {
    QString start = lastExtractFolder_.isEmpty() ? QDir::homePath() : lastExtractFolder_;
    QString folder = w_.prompter_->chooseFolder(&w_, start);
    if (folder.isEmpty())
        return;
    rememberFolder(folder);
    auto result = std::make_shared<ExtractResult>();
    Timg* img = w_.image();
    std::string target = fileName(folder);
    ExtractOptions opt;
    // Asked on the worker, which waits while the main thread shows it.
    JobRunner* runner = w_.runner_.get();
    opt.askReplace = [this, runner, folder](const std::string& path) {
        const QString inImage = utf8(path);
        const QString onDisk = QDir(folder).filePath(QFile::decodeName(path.c_str()));
        ClashAnswer answer = ClashAnswer::kSkip;
        runner->callOnMainThread(
            [&] { answer = w_.prompter_->askClash(&w_, tx(kClashExtract), inImage, onDisk); });
        return answer;
    };
    w_.presenter_->setFormatName(QString::fromStdString(img->formatName()));
    w_.runJob([img, ids, target, opt, result] { *result = outfiles(*img, ids, target, opt); },
              [this, result](std::exception_ptr error) {
                  if (error) {
                      w_.showJobError(error);
                      return;
                  }
                  const ExtractResult& r = *result;
                  QString text = r.cancelled
                                     ? txn(kExtractCancelled, static_cast<qsizetype>(r.written))
                                     : txn(kExtractDone, static_cast<qsizetype>(r.written));
                  if (r.replaced > 0)
                      text += "\n" + txn(kExtractReplaced, static_cast<qsizetype>(r.replaced));
                  if (r.kept > 0)
                      text += "\n" + txn(kExtractKept, static_cast<qsizetype>(r.kept));
                  if (!r.skipped.empty())
                      text += "\n" + txn(kExtractFailed, static_cast<qsizetype>(r.skipped.size()));
                  w_.message(text);
                  QStringList lines;
                  for (const SkippedObject& s : r.skipped)
                      lines << coreText(s.line());
                  showErrors(kExtractErrorsCaption, lines);
              });
}

void TransferCommands::exportTar() {
    Timg* img = w_.image();
    if (w_.busy() || !img || !img->root())
        return;
    std::vector<uint32_t> ids = w_.selectedIds();
    if (ids.empty())
        ids.push_back(img->root()->entry.objId);
    QString start = lastExtractFolder_.isEmpty() ? QDir::homePath() : lastExtractFolder_;
    QString path = w_.prompter_->chooseArchive(&w_, start);
    if (path.isEmpty())
        return;
    rememberFolder(QFileInfo(path).absolutePath());
    auto result = std::make_shared<TarResult>();
    std::string target = fileName(path);
    const QString shown = QFileInfo(path).absoluteFilePath();
    w_.presenter_->setFormatName("TAR");
    w_.runJob([img, ids, target, result] { *result = tarout(*img, ids, target); },
              [this, result, shown](std::exception_ptr error) {
                  if (error) {
                      w_.showJobError(error);
                      return;
                  }
                  const TarResult& r = *result;
                  QString text = r.cancelled
                                     ? tx(kTarCancelled)
                                     : txn(kTarDone, static_cast<qsizetype>(r.written)).arg(shown);
                  if (!r.skipped.empty())
                      text += "\n" + txn(kTarSkipped, static_cast<qsizetype>(r.skipped.size()));
                  w_.message(text);
                  QStringList lines;
                  for (const SkippedObject& s : result->skipped)
                      lines << coreText(s.line());
                  showErrors(kExtractErrorsCaption, lines);
              });
}

void TransferCommands::addFiles() {
    if (w_.busy() || !w_.listedNode())
        return;
    std::optional<FileChoice> choice = w_.prompter_->chooseFiles(&w_);
    if (choice && !choice->paths.isEmpty())
        addPaths(choice->paths, choice->keepAttributes);
}

void TransferCommands::addPaths(const QStringList& paths, bool keepAttributes) {
    if (w_.busy() || !w_.listedNode() || paths.isEmpty())
        return;
    std::vector<std::string> list;
    for (const QString& p : paths)
        list.push_back(fileName(p));
    const uint32_t dirId = w_.listedId();
    Timg* img = w_.image();
    AddOptions opt;
    opt.keepAttributes = keepAttributes;
    // Asked on the worker, which waits while the main thread shows the
    // question. The path is made here, where reading the tree is safe.
    JobRunner* runner = w_.runner_.get();
    opt.ask = [this, img, runner](const std::string& source, const Node& existing) {
        QString from = QFile::decodeName(QByteArray::fromStdString(source));
        QString to = "/" + utf8(nodepath(img->root(), &existing));
        ClashAnswer answer = ClashAnswer::kSkip;
        runner->callOnMainThread(
            [&] { answer = w_.prompter_->askClash(&w_, tx(kClashAdd), from, to); });
        return answer;
    };
    auto result = std::make_shared<AddResult>();
    w_.presenter_->setFormatName(QString::fromStdString(img->formatName()));
    // Through the journal: one step to undo, whatever was added.
    EditJournal* journal = &w_.edits_->journal();
    w_.runJob([img, journal, list, dirId, opt,
               result] { *result = journal->addfiles(*img, list, dirId, opt); },
              [this, img, result, dirId](std::exception_ptr error) {
                  w_.relist(img->nodeFor(dirId), 0);
                  w_.showJobError(error);
                  QStringList lines;
                  for (const Message& line : result->errlist)
                      lines << coreText(line);
                  showErrors(kAddErrorsCaption, lines);
              });
}

} // namespace korvane::ui
