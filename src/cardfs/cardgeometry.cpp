#include "cardfs/cardgeometry.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace px {

namespace {

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
uint64_t Le64(const uint8_t* p) { return uint64_t(Le32(p)) | uint64_t(Le32(p + 4)) << 32; }

bool IsPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// Largest cluster number a FAT can hold for a file (values above it mark bad clusters and
// chain ends): 0xFF6 / 0xFFF6 / 0x0FFFFFF6, so at most that many minus 1 data clusters.
constexpr uint32_t kFat12MaxClusters = 4084;
constexpr uint32_t kFat16MaxClusters = 65524;
constexpr uint32_t kFat32MaxClusters = 0x0FFFFFF5;
// exFAT: the cluster heap may hold up to 2^32 - 11 clusters.
constexpr uint64_t kExFatMaxClusters = 0xFFFFFFF5;

bool ParseFat(const uint8_t* b, uint64_t start, uint64_t room, CardGeometry& g)
{
    // The jump to the boot code: a short jump (EB xx, normally EB xx 90) or a near one (E9).
    if (b[0] != 0xEB && b[0] != 0xE9)
        return false;
    const uint32_t bps = Le16(b + 11);
    const uint32_t spc = b[13];
    const uint32_t reserved = Le16(b + 14);
    const uint32_t fats = b[16];
    const uint32_t rootEntries = Le16(b + 17);
    const uint32_t total16 = Le16(b + 19);
    const uint8_t media = b[21];
    const uint32_t fatSize16 = Le16(b + 22);
    const uint32_t total32 = Le32(b + 32);
    if (bps < 512 || bps > 4096 || !IsPowerOfTwo(bps) || !IsPowerOfTwo(spc) || reserved == 0)
        return false;
    if (fats == 0 || fats > 4 || (media != 0xF0 && media < 0xF8))
        return false;
    // FAT32 keeps its FAT size and root cluster in the extended BPB and has no fixed root.
    const bool fat32 = fatSize16 == 0;
    const uint32_t fatSectors = fat32 ? Le32(b + 36) : fatSize16;
    const uint64_t totalSectors = total16 ? total16 : total32;
    if (fatSectors == 0 || totalSectors == 0)
        return false;
    // The file system type mark: "FAT12   ", "FAT16   " or "FAT     " at 0x36, "FAT32   "
    // at 0x52 (the mark is only informative to FAT, but every formatter writes it).
    if (std::memcmp(b + (fat32 ? 0x52 : 0x36), "FAT", 3) != 0)
        return false;
    if (fat32 && (rootEntries != 0 || total16 != 0 || Le16(b + 42) != 0))
        return false;
    if (!fat32 && rootEntries == 0)
        return false;

    const uint64_t rootSectors = (uint64_t(rootEntries) * 32 + bps - 1) / bps;
    const uint64_t metaSectors = reserved + uint64_t(fats) * fatSectors + rootSectors;
    if (metaSectors >= totalSectors)
        return false;
    const uint64_t clusters = (totalSectors - metaSectors) / spc;
    if (clusters == 0)
        return false;
    if (room != 0 && totalSectors * bps > room)
        return false;

    CardGeometry::Kind kind;
    unsigned bits;
    if (fat32) {
        if (clusters > kFat32MaxClusters)
            return false;
        kind = CardGeometry::Kind::Fat32;
        bits = 32;
    } else if (clusters <= kFat12MaxClusters) {
        kind = CardGeometry::Kind::Fat12;
        bits = 12;
    } else if (clusters <= kFat16MaxClusters) {
        kind = CardGeometry::Kind::Fat16;
        bits = 16;
    } else {
        return false;   // too many clusters for a FAT16 BPB
    }
    // The FAT must have an entry for every cluster, the two reserved ones included.
    if (uint64_t(fatSectors) * bps * 8 / bits < clusters + 2)
        return false;

    g = CardGeometry{};
    g.FsKind = kind;
    g.VolumeStart = start;
    g.VolumeBytes = totalSectors * bps;
    g.SectorBytes = bps;
    g.ClusterBytes = bps * spc;
    g.ClusterCount = uint32_t(clusters);
    g.FatStart = start + uint64_t(reserved) * bps;
    g.FatBytes = fatSectors * bps;
    g.FatCount = fats;
    g.DataStart = start + metaSectors * bps;
    if (fat32) {
        g.RootCluster = Le32(b + 44);
        if (!g.IsDataCluster(g.RootCluster))
            return false;
        g.VolumeSerial = Le32(b + 0x43);
    } else {
        g.RootStart = g.FatStart + uint64_t(fats) * g.FatBytes;
        g.RootBytes = uint32_t(rootEntries * 32);
        g.VolumeSerial = Le32(b + 0x27);
    }
    return true;
}

bool ParseExFat(const uint8_t* b, uint64_t start, uint64_t room, CardGeometry& g)
{
    if (b[0] != 0xEB || b[1] != 0x76 || b[2] != 0x90 || std::memcmp(b + 3, "EXFAT   ", 8) != 0)
        return false;
    // Bytes 11..63 stand where FAT keeps its BPB and must be zero on exFAT.
    for (int i = 11; i < 64; ++i)
        if (b[i] != 0)
            return false;
    if (Le16(b + 510) != 0xAA55)
        return false;
    const uint64_t volumeSectors = Le64(b + 72);
    const uint32_t fatOffset = Le32(b + 80);
    const uint32_t fatLength = Le32(b + 84);
    const uint32_t heapOffset = Le32(b + 88);
    const uint32_t clusters = Le32(b + 92);
    const uint32_t rootCluster = Le32(b + 96);
    const unsigned sectorShift = b[108];
    const unsigned clusterShift = b[109];
    const unsigned fats = b[110];
    if (b[105] != 1)   // file system revision 1.x
        return false;
    // Sectors of 512..4096 bytes, clusters of at most 32 MiB.
    if (sectorShift < 9 || sectorShift > 12 || clusterShift > 25 - sectorShift)
        return false;
    if (fats < 1 || fats > 2)
        return false;
    // A volume has at least 1 MiB; the FAT follows the 24 sectors of the two boot regions,
    // the heap follows the FATs, and both hold what the cluster count needs.
    if (volumeSectors < (uint64_t(1) << (20 - sectorShift)) || fatOffset < 24 || fatLength == 0)
        return false;
    if (uint64_t(heapOffset) < uint64_t(fatOffset) + uint64_t(fatLength) * fats || heapOffset >= volumeSectors)
        return false;
    if (clusters == 0 || clusters > kExFatMaxClusters)
        return false;
    if ((uint64_t(fatLength) << sectorShift) < (uint64_t(clusters) + 2) * 4)
        return false;
    if (clusters > (volumeSectors - heapOffset) >> clusterShift)
        return false;
    const uint64_t volumeBytes = volumeSectors << sectorShift;
    if (room != 0 && volumeBytes > room)
        return false;

    g = CardGeometry{};
    g.FsKind = CardGeometry::Kind::ExFat;
    g.VolumeStart = start;
    g.VolumeBytes = volumeBytes;
    g.SectorBytes = 1u << sectorShift;
    g.ClusterBytes = 1u << (sectorShift + clusterShift);
    g.ClusterCount = clusters;
    g.FatStart = start + (uint64_t(fatOffset) << sectorShift);
    g.FatBytes = fatLength << sectorShift;
    g.FatCount = fats;
    g.DataStart = start + (uint64_t(heapOffset) << sectorShift);
    g.RootCluster = rootCluster;
    g.VolumeSerial = Le32(b + 100);
    return g.IsDataCluster(rootCluster);
}

// The exFAT boot checksum over sectors 0..10 of a boot region, leaving out VolumeFlags
// (bytes 106-107) and PercentInUse (112), which change without the checksum; sector 11
// repeats it in every 4 bytes.
bool ExFatChecksumMatches(const std::vector<uint8_t>& region, uint32_t sectorBytes)
{
    uint32_t sum = 0;
    const size_t n = size_t(sectorBytes) * 11;
    for (size_t i = 0; i < n; ++i) {
        if (i == 106 || i == 107 || i == 112)
            continue;
        sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + region[i];
    }
    for (size_t i = n; i < n + sectorBytes; i += 4)
        if (Le32(region.data() + i) != sum)
            return false;
    return true;
}

// Reads a 12-sector exFAT boot region at offset and checks its boot sector and checksum.
bool ReadExFatRegion(const CardReadFn& read, uint64_t regionOffset, uint64_t start, uint64_t room,
                     uint32_t expectedSectorBytes, CardGeometry& g, bool* checksumOk)
{
    std::array<uint8_t, 512> head{};
    if (!read(regionOffset, head.data(), head.size()) || !ParseExFat(head.data(), start, room, g))
        return false;
    if (expectedSectorBytes != 0 && g.SectorBytes != expectedSectorBytes)
        return false;
    std::vector<uint8_t> region(size_t(g.SectorBytes) * 12);
    *checksumOk = read(regionOffset, region.data(), region.size()) && ExFatChecksumMatches(region, g.SectorBytes);
    return true;
}

// exFAT names its allocation bitmap in an entry (type 0x81) of the root directory, which
// formatters put among its first entries; the first cluster of the root is searched.
void FindExFatBitmap(const CardReadFn& read, CardGeometry& g)
{
    const size_t n = std::min<size_t>(g.ClusterBytes, 64 * 1024);
    std::vector<uint8_t> dir(n);
    if (!read(g.ClusterOffset(g.RootCluster), dir.data(), n))
        return;
    for (size_t i = 0; i + 32 <= n; i += 32) {
        const uint8_t* e = dir.data() + i;
        if (e[0] == 0x00)
            break;
        // Bit 0 of the flags tells the bitmap of the second FAT (TexFAT) from the first.
        if (e[0] == 0x81 && (e[1] & 1) == 0) {
            const uint32_t cluster = Le32(e + 20);
            const uint64_t length = Le64(e + 24);
            if (g.IsDataCluster(cluster) && length >= (uint64_t(g.ClusterCount) + 7) / 8) {
                g.BitmapCluster = cluster;
                g.BitmapBytes = length;
            }
            return;
        }
    }
}

// The volume at start, with at most room bytes (0: no limit); its main boot sector first,
// else its backup.
bool ProbeVolume(const CardReadFn& read, uint64_t start, uint64_t room, CardGeometry& out)
{
    std::array<uint8_t, 512> sector{};
    const bool mainRead = read(start, sector.data(), sector.size());
    if (mainRead && ParseFat(sector.data(), start, room, out))
        return true;

    bool mainChecksum = false;
    CardGeometry mainExFat;
    const bool mainIsExFat = mainRead && ReadExFatRegion(read, start, start, room, 0, mainExFat, &mainChecksum);
    if (mainIsExFat && mainChecksum) {
        out = mainExFat;
        FindExFatBitmap(read, out);
        return true;
    }

    // The backups sit a fixed number of sectors in, and the sector size is the damaged
    // sector's secret: each size is tried, and the backup must state the same size.
    for (uint32_t bps = 512; bps <= 4096; bps *= 2) {
        bool checksum = false;
        CardGeometry g;
        if (ReadExFatRegion(read, start + 12ull * bps, start, room, bps, g, &checksum) && checksum) {
            out = g;
            out.UsedBackup = true;
            FindExFatBitmap(read, out);
            return true;
        }
        // FAT32 keeps its backup boot sector at sector 6 (the BPB's BkBootSec, which the
        // backup itself repeats).
        if (read(start + 6ull * bps, sector.data(), sector.size()) && ParseFat(sector.data(), start, room, g) &&
            g.FsKind == CardGeometry::Kind::Fat32 && g.SectorBytes == bps && Le16(sector.data() + 50) == 6) {
            out = g;
            out.UsedBackup = true;
            return true;
        }
    }
    // An exFAT boot sector whose checksum fails but that is sound in itself, without a
    // sound backup, is still the best knowledge of the volume.
    if (mainIsExFat) {
        out = mainExFat;
        FindExFatBitmap(read, out);
        return true;
    }
    return false;
}

uint32_t Crc32(const uint8_t* p, size_t n)
{
    static const auto table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i)
        crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

struct Extent {
    uint64_t Start, Bytes;
};

// The partitions of a GPT whose header is at LBA headerLba; false when the header or its
// entry array fails its CRC.
bool ReadGptAt(const CardReadFn& read, uint32_t ss, uint64_t headerLba, std::vector<Extent>& parts)
{
    std::vector<uint8_t> h(ss);
    if (!read(headerLba * ss, h.data(), ss) || std::memcmp(h.data(), "EFI PART", 8) != 0)
        return false;
    const uint32_t headerSize = Le32(h.data() + 12);
    if (headerSize < 92 || headerSize > ss)
        return false;
    const uint32_t storedCrc = Le32(h.data() + 16);
    std::memset(h.data() + 16, 0, 4);
    if (Crc32(h.data(), headerSize) != storedCrc)
        return false;
    const uint64_t entriesLba = Le64(h.data() + 72);
    const uint32_t count = Le32(h.data() + 80);
    const uint32_t entrySize = Le32(h.data() + 84);
    // Entries are 128 bytes times a power of two; a table is 16 KiB by default, and 4096
    // entries is far beyond what any card has.
    if (entrySize < 128 || !IsPowerOfTwo(entrySize) || count == 0 || count > 4096)
        return false;
    std::vector<uint8_t> entries(size_t(count) * entrySize);
    if (!read(entriesLba * ss, entries.data(), entries.size()) || Crc32(entries.data(), entries.size()) != Le32(h.data() + 88))
        return false;
    parts.clear();
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* e = entries.data() + size_t(i) * entrySize;
        bool unused = true;
        for (int k = 0; k < 16; ++k)
            unused = unused && e[k] == 0;
        const uint64_t first = Le64(e + 32), last = Le64(e + 40);
        if (unused || first == 0 || last < first)
            continue;
        parts.push_back({first * ss, (last - first + 1) * ss});
    }
    return true;
}

