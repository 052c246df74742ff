#include "platform/devicehandle.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/lasterror.h"
#include "platform/winioctl.h"

namespace px {

namespace {

// The class driver's geometry for a disk without one of its own: 255 heads of 63
// sectors, as Windows reports for USB mass storage.
constexpr uint32_t kHeads = 255;
constexpr uint32_t kSectorsPerTrack = 63;
constexpr uint32_t kBytesPerSector = 512;
constexpr uint32_t kMediaRemovable = 11;   // RemovableMedia
constexpr uint32_t kMediaFixed = 12;       // FixedMedia
constexpr uint32_t kFileDeviceDisk = 7;    // FILE_DEVICE_DISK
constexpr uint32_t kMediaCurrentlyMounted = 0x80000000;
constexpr uint32_t kMediaReadWrite = 0x00000100;
// STORAGE_PROPERTY_QUERY's PropertyId for the adapter, and the size of the
// STORAGE_ADAPTER_DESCRIPTOR that answers it.
constexpr uint32_t kStorageAdapterProperty = 1;
constexpr uint32_t kAdapterDescriptorSize = 32;

bool Fail(int code)
{
    SetLastError(code);
    return false;
}

}  // namespace

bool DeviceHandle::Control(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                           uint32_t* returned)
{
    uint32_t dummy = 0;
    if (!returned)
        returned = &dummy;
    *returned = 0;
    auto* outBytes = static_cast<uint8_t*>(out);
    switch (code) {
    case IOCTL_SCSI_PASS_THROUGH:
        return PassThrough(static_cast<const uint8_t*>(in), inSize, outBytes, outSize, returned);
    case IOCTL_SCSI_PASS_THROUGH_DIRECT:
        return PassThroughDirect(static_cast<const uint8_t*>(in), inSize, outBytes, outSize, returned);
    case IOCTL_DISK_GET_DRIVE_GEOMETRY:
        return Geometry(outBytes, outSize, returned, false);
    case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX:
        return Geometry(outBytes, outSize, returned, true);
    case IOCTL_STORAGE_GET_MEDIA_TYPES_EX:
        return MediaTypes(outBytes, outSize, returned);
    case IOCTL_STORAGE_QUERY_PROPERTY:
        if (!in || inSize < 8)
            return Fail(EINVAL);
        if (Get32(static_cast<const uint8_t*>(in)) == kStorageAdapterProperty)
            return AdapterDescriptor(outBytes, outSize, returned);
        return DeviceDescriptor(outBytes, outSize, returned);
    case FSCTL_LOCK_VOLUME:
        return Lock();
    case FSCTL_UNLOCK_VOLUME:
        return Unlock();
    case FSCTL_DISMOUNT_VOLUME:
        return Dismount();
    case IOCTL_STORAGE_EJECT_MEDIA:
        return Eject();
    default:
        return Fail(ENOTTY);
    }
}

bool DeviceHandle::PassThrough(const uint8_t* in, uint32_t inSize, uint8_t* out, uint32_t outSize,
                               uint32_t* returned)
{
    // The request must be one buffer given as input and output, with its areas inside it.
    if (!in || !out || in != out || inSize < spt::HeaderSize || outSize != inSize)
        return Fail(EINVAL);
    uint8_t* buf = out;
    const uint32_t size = inSize;
    if (Get16(buf + spt::Length) != spt::HeaderSize)
        return Fail(EINVAL);
    const uint8_t cdbLength = buf[spt::CdbLength];
    const uint8_t senseWanted = buf[spt::SenseInfoLength];
    const uint8_t direction = buf[spt::DataIn];
    const uint32_t dataLength = Get32(buf + spt::DataTransferLength);
    const uint32_t dataOffset = Get32(buf + spt::DataBufferOffset);
    const uint32_t senseOffset = Get32(buf + spt::SenseInfoOffset);
    if (cdbLength == 0 || cdbLength > 16 || direction > 2)
        return Fail(EINVAL);
    if (dataLength > 0 && (dataOffset < spt::HeaderSize || dataOffset > size || dataLength > size - dataOffset))
        return Fail(EINVAL);
    if (senseWanted > 0 && (senseOffset < spt::HeaderSize || senseOffset > size || senseWanted > size - senseOffset))
        return Fail(EINVAL);

    ScsiRequest request;
    request.cdb = buf + spt::Cdb;
    request.data = dataLength ? buf + dataOffset : nullptr;
    return RunPassThrough(buf, size, request, senseOffset, returned);
}

bool DeviceHandle::PassThroughDirect(const uint8_t* in, uint32_t inSize, uint8_t* out, uint32_t outSize,
                                     uint32_t* returned)
{
    // The header and its sense area are one buffer given as input and output; the data
    // is where the header points.
    if (!in || !out || in != out || inSize < sptd::HeaderSize || outSize != inSize)
        return Fail(EINVAL);
    uint8_t* buf = out;
    if (Get16(buf + spt::Length) != sptd::HeaderSize)
        return Fail(EINVAL);
    const uint8_t cdbLength = buf[spt::CdbLength];
    const uint8_t senseWanted = buf[spt::SenseInfoLength];
    const uint32_t senseOffset = Get32(buf + sptd::SenseInfoOffset);
    uint64_t address = 0;
    std::memcpy(&address, buf + sptd::DataBuffer, sizeof address);
    if (cdbLength == 0 || cdbLength > 16 || buf[spt::DataIn] > 2)
        return Fail(EINVAL);
    if (Get32(buf + spt::DataTransferLength) > 0 && address == 0)
        return Fail(EINVAL);
    if (senseWanted > 0 && (senseOffset < sptd::HeaderSize || senseOffset > inSize || senseWanted > inSize - senseOffset))
        return Fail(EINVAL);
    ScsiRequest request;
    request.cdb = buf + sptd::Cdb;
    request.data = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(address));
    return RunPassThrough(buf, inSize, request, senseOffset, returned);
}

