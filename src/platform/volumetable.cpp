#include "platform/volumetable.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/lasterror.h"
#include "platform/linuxdisk.h"
#include "platform/winioctl.h"

namespace px {

VolumeTable& VolumeTable::Instance()
{
    static VolumeTable table;
    return table;
}

bool VolumeTable::Attach(const std::string& spec, char* letterOut, std::string* error)
{
    auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        return false;
    };
    std::string rest = spec;
    char letter = 0;
    if (rest.size() >= 2 && rest[1] == '=' && std::isalpha(static_cast<unsigned char>(rest[0]))) {
        letter = static_cast<char>(std::toupper(static_cast<unsigned char>(rest[0])));
        rest = rest.substr(2);
        // A is the floppy's and Z the card device refuses (it stands for "no drive"); C is
        // a letter like the others here, as no system disk ever gets one.
        if (letter < 'B' || letter > 'Y')
            return fail(std::string("Drive letter ") + letter + ": cannot be given to a card image (use B to Y)");
    }
    // Options follow the path after commas; a comma of the path itself is written twice.
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] != ',') {
            parts.back() += rest[i];
        } else if (parts.size() == 1 && i + 1 < rest.size() && rest[i + 1] == ',') {
            parts.back() += ',';
            ++i;
        } else {
            parts.emplace_back();
        }
    }
    const std::string path = parts.front();
    if (path.empty())
        return fail("No card image given in '" + spec + "' (expected [LETTER=]PATH[,option...])");
    EmulatedCardOptions options;
    for (size_t i = 1; i < parts.size(); ++i) {
        std::string why;
        if (!options.Parse(parts[i], &why))
            return fail(why);
    }
    std::string why;
    auto card = EmulatedCard::Open(path, options, &why);
    if (!card)
        return fail(why);

    std::lock_guard lock(m_mutex);
    if (letter == 0) {
        for (char c = 'D'; c <= 'Y'; ++c) {
            if (!m_cards.count(c) && !m_readers.count(c)) {
                letter = c;
                break;
            }
        }
        if (letter == 0)
            return fail("No free drive letter for " + path);
    } else if (m_cards.count(letter)) {
        return fail(std::string("Drive letter ") + letter + ": is already in use by " + m_cards[letter]->ImagePath());
    } else if (m_readers.count(letter)) {
        return fail(std::string("Drive letter ") + letter + ": is already in use by the card reader " +
                    m_readers[letter].devNode);
    }
    m_cards[letter] = card;
    if (letterOut)
        *letterOut = letter;
    return true;
}

bool VolumeTable::AttachFromEnvironment(std::vector<std::string>* problems)
{
    const char* env = std::getenv("PX3_CARDS");
    if (!env)
        return true;
    std::string list(env);
    bool all = true;
    size_t start = 0;
    while (start <= list.size()) {
        const size_t semi = list.find(';', start);
        const std::string item = list.substr(start, semi == std::string::npos ? std::string::npos : semi - start);
        if (!item.empty()) {
            std::string why;
            if (!Attach(item, nullptr, &why)) {
                all = false;
                if (problems)
                    problems->push_back("PX3_CARDS: " + why);
            }
        }
        if (semi == std::string::npos)
            break;
        start = semi + 1;
    }
    return all;
}

bool VolumeTable::Detach(char letter)
{
    std::lock_guard lock(m_mutex);
    return m_cards.erase(static_cast<char>(std::toupper(static_cast<unsigned char>(letter)))) > 0;
}

void VolumeTable::DetachAll()
{
    std::lock_guard lock(m_mutex);
    m_cards.clear();
}

std::shared_ptr<EmulatedCard> VolumeTable::Card(char letter) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_cards.find(static_cast<char>(std::toupper(static_cast<unsigned char>(letter))));
    return it == m_cards.end() ? nullptr : it->second;
}

void VolumeTable::SetReaderSource(ReaderSource source)
{
    std::lock_guard lock(m_mutex);
    m_source = std::move(source);
    m_readers.clear();
    m_scanned = false;
}

