#pragma once
// The volume table: which drive letters exist and what is behind each. Attached card
// images come first (letters from D, or the letter asked for); real card readers follow:
// USB and removable whole disks, empty slots included, and SD cards in an mmc host slot,
// sorted by their udev ID_PATH. A reader keeps its letter while it stays plugged in. The
// machine's own fixed disks never get a letter.
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
#include "platform/sgio.h"
#include "platform/sysfsdisks.h"

namespace px {

struct FreeSpaceInfo {
    uint32_t sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
    uint64_t freeBytesAvailable = 0, totalBytes = 0, totalFreeBytes = 0;
};

// Where the volume table looks for real card readers. The default is the live system.
struct ReaderSource {
    bool enabled = true;
    SysfsSource sysfs;
    SgIoctl ioctl;   // unset: the system's SG_IO
};

class VolumeTable {
public:
    static VolumeTable& Instance();

    // Attaches a card image: "[LETTER=]PATH[,option...]" (options: see EmulatedCardOptions;
    // a comma of the path is written twice). The letter is the one asked for (B to Y), or
    // the first free one from D to Y (a card reader's letter is not free; Z is never
    // given). False with a message for a bad option, a letter in use, no free letter, or an
    // image that cannot be opened.
    bool Attach(const std::string& spec, char* letterOut, std::string* error);
    // Attaches every card of PX3_CARDS ("E=/a.img;F=/b.img"). An entry that fails does not
    // stop the others: each failure adds its message ("PX3_CARDS: " and the reason) to
    // *problems. False when any entry failed.
    bool AttachFromEnvironment(std::vector<std::string>* problems);
    bool Detach(char letter);
    void DetachAll();

    // The emulated reader behind a letter; null for other letters.
    std::shared_ptr<EmulatedCard> Card(char letter) const;
    // The letters in the order the system lists them (alphabetical). The card readers are
    // looked for again on every call.
    std::vector<char> Letters() const;
    // "D:\<0>E:\<0><0>": four characters per root, as the system's call gives them.
    std::string LogicalDriveStrings() const;
    // DRIVE_REMOVABLE (images, removable readers), DRIVE_FIXED (a USB disk with fixed
    // media) or DRIVE_NO_ROOT_DIR for an unknown letter.
    unsigned DriveType(char letter) const;
    // "FAT", "FAT32", "exFAT", "NTFS"... of the card's first partition (or the whole card);
    // empty when there is none or the card cannot be read.
    std::string FileSystemName(char letter) const;
    // The free space of a mounted file system on the drive (statvfs of the first mount of
    // the card); false with the last error when the drive is not mounted (a card image
    // never is).
    bool FreeSpace(char letter, FreeSpaceInfo& info) const;

    // Opens "\\.\X:" or "\\.\PhysicalDriveN". Null with the last error set (EACCES for
    // a reader the user may not open: see AccessText).
    Handle Open(const std::string& path) const;

    // Real card readers. Tests point the table at a fake sysfs tree, or turn readers off.
    // Forgets the readers' letters.
    void SetReaderSource(ReaderSource source);
    // The reader disk behind a letter; false for images and unknown letters.
    bool ReaderDisk(char letter, SysfsDisk& disk) const;
    // Why a lock of the drive failed with EBUSY, for the user: for a reader, the mount
    // points of its card and how to unmount it (or that another program holds it); for an
    // image, that another program holds it. Empty for an unknown letter.
    std::string BusyText(char letter) const;
    // For a reader whose disk could not be opened for lack of permission: the text that
    // names the device node and the two ways to get access. Empty for other letters.
    std::string AccessText(char letter) const;

private:
    VolumeTable() = default;
    // Looks for the readers and gives letters to new ones. Called with m_mutex held.
    void ScanReaders() const;
    void ScanOnce() const;
    std::vector<char> LettersLocked() const;

    mutable std::mutex m_mutex;
    std::map<char, std::shared_ptr<EmulatedCard>> m_cards;
    ReaderSource m_source;
    mutable std::map<char, SysfsDisk> m_readers;
    mutable bool m_scanned = false;
};

// The file system name of an image or block device, probed at the start of its first
// MBR/GPT partition or, without a partition table, at its start.
std::string ProbeFileSystemName(const std::string& path);

}  // namespace px
