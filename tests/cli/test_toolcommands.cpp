// px3 test, px3 format and px3 erase as a user runs them: the summary lines, the
// confirmation, the drives they refuse, and cards that fsck.fat and mtools accept.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>

#include "support/fixtures.h"

using px::test::Quote;
using px::test::TempHome;

namespace {

int Sh(const std::string& command, std::string* out) { return px::test::Run(command, out); }
std::string Px3(const std::string& args) { return std::string(PX3_EXE) + " " + args + " 2>&1"; }
bool Has(const std::string& out, const std::string& text) { return out.find(text) != std::string::npos; }

uint32_t Get32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

class CliTools : public ::testing::Test {
protected:
    void SetUp() override
    {
        px::test::MakeDemoCard(card, 16, "--pictures 2");
        original = px::test::ReadFile(card);
        ASSERT_EQ(original.size(), 16u << 20);
    }
    std::string Card(const std::string& options = {}) const { return "--card E=" + Quote(card + options) + " "; }
    bool Unchanged() const { return px::test::ReadFile(card) == original; }

    TempHome home;
    std::string card = home.File("card.img");
    std::vector<uint8_t> original;
};

TEST_F(CliTools, TestPrintsTheSummaryAndCountsReadErrors)
{
    std::string out;
    ASSERT_EQ(Sh(Px3(Card() + "test E"), &out), 0) << out;
    EXPECT_TRUE(Has(out, "Boot Block:     OK\nFAT Clusters:   OK (FAT)\nDirectory:      OK\nFragmentation:  N/A\n")) << out;
    EXPECT_TRUE(Has(out, "Bytes Verified: 16,777,216\nRead Errors:    0\n")) << out;
    EXPECT_TRUE(Has(out, "Finished")) << out;

    ASSERT_EQ(Sh(Px3(Card(",bad=1000-1009") + "test E"), &out), 1) << out;
    EXPECT_TRUE(Has(out, "Bytes Verified: 16,772,096\nRead Errors:    10\n")) << out;
    EXPECT_TRUE(Has(out, "px3: 10 blocks of the card could not be read")) << out;

    // A reader that goes away in the middle: the device's error, no "Finished".
    EXPECT_EQ(Sh(Px3(Card(",pull=60") + "test E"), &out), 1) << out;
    EXPECT_TRUE(Has(out, "px3: The card reader or the card went away (No such device)")) << out;
    EXPECT_FALSE(Has(out, "Finished")) << out;

    // A card without a file system the platform can read.
    const std::string blank = home.File("blank.img");
    ASSERT_TRUE(px::test::MakeBlankImage(blank, 1 << 20));
    ASSERT_EQ(Sh(Px3("--card F=" + Quote(blank) + " test F"), &out), 0) << out;
    EXPECT_TRUE(Has(out, "Boot Block:     FAIL\nFAT Clusters:   FAIL\nDirectory:      FAIL\nFragmentation:  N/A\n"))
        << out;
    EXPECT_TRUE(Unchanged());
}

TEST_F(CliTools, EraseAsksAndOnlyYesGoesOn)
{
    std::string out;
    for (const std::string answer : {"printf 'no\\n'", "printf 'y\\n'", "printf ''", "true"}) {
        EXPECT_EQ(Sh(answer + " | " + Px3(Card() + "erase E"), &out), 1) << answer << "\n" << out;
        EXPECT_TRUE(Has(out, "All data on the card will be permanently erased!\n Do you want to continue?")) << out;
        EXPECT_TRUE(Has(out, "nothing was written")) << out;
        EXPECT_FALSE(Has(out, "Finished")) << out;
        EXPECT_TRUE(Unchanged()) << answer;
    }
    EXPECT_EQ(Sh(Px3(Card() + "erase E </dev/null"), &out), 1) << out;
    EXPECT_TRUE(Unchanged());
    // An endless line is no answer (and is not read into memory whole).
    EXPECT_EQ(Sh(Px3(Card() + "erase E </dev/zero"), &out), 1) << out;
    EXPECT_TRUE(Unchanged());

    ASSERT_EQ(Sh("printf ' Yes \\n' | " + Px3(Card() + "erase E"), &out), 0) << out;
    EXPECT_TRUE(Has(out, "Finished")) << out;
    const std::vector<uint8_t> image = px::test::ReadFile(card);
    ASSERT_EQ(image.size(), original.size());
    EXPECT_TRUE(std::all_of(image.begin(), image.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(CliTools, InterruptStopsTheEraseAsCancelled)
{
    std::string out;
    // A slow reader gives the signal time to arrive mid-card.
    Sh("(" + std::string(PX3_EXE) + " " + Card(",slow=20") +
           "erase E --yes 2>&1 & pid=$!; sleep 1; kill -INT $pid; wait $pid; echo exit=$?)",
       &out);
    EXPECT_TRUE(Has(out, "px3: Canceled by user")) << out;
    EXPECT_TRUE(Has(out, "exit=130")) << out;
    EXPECT_FALSE(Has(out, "Finished")) << out;
    const std::vector<uint8_t> image = px::test::ReadFile(card);
    ASSERT_EQ(original[510], 0x55);
    EXPECT_TRUE(std::all_of(image.begin(), image.begin() + 100 * 512, [](uint8_t b) { return b == 0; }))
        << "the erase had started";
    EXPECT_TRUE(std::equal(image.end() - 512, image.end(), original.end() - 512)) << "the erase went on to the end";
}

// Ctrl-C during a format: taken between its steps, so the card holds either its old file
// system or a whole new one, never a half-written system area.
TEST_F(CliTools, InterruptDuringFormatNeverLeavesHalfASystemArea)
{
    std::string out;
    Sh("(" + std::string(PX3_EXE) + " " + Card(",slow=150") +
           "format E --yes 2>&1 & pid=$!; sleep 1.2; kill -INT $pid; wait $pid; echo exit=$?)",
       &out);
    EXPECT_TRUE(Has(out, "px3: Canceled by user: ")) << out;
    EXPECT_TRUE(Has(out, "exit=130")) << out;
    EXPECT_FALSE(Has(out, "Finished")) << out;
    if (Unchanged())
        return;
    const std::vector<uint8_t> image = px::test::ReadFile(card);
    const uint64_t start = Get32(&image[446 + 8]), size = Get32(&image[446 + 12]);
    ASSERT_LE((start + size) * 512, image.size());
    const std::string part = home.File("part.img");
    ASSERT_TRUE(px::test::WriteFile(part, std::vector<uint8_t>(image.begin() + start * 512,
                                                               image.begin() + (start + size) * 512)));
    EXPECT_EQ(Sh("fsck.fat -n " + Quote(part) + " 2>&1", &out), 0) << out;
}

TEST_F(CliTools, WriteProtectedCardFailsEraseAndFormat)
{
    std::string out;
    for (const std::string command : {"erase E --yes", "format E --yes"}) {
        EXPECT_EQ(Sh(Px3(Card(",readonly") + command), &out), 1) << out;
        EXPECT_TRUE(Has(out, "DATA PROTECT")) << out;
        EXPECT_TRUE(Has(out, "the card is write-protected")) << out;
        EXPECT_FALSE(Has(out, "Finished")) << out;
        EXPECT_TRUE(Unchanged()) << command;
    }
}

TEST_F(CliTools, DrivesThatCannotBeUsedAreRefusedBeforeAnything)
{
    std::string out;
    for (const std::string command : {"erase E --yes", "format E --yes", "erase E"}) {
        SCOPED_TRACE(command);
        EXPECT_EQ(Sh(Px3(Card(",empty") + command), &out), 2) << out;
        EXPECT_TRUE(Has(out, "px3: there is no card in the reader at E:")) << out;
        EXPECT_FALSE(Has(out, "Do you want to continue?")) << out;

        EXPECT_EQ(Sh(Px3(Card() + command.substr(0, command.find(' ')) + " Q --yes"), &out), 2) << out;
        EXPECT_TRUE(Has(out, "px3: no card reader at Q:")) << out;

        // Another program holds the card image locked.
        const int fd = ::open(card.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
        EXPECT_EQ(Sh(Px3(Card() + command), &out), 2) << out;
        ::close(fd);
        EXPECT_TRUE(Has(out, "px3: E: is in use (Device or resource busy)")) << out;
        EXPECT_TRUE(Has(out, "is in use by another program")) << out;
        EXPECT_FALSE(Has(out, "Do you want to continue?")) << out;
        EXPECT_TRUE(Unchanged());
    }
    EXPECT_EQ(Sh(Px3(Card() + "erase 12 --yes"), &out), 2) << out;
    EXPECT_TRUE(Has(out, "px3: '12' is not a drive letter")) << out;
    EXPECT_TRUE(Unchanged());
}

TEST_F(CliTools, FormattedCardPassesFsckAndTakesFiles)
{
    std::string out;
    EXPECT_EQ(Sh("printf 'no\\n' | " + Px3(Card() + "format E"), &out), 1) << out;
    EXPECT_TRUE(Has(out, "All data on the card will be erased!\nDo you want to continue?")) << out;
    EXPECT_TRUE(Unchanged());

    ASSERT_EQ(Sh("printf 'yes\\n' | " + Px3(Card() + "format E"), &out), 0) << out;
    EXPECT_TRUE(Has(out, "The card successfully formatted.\nThe device has been logically ejected, remove card from "
                         "reader and re-insert to verify.\n"))
        << out;
    EXPECT_TRUE(Has(out, "Finished")) << out;

    // The partition where the formatter put it, judged by fsck.fat, then written by mtools.
    const std::vector<uint8_t> image = px::test::ReadFile(card);
    ASSERT_GE(image.size(), 512u);
    const uint64_t start = Get32(&image[446 + 8]), size = Get32(&image[446 + 12]);
    ASSERT_GT(start, 0u);
    ASSERT_GT(size, 0u);
    ASSERT_LE((start + size) * 512, image.size());
    const std::string part = home.File("part.img");
    ASSERT_TRUE(px::test::WriteFile(part, std::vector<uint8_t>(image.begin() + start * 512,
                                                               image.begin() + (start + size) * 512)));
    EXPECT_EQ(Sh("fsck.fat -n " + Quote(part) + " 2>&1", &out), 0) << out;

    const std::string at = Quote(card + "@@" + std::to_string(start * 512));
    const std::string photo = home.File("photo.jpg");
    ASSERT_TRUE(px::test::WriteFile(photo, std::vector<uint8_t>(50000, 0x5A)));
    EXPECT_EQ(Sh("mcopy -i " + at + " " + Quote(photo) + " ::/PHOTO.JPG 2>&1", &out), 0) << out;
    EXPECT_EQ(Sh("mdir -i " + at + " ::/ 2>&1", &out), 0) << out;
    EXPECT_TRUE(Has(out, "PHOTO    JPG     50000")) << out;
    EXPECT_TRUE(Has(out, "Volume in drive : is PX3")) << out;
}

}  // namespace
