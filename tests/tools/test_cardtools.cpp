// The card tools on emulated cards: the erase leaves zeros everywhere, the test counts the
// blocks it cannot read, the format's steps and eject, and the drives the destructive
// tools refuse without writing a block.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/cdrivescsi.h"
#include "platform/messagepump.h"
#include "platform/volumetable.h"
#include "support/attachedcard.h"
#include "support/fixtures.h"
#include "tools/cardtools.h"

using px::VolumeTable;
using px::test::TempHome;

namespace {

// Records the messages of one scope as "9", "10", "S<kind>" and "P<step>:<value1>".
struct Recorder : CListener {
    explicit Recorder(int32_t scope) : scope(scope) { Bus().AddListener("Recorder", this); }
    ~Recorder() override { Bus().RemoveListener(this); }
    void OnMessage(CSingleMsg& msg) override
    {
        if (msg.Code == MsgCode::JobStarted || msg.Code == MsgCode::JobFinished)
            events.push_back(std::to_string(msg.Code));
        if (msg.Scope.ToInt() != scope)
            return;
        if (msg.Code == MsgCode::Progress) {
            std::string e = "P" + std::to_string(msg.Kind) + ":" + std::to_string(msg.Value1.ToInt());
            if (msg.Kind == ProgressStep::Range)
                e += "-" + std::to_string(msg.Value2.ToInt());
            events.push_back(e);
            if (onProgress)
                onProgress(msg);
        } else if (msg.Code == MsgCode::TransferStatus) {
            events.push_back("S" + std::to_string(dynamic_cast<CTransferStatus*>(msg.Attached)->Kind));
        }
    }
    int32_t scope;
    std::vector<std::string> events;
    std::function<void(CSingleMsg&)> onProgress;
};

// A job that sees the card's description changed after the frame read it: a fixed disk's
// answer, say. The card is opened, locked and described as the frame does it.
template <class Job>
struct Altered : Job {
    Altered(CTransferStatus* status, const CDriveInfo& info, std::function<void(CDriveInfo&)> alter)
        : Job(status, info), alter(std::move(alter))
    {
    }
    bool OpenCard() override
    {
        if (!this->m_Drive.OpenVolume(this->m_DriveInfo.m_Letter) || !this->m_Drive.Lock() ||
            !this->m_Drive.ReadDriveInfo(this->m_DriveInfo))
            return false;
        alter(this->m_DriveInfo);
        return this->Init();
    }
    std::function<void(CDriveInfo&)> alter;
};
void FixedDisk(CDriveInfo& info) { info.m_Descriptor.RemovableMedia = 0; }

class CardTools : public ::testing::Test {
protected:
    void SetUp() override { VolumeTable::Instance().DetachAll(); }
    void TearDown() override
    {
        VolumeTable::Instance().DetachAll();
        px::SetMessagePump({});
    }
    // A card image of this many blocks, every block full of a pattern that is never zero;
    // attached with the options, described as the card document would.
    CDriveInfo Card(uint32_t blocks, const std::string& options = {})
    {
        path = home.File("card" + std::to_string(++images) + ".img");
        std::vector<uint8_t> bytes(size_t(blocks) * 512);
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<uint8_t>(1 + (i * 7 + i / 512) % 255);
        EXPECT_TRUE(px::test::WriteFile(path, bytes));
        original = bytes;
        const CDriveInfo info = px::test::AttachCard(path + options);
        card = VolumeTable::Instance().Card(info.m_Letter);
        return info;
    }
    std::vector<uint8_t> Image() const { return px::test::ReadFile(path); }

