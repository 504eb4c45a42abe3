// The desktop app's tests (Qt Test, offscreen platform).
#include "browse_test.h"
#include "commands_test.h"
#include "iconprovider.h"

#include <QApplication>
#include <QTest>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
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
    return failed == 0 ? 0 : 1;
}
