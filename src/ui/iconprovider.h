// Icons of objects and commands: files by the MIME type of their extension,
// as file managers show them, from the desktop's icon theme, with built-in
// fallbacks when the theme has none.
#pragma once

#include <QHash>
#include <QIcon>
#include <QMimeDatabase>
#include <QStringList>
#include <QStyle>
#include <string>
#include <string_view>

namespace korvane::ui {

class IconProvider {
public:
    IconProvider();

    QIcon folderIcon() const { return folder_; }
    // The icon of an object called name: the folder icon for a directory,
    // otherwise the icon of the name's extension (cached per extension).
    QIcon iconFor(std::string_view name, bool directory);
    // The icon of a symbolic link called name: its target's icon by the
    // name's extension, with the link emblem in the lower left corner.
    QIcon linkIconFor(std::string_view name);
    // icon with the link emblem drawn over it.
    static QIcon withLinkEmblem(const QIcon& icon);

    // The first of names the theme has (each also tried as its "-symbolic"
    // variant), preferring one it can draw at size pixels; else the style's
    // standard icon.
    static QIcon themeIcon(const QStringList& names, QStyle::StandardPixmap fallback, int size = 0);

    // Selects an installed icon theme when the platform names none that has
    // the basic icons (a bare X server, the offscreen platform).
    static void chooseIconTheme();

private:
    QIcon forExtension(const QString& extension);

    QMimeDatabase mimes_;
    QIcon folder_;
    QIcon file_;
    QHash<QString, QIcon> byExtension_;
    QHash<QString, QIcon> linksByExtension_;
};

} // namespace korvane::ui
