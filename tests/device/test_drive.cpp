// The card device over the emulated reader and over a scripted device: SCSI commands,
// their faults, the status text, volume controls and error texts.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "device/cdrivescsi.h"
#include "platform/lasterror.h"
#include "platform/linuxdisk.h"
#include "platform/sysfsdisks.h"
#include "platform/volumetable.h"
#include "platform/winioctl.h"
#include "support/fixtures.h"

using px::VolumeTable;
using px::test::TempHome;

namespace {

class CardTest : public ::testing::Test {
protected:
    void SetUp() override { VolumeTable::Instance().DetachAll(); }
    void TearDown() override { VolumeTable::Instance().DetachAll(); }

    // A card image of the given blocks whose block N starts with the bytes of N.
    char Attach(uint32_t blocks, const std::string& options = {})
    {
        const std::string path = home.File("card" + std::to_string(++m_images) + ".img");
        std::vector<uint8_t> bytes(size_t(blocks) * 512);
        for (uint32_t b = 0; b < blocks; ++b)
            std::memcpy(&bytes[size_t(b) * 512], &b, 4);
        EXPECT_TRUE(px::test::WriteFile(path, bytes));
        char letter = 0;
        std::string error;
        EXPECT_TRUE(VolumeTable::Instance().Attach(path + options, &letter, &error)) << error;
        m_path = path;
        return letter;
    }
    static uint32_t BlockTag(const uint8_t* block)
    {
        uint32_t tag;
        std::memcpy(&tag, block, 4);
        return tag;
    }

