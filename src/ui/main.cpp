// korvane: the desktop browser and editor of flash filesystem images.
//   korvane [--lang en|zh] [IMAGE]   opens IMAGE at start
#include "dirlistmodel.h"
#include "iconprovider.h"
#include "korvane_version.h"
#include "language.h"
#include "mainwindow.h"
#include "uitexts.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>
#include <cstdio>
#include <cstring>

using namespace korvane;
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

// --lang, else the locale (LANGUAGE, LC_ALL, LC_MESSAGES, LANG); Chinese
// unless English is asked for.
text::Language chooseLanguage(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        std::string_view value;
        if (a == "--lang" && i + 1 < argc)
            value = argv[i + 1];
        else if (a.rfind("--lang=", 0) == 0)
            value = a.substr(7);
        else
            continue;
        if (auto lang = text::parseLanguage(value))
            return *lang;
    }
    return text::languageFromEnvironment(text::Language::kChinese);
}

// The command line: korvane [--lang en|zh] [IMAGE], and --screenshot for the
// documentation.
struct CommandLine {
    QCommandLineParser parser;
    QCommandLineOption lang{"lang", "Language of the texts: en or zh.", "LANG"};
    QCommandLineOption screenshot{"screenshot", "Save a picture of the window and quit.", "FILE"};

    CommandLine() {
        parser.setApplicationDescription(tx(kAppTitle));
        parser.addHelpOption();
        parser.addVersionOption();
        parser.addPositionalArgument(
            "IMAGE", "Image to open (any format Korvane reads; korvane-cli info tells which)");
        parser.addOption(lang);
        screenshot.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(screenshot);
    }
};

void describeApplication() {
    QCoreApplication::setApplicationName("korvane");
    QCoreApplication::setOrganizationName("korvane");
    QCoreApplication::setApplicationVersion(KORVANE_VERSION_TEXT);
}

// --help and --version only print, so they must work without a display (in a
// terminal over ssh, in a package's test): they are answered before the
// window's QApplication, which needs one, exists.
bool onlyPrints(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "--") == 0)
            return false;
        for (const char* flag : {"-h", "--help", "--help-all", "-?", "-v", "--version"})
            if (std::strcmp(a, flag) == 0)
                return true;
    }
    return false;
}

int printHelpOrVersion(int argc, char** argv) {
    QCoreApplication core(argc, argv);
    describeApplication();
    installTranslators(chooseLanguage(argc, argv));
    CommandLine commandLine;
    // Exits after printing; an unknown option makes it print the error.
    commandLine.parser.process(core);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (onlyPrints(argc, argv))
        return printHelpOrVersion(argc, argv);
    QApplication app(argc, argv);
    describeApplication();
    QGuiApplication::setDesktopFileName("korvane");
    QApplication::setWindowIcon(QIcon(":/korvane/korvane.svg"));
    // The window's resources (the translations among them) are in korvane_ui.
    Q_INIT_RESOURCE(korvane);
    const text::Language lang = chooseLanguage(argc, argv);
    if (!installTranslators(lang))
        std::fprintf(stderr, "korvane: the English translation is missing; texts stay Chinese\n");
    IconProvider::chooseIconTheme();

    CommandLine commandLine;
    QCommandLineParser& parser = commandLine.parser;
    const QCommandLineOption& screenshot = commandLine.screenshot;
    parser.process(app);
    if (parser.isSet(commandLine.lang) &&
        !text::parseLanguage(parser.value(commandLine.lang).toStdString())) {
        std::fprintf(stderr, "korvane: --lang takes en or zh\n");
        return 2;
    }

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
