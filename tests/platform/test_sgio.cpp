// The SG_IO backend of real card readers, with the ioctl replaced: what reaches the kernel
// for each command of the card device, and how the kernel's answers come back to the
// pass-through caller (status, sense, bytes moved, failures and their errors).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/lasterror.h"
#include "platform/linuxdisk.h"
#include "platform/sense.h"
#include "platform/sgio.h"
#include "platform/winioctl.h"
#include "support/fixtures.h"

using namespace px;

namespace {

// The card device's pass-through request: the 44-byte header, the total size, 20 bytes of
// sense area at 48, the data at 68 and 4 spare bytes.
constexpr uint32_t kSenseAt = 48;
constexpr uint32_t kDataAt = 68;

std::vector<uint8_t> Request(std::vector<uint8_t> cdb, uint8_t direction, uint32_t dataLength)
{
    std::vector<uint8_t> b(72 + dataLength, 0);
    Put16(&b[spt::Length], spt::HeaderSize);
    b[spt::CdbLength] = static_cast<uint8_t>(cdb.size());
    b[spt::SenseInfoLength] = 18;
    b[spt::DataIn] = direction;
    Put32(&b[spt::DataTransferLength], dataLength);
    Put32(&b[spt::TimeOutValue], 10);
    Put32(&b[spt::DataBufferOffset], kDataAt);
    Put32(&b[spt::SenseInfoOffset], kSenseAt);
    std::memcpy(&b[spt::Cdb], cdb.data(), cdb.size());
    Put32(&b[44], static_cast<uint32_t>(b.size()));
    return b;
}

// What the kernel was given in one SG_IO call.
struct Seen {
    int fd = -1;
    int interfaceId = 0;
    int direction = 0;
    std::vector<uint8_t> cdb;
    unsigned senseCapacity = 0;
    bool hasSenseBuffer = false;
    unsigned dataLength = 0;
    const void* data = nullptr;
    std::vector<uint8_t> dataOut;
    unsigned timeout = 0;
};

// A stand-in for the kernel: records every call, then lets the test answer it.
class FakeKernel {
public:
    std::function<int(sg_io_hdr_t&)> answer = [](sg_io_hdr_t&) { return 0; };
    std::vector<Seen> calls;

    SgIoctl Ioctl()
    {
        return [this](int fd, sg_io_hdr_t* hdr) {
            Seen seen;
            seen.fd = fd;
            seen.interfaceId = hdr->interface_id;
            seen.direction = hdr->dxfer_direction;
            seen.cdb.assign(hdr->cmdp, hdr->cmdp + hdr->cmd_len);
            seen.senseCapacity = hdr->mx_sb_len;
            seen.hasSenseBuffer = hdr->sbp != nullptr;
            seen.dataLength = hdr->dxfer_len;
            seen.data = hdr->dxferp;
            if (hdr->dxfer_direction == SG_DXFER_TO_DEV && hdr->dxferp)
                seen.dataOut.assign(static_cast<uint8_t*>(hdr->dxferp),
                                    static_cast<uint8_t*>(hdr->dxferp) + hdr->dxfer_len);
            seen.timeout = hdr->timeout;
            calls.push_back(seen);
            return answer(*hdr);
        };
    }
};

// Answers that a device gives.
void CheckCondition(sg_io_hdr_t& hdr, const std::vector<uint8_t>& sense)
{
    hdr.status = 0x02;
    hdr.masked_status = 0x01;
    hdr.driver_status = sgdriver::Sense;
    const size_t n = std::min<size_t>(sense.size(), hdr.mx_sb_len);
    std::memcpy(hdr.sbp, sense.data(), n);
    hdr.sb_len_wr = static_cast<uint8_t>(n);
}

std::vector<uint8_t> FixedSense(uint8_t key, uint8_t asc, uint8_t ascq)
{
    std::vector<uint8_t> s(18, 0);
    s[0] = 0x70;
    s[2] = key;
    s[7] = 10;
    s[12] = asc;
    s[13] = ascq;
    return s;
}

std::string FdPath(int fd)
{
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec).string();
}

class SgIoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        node = home.File("sdb");
        ASSERT_TRUE(test::MakeBlankImage(node, 1 << 20));
        sysPath = home.File("sys-sdb");
        std::filesystem::create_directories(sysPath);
        mountInfo = home.File("mountinfo");
        WriteMountInfo("22 1 0:21 / /proc rw - proc proc rw\n");
        disk.kind = SysfsDisk::Kind::Scsi;
        disk.name = "sdb";
        disk.devNode = node;
        disk.sysPath = sysPath;
        disk.vendor = "Generic-";
        disk.product = "SD/MMC";
        disk.revision = "1.00";
        disk.serial = "000000001206";
        disk.removable = true;
        disk.usb = true;
        disk.busType = BusTypeUsb;
        disk.major = 8;
        disk.minor = 16;
        disk.partitions = {{8, 17}};
        disk.partitionNames = {"sdb1"};
        source.sysRoot = home.File("nosys");
        source.devRoot = home.Path();
        source.mountInfo = mountInfo;
    }

    void WriteMountInfo(const std::string& text) { std::ofstream(mountInfo) << text; }

    Handle Open()
    {
        Handle handle = OpenLinuxDisk("\\\\.\\F:", disk, source, kernel.Ioctl());
        EXPECT_NE(handle, nullptr) << SystemErrorText(GetLastError());
        return handle;
    }

    // Sends one request through the handle as the card device does; the buffer holds the
    // answer afterwards.
    bool Send(const Handle& handle, std::vector<uint8_t>& request)
    {
        uint32_t returned = 0;
        const uint32_t size = static_cast<uint32_t>(request.size());
        return handle->Control(IOCTL_SCSI_PASS_THROUGH, request.data(), size, request.data(), size, &returned);
    }

    test::TempHome home;
    std::string node, sysPath, mountInfo;
    SysfsDisk disk;
    SysfsSource source;
    FakeKernel kernel;
};

// One parser for every reader of sense: fixed and descriptor format alike, never past the
// bytes given; NO SENSE and RECOVERED ERROR with every byte moved are good data.
TEST(Sense, FixedAndDescriptorFormatsAndGoodData)
{
    const uint8_t fixed[18] = {0xF0, 0, 0x03, 0x00, 0x01, 0x02, 0x03, 10, 0, 0, 0, 0, 0x11, 0x01};
    const px::SenseData f = px::ParseSense(fixed, sizeof fixed);
    EXPECT_TRUE(f.Valid);
    EXPECT_EQ(f.Key, px::SenseKey::MediumError);
    EXPECT_EQ(f.Asc, 0x11);
    EXPECT_EQ(f.Ascq, 0x01);
    EXPECT_TRUE(f.HasInformation);
    EXPECT_EQ(f.Information, 0x010203u);
    // Cut short: the key is there, the codes are not read.
    const px::SenseData cut = px::ParseSense(fixed, 12);
    EXPECT_TRUE(cut.Valid);
    EXPECT_EQ(cut.Asc, 0);
    EXPECT_FALSE(px::ParseSense(fixed, 2).Valid);
    EXPECT_FALSE(px::ParseSense(nullptr, 18).Valid);

    // Descriptor format with a 64-bit information descriptor (a block past 2^32).
    const uint8_t descriptor[20] = {0x72, 0x03, 0x11, 0x00, 0, 0, 0, 12,
                                    0x00, 0x0A, 0x80, 0, 0, 0, 0, 0x01, 0, 0, 0, 0x07};
    const px::SenseData d = px::ParseSense(descriptor, sizeof descriptor);
    EXPECT_TRUE(d.Valid);
    EXPECT_EQ(d.Key, px::SenseKey::MediumError);
    EXPECT_EQ(d.Asc, 0x11);
    EXPECT_TRUE(d.HasInformation);
    EXPECT_EQ(d.Information, 0x100000007ull);
    EXPECT_FALSE(px::ParseSense(descriptor, 19).HasInformation) << "descriptor cut short";

    px::SenseData recovered;
    recovered.Valid = true;
    recovered.Key = px::SenseKey::RecoveredError;
    EXPECT_TRUE(px::TransferComplete(2, recovered, 512, 512));
    EXPECT_FALSE(px::TransferComplete(2, recovered, 511, 512));
    EXPECT_FALSE(px::TransferComplete(2, f, 512, 512));
    EXPECT_TRUE(px::TransferComplete(0, {}, 512, 512));
    EXPECT_FALSE(px::TransferComplete(2, {}, 512, 512)) << "CHECK CONDITION without sense";
}

