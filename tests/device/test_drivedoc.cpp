// The card document and the device listener over emulated readers.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "app/clogfile.h"
#include "device/cdevicewatcher.h"
#include "device/cdrivedoc.h"
#include "device/cdrivelistener.h"
#include "platform/volumetable.h"
#include "support/fixtures.h"

using px::VolumeTable;
using px::test::TempHome;

namespace {

struct Messages : CListener {
    std::vector<int> codes;
    Messages() { Bus().AddListener("Messages", this); }
    ~Messages() override { Bus().RemoveListener(this); }
    void OnMessage(CSingleMsg& msg) override { codes.push_back(msg.Code); }
};

class DriveDocTest : public ::testing::Test {
protected:
    void SetUp() override { VolumeTable::Instance().DetachAll(); }
    void TearDown() override { VolumeTable::Instance().DetachAll(); }
    char Attach(const std::string& spec, uint64_t blocks = 2048)
    {
        const std::string path = home.File("card" + std::to_string(++images) + ".img");
        EXPECT_TRUE(px::test::MakeBlankImage(path, blocks * 512));
        char letter = 0;
        std::string error;
        const size_t eq = spec.find('=');
        const std::string prefix = eq == std::string::npos ? "" : spec.substr(0, eq + 1);
        const std::string options = eq == std::string::npos ? spec : spec.substr(eq + 1);
        EXPECT_TRUE(VolumeTable::Instance().Attach(prefix + path + options, &letter, &error)) << error;
        return letter;
    }
    TempHome home;
    int images = 0;
};

TEST_F(DriveDocTest, ReloadSelectsTheFirstCardAndSkipsEmptySlots)
{
    Attach("E=,empty");
    Attach("F=");
    Attach("G=");
    CDriveDoc doc;
    Messages messages;
    doc.Reload();
    EXPECT_EQ(doc.DriveList().GetCount(), 3u);   // the empty slot is listed
    EXPECT_EQ(doc.SelectedLetter(), 'F');
    EXPECT_TRUE(doc.SelectedLoaded());
    EXPECT_EQ(messages.codes, (std::vector<int>{MsgCode::CardListChanged, MsgCode::CardSelected}));
    EXPECT_EQ(doc.Status().SelectedDrive, uint32_t('F'));
    EXPECT_EQ(doc.Status().Capacity, 2048u * 512);
    EXPECT_FALSE(doc.HasNoCard());

    CListView view;
    doc.FillDriveList(view);
    ASSERT_EQ(view.Rows.size(), 2u);   // E has no card: not shown
    EXPECT_EQ(view.Rows[0], (std::vector<std::string>{"F:\\", "Removable Disk", "1024.0 KB", "Generic", "Usb"}));
    EXPECT_EQ(view.Columns[4].Width, 100);
    EXPECT_EQ(view.Selected, 0);
    doc.SelectDrive('G');
    doc.FillDriveList(view);
    EXPECT_EQ(view.Selected, 1);

    doc.FillCardProperties(view);
    ASSERT_EQ(view.Rows.size(), 9u);
    EXPECT_EQ(view.Rows[1], (std::vector<std::string>{"Capacity:", "1,048,576"}));
    doc.SelectDrive(0);
    doc.FillCardProperties(view);
    EXPECT_EQ(view.Rows, (std::vector<std::vector<std::string>>{{"", "Card is not selected"}}));
}

TEST_F(DriveDocTest, OnlyAnEmptySlotMeansNoCard)
{
    Attach("E=,empty");
    CDriveDoc doc;
    doc.Reload();
    EXPECT_TRUE(doc.HasNoCard());
    EXPECT_EQ(doc.SelectedLetter(), 0);
    CListView view;
    doc.FillDriveList(view);
    EXPECT_TRUE(view.Rows.empty());
    EXPECT_EQ(view.Selected, -1);
}

TEST_F(DriveDocTest, SelectingADriveOutsideTheListAddsIt)
{
    CDriveDoc doc;
    doc.Reload();
    EXPECT_EQ(doc.DriveList().GetCount(), 0u);
    const char letter = Attach("H=");
    doc.SelectDrive(letter);
    EXPECT_TRUE(doc.SelectedLoaded());
    EXPECT_EQ(doc.DriveList().GetCount(), 1u);
    doc.SelectDrive('Q');   // nothing there: the error is kept, the selection stays
    EXPECT_EQ(doc.SelectedLetter(), 'Q');
    EXPECT_FALSE(doc.SelectedLoaded());
    EXPECT_EQ(doc.GetError(), "No such file or directory");
}

TEST_F(DriveDocTest, EjectEmptiesTheSlotAndReloads)
{
    const char letter = Attach("E=");
    CDriveDoc doc;
    EXPECT_FALSE(doc.EjectSelected());   // nothing selected
    doc.Reload();
    ASSERT_EQ(doc.SelectedLetter(), letter);
    EXPECT_TRUE(doc.EjectSelected());
    EXPECT_FALSE(VolumeTable::Instance().Card(letter)->CardPresent());
    EXPECT_EQ(doc.SelectedLetter(), 0);
    EXPECT_TRUE(doc.HasNoCard());
    EXPECT_EQ(doc.PreviousDriveList().GetCount(), 1u);
}

TEST_F(DriveDocTest, SaveFolderCheckAndTheLog)
{
    CDriveDoc doc;
    Log().EnableFromCommandLine("LOG", "LOG");
    ASSERT_TRUE(Log().Open(home.File("log.txt")));
    EXPECT_FALSE(doc.CheckSaveFolder("relative/folder"));
    EXPECT_TRUE(doc.CheckSaveFolder(home.Path()));
    EXPECT_FALSE(doc.CheckSaveFolder(home.File("missing")));
    Log().Close();
    std::ifstream in(home.File("log.txt"));
    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(log.find("Drive Length < 1"), std::string::npos) << log;
    EXPECT_NE(log.find("Exists ==> " + home.Path()), std::string::npos) << log;
    EXPECT_NE(log.find("NOT Exists ==> " + home.File("missing")), std::string::npos) << log;
    EXPECT_EQ(doc.GetFileSystemName(0), "");
}

TEST_F(DriveDocTest, ListenerSeesCardsComeAndGo)
{
    const char e = Attach("E=");
    const char f = Attach("F=,empty");
    CDriveListener listener;
    EXPECT_EQ(RunningListener(), &listener);
    EXPECT_FALSE(listener.Pass());   // the first pass reports no change
    EXPECT_FALSE(listener.Pass());
    VolumeTable::Instance().Card(f)->InsertCard();
    EXPECT_TRUE(listener.Pass());    // sense key 2 becomes 0: one change for one insertion
    EXPECT_FALSE(listener.Pass());
    VolumeTable::Instance().Card(e)->Vanish();
    EXPECT_TRUE(listener.Pass());    // an unplugged reader is a change
    EXPECT_EQ(listener.ProbedLastPass(), 1);
}

TEST_F(DriveDocTest, ListenerThreadSetsTheEventWithinASecondAndAHalf)
{
    const char e = Attach("E=");
    DevicesChangedEvent().Reset();
    {
        CDriveListener listener;
        ASSERT_TRUE(listener.Start());
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));   // the first pass
        EXPECT_FALSE(DevicesChangedEvent().IsSet());
        const auto pulled = std::chrono::steady_clock::now();
        VolumeTable::Instance().Card(e)->RemoveCard();
        ASSERT_TRUE(DevicesChangedEvent().Wait(std::chrono::milliseconds(2500)));
        const auto seen = std::chrono::steady_clock::now() - pulled;
        EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(seen).count(), 1600);
        // A reload waits for the listener's pass and runs in between.
        CDriveDoc doc;
        doc.Reload();
        EXPECT_TRUE(doc.HasNoCard());
        listener.Stop();
    }
    EXPECT_EQ(RunningListener(), nullptr);
}

TEST_F(DriveDocTest, WatcherReloadsTheDocumentWhenNoJobRuns)
{
    const char e = Attach("E=");
    CDriveDoc doc;
    doc.Reload();
    ASSERT_EQ(doc.SelectedLetter(), e);
    DevicesChangedEvent().Reset();
    CDeviceWatcher watcher;
    ASSERT_TRUE(watcher.Start());
    EXPECT_TRUE(watcher.IsPolling());   // card images send no udev notices
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_FALSE(watcher.OnTimer(doc, false));
    VolumeTable::Instance().Card(e)->RemoveCard();
    ASSERT_TRUE(DevicesChangedEvent().Wait(std::chrono::milliseconds(2500)));
    EXPECT_FALSE(watcher.OnTimer(doc, true));   // a job runs: later
    EXPECT_EQ(doc.SelectedLetter(), e);
    EXPECT_TRUE(watcher.OnTimer(doc, false));
    EXPECT_EQ(doc.SelectedLetter(), 0);
    EXPECT_TRUE(doc.HasNoCard());
    watcher.Stop();
}

}  // namespace
