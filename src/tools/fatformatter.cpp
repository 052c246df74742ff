#include "tools/fatformatter.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>

#include "device/cdrive.h"
#include "device/cdriveinfo.h"
#include "device/cdrivescsi.h"
#include "tools/bootcode.h"
#include "tools/cardtools.h"

namespace {

// The most sectors a FAT32 boot sector (BPB_TotSec32) and an MBR partition entry can count.
constexpr int64_t kMaxFatSectors = 0xFFFFFFFFll;

// The block transport moves 512 bytes per block.
constexpr uint32_t kBlockSize = 512;
// The formatter writes the system area in requests of this many blocks.
constexpr uint32_t kBlocksPerWrite = 10;

// FormatFat's choice of FAT type by the card's total sectors.
constexpr uint32_t kFat12Limit = 4084;      // FAT12 up to here
constexpr uint32_t kFat32From = 4505600;    // FAT32 from here on, FAT16 below

// Largest cluster counts: a FAT12 volume has fewer than 4085 clusters, a FAT16 volume
// fewer than 65525; readers decide the FAT type by the cluster count alone, so a volume
// outside its type's range is read as another type. FAT32 entries have 28 bits.
constexpr uint32_t kMaxClusters12 = 4084;
constexpr uint32_t kMaxClusters16 = 0xFFF4;
constexpr uint32_t kMaxClusters32 = 0xFFFFFF5;

// Two FAT entries (media and end-of-chain marks) precede cluster 2, the first data
// cluster (FAT32's root directory starts there).
constexpr uint32_t kReservedFatEntries = 2;
constexpr uint32_t kFirstDataCluster = 2;
// Sector sizes a FAT boot sector may state: powers of two from 128 to 4,096; 512 when the
// card does not say.
constexpr uint32_t kDefaultSectorSize = 512;
constexpr uint32_t kMinSectorSize = 128;
constexpr uint32_t kMaxSectorSize = 4096;
// A track of 32 sectors when the card gives no geometry (the classic flash card's).
constexpr uint32_t kDefaultSectorsPerTrack = 32;
// Two FAT copies: what every camera and reader expects.
constexpr uint32_t kDefaultFatCopies = 2;
// The type by volume size when none is asked for (mkfs.fat's choice): FAT12 up to 8,400
// sectors (4 MB), FAT32 above 1,048,576 sectors (512 MB), FAT16 between.
constexpr uint32_t kFat12UpTo = 8400;
constexpr uint32_t kFat32Above = 1048576;
// Bytes of the largest FAT12 FAT: 4,085 entries of 12 bits, rounded as mkfs.fat does.
constexpr uint32_t kFat12MaxFatBytes = 6130;
// Clusters of at most 64 sectors (32 KB): larger ones are not read by every system.
constexpr uint32_t kMaxSectorsPerCluster = 64;
// FAT32: 32 reserved sectors, the backup boot sector at sector 6 (where every reader
// looks for it).
constexpr uint32_t kFat32ReservedSectors = 32;
constexpr uint32_t kBackupBootSector = 6;
// Media bytes: F8 a fixed (partitioned) disk, F0 a removable medium without a table.
constexpr uint8_t kMediaFixed = 0xF8;
constexpr uint8_t kMediaRemovable = 0xF0;
// Default root directory of FAT12 and FAT16: 512 entries, 16 KB.
constexpr uint32_t kDefaultRootEntries = 512;
constexpr uint32_t kDirEntrySize = 32;
constexpr uint16_t kNoSector = 0xFFFF;   // the option's "no FS information / backup sector"

// Card geometry defaults: the first row whose limit is at or above the total sectors
// gives heads and sectors per track where the card does not say. The rows are the
// sizes of the classic flash cards; the last row covers everything bigger.
struct GeometryRow {
    uint32_t limit, cylinders, heads, sectorsPerTrack;
};
constexpr GeometryRow kGeometry[] = {
    {30880, 243, 4, 32},    {31008, 244, 4, 32},     {61898, 487, 4, 32},      {62026, 488, 4, 32},
    {125512, 984, 4, 32},   {187212, 734, 8, 32},    {251088, 984, 8, 32},     {249556, 978, 8, 32},
    {502736, 984, 16, 32},  {627568, 624, 16, 63},   {1000352, 994, 16, 63},   {1257568, 1249, 16, 63},
    {2013376, 1999, 16, 63}, {4029984, 3998, 16, 63}, {8053920, 7990, 16, 63}, {4294967295u, 0, 0, 0},
};

// Sectors per cluster by volume size: Microsoft's published FAT16 and FAT32 cluster
// size tables (512-byte sectors), with 64 in FAT16's last row. 0 marks sizes with no
// valid cluster size for that type (the cluster count would fall into another type's range).
struct ClusterRow {
    uint32_t limit, sectorsPerCluster;
};
constexpr ClusterRow kClusters16[] = {
    {8400, 0}, {32680, 2}, {262144, 4}, {524288, 8}, {1048576, 16}, {2097152, 32}, {4194304, 64}, {0xFFFFFFFF, 64},
};
constexpr ClusterRow kClusters32[] = {
    {66600, 0}, {532480, 1}, {16777216, 8}, {33554432, 16}, {67108864, 32}, {0xFFFFFFFF, 64},
};

template <size_t N>
uint32_t ClusterSize(const ClusterRow (&table)[N], uint32_t sectors)
{
    for (const ClusterRow& row : table)
        if (row.limit >= sectors)
            return row.sectorsPerCluster;
    return table[N - 1].sectorsPerCluster;
}

uint32_t MaxClusters(uint32_t fat)
{
    return fat == 12 ? kMaxClusters12 : fat == 16 ? kMaxClusters16 : kMaxClusters32;
}

uint64_t CeilDiv(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

void Put16(uint8_t* at, uint32_t value)
{
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

void Put32(uint8_t* at, uint32_t value)
{
    Put16(at, value);
    Put16(at + 2, value >> 16);
}

void PutPadded(uint8_t* at, const std::string& text, size_t width)
{
    std::memset(at, ' ', width);
    std::memcpy(at, text.data(), std::min(width, text.size()));
}

// The label as 8-bit text: ASCII characters stay, every other character (and every
// byte that is not UTF-8) becomes '_', which FAT allows in a label.
std::string LabelToEightBit(const std::string& utf8)
{
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            out += c < 0x20 ? '_' : static_cast<char>(c);
            ++i;
            continue;
        }
        size_t length = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 1;
        size_t k = 1;
        while (k < length && i + k < utf8.size() && (static_cast<unsigned char>(utf8[i + k]) & 0xC0) == 0x80)
            ++k;
        out += '_';
        i += k;
    }
    return out;
}

// A sector address as the three CHS bytes of a partition entry (head, sector with the
// cylinder's two high bits, cylinder's low byte). A cylinder beyond the 1024 that CHS
// can address gives FF FF FF; an unknown geometry gives zeros.
void PutChs(uint8_t* at, uint64_t lba, uint32_t sectorsPerTrack, uint32_t heads)
{
    if (sectorsPerTrack == 0 || heads == 0) {
        std::memset(at, 0, 3);
        return;
    }
    const uint64_t track = lba / sectorsPerTrack;
    const uint64_t cylinder = track / heads;
    if (cylinder > 1023) {
        std::memset(at, 0xFF, 3);
        return;
    }
    at[0] = static_cast<uint8_t>(track % heads);
    at[1] = static_cast<uint8_t>((lba % sectorsPerTrack + 1) | ((cylinder >> 2) & 0xC0));
    at[2] = static_cast<uint8_t>(cylinder & 0xFF);
}

}  // namespace

