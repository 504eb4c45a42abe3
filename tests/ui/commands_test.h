// Every command of the window end to end, its dialogs answered by the test:
// extraction (with the overwrite question), save as, adding files, new
// folder, rename, delete, permissions, UID and GID, with the input checks.
#pragma once

#include <QObject>

namespace korvane::ui::test {

class CommandsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void extractsSelectedAndAll();
    void listsObjectsExtractionSkipped();
    void asksBeforeOverwritingOnExtraction();
    void savesYaffs2Types();
    void namesSaveTypes();
    void offersEraseMarkerOfOpenedImage();
    void savesExt2AndExt3();
    void failedSaveKeepsEditsMarked();
    void addsFilesWithEachClashAnswer();
    void addsWithOverwriteAllSkipAllAndErrors();
    void addsDroppedFiles();
    void chooserGoesToTypedPaths();
    void cancelStopsJob();
    void makesNewDirectories();
    void renames();
    void deletes();
    void deletesScatteredRows();
    void changesPermissionsUidGid();
    void editsExtImage();
};

} // namespace korvane::ui::test