// The GPT behind a protective MBR, from its main header at LBA 1 or else from its backup
// header in the card's last sector. Sectors of 512 or 4096 bytes.
bool ReadGpt(const CardReadFn& read, uint64_t cardBytes, std::vector<Extent>& parts)
{
    for (uint32_t ss : {512u, 4096u}) {
        if (ReadGptAt(read, ss, 1, parts))
            return true;
        if (cardBytes >= 2ull * ss && ReadGptAt(read, ss, cardBytes / ss - 1, parts))
            return true;
    }
    return false;
}

// The primary partitions of an MBR; false when the sector holds no plausible table (a
// status other than 0x00/0x80, or a partition starting at sector 0). *gpt is set when
// the table is a protective MBR.
bool ReadMbr(const uint8_t* s, std::vector<Extent>& parts, bool* gpt)
{
    *gpt = false;
    if (Le16(s + 510) != 0xAA55)
        return false;
    parts.clear();
    for (int i = 0; i < 4; ++i) {
        const uint8_t* e = s + 446 + 16 * i;
        const uint8_t type = e[4];
        const uint32_t first = Le32(e + 8), count = Le32(e + 12);
        if (type == 0 && count == 0)
            continue;
        if ((e[0] != 0x00 && e[0] != 0x80) || first == 0 || count == 0)
            return false;
        if (type == 0xEE) {
            *gpt = true;
            continue;
        }
        // Extended partitions (0x05, 0x0F, 0x85) hold other tables, not a volume.
        if (type == 0x05 || type == 0x0F || type == 0x85)
            continue;
        // Any other type is probed: cameras and card readers mark FAT partitions with
        // 0x01/0x04/0x06/0x0B/0x0C/0x0E and exFAT with 0x07, but a wrong mark does not
        // make the volume any less readable, and the boot sector check decides.
        parts.push_back({uint64_t(first) * 512, uint64_t(count) * 512});
    }
    return true;
}

}  // namespace