CFatTime SystemFatTime()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    CFatTime t;
    t.Year = local.tm_year + 1900;
    t.Month = local.tm_mon + 1;
    t.Day = local.tm_mday;
    t.Hour = local.tm_hour;
    t.Minute = local.tm_min;
    t.Second = local.tm_sec;
    t.Millisecond = static_cast<int>(ms);
    return t;
}

uint32_t FatSerialFromTime(const CFatTime& t)
{
    const uint32_t high = ((static_cast<uint32_t>(t.Month) << 8) | static_cast<uint32_t>(t.Day)) +
                          ((static_cast<uint32_t>(t.Second) << 8) | static_cast<uint32_t>(t.Millisecond / 10));
    const uint32_t low = static_cast<uint32_t>(t.Year) + ((static_cast<uint32_t>(t.Hour) << 8) | static_cast<uint32_t>(t.Minute));
    return (high << 16) | low;
}

std::string FatLabelField(const std::optional<std::string>& label)
{
    if (!label)
        return "NO NAME    ";
    std::string field = label->substr(0, 11);
    for (char& c : field)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    field.resize(11, ' ');
    // 0xE5 as a first byte marks a deleted directory entry; FAT stores it as 0x05.
    if (static_cast<unsigned char>(field[0]) == 0xE5)
        field[0] = 0x05;
    return field;
}

