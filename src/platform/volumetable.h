#pragma once
// The volume table: which drive letters exist and what is behind each. Attached card
// images come first (letters from D, or the letter asked for); real card readers follow.
// It stands in for the logical drive strings, the drive type, the volume information
// and the free space of the desktop system, and opens "\\.\X:" and "\\.\PhysicalDriveN".
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/devicehandle.h"
#include "platform/emulatedcard.h"

namespace px {

struct FreeSpaceInfo {
    uint32_t sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
    uint64_t freeBytesAvailable = 0, totalBytes = 0, totalFreeBytes = 0;
};

class VolumeTable {
public:
    static VolumeTable& Instance();

    // Attaches a card image: "[LETTER=]PATH[,option...]" (options: see EmulatedCardOptions).
    // The letter is the one asked for, or the first free one from D. False with a message
    // for a bad option, a letter in use, no free letter, or an image that cannot be opened.
    bool Attach(const std::string& spec, char* letterOut, std::string* error);
    // Attaches every card of PX3_CARDS ("E=/a.img;F=/b.img"). False with a message at the
    // first one that fails (the ones before it stay attached).
    bool AttachFromEnvironment(std::string* error);
    bool Detach(char letter);
    void DetachAll();

    // The emulated reader behind a letter; null for other letters.
    std::shared_ptr<EmulatedCard> Card(char letter) const;
    // The letters in the order the system lists them.
    std::vector<char> Letters() const;
    // "D:\<0>E:\<0><0>": four characters per root, as the system's call gives them.
    std::string LogicalDriveStrings() const;
    // DRIVE_REMOVABLE, DRIVE_FIXED or DRIVE_NO_ROOT_DIR for an unknown letter.
    unsigned DriveType(char letter) const;
    // "FAT", "FAT32", "exFAT", "NTFS"... of the card's first partition (or the whole card);
    // empty when there is none or the card cannot be read.
    std::string FileSystemName(char letter) const;
    // The free space of a mounted file system on the drive; false with the last error
    // when the drive is not mounted (a card image never is).
    bool FreeSpace(char letter, FreeSpaceInfo& info) const;

    // Opens "\\.\X:" or "\\.\PhysicalDriveN". Null with the last error set.
    Handle Open(const std::string& path) const;

private:
    VolumeTable() = default;
    mutable std::mutex m_mutex;
    std::map<char, std::shared_ptr<EmulatedCard>> m_cards;
};

// The file system name of an image or block device, probed at the start of its first
// MBR/GPT partition or, without a partition table, at its start.
std::string ProbeFileSystemName(const std::string& path);

}  // namespace px
