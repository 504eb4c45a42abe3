#include "opencommands.h"

#include "dirlistmodel.h"
#include "fs/registry.h"
#include "jobpresenter.h"
#include "jobrunner.h"
#include "language.h"
#include "mainactions.h"
#include "mainwindow.h"
#include "model/tree.h"
#include "progressstrip.h"
#include "statuspanels.h"
#include "transfer/loadimage.h"
#include "uitexts.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <memory>

namespace korvane::ui {

namespace {

QString utf8(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

const char* const kRecentKey = "open/recent";
// Images the recent list keeps.
constexpr qsizetype kRecentCount = 10;

} // namespace

OpenCommands::OpenCommands(MainWindow& window) : QObject(&window), w_(window) {}

void OpenCommands::newImage() {
    if (w_.busy() || !w_.confirmDiscard())
        return;
    loadWith([](WorkSink* sink) { return ImageChain(newimage(sink)); }, QString());
}

void OpenCommands::openFromDialog() {
    if (w_.busy() || !w_.confirmDiscard())
        return;
    QString path = w_.prompter_->chooseImage(&w_);
    if (!path.isEmpty())
        open(path, {});
}

std::optional<QString> OpenCommands::askFormat() {
    QStringList names, titles;
    for (const FormatRow& f : formats())
        if (f.role != FormatRole::kLayer) {
            names << utf8(f.name);
            titles << utf8(f.title);
        }
    std::optional<int> picked =
        w_.prompter_->askChoice(&w_, tx(kOpenAsCaption), tx(kOpenAsPrompt), titles);
    if (!picked || *picked < 0 || *picked >= names.size())
        return std::nullopt;
    return names[*picked];
}

void OpenCommands::openAs() {
    if (w_.busy() || !w_.confirmDiscard())
        return;
    QString path = w_.prompter_->chooseImage(&w_);
    if (path.isEmpty())
        return;
    if (std::optional<QString> format = askFormat())
        open(path, *format);
}

void OpenCommands::open(const QString& path, const QString& format) {
    if (w_.busy())
        return;
    std::string name = QFile::encodeName(path).toStdString();
    OpenOptions opt;
    opt.format = format.toStdString();
    loadWith([name, opt](WorkSink* sink) { return ImageChain::open(name, {}, sink, opt); },
             QFileInfo(path).absoluteFilePath());
}

void OpenCommands::loadWith(std::function<ImageChain(WorkSink*)> load, const QString& path) {
    // The scan builds fresh image objects on the worker; the window takes
    // them only when the scan succeeded, so a failed open keeps the old ones.
    auto result = std::make_shared<ImageChain>();
    // The file as it is when it is read.
    auto identity = std::make_shared<std::optional<FileIdentity>>();
    WorkSink* sink = w_.runner_->sink();
    w_.runJob(
        [result, identity, path, load = std::move(load), sink] {
            *identity = fileIdentity(QFile::encodeName(path).toStdString());
            *result = load(sink);
        },
        [this, result, identity, path](std::exception_ptr error) {
            if (error || result->empty()) {
                w_.showJobError(error);
                showReadStatus();
                return;
            }
            w_.switchTo(std::move(*result), path, *identity);
            if (!path.isEmpty())
                remember(path);
            showWarnings(*w_.image());
        });
}

void OpenCommands::enter(Node* node, const QString& format) {
    if (w_.busy() || !node || !w_.image())
        return;
    OpenOptions opt;
    opt.format = format.toStdString();
    ImageChain* chain = &w_.chain_;
    WorkSink* sink = w_.runner_->sink();
    auto entered = std::make_shared<bool>(false);
    w_.presenter_->setFormatName(QString::fromStdString(w_.image()->formatName()));
    w_.runJob(
        [chain, node, sink, opt, entered] {
            chain->enter(node, sink, opt);
            *entered = true;
        },
        [this, entered](std::exception_ptr error) {
            if (error || !*entered) {
                w_.showJobError(error);
                showReadStatus();
                return;
            }
            w_.showImage(0);
            showWarnings(*w_.image());
        });
}

void OpenCommands::enterSelectedAs(const QString& format) {
    const QList<int> rows = w_.selectedRows();
    Timg* img = w_.image();
    if (w_.busy() || !img || rows.isEmpty())
        return;
    Node* node = img->nodeFor(w_.listModel_->row(rows.first()).entry.objId);
    if (node && node->entry.objType == kTypeFile)
        enter(node, format);
}

void OpenCommands::openRecent(const QString& path) {
    if (w_.busy() || !w_.confirmDiscard())
        return;
    open(path, {});
}

void OpenCommands::remember(const QString& path) {
    QStringList recent = QSettings().value(kRecentKey).toStringList();
    recent.removeAll(path);
    recent.prepend(path);
    while (recent.size() > kRecentCount)
        recent.removeLast();
    QSettings().setValue(kRecentKey, recent);
    showRecent();
}

void OpenCommands::showRecent() {
    w_.actions_->setRecentImages(QSettings().value(kRecentKey).toStringList());
}

void OpenCommands::leave() {
    ImageChain& chain = w_.chain_;
    if (w_.busy() || chain.depth() < 2)
        return;
    if (chain.top().modified && !w_.prompter_->askYesNo(&w_, tx(kTextDiscard), false))
        return;
    const std::vector<std::string> members = chain.memberNames();
    w_.nav_->clearListing();
    chain.leave();
    // The member left is selected in the folder that holds it.
    Node* member = findPath(w_.image()->root(), members.back());
    w_.showImage(member ? member->entry.objId : 0);
    if (member && member->parent)
        w_.nav_->filllist(member->parent, member->entry.objId);
}

void OpenCommands::showReadStatus() {
    // A reading that failed may have got as far as its first steps.
    w_.status_->strip()->clearStrip();
    const Timg* img = w_.image();
    if (!img) {
        w_.status_->setStatus({});
        return;
    }
    const auto count = static_cast<qsizetype>(img->warningMessages().size());
    w_.status_->setStatus(count ? txn(kTextReadWarnings, count) : tx(kTextReadDone));
}

void OpenCommands::showWarnings(const Timg& img) {
    const std::vector<Message>& warnings = img.warningMessages();
    if (warnings.empty())
        return;
    const auto count = static_cast<qsizetype>(warnings.size());
    w_.status_->setStatus(txn(kTextReadWarnings, count));
    QStringList lines;
    for (const Message& m : warnings)
        lines << coreText(m);
    w_.prompter_->showErrorList(&w_, tx(kWarningsCaption), txn(kWarningsSummary, count), lines);
}

} // namespace korvane::ui
