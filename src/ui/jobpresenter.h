// How the window shows the work events of its jobs: the readers' steps in
// the status bar, the other jobs' in the progress panel. Each (job, kind)
// pair of an event means one step; pairs the window does not know change
// nothing.
#pragma once

#include <QObject>
#include <QString>
#include <functional>

namespace korvane::ui {

class ProgressPanel;
class StatusPanels;

enum class WorkStep {
    kIgnored,
    kScanStarted,   // a reader begins: lock, clear the strip, show its message
    kScanProgress,  // a reader's progress: blocks in the strip
    kScanDone,      // a reader ends: "读取完成！", unlock
    kPanelStarted,  // extraction, adding or saving begins: lock, show the panel
    kPanelProgress, // its progress: message and bar
    kPanelMessage,  // a save's other steps: message only
    kPanelDone,     // it ends: hide the panel, unlock
};

// The step that event kind of job flag means.
WorkStep workStep(int flag, int kind);

class JobPresenter : public QObject {
    Q_OBJECT
public:
    // lock(true) disables the window's commands, lock(false) enables them
    // again (once no job runs).
    JobPresenter(ProgressPanel* panel, StatusPanels* status, std::function<void(bool)> lock,
                 QObject* parent = nullptr);

    // The format the panel names during the next panel job.
    void setFormatName(const QString& name) { formatName_ = name; }

    void onWorkEvent(qint64 pos, qint64 max, int kind, const QString& message, int flag);

private:
    ProgressPanel* panel_;
    StatusPanels* status_;
    std::function<void(bool)> lock_;
    QString formatName_;
};

} // namespace korvane::ui
