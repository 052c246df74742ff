// The wizard in German: the translation built from translations/pixsalvo3_de.ts loads for
// a German desktop and words the pages, the steps and Qt's own buttons; English and a
// language without a translation keep the program's texts, and so does a missing folder.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>

#include "pagetest.h"
#include "ui/cfrmroot.h"
#include "ui/cpxmaindlg.h"
#include "ui/csteps.h"
#include "ui/translations.h"

namespace {

const QString kFolder = QStringLiteral(PX3_BINARY_DIR "/translations");

class Translations : public PageTest {
protected:
    // The heading of a page as the user reads it.
    static QString Heading(CPXMainDlg& window, int step)
    {
        CFrmRoot* page = window.Page(step);
        auto* label = page ? qobject_cast<QLabel*>(page->Control(ControlId::Heading)) : nullptr;
        return label ? label->text() : QString();
    }
};

// Each test runs in a process of its own: the translators it installs stay with it.
TEST_F(Translations, GermanWordsThePagesTheStepsAndQtsButtons)
{
    ASSERT_TRUE(InstallTranslations(QLocale(QLocale::German, QLocale::Germany), kFolder));
    CPXMainDlg window(services);
    EXPECT_EQ(Heading(window, Steps::SelectCard), QString::fromUtf8("Wählen Sie die Speicherkarte mit Ihren Bildern:"));
    EXPECT_EQ(FindStep(Steps::FindImages)->Title, QString::fromUtf8("Bildrettung: Bilder suchen"));
    // A placeholder survives the translation and takes its value.
    EXPECT_EQ(CFrmRoot::tr("No program on this desktop opens %1. You find it here:\n%2").arg("a", "b"),
              QString::fromUtf8("Kein Programm dieses Desktops öffnet a. Sie finden die Datei hier:\nb"));
    // Qt's standard buttons speak German with the program (qtbase_de from Debian's Qt translations).
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), QString::fromUtf8("Abbrechen"));
}

TEST_F(Translations, EnglishOtherLanguagesAndAMissingFolderKeepTheProgramsTexts)
{
    EXPECT_FALSE(InstallTranslations(QLocale(QLocale::English, QLocale::UnitedStates), kFolder));
    EXPECT_FALSE(InstallTranslations(QLocale(QLocale::Japanese, QLocale::Japan), kFolder));
    EXPECT_FALSE(InstallTranslations(QLocale(QLocale::German, QLocale::Germany), QString::fromStdString(home.Path()) + "/no-translations"));
    CPXMainDlg window(services);
    EXPECT_EQ(Heading(window, Steps::SelectCard), "Select the memory card you need to recover:");
    EXPECT_EQ(FindStep(Steps::FindImages)->Title, "Image Recovery: Find Images");
    // Qt's translation comes only with the program's: no German buttons in an English program.
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), "Cancel");
}

}  // namespace
