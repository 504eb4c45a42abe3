#include "iconprovider.h"

#include "model/tree_order.h"

#include <QApplication>
#include <QDir>
#include <QFileIconProvider>

namespace korvane::ui {

namespace {

// The first of names the theme has. With size, an icon the theme can draw at
// that size wins (themes keep small legacy pictures under some names and
// scalable "-symbolic" ones beside them); otherwise the first one found.
QIcon fromThemeNames(const QStringList& names, int size = 0) {
    QIcon small;
    for (const QString& name : names) {
        if (name.isEmpty())
            continue;
        for (const QString& candidate : {name, name + "-symbolic"}) {
            if (!QIcon::hasThemeIcon(candidate))
                continue;
            QIcon icon = QIcon::fromTheme(candidate);
            if (size <= 0 || icon.actualSize(QSize(size, size)).width() >= size)
                return icon;
            if (small.isNull())
                small = icon;
        }
    }
    return small;
}

} // namespace

QIcon IconProvider::themeIcon(const QStringList& names, QStyle::StandardPixmap fallback, int size) {
    QIcon icon = fromThemeNames(names, size);
    return icon.isNull() ? QApplication::style()->standardIcon(fallback) : icon;
}

void IconProvider::chooseIconTheme() {
    if (QIcon::hasThemeIcon("folder"))
        return;
    const QStringList themes = {"breeze", "Adwaita", "oxygen", "Tango", "gnome", "hicolor"};
    for (const QString& theme : themes) {
        for (const QString& dir : QIcon::themeSearchPaths()) {
            if (QDir(dir + "/" + theme).exists("index.theme")) {
                QIcon::setThemeName(theme);
                if (QIcon::hasThemeIcon("folder"))
                    return;
            }
        }
    }
}

IconProvider::IconProvider() {
    QFileIconProvider system;
    folder_ = fromThemeNames({"folder", "inode-directory"});
    if (folder_.isNull())
        folder_ = system.icon(QFileIconProvider::Folder);
    file_ = fromThemeNames({"application-x-generic", "text-x-generic", "unknown"});
    if (file_.isNull())
        file_ = system.icon(QFileIconProvider::File);
}

QIcon IconProvider::iconFor(std::string_view name, bool directory) {
    if (directory)
        return folder_;
    std::string_view ext = extensionOf(name);
    QString key = QString::fromUtf8(ext.data(), static_cast<qsizetype>(ext.size())).toLower();
    auto it = byExtension_.constFind(key);
    if (it != byExtension_.constEnd())
        return *it;
    QIcon icon = forExtension(key);
    byExtension_.insert(key, icon);
    return icon;
}

QIcon IconProvider::forExtension(const QString& extension) {
    if (extension.size() <= 1)
        return file_;
    QMimeType mime = mimes_.mimeTypeForFile("x" + extension, QMimeDatabase::MatchExtension);
    if (!mime.isValid() || mime.isDefault())
        return file_;
    QIcon icon = fromThemeNames({mime.iconName(), mime.genericIconName()});
    return icon.isNull() ? file_ : icon;
}

} // namespace korvane::ui
