#pragma once
// The layout of the file systems of a card, read from its bytes: where each FAT or exFAT
// volume lies, where its FAT, root directory and data clusters are. Read-only; nothing
// here touches a device, it reads through the function it is given.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace px {

// Reads n bytes at a byte offset of the card; false when they can't be read.
using CardReadFn = std::function<bool(uint64_t offset, uint8_t* out, size_t n)>;

// One FAT12/16/32 or exFAT volume of a card. Every offset is a byte offset on the card
// (not in the volume), so a caller can read clusters without adding the volume's start.
struct CardGeometry {
    enum class Kind { Fat12, Fat16, Fat32, ExFat };
    Kind FsKind = Kind::Fat32;

    uint64_t VolumeStart = 0;   // first byte of the volume (its boot sector)
    uint64_t VolumeBytes = 0;   // size of the volume as its boot sector gives it
    uint32_t SectorBytes = 0;   // 512..4096
    uint32_t ClusterBytes = 0;
    uint64_t DataStart = 0;     // cluster 2, the first data cluster
    uint32_t ClusterCount = 0;  // data clusters: 2 .. ClusterCount + 1

    uint64_t FatStart = 0;      // the first FAT
    uint32_t FatBytes = 0;      // size of one FAT
    uint32_t FatCount = 0;      // copies of the FAT, one after the other from FatStart

    uint64_t RootStart = 0;     // FAT12/16: the fixed root directory; 0 for FAT32/exFAT
    uint32_t RootBytes = 0;     // FAT12/16: its size; 0 for FAT32/exFAT
    uint32_t RootCluster = 0;   // FAT32/exFAT: first cluster of the root directory; 0 for FAT12/16

    // exFAT: the allocation bitmap (one bit a cluster, from cluster 2) as the root
    // directory names it; 0 when it could not be read. Always 0 on FAT.
    uint32_t BitmapCluster = 0;
    uint64_t BitmapBytes = 0;

    uint32_t VolumeSerial = 0;
    bool UsedBackup = false;    // the main boot sector was damaged and its backup was read

    // Bits of one FAT entry: 12, 16 or 32 (exFAT and FAT32; FAT32 uses the low 28).
    unsigned FatEntryBits() const;
    bool IsDataCluster(uint32_t cluster) const { return cluster >= 2 && cluster - 2 < ClusterCount; }
    // Card byte offset of a data cluster; 0 for a number that is no data cluster.
    uint64_t ClusterOffset(uint32_t cluster) const;
    // The data cluster that holds a card byte offset; 0 when the offset is outside the
    // data area.
    uint32_t ClusterAt(uint64_t offset) const;
    // Card byte offset just past the last data cluster.
    uint64_t DataEnd() const { return DataStart + uint64_t(ClusterCount) * ClusterBytes; }
};

// The volumes of a card, in the order of its partition table. Looks at the MBR's primary
// partitions, at the GPT behind a protective MBR, or at a volume at offset 0 (a card
// formatted without a partition table). Each volume's boot sector is checked against the
// FAT or exFAT rules and against the room the partition gives it; when the main boot
// sector fails, the backup (FAT32: sector 6; exFAT: the boot region at sectors 12..23,
// with its checksum) is used instead. Volumes that are neither FAT nor exFAT are left
// out; a card without any gives an empty list. cardBytes is the card's size (0 when not
// known: then sizes are checked only against the partition table).
std::vector<CardGeometry> ReadCardGeometry(const CardReadFn& read, uint64_t cardBytes);

// Checks one boot sector (its first 512 bytes) and fills the geometry of the volume that
// starts at volumeStart and may use at most roomBytes (0: no limit). False when the
// sector is no valid FAT12/16/32 or exFAT boot sector. The exFAT boot checksum is not
// checked here (it needs the whole boot region); ReadCardGeometry checks it.
bool ParseBootSector(const uint8_t* sector, uint64_t volumeStart, uint64_t roomBytes, CardGeometry& out);

}  // namespace px
