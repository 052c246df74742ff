#pragma once
// What the kernel says about block disks, read from sysfs: which whole disks are card
// readers (USB or removable SCSI disks, empty slots included, and SD cards in an mmc host
// slot), their identity, their generic SCSI node, and which of their file systems are
// mounted. The sysfs root, the device folder and the mount table are parameters, so a
// test can point them at a fake tree.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace px {

struct SysfsDisk {
    enum class Kind { Scsi, Mmc, Other };
    Kind kind = Kind::Scsi;
    std::string name;          // "sdb", "mmcblk0"
    std::string devNode;       // "/dev/sdb"
    std::string sysPath;       // the disk's folder in the sysfs device tree (links resolved)
    std::string deviceKey;     // the sysfs device path under the root ("/devices/pci.../block/sdb")
    std::string idPath;        // udev ID_PATH, or deviceKey when udev has none: the sort key
    std::string vendor, product, revision, serial;   // trimmed
    std::string hostDriver;    // "usb-storage", "uas", "ahci", ... (SCSI host's proc_name)
    std::string mmcType;       // an mmc card's type: "SD", "MMC", "SDIO"
    std::string sgNode;        // "/dev/sg1", empty when the disk has no generic node
    uint8_t scsiType = 0;      // SCSI peripheral device type: 0 disk, 0x0E simplified disk
    bool removable = false;    // sysfs "removable" (media can change); true for an SD card
    bool usb = false;          // behind a usb-storage or uas host, or on a USB device
    uint32_t busType = 0;      // STORAGE_BUS_TYPE for the descriptor
    uint64_t sizeSectors = 0;  // sysfs "size": 512-byte sectors, 0 for an empty slot
    bool readOnly = false;     // sysfs "ro"
    uint32_t maxTransferBytes = 0;   // sysfs "queue/max_sectors_kb" in bytes; 0 when not given
    unsigned major = 0, minor = 0;
    std::vector<std::pair<unsigned, unsigned>> partitions;   // device numbers of its partitions
    std::vector<std::string> partitionNames;                 // "sdb1", ...
};

// Where to look. The defaults are the live system.
struct SysfsSource {
    std::string sysRoot = "/sys";
    std::string devRoot = "/dev";
    std::string mountInfo = "/proc/self/mountinfo";
    // The udev ID_PATH of a disk; empty when udev does not know it. Unset: libudev is
    // asked when sysRoot is "/sys", nobody otherwise.
    std::function<std::string(const SysfsDisk&)> idPath;
};

// Reads one block disk by its kernel name. False when sysfs has no such block device.
bool ReadSysfsDisk(const SysfsSource& source, const std::string& name, SysfsDisk& disk);

// True for the disks that the volume table lists as card readers: SCSI disks (type 0 or
// 0Eh) that are removable or sit on USB, and SD cards in an mmc host slot. Never the
// machine's own fixed disks (non-removable SATA, NVMe, virtio), partitions, loop or RAM
// disks, optical drives, eMMC.
bool IsReaderDisk(const SysfsDisk& disk);

// The card reader disks, sorted by ID_PATH (so the letters follow the ports).
std::vector<SysfsDisk> ScanReaderDisks(const SysfsSource& source);

// The whole disk of a block node name: "sdb1" -> "sdb", "mmcblk0p1" -> "mmcblk0",
// "sdb" -> "sdb". Empty when sysfs does not know the name.
std::string WholeDiskName(const SysfsSource& source, const std::string& name);

// The whole disk's kernel name for a device path: a block node (by its device number)
// or any path whose last component is a kernel name ("/dev/sdb1" -> "sdb"). Empty when
// it is not a block device that sysfs knows.
std::string WholeDiskOfPath(const SysfsSource& source, const std::string& path);

struct MountEntry {
    unsigned major = 0, minor = 0;
    std::string mountPoint;   // unescaped
    std::string fileSystem;   // "vfat", ...
    std::string source;       // "/dev/sdb1"
};

// Parses a mountinfo text (the format of /proc/self/mountinfo).
std::vector<MountEntry> ParseMountInfo(const std::string& text);

// The mounts of the disk itself or any of its partitions, in mount-table order.
std::vector<MountEntry> MountsOfDisk(const SysfsSource& source, const SysfsDisk& disk);

// The text for a card that cannot be locked because it is mounted: names the device and
// every mount point and tells the user to unmount it. For no mounts, the text for a disk
// that another program holds.
std::string MountedDiskText(const std::string& devNode, const std::vector<MountEntry>& mounts);

// The text for a device that could not be opened for lack of permission: names the
// device and the two ways to get access (the shipped udev rule, or the disk group).
std::string AccessDeniedText(const std::string& devNode);

}  // namespace px