    TempHome home;
    std::string m_path;
    int m_images = 0;
};

TEST_F(CardTest, OpenVolumeLetterRules)
{
    VolumeTable::Instance().Attach("e=" + home.File("x"), nullptr, nullptr);   // missing: refused
    const char e = Attach(8);
    ASSERT_EQ(e, 'D');
    CDriveScsi drive;
    EXPECT_TRUE(drive.OpenVolume('d'));
    EXPECT_EQ(drive.Letter(), 'D');
    EXPECT_EQ(drive.DriveNumber(), 3);
    EXPECT_EQ(drive.DevicePath(), "\\\\.\\d:");
    EXPECT_TRUE(drive.Close());
    EXPECT_FALSE(drive.IsOpen());
    EXPECT_FALSE(drive.Close());   // nothing was open

    // A and Z are never cards: no image or reader gets them, so they never open.
    EXPECT_FALSE(VolumeTable::Instance().Attach("Z=" + m_path, nullptr, nullptr));
    EXPECT_FALSE(VolumeTable::Instance().Attach("A=" + m_path, nullptr, nullptr));
    for (char letter : {'Z', 'A'}) {
        CDriveScsi refused;
        EXPECT_FALSE(refused.OpenVolume(letter));
        EXPECT_EQ(refused.Letter(), 0);
    }
    CDriveScsi missing;
    EXPECT_FALSE(missing.OpenVolume('Q'));
    EXPECT_EQ(missing.GetError(), "No such file or directory");
    EXPECT_EQ(missing.DevicePath(), "");
}

TEST_F(CardTest, ReadsAndWritesAndTheRangeCheck)
{
    const char letter = Attach(250);
    CDriveScsi drive;
    ASSERT_TRUE(drive.OpenVolume(letter));
    std::vector<uint8_t> buffer(100 * 512);
    uint32_t done = 0;
    ASSERT_TRUE(drive.ReadBlocks(buffer.data(), done, 200, 50));
    EXPECT_EQ(done, 50u * 512);
    EXPECT_EQ(BlockTag(&buffer[0]), 200u);
    EXPECT_EQ(BlockTag(&buffer[49 * 512]), 249u);
    EXPECT_EQ(drive.LastScsiStatus(), 0);

    // Past the end: the request succeeds, the device answers ILLEGAL REQUEST 5/21.
    ASSERT_TRUE(drive.ReadBlocks(buffer.data(), done, 201, 50));
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(drive.LastScsiStatus(), 2);
    EXPECT_EQ(drive.LastSense()[2] & 0x0F, 5);
    EXPECT_EQ(drive.LastSense()[12], 0x21);

    std::vector<uint8_t> out(512, 0xAB);
    ASSERT_TRUE(drive.WriteBlocks(out.data(), done, 249, 1));
    EXPECT_EQ(done, 512u);
    ASSERT_TRUE(drive.WriteBlocks(out.data(), done, 250, 1));
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(drive.LastSense()[12], 0x21);
    ASSERT_TRUE(drive.ReadBlocks(buffer.data(), done, 249, 1));
    EXPECT_EQ(buffer[511], 0xAB);
    auto card = VolumeTable::Instance().Card(letter);
    EXPECT_EQ(card->ReadCommands(), 3u);
    EXPECT_EQ(card->WriteCommands(), 2u);
}

TEST_F(CardTest, UnreadableBlocksMoveTheBytesBeforeThem)
{
    const char letter = Attach(300, ",bad=120-129,bad=250");
    CDriveScsi drive;
    ASSERT_TRUE(drive.OpenVolume(letter));
    std::vector<uint8_t> buffer(100 * 512);
    uint32_t done = 0;
    ASSERT_TRUE(drive.ReadBlocks(buffer.data(), done, 100, 100));
    EXPECT_EQ(done, 20u * 512);
    EXPECT_EQ(drive.LastScsiStatus(), 2);
    EXPECT_EQ(drive.LastSense()[2] & 0x0F, 3);   // MEDIUM ERROR
    EXPECT_EQ(drive.LastSense()[12], 0x11);
    EXPECT_EQ(px::GetBE32(drive.LastSense() + 3), 120u);   // the first bad block
    EXPECT_EQ(BlockTag(&buffer[19 * 512]), 119u);
    ASSERT_TRUE(drive.ReadBlocks(buffer.data(), done, 130, 100));
    EXPECT_EQ(done, 100u * 512);
    EXPECT_EQ(drive.LastScsiStatus(), 0);
    ASSERT_TRUE(drive.ReadBlocks(buffer.data(), done, 250, 1));
    EXPECT_EQ(done, 0u);

    // A reader that hides errors: the transfer stops short with GOOD status.
    const char quiet = Attach(300, ",bad=150,short");
    CDriveScsi other;
    ASSERT_TRUE(other.OpenVolume(quiet));
    ASSERT_TRUE(other.ReadBlocks(buffer.data(), done, 100, 100));
    EXPECT_EQ(done, 50u * 512);
    EXPECT_EQ(other.LastScsiStatus(), 0);
}

TEST_F(CardTest, WriteProtectedCardAnswersDataProtect)
{
    const char letter = Attach(20, ",readonly");
    const auto before = px::test::ReadFile(m_path);
    CDriveScsi drive;
    ASSERT_TRUE(drive.OpenVolume(letter));
    std::vector<uint8_t> zeros(512 * 10, 0);
    uint32_t done = 99;
    ASSERT_TRUE(drive.WriteBlocks(zeros.data(), done, 0, 10));
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(drive.LastScsiStatus(), 2);
    EXPECT_EQ(drive.LastSense()[2] & 0x0F, 7);
    EXPECT_EQ(drive.LastSense()[12], 0x27);
    EXPECT_EQ(CDriveScsi::SenseKeyName(drive.LastSense()[2]), "DATA PROTECT");
    EXPECT_EQ(px::test::ReadFile(m_path), before);
}

TEST_F(CardTest, EmptySlotAndInsertedCard)
{
    const char letter = Attach(64, ",empty");
    CDriveScsi drive;
    ASSERT_TRUE(drive.OpenVolume(letter));
    CUnitStatus status;
    ASSERT_TRUE(drive.TestUnitReady(status));
    EXPECT_FALSE(status.Ready);
    EXPECT_EQ(status.ScsiStatus, 2);
    EXPECT_EQ(status.SenseKey, 2);
    EXPECT_EQ(drive.LastSense()[12], 0x3A);
    EXPECT_NE(status.StatusText.find("Sense Key ................................ 2 (NOT READY)"), std::string::npos);

    CDriveInfo info;
    EXPECT_TRUE(drive.ReadDriveInfo(info));   // the reader answers, the card is missing
    EXPECT_FALSE(info.IsCard());
    EXPECT_FALSE(info.m_GeometryEx.IsValid());
    EXPECT_TRUE(info.m_Descriptor.IsValid());

    VolumeTable::Instance().Card(letter)->InsertCard();
    ASSERT_TRUE(drive.TestUnitReady(status));
    EXPECT_EQ(status.SenseKey, 6);   // UNIT ATTENTION once after insertion
    ASSERT_TRUE(drive.TestUnitReady(status));
    EXPECT_TRUE(status.Ready);
    EXPECT_EQ(status.StatusText, "SCSI Status ... 0 (GOOD)");
}

TEST_F(CardTest, VanishedReaderFailsTheRequestWithTheSystemText)
{
    const char letter = Attach(500, ",pull=3");
    CDriveScsi drive;
    ASSERT_TRUE(drive.OpenVolume(letter));
    std::vector<uint8_t> buffer(100 * 512);
    uint32_t done = 0;
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(drive.ReadBlocks(buffer.data(), done, i * 100, 100));
    EXPECT_FALSE(drive.ReadBlocks(buffer.data(), done, 300, 100));
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(drive.GetError(), "No such device");
    CUnitStatus status;
    EXPECT_FALSE(drive.TestUnitReady(status));
    EXPECT_FALSE(status.Ready);
    EXPECT_FALSE(drive.Lock());
    CDriveScsi again;
    EXPECT_FALSE(again.OpenVolume(letter));
}

TEST_F(CardTest, LockIsExclusiveAndCloseUnlocks)
{
    const char letter = Attach(10);
    CDriveScsi first, second;
    ASSERT_TRUE(first.OpenVolume(letter));
    ASSERT_TRUE(second.OpenVolume(letter));
    EXPECT_TRUE(first.Lock());
    EXPECT_FALSE(second.Lock());
    EXPECT_TRUE(second.IsLocked());   // the flag is set whether or not the lock held
    EXPECT_EQ(second.GetError(), "Device or resource busy");
    first.Close();
    CDriveScsi third;
    ASSERT_TRUE(third.OpenVolume(letter));
    EXPECT_TRUE(third.Lock());
}

TEST_F(CardTest, DriveInfoAndReportOfAnImage)
{
    const char letter = Attach(2048, ",reader=Quillon/CF Reader/2.07");
    CDriveScsi drive;
    ASSERT_TRUE(drive.OpenVolume(letter));
    CDriveInfo info;
    ASSERT_TRUE(drive.ReadDriveInfo(info));
    EXPECT_TRUE(info.IsCard());
    EXPECT_EQ(info.BlockCount(), 2048);
    EXPECT_EQ(info.DiskSize(), 2048 * 512);
    EXPECT_EQ(info.BytesPerSector(), 512);
    EXPECT_EQ(info.MediaTypeText(), "Removable");
    const std::string expected =
        "Card Information:\r\n"
        "Card Path........................D:\\\r\n"
        "Disk Size........................1048576\r\n"
        "Bytes Per Sector.................512\r\n"
        "Media Type.......................Removable\r\n"
        "Blocks...........................2,048\r\n"
        "Reader Vendor....................Quillon\r\n"
        "Reader Name......................CF Reader\r\n"
        "Reader Revision..................2.07\r\n"
        "Bus Type.........................Usb\r\n"
        "Device Type......................Disk";
    EXPECT_EQ(info.Report(), expected);
    EXPECT_EQ(info.m_Inquiry.Dump().substr(0, 31), "Device Type ............. 0\r\nDe");
    EXPECT_NE(info.m_Inquiry.Dump().find("Product ID .............. CF Reader       \r\n"), std::string::npos);
    EXPECT_NE(info.m_GeometryEx.Dump().find("DiskSize          1048576       \r\n"), std::string::npos);
    EXPECT_NE(info.m_Descriptor.Dump().find("BusType           Usb\r\n"), std::string::npos);
}

// A device answering from a script, for answers the emulated reader never gives.
class ScriptedHandle : public px::DeviceHandle {
public:
    std::function<bool(const px::ScsiRequest&, px::ScsiResult&)> execute;
    bool lockResult = true;
    int unlocks = 0;
    ScriptedHandle() : DeviceHandle("scripted") {}

protected:
    bool Execute(const px::ScsiRequest& request, px::ScsiResult& result) override { return execute(request, result); }
    bool Facts(px::DiskFacts& facts) override
    {
        facts.mediaPresent = true;
        facts.blockCount = 1000;
        return true;
    }
    bool Lock() override
    {
        if (!lockResult)
            px::SetLastError(EBUSY);
        return lockResult;
    }
    bool Unlock() override
    {
        ++unlocks;
        return true;
    }
    bool Dismount() override { return true; }
    bool Eject() override { return true; }
};

class ScriptedDrive : public CDriveScsi {
public:
    explicit ScriptedDrive(std::shared_ptr<ScriptedHandle> handle) { m_hDevice = std::move(handle); }
};

TEST(ScsiAnswers, ReadCapacityBlockLengthZeroAndLastBlockZero)
{
    auto handle = std::make_shared<ScriptedHandle>();
    handle->execute = [](const px::ScsiRequest& r, px::ScsiResult& res) {
        if (r.cdb[0] == 0x25) {
            std::memset(r.data, 0, 8);   // last block 0, block length 0
            res.transferred = 8;
        }
        return true;
    };
    ScriptedDrive drive(handle);
    uint64_t last = 7;
    uint16_t length = 7;
    ASSERT_TRUE(drive.ReadCapacity(last, length));
    EXPECT_EQ(last, 0u);
    EXPECT_EQ(length, 512);
    CDriveInfo info;
    drive.ReadDriveInfo(info);
    EXPECT_EQ(info.m_nBlockCount, 0);
}

TEST(ScsiAnswers, UnitReadinessFromStatusAndSense)
{
    auto handle = std::make_shared<ScriptedHandle>();
    uint8_t status = 0, senseLength = 0, key = 0;
    handle->execute = [&](const px::ScsiRequest&, px::ScsiResult& res) {
        res.status = status;
        res.senseLength = senseLength;
        res.sense[0] = 0xF0;
        res.sense[2] = key;
        res.sense[7] = 10;
        res.sense[12] = 0x3A;
        return true;
    };
    ScriptedDrive drive(handle);
    CUnitStatus unit;
    status = 2, senseLength = 18, key = 0;   // check condition, NO SENSE: ready
    ASSERT_TRUE(drive.TestUnitReady(unit));
    EXPECT_TRUE(unit.Ready);
    status = 2, senseLength = 10, key = 0;   // too few sense bytes: not ready
    ASSERT_TRUE(drive.TestUnitReady(unit));
    EXPECT_FALSE(unit.Ready);
    EXPECT_EQ(unit.StatusText, "SCSI Status ... 2 (CHECK CONDITION)\r\nSense Data:");
    status = 1, senseLength = 0;
    ASSERT_TRUE(drive.TestUnitReady(unit));
    EXPECT_TRUE(unit.Ready);
    EXPECT_EQ(unit.StatusText, "SCSI Status ... 1 (GOOD)");   // looked up masked, shown as sent
    status = 0x0C, senseLength = 0;   // masked 0x0C is not in the table
    ASSERT_TRUE(drive.TestUnitReady(unit));
    EXPECT_EQ(unit.StatusText, "SCSI Status ... ");
    status = 2, senseLength = 18, key = 2;
    ASSERT_TRUE(drive.TestUnitReady(unit));
    EXPECT_EQ(unit.StatusText,
              "SCSI Status ... 2 (CHECK CONDITION)\r\nSense Data:\r\n"
              "Error Code ............................... 70\r\n"
              "Valid .................................... 1\r\n"
              "Sense Key ................................ 2 (NOT READY)\r\n"
              "Information .............................. 00000000\r\n"
              "Additional Length ........................ 0A\r\n"
              "Additional Sense Code (ASC) .............. 3A\r\n"
              "Additional Sense Code Qualifier (ASCQ) ... 00");
    CUnitSense sense;
    ASSERT_TRUE(drive.TestUnitReadySense(sense));
    EXPECT_TRUE(sense.Valid);
    EXPECT_EQ(sense.Sense[12], 0x3A);
}

TEST(ScsiAnswers, RequestBufferLayout)
{
    const uint8_t cdb[10] = {0x28, 0, 0x01, 0x02, 0x03, 0x04, 0, 0, 100, 0};
    const auto request = CDriveScsi::BuildRequest(cdb, 10, 1, 51200);
    ASSERT_EQ(request.size(), 72u + 51200);
    EXPECT_EQ(px::Get16(&request[0]), 44);
    EXPECT_EQ(request[6], 10);     // CdbLength
    EXPECT_EQ(request[7], 18);     // SenseInfoLength
    EXPECT_EQ(request[8], 1);      // DataIn
    EXPECT_EQ(px::Get32(&request[12]), 51200u);
    EXPECT_EQ(px::Get32(&request[16]), 10u);   // seconds
    EXPECT_EQ(px::Get32(&request[20]), 68u);
    EXPECT_EQ(px::Get32(&request[24]), 48u);
    EXPECT_EQ(std::memcmp(&request[28], cdb, 10), 0);
    EXPECT_EQ(px::Get32(&request[44]), 72u + 51200);
}

TEST(ScsiAnswers, CloseAfterAFailedLockStillUnlocks)
{
    auto handle = std::make_shared<ScriptedHandle>();
    handle->execute = [](const px::ScsiRequest&, px::ScsiResult&) { return true; };
    handle->lockResult = false;
    {
        ScriptedDrive drive(handle);
        EXPECT_FALSE(drive.Lock());
        EXPECT_EQ(drive.GetError(), "Device or resource busy");
        drive.Close();
    }
    EXPECT_EQ(handle->unlocks, 1);
    EXPECT_EQ(CDriveScsi().BusName(), "Usb");
}

TEST(ErrorText, SystemTextAndLineBreaks)
{
    CDriveScsi drive;
    px::SetLastError(EACCES);
    drive.SetError("First line\r\nsecond", true);
    EXPECT_EQ(drive.GetError(), "First line  second Permission denied");
    px::SetLastError(987654);
    drive.SetError({}, true);
    EXPECT_EQ(drive.GetError(), "FormatMessage Netive Error");
    drive.SetError("Plain\n", false);
    EXPECT_EQ(drive.GetError(), "Plain\n");
}

// The largest transfer comes from the adapter descriptor: a mebibyte for an image, the
// kernel's queue limit (sysfs max_sectors_kb) for a real reader, usb-storage's 120 KiB
// when neither sysfs nor BLKSECTGET says; a large request within it reads whole.
TEST_F(CardTest, LargestTransferFromTheAdapterDescriptor)
{
    const char letter = Attach(2100);
    CDriveScsi drive;
    ASSERT_TRUE(drive.OpenVolume(letter));
    EXPECT_EQ(drive.MaxTransferBytes(), 1u << 20);
    std::vector<uint8_t> buffer(2048 * 512);
    uint32_t done = 0;
    ASSERT_TRUE(drive.ReadBlocks(buffer.data(), done, 50, 2048));
    EXPECT_EQ(done, 2048u * 512);
    EXPECT_EQ(BlockTag(&buffer[2047 * 512]), 2097u);
    // A one-block request after it: the request buffer is not shrunk, the answer is right.
    ASSERT_TRUE(drive.ReadBlocks(buffer.data(), done, 7, 1));
    EXPECT_EQ(done, 512u);
    EXPECT_EQ(BlockTag(buffer.data()), 7u);

    // A SCSI disk as sysfs describes it: block/sdb and its queue folder.
    const std::string device = home.File("sys/devices/usb1/host6/block/sdb");
    std::filesystem::create_directories(device + "/queue");
    std::filesystem::create_directories(home.File("sys/block"));
    std::filesystem::create_symlink(device, home.File("sys/block/sdb"));
    std::ofstream(device + "/size") << "62521344\n";
    std::ofstream(device + "/queue/max_sectors_kb") << "240\n";
    px::SysfsSource source;
    source.sysRoot = home.File("sys");
    source.devRoot = home.Path();
    source.idPath = [](const px::SysfsDisk&) { return std::string(); };
    px::SysfsDisk disk;
    ASSERT_TRUE(px::ReadSysfsDisk(source, "sdb", disk));
    EXPECT_EQ(disk.maxTransferBytes, 240u * 1024);

    // Its handle answers the adapter query with that limit; without one (a plain file
    // knows no BLKSECTGET) with 120 KiB.
    ASSERT_TRUE(px::test::MakeBlankImage(home.File("sdb"), 1 << 20));
    source.mountInfo = home.File("mountinfo");
    std::ofstream(source.mountInfo) << "22 1 0:21 / /proc rw - proc proc rw\n";
    auto capacity = [](int, sg_io_hdr_t* hdr) {
        if (hdr->cmdp[0] == 0x25 && hdr->dxfer_len >= 8) {
            const uint8_t answer[8] = {0, 0, 0x07, 0xFF, 0, 0, 2, 0};   // 2048 blocks of 512
            std::memcpy(hdr->dxferp, answer, 8);
        }
        hdr->status = 0;
        hdr->resid = 0;
        return 0;
    };
    for (const uint32_t sysfs : {240u * 1024, 0u}) {
        disk.maxTransferBytes = sysfs;
        px::Handle handle = px::OpenLinuxDisk("\\\\.\\F:", disk, source, capacity);
        ASSERT_NE(handle, nullptr) << px::SystemErrorText(px::GetLastError());
        uint8_t query[12] = {1};   // StorageAdapterProperty
        uint8_t answer[32] = {};
        uint32_t returned = 0;
        ASSERT_TRUE(handle->Control(px::IOCTL_STORAGE_QUERY_PROPERTY, query, sizeof query, answer, sizeof answer,
                                    &returned))
            << px::SystemErrorText(px::GetLastError());
        EXPECT_EQ(returned, 32u);
        EXPECT_EQ(px::Get32(answer + 8), sysfs ? sysfs : 240u * 512);
        // The device query is answered as before.
        query[0] = 0;
        uint8_t device[512] = {};
        ASSERT_TRUE(handle->Control(px::IOCTL_STORAGE_QUERY_PROPERTY, query, sizeof query, device, sizeof device,
                                    &returned));
        EXPECT_EQ(px::Get32(device + 0), px::STORAGE_DESCRIPTOR_FIXED);
    }
}

}  // namespace
