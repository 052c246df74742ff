// The card job frame: message order, progress period, chunking, cancel, read faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "app/ctransferstatus.h"
#include "device/ccardjob.h"
#include "device/cdrivescsi.h"
#include "platform/messagepump.h"
#include "platform/volumetable.h"
#include "recovery/cimagerecovery.h"
#include "recovery/recoveryjob.h"
#include "support/attachedcard.h"
#include "support/fixtures.h"

using px::VolumeTable;
using px::test::TempHome;

namespace {

// Records every message as "code" or "code.kind" (progress steps and status kinds).
struct Recorder : CListener {
    std::vector<std::string> events;
    Recorder() { Bus().AddListener("Recorder", this); }
    ~Recorder() override { Bus().RemoveListener(this); }
    void OnMessage(CSingleMsg& msg) override
    {
        if (msg.Code == MsgCode::Progress)
            events.push_back("P" + std::to_string(msg.Kind));
        else if (msg.Code == MsgCode::TransferStatus)
            events.push_back("S" + std::to_string(dynamic_cast<CTransferStatus*>(msg.Attached)->Kind));
        else if (msg.Code == MsgCode::JobStarted || msg.Code == MsgCode::JobFinished)
            events.push_back(std::to_string(msg.Code));
    }
    int Count(const std::string& e) const { return static_cast<int>(std::count(events.begin(), events.end(), e)); }
};

// A job that counts the blocks handed to it.
struct CountingJob : CCardJob {
    using CCardJob::CCardJob;
    using CCardJob::SetSkippedAreaBudget;
    uint64_t blocks = 0;
    int finishes = 0;
    bool skipReading = false;
    void ProcessBlock(const uint8_t*) override { ++blocks; }
    void Finish() override { ++finishes; }
    bool TransferChunk(CDriveScsi& drive, CChunk& chunk, uint16_t count, uint32_t& done) override
    {
        if (!skipReading)
            return CCardJob::TransferChunk(drive, chunk, count, done);
        done = count * 512u;
        chunk.Valid = done;
        return ProcessChunk(chunk);
    }
};

class CardJobTest : public ::testing::Test {
protected:
    void SetUp() override { VolumeTable::Instance().DetachAll(); }
    void TearDown() override
    {
        VolumeTable::Instance().DetachAll();
        px::SetMessagePump({});
    }
    CDriveInfo Card(uint64_t blocks, const std::string& options = {})
    {
        const std::string path = home.File("card" + std::to_string(++images) + ".img");
        EXPECT_TRUE(px::test::MakeBlankImage(path, blocks * 512));
        return px::test::AttachCard(path + options);
    }
    TempHome home;
    int images = 0;
    CTransferStatus status;
};

TEST_F(CardJobTest, MessageOrderOfAFinishedRun)
{
    const CDriveInfo info = Card(250);
    Recorder recorder;
    CountingJob job(&status, info, JobScope::CardTest);
    ASSERT_TRUE(job.Run()) << job.GetError();
    EXPECT_EQ(job.blocks, 250u);   // two full chunks and one of 50
    EXPECT_EQ(status.BlocksProcessed, 250u);
    EXPECT_EQ(status.CurrentBlock, 250u);
    EXPECT_EQ(status.BytesDone, 250u * 512);
    EXPECT_EQ(job.finishes, 1);
    const std::vector<std::string> head(recorder.events.begin(), recorder.events.begin() + 5);
    EXPECT_EQ(head, (std::vector<std::string>{"9", "S7", "P2", "P7", "P6"}));
    const std::vector<std::string> tail(recorder.events.end() - 5, recorder.events.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"S8", "S3", "P6", "P3", "10"}));
    // Between them only progress pairs.
    for (size_t i = 5; i + 5 < recorder.events.size(); i += 2) {
        EXPECT_EQ(recorder.events[i], "P6");
        EXPECT_EQ(recorder.events[i + 1], "S3");
    }
    EXPECT_NE(status.EndTime.m_dt, 0.0);
}

TEST_F(CardJobTest, MessageOrderWhenTheCardCannotBeOpened)
{
    CDriveInfo info = Card(10);
    info.m_Letter = 'Q';   // nothing there
    Recorder recorder;
    CountingJob job(&status, info, JobScope::CardTest);
    EXPECT_FALSE(job.Run());
    EXPECT_EQ(job.GetError(), "Cannot open drive");
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"9", "S7", "S3", "P6", "P3", "10"}));

    // A card without blocks: opened, then refused.
    const CDriveInfo empty = Card(0);
    Recorder second;
    CountingJob none(&status, empty, JobScope::CardTest);
    EXPECT_FALSE(none.Run());
    EXPECT_EQ(none.GetError(), "L-Blocks is zerro");
}

