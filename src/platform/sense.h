#pragma once
// SCSI sense data, decoded in one place: every layer that asks what a CHECK CONDITION
// meant reads it through ParseSense, whichever format the device answered in.
#include <cstddef>
#include <cstdint>

namespace px {

// Sense keys (SPC-4, table 28).
namespace SenseKey {
constexpr uint8_t NoSense = 0x0;
constexpr uint8_t RecoveredError = 0x1;
constexpr uint8_t NotReady = 0x2;
constexpr uint8_t MediumError = 0x3;
constexpr uint8_t HardwareError = 0x4;
constexpr uint8_t IllegalRequest = 0x5;
constexpr uint8_t UnitAttention = 0x6;
constexpr uint8_t DataProtect = 0x7;
}  // namespace SenseKey

// SCSI status bytes the card device reads.
namespace ScsiStatus {
constexpr uint8_t Good = 0x00;
constexpr uint8_t CheckCondition = 0x02;
}  // namespace ScsiStatus

struct SenseData {
    bool Valid = false;          // a fixed or descriptor record that holds at least the key
    uint8_t Key = 0;
    uint8_t Asc = 0;             // 0 when the record is too short to hold it
    uint8_t Ascq = 0;
    bool HasInformation = false; // the information field is valid (the LBA of a medium error)
    uint64_t Information = 0;
};

// Decodes sense bytes: descriptor format (response code 72h/73h: key, ASC and ASCQ in
// bytes 1 to 3, information from an information descriptor) or fixed format (70h/71h, and
// any other code a reader sends: key in byte 2, information in bytes 3 to 6 when bit 7 of
// byte 0 is set, ASC and ASCQ in bytes 12 and 13). Reads only the length bytes given.
SenseData ParseSense(const uint8_t* sense, size_t length);

// True when a transfer of asked bytes delivered its data: every byte moved, and the status
// is GOOD or CHECK CONDITION with NO SENSE or RECOVERED ERROR (the device corrected what
// it reports, the data is good).
bool TransferComplete(uint8_t status, const SenseData& sense, uint32_t moved, uint32_t asked);

}  // namespace px