TEST_F(SgIoTest, HeadersForTheCardDeviceCommands)
{
    Handle handle = Open();
    ASSERT_TRUE(handle);

    // READ(10) of 100 blocks from block 0x12345678: in, the caller's data area itself.
    auto read = Request({0x28, 0, 0x12, 0x34, 0x56, 0x78, 0, 0, 100, 0}, spt::DATA_IN, 100 * 512);
    ASSERT_TRUE(Send(handle, read));
    ASSERT_EQ(kernel.calls.size(), 1u);
    const Seen& r = kernel.calls[0];
    EXPECT_EQ(r.interfaceId, 'S');
    EXPECT_EQ(r.direction, SG_DXFER_FROM_DEV);
    EXPECT_EQ(r.cdb, (std::vector<uint8_t>{0x28, 0, 0x12, 0x34, 0x56, 0x78, 0, 0, 100, 0}));
    EXPECT_EQ(r.dataLength, 51200u);
    EXPECT_EQ(r.data, read.data() + kDataAt);
    EXPECT_EQ(r.timeout, 10000u);
    EXPECT_EQ(r.senseCapacity, kSgSenseCapacity);
    EXPECT_TRUE(r.hasSenseBuffer);
    EXPECT_EQ(FdPath(r.fd), node);   // the whole disk's node

    // WRITE(10): out, the caller's bytes reach the kernel.
    auto write = Request({0x2A, 0, 0, 0, 0, 9, 0, 0, 2, 0}, spt::DATA_OUT, 1024);
    for (uint32_t i = 0; i < 1024; ++i)
        write[kDataAt + i] = static_cast<uint8_t>(i * 7);
    ASSERT_TRUE(Send(handle, write));
    const Seen& w = kernel.calls[1];
    EXPECT_EQ(w.direction, SG_DXFER_TO_DEV);
    EXPECT_EQ(w.dataLength, 1024u);
    ASSERT_EQ(w.dataOut.size(), 1024u);
    EXPECT_EQ(w.dataOut[0], 0);
    EXPECT_EQ(w.dataOut[1023], static_cast<uint8_t>(1023 * 7));

    // READ CAPACITY(10), INQUIRY, TEST UNIT READY.
    auto capacity = Request({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, spt::DATA_IN, 8);
    auto inquiry = Request({0x12, 0, 0, 0, 36, 0}, spt::DATA_IN, 36);
    auto tur = Request({0, 0, 0, 0, 0, 0}, spt::DATA_UNSPECIFIED, 0);
    ASSERT_TRUE(Send(handle, capacity));
    ASSERT_TRUE(Send(handle, inquiry));
    ASSERT_TRUE(Send(handle, tur));
    EXPECT_EQ(kernel.calls[2].direction, SG_DXFER_FROM_DEV);
    EXPECT_EQ(kernel.calls[2].cdb.size(), 10u);
    EXPECT_EQ(kernel.calls[2].dataLength, 8u);
    EXPECT_EQ(kernel.calls[3].direction, SG_DXFER_FROM_DEV);
    EXPECT_EQ(kernel.calls[3].cdb, (std::vector<uint8_t>{0x12, 0, 0, 0, 36, 0}));
    EXPECT_EQ(kernel.calls[3].dataLength, 36u);
    EXPECT_EQ(kernel.calls[4].direction, SG_DXFER_NONE);
    EXPECT_EQ(kernel.calls[4].cdb.size(), 6u);
    EXPECT_EQ(kernel.calls[4].dataLength, 0u);
    EXPECT_EQ(kernel.calls[4].data, nullptr);
}

TEST_F(SgIoTest, TimeOutInMillisecondsWithoutReachingNoTimeOut)
{
    sg_io_hdr_t hdr;
    uint8_t sense[kSgSenseCapacity];
    const uint8_t cdb[6] = {};
    ScsiRequest request;
    request.cdb = cdb;
    request.cdbLength = 6;
    request.timeoutSeconds = 10;
    BuildSgIoHeader(request, hdr, sense);
    EXPECT_EQ(hdr.timeout, 10000u);
    // 4.3 million seconds would overflow; UINT_MAX itself means "never time out".
    request.timeoutSeconds = 5000000;
    BuildSgIoHeader(request, hdr, sense);
    EXPECT_EQ(hdr.timeout, UINT_MAX - 1u);
}

TEST_F(SgIoTest, GoodAnswersCarryStatusDataAndBytesMoved)
{
    Handle handle = Open();
    ASSERT_TRUE(handle);
    kernel.answer = [](sg_io_hdr_t& hdr) {
        if (hdr.cmdp[0] == 0x25) {
            uint8_t* d = static_cast<uint8_t*>(hdr.dxferp);
            PutBE32(d, 0x003B7FFF);
            PutBE32(d + 4, 512);
        }
        if (hdr.cmdp[0] == 0x28)
            hdr.resid = 512;   // one block short
        return 0;
    };
    auto capacity = Request({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, spt::DATA_IN, 8);
    ASSERT_TRUE(Send(handle, capacity));
    EXPECT_EQ(capacity[spt::ScsiStatus], 0);
    EXPECT_EQ(capacity[spt::SenseInfoLength], 0);
    EXPECT_EQ(Get32(&capacity[spt::DataTransferLength]), 8u);
    EXPECT_EQ(GetBE32(&capacity[kDataAt]), 0x003B7FFFu);

    auto read = Request({0x28, 0, 0, 0, 0, 0, 0, 0, 100, 0}, spt::DATA_IN, 100 * 512);
    ASSERT_TRUE(Send(handle, read));
    EXPECT_EQ(Get32(&read[spt::DataTransferLength]), 99u * 512);   // dxfer_len - resid

    // The direct request: the kernel moves the data straight into the caller's buffer.
    std::vector<uint8_t> data(100 * 512);
    std::vector<uint8_t> direct(sptd::HeaderSize + 24, 0);
    Put16(&direct[spt::Length], uint16_t(sptd::HeaderSize));
    direct[spt::CdbLength] = 10;
    direct[spt::SenseInfoLength] = 18;
    direct[spt::DataIn] = spt::DATA_IN;
    Put32(&direct[spt::DataTransferLength], uint32_t(data.size()));
    Put32(&direct[sptd::SenseInfoOffset], sptd::HeaderSize);
    direct[sptd::Cdb] = 0x28;
    direct[sptd::Cdb + 8] = 100;
    const uint64_t address = reinterpret_cast<uintptr_t>(data.data());
    std::memcpy(&direct[sptd::DataBuffer], &address, sizeof address);
    void* moved = nullptr;
    kernel.answer = [&moved](sg_io_hdr_t& hdr) {
        moved = hdr.dxferp;
        static_cast<uint8_t*>(hdr.dxferp)[0] = 0xAB;
        hdr.resid = 512;
        return 0;
    };
    uint32_t returned = 0;
    const auto size = uint32_t(direct.size());
    ASSERT_TRUE(handle->Control(IOCTL_SCSI_PASS_THROUGH_DIRECT, direct.data(), size, direct.data(), size, &returned));
    EXPECT_EQ(moved, data.data());
    EXPECT_EQ(data[0], 0xAB);
    EXPECT_EQ(Get32(&direct[spt::DataTransferLength]), 99u * 512);
    // Data asked for without an address to put it is refused, the kernel is not asked.
    std::memset(&direct[sptd::DataBuffer], 0, 8);
    moved = nullptr;
    EXPECT_FALSE(handle->Control(IOCTL_SCSI_PASS_THROUGH_DIRECT, direct.data(), size, direct.data(), size, &returned));
    EXPECT_EQ(GetLastError(), EINVAL);
    EXPECT_EQ(moved, nullptr);
}

TEST_F(SgIoTest, CheckConditionSucceedsWithFixedSense)
{
    Handle handle = Open();
    ASSERT_TRUE(handle);
    kernel.answer = [](sg_io_hdr_t& hdr) {
        auto sense = FixedSense(0x03, 0x11, 0x00);   // MEDIUM ERROR, unrecovered read error
        sense[0] |= 0x80;
        PutBE32(sense.data() + 3, 42);
        CheckCondition(hdr, sense);
        hdr.resid = static_cast<int>(hdr.dxfer_len) - 2 * 512;   // two blocks came before the bad one
        return 0;
    };
    auto read = Request({0x28, 0, 0, 0, 0, 40, 0, 0, 4, 0}, spt::DATA_IN, 4 * 512);
    ASSERT_TRUE(Send(handle, read)) << "CHECK CONDITION is an answer, not a failed request";
    EXPECT_EQ(read[spt::ScsiStatus], 0x02);
    EXPECT_EQ(read[spt::SenseInfoLength], 18);
    EXPECT_EQ(read[kSenseAt + 0], 0xF0);
    EXPECT_EQ(read[kSenseAt + 2] & 0x0F, 0x03);
    EXPECT_EQ(GetBE32(&read[kSenseAt + 3]), 42u);
    EXPECT_EQ(read[kSenseAt + 12], 0x11);
    EXPECT_EQ(read[kSenseAt + 13], 0x00);
    EXPECT_EQ(Get32(&read[spt::DataTransferLength]), 1024u);
}

TEST_F(SgIoTest, DescriptorSenseReachesTheCallerInFixedFormat)
{
    Handle handle = Open();
    ASSERT_TRUE(handle);
    // 72h: key MEDIUM ERROR, ASC/ASCQ 11/04; an information descriptor (LBA 0x1234), a
    // sense-key-specific descriptor and a field replaceable unit descriptor.
    const std::vector<uint8_t> descriptor = {0x72, 0x03, 0x11, 0x04, 0, 0, 0, 24,
                                             0x00, 0x0A, 0x80, 0, 0, 0, 0, 0, 0, 0, 0x12, 0x34,
                                             0x02, 0x06, 0, 0, 0x80, 0x00, 0x05, 0,
                                             0x03, 0x02, 0, 0x77};
    kernel.answer = [&](sg_io_hdr_t& hdr) {
        CheckCondition(hdr, descriptor);
        return 0;
    };
    auto read = Request({0x28, 0, 0, 0, 0x12, 0x34, 0, 0, 1, 0}, spt::DATA_IN, 512);
    ASSERT_TRUE(Send(handle, read));
    EXPECT_EQ(read[spt::SenseInfoLength], 18);
    const uint8_t* s = &read[kSenseAt];
    EXPECT_EQ(s[0], 0xF0) << "fixed format, information valid";
    EXPECT_EQ(s[2] & 0x0F, 0x03);
    EXPECT_EQ(GetBE32(s + 3), 0x1234u);
    EXPECT_EQ(s[7], 10);
    EXPECT_EQ(s[12], 0x11);
    EXPECT_EQ(s[13], 0x04);
    EXPECT_EQ(s[14], 0x77);
    EXPECT_EQ(s[15], 0x80);
    EXPECT_EQ(s[17], 0x05);

    // Deferred errors stay deferred; an information field beyond 32 bits is not valid in
    // the fixed record.
    const std::vector<uint8_t> deferred = {0x73, 0x06, 0x28, 0x00, 0, 0, 0, 12,
                                           0x00, 0x0A, 0x80, 0, 0, 0, 0, 0x01, 0, 0, 0, 0};
    uint8_t fixed[kFixedSenseLength];
    ASSERT_EQ(ToFixedSense(deferred.data(), static_cast<uint32_t>(deferred.size()), fixed), 18);
    EXPECT_EQ(fixed[0], 0x71);
    EXPECT_EQ(fixed[2], 0x06);
    EXPECT_EQ(fixed[12], 0x28);
    EXPECT_EQ(GetBE32(fixed + 3), 0u);

    // A descriptor that claims more bytes than came back is not read past the end.
    const std::vector<uint8_t> cut = {0x72, 0x02, 0x3A, 0x00, 0, 0, 0, 40, 0x00, 0x0A, 0x80, 0};
    ASSERT_EQ(ToFixedSense(cut.data(), static_cast<uint32_t>(cut.size()), fixed), 18);
    EXPECT_EQ(fixed[0], 0x70);
    EXPECT_EQ(fixed[2], 0x02);
    EXPECT_EQ(fixed[12], 0x3A);
    EXPECT_EQ(ToFixedSense(nullptr, 0, fixed), 0);
}

TEST_F(SgIoTest, FailedRequestsReportTheirErrors)
{
    Handle handle = Open();
    ASSERT_TRUE(handle);
    struct Case {
        const char* what;
        std::function<int(sg_io_hdr_t&)> answer;
        int error;
    };
    const Case cases[] = {
        {"DID_TIME_OUT", [](sg_io_hdr_t& h) { h.host_status = sghost::TimeOut; return 0; }, ETIMEDOUT},
        {"DID_NO_CONNECT", [](sg_io_hdr_t& h) { h.host_status = sghost::NoConnect; return 0; }, ENODEV},
        {"DID_ERROR", [](sg_io_hdr_t& h) { h.host_status = sghost::Error; return 0; }, EIO},
        {"driver time-out", [](sg_io_hdr_t& h) { h.driver_status = sgdriver::Timeout; return 0; }, ETIMEDOUT},
        {"EIO", [](sg_io_hdr_t&) { errno = EIO; return -1; }, EIO},
        {"EACCES", [](sg_io_hdr_t&) { errno = EACCES; return -1; }, EACCES},
        {"ENODEV", [](sg_io_hdr_t&) { errno = ENODEV; return -1; }, ENODEV},
    };
    for (const Case& c : cases) {
        kernel.answer = c.answer;
        auto read = Request({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, spt::DATA_IN, 512);
        SetLastError(0);
        EXPECT_FALSE(Send(handle, read)) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
        EXPECT_EQ(Get32(&read[spt::DataTransferLength]), 512u) << c.what << ": the buffer is left as it was";
    }
    // The text is the system's message for the error.
    EXPECT_EQ(SystemErrorText(ETIMEDOUT), std::strerror(ETIMEDOUT));
}

TEST_F(SgIoTest, AnEmptySlotAnswersNotReady)
{
    // The sd driver answers ENOMEDIUM itself for an empty removable slot; the caller sees
    // what a reader says: CHECK CONDITION, NOT READY, medium not present.
    Handle handle = Open();
    ASSERT_TRUE(handle);
    kernel.answer = [](sg_io_hdr_t&) {
        errno = ENOMEDIUM;
        return -1;
    };
    auto tur = Request({0, 0, 0, 0, 0, 0}, spt::DATA_UNSPECIFIED, 0);
    ASSERT_TRUE(Send(handle, tur));
    EXPECT_EQ(tur[spt::ScsiStatus], 0x02);
    EXPECT_EQ(tur[spt::SenseInfoLength], 18);
    EXPECT_EQ(tur[kSenseAt + 2] & 0x0F, 0x02);
    EXPECT_EQ(tur[kSenseAt + 12], 0x3A);
}

TEST_F(SgIoTest, VendorCommandsGoToTheGenericNodeOrFailWithEperm)
{
    const uint8_t identify[10] = {0xD0, 0x19, 0, 0, 0, 0, 0, 0, 0xA0, 0xEC};
    {
        // No generic node: the request fails plainly, nothing reaches the kernel.
        Handle handle = Open();
        ASSERT_TRUE(handle);
        auto request = Request(std::vector<uint8_t>(identify, identify + 10), spt::DATA_IN, 512);
        SetLastError(0);
        EXPECT_FALSE(Send(handle, request));
        EXPECT_EQ(GetLastError(), EPERM);
        EXPECT_TRUE(kernel.calls.empty());
    }
    // A generic node that exists goes to the kernel on its own descriptor; ordinary
    // commands stay on the disk's.
    disk.sgNode = home.File("sg1");
    ASSERT_TRUE(test::MakeBlankImage(disk.sgNode, 0));
    Handle handle = Open();
    ASSERT_TRUE(handle);
    auto request = Request(std::vector<uint8_t>(identify, identify + 10), spt::DATA_IN, 512);
    ASSERT_TRUE(Send(handle, request));
    auto write = Request({0xD1, 0, 0, 0, 0x20, 0, 0, 0xBB, 0xA0, 0x92}, spt::DATA_OUT, 512);
    ASSERT_TRUE(Send(handle, write));
    auto tur = Request({0, 0, 0, 0, 0, 0}, spt::DATA_UNSPECIFIED, 0);
    ASSERT_TRUE(Send(handle, tur));
    ASSERT_EQ(kernel.calls.size(), 3u);
    EXPECT_EQ(FdPath(kernel.calls[0].fd), disk.sgNode);
    EXPECT_EQ(kernel.calls[0].cdb[0], 0xD0);
    EXPECT_EQ(FdPath(kernel.calls[1].fd), disk.sgNode);
    EXPECT_EQ(kernel.calls[1].direction, SG_DXFER_TO_DEV);
    EXPECT_EQ(FdPath(kernel.calls[2].fd), node);
}

TEST_F(SgIoTest, FactsTakeTheBlockCountFromReadCapacity)
{
    Handle handle = Open();
    ASSERT_TRUE(handle);
    int unitAttentions = 1;
    kernel.answer = [&](sg_io_hdr_t& hdr) {
        if (hdr.cmdp[0] != 0x25)
            return 0;
        if (unitAttentions-- > 0) {   // the first answer after a card change
            CheckCondition(hdr, FixedSense(0x06, 0x28, 0x00));
            return 0;
        }
        PutBE32(static_cast<uint8_t*>(hdr.dxferp), 0x003B7FFF);   // a 2 GB card: 3,899,392 blocks
        PutBE32(static_cast<uint8_t*>(hdr.dxferp) + 4, 512);
        return 0;
    };
    uint8_t geometry[DISK_GEOMETRY_EX_SIZE] = {};
    uint32_t returned = 0;
    ASSERT_TRUE(handle->Control(IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, geometry, sizeof geometry, &returned));
    EXPECT_EQ(Get64(geometry + 24), 0x3B8000ull * 512);
    EXPECT_EQ(Get64(geometry), 0x3B8000ull / (255 * 63));
    EXPECT_EQ(Get32(geometry + 8), 11u) << "removable media";

    // The identity for the storage descriptor comes from sysfs.
    uint8_t query[12] = {};
    uint8_t descriptor[512] = {};
    ASSERT_TRUE(handle->Control(IOCTL_STORAGE_QUERY_PROPERTY, query, sizeof query, descriptor, sizeof descriptor,
                                &returned));
    EXPECT_EQ(descriptor[10], 1);
    EXPECT_EQ(Get32(descriptor + 28), BusTypeUsb);
    EXPECT_STREQ(reinterpret_cast<const char*>(descriptor + Get32(descriptor + 12)), "Generic-");
    EXPECT_STREQ(reinterpret_cast<const char*>(descriptor + Get32(descriptor + 16)), "SD/MMC");
    EXPECT_STREQ(reinterpret_cast<const char*>(descriptor + Get32(descriptor + 24)), "000000001206");

    // A card of 2 TiB or more: READ CAPACITY(16) gives the count.
    kernel.answer = [](sg_io_hdr_t& hdr) {
        uint8_t* d = static_cast<uint8_t*>(hdr.dxferp);
        if (hdr.cmdp[0] == 0x25) {
            PutBE32(d, 0xFFFFFFFF);
            PutBE32(d + 4, 512);
        } else if (hdr.cmdp[0] == 0x9E && hdr.cmdp[1] == 0x10) {
            PutBE32(d, 0x1);
            PutBE32(d + 4, 0x0000FFFF);
            PutBE32(d + 8, 512);
        }
        return 0;
    };
    ASSERT_TRUE(handle->Control(IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, geometry, sizeof geometry, &returned));
    EXPECT_EQ(Get64(geometry + 24), 0x100010000ull * 512);

    // An empty slot: no geometry (no medium), the descriptor all the same.
    kernel.answer = [](sg_io_hdr_t& hdr) {
        CheckCondition(hdr, FixedSense(0x02, 0x3A, 0x00));
        return 0;
    };
    SetLastError(0);
    EXPECT_FALSE(handle->Control(IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, geometry, sizeof geometry, &returned));
    EXPECT_EQ(GetLastError(), ENOMEDIUM);
    EXPECT_TRUE(handle->Control(IOCTL_STORAGE_QUERY_PROPERTY, query, sizeof query, descriptor, sizeof descriptor,
                                &returned));

    // A reader that is gone cannot be asked at all.
    kernel.answer = [](sg_io_hdr_t& hdr) {
        hdr.host_status = sghost::NoConnect;
        return 0;
    };
    EXPECT_FALSE(handle->Control(IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, geometry, sizeof geometry, &returned));
    EXPECT_EQ(GetLastError(), ENODEV);
    std::filesystem::remove_all(sysPath);
    EXPECT_FALSE(handle->Control(IOCTL_STORAGE_QUERY_PROPERTY, query, sizeof query, descriptor, sizeof descriptor,
                                 &returned));
    EXPECT_EQ(GetLastError(), ENODEV);
}

TEST_F(SgIoTest, EjectAllowsRemovalThenUnloads)
{
    Handle handle = Open();
    ASSERT_TRUE(handle);
    kernel.answer = [](sg_io_hdr_t& hdr) {
        if (hdr.cmdp[0] == 0x1E)   // a reader without a medium lock refuses it
            CheckCondition(hdr, FixedSense(0x05, 0x20, 0x00));
        return 0;
    };
    uint32_t returned = 0;
    ASSERT_TRUE(handle->Control(IOCTL_STORAGE_EJECT_MEDIA, nullptr, 0, nullptr, 0, &returned));
    ASSERT_EQ(kernel.calls.size(), 2u);
    EXPECT_EQ(kernel.calls[0].cdb, (std::vector<uint8_t>{0x1E, 0, 0, 0, 0, 0}));
    EXPECT_EQ(kernel.calls[1].cdb, (std::vector<uint8_t>{0x1B, 0, 0, 0, 0x02, 0}));
    EXPECT_EQ(kernel.calls[1].direction, SG_DXFER_NONE);

    // A reader that cannot unload says so.
    kernel.calls.clear();
    kernel.answer = [](sg_io_hdr_t& hdr) {
        CheckCondition(hdr, FixedSense(0x05, 0x24, 0x00));
        return 0;
    };
    EXPECT_FALSE(handle->Control(IOCTL_STORAGE_EJECT_MEDIA, nullptr, 0, nullptr, 0, &returned));
    EXPECT_EQ(GetLastError(), ENOTSUP);

    // A mounted card is not ejected under its file system: nothing is sent.
    kernel.calls.clear();
    kernel.answer = [](sg_io_hdr_t&) { return 0; };
    WriteMountInfo("40 27 8:17 / /media/anna/EOS_DIGITAL rw,nosuid - vfat /dev/sdb1 rw\n");
    EXPECT_FALSE(handle->Control(IOCTL_STORAGE_EJECT_MEDIA, nullptr, 0, nullptr, 0, &returned));
    EXPECT_EQ(GetLastError(), EBUSY);
    EXPECT_TRUE(kernel.calls.empty());

    // A partition that LVM or LUKS holds shows no mount, but the disk is in use all the
    // same: nothing is sent either.
    WriteMountInfo("");
    std::filesystem::create_directories(sysPath + "/sdb1/holders/dm-0");
    EXPECT_FALSE(handle->Control(IOCTL_STORAGE_EJECT_MEDIA, nullptr, 0, nullptr, 0, &returned));
    EXPECT_EQ(GetLastError(), EBUSY);
    EXPECT_TRUE(kernel.calls.empty());
    std::filesystem::remove_all(sysPath + "/sdb1");

    // A write-protected card is open read-only, where the kernel refuses PREVENT ALLOW:
    // the unload still goes out.
    kernel.answer = [](sg_io_hdr_t& hdr) {
        if (hdr.cmdp[0] == 0x1E) {
            errno = EPERM;
            return -1;
        }
        return 0;
    };
    EXPECT_TRUE(handle->Control(IOCTL_STORAGE_EJECT_MEDIA, nullptr, 0, nullptr, 0, &returned));
    ASSERT_EQ(kernel.calls.size(), 2u);
    EXPECT_EQ(kernel.calls[1].cdb[0], 0x1B);
}

TEST_F(SgIoTest, LockIsExclusiveAndRefusedForAMountedCard)
{
    Handle first = Open();
    Handle second = Open();
    ASSERT_TRUE(first && second);
    uint32_t returned = 0;
    ASSERT_TRUE(first->Control(FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned));
    EXPECT_TRUE(first->Control(FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned)) << "a second lock is a no-op";
    SetLastError(0);
    EXPECT_FALSE(second->Control(FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned));
    EXPECT_EQ(GetLastError(), EBUSY);
    ASSERT_TRUE(first->Control(FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &returned));
    EXPECT_FALSE(first->Control(FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &returned)) << "not locked";
    ASSERT_TRUE(second->Control(FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned));
    // Closing a handle drops its lock.
    second.reset();
    ASSERT_TRUE(first->Control(FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned));
    ASSERT_TRUE(first->Control(FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &returned));

    // A partition of the card in the mount table: busy, and the text names the mount.
    WriteMountInfo("22 1 0:21 / /proc rw - proc proc rw\n"
                   "40 27 8:17 / /media/anna/EOS\\040DIGITAL rw,nosuid shared:1 - vfat /dev/sdb1 rw\n");
    SetLastError(0);
    EXPECT_FALSE(first->Control(FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned));
    EXPECT_EQ(GetLastError(), EBUSY);
    EXPECT_FALSE(first->Control(FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &returned));
    const std::string text = MountedDiskText(disk.devNode, MountsOfDisk(source, disk));
    EXPECT_NE(text.find(node), std::string::npos) << text;
    EXPECT_NE(text.find("/media/anna/EOS DIGITAL"), std::string::npos) << text;
    EXPECT_NE(text.find("umount '/media/anna/EOS DIGITAL'"), std::string::npos) << text;
}

TEST_F(SgIoTest, PartitionNodesAreNeverOpened)
{
    // OpenLinuxDiskPath resolves a partition to its disk: a fake sysfs with sdb and sdb1.
    const std::string sys = home.File("sys");
    const std::string diskDir = sys + "/devices/pci0000:00/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb";
    std::filesystem::create_directories(diskDir + "/sdb1");
    std::filesystem::create_directories(sys + "/block");
    std::filesystem::create_directories(sys + "/class/block");
    std::ofstream(diskDir + "/sdb1/partition") << "1\n";
    std::ofstream(diskDir + "/removable") << "1\n";
    std::filesystem::create_symlink("../devices/pci0000:00/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb",
                                    sys + "/block/sdb");
    std::filesystem::create_symlink(
        "../../devices/pci0000:00/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb/sdb1",
        sys + "/class/block/sdb1");
    source.sysRoot = sys;
    ASSERT_TRUE(test::MakeBlankImage(home.File("sdb1"), 4096));
    Handle handle = OpenLinuxDiskPath(home.File("sdb1"), source, kernel.Ioctl());
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->Path(), node);
    auto tur = Request({0, 0, 0, 0, 0, 0}, spt::DATA_UNSPECIFIED, 0);
    ASSERT_TRUE(Send(handle, tur));
    ASSERT_EQ(kernel.calls.size(), 1u);
    EXPECT_EQ(FdPath(kernel.calls[0].fd), node);
    EXPECT_EQ(OpenLinuxDiskPath(home.File("nothing"), source, kernel.Ioctl()), nullptr);
    EXPECT_EQ(GetLastError(), ENODEV);
}

}  // namespace
