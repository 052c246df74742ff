// Writing a saved folder to a recordable disc through the card document: xorriso's
// stdio: pseudo drive stands for the disc, and the image is read back file by file.
// No test looks at a real drive: the drive is always given, or xorriso is replaced.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

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
        px::SetMessagePump({});
    }
    static std::string Staging()
    {
        std::string folder, error;
        EXPECT_TRUE(px::CdBurner::StagingArea(folder, error)) << error;
        return folder;
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
    for (const std::string& program : {fake, home.File("no-such-xorriso")}) {
        px::CdBurner::SetProgram(program);
        EXPECT_FALSE(doc.BurnFolder(saved));
        EXPECT_EQ(doc.GetError(), "The recordable drive is missing");
    }
    EXPECT_TRUE(fs::is_empty(Staging()));
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

    ASSERT_TRUE(doc.BurnFolder(saved)) << doc.GetError();
    EXPECT_EQ(started, 2);   // the copy, then the writing
    EXPECT_EQ(finished, 2);
    EXPECT_TRUE(fs::is_empty(Staging()));   // written: the staging area is cleared

    const std::string out = home.File("readback");
    ASSERT_EQ(px::test::Run("xorriso -osirrox on -indev " + Quote("stdio:" + image) + " -extract / " + Quote(out) +
                            " >/dev/null 2>&1"),
              0);
    for (const auto& [name, bytes] : files)
        EXPECT_EQ(px::test::ReadFile(out + "/Run_20240102_030405/" + name), bytes) << name;
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
}
