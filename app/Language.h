// The window's language and the locale's formats. The window's own texts are written in
// Russian and go through Qt's translations; everyone whose interface language is not Russian
// gets the English translation, built from res/translations into the program. Texts of the
// networking layer and of vardex-check are English in every language.
#pragma once

#include <QLocale>
#include <QString>
#include <QStringList>

class QCoreApplication;

enum class TUiLanguage { ulRussian, ulEnglish };

// The language for the user's interface languages in order of preference (as
// QLocale::uiLanguages gives them: "de-DE", "ru", "C"): the first of them that is Russian or
// English decides, the C/POSIX locale counts as Russian, and English stands for all others.
TUiLanguage UiLanguageOf(const QStringList& AUiLanguages);

// Installs into AApplication the translations for the system's interface language (which
// follows LANGUAGE, LC_ALL, LC_MESSAGES and LANG): the window's English for TUiLanguage::ulEnglish,
// Qt's own Russian (file dialog, message-box buttons) for TUiLanguage::ulRussian, so that a screen
// speaks one language. Returns the language chosen.
TUiLanguage InstallTranslations(QCoreApplication& AApplication);

// The locale's short date format with every two-digit year made a four-digit one.
QString FullYearDateFormat(const QLocale& ALocale);
