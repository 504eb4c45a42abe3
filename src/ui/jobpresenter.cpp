#include "jobpresenter.h"

#include "language.h"
#include "model/work.h"
#include "progresspanel.h"
#include "progressstrip.h"
#include "statuspanels.h"
#include "uitexts.h"

namespace korvane::ui {

WorkStep workStep(int flag, int kind) {
    switch (flag) {
    case kFlagYaffsScan:
    case kFlagExtRead:
    case kFlagRead: {
        // The YAFFS2 scan has two progress steps (blocks, then objects).
        const int last = flag == kFlagYaffsScan ? 4 : 3;
        if (kind == 1)
            return WorkStep::kScanStarted;
        if (kind == last)
            return WorkStep::kScanDone;
        return kind > 1 && kind < last ? WorkStep::kScanProgress : WorkStep::kIgnored;
    }
    case kFlagExtract:
    case kFlagAddFiles:
        switch (kind) {
        case 1:
            return WorkStep::kPanelStarted;
        case 2:
            return WorkStep::kPanelProgress;
        case 3:
            return WorkStep::kPanelDone;
        default:
            return WorkStep::kIgnored;
        }
    case kFlagYaffsSave:
    case kFlagExtSave:
    case kFlagSave:
        switch (kind) {
        case 1:
            return WorkStep::kPanelStarted;
        case 5:
            return WorkStep::kPanelProgress;
        case 6:
            return WorkStep::kPanelDone;
        default:
            return WorkStep::kPanelMessage;
        }
    default:
        return WorkStep::kIgnored;
    }
}

JobPresenter::JobPresenter(ProgressPanel* panel, StatusPanels* status,
                           std::function<void(bool)> lock, QObject* parent)
    : QObject(parent), panel_(panel), status_(status), lock_(std::move(lock)) {}

void JobPresenter::onWorkEvent(qint64 pos, qint64 max, int kind, const QString& text, int flag) {
    ProgressStrip* strip = status_->strip();
    switch (workStep(flag, kind)) {
    case WorkStep::kScanStarted:
        lock_(true);
        strip->clearStrip();
        strip->setText({});
        status_->setStatus(text);
        break;
    case WorkStep::kScanProgress:
        if (pos == 0) {
            strip->clearStrip();
            status_->setStatus(text);
        }
        strip->myjdt(pos, max);
        break;
    case WorkStep::kScanDone:
        strip->clearStrip();
        status_->setStatus(tx(kTextReadDone));
        lock_(false);
        break;
    case WorkStep::kPanelStarted:
        lock_(true);
        panel_->setFormatName(formatName_);
        panel_->setMessage(text);
        panel_->resetBar();
        panel_->showprogress();
        break;
    case WorkStep::kPanelProgress:
        panel_->setMessage(text);
        panel_->setProgress(pos, max);
        break;
    case WorkStep::kPanelMessage:
        panel_->setMessage(text);
        break;
    case WorkStep::kPanelDone:
        panel_->setMessage(text);
        panel_->hideprogress();
        lock_(false);
        break;
    case WorkStep::kIgnored:
        break;
    }
}

} // namespace korvane::ui
