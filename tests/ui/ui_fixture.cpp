#include "ui_fixture.h"

#include "dirlistmodel.h"
#include "foldertreemodel.h"
#include "support/yaffs2_builder.h"

#include <QAction>
#include <QMenu>
#include <QSettings>
#include <QSignalSpy>
#include <QTreeView>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane::ui::test {

using korvane::test::pattern;
using korvane::test::Yaffs2Builder;

namespace {

constexpr int kJobTimeoutMs = 60000;

} // namespace

QString qs(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

Window makeWindow(bool freshSettings) {
    if (freshSettings)
        QSettings().clear();
    auto prompter = std::make_unique<ScriptedPrompter>();
    Window w;
    w.prompter = prompter.get();
    w.window = std::make_unique<MainWindow>(std::move(prompter));
    w.window->show();
    return w;
}

bool runJob(MainWindow& w, const std::function<void()>& start) {
    QSignalSpy finished(&w, &MainWindow::jobFinished);
    start();
    return finished.count() > 0 || finished.wait(kJobTimeoutMs);
}

bool openAndWait(MainWindow& w, const QString& path) {
    return runJob(w, [&] { w.openImage(path); });
}

size_t writeYaffsImage(const std::string& path) {
    using namespace yaffs2;
    Yaffs2Builder b;
    b.root();
    b.dir(kIdSystem, 1, "system");
    b.dir(kIdApp, kIdSystem, "app");
    b.file(kIdX, kIdApp, "x.apk", pattern(1000, 1));
    b.file(261, kIdApp, "y.apk", pattern(2000, 2));
    b.dir(kIdEmpty, 1, "empty");
    for (uint32_t i = 1; i <= 11; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "f%02u.txt", i);
        b.file(300 + i, kIdSystem, name, pattern(100, i));
    }
    ObjectHeader a = Yaffs2Builder::make(kHdrFile, 1, "a.txt", 0100644);
    a.uid = 1000;
    a.gid = 1001;
    a.fileSize = 1536;
    b.header(kIdA, a);
    b.data(kIdA, 1, pattern(1536, 7));
    b.file(271, 1, "中文名.txt", pattern(10, 8));
    b.symlink(272, 1, "link", "system/app");
    b.hardlink(273, 1, "hard", kIdA);
    b.special(274, 1, "dev", 0020660, (1u << 8) | 3u);
    b.save(path);
    return b.bytes().size();
}

bool writeExtImage(const std::string& path, const std::string& src) {
    using korvane::test::run;
    using korvane::test::shellQuote;
    if (!korvane::test::haveProgram("mke2fs"))
        return false;
    namespace fs = std::filesystem;
    fs::create_directories(src + "/bin");
    fs::create_directories(src + "/docs");
    korvane::test::writeFile(src + "/bin/tool", std::string("tool"));
    ::chmod((src + "/bin/tool").c_str(), 0755);
    korvane::test::writeFile(src + "/docs/readme.txt", pattern(1536, 3));
    ::chmod((src + "/docs/readme.txt").c_str(), 0644);
    fs::create_symlink("docs/readme.txt", src + "/lnk");
    if (::mkfifo((src + "/pipe").c_str(), 0600) != 0)
        return false;
    auto r =
        run("mke2fs -q -F -t ext2 -b 1024 -d " + shellQuote(src) + " " + shellQuote(path) + " 2M");
    return r.status == 0;
}

int rowOf(const MainWindow& w, const QString& name) {
    const DirListModel* m = w.listModel();
    for (int r = 0; r < m->rows(); ++r)
        if (m->cellText(r, DirListModel::kName) == name)
            return r;
    return -1;
}

QStringList rowNames(const MainWindow& w) {
    QStringList names;
    for (int r = 0; r < w.listModel()->rows(); ++r)
        names << w.listModel()->cellText(r, DirListModel::kName);
    return names;
}

QStringList rowTexts(const MainWindow& w, int row) {
    QStringList texts;
    for (int c = 0; c <= DirListModel::kSize; ++c)
        texts << w.listModel()->data(w.listModel()->index(row, c), Qt::DisplayRole).toString();
    return texts;
}

QStringList folderNames(const MainWindow& w, const QModelIndex& parent) {
    const FolderTreeModel* m = w.folderModel();
    QStringList names;
    for (int r = 0; r < m->rowCount(parent); ++r)
        names << m->data(m->index(r, 0, parent), Qt::DisplayRole).toString();
    return names;
}

void selectNames(MainWindow& w, const QStringList& names) {
    QList<int> rows;
    for (const QString& n : names)
        rows << rowOf(w, n);
    std::sort(rows.begin(), rows.end());
    w.selectRows(rows);
}

QStringList enabledPopupItems(MainWindow& w) {
    QStringList items;
    for (QAction* a : w.popupMenu()->actions())
        if (!a->isSeparator() && a->isEnabled())
            items << a->text();
    return items;
}

Bytes contentsOf(Timg& img, const std::string& path) {
    Node* n = findPath(img.root(), path);
    if (!n)
        return {};
    TImgEntry e;
    Bytes buf;
    img.ReadContent(n->entry.objId, e, buf);
    buf.resize(e.size);
    return buf;
}

QStringList treeOf(Timg& img) {
    QStringList paths;
    for (Node* n : preorder(img.root()))
        if (n != img.root())
            paths << qs(pathFromRoot(n));
    paths.sort();
    return paths;
}

std::function<std::optional<SaveTarget>(const SaveTypeChanged&)> saveTo(const std::string& path,
                                                                        const QString& type) {
    return [path, type](const SaveTypeChanged& changed) {
        changed(type, nullptr);
        return SaveTarget{qs(path), type};
    };
}

} // namespace korvane::ui::test
