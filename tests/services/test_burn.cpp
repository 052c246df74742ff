// Writing a saved folder to a recordable disc through the card document: xorriso's
// stdio: pseudo drive stands for the disc, and the image is read back file by file; fake
// xorriso scripts that hang, fail or wait to be cancelled. No test looks at a real drive:
// the drive is always given, or xorriso is replaced.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <QElapsedTimer>

#include <filesystem>
#include <fstream>

#include "app/csettings.h"
#include "device/cdrivedoc.h"
#include "platform/cdburner.h"
#include "platform/messagepump.h"
#include "recovery/cfoundfiles.h"
#include "services/ftpfixture.h"

namespace fs = std::filesystem;
using px::test::Quote;

namespace {

class Burn : public ::testing::Test {
protected:
    static void SetUpTestSuite() { px::test::EnsureCoreApplication(); }
    void SetUp() override
    {
        doc.SetFoundList(std::make_unique<CFoundFiles>());
        files = {{"IMG_0001.jpg", px::test::PatternBytes(300000, 1)},
                 {"Holiday Photo 2 with a long Name.JPG", px::test::PatternBytes(70001, 2)},
                 {"Movies/MVI_0003.mov", px::test::PatternBytes(1 << 20, 3)}};
        for (const auto& [name, bytes] : files) {
            fs::create_directories(fs::path(saved + "/" + name).parent_path());
            ASSERT_TRUE(px::test::WriteFile(saved + "/" + name, bytes));
        }
    }
    void TearDown() override
    {
        px::CdBurner::SetProgram({});
        px::CdBurner::SetLimits({});
        px::SetMessagePump({});
    }
    // Whether the staging area is gone (or empty): no copy of the pictures stays behind.
    static bool StagingCleared()
    {
        const std::string folder = px::CdBurner::StagingPath();
        return !folder.empty() && (!fs::exists(folder) || fs::is_empty(folder));
    }
    // A fake xorriso in the home folder running body, made the program run as xorriso.
    std::string FakeXorriso(const std::string& name, const std::string& body)
    {
        const std::string fake = home.File(name);
        const std::string script = "#!/bin/sh\n" + body + "\n";
        EXPECT_TRUE(px::test::WriteFile(fake, std::vector<uint8_t>(script.begin(), script.end())));
        ::chmod(fake.c_str(), 0755);
        px::CdBurner::SetProgram(fake);
        return fake;
    }

    px::test::TempHome home;
    CSettings settings;
    CDriveDoc doc;
    std::string saved = home.File("Recovered/Run_20240102_030405");
    std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
};

}  // namespace

TEST(CdBurner, ReadsDrivesAndProgressFromXorrisoText)
{
    const std::string listing = "Beginning to scan for devices ...\n"
                                "Full drive scan done.\n"
                                "-----------------------------------------------------------------------------\n"
                                "0  -dev '/dev/sr0' rwrw-- :  'HL-DT-ST' 'DVDRAM GH24NSD1'\n"
                                "1  -dev '/dev/sr1' rwrw-- :  'TSSTcorp' 'CDDVDW SH-S203B'\n"
                                "-----------------------------------------------------------------------------\n";
    EXPECT_EQ(px::CdBurner::ParseDeviceList(listing), (std::vector<std::string>{"/dev/sr0", "/dev/sr1"}));
    EXPECT_TRUE(px::CdBurner::ParseDeviceList("xorriso : SORRY : No drives found\n").empty());
    EXPECT_EQ(px::CdBurner::ProgressOfLine("xorriso : UPDATE : Writing:     502320s   67.2%   fifo  94%  buf  50%"), 67);
    EXPECT_EQ(px::CdBurner::ProgressOfLine("xorriso : UPDATE : Writing:          9s    0.0%   fifo   6%  buf  50%"), 0);
    EXPECT_EQ(px::CdBurner::ProgressOfLine("xorriso : UPDATE :       4 files added in 1 seconds"), -1);
    EXPECT_EQ(px::CdBurner::ProgressOfLine("Writing to 'stdio:/tmp/x.iso' completed successfully."), -1);
}

