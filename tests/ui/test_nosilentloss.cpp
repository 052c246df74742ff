// The pages never lose the user's work without a word, and say nothing untrue: a Start
// without a card keeps the found files, a save that cannot write keeps the files and the
// page, a finished scan leaves its bar full, and the burn page tells at once that there is
// no recordable drive.
#include <gtest/gtest.h>

#include <filesystem>

#include <QApplication>
#include <QTest>

#include "app/csettings.h"
#include "platform/cdburner.h"
#include "platform/volumetable.h"
#include "pagetest.h"
#include "support/fixtures.h"
#include "ui/cfrmburnimages.h"
#include "ui/cfrmfindimages.h"
#include "ui/cfrmsaveimages.h"
#include "ui/cpxmaindlg.h"
#include "ui/csteps.h"
#include "widgets/cpx3statusline.h"

namespace fs = std::filesystem;
using px::test::Quote;

namespace {

class NoSilentLoss : public PageTest {
protected:
    void TearDown() override
    {
        px::CdBurner::SetProgram({});
        PageTest::TearDown();
    }
    // A demo card with deleted files, attached; the window then shows the find page.
    void AttachCard()
    {
        const std::string card = home.File("card.img");
        px::test::MakeDemoCard(card, 24, "--pictures 2");
        char letter = 0;
        std::string error;
        ASSERT_TRUE(px::VolumeTable::Instance().Attach(card, &letter, &error)) << error;
    }
    static size_t CountFiles(const std::string& folder)
    {
        size_t files = 0;
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec))
            files += it->is_regular_file();
        return files;
    }
    CFrmFindImages* ScanOnFindPage(CPXMainDlg& window)
    {
        window.Document().Reload();
        window.OnContinue();
        window.OnContinue();
        auto* find = dynamic_cast<CFrmFindImages*>(window.Page(window.CurrentStep()));
        EXPECT_NE(find, nullptr);
        if (!find)
            return nullptr;
        QTest::mouseClick(find->StartButton(), Qt::LeftButton);
        EXPECT_EQ(window.StatusLine()->Text(), "Finished");
        return find;
    }
};

// A finished scan leaves its bar full; Start with the card pulled out afterwards warns and
// keeps the files found and the bar as they were.
TEST_F(NoSilentLoss, FindPageKeepsTheFoundFilesWithoutACard)
{
    AttachCard();
    CPXMainDlg window(services);
    CFrmFindImages* find = ScanOnFindPage(window);
    ASSERT_NE(find, nullptr);
    const size_t found = window.Document().FoundList()->GetCount();
    ASSERT_GT(found, 0u);
    const std::string runFolder = window.Document().Status().RunFolder.GetText();
    auto* bar = qobject_cast<QProgressBar*>(find->Control(ControlId::Progress));
    ASSERT_NE(bar, nullptr);
    EXPECT_GT(bar->maximum(), bar->minimum());
    EXPECT_EQ(bar->value(), bar->maximum()) << "the finished scan's bar is full";

    px::VolumeTable::Instance().DetachAll();
    window.Document().Reload();
    ASSERT_TRUE(window.Document().HasNoCard());
    QTest::mouseClick(find->StartButton(), Qt::LeftButton);
    EXPECT_EQ(find->BalloonText(), "Please insert a memory card into a reader");
    EXPECT_EQ(window.Document().FoundList()->GetCount(), found);
    EXPECT_EQ(find->Counter()->text(), QString::number(found));
    EXPECT_TRUE(fs::is_directory(runFolder)) << runFolder;
    EXPECT_EQ(CountFiles(runFolder), found);
    EXPECT_EQ(bar->value(), bar->maximum());
}

