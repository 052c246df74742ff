#pragma once
// The SG_IO translation of a pass-through request: one SCSI command of the card device
// carried to a Linux SCSI disk (/dev/sdX) or its generic node (/dev/sgN) in an
// sg_io_hdr, and the answer carried back in the shape the pass-through caller reads.
//
// The ioctl itself is a replaceable function, so the translation can be exercised
// without a SCSI device.
#include <scsi/sg.h>

#include <cstdint>
#include <functional>

#include "platform/devicehandle.h"

namespace px {

// The ioctl(fd, SG_IO, hdr) call: returns what the ioctl returned, with errno set when
// it returned -1.
using SgIoctl = std::function<int(int fd, sg_io_hdr_t* hdr)>;

// The system's ioctl.
SgIoctl SystemSgIoctl();

// Sense bytes the kernel may write per command. More than the 18 the caller asks for, so
// that a descriptor-format answer keeps its information descriptor for the conversion to
// the fixed format.
constexpr uint8_t kSgSenseCapacity = 32;
// Sense bytes handed back to the pass-through caller: one fixed-format record.
constexpr uint8_t kFixedSenseLength = 18;

// Host status codes of the SCSI midlayer (the host byte of the kernel's result).
namespace sghost {
constexpr uint16_t Ok = 0x00;
constexpr uint16_t NoConnect = 0x01;
constexpr uint16_t BusBusy = 0x02;
constexpr uint16_t TimeOut = 0x03;
constexpr uint16_t BadTarget = 0x04;
constexpr uint16_t Abort = 0x05;
constexpr uint16_t Error = 0x07;
constexpr uint16_t Reset = 0x08;
constexpr uint16_t TransportDisrupted = 0x0E;
constexpr uint16_t TransportFailfast = 0x0F;
}  // namespace sghost

// Driver status codes (low nibble of driver_status).
namespace sgdriver {
constexpr uint16_t Ok = 0x00;
constexpr uint16_t Timeout = 0x06;
constexpr uint16_t Sense = 0x08;
}  // namespace sgdriver

// Fills hdr for the request: 'S', direction from the request (none when it moves no
// data), the CDB, the sense buffer (kSgSenseCapacity bytes at sense), the data area of
// the request itself, and the time-out in milliseconds from the request's seconds.
void BuildSgIoHeader(const ScsiRequest& request, sg_io_hdr_t& hdr, uint8_t* sense);

// Reads the answer of one SG_IO call (ioctlResult and its errno) into result. True when
// the command reached the device and came back with a SCSI status, CHECK CONDITION
// included; false with the last error set when the request itself failed:
//   ioctl failed                        -> its errno (EIO, EACCES, EPERM, ENODEV, ...)
//   ioctl failed with ENOMEDIUM         -> true: CHECK CONDITION, NOT READY 2/3A, as a
//                                          reader with an empty slot answers
//   host status DID_TIME_OUT, DID_ABORT -> ETIMEDOUT
//   host status DID_NO_CONNECT, DID_BAD_TARGET, transport failfast -> ENODEV (the reader is gone)
//   other host errors                   -> EIO
//   driver time-out                     -> ETIMEDOUT
// Bytes moved are dxfer_len - resid. Descriptor-format sense is converted to fixed.
bool ReadSgIoAnswer(const sg_io_hdr_t& hdr, int ioctlResult, int ioctlErrno, const uint8_t* sense,
                    ScsiResult& result);

// Sends one request through SG_IO on fd: BuildSgIoHeader, the ioctl, ReadSgIoAnswer.
bool ExecuteSgIo(int fd, const ScsiRequest& request, ScsiResult& result, const SgIoctl& ioctl);

// Converts sense data to one fixed-format record (response code 70h/71h) of 18 bytes:
// descriptor format (72h/73h) has its key, ASC/ASCQ, information, command-specific,
// sense-key-specific and FRU descriptors moved to their fixed places; fixed format is
// copied (up to 18 bytes). Returns the number of bytes written to fixed (0 for no sense).
uint8_t ToFixedSense(const uint8_t* sense, uint32_t length, uint8_t fixed[kFixedSenseLength]);

// A fixed-format sense record for an answer the platform makes up itself.
void MakeSense(ScsiResult& result, uint8_t key, uint8_t asc, uint8_t ascq, int64_t information = -1);

// The readers' vendor-specific commands (D0h carries ATA IDENTIFY, D1h an ATA data-out
// command). They go to the reader's generic node /dev/sgN opened read-write; the kernel
// passes them only for a process with CAP_SYS_RAWIO, and answers EPERM otherwise.
inline bool IsVendorCommand(uint8_t opcode) { return opcode == 0xD0 || opcode == 0xD1; }

}  // namespace px
