#pragma once
// The card device with its SCSI block transport: READ(10), WRITE(10), READ CAPACITY(10),
// INQUIRY, TEST UNIT READY and two vendor commands, each in one pass-through request.
#include <cstdint>
#include <string>
#include <vector>

#include "device/cdrive.h"
#include "platform/sense.h"

class CDriveScsi : public CDrive {
public:
    CDriveScsi() = default;
    explicit CDriveScsi(char letter) : CDrive(letter) {}
    ~CDriveScsi() override = default;

    // Reads count blocks of 512 bytes. On success count*512 bytes are copied into the
    // buffer and bytesDone is the number of bytes the device moved (a short transfer or
    // a CHECK CONDITION still succeeds: see LastScsiStatus). bytesDone is 0 on failure.
    // READ(10)/WRITE(10), or READ(16)/WRITE(16) for blocks past 2^32 - 1.
    bool ReadBlocks(uint8_t* buffer, uint32_t& bytesDone, uint64_t firstBlock, uint16_t count) override;
    bool WriteBlocks(const uint8_t* buffer, uint32_t& bytesDone, uint64_t firstBlock, uint16_t count) override;
    bool Inquiry(CInquiryData& record) override;
    bool IdentifyDevice(CIdentifyData& record) override;
    // Last block and block length (512 when the device says 0): READ CAPACITY(10), and
    // READ CAPACITY(16) when the card is too large for it (last block 0xFFFFFFFF).
    bool ReadCapacity(uint64_t& lastBlock, uint16_t& blockSize) override;
    bool SendVendorWrite(const uint8_t* buffer, uint32_t length) override;
    // The base description, then TEST UNIT READY into its sense record; true only when
    // both succeeded.
    bool ReadDriveInfo(CDriveInfo& info) override;
    std::string BusName() const override { return "Usb"; }
    // The largest transfer of one request the reader takes (the adapter's
    // MaximumTransferLength); 0 when the device does not say.
    uint32_t MaxTransferBytes();

    // TEST UNIT READY into a unit-status record; the result is whether the request
    // itself succeeded.
    virtual bool TestUnitReady(CUnitStatus& status);
    virtual bool TestUnitReadySense(CUnitSense& sense);

    // The status byte and sense of the last SCSI request that succeeded.
    uint8_t LastScsiStatus() const { return m_lastStatus; }
    const uint8_t* LastSense() const { return m_lastSense; }
    uint8_t LastSenseLength() const { return m_lastSenseLength; }
    uint32_t LastBytesMoved() const { return m_lastMoved; }
    // The last request's sense, decoded (not Valid when none came back).
    px::SenseData LastSenseData() const { return px::ParseSense(m_lastSense, m_lastSenseLength); }

    // The status text of a pass-through answer: "SCSI Status ... " with the status and,
    // when sense bytes came back, the sense lines (CR LF between lines).
    static std::string StatusText(uint8_t scsiStatus, const uint8_t* sense, uint8_t senseLength);
    static std::string SenseKeyName(uint8_t key);

    // The pass-through request buffer for one command: the 44-byte header, the total
    // size, 20 bytes of sense area, the data and 4 spare bytes. Exposed for tests.
    static std::vector<uint8_t> BuildRequest(const uint8_t* cdb, uint8_t cdbLength, uint8_t direction,
                                             uint32_t dataLength);

private:
    // Sends one command; on success the answer is in m_request. SetError on failure.
    bool Send(const uint8_t* cdb, uint8_t cdbLength, uint8_t direction, const uint8_t* dataOut,
              uint32_t dataLength);
    // Sends one command whose data stays in the caller's buffer (the direct request):
    // no copy of it through the request buffer. SetError on failure.
    bool SendDirect(const uint8_t* cdb, uint8_t cdbLength, uint8_t direction, uint8_t* data, uint32_t dataLength);
    // The header fields both request layouts share (length, CDB and sense lengths,
    // direction, data length, time-out).
    static void FillHeader(uint8_t* b, uint16_t headerSize, uint8_t cdbLength, uint8_t direction, uint32_t dataLength);
    // Hands the request (input and output in one buffer) to the device; SetError on failure.
    bool PassThrough(uint32_t code, uint8_t* request, uint32_t size);
    // Takes status, sense (at senseOffset) and bytes moved from an answered request.
    void TakeAnswer(const uint8_t* request, uint32_t senseOffset);
    const uint8_t* Data() const;
    // Writes the header, total size and an empty sense area of a request of dataLength
    // bytes at b (72 + dataLength bytes); the data area is left as it is.
    static void FillRequest(uint8_t* b, const uint8_t* cdb, uint8_t cdbLength, uint8_t direction, uint32_t dataLength);
    // The READ or WRITE command for the range: 10 bytes while it fits 32-bit addresses.
    static uint8_t BlockCommand(uint8_t cdb[16], bool write, uint64_t firstBlock, uint16_t count);

    std::vector<uint8_t> m_request;
    uint8_t m_lastStatus = 0;
    uint8_t m_lastSense[18] = {};
    uint8_t m_lastSenseLength = 0;
    uint32_t m_lastMoved = 0;
};