TEST_F(CardJobTest, AnotherDeviceAtTheSelectedLetterIsRefused)
{
    const CDriveInfo info = Card(100);
    const char letter = info.m_Letter;
    // The reader goes; another one gets its letter before the job starts.
    VolumeTable::Instance().Detach(letter);
    const std::string other = home.File("other.img");
    ASSERT_TRUE(px::test::MakeBlankImage(other, 100 * 512));
    ASSERT_TRUE(VolumeTable::Instance().Attach(std::string(1, letter) + "=" + other + ",reader=Marlow/DataStick/1.0",
                                              nullptr, nullptr));
    CountingJob job(&status, info, JobScope::Erase);
    EXPECT_FALSE(job.Run());
    EXPECT_EQ(job.GetError(), std::string("The device at ") + letter +
                                  ": is not the card reader that was selected; please select the card again");
    EXPECT_EQ(job.blocks, 0u);
}

TEST_F(CardJobTest, LockedCardIsRefused)
{
    const CDriveInfo info = Card(10);
    CDriveScsi holder;
    ASSERT_TRUE(holder.OpenVolume(info.m_Letter));
    ASSERT_TRUE(holder.Lock());
    CountingJob job(&status, info, JobScope::CardTest);
    EXPECT_FALSE(job.Run());
    EXPECT_EQ(job.GetError().rfind("Cannot lock the drive, please make sure the selected drive is available. ", 0), 0u)
        << job.GetError();
    EXPECT_NE(job.GetError().find("is in use by another program"), std::string::npos) << job.GetError();
}

TEST_F(CardJobTest, CancelInTheLastChunkStillFinishes)
{
    const CDriveInfo info = Card(300);
    Recorder recorder;
    CountingJob job(&status, info, JobScope::Recovery);
    px::SetMessagePump([&] {
        if (status.CurrentBlock == 100) {
            CMsgSend cancel(MsgCode::Cancel, CVariant(1));
            CMsgSend clear(MsgCode::Cancel, CVariant(0));   // a later 0 clears the request
        }
        if (status.CurrentBlock == 300)
            CMsgSend cancel(MsgCode::Cancel, CVariant(1));
    });
    EXPECT_FALSE(job.Run());
    EXPECT_EQ(job.GetError(), "Canceled by user");
    EXPECT_EQ(job.blocks, 300u);
    EXPECT_EQ(job.finishes, 1);
    EXPECT_EQ(recorder.Count("S8"), 1);
    EXPECT_EQ(recorder.events.back(), "10");

    // Cancelled early: the loop stops at the next check.
    CountingJob early(&status, info, JobScope::Recovery);
    px::SetMessagePump([] { CMsgSend cancel(MsgCode::Cancel, CVariant(1)); });
    EXPECT_FALSE(early.Run());
    EXPECT_EQ(early.blocks, 100u);
}

// A Cancel reaches a job that reads a failing chunk block by block between two blocks,
// not after the whole chunk (a minute and more with a reader's time-outs).
TEST_F(CardJobTest, CancelBetweenBlocksOfAFailingChunk)
{
    const CDriveInfo info = Card(300, ",bad=100-199,failslow=40");
    int pumps = 0;
    px::SetMessagePump([&pumps] {
        if (++pumps == 2)   // after chunk 0, then between the first two blocks of chunk 1
            CMsgSend cancel(MsgCode::Cancel, CVariant(1));
    });
    CountingJob job(&status, info, JobScope::CardTest);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(job.Run());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(job.GetError(), "Canceled by user");
    EXPECT_LT(seconds, 1.0);
    EXPECT_EQ(VolumeTable::Instance().Card(info.m_Letter)->ReadCommands(), 3u);
}

TEST_F(CardJobTest, ProgressPeriodAtOneBillionBytes)
{
    // 1,953,125 blocks are exactly 1,000,000,000 bytes: the period is a hundredth.
    for (const auto& [blocks, atMost, atLeast] :
         {std::tuple{1953125ull, 100, 95}, std::tuple{1953126ull, 200, 190}}) {
        const CDriveInfo info = Card(blocks);
        Recorder recorder;
        CountingJob job(&status, info, JobScope::CardTest);
        job.skipReading = true;
        ASSERT_TRUE(job.Run());
        const int points = recorder.Count("S3") - 1;   // Close sends one more
        EXPECT_LE(points, atMost) << blocks;
        EXPECT_GE(points, atLeast) << blocks;
        EXPECT_EQ(job.blocks, blocks);
    }
}

