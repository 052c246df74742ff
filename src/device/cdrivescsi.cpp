#include "device/cdrivescsi.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/lasterror.h"
#include "platform/winioctl.h"

namespace {

constexpr uint32_t kBlock = 512;
constexpr uint32_t kTotalSizeOffset = 44;
constexpr uint32_t kSenseOffset = 48;
constexpr uint32_t kDataOffset = 68;
constexpr uint8_t kSenseWanted = 18;
constexpr uint32_t kTimeoutSeconds = 10;

struct StatusName {
    uint8_t code;
    const char* name;
};
const StatusName kStatusNames[] = {
    {0x00, "GOOD"}, {0x02, "CHECK CONDITION"}, {0x04, "CONDITION MET"}, {0x08, "BUSY"}, {0x10, "INTERMEDIATE"},
    {0x14, "INTERMEDIATE CONDITION MET"}, {0x18, "RESERVATION CONFLICT"}, {0x22, "COMMAND TERMINATED"},
    {0x28, "QUEUE FULL"},
};

const char* const kSenseKeys[16] = {"NO SENSE",        "RECOVERED ERROR", "NOT READY",       "MEDIUM ERROR",
                                    "HARDWARE ERROR",  "ILLEGAL REQUEST", "UNIT ATTENTION",  "DATA PROTECT",
                                    "BLANK CHECK",     "VENDOR SPECIFIC", "RESERVED",        "ABORTED COMMAND",
                                    "RESERVED",        "VOLUME OVERFLOW", "MISCOMPARE",      "RESERVED"};

std::string Format(const char* format, unsigned a, unsigned b = 0, unsigned c = 0, unsigned d = 0)
{
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, format, a, b, c, d);
    return buffer;
}

}  // namespace

std::vector<uint8_t> CDriveScsi::BuildRequest(const uint8_t* cdb, uint8_t cdbLength, uint8_t direction,
                                              uint32_t dataLength)
{
    std::vector<uint8_t> request(72 + dataLength, 0);
    FillRequest(request.data(), cdb, cdbLength, direction, dataLength);
    return request;
}

void CDriveScsi::FillRequest(uint8_t* b, const uint8_t* cdb, uint8_t cdbLength, uint8_t direction, uint32_t dataLength)
{
    const uint32_t total = 72 + dataLength;
    // The header, the total size and the sense area; the data area is the caller's.
    std::memset(b, 0, kDataOffset);
    std::memset(b + kDataOffset + dataLength, 0, total - kDataOffset - dataLength);
    FillHeader(b, px::spt::HeaderSize, cdbLength, direction, dataLength);
    px::Put32(b + px::spt::DataBufferOffset, kDataOffset);
    px::Put32(b + px::spt::SenseInfoOffset, kSenseOffset);
    std::memcpy(b + px::spt::Cdb, cdb, cdbLength);
    px::Put32(b + kTotalSizeOffset, total);
}

void CDriveScsi::FillHeader(uint8_t* b, uint16_t headerSize, uint8_t cdbLength, uint8_t direction, uint32_t dataLength)
{
    px::Put16(b + px::spt::Length, headerSize);
    b[px::spt::CdbLength] = cdbLength;
    b[px::spt::SenseInfoLength] = kSenseWanted;
    b[px::spt::DataIn] = direction;
    px::Put32(b + px::spt::DataTransferLength, dataLength);
    px::Put32(b + px::spt::TimeOutValue, kTimeoutSeconds);
}

bool CDriveScsi::PassThrough(uint32_t code, uint8_t* request, uint32_t size)
{
    uint32_t returned = 0;
    if (!m_hDevice) {
        px::SetLastError(EBADF);
        SetError({}, true);
        return false;
    }
    if (!m_hDevice->Control(code, request, size, request, size, &returned)) {
        SetError({}, true);
        return false;
    }
    return true;
}

bool CDriveScsi::Send(const uint8_t* cdb, uint8_t cdbLength, uint8_t direction, const uint8_t* dataOut,
                      uint32_t dataLength)
{
    // One request buffer for every command, grown to the largest request: a mebibyte is
    // not allocated and cleared again for each READ, nor after a READ of one block.
    const uint32_t size = 72 + dataLength;
    if (m_request.size() < size)
        m_request.resize(size);
    FillRequest(m_request.data(), cdb, cdbLength, direction, dataLength);
    if (dataOut && dataLength)
        std::memcpy(m_request.data() + kDataOffset, dataOut, dataLength);
    if (!PassThrough(px::IOCTL_SCSI_PASS_THROUGH, m_request.data(), size))
        return false;
    TakeAnswer(m_request.data(), kSenseOffset);
    return true;
}

void CDriveScsi::TakeAnswer(const uint8_t* b, uint32_t senseOffset)
{
    m_lastStatus = b[px::spt::ScsiStatus];
    m_lastSenseLength = std::min<uint8_t>(b[px::spt::SenseInfoLength], 18);
    std::memset(m_lastSense, 0, sizeof m_lastSense);
    std::memcpy(m_lastSense, b + senseOffset, m_lastSenseLength);
    m_lastMoved = px::Get32(b + px::spt::DataTransferLength);
}

