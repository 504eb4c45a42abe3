// Opening images: a new one, a file (as the probes decide, or as the format
// picked in "打开方式"), one of the images opened last, and images inside the
// one browsed, entered in place (a member of a container, or a file opened
// as an image) and left again. Each open runs as a job of the window; a
// failed open keeps what was open.
#pragma once

#include "transfer/image_chain.h"

#include <QObject>
#include <QString>
#include <functional>
#include <optional>

namespace korvane {
struct Node;
class Timg;
class WorkSink;
} // namespace korvane

namespace korvane::ui {

class MainWindow;

class OpenCommands : public QObject {
    Q_OBJECT
public:
    explicit OpenCommands(MainWindow& window);

    void newImage();
    void openFromDialog();
    void openAs();
    void open(const QString& path, const QString& format);
    // Opens node of the browsed image as an image in place (as format when
    // one is named).
    void enter(Node* node, const QString& format = {});
    // The selected file opened in place as format (a registry name).
    void enterSelectedAs(const QString& format);
    // An image of the recent list, after asking before edits are lost.
    void openRecent(const QString& path);
    // Puts the images opened last under " 打 开 ".
    void showRecent();
    // Back to the image around the browsed one, the member left selected.
    void leave();
    void showWarnings(const Timg& img);
    // The status bar as the browsed image's reading ended (its warnings
    // counted), after a reading that failed; empty when nothing is open.
    void showReadStatus();

private:
    // The format names "打开方式" offers and the one picked; nullopt when
    // cancelled.
    std::optional<QString> askFormat();
    void loadWith(std::function<ImageChain(WorkSink*)> load, const QString& path);
    // Puts path first in the list of images opened last.
    void remember(const QString& path);

    MainWindow& w_;
};

} // namespace korvane::ui