TEST_F(CardJobTest, UnreadableBlocksAreReadAgainOneByOne)
{
    const CDriveInfo info = Card(1000, ",bad=120-129,bad=555");
    CountingJob job(&status, info, JobScope::CardTest);
    EXPECT_TRUE(job.Run());
    EXPECT_EQ(job.blocks, 1000u);   // the bad blocks count as zeros
    EXPECT_EQ(job.UnreadableBlocks(), 11u);
    EXPECT_EQ(job.GetError(), "11 blocks of the card could not be read and counted as zeros");
    EXPECT_TRUE(status.HasError);
    const auto card = VolumeTable::Instance().Card(info.m_Letter);
    // Ten chunks, two of them again by block; after eight bad blocks in a row the rest of
    // the chunk is read from its end back, and the ninth bad block ends that.
    EXPECT_EQ(card->ReadCommands(), 10u + 2 * 100 - 1);

    // A reader that stops short without saying so is caught by the byte count.
    const CDriveInfo quiet = Card(300, ",bad=150,short");
    CountingJob second(&status, quiet, JobScope::CardTest);
    EXPECT_TRUE(second.Run());
    EXPECT_EQ(second.UnreadableBlocks(), 1u);
    EXPECT_EQ(second.GetError(), "1 block of the card could not be read and counted as zeros");
}

TEST_F(CardJobTest, ReaderGoneEndsTheRunWithTheDeviceError)
{
    // Open, lock and describe take a few requests; the reader goes after five chunks.
    const CDriveInfo info = Card(2000, ",pull=12");
    Recorder recorder;
    CountingJob job(&status, info, JobScope::Recovery);
    EXPECT_FALSE(job.Run());
    EXPECT_EQ(job.GetError(), "The card reader or the card went away (No such device)");
    EXPECT_EQ(job.Outcome(), JobOutcome::CardGone);
    EXPECT_LT(job.blocks, 2000u);
    EXPECT_GT(job.blocks, 0u);
    EXPECT_EQ(job.finishes, 1);
    EXPECT_EQ(recorder.Count("S8"), 1);
    EXPECT_EQ(recorder.events.back(), "10");
    EXPECT_EQ(status.ErrorText, job.GetError());
}

TEST_F(CardJobTest, CardTakenOutOrSwappedEndsTheRun)
{
    // A reader that stays while its card goes: the rest of the card is not read block by
    // block as "unreadable", the run ends with what happened.
    const CDriveInfo info = Card(5000);
    auto card = VolumeTable::Instance().Card(info.m_Letter);
    CountingJob job(&status, info, JobScope::CardTest);
    px::SetMessagePump([&] {
        if (status.CurrentBlock == 1000)
            card->RemoveCard();
    });
    EXPECT_FALSE(job.Run());
    EXPECT_EQ(job.GetError(), "The card was taken out of the reader");
    EXPECT_EQ(job.UnreadableBlocks(), 0u);
    EXPECT_LT(card->ReadCommands(), 20u);

    card->InsertCard();   // the next answer is UNIT ATTENTION: a new card
    CountingJob swapped(&status, info, JobScope::CardTest);
    bool pulled = false;
    px::SetMessagePump([&] {
        if (status.CurrentBlock == 1000 && !pulled) {
            pulled = true;
            card->RemoveCard();
            card->InsertCard();
        }
    });
    EXPECT_FALSE(swapped.Run());
    EXPECT_EQ(swapped.GetError(), "The card in the reader was changed during the run");
}

// A job that reads ahead (as recovery and card test do) and checks that every block comes
// in order: each block of the numbered cards holds its own number, an unreadable one zeros.
struct AheadJob : CCardJob {
    using CCardJob::CCardJob;
    using CCardJob::SetSkippedAreaBudget;
    uint64_t next = 0;
    std::vector<uint64_t> zeros, misplaced;
    std::vector<uint64_t> late;
    bool ReadsAhead() const override { return true; }
    void ProcessBlock(const uint8_t* block) override
    {
        uint64_t number = 0;
        std::memcpy(&number, block, sizeof number);
        if (number == 0 && next != 0)
            zeros.push_back(next);
        else if (number != next)
            misplaced.push_back(next);
        ++next;
    }
    bool LateBlocks(uint64_t first, const uint8_t* data, uint32_t count) override
    {
        for (uint32_t i = 0; i < count; ++i) {
            uint64_t number = 0;
            std::memcpy(&number, data + i * 512, sizeof number);
            EXPECT_EQ(number, first + i);
            late.push_back(first + i);
        }
        return true;
    }
};