unsigned CardGeometry::FatEntryBits() const
{
    switch (FsKind) {
    case Kind::Fat12: return 12;
    case Kind::Fat16: return 16;
    default: return 32;
    }
}

uint64_t CardGeometry::ClusterOffset(uint32_t cluster) const
{
    return IsDataCluster(cluster) ? DataStart + uint64_t(cluster - 2) * ClusterBytes : 0;
}

uint32_t CardGeometry::ClusterAt(uint64_t offset) const
{
    if (offset < DataStart || offset >= DataEnd() || ClusterBytes == 0)
        return 0;
    return uint32_t((offset - DataStart) / ClusterBytes) + 2;
}

bool ParseBootSector(const uint8_t* sector, uint64_t volumeStart, uint64_t roomBytes, CardGeometry& out)
{
    return ParseFat(sector, volumeStart, roomBytes, out) || ParseExFat(sector, volumeStart, roomBytes, out);
}

std::vector<CardGeometry> ReadCardGeometry(const CardReadFn& read, uint64_t cardBytes)
{
    std::vector<CardGeometry> volumes;
    std::array<uint8_t, 512> first{};
    if (!read(0, first.data(), first.size()))
        return volumes;

    // A sound boot sector at offset 0 is a card without a partition table: an MBR's code
    // area never passes the BPB checks, and a boot sector's partition area is boot code.
    // An exFAT boot sector must pass its checksum too, as a partition table written over
    // a formerly unpartitioned card leaves the old boot sector in place, with the table
    // where its boot code was.
    CardGeometry g;
    bool checksum = false;
    if (ParseFat(first.data(), 0, cardBytes, g) ||
        (ReadExFatRegion(read, 0, 0, cardBytes, 0, g, &checksum) && checksum)) {
        if (g.FsKind == CardGeometry::Kind::ExFat)
            FindExFatBitmap(read, g);
        volumes.push_back(g);
        return volumes;
    }

    std::vector<Extent> parts;
    bool gpt = false;
    if (ReadMbr(first.data(), parts, &gpt) && gpt)
        ReadGpt(read, cardBytes, parts);
    for (const Extent& p : parts) {
        if (cardBytes != 0 && p.Start >= cardBytes)
            continue;
        if (ProbeVolume(read, p.Start, p.Bytes, g))
            volumes.push_back(g);
    }
    // Nothing from a table: maybe a card without one whose boot sector is damaged.
    if (volumes.empty() && ProbeVolume(read, 0, cardBytes, g))
        volumes.push_back(g);
    return volumes;
}

}  // namespace px
