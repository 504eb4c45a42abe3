// The language of the desktop app: its own texts through Qt's translator
// (translations/korvane_en.ts), the core's messages through the catalogue of
// korvane_text. Chosen once at start.
#pragma once

#include "model/message.h"
#include "text/messagetext.h"

#include <QString>
#include <string>

namespace korvane::ui {

// The language of the texts made from now on; Chinese until set.
void setLanguage(text::Language lang);
text::Language language();

// Installs the translators of lang into the application: ours and Qt's own
// (standard buttons, file dialogs) for English, Qt's Chinese for Chinese.
// Returns false when our English translation cannot be loaded.
bool installTranslators(text::Language lang);
// Removes what installTranslators installed.
void removeTranslators();

// A message of the core in the app's language.
QString coreText(const Message& m);

} // namespace korvane::ui
