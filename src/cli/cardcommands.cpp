// px3 cards, px3 info.
#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "device/cdrivescsi.h"
#include "platform/volumetable.h"

namespace px3cli {

namespace {

std::string ForTerminal(std::string text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        out += text[i];
    }
    return out;
}

// Describes a drive; false with a message when it cannot be opened or asked.
bool Describe(char letter, CDriveInfo& info, std::string& error)
{
    CDriveScsi drive;
    if (!drive.OpenVolume(letter)) {
        error = drive.GetError();
        return false;
    }
    const bool ok = drive.ReadDriveInfo(info);
    if (!ok)
        error = drive.GetError();
    drive.Close();
    return ok;
}

}  // namespace

int CmdCards()
{
    std::printf("%-7s %-20s %-10s %-10s %s\n", "Drive", "Device Type", "Size", "Vendor", "Bus Type");
    int shown = 0;
    for (char letter : px::VolumeTable::Instance().Letters()) {
        CDriveInfo info;
        std::string error;
        if (!Describe(letter, info, error) || !info.IsCard())
            continue;
        const std::string drive = std::string(1, letter) + ":\\";
        const std::string type = std::string(info.m_Descriptor.RemovableMedia == 1 ? "Removable" : "") + " " +
                                 DeviceNames::DeviceType(info.m_Descriptor.DeviceType);
        std::printf("%-7s %-20s %-10s %-10s %s\n", drive.c_str(), type.c_str(),
                    DeviceText::SizeText(info.DiskSize()).c_str(), info.m_Descriptor.Vendor.c_str(),
                    DeviceNames::BusType(info.m_Descriptor.BusType).c_str());
        ++shown;
    }
    if (shown == 0)
        std::printf("No card found. Insert a card into a card reader, or attach a card image with --card.\n");
    return 0;
}

int CmdInfo(const std::string& letterText)
{
    const char letter = ParseLetter(letterText);
    if (!letter) {
        std::fprintf(stderr, "px3: '%s' is not a drive letter\n", letterText.c_str());
        return 2;
    }
    auto& table = px::VolumeTable::Instance();
    bool known = false;
    for (char l : table.Letters())
        known = known || l == letter;
    if (!known) {
        std::fprintf(stderr, "px3: no card reader at %c: (attach a card image with --card %c=PATH)\n", letter, letter);
        return 2;
    }
    CDriveInfo info;
    std::string error;
    if (!Describe(letter, info, error)) {
        std::fprintf(stderr, "px3: cannot read the card in %c: %s\n", letter, error.c_str());
        if (info.m_Letter)
            std::printf("%s\n", ForTerminal(info.Report()).c_str());
        return 1;
    }
    std::printf("%s\n", ForTerminal(info.Report()).c_str());
    if ((info.m_Sense.ScsiStatus & 0x3E) != 0) {
        const bool noMedium = info.m_Sense.Valid && (info.m_Sense.Sense[2] & 0x0F) == 2;
        std::fprintf(stderr, "px3: %s\n",
                     noMedium ? (std::string("there is no card in the reader at ") + letter + ":").c_str()
                              : (std::string("the card in ") + letter + ": is not ready").c_str());
        return 1;
    }
    return 0;
}

}  // namespace px3cli
