#include "iconprovider.h"

#include "model/tree_order.h"

#include <QApplication>
#include <QDir>
#include <QFileIconProvider>

namespace korvane::ui {

namespace {

QIcon fromThemeNames(const QStringList& names) {
    for (const QString& name : names) {
        if (name.isEmpty())
            continue;
        if (QIcon::hasThemeIcon(name))
            return QIcon::fromTheme(name);
        if (QIcon::hasThemeIcon(name + "-symbolic"))
            return QIcon::fromTheme(name + "-symbolic");
    }
    return {};
}

} // namespace

QIcon IconProvider::themeIcon(const QStringList& names, QStyle::StandardPixmap fallback) {
    QIcon icon = fromThemeNames(names);
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
