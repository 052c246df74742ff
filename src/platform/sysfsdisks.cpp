#include "platform/sysfsdisks.h"

#include <dirent.h>
#include <libudev.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/winioctl.h"

namespace px {

namespace {

bool Exists(const std::string& path)
{
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0;
}

std::string Trim(const std::string& text)
{
    const char* blanks = " \t\r\n";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

// A sysfs attribute: its text without the surrounding blanks and line end; empty when
// the attribute is missing.
std::string ReadAttribute(const std::string& path)
{
    std::ifstream in(path);
    if (!in)
        return {};
    std::ostringstream text;
    text << in.rdbuf();
    return Trim(text.str());
}

std::string Canonical(const std::string& path)
{
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved)
        return {};
    std::string text(resolved);
    std::free(resolved);
    return text;
}

std::string BaseName(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Parent(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool ParseDevNumber(const std::string& text, unsigned& major, unsigned& minor)
{
    return std::sscanf(text.c_str(), "%u:%u", &major, &minor) == 2;
}

std::vector<std::string> Entries(const std::string& folder)
{
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return names;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

bool IsHostComponent(const std::string& component)
{
    return component.size() > 4 && StartsWith(component, "host") &&
           component.find_first_not_of("0123456789", 4) == std::string::npos;
}

bool IsAtaComponent(const std::string& component)
{
    return component.size() > 3 && StartsWith(component, "ata") &&
           component.find_first_not_of("0123456789", 3) == std::string::npos;
}

std::string UdevIdPath(const SysfsDisk& disk)
{
    std::string value;
    udev* context = udev_new();
    if (!context)
        return value;
    if (udev_device* device = udev_device_new_from_syspath(context, disk.sysPath.c_str())) {
        if (const char* idPath = udev_device_get_property_value(device, "ID_PATH"))
            value = idPath;
        udev_device_unref(device);
    }
    udev_unref(context);
    return value;
}

// The SCSI side of a disk: identity from the SCSI device, the host's driver, the USB
// device above it (serial number), the generic node.
void ReadScsiParts(const SysfsSource& source, const std::string& sysRoot, SysfsDisk& disk)
{
    const std::string device = Canonical(disk.sysPath + "/device");
    if (device.empty())
        return;
    disk.vendor = ReadAttribute(device + "/vendor");
    disk.product = ReadAttribute(device + "/model");
    disk.revision = ReadAttribute(device + "/rev");
    const std::string type = ReadAttribute(device + "/type");
    disk.scsiType = type.empty() ? 0xFF : static_cast<uint8_t>(std::strtoul(type.c_str(), nullptr, 10));
    for (const std::string& sg : Entries(device + "/scsi_generic")) {
        disk.sgNode = source.devRoot + "/" + sg;
        break;
    }
    // Walk up from the SCSI device: the host (its driver's proc_name), the ATA port, the
    // USB device (a folder with idVendor).
    bool ata = false;
    std::string usbDevice;
    for (std::string at = device; at.size() > sysRoot.size() && StartsWith(at, sysRoot); at = Parent(at)) {
        const std::string component = BaseName(at);
        if (IsHostComponent(component) && disk.hostDriver.empty()) {
            disk.hostDriver = ReadAttribute(at + "/scsi_host/" + component + "/proc_name");
            if (disk.hostDriver.empty())
                disk.hostDriver = ReadAttribute(sysRoot + "/class/scsi_host/" + component + "/proc_name");
        }
        if (IsAtaComponent(component))
            ata = true;
        if (usbDevice.empty() && Exists(at + "/idVendor"))
            usbDevice = at;
    }
    disk.usb = disk.hostDriver == "usb-storage" || disk.hostDriver == "uas" || !usbDevice.empty();
    if (!usbDevice.empty())
        disk.serial = ReadAttribute(usbDevice + "/serial");
    disk.busType = disk.usb ? BusTypeUsb : ata ? BusTypeAta : BusTypeScsi;
}

// An mmc card: the host slot is the reader. The card's own name, revision and serial
// stand in for the reader identity.
void ReadMmcParts(SysfsDisk& disk)
{
    const std::string device = Canonical(disk.sysPath + "/device");
    if (device.empty())
        return;
    disk.mmcType = ReadAttribute(device + "/type");
    disk.vendor = "SD/MMC";
    disk.product = ReadAttribute(device + "/name");
    std::string fw = ReadAttribute(device + "/fwrev");
    if (StartsWith(fw, "0x"))
        fw = fw.substr(2);
    disk.revision = fw;
    disk.serial = ReadAttribute(device + "/serial");
    // An SD card is removable by nature, though the kernel reports its disk as fixed.
    disk.removable = disk.mmcType == "SD";
    // BusTypeSd (12) has no name in the card report's table; Unknown shows as "Unknown".
    disk.busType = BusTypeUnknown;
    disk.scsiType = 0;
}

}  // namespace

bool ReadSysfsDisk(const SysfsSource& source, const std::string& name, SysfsDisk& disk)
{
    disk = SysfsDisk{};
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
        return false;
    const std::string sysRoot = Canonical(source.sysRoot);
    const std::string link = source.sysRoot + "/block/" + name;
    const std::string sysPath = Canonical(link);
    if (sysRoot.empty() || sysPath.empty())
        return false;
    disk.name = name;
    disk.devNode = source.devRoot + "/" + name;
    disk.sysPath = sysPath;
    disk.deviceKey = StartsWith(sysPath, sysRoot) ? sysPath.substr(sysRoot.size()) : sysPath;
    disk.removable = ReadAttribute(sysPath + "/removable") == "1";
    disk.readOnly = ReadAttribute(sysPath + "/ro") == "1";
    disk.sizeSectors = std::strtoull(ReadAttribute(sysPath + "/size").c_str(), nullptr, 10);
    // The kernel's largest request for the disk's queue: SG_IO refuses a larger one.
    const uint64_t maxKiB = std::strtoull(ReadAttribute(sysPath + "/queue/max_sectors_kb").c_str(), nullptr, 10);
    disk.maxTransferBytes = static_cast<uint32_t>(std::min<uint64_t>(maxKiB, 1u << 21) * 1024);
    ParseDevNumber(ReadAttribute(sysPath + "/dev"), disk.major, disk.minor);
    for (const std::string& entry : Entries(sysPath)) {
        if (!Exists(sysPath + "/" + entry + "/partition"))
            continue;
        unsigned major = 0, minor = 0;
        if (ParseDevNumber(ReadAttribute(sysPath + "/" + entry + "/dev"), major, minor))
            disk.partitions.emplace_back(major, minor);
        disk.partitionNames.push_back(entry);
    }
    if (StartsWith(name, "sd")) {
        disk.kind = SysfsDisk::Kind::Scsi;
        ReadScsiParts(source, sysRoot, disk);
    } else if (StartsWith(name, "mmcblk")) {
        disk.kind = SysfsDisk::Kind::Mmc;
        ReadMmcParts(disk);
    } else {
        disk.kind = SysfsDisk::Kind::Other;
    }
    if (source.idPath)
        disk.idPath = source.idPath(disk);
    else if (source.sysRoot == "/sys")
        disk.idPath = UdevIdPath(disk);
    if (disk.idPath.empty())
        disk.idPath = disk.deviceKey;
    return true;
}

bool IsReaderDisk(const SysfsDisk& disk)
{
    switch (disk.kind) {
    case SysfsDisk::Kind::Scsi:
        // Direct-access or simplified direct-access disks only (no optical drive, no
        // enclosure), and only those whose media can change or that hang on USB.
        return (disk.scsiType == 0x00 || disk.scsiType == 0x0E) && (disk.removable || disk.usb);
    case SysfsDisk::Kind::Mmc:
        // An SD card in a host slot; eMMC (type MMC, with its boot and rpmb areas) is
        // soldered in and is the machine's own disk.
        return disk.mmcType == "SD";
    case SysfsDisk::Kind::Other:
        return false;
    }
    return false;
}

std::vector<SysfsDisk> ScanReaderDisks(const SysfsSource& source)
{
    std::vector<SysfsDisk> disks;
    for (const std::string& name : Entries(source.sysRoot + "/block")) {
        // Only names that can be readers are read further.
        if (!StartsWith(name, "sd") && !StartsWith(name, "mmcblk"))
            continue;
        SysfsDisk disk;
        if (ReadSysfsDisk(source, name, disk) && IsReaderDisk(disk))
            disks.push_back(std::move(disk));
    }
    std::stable_sort(disks.begin(), disks.end(), [](const SysfsDisk& a, const SysfsDisk& b) {
        return a.idPath != b.idPath ? a.idPath < b.idPath : a.name < b.name;
    });
    return disks;
}

std::string WholeDiskName(const SysfsSource& source, const std::string& name)
{
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
        return {};
    if (Exists(source.sysRoot + "/block/" + name))
        return name;
    const std::string path = Canonical(source.sysRoot + "/class/block/" + name);
    if (path.empty() || !Exists(path + "/partition"))
        return {};
    const std::string disk = BaseName(Parent(path));
    return Exists(source.sysRoot + "/block/" + disk) ? disk : std::string();
}

std::string WholeDiskOfPath(const SysfsSource& source, const std::string& path)
{
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
        const std::string byNumber = source.sysRoot + "/dev/block/" + std::to_string(major(st.st_rdev)) + ":" +
                                     std::to_string(minor(st.st_rdev));
        const std::string resolved = Canonical(byNumber);
        if (!resolved.empty())
            return WholeDiskName(source, BaseName(resolved));
    }
    return WholeDiskName(source, BaseName(path));
}

namespace {

// Mount table fields escape blank, tab, line feed and backslash as \ooo.
std::string Unescape(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool octal = text[i] == '\\' && i + 3 < text.size() &&
                           text.find_first_not_of("01234567", i + 1) >= i + 4;
        if (octal) {
            out += static_cast<char>(std::strtoul(text.substr(i + 1, 3).c_str(), nullptr, 8));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace

std::vector<MountEntry> ParseMountInfo(const std::string& text)
{
    std::vector<MountEntry> entries;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::vector<std::string> parts;
        std::string field;
        while (fields >> field)
            parts.push_back(field);
        // id parent major:minor root mount-point options [optional...] - type source super
        const auto dash = std::find(parts.begin(), parts.end(), "-");
        if (parts.size() < 7 || dash == parts.end() || dash - parts.begin() < 6 || parts.end() - dash < 3)
            continue;
        MountEntry entry;
        if (!ParseDevNumber(parts[2], entry.major, entry.minor))
            continue;
        entry.mountPoint = Unescape(parts[4]);
        entry.fileSystem = *(dash + 1);
        entry.source = Unescape(*(dash + 2));
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<MountEntry> MountsOfDisk(const SysfsSource& source, const SysfsDisk& disk)
{
    std::ifstream in(source.mountInfo);
    std::ostringstream text;
    if (in)
        text << in.rdbuf();
    std::vector<std::string> nodes = {"/dev/" + disk.name, disk.devNode};
    for (const std::string& part : disk.partitionNames) {
        nodes.push_back("/dev/" + part);
        nodes.push_back(source.devRoot + "/" + part);
    }
    std::vector<MountEntry> mounts;
    for (MountEntry& entry : ParseMountInfo(text.str())) {
        bool mine = entry.major != 0 && entry.major == disk.major && entry.minor == disk.minor;
        for (const auto& [major, minor] : disk.partitions)
            mine = mine || (entry.major != 0 && entry.major == major && entry.minor == minor);
        // A FUSE file system (exfat, ntfs-3g) has an anonymous device number: its source
        // names the node.
        mine = mine || std::find(nodes.begin(), nodes.end(), entry.source) != nodes.end();
        if (mine)
            mounts.push_back(std::move(entry));
    }
    return mounts;
}

std::string MountedDiskText(const std::string& devNode, const std::vector<MountEntry>& mounts)
{
    if (mounts.empty())
        return "The card in " + devNode + " is in use by another program. Close that program, then try again.";
    std::string where, command = "umount";
    for (size_t i = 0; i < mounts.size(); ++i) {
        if (i > 0)
            where += i + 1 == mounts.size() ? " and " : ", ";
        where += mounts[i].mountPoint;
        const bool plain = mounts[i].mountPoint.find_first_of(" \t'\"\\$`") == std::string::npos;
        command += " " + (plain ? mounts[i].mountPoint : "'" + mounts[i].mountPoint + "'");
    }
    return "The card in " + devNode + " is mounted at " + where +
           ". Unmount it first (eject it in the file manager, or run: " + command + "), then try again.";
}

std::string AccessDeniedText(const std::string& devNode)
{
    return "No permission to open " + devNode +
           ". Reading a card needs read and write access to the card reader's disk. Either install the udev rule "
           "60-pixsalvo3-card-readers.rules that comes with Pixsalvo 3 (copy it to /etc/udev/rules.d/, run "
           "'sudo udevadm control --reload' and plug the reader in again), or add your user to the disk group "
           "('sudo usermod -aG disk $USER') and log in again.";
}

}  // namespace px
