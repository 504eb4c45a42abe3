// Helpers of the desktop app's tests: a main window answered by a
// ScriptedPrompter, waiting for jobs, test images, and reading the views.
#pragma once

#include "mainwindow.h"
#include "scripted_prompter.h"
#include "support/testutil.h"

#include <QModelIndex>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace korvane::ui::test {

struct Window {
    ScriptedPrompter* prompter = nullptr; // owned by the window
    std::unique_ptr<MainWindow> window;

    MainWindow* operator->() const { return window.get(); }
    MainWindow& operator*() const { return *window; }
};

// A shown main window with a scripted prompter, as at the first start
// (freshSettings) or with what earlier windows remembered.
Window makeWindow(bool freshSettings = true);

// Runs start (which starts one job) and waits until the window has handled
// the job's end. False when no job ended within the time.
[[nodiscard]] bool runJob(MainWindow& w, const std::function<void()>& start);

// Opens path and waits for the scan; false when it did not end.
[[nodiscard]] bool openAndWait(MainWindow& w, const QString& path);

// The YAFFS2 image of the tests, written to path:
//   /empty/
//   /system/ app/{x.apk 1000 B, y.apk 2000 B}, f01.txt..f11.txt (100 B each)
//   /a.txt 1536 B, mode 0644, uid 1000, gid 1001
//   /中文名.txt 10 B
//   /link -> system/app, /hard (hard link to a.txt), /dev (char device 0660)
// Returns the image's size.
size_t writeYaffsImage(const std::string& path);
// Object ids of that image.
constexpr uint32_t kIdSystem = 258, kIdApp = 259, kIdX = 260, kIdEmpty = 262, kIdA = 270;

// An EXT2 image made by mke2fs from a folder holding
//   bin/tool (4 B, 0755), docs/readme.txt (1536 B, 0644), lnk -> docs/readme.txt,
//   pipe (a FIFO).
// Returns false (the test should skip) when mke2fs is not installed.
bool writeExtImage(const std::string& path, const std::string& sourceDir);

int rowOf(const MainWindow& w, const QString& name);
QStringList rowNames(const MainWindow& w);
// The texts of a row's columns from the name to the size.
QStringList rowTexts(const MainWindow& w, int row);
// Names of the folders below the tree's index (the root when invalid).
QStringList folderNames(const MainWindow& w, const QModelIndex& parent = {});
// Selects the rows with these names.
void selectNames(MainWindow& w, const QStringList& names);
// Texts of the popup menu's items that are enabled.
QStringList enabledPopupItems(MainWindow& w);

QString qs(const std::string& s);

// The contents of the file at path in img; empty when there is none.
Bytes contentsOf(Timg& img, const std::string& path);
// Paths of every object below the root, sorted.
QStringList treeOf(Timg& img);
// A save prompt's answer: the type chosen, then path.
std::function<std::optional<SaveTarget>(const SaveTypeChanged&)> saveTo(const std::string& path,
                                                                        const QString& type);

} // namespace korvane::ui::test