bool CFatFormatter::Fail(const std::string& text)
{
    m_error = text;
    return false;
}

bool CFatFormatter::Compute(const CFatOptions& o)
{
    m_options = o;
    m_bpb = CFatBpb{};
    m_error.clear();
    m_fat = m_spf = m_rootSectors = m_clusters = m_bsec = 0;
    ReleaseImage();

    uint32_t fat = 0;
    uint32_t firstFree = 0;
    if (!TakeGivenFields(o, fat) || !ReservePartitionTrack(o) || !ChooseClusterSize(fat))
        return false;
    PlaceInfoSectors(fat, firstFree);
    if (!ChooseReservedSectors(fat, firstFree) || !SizeFatAndClusters(o, fat))
        return false;
    FillTotals(fat);
    return true;
}

bool CFatFormatter::TakeGivenFields(const CFatOptions& o, uint32_t& fat)
{
    CFatBpb& b = m_bpb;
    // Given geometry, sector size, size and hidden sectors first.
    if (o.Heads)
        b.Heads = o.Heads;
    if (o.SectorsPerTrack)
        b.SectorsPerTrack = o.SectorsPerTrack;
    if (o.BytesPerSector)
        b.BytesPerSector = o.BytesPerSector;
    if (o.TotalSectors)
        b.TotalSectors32 = o.TotalSectors;
    if (o.HiddenGiven)
        b.HiddenSectors = o.HiddenSectors;
    if (b.BytesPerSector == 0)
        b.BytesPerSector = kDefaultSectorSize;
    const uint32_t bps = b.BytesPerSector;
    if (bps < kMinSectorSize || bps > kMaxSectorSize || (bps & (bps - 1)) != 0)
        return Fail("Invalid sector size " + std::to_string(bps));

    if (o.TotalSectors) {
        for (const GeometryRow& row : kGeometry) {
            if (row.limit >= o.TotalSectors) {
                if (!o.Heads)
                    b.Heads = row.heads;
                if (!o.SectorsPerTrack)
                    b.SectorsPerTrack = row.sectorsPerTrack;
                break;
            }
        }
    }

    fat = o.FatType;
    if (fat != 0 && fat != 12 && fat != 16 && fat != 32)
        return Fail("Invalid FAT type " + std::to_string(fat));
    // Only FAT32 has an information or a backup boot sector.
    if (fat == 0 && o.RootEntries == 0 && (o.InfoSector || o.BackupSector))
        fat = 32;

    if (o.ReservedSectors)
        b.ReservedSectors = o.ReservedSectors;
    if (o.NumberOfFats)
        b.NumberOfFats = o.NumberOfFats;
    if (o.RootEntries)
        b.RootEntries = o.RootEntries;
    if (o.MediaGiven)
        b.Media = o.Media;
    if (o.SectorsPerFat)
        b.SectorsPerFat32 = o.SectorsPerFat;
    if (o.InfoSector)
        b.InfoSector = o.InfoSector;
    if (o.BackupSector)
        b.BackupSector = o.BackupSector;
    return true;
}

