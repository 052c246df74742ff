// The wizard in German: the translation built from translations/pixsalvo3_de.ts loads for
// a German desktop and words the pages, the steps and Qt's own buttons; English and a
// language without a translation keep the program's texts, and so does a missing folder.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QRegularExpression>

#include "app/ctransferstatus.h"
#include "app/progresstext.h"
#include "jobs/coledatetime.h"
#include "pagetest.h"
#include "ui/cfrmroot.h"
#include "ui/coretext.h"
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
    // A scan a quarter through a 64 MB card after 100 seconds: some five minutes to go.
    static CTransferStatus QuarterDone()
    {
        CTransferStatus status;
        status.Capacity = 64ull << 20;
        status.BytesDone = 16ull << 20;
        status.BlockCount = 131072;
        status.CurrentBlock = 32768;
        status.StartTick = COleDateTime::MonotonicSeconds() - 100;
        return status;
    }
    // The text of the page's label that shows the progress line ("25%    (...").
    static QString ProgressLine(CFrmRoot* page)
    {
        for (const QLabel* label : page->findChildren<QLabel*>())
            if (label->text().startsWith("25%"))
                return label->text();
        return {};
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

TEST_F(Translations, GermanWordsTheProgressLineAndTheCoresTexts)
{
    ASSERT_TRUE(InstallTranslations(QLocale(QLocale::German, QLocale::Germany), kFolder));
    CPXMainDlg window(services);
    CFrmRoot* page = window.Page(Steps::FindImages);
    ASSERT_NE(page, nullptr);
    page->ShowProgress(QuarterDone());
    EXPECT_TRUE(QRegularExpression(R"(^25%    \(16\.0 MB / 64\.0 MB\) - noch \d+ Min\. \d+ Sek\.$)").match(ProgressLine(page)).hasMatch())
        << ProgressLine(page).toStdString();
    // A fixed text of a job, a composite one (the system's reason stays as it is), a value
    // of the card list; a text the wizard does not know passes unchanged.
    EXPECT_EQ(CoreText(std::string("Canceled by user")), "Vom Benutzer abgebrochen");
    EXPECT_EQ(CoreText(std::string("Cannot write /x/IMG_0001.JPG: No space left on device")),
              "/x/IMG_0001.JPG kann nicht geschrieben werden: No space left on device");
    EXPECT_EQ(CoreText(std::string("Removable Disk")), QString::fromUtf8("Wechseldatenträger"));
    EXPECT_EQ(CoreText(std::string("Something new went wrong")), "Something new went wrong");
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
    // The wizard's progress line and the core's texts are the core's own words.
    const CTransferStatus status = QuarterDone();
    EXPECT_EQ(ProgressQText(status), QString::fromStdString(ProgressText(status)));
    for (int64_t seconds : {0, 60, 61, 125, 3661, 3725, 7265, 7325})
        EXPECT_EQ(RemainingQText(seconds), QString::fromStdString(RemainingText(seconds))) << seconds;
    EXPECT_EQ(CoreText(std::string("Cannot write /x/a: No space left on device")), "Cannot write /x/a: No space left on device");
}

}  // namespace
