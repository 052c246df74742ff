#pragma once
// The stand-in for the desktop's CD writing service: xorriso. A recordable drive is the
// address the settings give (a device such as "/dev/sr0", or xorriso's "stdio:FILE"
// pseudo drive, which writes the disc image into a file) or else the first drive that
// `xorriso -devices` lists. The staging area is a folder under the user's cache; the
// "burn" writes it to the drive as one session of ISO 9660 with Joliet and Rock Ridge
// names (added to what an appendable disc already holds) and, once written, empties it,
// as the desktop's CD wizard does.
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

    // The drive to write with: configured when it is not empty, else the first drive of
    // `xorriso -devices`. False when there is none, or when xorriso cannot run.
    static bool FindRecordableDrive(const std::string& configured, std::string& drive);
    // The drive addresses of a `xorriso -devices` listing ("0  -dev '/dev/sr0' rwrw-- :
    // 'vendor' 'model'"), in its order.
    static std::vector<std::string> ParseDeviceList(const std::string& listing);

    // The staging area, "<cache>/Pixsalvo3/CD Burning", made when missing. False with the
    // error when the user's cache folder has none and it cannot be made.
    static bool StagingArea(std::string& folder, std::string& error);

    // Writes the staging folder to the drive. progress gets the percentage written each
    // time xorriso tells it; pending window messages run while xorriso works. True
    // exactly when xorriso reports success (exit status 0); the staging area is emptied
    // then. False with xorriso's last problem message (or how it ended) otherwise; the
    // staging area keeps its files.
    static bool Burn(const std::string& staging, const std::string& drive, const std::function<void(int percent)>& progress,
                     std::string& error);
    // The percentage of a progress line of xorriso ("xorriso : UPDATE : Writing: 2048s
    // 67.2% fifo 94% ..." gives 67); -1 for any other line.
    static int ProgressOfLine(const std::string& line);
};

}  // namespace px