void VolumeTable::ScanReaders() const
{
    m_scanned = true;
    if (!m_source.enabled) {
        m_readers.clear();
        return;
    }
    const std::vector<SysfsDisk> disks = ScanReaderDisks(m_source.sysfs);
    std::map<char, SysfsDisk> next;
    std::vector<const SysfsDisk*> fresh;
    // A reader that was here before keeps its letter (known by its ID_PATH, which stays
    // when the kernel gives the disk a new name).
    for (const SysfsDisk& disk : disks) {
        char kept = 0;
        for (const auto& [letter, old] : m_readers) {
            if (old.idPath == disk.idPath && !m_cards.count(letter) && !next.count(letter)) {
                kept = letter;
                break;
            }
        }
        if (kept)
            next[kept] = disk;
        else
            fresh.push_back(&disk);
    }
    // New readers take the letters after the attached images, in ID_PATH order; when
    // those run out, any free letter from D. Z is never given: the card device refuses it.
    char after = 'D';
    for (const auto& [letter, card] : m_cards)
        after = std::max<char>(after, static_cast<char>(letter + 1));
    auto isFree = [&](char c) { return !m_cards.count(c) && !next.count(c); };
    for (const SysfsDisk* disk : fresh) {
        char letter = 0;
        for (char c = after; c <= 'Y' && !letter; ++c)
            if (isFree(c))
                letter = c;
        for (char c = 'D'; c <= 'Y' && !letter; ++c)
            if (isFree(c))
                letter = c;
        if (letter)
            next[letter] = *disk;
    }
    m_readers = std::move(next);
}

void VolumeTable::ScanOnce() const
{
    if (!m_scanned)
        ScanReaders();
}

std::vector<char> VolumeTable::LettersLocked() const
{
    std::vector<char> letters;
    for (const auto& [letter, card] : m_cards) {
        // A reader that vanished has no letter any more, as on the desktop system.
        if (!card->Vanished())
            letters.push_back(letter);
    }
    for (const auto& [letter, disk] : m_readers)
        letters.push_back(letter);
    std::sort(letters.begin(), letters.end());
    return letters;
}

std::vector<char> VolumeTable::Letters() const
{
    std::lock_guard lock(m_mutex);
    ScanReaders();
    return LettersLocked();
}

std::string VolumeTable::LogicalDriveStrings() const
{
    std::string text;
    for (char letter : Letters()) {
        text += letter;
        text += ":\\";
        text += '\0';
    }
    text += '\0';
    return text;
}

bool VolumeTable::ReaderDisk(char letter, SysfsDisk& disk) const
{
    std::lock_guard lock(m_mutex);
    ScanOnce();
    auto it = m_readers.find(static_cast<char>(std::toupper(static_cast<unsigned char>(letter))));
    if (it == m_readers.end())
        return false;
    disk = it->second;
    return true;
}

unsigned VolumeTable::DriveType(char letter) const
{
    if (auto card = Card(letter))
        return card->Vanished() ? DRIVE_NO_ROOT_DIR : DRIVE_REMOVABLE;
    SysfsDisk disk;
    if (ReaderDisk(letter, disk))
        return disk.removable ? DRIVE_REMOVABLE : DRIVE_FIXED;
    return DRIVE_NO_ROOT_DIR;
}

std::string VolumeTable::FileSystemName(char letter) const
{
    if (auto card = Card(letter)) {
        if (card->Vanished() || !card->CardPresent())
            return {};
        return ProbeFileSystemName(card->ImagePath());
    }
    SysfsDisk disk;
    if (ReaderDisk(letter, disk))
        return ProbeFileSystemName(disk.devNode);
    return {};
}

bool VolumeTable::FreeSpace(char letter, FreeSpaceInfo& info) const
{
    info = FreeSpaceInfo{};
    if (auto card = Card(letter)) {
        // A card image is never mounted: there is no file system to ask.
        SetLastError(card->Vanished() ? ENODEV : ENOTSUP);
        return false;
    }
    SysfsDisk disk;
    if (!ReaderDisk(letter, disk)) {
        SetLastError(ENODEV);
        return false;
    }
    SysfsSource sysfs;
    {
        std::lock_guard lock(m_mutex);
        sysfs = m_source.sysfs;
    }
    const std::vector<MountEntry> mounts = MountsOfDisk(sysfs, disk);
    if (mounts.empty()) {
        SetLastError(ENOTSUP);
        return false;
    }
    struct statvfs vfs{};
    if (::statvfs(mounts.front().mountPoint.c_str(), &vfs) != 0) {
        SetLastError(errno);
        return false;
    }
    // In the desktop system's terms: 512-byte sectors, clusters of the file system's
    // fragment size; the cluster counts are 32-bit.
    const uint64_t unit = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
    info.bytesPerSector = 512;
    info.sectorsPerCluster = static_cast<uint32_t>(std::max<uint64_t>(1, unit / 512));
    info.freeClusters = static_cast<uint32_t>(std::min<uint64_t>(vfs.f_bavail, 0xFFFFFFFFu));
    info.totalClusters = static_cast<uint32_t>(std::min<uint64_t>(vfs.f_blocks, 0xFFFFFFFFu));
    info.freeBytesAvailable = uint64_t(vfs.f_bavail) * unit;
    info.totalBytes = uint64_t(vfs.f_blocks) * unit;
    info.totalFreeBytes = uint64_t(vfs.f_bfree) * unit;
    return true;
}