TEST_F(Burn, WithoutADriveNothingIsCopied)
{
    // xorriso as it answers on a machine without drives.
    const std::string fake = home.File("xorriso-nodrive");
    ASSERT_EQ(px::test::Run("printf '#!/bin/sh\\necho \"xorriso : SORRY : No drives found\" >&2\\nexit 32\\n' > " +
                            Quote(fake) + " && chmod +x " + Quote(fake)),
              0);
    px::CdBurner::SetProgram(fake);
    EXPECT_FALSE(doc.BurnFolder(saved));
    EXPECT_EQ(doc.GetError(), "The recordable drive is missing");
    // No xorriso at all is told as such, whether a drive is set or not.
    px::CdBurner::SetProgram("no-such-xorriso");
    for (const std::string& drive : {std::string(), "stdio:" + home.File("disc.iso")}) {
        settings.SetBurnDrive(drive);
        EXPECT_FALSE(doc.BurnFolder(saved));
        EXPECT_EQ(doc.GetError(), "xorriso is missing: the CD writing program no-such-xorriso is not installed "
                                  "(Debian package xorriso)");
    }
    EXPECT_TRUE(StagingCleared());
}

// A Burn Drive setting is a device under /dev or an explicit stdio: path; anything else
// (an option above all) is refused before xorriso runs.
TEST_F(Burn, ADriveSettingThatIsNoDriveIsRefused)
{
    const std::string cwd = fs::current_path();
    fs::current_path(home.Path());
    for (const std::string drive : {"-version", "sr0", "stdio:disc.iso", "/dev/../tmp/disc.iso", "/dev/no-such-drive"}) {
        settings.SetBurnDrive(drive);
        EXPECT_FALSE(doc.BurnFolder(saved)) << drive;
        EXPECT_NE(doc.GetError().find("\"" + drive + "\""), std::string::npos) << doc.GetError();
    }
    fs::current_path(cwd);
    EXPECT_FALSE(fs::exists(home.File("-version")));
    EXPECT_FALSE(fs::exists(home.File("disc.iso")));
    std::string error;
    EXPECT_TRUE(px::CdBurner::IsDriveAddress("/dev/null", error)) << error;
    EXPECT_FALSE(px::CdBurner::IsDriveAddress("/dev/shm", error));
    EXPECT_EQ(error, "The burn drive \"/dev/shm\" is not a device");
    EXPECT_TRUE(StagingCleared());
}

// xorriso that hangs is stopped after the quiet limit, one that fails says why, one that
// is cancelled is killed with what it started; each leaves no staged copy and no disc.
TEST_F(Burn, HangingFailingAndCancelledXorrisoEndTheBurnAndClearTheStaging)
{
    px::CdBurner::SetLimits({5000, 500});
    settings.SetBurnDrive("stdio:" + home.File("disc.iso"));
    QElapsedTimer clock;
    clock.start();
    FakeXorriso("xorriso-hangs", "echo 'xorriso : UPDATE : Writing:  9s  0.0%  fifo 6%' >&2\nexec sleep 30");
    EXPECT_FALSE(doc.BurnFolder(saved));
    EXPECT_EQ(doc.GetError(), "The CD was not written: xorriso said nothing for 0.5 seconds and was stopped");
    EXPECT_LT(clock.elapsed(), 10000);
    EXPECT_TRUE(StagingCleared());

    FakeXorriso("xorriso-fails", "echo 'xorriso : FAILURE : Cannot open drive: Permission denied' >&2\nexit 5");
    EXPECT_FALSE(doc.BurnFolder(saved));
    EXPECT_EQ(doc.GetError(), "The CD was not written: xorriso ended with exit status 5: Cannot open drive: "
                              "Permission denied");
    FakeXorriso("xorriso-dies", "echo 'libburn: no medium' >&2\nkill -9 $$");
    EXPECT_FALSE(doc.BurnFolder(saved));
    EXPECT_EQ(doc.GetError(),
              "The CD was not written: xorriso ended abnormally (killed by a signal): libburn: no medium");
    EXPECT_TRUE(StagingCleared());

    // Cancel once the writing runs: its child (the sleep) goes too.
    const std::string pidFile = home.File("sleep.pid");
    FakeXorriso("xorriso-waits", "echo 'xorriso : UPDATE : Writing: 9s 12.0%' >&2\nsleep 30 &\necho $! > " +
                                     Quote(pidFile) + "\nwait");
    px::SetMessagePump([&] {
        if (fs::exists(pidFile) && fs::file_size(pidFile) > 0)
            CMsgSend cancel(MsgCode::Cancel, CVariant(1));
    });
    clock.restart();
    EXPECT_FALSE(doc.BurnFolder(saved));
    EXPECT_LT(clock.elapsed(), 10000);
    EXPECT_EQ(doc.GetError().rfind("Aborted by user", 0), 0u) << doc.GetError();
    std::ifstream in(pidFile);
    pid_t sleeper = 0;
    in >> sleeper;
    ASSERT_GT(sleeper, 0);
    // Gone, or a zombie waiting for its new parent to reap it.
    std::ifstream stat("/proc/" + std::to_string(sleeper) + "/stat");
    std::string pid, command, state;
    EXPECT_TRUE(!(stat >> pid >> command >> state) || state == "Z") << "the sleep of xorriso still runs: " << state;
    EXPECT_TRUE(StagingCleared());
    EXPECT_FALSE(fs::exists(home.File("disc.iso")));
}

