// korvane: the desktop browser and editor of flash filesystem images.
//   korvane [IMAGE]   opens IMAGE at start
#include "dirlistmodel.h"
#include "iconprovider.h"
#include "mainwindow.h"
#include "uitexts.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QLibraryInfo>
#include <QLocale>
#include <QTimer>
#include <QTranslator>
#include <cstdio>

using namespace korvane::ui;

namespace {

// For the documentation: once the image is listed, shows the detail view with
// the first file selected, saves a picture of the window to path and quits.
void takeScreenshotWhenListed(MainWindow& window, const QString& path) {
    QObject::connect(&window, &MainWindow::jobFinished, &window, [&window, path] {
        window.showDetailView();
        DirListModel* list = window.listModel();
        for (int row = 0; row < list->rows(); ++row)
            if (list->row(row).entry.objType == korvane::kTypeFile) {
                window.selectRows({row});
                break;
            }
        // Let the views lay out and paint before the picture is taken.
        QTimer::singleShot(300, &window, [&window, path] {
            bool saved = window.grab().save(path, "PNG");
            if (!saved)
                std::fprintf(stderr, "korvane: cannot write %s\n", qPrintable(path));
            QApplication::exit(saved ? 0 : 1);
        });
    });
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("korvane");
    QApplication::setApplicationVersion("2.0");
    QGuiApplication::setDesktopFileName("korvane");
    QApplication::setWindowIcon(QIcon(":/korvane/korvane.svg"));

    // Qt's own texts (standard buttons, file dialogs) in Chinese, like ours.
    QTranslator qtTexts;
    if (qtTexts.load(QLocale(QLocale::Chinese, QLocale::China), "qtbase", "_",
                     QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtTexts);
    IconProvider::chooseIconTheme();

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(kAppTitle));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument("IMAGE", "YAFFS2, EXT2 or EXT3 image to open");
    QCommandLineOption screenshot("screenshot", "Save a picture of the window and quit.", "FILE");
    screenshot.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(screenshot);
    parser.process(app);

    MainWindow window;
    window.show();
    const QStringList args = parser.positionalArguments();
    if (parser.isSet(screenshot)) {
        if (args.isEmpty()) {
            std::fprintf(stderr, "korvane: --screenshot needs an IMAGE\n");
            return 2;
        }
        takeScreenshotWhenListed(window, parser.value(screenshot));
    }
    if (!args.isEmpty())
        window.openImage(args.first());
    return QApplication::exec();
}
