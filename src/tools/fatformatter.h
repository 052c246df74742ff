#pragma once
// The FAT formatter: gives a card the layout that cameras expect, a master boot record
// with one active partition one track into the card and in it a FAT12, FAT16 or FAT32
// volume. The whole system area (master boot record, boot sector, FAT32 information
// sectors, both FATs, the root directory or FAT32's first root cluster) is built as one
// image in memory and written from block 0 upwards, ten blocks per request.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class CDrive;
class CDriveInfo;

// What FormatFat is given: the card's size and geometry and the volume label.
struct CFatParameters {
    uint32_t TotalSectors = 0;
    uint32_t BytesPerSector = 0;
    uint32_t SectorsPerTrack = 0;
    uint32_t Heads = 0;
    std::string VolumeLabel;   // UTF-8
};

// The input of the parameter computation. A field that is 0 (or not flagged as given)
// is left to the computation.
struct CFatOptions {
    bool DryRun = false;              // compute the parameters, build no image
    uint32_t FatType = 0;             // 12, 16 or 32; 0 chooses by size
    bool SerialGiven = false;
    uint32_t Serial = 0;
    std::string OemName;              // up to 8 characters; empty gives "MSDOS5.0"
    uint16_t BytesPerSector = 0;
    uint32_t SectorsPerFat = 0;
    uint16_t RootEntries = 0;
    bool PartitionTable = false;      // a master boot record with one partition, one track in
    uint16_t Heads = 0;
    uint16_t InfoSector = 0;          // FAT32 FS information sector; 0xFFFF: none
    uint16_t BackupSector = 0;        // FAT32 backup boot sector
    bool MediaGiven = false;
    uint8_t Media = 0;
    uint8_t NumberOfFats = 0;
    bool HiddenGiven = false;
    uint32_t HiddenSectors = 0;
    uint16_t ReservedSectors = 0;
    uint32_t TotalSectors = 0;
    uint16_t SectorsPerTrack = 0;
    std::optional<std::string> VolumeLabel;   // 8-bit text; none gives "NO NAME" and no label entry
};

// The BIOS parameter block that the computation arrives at.
struct CFatBpb {
    uint32_t BytesPerSector = 0;
    uint32_t SectorsPerCluster = 0;
    uint32_t ReservedSectors = 0;
    uint32_t NumberOfFats = 0;
    uint32_t RootEntries = 0;
    uint32_t TotalSectors16 = 0;
    uint32_t Media = 0;
    uint32_t SectorsPerFat16 = 0;
    uint32_t SectorsPerTrack = 0;
    uint32_t Heads = 0;
    uint32_t HiddenSectors = 0;
    uint32_t TotalSectors32 = 0;
    // FAT32 only.
    uint32_t SectorsPerFat32 = 0;
    uint32_t RootCluster = 0;
    uint32_t InfoSector = 0;
    uint32_t BackupSector = 0;
};

// A local calendar time with milliseconds: what the formatter reads from the clock for
// the volume label's time stamp and the serial number.
struct CFatTime {
    int Year = 1980;   // e.g. 2024
    int Month = 1;     // 1..12
    int Day = 1;       // 1..31
    int Hour = 0;
    int Minute = 0;
    int Second = 0;
    int Millisecond = 0;
};

// Where the formatter takes the time and the serial number from. Empty members mean
// the system's local time and the serial number made from it; tests set both to build
// images byte for byte.
struct CFatEnvironment {
    std::function<CFatTime()> Clock;
    std::optional<uint32_t> Serial;
};

// The local time now.
CFatTime SystemFatTime();
// The volume serial number made from a time of day, as the format has always done:
// month and day plus seconds and hundredths in the high word, year plus hour and
// minute in the low word.
uint32_t FatSerialFromTime(const CFatTime& time);
// The 11-byte label field of an 8-bit label: upper-cased, cut to 11 characters,
// blank-padded, a leading 0xE5 stored as 0x05; "NO NAME" without a label.
std::string FatLabelField(const std::optional<std::string>& label);

// The parameter computation and the image build.
class CFatFormatter {
public:
    CFatFormatter() = default;

    // Computes the parameter block from the options. False with an error text when no
    // valid FAT volume fits (too small, no valid cluster size, a cluster count outside
    // the FAT type's range).
    bool Compute(const CFatOptions& options);
    // Builds the system area image from the computed parameters, reading the time once.
    bool Build(const CFatEnvironment& environment = {});
    // Frees the image.
    void ReleaseImage();

    const CFatBpb& Bpb() const { return m_bpb; }
    uint32_t FatType() const { return m_fat; }
    // The FAT's sectors (per copy), the data clusters and the volume's sector count.
    uint32_t SectorsPerFat() const { return m_spf; }
    uint32_t Clusters() const { return m_clusters; }
    uint32_t VolumeSectors() const { return m_bsec; }
    // The serial number written into the boot sector by the last Build.
    uint32_t Serial() const { return m_serial; }
    const std::vector<uint8_t>& Image() const { return m_image; }
    uint32_t ImageSectors() const { return m_imageSectors; }
    const std::string& Error() const { return m_error; }

private:
    bool Fail(const std::string& text);
    // The steps of Compute, in their order.
    // The fields the options give, the default geometry, the FAT type asked for.
    bool TakeGivenFields(const CFatOptions& options, uint32_t& fat);
    // The track before the partition (and hidden sectors) come off the volume.
    bool ReservePartitionTrack(const CFatOptions& options);
    // The FAT type by size when none was asked for, and the sectors per cluster.
    bool ChooseClusterSize(uint32_t& fat);
    // FAT32's information and backup boot sectors; firstFree is the first sector after.
    void PlaceInfoSectors(uint32_t fat, uint32_t& firstFree);
    bool ChooseReservedSectors(uint32_t fat, uint32_t firstFree);
    // Sectors per FAT and the cluster count, the volume cut where its FAT or its type
    // cannot count further.
    bool SizeFatAndClusters(const CFatOptions& options, uint32_t fat);
    // Media byte, root cluster, the 16- or 32-bit totals and FAT sizes.
    void FillTotals(uint32_t fat);
    void BuildPartitionTable(uint8_t* sector) const;
    void BuildBootSector(uint8_t* sector) const;
    void BuildInfoSector(uint8_t* sector) const;

    CFatOptions m_options;
    CFatBpb m_bpb;
    uint32_t m_fat = 0;
    uint32_t m_spf = 0;
    uint32_t m_rootSectors = 0;
    uint32_t m_clusters = 0;
    uint32_t m_bsec = 0;
    uint32_t m_serial = 0;
    CFatTime m_time;
    std::vector<uint8_t> m_image;
    uint32_t m_imageSectors = 0;
    std::string m_error;
};

// Writes a FAT file system on the card: fills the options from the parameters (FAT
// type by size: 12 up to 4,084 sectors, 16 below 4,505,600, 32 from there on; media
// 0xF8; a partition table), computes, builds and writes the image from block 0 in
// requests of ten blocks. True when every write succeeded. On failure the drive's error
// text tells why: "Invalid drive parameters" (bytes per sector 0), the computation's
// error, the system's error of a failed request, or a write that moved fewer bytes than
// asked or ended in CHECK CONDITION (with the sense key's name).
bool FormatFat(CDrive& drive, const CFatParameters& parameters, const CFatEnvironment& environment = {});

// Derives the parameters from a card description (block count, bytes per sector, the
// geometry-ex record's sectors per track, the media record's number of media sides as
// heads) and calls FormatFat.
bool Format(CDrive& drive, const CDriveInfo& info, const std::string& label, const CFatEnvironment& environment = {});
