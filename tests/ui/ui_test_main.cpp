// The desktop app's tests (Qt Test, offscreen platform).
#include "browse_test.h"
#include "commands_test.h"
#include "iconprovider.h"
#include "thumbnail_test.h"
#include "views_test.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QTest>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Remembered settings go to a folder of the test's own.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    QApplication app(argc, argv);
    QApplication::setOrganizationName("korvane-test");
    QApplication::setApplicationName("korvane-test");
    korvane::ui::IconProvider::chooseIconTheme();
    int failed = 0;
    {
        korvane::ui::test::BrowseTest browse;
        failed += QTest::qExec(&browse, argc, argv);
    }
    {
        korvane::ui::test::CommandsTest commands;
        failed += QTest::qExec(&commands, argc, argv);
    }
    {
        korvane::ui::test::ThumbnailTest thumbnails;
        failed += QTest::qExec(&thumbnails, argc, argv);
    }
    {
        korvane::ui::test::ViewsTest views;
        failed += QTest::qExec(&views, argc, argv);
    }
    return failed == 0 ? 0 : 1;
}
