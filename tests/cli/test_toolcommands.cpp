// px3 test, px3 format and px3 erase as a user runs them: the summary lines, the
// confirmation, the drives they refuse, and cards that fsck.fat and mtools accept.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>

#include "platform/rescuemap.h"
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

    // A reader that goes away in the middle (the card is read a mebibyte per request): the
    // device's error, no "Finished".
    EXPECT_EQ(Sh(Px3(Card(",pull=15") + "test E"), &out), 1) << out;
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

TEST_F(CliTools, BackupStoppedAndResumedThenRecoveredFromTheImage)
{
    const std::string image = home.File("backup.img");
    const std::string bad = ",bad=20000-20099,bad=30001";
    std::string out;
    // The reader vanishes part way: the map says what was copied, the run can go on.
    EXPECT_EQ(Sh(Px3(Card(bad + ",pull=50") + "backup E " + Quote(image)), &out), 1) << out;
    EXPECT_TRUE(Has(out, "went away")) << out;
    EXPECT_TRUE(Has(out, "run the same backup again to go on")) << out;
    EXPECT_EQ(Sh("ddrescuelog -t " + Quote(image + ".map"), &out), 0) << out;

    ASSERT_EQ(Sh(Px3(Card(bad) + "backup E " + Quote(image)), &out), 3) << out;
    EXPECT_TRUE(Has(out, "Bad:       51,712\n")) << out;
    EXPECT_TRUE(Has(out, "101 blocks of the card could not be read")) << out;
    EXPECT_TRUE(Unchanged());
    ASSERT_EQ(Sh("ddrescuelog -t " + Quote(image + ".map"), &out), 0) << out;
    EXPECT_TRUE(Has(out, "bad-sector:    51712 B")) << out;
    const std::vector<uint8_t> copy = px::test::ReadFile(image);
    ASSERT_EQ(copy.size(), original.size());
    for (const size_t block : {0u, 19999u, 20100u, 30000u, 30002u, 32767u})
        EXPECT_TRUE(std::equal(copy.begin() + block * 512, copy.begin() + block * 512 + 512, original.begin() + block * 512))
            << block;
    EXPECT_TRUE(std::all_of(copy.begin() + 20000 * 512, copy.begin() + 20100 * 512, [](uint8_t b) { return b == 0; }));

    // The image with its map beside it: the areas not copied are unreadable, not pictures.
    ASSERT_EQ(Sh(Px3("--card F=" + Quote(image) + " recover F --work " + Quote(home.File("runs"))), &out), 3) << out;
    EXPECT_TRUE(Has(out, "101 blocks of the card could not be read")) << out;
}

TEST_F(CliTools, BackupStopsOnAFullDiskWithAValidMap)
{
    const std::string image = home.File("full.img");
    std::string out;
    // A file size limit of a few MiB stands for a full disk (its write fails the same way).
    EXPECT_EQ(Sh("(ulimit -f 4096; " + Px3(Card() + "backup E " + Quote(image)) + ")", &out), 1) << out;
    EXPECT_TRUE(Has(out, "Cannot write the image " + image + ": File too large")) << out;
    EXPECT_TRUE(Has(out, "make room and run the same backup again to go on")) << out;
    ASSERT_EQ(Sh("ddrescuelog -t " + Quote(image + ".map"), &out), 0) << out;
    // The map claims only what reached the image: the front, not past the limit.
    px::RescueMap map;
    std::string error;
    ASSERT_TRUE(px::RescueMap::Load(image + ".map", map, &error)) << error;
    EXPECT_GT(map.Bytes('+'), 0u);
    EXPECT_LE(map.Bytes('+'), 4096u * 1024);
    EXPECT_EQ(map.StatusAt(0), '+');
    EXPECT_EQ(map.Bytes('+') + map.Bytes('?'), original.size());
    ASSERT_EQ(Sh(Px3(Card() + "backup E " + Quote(image) + " --retries 0"), &out), 0) << out;
    EXPECT_EQ(px::test::ReadFile(image), original);
    // An existing file without a map is never written over.
    EXPECT_EQ(Sh(Px3(Card() + "backup E " + Quote(card + "x") + " --map " + Quote(home.File("other.map"))), &out), 0)
        << out;
    EXPECT_EQ(Sh(Px3(Card() + "backup E " + Quote(card)), &out), 1) << out;
    EXPECT_TRUE(Has(out, "has no map beside it")) << out;
    EXPECT_TRUE(Unchanged());
}

TEST_F(CliTools, CapacityTestFindsAFakeCardAndPassesAGoodOne)
{
    const std::string fake = home.File("fake.img");
    ASSERT_TRUE(px::test::MakeBlankImage(fake, 256u << 20));
    std::string out;
    EXPECT_EQ(Sh(Px3("--card E=" + Quote(fake + ",fake=64M") + " test E --write --yes"), &out), 1) << out;
    EXPECT_TRUE(Has(out, "First Bad Block: 131072\nCapacity:        fake: usable 64 MB of 256 MB\n")) << out;
    EXPECT_TRUE(Has(out, "Write Speed:")) << out;

    // Asks as the erase does; only yes goes on.
    EXPECT_EQ(Sh("printf 'no\\n' | " + Px3(Card() + "test E --write"), &out), 1) << out;
    EXPECT_TRUE(Has(out, "All data on the card will be permanently erased!")) << out;
    EXPECT_TRUE(Has(out, "not tested: nothing was written")) << out;
    EXPECT_TRUE(Unchanged());
    EXPECT_EQ(Sh("printf 'yes\\n' | " + Px3(Card() + "test E --write"), &out), 0) << out;
    EXPECT_TRUE(Has(out, "First Bad Block: none\nCapacity:        good: all 16 MB hold what was written\n")) << out;
    EXPECT_FALSE(Unchanged());
}
