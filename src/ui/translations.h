#pragma once
// The wizard in the desktop's language: the program's own translation
// (pixsalvo3_<language>.qm) and Qt's (qtbase_<language>.qm, which words the standard
// dialogs' buttons), installed on the application. English needs none: the program's
// texts are English.
#include <QLocale>
#include <QString>

// The folder of the program's translations: "translations" in the folder that holds the
// skin (beside the program in the build tree, share/pixsalvo3 once installed).
QString TranslationFolder();

// Installs the translations for the locale's languages (QLocale::system() follows
// LANGUAGE, LC_ALL, LC_MESSAGES and LANG): the program's from folder, Qt's from Qt's own
// translations folder when it has them. Returns whether the program's own was found.
bool InstallTranslations(const QLocale& locale, const QString& folder);
