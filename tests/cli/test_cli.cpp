// px3 as a user runs it: attach options, cards, info, and clear failures.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/fixtures.h"

using px::test::Quote;
static int Sh(const std::string& c, std::string* o) { return px::test::Run(c, o); }
using px::test::TempHome;

namespace {

std::string Px3(const std::string& args) { return std::string(PX3_EXE) + " " + args + " 2>&1"; }

TEST(Cli, InfoPrintsTheCardReport)
{
    TempHome home;
    const std::string card = home.File("card.img");
    px::test::MakeDemoCard(card, 16, "--pictures 1");
    std::string out;
    ASSERT_EQ(Sh(Px3("--card E=" + Quote(card) + " info E"), &out), 0) << out;
    EXPECT_NE(out.find("Card Information:\nCard Path........................E:\\\n"
                       "Disk Size........................16777216\n"
                       "Bytes Per Sector.................512\n"
                       "Media Type.......................Removable\n"
                       "Blocks...........................32,768\n"
                       "Reader Vendor....................Generic\n"
                       "Reader Name......................Card Image\n"
                       "Reader Revision..................1.00\n"
                       "Bus Type.........................Usb\n"
                       "Device Type......................Disk\n"),
              std::string::npos)
        << out;

    ASSERT_EQ(Sh(Px3("--card " + Quote(card) + " --card " + Quote(card + ",empty") + " cards"), &out), 0);
    EXPECT_NE(out.find("D:\\     Removable Disk       16.0 MB    Generic    Usb"), std::string::npos) << out;
    EXPECT_EQ(out.find("E:\\"), std::string::npos) << "an empty slot is no card:\n" << out;
}

TEST(Cli, FailuresAreClearAndNonZero)
{
    TempHome home;
    const std::string card = home.File("card.img");
    ASSERT_TRUE(px::test::MakeBlankImage(card, 1 << 20));
    std::string out;
    EXPECT_EQ(Sh(Px3("--card E=" + Quote(card) + " info F"), &out), 2);
    EXPECT_NE(out.find("no card reader at F:"), std::string::npos) << out;
    EXPECT_EQ(Sh(Px3("--card E=" + Quote(home.File("nothing.img")) + " info E"), &out), 2);
    EXPECT_NE(out.find("Cannot open card image"), std::string::npos) << out;
    EXPECT_EQ(Sh(Px3("--card E=" + Quote(card) + ",bad=9-1 info E"), &out), 2);
    EXPECT_NE(out.find("the last block is before the first"), std::string::npos) << out;
    EXPECT_EQ(Sh(Px3("--card E=" + Quote(card) + " info 7"), &out), 2);
    EXPECT_NE(Sh(Px3("frobnicate"), &out), 0);

    // An empty slot answers, but has no card to describe.
    EXPECT_EQ(Sh(Px3("--card E=" + Quote(card) + ",empty info E"), &out), 1);
    EXPECT_NE(out.find("there is no card in the reader at E:"), std::string::npos) << out;

    // The environment list attaches too; a bad entry there is reported with its reason and
    // the good ones around it are still attached.
    EXPECT_EQ(Sh("PX3_CARDS=" + Quote("E=" + card + ";F=" + card + ",nonsense") + " " + Px3("cards"), &out), 0);
    EXPECT_NE(out.find("PX3_CARDS: Unknown card option 'nonsense'"), std::string::npos) << out;
    EXPECT_NE(out.find("E:\\"), std::string::npos) << out;
    const std::string missing = home.File("missing.img");
    EXPECT_EQ(Sh("PX3_CARDS=" + Quote("F=" + missing + ";E=" + card) + " " + Px3("info E") + " 2>/dev/null", &out), 0)
        << out;
    EXPECT_NE(out.find("Card Path........................E:\\"), std::string::npos) << out;
    EXPECT_EQ(Sh("PX3_CARDS=" + Quote("F=" + missing + ";E=" + card) + " " + Px3("cards") + " >/dev/null", &out), 0);
    EXPECT_EQ(out, "px3: PX3_CARDS: Cannot open card image " + missing + ": No such file or directory\n");

    // No card at all is not an error.
    EXPECT_EQ(Sh(Px3("cards"), &out), 0);
    EXPECT_NE(out.find("No card found."), std::string::npos) << out;
}

TEST(Cli, OddSizedAndEmptyImagesDoNotCrash)
{
    TempHome home;
    const std::string odd = home.File("odd.img"), empty = home.File("empty.img");
    ASSERT_TRUE(px::test::MakeBlankImage(odd, 512 * 100 + 17));
    ASSERT_TRUE(px::test::MakeBlankImage(empty, 0));
    std::string out;
    ASSERT_EQ(Sh(Px3("--card E=" + Quote(odd) + " info E"), &out), 0) << out;
    EXPECT_NE(out.find("Disk Size........................51200\n"), std::string::npos) << out;
    ASSERT_EQ(Sh(Px3("--card E=" + Quote(empty) + " info E"), &out), 0) << out;
    EXPECT_NE(out.find("Blocks...........................0\n"), std::string::npos) << out;
}

}  // namespace