    TempHome home;
    int images = 0;
    std::string path;
    std::vector<uint8_t> original;
    std::shared_ptr<px::EmulatedCard> card;
    CTransferStatus status;
};

TEST_F(CardTools, EraseLeavesEveryBlockZero)
{
    // Not a multiple of 100: the last request carries the remaining 37 blocks.
    const CDriveInfo info = Card(2537);
    Recorder recorder(JobScope::Erase);
    CCardWipe job(&status, info);
    ASSERT_TRUE(job.Run()) << job.GetError();
    EXPECT_TRUE(job.GetError().empty()) << job.GetError();
    const std::vector<uint8_t> image = Image();
    ASSERT_EQ(image.size(), 2537u * 512);
    const auto nonZero = std::find_if(image.begin(), image.end(), [](uint8_t b) { return b != 0; });
    EXPECT_EQ(nonZero, image.end()) << "first byte left at " << (nonZero - image.begin());
    EXPECT_EQ(card->WriteCommands(), 26u);
    EXPECT_EQ(card->ReadCommands(), 0u) << "the erase does not read back";
    EXPECT_EQ(status.BytesDone, 2537u * 512);
    EXPECT_EQ(recorder.events.front(), "9");
    EXPECT_EQ(recorder.events[1], "S7");
    EXPECT_NE(std::find(recorder.events.begin(), recorder.events.end(), "S8"), recorder.events.end());
    EXPECT_TRUE(card->CardPresent()) << "the erase never ejects";
}

TEST_F(CardTools, CancelStopsTheEraseAfterTheCurrentChunk)
{
    const CDriveInfo info = Card(1000);
    int pumps = 0;
    px::SetMessagePump([&] {
        if (++pumps == 3)
            CMsgSend cancel(MsgCode::Cancel, CVariant(1));
    });
    CCardWipe job(&status, info);
    EXPECT_FALSE(job.Run());
    EXPECT_EQ(job.GetError(), "Canceled by user");
    const std::vector<uint8_t> image = Image();
    EXPECT_TRUE(std::all_of(image.begin(), image.begin() + 300 * 512, [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::equal(image.begin() + 300 * 512, image.end(), original.begin() + 300 * 512))
        << "blocks after the cancel were written";
}

TEST_F(CardTools, WriteProtectedCardFailsEraseAndFormatWithTheSenseKey)
{
    const CDriveInfo info = Card(4000, ",readonly");
    {
        Recorder recorder(JobScope::Erase);
        CCardWipe job(&status, info);
        EXPECT_FALSE(job.Run());
        EXPECT_EQ(job.GetError(),
                  "Write failed at block 0: DATA PROTECT (0 of 51200 bytes written) - the card is write-protected");
        EXPECT_EQ(status.ErrorText, job.GetError());
        EXPECT_EQ(card->WriteCommands(), 1u) << "the erase stops at the first refused write";
    }
    {
        Recorder recorder(JobScope::Format);
        CCardFormat job(&status, info);
        EXPECT_FALSE(job.Run());
        EXPECT_NE(job.GetError().find("DATA PROTECT"), std::string::npos) << job.GetError();
        EXPECT_NE(job.GetError().find("write-protected"), std::string::npos) << job.GetError();
        EXPECT_TRUE(card->CardPresent()) << "a failed format does not eject";
        // Opened, step 1 reached, never step 2; the card closed as always.
        EXPECT_NE(std::find(recorder.events.begin(), recorder.events.end(), "P6:1"), recorder.events.end());
        EXPECT_EQ(std::find(recorder.events.begin(), recorder.events.end(), "P6:2"), recorder.events.end());
        EXPECT_EQ(recorder.events.back(), "10");
    }
    EXPECT_EQ(Image(), original);
    // Unlocked and closed: another handle can lock the card now.
    CDriveScsi other;
    ASSERT_TRUE(other.OpenVolume(info.m_Letter));
    EXPECT_TRUE(other.Lock()) << other.GetError();
}

TEST_F(CardTools, TestCountsUnreadableBlocksAndReadsTheWholeCard)
{
    // A reader that reports the error, and one that stops short with GOOD status.
    for (const std::string options : {",bad=1000-1009", ",bad=1000-1009,short"}) {
        SCOPED_TRACE(options);
        const CDriveInfo info = Card(2537, options);
        CCardTest job(&status, info);
        ASSERT_TRUE(job.Run()) << job.GetError();
        EXPECT_EQ(job.ReadErrors(), 10u);
        EXPECT_EQ(status.BytesDone, 2537u * 512);
        EXPECT_EQ(status.CurrentBlock, 2537u);
        EXPECT_EQ(job.GetError(), "10 blocks of the card could not be read");
        EXPECT_TRUE(status.HasError);
        // A request of a mebibyte (2,000 blocks) that stops at block 1000, the chunk
        // 1000-1099 block by block (after eight bad blocks in a row from its end back, which
        // leaves block 1008 unasked), and one request for the rest of the card.
        EXPECT_EQ(card->ReadCommands(), 1u + 99u + 1u);
        EXPECT_EQ(card->WriteCommands(), 0u);
        EXPECT_EQ(Image(), original);
    }

    // A card without faults: one request per mebibyte and one for the remainder.
    const CDriveInfo clean = Card(2537);
    CCardTest job(&status, clean);
    ASSERT_TRUE(job.Run()) << job.GetError();
    EXPECT_EQ(job.ReadErrors(), 0u);
    EXPECT_TRUE(job.GetError().empty()) << job.GetError();
    EXPECT_EQ(card->ReadCommands(), 2u);
}

TEST_F(CardTools, TestOfAPulledCardEndsWithTheDevicesError)
{
    const CDriveInfo info = Card(50000, ",pull=30");
    CCardTest job(&status, info);
    EXPECT_FALSE(job.Run());
    EXPECT_EQ(job.GetError(), std::string("The card reader or the card went away (") + std::strerror(ENODEV) + ")");
    EXPECT_EQ(job.Outcome(), JobOutcome::CardGone);
    EXPECT_TRUE(status.HasError);
    EXPECT_GT(status.BytesDone, 0u);
    EXPECT_LT(status.BytesDone, 50000u * 512);

    // The erase of a card that goes away ends the same way.
    const CDriveInfo other = Card(50000, ",pull=30");
    CCardWipe wipe(&status, other);
    EXPECT_FALSE(wipe.Run());
    EXPECT_EQ(wipe.GetError(), job.GetError());
}

TEST_F(CardTools, FormatStepsAndEjectAfterTheLastWrite)
{
    const CDriveInfo info = Card(20000);
    Recorder recorder(JobScope::Format);
    bool presentAtStep2 = false;
    uint64_t writesAtStep2 = 0;
    recorder.onProgress = [&](CSingleMsg& msg) {
        if (msg.Kind == ProgressStep::Position && msg.Value1.ToInt() == 2) {
            presentAtStep2 = card->CardPresent();
            writesAtStep2 = card->WriteCommands();
        }
    };
    CCardFormat job(&status, info);
    ASSERT_TRUE(job.Run()) << job.GetError();
    // No job-started or job-ended status; positions 0, 1, 2 of 0 to 3; the frame's Close.
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"9", "P2:1", "P7:0-3", "P6:0", "P6:1", "P6:2", "S3", "P6:0",
                                                         "P3:0", "10"}));
    EXPECT_TRUE(presentAtStep2);
    EXPECT_GT(writesAtStep2, 0u);
    EXPECT_EQ(card->WriteCommands(), writesAtStep2) << "nothing written after the eject";
    EXPECT_FALSE(card->CardPresent()) << "the format ejects the card";
    const std::vector<uint8_t> image = Image();
    EXPECT_EQ(image[510], 0x55);
    EXPECT_EQ(image[511], 0xAA);
    EXPECT_EQ(image[446], 0x80) << "one active partition";