// Zeros in [first, last] and nothing else: the blocks the job saw as unreadable.
bool ZerosExactly(const std::vector<uint64_t>& zeros, uint64_t first, uint64_t last)
{
    if (zeros.size() != last - first + 1)
        return false;
    for (uint64_t i = 0; i < zeros.size(); ++i)
        if (zeros[i] != first + i)
            return false;
    return true;
}

class ReadAheadTest : public CardJobTest {
protected:
    // A card whose every block starts with its own number.
    CDriveInfo NumberedCard(uint64_t blocks, const std::string& options = {})
    {
        std::vector<uint8_t> image(blocks * 512, 0x5A);
        for (uint64_t b = 0; b < blocks; ++b)
            std::memcpy(&image[b * 512], &b, sizeof b);
        const std::string path = home.File("numbered" + std::to_string(++images) + ".img");
        EXPECT_TRUE(px::test::WriteFile(path, image));
        return px::test::AttachCard(path + options);
    }
    uint64_t Reads(const CDriveInfo& info) { return VolumeTable::Instance().Card(info.m_Letter)->ReadCommands(); }
};

// The reader asks for a mebibyte (2,000 blocks) at a time and hands the scan its chunks in
// order; a request that fails falls back to the chunk and block rules for the chunk that
// holds the bad block, and the big requests go on after it.
TEST_F(ReadAheadTest, LargeRequestsHandEveryChunkInOrder)
{
    const CDriveInfo clean = NumberedCard(6050);
    AheadJob job(&status, clean, JobScope::CardTest);
    ASSERT_TRUE(job.Run()) << job.GetError();
    EXPECT_EQ(job.next, 6050u);
    EXPECT_TRUE(job.zeros.empty());
    EXPECT_TRUE(job.misplaced.empty());
    EXPECT_EQ(Reads(clean), 4u);   // three of 2,000 blocks and the last 50

    const CDriveInfo bad = NumberedCard(6000, ",bad=3333,failslow=5");
    AheadJob second(&status, bad, JobScope::CardTest);
    ASSERT_TRUE(second.Run());
    EXPECT_EQ(second.next, 6000u);
    EXPECT_TRUE(ZerosExactly(second.zeros, 3333, 3333));
    EXPECT_TRUE(second.misplaced.empty());
    EXPECT_EQ(second.UnreadableBlocks(), 1u);
    // [0,2000) and [2000,4000), which stops at 3333; the chunk [3300,3400) block by block;
    // then [3400,5400) and [5400,6000).
    EXPECT_EQ(Reads(bad), 2u + 100u + 2u);

    // A reader that stops short without saying so, ahead of the scan.
    const CDriveInfo quiet = NumberedCard(3000, ",bad=2500,short");
    AheadJob third(&status, quiet, JobScope::CardTest);
    ASSERT_TRUE(third.Run());
    EXPECT_TRUE(ZerosExactly(third.zeros, 2500, 2500));
    EXPECT_TRUE(third.misplaced.empty());

    // The reader vanishes after the open's requests and four of the reads ahead: the scan
    // ends on the failed request with what came before it.
    const CDriveInfo pulled = NumberedCard(20000, ",pull=11");
    AheadJob fourth(&status, pulled, JobScope::Recovery);
    EXPECT_FALSE(fourth.Run());
    EXPECT_EQ(fourth.Outcome(), JobOutcome::CardGone);
    EXPECT_GT(fourth.next, 0u);
    EXPECT_LT(fourth.next, 20000u);
    EXPECT_EQ(fourth.next % 2000, 0u);
    EXPECT_TRUE(fourth.misplaced.empty());
}

