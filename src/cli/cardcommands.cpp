// px3 cards, px3 info, px3 eject: the card document's drive list as a terminal shows it.
#include <cerrno>
#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "cli/session.h"
#include "device/cdrivedoc.h"
#include "device/cdrivescsi.h"
#include "platform/lasterror.h"
#include "platform/volumetable.h"

namespace px3cli {

namespace {

std::string ForTerminal(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        out += text[i];
    }
    return out;
}

bool Attached(char letter)
{
    for (char l : px::VolumeTable::Instance().Letters())
        if (l == letter)
            return true;
    return false;
}

// The letter of a reader, or 0 after telling the user why the text names none.
char ReaderLetter(const std::string& text)
{
    const char letter = ParseLetter(text);
    if (!letter)
        std::fprintf(stderr, "px3: '%s' is not a drive letter\n", text.c_str());
    else if (!Attached(letter))
        std::fprintf(stderr, "px3: no card reader at %c: (attach a card image with --card %c=PATH)\n", letter, letter);
    else
        return letter;
    return 0;
}

}  // namespace

int CmdCards()
{
    Session session;
    CDriveDoc doc;
    doc.Reload();
    CListView view;
    doc.FillDriveList(view);
    // Readers that could not be opened for lack of permission are not silently left out.
    for (char letter : px::VolumeTable::Instance().Letters()) {
        if (doc.DriveList().Find(letter))
            continue;
        CDriveScsi drive;
        if (drive.OpenVolume(letter) || px::GetLastError() != EACCES)
            continue;
        if (const std::string access = px::VolumeTable::Instance().AccessText(letter); !access.empty())
            std::fprintf(stderr, "px3: %c: %s\n", letter, access.c_str());
    }
    if (view.Rows.empty()) {
        std::printf("No card found. Insert a card into a card reader, or attach a card image with --card.\n");
        return 0;
    }
    std::printf("%-7s %-20s %-10s %-10s %s\n", "Drive", "Device Type", "Size", "Vendor", "Bus Type");
    for (size_t row = 0; row < view.Rows.size(); ++row) {
        const auto& cells = view.Rows[row];
        std::printf("%-7s %-20s %-10s %-10s %s%s\n", cells[0].c_str(), cells[1].c_str(), cells[2].c_str(),
                    cells[3].c_str(), cells[4].c_str(), static_cast<int>(row) == view.Selected ? "   (selected)" : "");
    }
    return 0;
}

int CmdInfo(const std::string& letterText)
{
    const char letter = ReaderLetter(letterText);
    if (!letter)
        return 2;
    Session session;
    CDriveDoc doc;
    doc.Reload();
    const CDriveInfo* info = doc.DriveList().Find(letter);
    if (!info) {
        // The drive could not be described: say why, with what could be read.
        doc.SelectDrive(letter);
        std::fprintf(stderr, "px3: cannot read the card in %c: %s\n", letter, doc.GetError().c_str());
        return 1;
    }
    std::printf("%s\n", ForTerminal(info->Report()).c_str());
    if (const std::string notReady = NotReadyText(*info, letter); !notReady.empty()) {
        std::fprintf(stderr, "px3: %s\n", notReady.c_str());
        return 1;
    }
    return 0;
}

int CmdEject(const std::string& letterText)
{
    const char letter = ReaderLetter(letterText);
    if (!letter)
        return 2;
    Session session;
    CDriveDoc doc;
    doc.Reload();
    const CDriveInfo* info = doc.DriveList().Find(letter);
    if (info && !info->IsCard()) {
        const std::string notReady = NotReadyText(*info, letter);
        std::fprintf(stderr, "px3: %s\n", notReady.empty() ? "that drive holds no card" : notReady.c_str());
        return 1;
    }
    doc.SelectDrive(letter);
    if (!doc.EjectSelected()) {
        std::fprintf(stderr, "px3: cannot eject %c: %s\n", letter, doc.GetError().c_str());
        return 1;
    }
    std::printf("The card in %c: was ejected.\n", letter);
    return 0;
}

}  // namespace px3cli
