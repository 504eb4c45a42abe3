#include "language.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <memory>

namespace korvane::ui {

namespace {

text::Language current = text::Language::kChinese;
std::unique_ptr<QTranslator> ours;
std::unique_ptr<QTranslator> qts;

} // namespace

void setLanguage(text::Language lang) {
    current = lang;
}

text::Language language() {
    return current;
}

bool installTranslators(text::Language lang) {
    removeTranslators();
    setLanguage(lang);
    const bool english = lang == text::Language::kEnglish;
    // Qt's dialogs write dates, sizes and file types in the default locale's
    // language: the app's language, in the user's own format where the
    // system locale speaks it.
    const QLocale system = QLocale::system();
    if (english)
        QLocale::setDefault(system.language() == QLocale::English
                                ? system
                                : QLocale(QLocale::English, QLocale::UnitedStates));
    else
        QLocale::setDefault(system.language() == QLocale::Chinese
                                ? system
                                : QLocale(QLocale::Chinese, QLocale::China));
    // Qt's own texts: its English is built in.
    if (!english) {
        qts = std::make_unique<QTranslator>();
        if (qts->load(QLocale(QLocale::Chinese, QLocale::China), "qtbase", "_",
                      QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
            QCoreApplication::installTranslator(qts.get());
        else
            qts.reset();
        return true;
    }
    ours = std::make_unique<QTranslator>();
    if (!ours->load(":/korvane/i18n/korvane_en.qm")) {
        ours.reset();
        return false;
    }
    QCoreApplication::installTranslator(ours.get());
    return true;
}

void removeTranslators() {
    for (auto* t : {&ours, &qts})
        if (*t) {
            QCoreApplication::removeTranslator(t->get());
            t->reset();
        }
}

QString coreText(const Message& m) {
    return QString::fromStdString(text::messageText(m, current));
}

} // namespace korvane::ui