// A dead area of 5 MB whose failing requests take 50 ms each: crossed in growing steps
// and its end found by halving, not one failing request per chunk (200 of them, 10 s).
// The blocks after it come whole, the area's blocks are zeros, and trying the area again
// after the last chunk keeps to its budget.
TEST_F(ReadAheadTest, DeadAreaIsCrossedInBoundedRequests)
{
    const CDriveInfo info = NumberedCard(20000, ",bad=4000-13999,failslow=50");
    AheadJob job(&status, info, JobScope::Recovery);
    job.SetSkippedAreaBudget(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(job.Run()) << job.GetError();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(job.Outcome(), JobOutcome::UnreadableBlocks);
    EXPECT_EQ(job.next, 20000u);
    EXPECT_TRUE(ZerosExactly(job.zeros, 4000, 13999));
    EXPECT_TRUE(job.misplaced.empty());
    EXPECT_TRUE(job.late.empty());
    EXPECT_EQ(job.UnreadableBlocks(), 10000u);
    EXPECT_EQ(job.GetError(), "10000 blocks of the card could not be read and counted as zeros");
    // 8 blocks to find the area, one from the chunk's end, 7 probes to pass it, 13 to find
    // its end, 6 requests ahead, and what the 300 ms after the scan allow.
    EXPECT_LT(Reads(info), 60u);
    EXPECT_LT(seconds, 4.0);

    // Good islands inside a skipped area are found when the area is tried again: they no
    // longer count, and the job gets their blocks.
    const CDriveInfo islands = NumberedCard(20000, ",bad=4000-8999,bad=9100-13999");
    AheadJob second(&status, islands, JobScope::Recovery);
    EXPECT_TRUE(second.Run());
    EXPECT_TRUE(second.misplaced.empty());
    EXPECT_EQ(second.UnreadableBlocks(), 9900u);
    std::sort(second.late.begin(), second.late.end());
    ASSERT_EQ(second.late.size(), 100u);
    EXPECT_EQ(second.late.front(), 9000u);
    EXPECT_EQ(second.late.back(), 9099u);

    // A dead area that runs to the card's end, crossed by a job that reads for itself.
    const CDriveInfo tail = Card(20000, ",bad=5000-19999,failslow=20");
    CountingJob third(&status, tail, JobScope::CardTest);
    third.SetSkippedAreaBudget(std::chrono::milliseconds(200));
    EXPECT_TRUE(third.Run());
    EXPECT_EQ(third.blocks, 20000u);
    EXPECT_EQ(third.UnreadableBlocks(), 15000u);
    // 50 chunks before it; a request per chunk of the area would be 150 more.
    EXPECT_LT(VolumeTable::Instance().Card(tail.m_Letter)->ReadCommands(), 50u + 40u);
}

// Cancel is taken between the probes over a dead area.
TEST_F(ReadAheadTest, CancelWhileCrossingADeadArea)
{
    const CDriveInfo info = NumberedCard(20000, ",bad=2000-19999,failslow=30");
    int pumps = 0;
    px::SetMessagePump([&pumps] {
        // 20 chunks, 7 between the blocks of the failing one and one before its last, one
        // after it, then before each probe.
        if (++pumps == 32)
            CMsgSend cancel(MsgCode::Cancel, CVariant(1));
    });
    AheadJob job(&status, info, JobScope::Recovery);
    EXPECT_FALSE(job.Run());
    EXPECT_EQ(job.Outcome(), JobOutcome::Cancelled);
    // Two requests ahead, 8 blocks, the chunk's last block, two probes.
    EXPECT_EQ(Reads(info), 2u + 8u + 1u + 2u);
}

class DeadAreaRecoveryTest : public px::test::RecoveryTest {};

// The recovery over a dead area: a picture that runs into it is cut there, the pictures
// that begin at its end and after it come back whole, and nothing is written to the card.
TEST_F(DeadAreaRecoveryTest, PicturesAfterADeadAreaComeBackWhole)
{
    std::vector<std::vector<uint8_t>> pictures;
    for (int i = 0; i < 4; ++i) {
        const std::string path = home.File("picture" + std::to_string(i) + ".jpg");
        ASSERT_EQ(px::test::Run("convert -seed " + std::to_string(i + 1) + " -size 320x240 plasma:fractal -quality 90 " +
                                px::test::Quote(path)),
                  0);
        pictures.push_back(px::test::ReadFile(path));
        ASSERT_GT(pictures.back().size(), 4096u);
    }
    auto image = Blocks(20000);
    const size_t at[4] = {500, 4000 - pictures[1].size() / 1024, 14000, 15000};
    for (int i = 0; i < 4; ++i)
        Put(image, at[i], pictures[i]);
    const std::string path = home.File("dead.img");
    ASSERT_TRUE(px::test::WriteFile(path, image));
    // A good island inside the area reads only when the area is tried again, after the
    // files were carved past it: it stays counted, as the files hold zeros there.
    const char letter = Attach(path + ",bad=4000-8999,bad=9100-13999");
    EXPECT_TRUE(Recover(letter)) << error;
    EXPECT_EQ(status.UnreadableBlocks, 10000u);
    auto carved = [&](const std::vector<uint8_t>& bytes) {
        return std::any_of(files.begin(), files.end(), [&](const auto& file) { return file.second == bytes; });
    };
    EXPECT_TRUE(carved(pictures[0])) << "before the dead area";
    EXPECT_FALSE(carved(pictures[1])) << "runs into the dead area";
    EXPECT_TRUE(carved(pictures[2])) << "at the dead area's end";
    EXPECT_TRUE(carved(pictures[3])) << "after the dead area";
    EXPECT_EQ(px::VolumeTable::Instance().Card(letter)->WriteCommands(), 0u);
}

// A Cancel in the middle of a buffer read ahead: the file open at that moment is written
// up to the last chunk processed, from the buffer before it goes.
TEST_F(DeadAreaRecoveryTest, CancelInsideABufferKeepsTheCarvedBytes)
{
    auto image = Blocks(6000);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = uint8_t(i * 7 + i / 512 + 1);
    Put(image, 0, px::test::Jpeg());
    const char letter = AttachImage("cancel.img", image);
    int pumps = 0;
    px::SetMessagePump([&pumps] {
        if (++pumps == 5)
            CMsgSend cancel(MsgCode::Cancel, CVariant(1));
    });
    EXPECT_FALSE(Recover(letter, TypeBit::Jpg));
    px::SetMessagePump({});
    EXPECT_EQ(error, "Canceled by user");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files.begin()->second, std::vector<uint8_t>(image.begin(), image.begin() + 500 * 512));
}

