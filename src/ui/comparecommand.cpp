#include "comparecommand.h"

#include "comparewindow.h"
#include "jobpresenter.h"
#include "jobrunner.h"
#include "mainwindow.h"
#include "transfer/diff.h"
#include "transfer/loadimage.h"
#include "uitexts.h"

#include <QFile>
#include <QFileInfo>
#include <memory>

namespace korvane::ui {

CompareCommand::CompareCommand(MainWindow& window) : QObject(&window), w_(window) {}

void CompareCommand::start() {
    if (w_.busy() || !w_.image())
        return;
    if (std::optional<CompareTarget> target = w_.prompter_->chooseCompareTarget(&w_))
        compareWith(target->path, target->folder);
}

void CompareCommand::compareWith(const QString& path, bool folder) {
    Timg* img = w_.image();
    if (w_.busy() || !img || path.isEmpty())
        return;
    struct Outcome {
        std::vector<DiffEntry> differences;
        DiffSummary summary;
    };
    auto outcome = std::make_shared<Outcome>();
    const std::string name = QFile::encodeName(path).toStdString();
    WorkSink* sink = w_.runner_->sink();
    w_.runJob(
        [img, name, folder, sink, outcome] {
            // The other image lives as long as the comparison; the result
            // keeps copies of what it reports.
            std::unique_ptr<Timg> other = folder ? nullptr : loadimage(name, sink);
            DiffOptions opt;
            opt.cancel = &img->cancel;
            outcome->summary = diffTrees(
                DiffSide::image(*img), folder ? DiffSide::folder(name) : DiffSide::image(*other),
                opt, [&](const DiffEntry& d) { outcome->differences.push_back(d); });
        },
        [this, img, path, outcome](std::exception_ptr error) {
            if (error) {
                w_.showJobError(error);
                return;
            }
            if (outcome->summary.cancelled)
                return;
            if (!window_) {
                window_ = new CompareWindow(w_.icons_, &w_);
                connect(window_, &CompareWindow::objectChosen, &w_,
                        [this](uint32_t id) { w_.navigator()->goToObject(id); });
            }
            QString aName = QFileInfo(w_.path_).fileName();
            if (aName.isEmpty())
                aName = tx(kNewName);
            window_->showComparison(*img, aName, QFileInfo(path).fileName(), outcome->differences,
                                    outcome->summary);
        });
}

} // namespace korvane::ui