bool CFatFormatter::ReservePartitionTrack(const CFatOptions& o)
{
    CFatBpb& b = m_bpb;
    // The partition starts one track in; the volume loses that track and any hidden
    // sectors given before it.
    if (o.PartitionTable) {
        const uint32_t track = b.SectorsPerTrack ? b.SectorsPerTrack : kDefaultSectorsPerTrack;
        const uint64_t lost = uint64_t(track) + (o.HiddenGiven ? o.HiddenSectors : 0);
        if (uint64_t(b.TotalSectors32) <= lost || uint64_t(b.HiddenSectors) + track > 0xFFFFFFFFull)
            return Fail("The card is too small for a FAT file system");
        b.HiddenSectors += track;
        b.TotalSectors32 -= static_cast<uint32_t>(lost);
    }
    if (b.NumberOfFats == 0)
        b.NumberOfFats = kDefaultFatCopies;
    if (b.TotalSectors32 == 0)
        return Fail("The card is too small for a FAT file system");
    return true;
}

bool CFatFormatter::ChooseClusterSize(uint32_t& fat)
{
    CFatBpb& b = m_bpb;
    const uint32_t bsec = b.TotalSectors32;
    const uint32_t bps = b.BytesPerSector;
    uint32_t spc = 0;
    if (fat == 0)
        fat = bsec <= kFat12UpTo ? 12 : bsec > kFat32Above ? 32 : 16;
    if (fat == 16) {
        spc = ClusterSize(kClusters16, bsec);
        // The table has no FAT16 cluster size up to 8,400 sectors: two-sector clusters
        // would leave fewer than 4,085 clusters, which every reader takes for FAT12,
        // and one-sector FAT16 clusters are not made. Such a card gets FAT12, which is
        // what cameras (and the SD card rules, up to 64 MB) put on their smallest cards.
        if (spc == 0)
            fat = 12;
    }
    if (fat == 12) {
        // The smallest clusters that keep the volume under FAT12's 4,085 clusters, with
        // the FATs (at most 4,085 entries of 1.5 bytes each: 6,130 bytes, counted as
        // in mkfs.fat) and the root directory taken off first.
        const uint32_t rootEntries = b.RootEntries ? b.RootEntries : kDefaultRootEntries;
        const uint64_t overhead = uint64_t(b.NumberOfFats) * ((2 * bps + kFat12MaxFatBytes * 2) / (2 * bps)) +
                                  CeilDiv(rootEntries, bps / kDirEntrySize);
        spc = 1;
        while (overhead + uint64_t(spc) * (kMaxClusters12 + 1) < bsec) {
            spc *= 2;
            if (spc == kMaxSectorsPerCluster)
                break;
        }
    }
    if (fat == 32) {
        spc = ClusterSize(kClusters32, bsec);
        if (spc == 0)
            return Fail("The volume is too small for FAT32");
        // FAT32 has no fixed root directory: it lives in clusters from cluster 2.
        b.RootEntries = 0;
    }
    b.SectorsPerCluster = spc;
    return true;
}

void CFatFormatter::PlaceInfoSectors(uint32_t fat, uint32_t& firstFree)
{
    CFatBpb& b = m_bpb;
    // FAT32's FS information sector and backup boot sector, and the first reserved
    // sector left free after them.
    firstFree = 0;
    if (fat != 32)
        return;
    if (b.InfoSector == 0)
        b.InfoSector = 1;
    firstFree = b.InfoSector == kNoSector ? 1 : b.InfoSector + 1;
    if (b.BackupSector && b.BackupSector != kNoSector) {
        firstFree = std::max(firstFree, b.BackupSector + 1);
    } else if (b.BackupSector != kNoSector) {
        if (firstFree > kBackupBootSector) {
            b.BackupSector = firstFree;
            ++firstFree;
        } else {
            b.BackupSector = kBackupBootSector;
            firstFree = kBackupBootSector + 1;
        }
    }
}