bool DeviceHandle::RunPassThrough(uint8_t* buf, uint32_t size, ScsiRequest& request, uint32_t senseOffset,
                                  uint32_t* returned)
{
    const uint8_t senseWanted = buf[spt::SenseInfoLength];
    const uint32_t dataLength = Get32(buf + spt::DataTransferLength);
    request.cdbLength = buf[spt::CdbLength];
    request.direction = dataLength ? buf[spt::DataIn] : spt::DATA_UNSPECIFIED;
    request.dataLength = dataLength;
    if (!dataLength)
        request.data = nullptr;
    request.timeoutSeconds = Get32(buf + spt::TimeOutValue);

    ScsiResult result;
    if (!Execute(request, result))
        return false;

    buf[spt::ScsiStatus] = result.status;
    const uint8_t senseCount = std::min<uint8_t>(senseWanted, result.senseLength);
    if (senseCount)
        std::memcpy(buf + senseOffset, result.sense, senseCount);
    buf[spt::SenseInfoLength] = senseCount;
    Put32(buf + spt::DataTransferLength, std::min(result.transferred, dataLength));
    *returned = size;
    return true;
}

bool DeviceHandle::Geometry(uint8_t* out, uint32_t outSize, uint32_t* returned, bool extended)
{
    const uint32_t need = extended ? DISK_GEOMETRY_EX_SIZE : DISK_GEOMETRY_SIZE;
    if (!out || outSize < (extended ? DISK_GEOMETRY_SIZE + 8 : DISK_GEOMETRY_SIZE))
        return Fail(EINVAL);
    DiskFacts facts;
    if (!Facts(facts))
        return false;
    if (!facts.mediaPresent)
        return Fail(ENOMEDIUM);
    std::memset(out, 0, std::min(outSize, need));
    Put64(out + 0, facts.blockCount / (kHeads * kSectorsPerTrack));
    Put32(out + 8, facts.removable ? kMediaRemovable : kMediaFixed);
    Put32(out + 12, kHeads);
    Put32(out + 16, kSectorsPerTrack);
    Put32(out + 20, kBytesPerSector);
    if (extended)
        Put64(out + 24, facts.blockCount * kBytesPerSector);
    *returned = std::min(outSize, need);
    return true;
}