// A save into a folder that cannot be written (a read-only mount: the tests run as root,
// which permission bits do not stop) shows the error and stays; the files stay listed and
// in the work folder, and a save into another folder then takes every one of them.
TEST_F(NoSilentLoss, AFailedSaveKeepsTheFilesAndThePage)
{
    AttachCard();
    CPXMainDlg window(services);
    ASSERT_NE(ScanOnFindPage(window), nullptr);
    const size_t found = window.Document().FoundList()->GetCount();
    ASSERT_GT(found, 0u);
    const std::string runFolder = window.Document().Status().RunFolder.GetText();
    window.OnContinue();
    window.OnContinue();
    auto* save = dynamic_cast<CFrmSaveImages*>(window.Page(window.CurrentStep()));
    ASSERT_NE(save, nullptr) << "on step " << window.CurrentStep();

    const std::string locked = home.File("locked");
    fs::create_directories(locked);
    std::string out;
    ASSERT_EQ(px::test::Run("mount -t tmpfs -o ro,size=256k tmpfs " + Quote(locked) + " 2>&1", &out), 0) << out;
    struct Unmount {
        std::string path;
        ~Unmount() { px::test::Run("umount " + Quote(path)); }
    } unmount{locked};
    services.folder = QString::fromStdString(locked);
    QTest::mouseClick(save->SelectButton(), Qt::LeftButton);
    QTest::mouseClick(save->SaveButton(), Qt::LeftButton);
    EXPECT_TRUE(window.StatusLine()->IsError()) << window.StatusLine()->Text().toStdString();
    EXPECT_NE(window.StatusLine()->Text(), "Finished");
    EXPECT_FALSE(save->BalloonText().isEmpty());
    EXPECT_EQ(window.Document().FoundList()->GetCount(), found);
    EXPECT_EQ(save->Control(ControlId::TotalImages)->property("text").toString(), QString::number(found));
    size_t left = CountFiles(runFolder);
    EXPECT_EQ(left, found) << "no file is deleted";
    EXPECT_FALSE(window.Document().IsSaved());
    window.OnContinue();
    EXPECT_EQ(window.CurrentStep(), Steps::SaveImages);

    // A folder that fills up during the move: what was moved is saved, the rest stays
    // listed, and the page stays.
    const std::string small = home.File("small");
    fs::create_directories(small);
    ASSERT_EQ(px::test::Run("mount -t tmpfs -o size=256k tmpfs " + Quote(small) + " 2>&1", &out), 0) << out;
    Unmount unmountSmall{small};
    services.folder = QString::fromStdString(small);
    QTest::mouseClick(save->SelectButton(), Qt::LeftButton);
    QTest::mouseClick(save->SaveButton(), Qt::LeftButton);
    EXPECT_TRUE(window.StatusLine()->IsError()) << window.StatusLine()->Text().toStdString();
    const size_t movedAway = CountFiles(small);
    left = CountFiles(runFolder);
    EXPECT_EQ(movedAway + left, found);
    EXPECT_GT(left, 0u);
    EXPECT_EQ(window.Document().FoundList()->GetCount(), left);
    EXPECT_FALSE(window.Document().IsSaved());
    window.OnContinue();
    EXPECT_EQ(window.CurrentStep(), Steps::SaveImages);

    // Another folder: the save takes the rest.
    const std::string chosen = home.File("Saved");
    fs::create_directories(chosen);
    services.folder = QString::fromStdString(chosen);
    QTest::mouseClick(save->SelectButton(), Qt::LeftButton);
    QTest::mouseClick(save->SaveButton(), Qt::LeftButton);
    EXPECT_EQ(window.StatusLine()->Text(), "Finished");
    EXPECT_EQ(CountFiles(chosen), left);
    EXPECT_EQ(CountFiles(small) + CountFiles(chosen), found);
    EXPECT_TRUE(window.Document().IsSaved());
}

// The burn page without a recordable drive (xorriso as it answers on a machine without
// one) says so when it shows and leaves Start off; with a drive set, Start is on.
TEST_F(NoSilentLoss, BurnPageTellsAMissingDriveAtOnce)
{
    CDriveDoc doc;
    CFrmBurnImages page(Context(doc), *FindStep(Steps::BurnImages), nullptr);
    page.resize(560, 330);
    const std::string fake = home.File("xorriso-nodrive");
    ASSERT_EQ(px::test::Run("printf '#!/bin/sh\\necho \"xorriso : SORRY : No drives found\" >&2\\nexit 32\\n' > " +
                            Quote(fake) + " && chmod +x " + Quote(fake)),
              0);
    px::CdBurner::SetProgram(fake);
    settings.SetBurnDrive("");
    page.OnPageShow();
    EXPECT_FALSE(page.DriveFound());
    EXPECT_EQ(page.ProgressText()->text(), "The recordable drive is missing");
    EXPECT_FALSE(page.StartButton()->isEnabled());
    // A message of the bus refreshes the page: Start stays off.
    { CMsgSend changed(MsgCode::CardListChanged); }
    EXPECT_FALSE(page.StartButton()->isEnabled());
    page.OnPageHide();

    settings.SetBurnDrive("stdio:" + home.File("disc.iso"));
    page.OnPageShow();
    EXPECT_TRUE(page.DriveFound());
    EXPECT_TRUE(page.ProgressText()->text().isEmpty());
    EXPECT_TRUE(page.StartButton()->isEnabled());
}

}  // namespace