bool CFatFormatter::ChooseReservedSectors(uint32_t fat, uint32_t firstFree)
{
    CFatBpb& b = m_bpb;
    if (b.ReservedSectors) {
        if (fat != 32 && b.RootEntries == 0)
            b.RootEntries = kDefaultRootEntries;
        if (fat == 32 && b.ReservedSectors < firstFree)
            return Fail("Too few reserved sectors for the FAT32 information sectors");
    } else if (fat == 32) {
        b.ReservedSectors = std::max<uint32_t>(kFat32ReservedSectors, firstFree);
    } else {
        b.ReservedSectors = 1;   // the boot sector alone
        if (b.RootEntries == 0)
            b.RootEntries = kDefaultRootEntries;
    }
    return true;
}

bool CFatFormatter::SizeFatAndClusters(const CFatOptions& o, uint32_t fat)
{
    CFatBpb& b = m_bpb;
    const uint32_t bps = b.BytesPerSector;
    const uint32_t nft = b.NumberOfFats;
    const uint32_t spc = b.SectorsPerCluster;
    uint32_t bsec = b.TotalSectors32;
    const uint32_t nibbles = fat / 4;   // half-bytes per FAT entry: 3, 4 or 8
    const uint32_t rds = static_cast<uint32_t>(CeilDiv(uint64_t(b.RootEntries) * kDirEntrySize, bps));
    uint64_t x1 = uint64_t(b.ReservedSectors) + rds + uint64_t(nft) * (o.SectorsPerFat ? o.SectorsPerFat : 1);
    if (x1 >= bsec)
        return Fail("The card is too small for a FAT file system");

    // First estimate of the clusters, with one FAT sector per copy counted so far.
    uint64_t cls = (bsec - x1) * bps * 2 / (uint64_t(nibbles) * nft + uint64_t(spc) * bps * 2);
    cls = std::min<uint64_t>(cls, MaxClusters(fat));
    uint64_t spf = o.SectorsPerFat;
    if (!o.SectorsPerFat) {
        spf = CeilDiv((cls + kReservedFatEntries) * nibbles, uint64_t(bps) * 2);
        x1 += (spf - 1) * nft;
    }
    // FAT12 and FAT16 count their FAT sectors in 16 bits.
    if (spf == 0 || x1 >= bsec || (fat != 32 && spf > 0xFFFF))
        return Fail("The card is too small for a FAT file system");

    // The estimate counts one FAT sector per copy twice and so can come out a few
    // clusters short. Readers count the clusters from the volume size, not from the FAT
    // (Linux refuses a volume whose FAT cannot hold them, fsck.fat stops), so a FAT
    // that is too small grows by a sector; given sectors per FAT stay and the clusters
    // beyond them are cut off the end of the volume.
    auto fatEntries = [&] { return spf * bps * 2 / nibbles; };
    if (fatEntries() <= kReservedFatEntries)
        return Fail("The FAT is too small for the volume");
    while (!o.SectorsPerFat &&
           std::min<uint64_t>((bsec - x1) / spc, MaxClusters(fat)) + kReservedFatEntries > fatEntries()) {
        ++spf;
        x1 += nft;
        if (x1 >= bsec)
            return Fail("The card is too small for a FAT file system");
    }
    uint64_t cl = (bsec - x1) / spc;
    if (cl > fatEntries() - kReservedFatEntries) {
        cl = fatEntries() - kReservedFatEntries;
        bsec = static_cast<uint32_t>(x1 + (cl + 1) * spc - 1);
    }
    if (cl > MaxClusters(fat)) {
        // Too big for its FAT type: the volume gives up its end.
        bsec = static_cast<uint32_t>(x1 + (uint64_t(MaxClusters(fat)) + 1) * spc - 1);
        cl = MaxClusters(fat);
    }
    // A FAT32 volume needs its root cluster; every type needs its cluster count inside
    // its own range, or readers take it for another type.
    const uint64_t minClusters = fat == 12 ? 1 : fat == 16 ? kMaxClusters12 + 1 : kMaxClusters16 + 1;
    if (cl < minClusters)
        return Fail("No valid FAT" + std::to_string(fat) + " layout fits the card (" + std::to_string(cl) +
                    " clusters)");
    m_spf = static_cast<uint32_t>(spf);
    m_rootSectors = rds;
    m_clusters = static_cast<uint32_t>(cl);
    m_bsec = bsec;
    return true;
}