bool DeviceHandle::MediaTypes(uint8_t* out, uint32_t outSize, uint32_t* returned)
{
    if (!out || outSize < GET_MEDIA_TYPES_SIZE)
        return Fail(EINVAL);
    DiskFacts facts;
    if (!Facts(facts))
        return false;
    if (!facts.mediaPresent)
        return Fail(ENOMEDIUM);
    std::memset(out, 0, GET_MEDIA_TYPES_SIZE);
    Put32(out + 0, kFileDeviceDisk);
    Put32(out + 4, 1);
    uint8_t* info = out + 8;
    Put64(info + 0, facts.blockCount / (kHeads * kSectorsPerTrack));
    Put32(info + 8, facts.removable ? kMediaRemovable : kMediaFixed);
    Put32(info + 12, kHeads);
    Put32(info + 16, kSectorsPerTrack);
    Put32(info + 20, kBytesPerSector);
    Put32(info + 24, 1);   // one side
    Put32(info + 28, kMediaCurrentlyMounted | kMediaReadWrite);
    *returned = GET_MEDIA_TYPES_SIZE;
    return true;
}

bool DeviceHandle::DeviceDescriptor(uint8_t* out, uint32_t outSize, uint32_t* returned)
{
    if (!out || outSize < STORAGE_DESCRIPTOR_FIXED)
        return Fail(EINVAL);
    DiskFacts facts;
    if (!Facts(facts))
        return false;
    std::memset(out, 0, outSize);
    // The strings follow the fixed part, each zero-terminated, as far as they fit.
    uint32_t pos = STORAGE_DESCRIPTOR_FIXED;
    auto place = [&](const std::string& text) -> uint32_t {
        if (text.empty() || pos + text.size() + 1 > outSize)
            return 0;
        const uint32_t at = pos;
        std::memcpy(out + pos, text.data(), text.size());
        pos += static_cast<uint32_t>(text.size()) + 1;
        return at;
    };
    const uint32_t vendorAt = place(facts.vendor);
    const uint32_t productAt = place(facts.product);
    const uint32_t revisionAt = place(facts.revision);
    const uint32_t serialAt = place(facts.serial);
    Put32(out + 0, STORAGE_DESCRIPTOR_FIXED);   // Version: the structure's size
    Put32(out + 4, pos);                        // Size: with the strings
    out[8] = facts.deviceType;
    out[9] = 0;
    out[10] = facts.removable ? 1 : 0;
    out[11] = 0;
    Put32(out + 12, vendorAt);
    Put32(out + 16, productAt);
    Put32(out + 20, revisionAt);
    Put32(out + 24, serialAt);
    Put32(out + 28, facts.busType);
    Put32(out + 32, 0);
    *returned = pos;
    return true;
}

bool DeviceHandle::AdapterDescriptor(uint8_t* out, uint32_t outSize, uint32_t* returned)
{
    if (!out || outSize < 16)
        return Fail(EINVAL);
    DiskFacts facts;
    if (!Facts(facts))
        return false;
    const uint32_t size = std::min(outSize, kAdapterDescriptorSize);
    std::memset(out, 0, size);
    Put32(out + 0, kAdapterDescriptorSize);          // Version
    Put32(out + 4, kAdapterDescriptorSize);          // Size
    Put32(out + 8, facts.maxTransferBytes);          // MaximumTransferLength
    Put32(out + 12, facts.maxTransferBytes / 4096 + 1);   // MaximumPhysicalPages
    if (size > 24)
        out[24] = static_cast<uint8_t>(facts.busType);   // BusType
    *returned = size;
    return true;
}

}  // namespace px
