#pragma once
// Control codes and the published record layouts of the storage requests that the card
// device sends. The device layer builds and reads these buffers byte for byte, so the
// layouts are given as offsets (little-endian), not as compiler structures.
#include <cstdint>
#include <cstring>

namespace px {

constexpr uint32_t IOCTL_SCSI_PASS_THROUGH = 0x4D004;
constexpr uint32_t IOCTL_SCSI_PASS_THROUGH_DIRECT = 0x4D014;
constexpr uint32_t FSCTL_LOCK_VOLUME = 0x90018;
constexpr uint32_t FSCTL_UNLOCK_VOLUME = 0x9001C;
constexpr uint32_t FSCTL_DISMOUNT_VOLUME = 0x90020;
constexpr uint32_t IOCTL_STORAGE_EJECT_MEDIA = 0x2D4808;
constexpr uint32_t IOCTL_STORAGE_QUERY_PROPERTY = 0x2D1400;
constexpr uint32_t IOCTL_STORAGE_GET_MEDIA_TYPES_EX = 0x2D0C04;
constexpr uint32_t IOCTL_DISK_GET_DRIVE_GEOMETRY = 0x70000;
constexpr uint32_t IOCTL_DISK_GET_DRIVE_GEOMETRY_EX = 0x700A0;

// Drive type codes of the volume table.
constexpr unsigned DRIVE_UNKNOWN = 0;
constexpr unsigned DRIVE_NO_ROOT_DIR = 1;
constexpr unsigned DRIVE_REMOVABLE = 2;
constexpr unsigned DRIVE_FIXED = 3;

// SCSI_PASS_THROUGH header, the 32-bit layout: 44 bytes.
namespace spt {
constexpr uint32_t Length = 0;              // u16
constexpr uint32_t ScsiStatus = 2;          // u8
constexpr uint32_t PathId = 3;              // u8
constexpr uint32_t TargetId = 4;            // u8
constexpr uint32_t Lun = 5;                 // u8
constexpr uint32_t CdbLength = 6;           // u8
constexpr uint32_t SenseInfoLength = 7;     // u8
constexpr uint32_t DataIn = 8;              // u8
constexpr uint32_t DataTransferLength = 12; // u32
constexpr uint32_t TimeOutValue = 16;       // u32, seconds
constexpr uint32_t DataBufferOffset = 20;   // u32
constexpr uint32_t SenseInfoOffset = 24;    // u32
constexpr uint32_t Cdb = 28;                // 16 bytes
constexpr uint32_t HeaderSize = 44;
constexpr uint8_t DATA_OUT = 0;
constexpr uint8_t DATA_IN = 1;
constexpr uint8_t DATA_UNSPECIFIED = 2;
}  // namespace spt

// SCSI_PASS_THROUGH_DIRECT header, the 64-bit layout: as SCSI_PASS_THROUGH up to the time-out,
// then the data's address in place of its offset (the data stays in the caller's buffer,
// nothing is copied through the request), the sense offset and the CDB: 56 bytes.
namespace sptd {
constexpr uint32_t DataBuffer = 24;         // u64, the data's address
constexpr uint32_t SenseInfoOffset = 32;    // u32
constexpr uint32_t Cdb = 36;                // 16 bytes
constexpr uint32_t HeaderSize = 56;
}  // namespace sptd

// Sizes of the fixed answers.
constexpr uint32_t DISK_GEOMETRY_SIZE = 24;      // cylinders u64, media type, tracks, sectors, bytes
constexpr uint32_t DISK_GEOMETRY_EX_SIZE = 40;   // geometry, disk size u64, data[1], padding
constexpr uint32_t GET_MEDIA_TYPES_SIZE = 40;    // device type, count, one DEVICE_MEDIA_INFO
constexpr uint32_t STORAGE_DESCRIPTOR_FIXED = 40;

// Bus types.
constexpr uint32_t BusTypeUnknown = 0;
constexpr uint32_t BusTypeScsi = 1;
constexpr uint32_t BusTypeAta = 3;
constexpr uint32_t BusTypeUsb = 7;
constexpr uint32_t BusTypeSd = 12;

inline uint16_t Get16(const uint8_t* p) { uint16_t v; std::memcpy(&v, p, 2); return v; }
inline uint32_t Get32(const uint8_t* p) { uint32_t v; std::memcpy(&v, p, 4); return v; }
inline uint64_t Get64(const uint8_t* p) { uint64_t v; std::memcpy(&v, p, 8); return v; }
inline void Put16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }
inline void Put32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
inline void Put64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }
inline uint32_t GetBE32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]; }
inline uint16_t GetBE16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
inline void PutBE32(uint8_t* p, uint32_t v) { p[0] = uint8_t(v >> 24); p[1] = uint8_t(v >> 16); p[2] = uint8_t(v >> 8); p[3] = uint8_t(v); }
inline uint64_t GetBE64(const uint8_t* p) { return (uint64_t(GetBE32(p)) << 32) | GetBE32(p + 4); }
inline void PutBE64(uint8_t* p, uint64_t v) { PutBE32(p, uint32_t(v >> 32)); PutBE32(p + 4, uint32_t(v)); }

}  // namespace px
