#pragma once
// The stand-in for an open volume or physical-drive handle and its DeviceIoControl.
// A handle answers the storage requests of the card device with the published record
// layouts; the backend (an emulated reader over an image file, or a real disk) supplies
// the facts and carries out the SCSI commands.
#include <cstdint>
#include <memory>
#include <string>

namespace px {

// What a backend knows about its disk, for the storage queries.
struct DiskFacts {
    bool mediaPresent = false;
    uint64_t blockCount = 0;      // 512-byte blocks
    bool removable = true;
    uint8_t deviceType = 0;       // SCSI peripheral type: 0 disk
    uint32_t busType = 7;         // STORAGE_BUS_TYPE
    std::string vendor, product, revision, serial;
    // The largest transfer of one request: an image file takes any size (a mebibyte is
    // plenty); a real reader says its own (the kernel's limit for its queue).
    uint32_t maxTransferBytes = 1u << 20;
};

// One SCSI command as the pass-through request carries it.
struct ScsiRequest {
    const uint8_t* cdb = nullptr;
    uint8_t cdbLength = 0;
    uint8_t direction = 2;        // 0 out, 1 in, 2 none
    uint8_t* data = nullptr;      // in or out, dataLength bytes
    uint32_t dataLength = 0;
    uint32_t timeoutSeconds = 10;
};

struct ScsiResult {
    uint8_t status = 0;           // SCSI status byte
    uint8_t sense[32] = {};
    uint8_t senseLength = 0;      // sense bytes returned
    uint32_t transferred = 0;     // data bytes moved
};

class DeviceHandle {
public:
    virtual ~DeviceHandle() = default;

    // DeviceIoControl: true on success; false with the last error set. A SCSI command
    // that ends in CHECK CONDITION still succeeds; its status and sense are in the buffer.
    bool Control(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                 uint32_t* returned);

    const std::string& Path() const { return m_path; }

protected:
    explicit DeviceHandle(std::string path) : m_path(std::move(path)) {}

    // Carries out one SCSI command. False (with the last error set) when the request
    // itself failed: the device is gone, timed out, or refused the request.
    virtual bool Execute(const ScsiRequest& request, ScsiResult& result) = 0;
    // The facts for the storage queries. False with the last error set when the device
    // cannot be asked (it is gone).
    virtual bool Facts(DiskFacts& facts) = 0;
    virtual bool Lock() = 0;
    virtual bool Unlock() = 0;
    virtual bool Dismount() = 0;
    virtual bool Eject() = 0;

private:
    bool PassThrough(const uint8_t* in, uint32_t inSize, uint8_t* out, uint32_t outSize, uint32_t* returned);
    bool PassThroughDirect(const uint8_t* in, uint32_t inSize, uint8_t* out, uint32_t outSize, uint32_t* returned);
    // Runs the request of a pass-through header at buf (size bytes, either layout) and
    // writes its answer into the header: status, sense at senseOffset, bytes moved.
    bool RunPassThrough(uint8_t* buf, uint32_t size, ScsiRequest& request, uint32_t senseOffset, uint32_t* returned);
    bool Geometry(uint8_t* out, uint32_t outSize, uint32_t* returned, bool extended);
    bool MediaTypes(uint8_t* out, uint32_t outSize, uint32_t* returned);
    bool DeviceDescriptor(uint8_t* out, uint32_t outSize, uint32_t* returned);
    bool AdapterDescriptor(uint8_t* out, uint32_t outSize, uint32_t* returned);

    std::string m_path;
};

using Handle = std::shared_ptr<DeviceHandle>;

// Opens a device path: "\\.\X:" (a letter of the volume table) or "\\.\PhysicalDriveN"
// (the N-th drive of the volume table). Null with the last error set on failure.
Handle OpenDevice(const std::string& path);

}  // namespace px
