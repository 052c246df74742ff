// The capacity test on emulated cards: fake cards that wrap round or drop writes past
// their real size, a good card, a card with failing blocks, a write-protected card and a
// cancelled test.
#include <cstring>
#include <string>

#include "device/cdrivescsi.h"
#include "platform/messagepump.h"
#include "platform/volumetable.h"
#include "support/attachedcard.h"
#include "support/fixtures.h"
#include "tools/capacitytest.h"

using px::VolumeTable;
using px::test::TempHome;

namespace {

class Capacity : public ::testing::Test {
protected:
    void SetUp() override { VolumeTable::Instance().DetachAll(); }
    void TearDown() override
    {
        VolumeTable::Instance().DetachAll();
        px::SetMessagePump({});
    }
    // A blank (sparse) card of this many MiB with the options.
    CDriveInfo Card(uint64_t mib, const std::string& options)
    {
        const std::string path = home.File("card" + std::to_string(++images) + ".img");
        EXPECT_TRUE(px::test::MakeBlankImage(path, mib << 20));
        return px::test::AttachCard(path + options);
    }
    CCapacityResult Test(const CDriveInfo& info, bool expectRun = true)
    {
        CCardCapacityTest job(&status, info, 0x1234567890ABCDEFull);
        EXPECT_EQ(job.Run(), expectRun) << job.GetError();
        error = job.GetError();
        outcome = job.Outcome();
        return job.Result();
    }

    TempHome home;
    int images = 0;
    CTransferStatus status;
    std::string error;
    JobOutcome outcome = JobOutcome::NotRun;
};

TEST_F(Capacity, FakeCardsShowTheirRealSize)
{
    // Wraps round: the writes past 16 MiB land on the card's front.
    CCapacityResult r = Test(Card(64, ",fake=16M"));
    EXPECT_TRUE(r.Fake());
    EXPECT_EQ(r.firstBad, 16u * 2048);
    EXPECT_EQ(r.badBlocks, 48u * 2048);
    EXPECT_EQ(CapacityVerdict(r), "fake: usable 16 MB of 64 MB");
    EXPECT_EQ(error, "The card is fake: usable 16 MB of 64 MB");
    EXPECT_GT(r.writeMBps, 0);
    EXPECT_GT(r.readMBps, 0);

    // Drops the writes: zeros come back past 10 MiB + 3 blocks (not a segment's edge).
    r = Test(Card(32, ",fakedrop=" + std::to_string((10 << 20) + 3 * 512)));
    EXPECT_TRUE(r.Fake());
    EXPECT_EQ(r.firstBad, 10u * 2048 + 3);
    EXPECT_EQ(CapacityVerdict(r), "fake: usable 10 MB of 32 MB");
}

TEST_F(Capacity, GoodAndFailingCards)
{
    CCapacityResult r = Test(Card(8, ""));
    EXPECT_TRUE(r.Passed());
    EXPECT_EQ(r.firstBad, 8u * 2048);
    EXPECT_EQ(CapacityVerdict(r), "good: all 8 MB hold what was written");
    EXPECT_EQ(outcome, JobOutcome::Finished);

    // Unreadable blocks in the middle: failing, not fake.
    r = Test(Card(8, ",bad=5000-5009,bad=9000"));
    EXPECT_FALSE(r.Fake());
    EXPECT_EQ(r.firstBad, 5000u);
    EXPECT_EQ(r.badBlocks, 11u);
    EXPECT_EQ(CapacityVerdict(r), "failing: 11 blocks do not hold what was written, the first is block 5000");

    EXPECT_EQ(CapacitySizeText(7ull << 29), "3.5 GB");
    EXPECT_EQ(CapacitySizeText(128ull << 30), "128 GB");
    EXPECT_EQ(CapacitySizeText(1023), "1023 B");
}

TEST_F(Capacity, RefusalsAndCancelSayWhatHappenedToTheCard)
{
    Test(Card(4, ",readonly"), false);
    EXPECT_EQ(outcome, JobOutcome::WriteProtected);
    EXPECT_NE(error.find("write-protected"), std::string::npos) << error;

    // A card taken away in the reading pass.
    Test(Card(4, ",pull=60"), false);
    EXPECT_EQ(outcome, JobOutcome::CardGone);
    EXPECT_NE(error.find("what it held is gone"), std::string::npos) << error;

    int pumps = 0;
    px::SetMessagePump([&] {
        if (++pumps == 3)
            CMsgSend cancel(MsgCode::Cancel, CVariant(1));
    });
    Test(Card(4, ""), false);
    EXPECT_EQ(outcome, JobOutcome::Cancelled);
    EXPECT_EQ(error, "Canceled by user: the card was overwritten in part; what it held is gone");
}

}  // namespace
