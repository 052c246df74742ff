// The card tools and the support page as a user drives them: confirmations that must
// write nothing when declined, the read test's lines, a format that a camera (and
// fsck.fat) accepts, an erase that a write-protected card refuses, and the printed report.
#include <gtest/gtest.h>

#include <filesystem>

#include <QApplication>
#include <QMessageBox>

#include "platform/volumetable.h"
#include "pagetest.h"
#include "support/fixtures.h"
#include "ui/cfrmcardinfo.h"
#include "ui/cfrmtoolpages.h"
#include "ui/cpxmaindlg.h"
#include "ui/pagekit.h"

namespace fs = std::filesystem;
using px::test::Quote;

namespace {

class Tools : public PageTest {
protected:
    // A card image (a demo card, or blank when sizeMiB is negative) attached with the
    // reader options given; returns its letter.
    char Attach(const std::string& name, int sizeMiB, const std::string& options = {})
    {
        const std::string card = home.File(name);
        if (sizeMiB > 0)
            px::test::MakeDemoCard(card, sizeMiB, "--pictures 1");
        else
            EXPECT_TRUE(px::test::MakeBlankImage(card, uint64_t(-sizeMiB) << 20));
        char letter = 0;
        std::string error;
        EXPECT_TRUE(px::VolumeTable::Instance().Attach(card + options, &letter, &error)) << error;
        return letter;
    }
    template <class Page>
    Page* Show(CPXMainDlg& window, int step)
    {
        window.OnMenuCommand(Steps::ViewAllTools);
        window.OnMenuCommand(step);
        auto* page = dynamic_cast<Page*>(window.Page(step));
        EXPECT_NE(page, nullptr);
        return page;
    }

};

TEST_F(Tools, FormatAsksFirstAndGivesACardThatFsckAccepts)
{
    const char letter = Attach("card.img", 24);
    CPXMainDlg window(services);
    window.Document().Reload();
    window.Document().SelectDrive(letter);
    auto* page = Show<CFrmToolFormat>(window, Steps::FormatCard);
    const QString before = window.StatusLine()->Text();
    page->StartButton()->click();
    ASSERT_EQ(services.boxes.size(), 1);
    EXPECT_EQ(services.boxes.front(), QString("Confirmation: ") + CFrmToolFormat::ConfirmText);
    EXPECT_EQ(px::VolumeTable::Instance().Card(letter)->WriteCommands(), 0u) << "No writes nothing";
    EXPECT_EQ(window.StatusLine()->Text(), before);

    services.answer = QMessageBox::Yes;
    page->StartButton()->click();
    EXPECT_EQ(services.boxes.last(), QString("Finished: ") + CFrmToolFormat::DoneText);
    EXPECT_EQ(window.StatusLine()->Text(), CFrmToolFormat::DoneText);
    // The partition that the MBR names: fsck.fat finds nothing to mend, mtools writes to it.
    const auto image = px::test::ReadFile(home.File("card.img"));
    auto le32 = [&](size_t at) { return uint64_t(image[at]) | image[at + 1] << 8 | image[at + 2] << 16 | uint64_t(image[at + 3]) << 24; };
    const uint64_t start = le32(446 + 8), size = le32(446 + 12);
    ASSERT_LE((start + size) * 512, image.size());
    std::string out;
    const std::string part = home.File("part.img");
    ASSERT_TRUE(px::test::WriteFile(part, {image.begin() + long(start * 512), image.begin() + long((start + size) * 512)}));
    EXPECT_EQ(px::test::Run("fsck.fat -n " + Quote(part) + " 2>&1", &out), 0) << out;
    EXPECT_EQ(px::test::Run("MTOOLS_SKIP_CHECK=1 mcopy -i " + Quote(part) + " /etc/hostname ::/NOTE.TXT 2>&1", &out), 0)
        << out;
}

TEST_F(Tools, TheTestPageShowsWhatTheCardIsAndWhatDidNotRead)
{
    const char good = Attach("card.img", 24, ",bad=3000-3009");
    const char blank = Attach("blank.img", -8);
    CPXMainDlg window(services);
    window.Document().Reload();
    window.Document().SelectDrive(good);
    auto* page = Show<CFrmToolCardTest>(window, Steps::TestCard);
    page->StartButton()->click();
    EXPECT_EQ(page->Line(1059), "OK");
    EXPECT_EQ(page->Line(1060), "OK (FAT)");
    EXPECT_EQ(page->Line(1062), "N/A") << "no figure stands behind a fragmentation number";
    EXPECT_EQ(page->Line(ControlId::ReadErrors), "10");
    EXPECT_TRUE(window.StatusLine()->IsError()) << window.StatusLine()->Text().toStdString();
    EXPECT_NE(page->Line(ControlId::BytesVerified), "0");

    // Another card puts the page back to its empty state.
    window.Document().SelectDrive(blank);
    for (int id : {1059, 1060, 1061, 1062})
        EXPECT_EQ(page->Line(id), "N/A");
    EXPECT_EQ(page->Line(ControlId::ReadErrors), "0");
    EXPECT_EQ(page->Line(ControlId::BytesVerified), "0");
    page->StartButton()->click();
    EXPECT_EQ(page->Line(1059), "FAIL");
    EXPECT_EQ(page->Line(1060), "FAIL");
    EXPECT_EQ(page->Line(1061), "FAIL");
    EXPECT_EQ(page->Line(1062), "N/A");
    EXPECT_EQ(window.StatusLine()->Text(), "Finished");
}

TEST_F(Tools, EraseOfAWriteProtectedCardChangesNothing)
{
    const char letter = Attach("card.img", 24, ",readonly");
    const auto before = px::test::ReadFile(home.File("card.img"));
    CPXMainDlg window(services);
    window.Document().Reload();
    window.Document().SelectDrive(letter);
    auto* page = Show<CFrmToolWipe>(window, Steps::EraseCard);
    services.answer = QMessageBox::Yes;
    page->StartButton()->click();
    EXPECT_EQ(services.boxes.front(), QString("Confirmation: ") + CFrmToolWipe::ConfirmText);
    EXPECT_TRUE(CFrmToolWipe::ConfirmText == std::string("All data on the card will be permanently erased!\n Do you want to continue?"));
    EXPECT_TRUE(window.StatusLine()->IsError());
    EXPECT_NE(window.StatusLine()->Text().indexOf("DATA PROTECT"), -1) << window.StatusLine()->Text().toStdString();
    EXPECT_EQ(px::test::ReadFile(home.File("card.img")), before);

    // Without a card the tool says what is missing, at the card list.
    px::VolumeTable::Instance().DetachAll();
    window.Document().Reload();
    page->StartButton()->click();
    EXPECT_EQ(page->BalloonText(), "Please insert card to erase");
}

TEST_F(Tools, SupportPagePrintsTheReportWithItsLineEnds)
{
    const QByteArray text = CFrmCardInfo::PrintText("7 December 2026", "Line one\r\nLine two");
    EXPECT_TRUE(text.startsWith("Tolvex Image Recovery - Card Information \r\n \r\n\t7 December 2026 \r\n"));
    EXPECT_TRUE(text.endsWith("Line one \r\nLine two")) << text.toStdString();

    CPXMainDlg window(services);
    auto* page = Show<CFrmCardInfo>(window, Steps::Support);
    const std::string file = CSettings::CardInfoPath();
    EXPECT_FALSE(page->OnPrint());
    EXPECT_EQ(page->BalloonText(), "Please insert card into reader");
    EXPECT_FALSE(fs::exists(file));

    const char letter = Attach("card.img", 24);
    window.Document().Reload();
    window.Document().SelectDrive(letter);
    EXPECT_GT(page->Properties()->topLevelItemCount(), 3);
    EXPECT_TRUE(page->OnPrint());
    ASSERT_TRUE(fs::exists(file));
    EXPECT_EQ(services.opened.last().toStdString(), file);
    const auto bytes = px::test::ReadFile(file);
    EXPECT_NE(std::string(bytes.begin(), bytes.end()).find(" \r\n"), std::string::npos);

    // A desktop without a program for text files: the status line and a box say where it is.
    services.opens = false;
    EXPECT_TRUE(page->OnPrint());
    const QString where = "No program on this desktop opens the card report. You find it here:\n" + QString::fromStdString(file);
    EXPECT_EQ(services.boxes.last(), "Open: " + where);
    EXPECT_EQ(window.StatusLine()->Text(), where);
    EXPECT_TRUE(window.StatusLine()->IsError());
}

}  // namespace
