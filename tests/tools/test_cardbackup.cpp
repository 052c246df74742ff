// The backup of a dying card: a card with bad and slow areas copied, stopped and resumed,
// the image equal to the card wherever the map says copied, maps that ddrescue reads and
// maps that ddrescue wrote, and the backup image served with its uncopied blocks bad.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device/cdrivescsi.h"
#include "platform/messagepump.h"
#include "platform/rescuemap.h"
#include "platform/volumetable.h"
#include "support/attachedcard.h"
#include "support/fixtures.h"
#include "tools/cardbackup.h"

using px::RescueMap;
using px::VolumeTable;
using px::test::Quote;
using px::test::TempHome;

namespace {

TEST(RescueMap, ReadsWritesAndRefusesMapfiles)
{
    // As ddrescue writes one (its 1.27 layout), areas given unmerged.
    const std::string text = "# Mapfile. Created by GNU ddrescue version 1.27\n# current_pos  current_status  current_pass\n"
                             "0x00020000     *               1\n#      pos        size  status\n"
                             "0x00000000  0x00010000  +\n0x00010000  0x00001000  +\n0x00011000  0x00000300  -\n"
                             "0x00011300  0x0000ED00  ?\n";
    RescueMap map;
    std::string error;
    ASSERT_TRUE(RescueMap::Parse(text, map, &error)) << error;
    EXPECT_EQ(map.Size(), 0x20000u);
    EXPECT_EQ(map.CurrentPos(), 0x20000u);
    EXPECT_EQ(map.CurrentStatus(), '*');
    EXPECT_EQ(map.Areas().size(), 3u);   // the two copied areas are one
    EXPECT_EQ(map.Bytes('+'), 0x11000u);
    // 0x300 bad bytes from 0x11000 touch blocks 0x88 and 0x89; the rest is not tried.
    const auto blocks = map.UncopiedBlocks(512);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0], std::make_pair(uint64_t(0x88), uint64_t(0xFF)));

    // Marking splits and joins areas; the text reads back the same.
    map.Mark(0x11000, 0x300, '+');
    map.Mark(0x18000, 0x200, '/');
    RescueMap again;
    ASSERT_TRUE(RescueMap::Parse(map.Text("test"), again, &error)) << error;
    EXPECT_EQ(again.Areas().size(), 4u);
    EXPECT_EQ(again.Bytes('+'), 0x11300u);
    EXPECT_EQ(again.StatusAt(0x18100), '/');
    px::RescueArea area;
    ASSERT_TRUE(again.Next('?', 0x12000, area));
    EXPECT_EQ(area.pos, 0x12000u);
    EXPECT_EQ(area.End(), 0x18000u);

    for (const std::string& bad : {std::string(""), std::string("# only comments\n"), std::string("0x0 X 1\n"),
                                  std::string("0 ? 1\n0 100 +\n200 100 +\n"), std::string("0 ? 1\n0 100 +\n50 100 -\n"),
                                  std::string("0 ? 1\n0 100 x\n"), std::string("0 ? 1\n0 0xFFFFFFFFFFFFFFFF +\n1 1 +\n"),
                                  std::string("0 ? 1\n0 12z +\n")})
        EXPECT_FALSE(RescueMap::Parse(bad, map, &error)) << bad;
}

