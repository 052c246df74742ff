#pragma once
// The stand-in for the desktop's CD writing service: xorriso. A recordable drive is the
// address the settings give (a device under /dev such as "/dev/sr0", or xorriso's
// "stdio:/path" pseudo drive, which writes the disc image into a file) or else the first
// drive that `xorriso -devices` lists. The staging area is a folder under the user's
// cache, made empty before each burn and removed after it; the "burn" writes it to the
// drive as one session of ISO 9660 with Joliet and Rock Ridge names (added to what an
// appendable disc already holds).
//
// xorriso runs as a child process (ChildProcess): the window keeps running while it works,
// a Cancel stops it, and one that hangs is stopped after a time without a word. Nothing
// the user or the settings give reaches xorriso where it could be read as an option: the
// drive must start with "/dev/" or "stdio:/", the staging folder is an absolute path.
#include <functional>
#include <string>
#include <vector>

namespace px {

class CdBurner {
public:
    // The program run as xorriso: "xorriso" on the PATH unless replaced (an empty text
    // restores it). Tests replace it so that no real drive is ever looked at.
    static void SetProgram(std::string program);
    static std::string Program();

    // How long xorriso may take. Tests shorten them.
    struct Limits {
        // Listing the drives wakes every one of them: a slow drive may take its time.
        int listMs = 60000;
        // While it writes or closes a session xorriso reports its state every second; one
        // that says nothing for three minutes waits for a drive that no longer answers.
        int quietMs = 180000;
    };
    static void SetLimits(Limits limits);
    static Limits GetLimits();

    // Whether text names a drive to write with: an existing block or character device
    // under /dev, or "stdio:" followed by an absolute path. False with the reason.
    static bool IsDriveAddress(const std::string& text, std::string& error);
    // The drive to write with: configured when it is not empty (it must be a drive
    // address), else the first drive of `xorriso -devices`. False with the reason: the
    // setting is no drive address, xorriso is missing or cannot run, or "The recordable
    // drive is missing".
    static bool FindRecordableDrive(const std::string& configured, std::string& drive, std::string& error);
    // The drive addresses of a `xorriso -devices` listing ("0  -dev '/dev/sr0' rwrw-- :
    // 'vendor' 'model'"), in its order.
    static std::vector<std::string> ParseDeviceList(const std::string& listing);

    // The staging area, "<cache>/Pixsalvo3/CD Burning", made anew and empty: whatever an
    // earlier burn left there is removed first, so a disc holds exactly the folder chosen.
    // False with the error when it cannot be made or emptied.
    static bool StagingArea(std::string& folder, std::string& error);
    // Where the staging area lies (made or not); empty when the user's cache folder is unknown.
    static std::string StagingPath();
    // Removes the staging area and every copy in it (no copy of the user's pictures stays
    // in the cache after a burn, whatever its outcome).
    static void RemoveStaging(const std::string& folder);

    // The longest name a Joliet record holds with xorriso's joliet_long_names rule, in
    // UTF-16 units (Rock Ridge holds the 255 bytes any Linux name has).
    static constexpr int MaxDiscNameUnits = 103;
    // Gives every entry below folder whose name the disc cannot hold a shorter one: the
    // name cut to MaxDiscNameUnits, its extension kept, "~2", "~3"... when the cut name is
    // taken. The renamings as "old path -> new path" (relative to folder), in walk order.
    static std::vector<std::string> ShortenNames(const std::string& folder);

    // Writes the staging folder to the drive, its names first made to fit the disc
    // (ShortenedNames tells which). progress gets the percentage each time xorriso tells
    // it; cancelled is asked while xorriso works and stops it when true ("Aborted by
    // user"). True exactly when xorriso ended with exit status 0. False with a message
    // that names xorriso, how it ended (exit status, stopped after a time without a word,
    // could not be started) and its own problem lines, or the end of its standard error.
    static bool Burn(const std::string& staging, const std::string& drive, const std::function<void(int percent)>& progress,
                     const std::function<bool()>& cancelled, std::string& error);
    // The renamings of the last Burn (see ShortenNames); empty when every name fitted.
    static const std::vector<std::string>& ShortenedNames();
    // The percentage of a progress line of xorriso ("xorriso : UPDATE : Writing: 2048s
    // 67.2% fifo 94% ..." gives 67); -1 for any other line.
    static int ProgressOfLine(const std::string& line);
};

}  // namespace px