TEST(TransferStatus, CopiesSendsAndEstimates)
{
    CTransferStatus status;
    EXPECT_EQ(status.EstimateRemaining().m_span, 0.0);   // nothing done yet
    COleDateTime::SetClock([] { return std::time_t(1765000000); });
    status.StartTime = COleDateTime::Now();
    COleDateTime::SetClock([] { return std::time_t(1765000100); });   // 100 s later
    status.Capacity = 4000;
    status.BytesDone = 1000;
    EXPECT_NEAR(status.EstimateRemaining().TotalSeconds(), 300.0, 0.01);
    COleDateTime::SetClock({});

    // A run across the end of daylight saving: the local clock goes back an hour, the
    // elapsed time does not.
    const char* zone = std::getenv("TZ");
    const std::string savedZone = zone ? zone : "";
    ::setenv("TZ", "Europe/Berlin", 1);
    ::tzset();
    COleDateTime::SetClock([] { return std::time_t(1792889940); });   // 25 Oct 2026, 02:59 CEST
    CTransferStatus run;
    run.MarkStart();
    COleDateTime::SetClock([] { return std::time_t(1792889940 + 120); });   // 02:01 CET
    run.Capacity = 4000;
    run.BytesDone = 1000;
    EXPECT_NEAR(run.EstimateRemaining().TotalSeconds(), 360.0, 0.01);
    COleDateTime::SetClock({});
    if (zone)
        ::setenv("TZ", savedZone.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();

    status.FileSize = 77;
    status.ErrorText = "x";
    status.Settings.FilePrefix = "Trip";
    CTransferStatus copy(status);
    EXPECT_EQ(copy.FileSize, 0u);   // not copied
    EXPECT_EQ(copy.ErrorText, "x");
    EXPECT_EQ(copy.Settings.FilePrefix, "Trip");
    EXPECT_FALSE(copy.SendOnDestroy);

    struct Catch : CListener {
        int kind = 0, scope = 0;
        void OnMessage(CSingleMsg& m) override
        {
            if (m.Code == MsgCode::TransferStatus) {
                kind = dynamic_cast<CTransferStatus*>(m.Attached)->Kind;
                scope = m.Scope.ToInt();
            }
        }
    } listener;
    Bus().AddListener("Catch", &listener);
    status.Send(StatusKind::FileFinished, JobScope::Erase);
    Bus().RemoveListener(&listener);
    EXPECT_EQ(listener.kind, StatusKind::FileFinished);
    EXPECT_EQ(listener.scope, JobScope::Erase);
}

}  // namespace
