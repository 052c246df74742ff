#include "platform/volumetable.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/lasterror.h"
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
    }
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        const size_t comma = rest.find(',', start);
        parts.push_back(rest.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
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
        for (char c = 'D'; c <= 'Z'; ++c) {
            if (!m_cards.count(c)) {
                letter = c;
                break;
            }
        }
        if (letter == 0)
            return fail("No free drive letter for " + path);
    } else if (m_cards.count(letter)) {
        return fail(std::string("Drive letter ") + letter + ": is already in use by " + m_cards[letter]->ImagePath());
    }
    m_cards[letter] = card;
    if (letterOut)
        *letterOut = letter;
    return true;
}

bool VolumeTable::AttachFromEnvironment(std::string* error)
{
    const char* env = std::getenv("PX3_CARDS");
    if (!env)
        return true;
    std::string list(env);
    size_t start = 0;
    while (start <= list.size()) {
        const size_t semi = list.find(';', start);
        const std::string item = list.substr(start, semi == std::string::npos ? std::string::npos : semi - start);
        if (!item.empty()) {
            std::string why;
            if (!Attach(item, nullptr, &why)) {
                if (error)
                    *error = "PX3_CARDS: " + why;
                return false;
            }
        }
        if (semi == std::string::npos)
            break;
        start = semi + 1;
    }
    return true;
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

std::vector<char> VolumeTable::Letters() const
{
    std::lock_guard lock(m_mutex);
    std::vector<char> letters;
    for (const auto& [letter, card] : m_cards) {
        // A reader that vanished has no letter any more, as on the desktop system.
        if (!card->Vanished())
            letters.push_back(letter);
    }
    return letters;
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

unsigned VolumeTable::DriveType(char letter) const
{
    auto card = Card(letter);
    if (!card || card->Vanished())
        return DRIVE_NO_ROOT_DIR;
    return DRIVE_REMOVABLE;
}

std::string VolumeTable::FileSystemName(char letter) const
{
    auto card = Card(letter);
    if (!card || card->Vanished() || !card->CardPresent())
        return {};
    return ProbeFileSystemName(card->ImagePath());
}

bool VolumeTable::FreeSpace(char letter, FreeSpaceInfo& info) const
{
    info = FreeSpaceInfo{};
    auto card = Card(letter);
    if (!card || card->Vanished()) {
        SetLastError(ENODEV);
        return false;
    }
    // A card image is never mounted: there is no file system to ask.
    SetLastError(ENOTSUP);
    return false;
}

Handle VolumeTable::Open(const std::string& path) const
{
    // "\\.\X:" names a volume by letter.
    if (path.size() == 6 && path.compare(0, 4, "\\\\.\\") == 0 && path[5] == ':') {
        auto card = Card(path[4]);
        if (!card) {
            SetLastError(ENOENT);
            return nullptr;
        }
        return card->OpenHandle(path);
    }
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
        return Card(letters[index])->OpenHandle(path);
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