void CFatFormatter::FillTotals(uint32_t fat)
{
    CFatBpb& b = m_bpb;
    const uint32_t bsec = m_bsec;
    // Media byte: a fixed disk (partitioned) or a removable medium without a table.
    if (b.Media == 0)
        b.Media = b.HiddenSectors ? kMediaFixed : kMediaRemovable;
    if (fat == 32)
        b.RootCluster = kFirstDataCluster;

    // The 16-bit total when the volume ends inside the first 65,536 sectors; the 32-bit
    // total otherwise, always for FAT32. The 32-bit total follows a volume that was
    // shrunk above, so that readers count the same clusters that the FAT holds.
    if (fat != 32 && uint64_t(b.HiddenSectors) + bsec <= 0xFFFF) {
        b.TotalSectors16 = bsec;
        b.TotalSectors32 = 0;
    } else {
        b.TotalSectors16 = 0;
        b.TotalSectors32 = bsec;
    }
    if (fat == 32) {
        b.SectorsPerFat16 = 0;
        b.SectorsPerFat32 = m_spf;
    } else {
        b.SectorsPerFat16 = m_spf;
        b.SectorsPerFat32 = 0;
    }
    m_fat = fat;
}

void CFatFormatter::ReleaseImage()
{
    std::vector<uint8_t>().swap(m_image);
    m_imageSectors = 0;
}

bool CFatFormatter::Build(const CFatEnvironment& environment)
{
    if (m_fat == 0)
        return Fail("No parameters computed");
    if (m_options.DryRun)
        return true;
    const CFatBpb& b = m_bpb;
    const uint32_t bps = b.BytesPerSector;

    m_time = environment.Clock ? environment.Clock() : SystemFatTime();
    m_serial = m_options.SerialGiven ? m_options.Serial
               : environment.Serial  ? *environment.Serial
                                     : FatSerialFromTime(m_time);

    const uint32_t fatEnd = b.ReservedSectors + m_spf * b.NumberOfFats;
    const uint32_t systemSectors = fatEnd + (m_fat == 32 ? b.SectorsPerCluster : m_rootSectors);
    m_imageSectors = b.HiddenSectors + systemSectors;
    m_image.assign(size_t(m_imageSectors) * bps, 0);
    uint8_t* volume = m_image.data() + size_t(b.HiddenSectors) * bps;
    auto sector = [&](uint32_t i) { return volume + size_t(i) * bps; };

    if (m_options.PartitionTable)
        BuildPartitionTable(m_image.data());

    BuildBootSector(sector(0));
    if (m_fat == 32) {
        const bool info = b.InfoSector != kNoSector && b.InfoSector < b.ReservedSectors;
        const bool backup = b.BackupSector != kNoSector && b.BackupSector < b.ReservedSectors;
        if (info)
            BuildInfoSector(sector(b.InfoSector));
        if (backup) {
            BuildBootSector(sector(b.BackupSector));
            if (info && b.BackupSector + b.InfoSector < b.ReservedSectors)
                BuildInfoSector(sector(b.BackupSector + b.InfoSector));
        }
    }

    // The first sector of each FAT: the media descriptor in entry 0, entry 1 all ones
    // (clean, no errors), and for FAT32 entry 2, the root cluster's end of chain.
    for (uint32_t copy = 0; copy < b.NumberOfFats; ++copy) {
        uint8_t* f = sector(b.ReservedSectors + copy * m_spf);
        f[0] = static_cast<uint8_t>(b.Media);
        const uint32_t ones = m_fat == 12 ? 2 : m_fat == 16 ? 3 : 11;
        for (uint32_t k = 1; k <= ones; ++k)
            f[k] = (m_fat == 32 && k % 4 == 3) ? 0x0F : 0xFF;
    }

    // The volume label entry, first in the root directory.
    if (m_options.VolumeLabel) {
        uint8_t* entry = sector(fatEnd);
        std::memcpy(entry, FatLabelField(m_options.VolumeLabel).data(), 11);
        entry[11] = 0x28;   // volume label | archive
        const CFatTime& t = m_time;
        const int year = std::clamp(t.Year, 1980, 2107);
        Put16(entry + 22, uint32_t(t.Second / 2) | uint32_t(t.Minute) << 5 | uint32_t(t.Hour) << 11);
        Put16(entry + 24, uint32_t(t.Day) | uint32_t(t.Month) << 5 | uint32_t(year - 1980) << 9);
    }
    return true;
}