bool CDriveScsi::SendDirect(const uint8_t* cdb, uint8_t cdbLength, uint8_t direction, uint8_t* data,
                            uint32_t dataLength)
{
    // The header and the sense area; the data moves straight into (or out of) the caller's
    // buffer, so a mebibyte read is not copied once more.
    constexpr uint32_t kDirectSense = px::sptd::HeaderSize;
    uint8_t b[px::sptd::HeaderSize + 24] = {};
    FillHeader(b, px::sptd::HeaderSize, cdbLength, direction, dataLength);
    const uint64_t address = reinterpret_cast<uintptr_t>(data);
    std::memcpy(b + px::sptd::DataBuffer, &address, sizeof address);
    px::Put32(b + px::sptd::SenseInfoOffset, kDirectSense);
    std::memcpy(b + px::sptd::Cdb, cdb, cdbLength);
    if (!PassThrough(px::IOCTL_SCSI_PASS_THROUGH_DIRECT, b, sizeof b))
        return false;
    TakeAnswer(b, kDirectSense);
    return true;
}

const uint8_t* CDriveScsi::Data() const { return m_request.data() + kDataOffset; }

uint8_t CDriveScsi::BlockCommand(uint8_t cdb[16], bool write, uint64_t firstBlock, uint16_t count)
{
    std::memset(cdb, 0, 16);
    const uint64_t last = firstBlock + (count ? count - 1 : 0);
    if (last <= 0xFFFFFFFFull) {
        cdb[0] = write ? 0x2A : 0x28;
        px::PutBE32(cdb + 2, static_cast<uint32_t>(firstBlock));
        cdb[7] = uint8_t(count >> 8);
        cdb[8] = uint8_t(count);
        return 10;
    }
    cdb[0] = write ? 0x8A : 0x88;
    px::PutBE64(cdb + 2, firstBlock);
    px::PutBE32(cdb + 10, count);
    return 16;
}

bool CDriveScsi::ReadBlocks(uint8_t* buffer, uint32_t& bytesDone, uint64_t firstBlock, uint16_t count)
{
    bytesDone = 0;
    uint8_t cdb[16];
    const uint8_t length = BlockCommand(cdb, false, firstBlock, count);
    if (!SendDirect(cdb, length, px::spt::DATA_IN, buffer, count * kBlock))
        return false;
    // The bytes moved; the rest of the buffer is zeros, whatever the device left there.
    const uint32_t moved = std::min<uint32_t>(m_lastMoved, count * kBlock);
    if (moved < count * kBlock)
        std::memset(buffer + moved, 0, count * kBlock - moved);
    bytesDone = m_lastMoved;
    return true;
}

bool CDriveScsi::WriteBlocks(const uint8_t* buffer, uint32_t& bytesDone, uint64_t firstBlock, uint16_t count)
{
    bytesDone = 0;
    uint8_t cdb[16];
    const uint8_t length = BlockCommand(cdb, true, firstBlock, count);
    if (!SendDirect(cdb, length, px::spt::DATA_OUT, const_cast<uint8_t*>(buffer), count * kBlock))
        return false;
    bytesDone = m_lastMoved;
    return true;
}

bool CDriveScsi::ReadCapacity(uint64_t& lastBlock, uint16_t& blockSize)
{
    const uint8_t cdb[10] = {0x25};
    if (!Send(cdb, 10, px::spt::DATA_IN, nullptr, 8))
        return false;
    lastBlock = px::GetBE32(Data());
    uint32_t length = px::GetBE32(Data() + 4);
    if (lastBlock == 0xFFFFFFFFull && m_lastStatus == 0) {
        // SERVICE ACTION IN(16), READ CAPACITY(16): a 64-bit last block, 32 bytes answered.
        const uint8_t cdb16[16] = {0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0};
        if (Send(cdb16, 16, px::spt::DATA_IN, nullptr, 32) && m_lastStatus == 0 && m_lastMoved >= 12) {
            lastBlock = px::GetBE64(Data());
            length = px::GetBE32(Data() + 8);
        }
    }
    blockSize = length == 0 ? 512 : static_cast<uint16_t>(length);
    return true;
}

bool CDriveScsi::Inquiry(CInquiryData& record)
{
    record.Clear();
    const uint8_t cdb[6] = {0x12, 0, 0, 0, 36, 0};
    if (!Send(cdb, 6, px::spt::DATA_IN, nullptr, 36))
        return false;
    record.Fill(Data(), 36);
    return true;
}