class Backup : public ::testing::Test {
protected:
    static constexpr uint32_t kBlocks = 8192;   // 4 MiB
    void SetUp() override { VolumeTable::Instance().DetachAll(); }
    void TearDown() override
    {
        VolumeTable::Instance().DetachAll();
        px::SetMessagePump({});
    }
    // The card: every block different and never zero, but for a zero area (256 blocks
    // from 6000) that a sparse image leaves as a hole.
    char Attach(const std::string& options)
    {
        if (card.empty()) {
            card.resize(size_t(kBlocks) * 512);
            for (size_t i = 0; i < card.size(); ++i)
                card[i] = static_cast<uint8_t>(1 + (i * 13 + i / 512) % 251);
            std::memset(&card[6000 * 512], 0, 256 * 512);
            EXPECT_TRUE(px::test::WriteFile(cardPath, card));
        }
        VolumeTable::Instance().DetachAll();
        char letter = 0;
        std::string error;
        EXPECT_TRUE(VolumeTable::Instance().Attach(cardPath + options, &letter, &error)) << error;
        reader = VolumeTable::Instance().Card(letter);
        return letter;
    }
    std::unique_ptr<CCardBackup> Job(char letter, bool sparse = false, int retries = 1)
    {
        CBackupOptions options;
        options.imagePath = image;
        options.sparse = sparse;
        options.retries = retries;
        options.commandLine = "test";
        return std::make_unique<CCardBackup>(&status, px::test::CardInfo(letter), options);
    }
    // Every byte the map calls copied is the card's; every other byte of the image is zero.
    void ExpectImageMatchesMap()
    {
        RescueMap map;
        std::string error;
        ASSERT_TRUE(RescueMap::Load(image + ".map", map, &error)) << error;
        const std::vector<uint8_t> copy = px::test::ReadFile(image);
        ASSERT_EQ(copy.size(), card.size());
        for (const px::RescueArea& area : map.Areas()) {
            for (uint64_t i = area.pos; i < area.End(); ++i) {
                const uint8_t want = area.status == '+' ? card[i] : 0;
                ASSERT_EQ(copy[i], want) << "byte " << i << " in an area '" << area.status << "'";
            }
        }
        std::string out;
        EXPECT_EQ(px::test::Run("ddrescuelog -t " + Quote(image + ".map"), &out), 0) << out;
    }

    TempHome home;
    std::string cardPath = home.File("card.img");
    std::string image = home.File("backup.img");
    std::vector<uint8_t> card;
    std::shared_ptr<px::EmulatedCard> reader;
    CTransferStatus status;
};

TEST_F(Backup, StoppedAndResumedCopiesAllButTheBadBlocks)
{
    // Two bad areas, one of them longer than a skip, one lone bad block, a slow reader
    // whose failing requests take longer; it vanishes after 40 requests.
    const std::string faults = ",bad=1000-1003,bad=3000-3399,bad=7777,failslow=2";
    char letter = Attach(faults + ",slow=1,pull=40");
    auto job = Job(letter);
    EXPECT_FALSE(job->Run());
    EXPECT_EQ(job->Outcome(), JobOutcome::CardGone);
    EXPECT_NE(job->GetError().find("run the same backup again"), std::string::npos) << job->GetError();
    EXPECT_GT(job->Map().Bytes('+'), 0u);
    EXPECT_GT(job->Map().Bytes('?'), 0u);
    ExpectImageMatchesMap();

    // A Cancel a few requests into the second run.
    letter = Attach(faults);
    int pumps = 0;
    px::SetMessagePump([&] {
        if (++pumps == 5)
            CMsgSend cancel(MsgCode::Cancel, CVariant(1));
    });
    job = Job(letter);
    EXPECT_FALSE(job->Run());
    EXPECT_EQ(job->Outcome(), JobOutcome::Cancelled);
    px::SetMessagePump({});
    ExpectImageMatchesMap();

    // The third run goes to the end: only the bad blocks are missing.
    letter = Attach(faults + ",failslow=1");
    job = Job(letter);
    EXPECT_TRUE(job->Run()) << job->GetError();
    EXPECT_EQ(job->Outcome(), JobOutcome::UnreadableBlocks);
    EXPECT_NE(job->GetError().find("405 blocks of the card could not be read"), std::string::npos) << job->GetError();
    EXPECT_EQ(job->Map().Bytes('-'), 405u * 512);
    EXPECT_EQ(job->Map().StatusAt(3000 * 512), '-');
    EXPECT_EQ(job->Map().StatusAt(3400 * 512), '+');
    EXPECT_EQ(job->Map().CurrentStatus(), '+');
    EXPECT_EQ(reader->WriteCommands(), 0u);
    ExpectImageMatchesMap();

    // The image served with its map: exactly the bad blocks fail, the rest reads as the card.
    VolumeTable::Instance().DetachAll();
    std::string error;
    ASSERT_TRUE(VolumeTable::Instance().Attach(image, &letter, &error)) << error;
    CDriveScsi drive;
    ASSERT_TRUE(drive.OpenVolume(letter));
    std::vector<uint8_t> block(512);
    for (const uint64_t b : {999ull, 1000ull, 1003ull, 1004ull, 3399ull, 7777ull, 7778ull}) {
        uint32_t moved = 0;
        ASSERT_TRUE(drive.ReadBlocks(block.data(), moved, b, 1));
        const bool bad = (b >= 1000 && b <= 1003) || (b >= 3000 && b <= 3399) || b == 7777;
        EXPECT_EQ(moved, bad ? 0u : 512u) << b;
        if (!bad) {
            EXPECT_EQ(std::memcmp(block.data(), &card[b * 512], 512), 0) << b;
        }
    }
    drive.Close();
    // nomap serves it whole.
    VolumeTable::Instance().DetachAll();
    ASSERT_TRUE(VolumeTable::Instance().Attach(image + ",nomap", &letter, &error)) << error;
    ASSERT_TRUE(drive.OpenVolume(letter));
    uint32_t moved = 0;
    ASSERT_TRUE(drive.ReadBlocks(block.data(), moved, 1000, 1));
    EXPECT_EQ(moved, 512u);
}

