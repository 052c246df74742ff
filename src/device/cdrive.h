#pragma once
// The card device: one open handle to a card reader's volume ("\\.\E:") or physical
// drive, the last error text, the storage queries and the volume controls. CDriveScsi
// adds the block transport: every block travels as a SCSI command in a pass-through
// request. Every operation returns a boolean; on failure GetError() holds the system's
// message for the last error.
#include <cstdint>
#include <string>

#include "device/cdriveinfo.h"
#include "platform/devicehandle.h"

class CDrive {
public:
    CDrive() = default;
    // Opens the volume at once.
    explicit CDrive(char letter);
    virtual ~CDrive();
    CDrive(const CDrive&) = delete;
    CDrive& operator=(const CDrive&) = delete;

    // Path and error emptied, drive number 0, letter 0, handle invalid, not locked. The
    // handle is dropped, not closed through Close.
    virtual void Reset();
    // Copies letter, drive number, error text, path and handle (not the locked flag).
    virtual void Assign(const CDrive& other);
    virtual px::Handle Handle() const { return m_hDevice; }
    // Closes, then opens any device path for reading and writing.
    virtual bool Open(const std::string& path);
    // Opens "\\.\X:" with the letter as given; then only B to Y are accepted: upper-cased
    // letter and drive number (letter minus A) are stored, else "Invalid drive letter".
    virtual bool OpenVolume(char letter);
    // Opens "\\.\PhysicalDriveN" (a handle already open is not closed first).
    virtual bool OpenPhysicalDrive(int index);
    // Unlocks when the lock flag is set, closes the handle, resets. True only when the
    // handle was open and closed.
    virtual bool Close();
    virtual bool IsOpen() const { return m_hDevice != nullptr; }

    // Block addresses are 64-bit: cards past 2^32 blocks (2 TiB) are read with READ(16).
    virtual bool ReadBlocks(uint8_t* buffer, uint32_t& bytesDone, uint64_t firstBlock, uint16_t count) = 0;
    virtual bool Inquiry(CInquiryData& record) = 0;
    virtual bool IdentifyDevice(CIdentifyData& record) = 0;
    virtual bool QueryDeviceDescriptor(CStorageDeviceDescriptor& record);
    virtual bool GetGeometryEx(CDiskGeometryEx& record);
    virtual bool GetGeometry(CDiskGeometry& record);
    virtual bool GetMediaTypes(CDeviceMediaInfo& record);
    virtual bool GetFreeSpace(CFileInfo& record);
    // Fills the card description: letter, inquiry, capacity, media types, geometry-ex and
    // descriptor. True when any of the queries succeeded.
    virtual bool ReadDriveInfo(CDriveInfo& info);
    // The base class knows no capacity: true with the outputs untouched.
    virtual bool ReadCapacity(uint64_t& lastBlock, uint16_t& blockSize);
    virtual bool WriteBlocks(const uint8_t* buffer, uint32_t& bytesDone, uint64_t firstBlock, uint16_t count) = 0;
    virtual bool SendVendorWrite(const uint8_t* buffer, uint32_t length);
    virtual unsigned GetDriveType();
    virtual bool Dismount();
    // Sets the lock flag whether or not the lock succeeded.
    virtual bool Lock();
    virtual bool Unlock();
    virtual bool Eject();
    virtual bool HasLogicalDrives();
    // The message, then (withSystemText) the system's message for the last error; CR
    // and LF become blanks.
    virtual void SetError(const std::string& message, bool withSystemText);
    virtual std::string GetError() const { return m_strError; }
    virtual std::string BusName() const = 0;

    char Letter() const { return m_Letter; }
    int32_t DriveNumber() const { return m_nDrive; }
    const std::string& DevicePath() const { return m_strPath; }
    bool IsLocked() const { return m_bLocked; }

protected:
    // A control request without buffers; SetError on failure.
    bool SimpleControl(uint32_t code);

    char m_Letter = 0;
    int32_t m_nDrive = 0;
    std::string m_strPath;
    std::string m_strError;
    px::Handle m_hDevice;
    bool m_bLocked = false;
};
