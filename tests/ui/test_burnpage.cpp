// The burn page: the folder of the last save with its totals, the checks before a burn
// and their balloons (no folder, an empty folder, no drive), then a burn to xorriso's
// stdio: pseudo drive; a hanging xorriso stopped by Cancel and by closing the window.
// No test looks at a real drive.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <filesystem>

#include "app/csettings.h"
#include "app/progresstext.h"
#include "platform/cdburner.h"
#include "recovery/cfoundfiles.h"
#include "pagetest.h"
#include "ui/cfrmburnimages.h"
#include "ui/csteps.h"
#include "widgets/cballoontip.h"

namespace fs = std::filesystem;
using px::test::Quote;

namespace {

class BurnPage : public PageTest {
protected:
    void SetUp() override
    {
        PageTest::SetUp();
        doc.SetFoundList(std::make_unique<CFoundFiles>());
        doc.Settings().SaveFolder.SetPath(home.File("Recovered"), true);
    }
    void TearDown() override
    {
        px::CdBurner::SetProgram({});
        PageTest::TearDown();
    }
    static QString OpenBalloonTitle()
    {
        for (QWidget* top : QApplication::topLevelWidgets())
            if (auto* balloon = qobject_cast<CBalloonTip*>(top); balloon && balloon->isVisible())
                return balloon->Title();
        return {};
    }

    CDriveDoc doc;
};

}  // namespace

TEST_F(BurnPage, ChecksInOrderThenWritesTheSavedFolder)
{
    CFrmBurnImages page(Context(doc), *FindStep(Steps::BurnImages), nullptr);
    page.resize(560, 330);
    page.OnPageShow();

    // No run yet: no folder to write.
    EXPECT_TRUE(page.FolderToWrite().empty());
    EXPECT_FALSE(page.OnStart());
    EXPECT_EQ(page.BalloonText(), "Recovery folder does not exist.\r\nPlease contact customer service.");
    EXPECT_EQ(OpenBalloonTitle(), "Internal error");

    // The save went to Recovered/Run_1, which holds nothing: the staging area stays as it is.
    const std::string folder = home.File("Recovered/Run_1");
    fs::create_directories(folder);
    doc.Status().RunFolder.SetPath(home.File("Pictures/Pixsalvo/Tmp/Run_1"), true);
    std::string staging, error;
    ASSERT_TRUE(px::CdBurner::StagingArea(staging, error)) << error;
    ASSERT_TRUE(px::test::WriteFile(staging + "/earlier.txt", {'x'}));
    EXPECT_FALSE(page.OnStart());
    EXPECT_EQ(page.FolderToWrite(), folder);
    EXPECT_EQ(page.BalloonText(), "The folder is empty.");
    EXPECT_EQ(OpenBalloonTitle(), "No files to burn");
    EXPECT_EQ(std::distance(fs::directory_iterator(staging), fs::directory_iterator()), 1);

    // Files, but no drive: xorriso as it answers on a machine without one.
    ASSERT_TRUE(px::test::WriteFile(folder + "/IMG_0001.jpg", px::test::ReadFile(PX3_SOURCE_DIR "/CMakeLists.txt")));
    fs::create_directories(folder + "/sub");
    ASSERT_TRUE(px::test::WriteFile(folder + "/sub/IMG_0002.jpg", std::vector<uint8_t>(5000, 1)));
    const std::string fake = home.File("xorriso-nodrive");
    ASSERT_EQ(px::test::Run("printf '#!/bin/sh\\necho \"xorriso : SORRY : No drives found\" >&2\\nexit 32\\n' > " +
                            Quote(fake) + " && chmod +x " + Quote(fake)),
              0);
    px::CdBurner::SetProgram(fake);
    EXPECT_FALSE(page.OnStart());
    EXPECT_EQ(page.BalloonText(), "The recordable drive is missing");
    EXPECT_EQ(OpenBalloonTitle(), "Internal error");
    EXPECT_EQ(page.FileCount(), 2);
    const uint64_t bytes = fs::file_size(folder + "/IMG_0001.jpg") + 5000;
    EXPECT_EQ(page.TotalBytes(), bytes);
    EXPECT_EQ(qobject_cast<QLabel*>(page.Control(ControlId::TotalImages))->text(), "2");
    EXPECT_EQ(qobject_cast<QLabel*>(page.Control(ControlId::TotalSize))->text(), QString::fromStdString(SizeText(bytes)));
    EXPECT_EQ(page.LocationLabel()->toolTip(), QString::fromStdString(folder));
    EXPECT_TRUE(page.LocationLabel()->text().startsWith("~/")) << page.LocationLabel()->text().toStdString();

    // The drive set to a file: the disc image is written and the page is free again.
    px::CdBurner::SetProgram({});
    const std::string image = home.File("disc.iso");
    settings.SetBurnDrive("stdio:" + image);
    EXPECT_TRUE(page.OnStart()) << doc.GetError();
    EXPECT_TRUE(page.BalloonText().isEmpty());
    EXPECT_GT(fs::file_size(image), bytes);
    EXPECT_TRUE(page.StartButton()->isEnabled());
    EXPECT_FALSE(page.CancelButton()->isEnabled());
}