void CFatFormatter::BuildPartitionTable(uint8_t* s) const
{
    const CFatBpb& b = m_bpb;
    const auto& code = fatboot::MasterBootCode();
    std::memcpy(s, code.data(), code.size());
    uint8_t* entry = s + 446;
    const uint32_t size = b.TotalSectors32 ? b.TotalSectors32 : b.TotalSectors16;
    entry[0] = 0x80;   // active
    PutChs(entry + 1, b.HiddenSectors, b.SectorsPerTrack, b.Heads);
    // 0x04 for FAT16 whatever its size, as this format has always written it; the
    // systems that read cards take 04 as FAT16 at any size.
    entry[4] = m_fat == 32 ? 0x0C : m_fat == 16 ? 0x04 : 0x01;
    // The end address is that of the partition's last sector.
    PutChs(entry + 5, uint64_t(b.HiddenSectors) + size - 1, b.SectorsPerTrack, b.Heads);
    Put32(entry + 8, b.HiddenSectors);
    Put32(entry + 12, size);
    s[510] = 0x55;
    s[511] = 0xAA;
}

void CFatFormatter::BuildBootSector(uint8_t* s) const
{
    const CFatBpb& b = m_bpb;
    const uint32_t bps = b.BytesPerSector;
    const bool fat32 = m_fat == 32;
    // The jump over the parameter block lands on the boot code at E + 26.
    s[0] = 0xEB;
    s[1] = fat32 ? 0x58 : 0x3C;
    s[2] = 0x90;
    PutPadded(s + 3, m_options.OemName.empty() ? std::string("MSDOS5.0") : m_options.OemName, 8);
    Put16(s + 11, bps);
    s[13] = static_cast<uint8_t>(b.SectorsPerCluster);
    Put16(s + 14, b.ReservedSectors);
    s[16] = static_cast<uint8_t>(b.NumberOfFats);
    Put16(s + 17, b.RootEntries);
    Put16(s + 19, b.TotalSectors16);
    s[21] = static_cast<uint8_t>(b.Media);
    Put16(s + 22, b.SectorsPerFat16);
    Put16(s + 24, b.SectorsPerTrack);
    Put16(s + 26, b.Heads);
    Put32(s + 28, b.HiddenSectors);
    Put32(s + 32, b.TotalSectors32);
    uint32_t e = 36;
    if (fat32) {
        Put32(s + 36, b.SectorsPerFat32);
        // 40..43: flags (both FATs mirrored) and version 0.0, zero.
        Put32(s + 44, b.RootCluster);
        Put16(s + 48, b.InfoSector);
        Put16(s + 50, b.BackupSector);
        e = 64;
    }
    s[e] = 0;          // drive number
    s[e + 2] = 0x29;   // extended boot signature: serial, label and type follow
    Put32(s + e + 3, m_serial);
    std::memcpy(s + e + 7, FatLabelField(m_options.VolumeLabel).data(), 11);
    PutPadded(s + e + 18, "FAT" + std::to_string(m_fat), 8);
    const auto& code = fatboot::BootCode();
    std::memcpy(s + e + 26, code.data(), code.size());
    s[bps - 2] = 0x55;
    s[bps - 1] = 0xAA;
}

void CFatFormatter::BuildInfoSector(uint8_t* s) const
{
    const uint32_t bps = m_bpb.BytesPerSector;
    Put32(s, 0x41615252);             // lead signature "RRaA"
    Put32(s + bps - 28, 0x61417272);  // structure signature "rrAa"
    Put32(s + bps - 24, 0xFFFFFFFF);  // free cluster count: unknown
    Put32(s + bps - 20, m_bpb.RootCluster);   // where to look for a free cluster
    s[bps - 2] = 0x55;
    s[bps - 1] = 0xAA;
}

