// Attaching card images: the attach syntax, letters, faults as options, bad images.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>

#include "platform/lasterror.h"
#include "platform/volumetable.h"
#include "platform/winioctl.h"
#include "support/fixtures.h"

using namespace px;
using px::test::TempHome;

namespace {

class VolumeTableTest : public ::testing::Test {
protected:
    void SetUp() override { VolumeTable::Instance().DetachAll(); }
    void TearDown() override { VolumeTable::Instance().DetachAll(); }
    std::string Image(const std::string& name, uint64_t bytes)
    {
        const std::string path = home.File(name);
        EXPECT_TRUE(test::MakeBlankImage(path, bytes));
        return path;
    }
    TempHome home;
};

TEST_F(VolumeTableTest, LettersFromDOrAsAskedAndTheDriveStrings)
{
    auto& table = VolumeTable::Instance();
    const std::string a = Image("a.img", 1 << 20), b = Image("b.img", 1 << 20);
    char letter = 0;
    std::string error;
    ASSERT_TRUE(table.Attach(a, &letter, &error)) << error;
    EXPECT_EQ(letter, 'D');
    ASSERT_TRUE(table.Attach("g=" + b, &letter, &error)) << error;
    EXPECT_EQ(letter, 'G');
    ASSERT_TRUE(table.Attach(b + ",readonly", &letter, &error)) << error;
    EXPECT_EQ(letter, 'E');
    EXPECT_FALSE(table.Attach("G=" + a, &letter, &error));
    EXPECT_NE(error.find("already in use"), std::string::npos);
    EXPECT_EQ(table.LogicalDriveStrings(), std::string("D:\\\0E:\\\0G:\\\0\0", 13));
    EXPECT_EQ(table.DriveType('e'), DRIVE_REMOVABLE);
    EXPECT_EQ(table.DriveType('F'), DRIVE_NO_ROOT_DIR);
    EXPECT_TRUE(table.Detach('d'));
    EXPECT_EQ(table.Letters(), (std::vector<char>{'E', 'G'}));
}

TEST_F(VolumeTableTest, BadAttachSpecsAreClearErrors)
{
    auto& table = VolumeTable::Instance();
    const std::string a = Image("a.img", 4096);
    std::string error;
    EXPECT_FALSE(table.Attach(home.File("missing.img"), nullptr, &error));
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
    EXPECT_FALSE(table.Attach(a + ",bogus", nullptr, &error));
    EXPECT_NE(error.find("Unknown card option 'bogus'"), std::string::npos) << error;
    EXPECT_FALSE(table.Attach(a + ",bad=20-10", nullptr, &error));
    EXPECT_FALSE(table.Attach(a + ",bad=x", nullptr, &error));
    EXPECT_FALSE(table.Attach(a + ",pull=", nullptr, &error));
    EXPECT_FALSE(table.Attach(a + ",reader=ONLYONE", nullptr, &error));
    EXPECT_FALSE(table.Attach(a + ",reader=VENDORTOOLONG/P/R", nullptr, &error));
    EXPECT_FALSE(table.Attach("E=", nullptr, &error));
    EXPECT_FALSE(table.Attach(home.Path(), nullptr, &error));   // a folder is no image
    // Letters A and Z, and signs that are no letters, are refused.
    for (const char* letter : {"A=", "Z=", "z="})
        EXPECT_FALSE(table.Attach(letter + a, nullptr, &error)) << letter;
    EXPECT_NE(error.find("use B to Y"), std::string::npos) << error;
    EXPECT_TRUE(table.Letters().empty());
}

TEST_F(VolumeTableTest, TwentySecondImageIsTheLastAndCommasStayInPaths)
{
    auto& table = VolumeTable::Instance();
    std::string error;
    const std::string a = home.File("a.img");
    ASSERT_TRUE(px::test::MakeBlankImage(a, 1 << 20));
    char letter = 0;
    for (int i = 0; i < 22; ++i)
        ASSERT_TRUE(table.Attach(a, &letter, &error)) << i << ": " << error;
    EXPECT_EQ(letter, 'Y');
    EXPECT_FALSE(table.Attach(a, &letter, &error));
    EXPECT_NE(error.find("No free drive letter"), std::string::npos) << error;
    table.DetachAll();

    const std::string comma = home.File("trip, day 2.img");
    ASSERT_TRUE(px::test::MakeBlankImage(comma, 1 << 20));
    ASSERT_TRUE(table.Attach("E=" + home.File("trip,, day 2.img") + ",readonly", &letter, &error)) << error;
    EXPECT_EQ(table.Card('E')->ImagePath(), comma);
    EXPECT_TRUE(table.Card('E')->Options().readOnly);
}

TEST_F(VolumeTableTest, EnvironmentListAttachesEveryCard)
{
    const std::string a = Image("a.img", 4096), b = Image("b.img", 4096);
    ::setenv("PX3_CARDS", ("E=" + a + ";F=" + b + ",empty;").c_str(), 1);
    std::vector<std::string> problems;
    EXPECT_TRUE(VolumeTable::Instance().AttachFromEnvironment(&problems));
    EXPECT_TRUE(problems.empty()) << problems.front();
    ::unsetenv("PX3_CARDS");
    EXPECT_EQ(VolumeTable::Instance().Letters(), (std::vector<char>{'E', 'F'}));
    EXPECT_FALSE(VolumeTable::Instance().Card('F')->CardPresent());
}

// A bad entry, wherever it stands in the list, keeps none of the good ones out; each bad
// one is reported with its reason.
TEST_F(VolumeTableTest, EnvironmentListSkipsOnlyTheBadEntries)
{
    const std::string a = Image("a.img", 4096), c = Image("c.img", 4096);
    const std::string missing = home.File("missing.img");
    ::setenv("PX3_CARDS", ("D=" + missing + ";E=" + a + ";F=" + missing + ";G=" + c + ",nonsense;H=" + c).c_str(), 1);
    std::vector<std::string> problems;
    EXPECT_FALSE(VolumeTable::Instance().AttachFromEnvironment(&problems));
    ::unsetenv("PX3_CARDS");
    EXPECT_EQ(VolumeTable::Instance().Letters(), (std::vector<char>{'E', 'H'}));
    ASSERT_EQ(problems.size(), 3u);
    EXPECT_EQ(problems[0], "PX3_CARDS: Cannot open card image " + missing + ": " + SystemErrorText(ENOENT));
    EXPECT_EQ(problems[1], problems[0]);
    EXPECT_NE(problems[2].find("PX3_CARDS: Unknown card option 'nonsense'"), std::string::npos) << problems[2];
}

TEST_F(VolumeTableTest, ImagesServeWholeBlocksOnly)
{
    auto& table = VolumeTable::Instance();
    char letter = 0;
    std::string error;
    ASSERT_TRUE(table.Attach(Image("odd.img", 512 * 10 + 300), &letter, &error));
    EXPECT_EQ(table.Card(letter)->BlockCount(), 10u);
    ASSERT_TRUE(table.Attach(Image("zero.img", 0), &letter, &error));
    EXPECT_EQ(table.Card(letter)->BlockCount(), 0u);
}

TEST_F(VolumeTableTest, OpenByVolumeAndPhysicalDrivePaths)
{
    auto& table = VolumeTable::Instance();
    ASSERT_TRUE(table.Attach("E=" + Image("a.img", 4096), nullptr, nullptr));
    EXPECT_NE(table.Open("\\\\.\\E:"), nullptr);
    EXPECT_NE(table.Open("\\\\.\\e:"), nullptr);
    EXPECT_NE(table.Open("\\\\.\\PhysicalDrive0"), nullptr);
    EXPECT_EQ(table.Open("\\\\.\\PhysicalDrive1"), nullptr);
    EXPECT_EQ(GetLastError(), ENOENT);
    EXPECT_EQ(table.Open("\\\\.\\F:"), nullptr);
    EXPECT_EQ(table.Open("/etc/passwd"), nullptr);
    table.Card('E')->Vanish();
    EXPECT_EQ(table.Open("\\\\.\\E:"), nullptr);
    EXPECT_EQ(GetLastError(), ENODEV);
    EXPECT_TRUE(table.Letters().empty());
}

TEST_F(VolumeTableTest, FileSystemNameOfTheFirstPartition)
{
    const std::string fat16 = home.File("fat16.img"), fat32 = home.File("fat32.img");
    test::MakeDemoCard(fat16, 48, "--pictures 1 --keep");
    test::MakeDemoCard(fat32, 600, "--pictures 1 --keep");
    const std::string raw = Image("raw.img", 1 << 20);
    EXPECT_EQ(ProbeFileSystemName(fat16), "FAT");
    EXPECT_EQ(ProbeFileSystemName(fat32), "FAT32");
    EXPECT_EQ(ProbeFileSystemName(raw), "");
    char letter = 0;
    ASSERT_TRUE(VolumeTable::Instance().Attach(fat16, &letter, nullptr));
    EXPECT_EQ(VolumeTable::Instance().FileSystemName(letter), "FAT");
    VolumeTable::Instance().Card(letter)->RemoveCard();
    EXPECT_EQ(VolumeTable::Instance().FileSystemName(letter), "");
}

TEST(SystemErrorText, KnownAndUnknownCodes)
{
    EXPECT_EQ(SystemErrorText(ENODEV), "No such device");
    EXPECT_EQ(SystemErrorText(987654), "");
}

}  // namespace