    // The card put back in answers UNIT ATTENTION once; it is still a card to erase.
    card->InsertCard();
    CCardWipe wipe(&status, info);
    EXPECT_TRUE(wipe.Run()) << wipe.GetError();
}

TEST_F(CardTools, DestructiveToolsRefuseDrivesThatAreNoCardsWithoutWriting)
{
    // A fixed disk.
    {
        const CDriveInfo info = Card(3000);
        Altered<CCardWipe> wipe(&status, info, FixedDisk);
        EXPECT_FALSE(wipe.Run());
        EXPECT_NE(wipe.GetError().find("is not a removable memory card"), std::string::npos) << wipe.GetError();
        Altered<CCardFormat> format(&status, info, FixedDisk);
        EXPECT_FALSE(format.Run());
        EXPECT_EQ(format.GetError(), wipe.GetError());
        EXPECT_EQ(card->WriteCommands(), 0u);
        EXPECT_TRUE(card->CardPresent());
    }
    // An empty slot.
    {
        const CDriveInfo info = Card(3000, ",empty");
        CCardWipe wipe(&status, info);
        EXPECT_FALSE(wipe.Run());
        EXPECT_EQ(wipe.GetError(), std::string("There is no card in ") + info.m_Letter + ":");
        CCardFormat format(&status, info);
        EXPECT_FALSE(format.Run());
        EXPECT_EQ(format.GetError(), wipe.GetError());
        EXPECT_EQ(card->WriteCommands(), 0u);
    }
    // A card that another handle holds locked; the same for another process's lock on
    // the image.
    {
        const CDriveInfo info = Card(3000);
        CDriveScsi holder;
        ASSERT_TRUE(holder.OpenVolume(info.m_Letter));
        ASSERT_TRUE(holder.Lock());
        // The frame's text, perhaps followed by who holds the card.
        const auto lockRefused = [](const std::string& error) {
            return error.rfind("Cannot lock the drive, please make sure the selected drive is available", 0) == 0;
        };
        CCardWipe wipe(&status, info);
        EXPECT_FALSE(wipe.Run());
        EXPECT_TRUE(lockRefused(wipe.GetError())) << wipe.GetError();
        CCardFormat format(&status, info);
        EXPECT_FALSE(format.Run());
        EXPECT_TRUE(lockRefused(format.GetError())) << format.GetError();
        holder.Close();

        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
        CCardWipe again(&status, info);
        EXPECT_FALSE(again.Run());
        EXPECT_TRUE(lockRefused(again.GetError())) << again.GetError();
        ::close(fd);
        EXPECT_EQ(card->WriteCommands(), 0u);
        EXPECT_EQ(Image(), original);
    }
    // A card of 4096-byte blocks: 512-byte requests would erase an eighth of each block.
    {
        const CDriveInfo info = Card(3000);
        Altered<CCardWipe> wipe(&status, info, [](CDriveInfo& i) { i.m_nBlockSize = 4096; });
        EXPECT_FALSE(wipe.Run());
        EXPECT_EQ(wipe.GetError(), "The card reports 4096 bytes per block; only cards of 512-byte blocks can be used");
        EXPECT_EQ(card->WriteCommands(), 0u);
    }
    // The test only reads: a fixed disk may be tested.
    {
        const CDriveInfo info = Card(300);
        Altered<CCardTest> test(&status, info, FixedDisk);
        EXPECT_TRUE(test.Run()) << test.GetError();
        EXPECT_EQ(status.BytesDone, 300u * 512);
    }
}