std::string VolumeTable::BusyText(char letter) const
{
    if (auto card = Card(letter))
        return "The card image " + card->ImagePath() + " is in use by another program. Close that program, then try again.";
    SysfsDisk disk;
    if (!ReaderDisk(letter, disk))
        return {};
    SysfsSource sysfs;
    {
        std::lock_guard lock(m_mutex);
        sysfs = m_source.sysfs;
    }
    return MountedDiskText(disk.devNode, MountsOfDisk(sysfs, disk));
}

std::string VolumeTable::AccessText(char letter) const
{
    SysfsDisk disk;
    if (!ReaderDisk(letter, disk))
        return {};
    return AccessDeniedText(disk.devNode);
}

Handle VolumeTable::Open(const std::string& path) const
{
    auto openLetter = [&](char letter) -> Handle {
        if (auto card = Card(letter))
            return card->OpenHandle(path);
        SysfsDisk disk;
        ReaderSource source;
        {
            // Looked for again: the disk behind a letter must be the one there now, not
            // one that was unplugged since and whose kernel name went to another disk.
            std::lock_guard lock(m_mutex);
            ScanReaders();
            auto it = m_readers.find(static_cast<char>(std::toupper(static_cast<unsigned char>(letter))));
            if (it == m_readers.end()) {
                SetLastError(ENOENT);
                return nullptr;
            }
            disk = it->second;
            source = m_source;
        }
        return OpenLinuxDisk(path, disk, source.sysfs, source.ioctl);
    };
    // "\\.\X:" names a volume by letter.
    if (path.size() == 6 && path.compare(0, 4, "\\\\.\\") == 0 && path[5] == ':')
        return openLetter(path[4]);
    // "\\.\PhysicalDriveN": the N-th drive of the table.
    const std::string prefix = "\\\\.\\PhysicalDrive";
    if (path.compare(0, prefix.size(), prefix) == 0 && path.size() > prefix.size()) {
        const std::string number = path.substr(prefix.size());
        if (number.size() > 3 || number.find_first_not_of("0123456789") != std::string::npos) {
            SetLastError(ENOENT);
            return nullptr;
        }
        const auto letters = Letters();
        const size_t index = static_cast<size_t>(std::stoi(number));
        if (index >= letters.size()) {
            SetLastError(ENOENT);
            return nullptr;
        }
        return openLetter(letters[index]);
    }
    SetLastError(ENOENT);
    return nullptr;
}

Handle OpenDevice(const std::string& path) { return VolumeTable::Instance().Open(path); }

namespace {

std::string NameFromProbe(blkid_probe probe)
{
    const char* type = nullptr;
    const char* version = nullptr;
    if (blkid_probe_lookup_value(probe, "TYPE", &type, nullptr) != 0 || !type)
        return {};
    blkid_probe_lookup_value(probe, "VERSION", &version, nullptr);
    const std::string t(type);
    if (t == "vfat")
        return version && std::strcmp(version, "FAT32") == 0 ? "FAT32" : "FAT";
    if (t == "exfat")
        return "exFAT";
    if (t == "ntfs")
        return "NTFS";
    return t;
}

std::string ProbeAt(int fd, blkid_loff_t offset, blkid_loff_t size)
{
    blkid_probe probe = blkid_new_probe();
    if (!probe)
        return {};
    std::string name;
    if (blkid_probe_set_device(probe, fd, offset, size) == 0) {
        blkid_probe_enable_superblocks(probe, 1);
        blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION);
        blkid_probe_enable_partitions(probe, 0);
        if (blkid_do_safeprobe(probe) == 0)
            name = NameFromProbe(probe);
    }
    blkid_free_probe(probe);
    return name;
}

}  // namespace

std::string ProbeFileSystemName(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string name;
    blkid_probe probe = blkid_new_probe();
    if (probe && blkid_probe_set_device(probe, fd, 0, 0) == 0) {
        blkid_probe_enable_partitions(probe, 1);
        blkid_probe_enable_superblocks(probe, 0);
        blkid_partlist list = blkid_probe_get_partitions(probe);
        if (list && blkid_partlist_numof_partitions(list) > 0) {
            blkid_partition part = blkid_partlist_get_partition(list, 0);
            const blkid_loff_t sectorSize = 512;
            name = ProbeAt(fd, blkid_partition_get_start(part) * sectorSize,
                           blkid_partition_get_size(part) * sectorSize);
        } else {
            name = ProbeAt(fd, 0, 0);
        }
    }
    if (probe)
        blkid_free_probe(probe);
    ::close(fd);
    return name;
}

}  // namespace px