bool FormatFat(CDrive& drive, const CFatParameters& p, const CFatEnvironment& environment)
{
    if (p.BytesPerSector == 0) {
        drive.SetError("Invalid drive parameters", true);
        return false;
    }
    // The writer moves 512 bytes per block; a card with other sectors would get a file
    // system laid out for the wrong size.
    if (p.BytesPerSector != kBlockSize) {
        drive.SetError("Cards with " + std::to_string(p.BytesPerSector) + "-byte sectors cannot be formatted", false);
        return false;
    }

    CFatOptions o;
    o.FatType = p.TotalSectors <= kFat12Limit ? 12 : p.TotalSectors < kFat32From ? 16 : 32;
    o.BytesPerSector = static_cast<uint16_t>(p.BytesPerSector);
    o.PartitionTable = true;
    o.Heads = static_cast<uint16_t>(p.Heads);
    o.MediaGiven = true;
    o.Media = 0xF8;   // fixed disk: the card has a partition table
    o.TotalSectors = p.TotalSectors;
    o.SectorsPerTrack = static_cast<uint16_t>(p.SectorsPerTrack);
    if (!p.VolumeLabel.empty())
        o.VolumeLabel = LabelToEightBit(p.VolumeLabel);

    CFatFormatter formatter;
    if (!formatter.Compute(o) || !formatter.Build(environment)) {
        drive.SetError(formatter.Error(), false);
        return false;
    }

    auto* scsi = dynamic_cast<CDriveScsi*>(&drive);
    const uint8_t* image = formatter.Image().data();
    const uint32_t blocks = formatter.ImageSectors();
    for (uint32_t block = 0; block < blocks;) {
        const uint16_t count = static_cast<uint16_t>(std::min(kBlocksPerWrite, blocks - block));
        const uint32_t asked = count * kBlockSize;
        uint32_t done = 0;
        if (!drive.WriteBlocks(image + size_t(block) * kBlockSize, done, block, count))
            return false;   // the drive holds the system's error
        // A request that went through may still have written nothing: a write-protected
        // card answers CHECK CONDITION with DATA PROTECT, and some readers stop short.
        const std::string failed = scsi ? ShortWriteText(*scsi, block, asked, done)
                                        : ShortWriteText(px::ScsiStatus::Good, {}, block, asked, done);
        if (!failed.empty()) {
            drive.SetError(failed, false);
            return false;
        }
        block += count;
    }
    return true;
}

bool Format(CDrive& drive, const CDriveInfo& info, const std::string& label, const CFatEnvironment& environment)
{
    // FAT32 counts sectors in 32 bits, and so does the partition table that cameras read:
    // a card of 2^32 blocks (2 TiB) or more cannot be covered.
    if (info.BlockCount() > static_cast<int64_t>(kMaxFatSectors)) {
        drive.SetError("The card holds " + DeviceText::WithCommas(info.BlockCount()) +
                           " blocks: FAT32 and its partition table cover at most " +
                           DeviceText::WithCommas(kMaxFatSectors) + " (2 TiB), so it cannot be formatted in the camera layout",
                       false);
        return false;
    }
    CFatParameters p;
    p.TotalSectors = static_cast<uint32_t>(info.BlockCount());
    p.BytesPerSector = static_cast<uint32_t>(info.BytesPerSector());
    p.SectorsPerTrack = info.m_GeometryEx.IsValid() ? info.m_GeometryEx.SectorsPerTrack
                        : info.m_Media.IsValid()    ? info.m_Media.SectorsPerTrack
                                                    : 0;
    // The number of media sides, not the tracks per cylinder: a card has one side.
    p.Heads = info.m_Media.IsValid() ? info.m_Media.NumberMediaSides : 0;
    p.VolumeLabel = label;
    return FormatFat(drive, p, environment);
}