TEST(CardRefusal, JudgesTheDescription)
{
    CDriveInfo info;
    info.m_Letter = 'E';
    info.m_Descriptor.RemovableMedia = 1;
    EXPECT_EQ(CardRefusal(info), "");
    info.m_Descriptor.RemovableMedia = 0;
    EXPECT_NE(CardRefusal(info).find("E: is not a removable memory card"), std::string::npos);
    info.m_Descriptor.RemovableMedia = 1;
    info.m_Descriptor.DeviceType = 5;   // an optical drive
    EXPECT_NE(CardRefusal(info), "");
    info.m_Descriptor.DeviceType = 0;
    info.m_Sense.Valid = true;
    info.m_Sense.ScsiStatus = 0x02;
    info.m_Sense.Sense[2] = 0x02;
    EXPECT_EQ(CardRefusal(info), "There is no card in E:");
    info.m_Sense.Sense[2] = 0x04;
    EXPECT_EQ(CardRefusal(info), "The card in E: is not ready");
}

}  // namespace

namespace {

// The 512 bytes at block `at` of an image file.
std::vector<uint8_t> ImageBlock(const std::string& path, uint64_t at)
{
    std::vector<uint8_t> block(512);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const ssize_t n = fd >= 0 ? ::pread(fd, block.data(), 512, static_cast<off_t>(at * 512)) : -1;
    if (fd >= 0)
        ::close(fd);
    return n == 512 ? block : std::vector<uint8_t>{};
}

}  // namespace

