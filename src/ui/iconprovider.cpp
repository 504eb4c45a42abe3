#include "iconprovider.h"

#include "model/tree_order.h"

#include <QApplication>
#include <QDir>
#include <QFileIconProvider>
#include <QPainter>

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

QIcon IconProvider::linkIconFor(std::string_view name) {
    std::string_view ext = extensionOf(name);
    QString key = QString::fromUtf8(ext.data(), static_cast<qsizetype>(ext.size())).toLower();
    auto it = linksByExtension_.constFind(key);
    if (it != linksByExtension_.constEnd())
        return *it;
    QIcon icon = withLinkEmblem(iconFor(name, false));
    linksByExtension_.insert(key, icon);
    return icon;
}

QIcon IconProvider::withLinkEmblem(const QIcon& icon) {
    const QIcon emblem = fromThemeNames({"emblem-symbolic-link", "emblem-link"});
    QIcon out;
    for (int size : {16, 22, 24, 32, 48, 64, 97}) {
        QPixmap base(size, size);
        base.fill(Qt::transparent);
        QPainter p(&base);
        icon.paint(&p, QRect(0, 0, size, size));
        const int e = std::max(8, size / 2);
        const QRect corner(0, size - e, e, e);
        if (!emblem.isNull()) {
            emblem.paint(&p, corner);
        } else {
            // A small arrow in a white box, as file managers mark links.
            p.setRenderHint(QPainter::Antialiasing);
            p.fillRect(corner.adjusted(0, 0, -1, -1), Qt::white);
            p.setPen(QPen(Qt::black, std::max(1.0, e / 8.0)));
            p.drawRect(corner.adjusted(0, 0, -1, -1));
            const QPointF from(corner.left() + e * 0.25, corner.bottom() - e * 0.25);
            const QPointF to(corner.left() + e * 0.75, corner.top() + e * 0.25);
            p.drawLine(from, to);
            p.drawLine(to, QPointF(to.x() - e * 0.3, to.y()));
            p.drawLine(to, QPointF(to.x(), to.y() + e * 0.3));
        }
        p.end();
        out.addPixmap(base);
    }
    return out;
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