TEST_F(Burn, ImageHoldsEverySavedFileByteForByte)
{
    const std::string image = home.File("disc.iso");
    settings.SetBurnDrive("stdio:" + image);
    int started = 0, finished = 0;
    struct Counter : CListener {
        int& started;
        int& finished;
        Counter(int& s, int& f) : started(s), finished(f) { Bus().AddListener("Counter", this); }
        ~Counter() override { Bus().RemoveListener(this); }
        void OnMessage(CSingleMsg& msg) override
        {
            started += msg.Code == MsgCode::JobStarted;
            finished += msg.Code == MsgCode::JobFinished;
        }
    } counter(started, finished);

    // A name of 254 bytes (legal here) is too long for the disc's Joliet tree; and a file
    // an earlier burn left in the staging area must not reach this disc.
    const std::string longName = "IMG_" + std::string(246, 'x') + ".JPG";
    ASSERT_TRUE(px::test::WriteFile(saved + "/" + longName, {'L'}));
    const std::string shortName = "IMG_" + std::string(95, 'x') + ".JPG";
    std::string staging, error;
    ASSERT_TRUE(px::CdBurner::StagingArea(staging, error)) << error;
    fs::create_directories(staging + "/Earlier card");
    ASSERT_TRUE(px::test::WriteFile(staging + "/Earlier card/private.jpg", {'p'}));

    ASSERT_TRUE(doc.BurnFolder(saved)) << doc.GetError();
    EXPECT_EQ(started, 2);   // the copy, then the writing
    EXPECT_EQ(finished, 2);
    EXPECT_TRUE(StagingCleared());   // written: the staging area is cleared
    EXPECT_EQ(px::CdBurner::ShortenedNames(), (std::vector<std::string>{"Run_20240102_030405/" + longName +
                                                                         " -> Run_20240102_030405/" + shortName}));
    files.push_back({shortName, {'L'}});

    const std::string out = home.File("readback");
    ASSERT_EQ(px::test::Run("xorriso -osirrox on -indev " + Quote("stdio:" + image) + " -extract / " + Quote(out) +
                            " >/dev/null 2>&1"),
              0);
    for (const auto& [name, bytes] : files)
        EXPECT_EQ(px::test::ReadFile(out + "/Run_20240102_030405/" + name), bytes) << name;
    EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 1) << "not only the chosen folder";
    // Joliet names (mixed case, long) are there without Rock Ridge.
    std::string listing;
    ASSERT_EQ(px::test::Run("xorriso -indev " + Quote("stdio:" + image) +
                                " -rockridge off -joliet on -ls /Run_20240102_030405 2>/dev/null",
                            &listing),
              0);
    EXPECT_NE(listing.find("'Holiday Photo 2 with a long Name.JPG'"), std::string::npos) << listing;
}

TEST_F(Burn, CancelDuringTheCopyWritesNothing)
{
    const std::string image = home.File("disc.iso");
    settings.SetBurnDrive("stdio:" + image);
    px::SetMessagePump([] { CMsgSend cancel(MsgCode::Cancel, CVariant(1)); });
    EXPECT_FALSE(doc.BurnFolder(saved));
    EXPECT_EQ(doc.GetError(), "Aborted by user");
    EXPECT_FALSE(fs::exists(image));
    EXPECT_TRUE(StagingCleared());
}

// A saved file that cannot be copied: the disc is not written, and the error says why.
TEST_F(Burn, AFailedCopyWritesNoDisc)
{
    const std::string image = home.File("disc.iso");
    settings.SetBurnDrive("stdio:" + image);
    fs::create_symlink(home.File("nowhere.jpg"), saved + "/IMG_0002.jpg");
    EXPECT_FALSE(doc.BurnFolder(saved));
    EXPECT_NE(doc.GetError(), "");
    EXPECT_FALSE(fs::exists(image));
    EXPECT_TRUE(StagingCleared());
}