// Cards of 2^31 blocks and more (1.5 TB and 3 TB cards are sold), as sparse images: the
// description, READ and WRITE past 2^31 and 2^32 through the card device, jobs at the end
// of the card, and a format that FAT32 cannot cover.
TEST_F(CardTools, CardsOfTerabytes)
{
    for (const uint64_t bytes : {1500000000000ull, 3000000000000ull}) {
        SCOPED_TRACE(bytes);
        const uint64_t blocks = bytes / 512;
        const std::string image = home.File("large.img");
        ASSERT_TRUE(px::test::MakeBlankImage(image, bytes));
        char letter = 0;
        std::string error;
        ASSERT_TRUE(VolumeTable::Instance().Attach(image, &letter, &error)) << error;
        auto large = VolumeTable::Instance().Card(letter);
        CDriveScsi drive;
        ASSERT_TRUE(drive.OpenVolume(letter));
        CDriveInfo info;
        drive.ReadDriveInfo(info);
        uint64_t last = 0;
        uint16_t length = 0;
        ASSERT_TRUE(drive.ReadCapacity(last, length));
        EXPECT_EQ(last, blocks - 1);
        EXPECT_EQ(info.BlockCount(), static_cast<int64_t>(blocks));
        EXPECT_NE(info.Report().find(DeviceText::WithCommas(static_cast<int64_t>(blocks))), std::string::npos);

        for (const uint64_t at : {(1ull << 31) + 7, (1ull << 32) + 7}) {
            if (at >= blocks)
                continue;
            std::vector<uint8_t> mark(512, 0x5A);
            std::memcpy(mark.data(), &at, sizeof at);
            uint32_t done = 0;
            ASSERT_TRUE(drive.WriteBlocks(mark.data(), done, at, 1));
            EXPECT_EQ(done, 512u);
            std::vector<uint8_t> back(512);
            ASSERT_TRUE(drive.ReadBlocks(back.data(), done, at, 1));
            EXPECT_EQ(back, mark) << at;
            EXPECT_EQ(ImageBlock(image, at), mark) << "block " << at << " is at its place in the image";
        }
        drive.Close();

        // A test over the last 250 blocks starts with the card's counts and ends with it.
        CTransferStatus runStatus;
        CCardTest test(&runStatus, info);
        test.SetFirstBlock(blocks - 250);
        ASSERT_TRUE(test.Run()) << test.GetError();
        EXPECT_EQ(runStatus.BlockCount, blocks);
        EXPECT_EQ(runStatus.CurrentBlock, blocks);
        EXPECT_EQ(runStatus.Capacity, bytes);

        // An erase of the last 150 blocks: zeros there and nothing written before them.
        const std::vector<uint8_t> marked(512, 0x77);
        {
            const int fd = ::open(image.c_str(), O_WRONLY | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(::pwrite(fd, marked.data(), 512, static_cast<off_t>((blocks - 151) * 512)), 512);
            ASSERT_EQ(::pwrite(fd, marked.data(), 512, static_cast<off_t>((blocks - 1) * 512)), 512);
            ::close(fd);
        }
        CCardWipe wipe(&runStatus, info);
        wipe.SetFirstBlock(blocks - 150);
        ASSERT_TRUE(wipe.Run()) << wipe.GetError();
        EXPECT_EQ(ImageBlock(image, blocks - 151), marked);
        EXPECT_EQ(ImageBlock(image, blocks - 1), std::vector<uint8_t>(512, 0));

        // FAT32 counts 2^32 - 1 sectors at most: a larger card is refused, nothing written.
        if (blocks > 0xFFFFFFFFull) {
            const uint64_t writes = large->WriteCommands();
            CCardFormat format(&runStatus, info);
            EXPECT_FALSE(format.Run());
            EXPECT_NE(format.GetError().find("(2 TiB), so it cannot be formatted"), std::string::npos) << format.GetError();
            EXPECT_EQ(large->WriteCommands(), writes);
        }
        VolumeTable::Instance().Detach(letter);
    }
}