bool CDriveScsi::IdentifyDevice(CIdentifyData& record)
{
    record.Clear();
    // ATA IDENTIFY DEVICE (EC) for device A0, carried by the readers' vendor command D0.
    const uint8_t cdb[10] = {0xD0, 0x19, 0, 0, 0, 0, 0, 0, 0xA0, 0xEC};
    if (!Send(cdb, 10, px::spt::DATA_IN, nullptr, 512))
        return false;
    record.Fill(Data(), 512);
    if (record.LbaSectors() == 0) {
        uint64_t lastBlock = 0;
        uint16_t blockSize = 0;
        if (ReadCapacity(lastBlock, blockSize)) {
            // The identify record's LBA count has 28 bits: larger cards say all of them.
            const uint32_t blocks = static_cast<uint32_t>(std::min<uint64_t>(lastBlock + 1, 0x0FFFFFFF));
            record.m_words[60] = static_cast<uint16_t>(blocks);
            record.m_words[61] = static_cast<uint16_t>(blocks >> 16);
        }
        CDiskGeometry geometry;
        if (GetGeometry(geometry)) {
            record.m_words[1] = static_cast<uint16_t>(geometry.Cylinders);
            record.m_words[3] = static_cast<uint16_t>(geometry.TracksPerCylinder);
            record.m_words[6] = static_cast<uint16_t>(geometry.SectorsPerTrack);
        }
    }
    return true;
}

bool CDriveScsi::SendVendorWrite(const uint8_t* buffer, uint32_t length)
{
    // ATA command 92 for device A0, carried by the readers' vendor data-out command D1.
    const uint8_t cdb[10] = {0xD1, 0, 0, 0, 0x20, 0, 0, 0xBB, 0xA0, 0x92};
    return Send(cdb, 10, px::spt::DATA_OUT, buffer, length);
}

uint32_t CDriveScsi::MaxTransferBytes()
{
    // STORAGE_PROPERTY_QUERY: StorageAdapterProperty (1), PropertyStandardQuery.
    uint8_t query[12] = {1};
    uint8_t answer[32] = {};
    uint32_t returned = 0;
    if (!m_hDevice ||
        !m_hDevice->Control(px::IOCTL_STORAGE_QUERY_PROPERTY, query, sizeof query, answer, sizeof answer, &returned) ||
        returned < 12)
        return 0;
    return px::Get32(answer + 8);
}

bool CDriveScsi::ReadDriveInfo(CDriveInfo& info)
{
    const bool base = CDrive::ReadDriveInfo(info);
    const bool unit = TestUnitReadySense(info.m_Sense);
    return base && unit;
}

bool CDriveScsi::TestUnitReady(CUnitStatus& status)
{
    status = CUnitStatus{};
    const uint8_t cdb[6] = {0};
    if (!Send(cdb, 6, px::spt::DATA_UNSPECIFIED, nullptr, 0))
        return false;
    status.ScsiStatus = m_lastStatus;
    // The sense counts only when a whole fixed record came back.
    const px::SenseData sense = m_lastSenseLength >= 18 ? LastSenseData() : px::SenseData{};
    if (m_lastStatus <= 1 || (sense.Valid && sense.Key == px::SenseKey::NoSense))
        status.Ready = true;
    if (sense.Valid)
        status.SenseKey = sense.Key;
    status.StatusText = StatusText(m_lastStatus, m_lastSense, m_lastSenseLength);
    return true;
}

bool CDriveScsi::TestUnitReadySense(CUnitSense& sense)
{
    sense.Clear();
    const uint8_t cdb[6] = {0};
    if (!Send(cdb, 6, px::spt::DATA_UNSPECIFIED, nullptr, 0))
        return false;
    sense.ScsiStatus = m_lastStatus;
    if (m_lastSenseLength == 18) {
        std::memcpy(sense.Sense, m_lastSense, 18);
        sense.Valid = true;
    }
    return true;
}

std::string CDriveScsi::SenseKeyName(uint8_t key) { return kSenseKeys[key & 0x0F]; }

std::string CDriveScsi::StatusText(uint8_t scsiStatus, const uint8_t* sense, uint8_t senseLength)
{
    std::string text = "SCSI Status ... ";
    for (const StatusName& row : kStatusNames) {
        if (row.code == (scsiStatus & 0x3E)) {
            text += Format("%X", scsiStatus) + " (" + row.name + ")";
            break;
        }
    }
    if (senseLength > 0)
        text += "\r\nSense Data:";
    if (senseLength >= 18) {
        text += "\r\n" + Format("Error Code ............................... %X", sense[0] & 0x7F);
        text += "\r\n" + Format("Valid .................................... %X", sense[0] >> 7);
        text += "\r\n" + Format("Sense Key ................................ %X", sense[2] & 0x0F) + " (" +
                SenseKeyName(sense[2]) + ")";
        text += "\r\n" + Format("Information .............................. %02X%02X%02X%02X", sense[3], sense[4],
                                sense[5], sense[6]);
        text += "\r\n" + Format("Additional Length ........................ %02X", sense[7]);
        text += "\r\n" + Format("Additional Sense Code (ASC) .............. %02X", sense[12]);
        text += "\r\n" + Format("Additional Sense Code Qualifier (ASCQ) ... %02X", sense[13]);
    }
    return text;
}