// xorriso that hangs while it writes: Cancel stops it and the progress line tells so (not
// "Writing 12%"); closing the window stops it too, and the window closes once the burn
// has ended. The window keeps running meanwhile, or neither could be clicked.
TEST_F(BurnPage, CancelAndClosingTheWindowStopAHangingXorriso)
{
    const std::string folder = home.File("Recovered/Run_1");
    fs::create_directories(folder);
    ASSERT_TRUE(px::test::WriteFile(folder + "/IMG_0001.jpg", std::vector<uint8_t>(5000, 1)));
    doc.Status().RunFolder.SetPath(home.File("Pictures/Pixsalvo/Tmp/Run_1"), true);
    const std::string fake = home.File("xorriso-hangs");
    ASSERT_EQ(px::test::Run("printf '#!/bin/sh\\necho \"xorriso : UPDATE : Writing: 9s 12.0%%\" >&2\\nexec sleep 30\\n' > " +
                            Quote(fake) + " && chmod +x " + Quote(fake)),
              0);
    px::CdBurner::SetProgram(fake);
    settings.SetBurnDrive("stdio:" + home.File("disc.iso"));
    CFrmBurnImages page(Context(doc), *FindStep(Steps::BurnImages), nullptr);
    page.resize(560, 330);
    page.show();
    page.OnPageShow();
    ASSERT_TRUE(page.StartButton()->isEnabled()) << page.ProgressText()->text().toStdString();

    QElapsedTimer clock;
    clock.start();
    QTimer::singleShot(500, &page, [&page] {
        EXPECT_TRUE(page.CancelButton()->isEnabled());
        page.CancelButton()->click();
    });
    EXPECT_FALSE(page.OnStart());
    EXPECT_LT(clock.elapsed(), 10000);
    EXPECT_TRUE(page.ProgressText()->text().startsWith("Aborted by user")) << page.ProgressText()->text().toStdString();
    EXPECT_TRUE(page.StartButton()->isEnabled());
    const std::string staging = px::CdBurner::StagingPath();
    EXPECT_TRUE(!fs::exists(staging) || fs::is_empty(staging));

    clock.restart();
    QTimer::singleShot(500, &page, [&page] { EXPECT_FALSE(page.close()); });
    EXPECT_FALSE(page.OnStart());
    EXPECT_LT(clock.elapsed(), 10000);
    EXPECT_TRUE(page.isVisible());   // not while the burn unwinds...
    QCoreApplication::processEvents();
    EXPECT_FALSE(page.isVisible());  // ...but right after
    EXPECT_FALSE(fs::exists(home.File("disc.iso")));
}