TEST_F(Backup, RetriesBringBackBlocksThatReadLaterAndSparseLeavesHoles)
{
    char letter = Attach(",bad=2000-2009");
    auto job = Job(letter, true, 0);
    ASSERT_TRUE(job->Run()) << job->GetError();
    EXPECT_EQ(job->Map().Bytes('-'), 10u * 512);
    // The zero area was not written: the image holds less than the card.
    struct stat st{};
    ASSERT_EQ(::stat(image.c_str(), &st), 0);
    EXPECT_LE(uint64_t(st.st_blocks) * 512, card.size() - 200 * 512);
    ExpectImageMatchesMap();

    // The card reads those blocks now (a second go of a dying card sometimes works).
    letter = Attach("");
    job = Job(letter, true, 1);
    ASSERT_TRUE(job->Run()) << job->GetError();
    EXPECT_EQ(job->Outcome(), JobOutcome::Finished);
    EXPECT_EQ(px::test::ReadFile(image), card);
}

TEST_F(Backup, RefusesImagesItCannotAccountFor)
{
    char letter = Attach("");
    // A file that is there without a map: its content is unknown, it is not touched.
    ASSERT_TRUE(px::test::WriteFile(image, std::vector<uint8_t>(1000, 7)));
    auto job = Job(letter);
    EXPECT_FALSE(job->Run());
    EXPECT_NE(job->GetError().find("has no map beside it"), std::string::npos) << job->GetError();
    EXPECT_EQ(px::test::ReadFile(image), std::vector<uint8_t>(1000, 7));
    // A map of another card.
    ::unlink(image.c_str());
    ASSERT_TRUE(RescueMap(12345 * 512).Save(image + ".map", "test", nullptr));
    job = Job(letter);
    EXPECT_FALSE(job->Run());
    EXPECT_NE(job->GetError().find("map of another card"), std::string::npos) << job->GetError();
    // A map that says bytes were copied into an image that is gone.
    RescueMap copied(uint64_t(kBlocks) * 512);
    copied.Mark(0, 4096, '+');
    ASSERT_TRUE(copied.Save(image + ".map", "test", nullptr));
    job = Job(letter);
    EXPECT_FALSE(job->Run());
    EXPECT_NE(job->GetError().find("is missing"), std::string::npos) << job->GetError();
    EXPECT_EQ(reader->ReadCommands(), 0u);
}

TEST_F(Backup, GoesOnWithDdrescueAndDdrescueGoesOnWithIt)
{
    // ddrescue copies the first MiB, then px3 the rest from its map; the card fails in that
    // MiB now, so a block of it read again would be bad in the map.
    Attach("");
    std::string out;
    ASSERT_EQ(px::test::Run("ddrescue -q -s 1MiB " + Quote(cardPath) + " " + Quote(image) + " " + Quote(image + ".map"),
                            &out),
              0)
        << out;
    char letter = Attach(",bad=0-2047,bad=5000-5001");
    auto job = Job(letter);
    EXPECT_TRUE(job->Run()) << job->GetError();
    EXPECT_EQ(job->Map().Bytes('-'), 2u * 512);
    EXPECT_EQ(job->Map().StatusAt(5000 * 512), '-');
    ExpectImageMatchesMap();

    // px3 stops early; ddrescue finishes from px3's map.
    ::unlink(image.c_str());
    ::unlink((image + ".map").c_str());
    letter = Attach(",pull=20");
    job = Job(letter);
    EXPECT_FALSE(job->Run());
    ASSERT_EQ(px::test::Run("ddrescue -q " + Quote(cardPath) + " " + Quote(image) + " " + Quote(image + ".map"), &out), 0)
        << out;
    EXPECT_EQ(px::test::ReadFile(image), card);
}

}  // namespace
