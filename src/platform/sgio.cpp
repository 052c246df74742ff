#include "platform/sgio.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/lasterror.h"
#include "platform/winioctl.h"

namespace px {

namespace {

constexpr uint8_t kCheckCondition = 0x02;

// Sense response codes: 70h/71h fixed format (current/deferred), 72h/73h descriptor
// format (current/deferred).
constexpr uint8_t kFixedCurrent = 0x70;
constexpr uint8_t kDescriptorCurrent = 0x72;
constexpr uint8_t kDescriptorDeferred = 0x73;

// Descriptor types of descriptor-format sense (SPC-4, 4.5.2).
constexpr uint8_t kDescInformation = 0x00;
constexpr uint8_t kDescCommandSpecific = 0x01;
constexpr uint8_t kDescSenseKeySpecific = 0x02;
constexpr uint8_t kDescFieldReplaceable = 0x03;
constexpr uint8_t kDescStreamCommands = 0x04;
constexpr uint8_t kDescBlockCommands = 0x05;

bool Fail(int code)
{
    SetLastError(code);
    return false;
}

}  // namespace

SgIoctl SystemSgIoctl()
{
    return [](int fd, sg_io_hdr_t* hdr) { return ::ioctl(fd, SG_IO, hdr); };
}

void BuildSgIoHeader(const ScsiRequest& request, sg_io_hdr_t& hdr, uint8_t* sense)
{
    std::memset(&hdr, 0, sizeof hdr);
    hdr.interface_id = 'S';
    const bool moves = request.dataLength > 0 && request.data;
    if (!moves || request.direction == spt::DATA_UNSPECIFIED)
        hdr.dxfer_direction = SG_DXFER_NONE;
    else if (request.direction == spt::DATA_IN)
        hdr.dxfer_direction = SG_DXFER_FROM_DEV;
    else
        hdr.dxfer_direction = SG_DXFER_TO_DEV;
    hdr.cmd_len = request.cdbLength;
    hdr.cmdp = const_cast<unsigned char*>(request.cdb);
    hdr.mx_sb_len = kSgSenseCapacity;
    hdr.sbp = sense;
    if (hdr.dxfer_direction != SG_DXFER_NONE) {
        hdr.dxfer_len = request.dataLength;
        hdr.dxferp = request.data;
    }
    // Seconds to milliseconds; the largest value short of UINT_MAX, which would mean
    // "no time-out at all".
    const uint64_t ms = uint64_t(request.timeoutSeconds) * 1000u;
    hdr.timeout = static_cast<unsigned>(std::min<uint64_t>(ms, UINT_MAX - 1u));
}

uint8_t ToFixedSense(const uint8_t* sense, uint32_t length, uint8_t fixed[kFixedSenseLength])
{
    std::memset(fixed, 0, kFixedSenseLength);
    if (!sense || length == 0)
        return 0;
    const uint8_t code = sense[0] & 0x7F;
    if (code != kDescriptorCurrent && code != kDescriptorDeferred) {
        // Fixed format (or a vendor's own): handed on as it came.
        const uint8_t n = static_cast<uint8_t>(std::min<uint32_t>(length, kFixedSenseLength));
        std::memcpy(fixed, sense, n);
        return n;
    }
    fixed[0] = code == kDescriptorDeferred ? kFixedCurrent + 1 : kFixedCurrent;
    fixed[7] = kFixedSenseLength - 8;   // additional length: 18 bytes in all
    if (length > 1)
        fixed[2] = sense[1] & 0x0F;
    if (length > 2)
        fixed[12] = sense[2];
    if (length > 3)
        fixed[13] = sense[3];
    if (length <= 8)
        return kFixedSenseLength;
    // Descriptors follow the 8-byte header: type, additional length, body.
    const uint32_t end = std::min<uint32_t>(length, 8u + sense[7]);
    uint32_t at = 8;
    while (at + 2 <= end) {
        const uint8_t type = sense[at];
        const uint32_t size = 2u + sense[at + 1];
        if (at + size > end)
            break;
        const uint8_t* d = sense + at;
        switch (type) {
        case kDescInformation:
            // 64-bit information; the fixed field holds 32 bits, so VALID only when it fits.
            if (size >= 12 && (d[2] & 0x80) && d[4] == 0 && d[5] == 0 && d[6] == 0 && d[7] == 0) {
                fixed[0] |= 0x80;
                std::memcpy(fixed + 3, d + 8, 4);
            }
            break;
        case kDescCommandSpecific:
            if (size >= 12)
                std::memcpy(fixed + 8, d + 8, 4);
            break;
        case kDescSenseKeySpecific:
            if (size >= 7)
                std::memcpy(fixed + 15, d + 4, 3);
            break;
        case kDescFieldReplaceable:
            if (size >= 4)
                fixed[14] = d[3];
            break;
        case kDescStreamCommands:
            // FILEMARK, EOM and ILI sit in the high bits of fixed byte 2.
            if (size >= 4)
                fixed[2] |= d[3] & 0xE0;
            break;
        case kDescBlockCommands:
            if (size >= 4)
                fixed[2] |= d[3] & 0x20;   // ILI
            break;
        default:
            break;
        }
        at += size;
    }
    return kFixedSenseLength;
}

void MakeSense(ScsiResult& result, uint8_t key, uint8_t asc, uint8_t ascq, int64_t information)
{
    result.status = kCheckCondition;
    std::memset(result.sense, 0, sizeof result.sense);
    result.sense[0] = kFixedCurrent;
    if (information >= 0 && information <= 0xFFFFFFFFll) {
        result.sense[0] |= 0x80;
        PutBE32(result.sense + 3, static_cast<uint32_t>(information));
    }
    result.sense[2] = key;
    result.sense[7] = kFixedSenseLength - 8;
    result.sense[12] = asc;
    result.sense[13] = ascq;
    result.senseLength = kFixedSenseLength;
}

bool ReadSgIoAnswer(const sg_io_hdr_t& hdr, int ioctlResult, int ioctlErrno, const uint8_t* sense,
                    ScsiResult& result)
{
    result = ScsiResult{};
    if (ioctlResult < 0) {
        // The sd driver refuses an empty removable slot with ENOMEDIUM before the command
        // reaches the reader; the caller expects the reader's own answer to that.
        if (ioctlErrno == ENOMEDIUM) {
            MakeSense(result, 0x02, 0x3A, 0x00);   // NOT READY, medium not present
            return true;
        }
        return Fail(ioctlErrno ? ioctlErrno : EIO);
    }
    switch (hdr.host_status) {
    case sghost::Ok:
        break;
    case sghost::TimeOut:
    case sghost::Abort:   // the midlayer aborts a command whose time ran out
        return Fail(ETIMEDOUT);
    case sghost::NoConnect:
    case sghost::BadTarget:
    case sghost::TransportFailfast:
        return Fail(ENODEV);
    case sghost::BusBusy:
    case sghost::Reset:
    case sghost::TransportDisrupted:
    case sghost::Error:
    default:
        return Fail(EIO);
    }
    const uint16_t driver = hdr.driver_status & 0x0F;
    if (driver == sgdriver::Timeout)
        return Fail(ETIMEDOUT);
    const bool hasSense = hdr.sb_len_wr > 0 && sense;
    if (driver != sgdriver::Ok && driver != sgdriver::Sense && !(hdr.status != 0 || hasSense))
        return Fail(EIO);   // the driver gave up without a SCSI answer

    result.status = hdr.status;
    if (hasSense)
        result.senseLength = ToFixedSense(sense, std::min<uint32_t>(hdr.sb_len_wr, kSgSenseCapacity), result.sense);
    if (hdr.dxfer_direction != SG_DXFER_NONE) {
        const int64_t moved = int64_t(hdr.dxfer_len) - int64_t(hdr.resid);
        result.transferred = static_cast<uint32_t>(std::clamp<int64_t>(moved, 0, hdr.dxfer_len));
    }
    return true;
}

bool ExecuteSgIo(int fd, const ScsiRequest& request, ScsiResult& result, const SgIoctl& ioctl)
{
    if (!request.cdb || request.cdbLength == 0 || request.cdbLength > 16)
        return Fail(EINVAL);
    sg_io_hdr_t hdr;
    uint8_t sense[kSgSenseCapacity] = {};
    BuildSgIoHeader(request, hdr, sense);
    errno = 0;
    const int rc = ioctl(fd, &hdr);
    const int error = rc < 0 ? errno : 0;
    return ReadSgIoAnswer(hdr, rc, error, sense, result);
}

}  // namespace px
