#pragma once
// The backup of a card to an image file, the way a dying card is best handled: every read
// may be its last, so the easy areas are copied first and the hard ones later, and a map
// beside the image (GNU ddrescue's mapfile, see platform/rescuemap.h) records what is
// copied, so a backup stopped at any moment goes on where it stood.
//
//   pass 1  the not-tried areas in big requests; past a request that fails the backup
//           skips ahead (64 KiB, doubling while requests keep failing, at most 1% of
//           the card), leaving the skipped area not tried
//   pass 2  the skipped areas in chunks, without skipping
//   pass 3  the failed areas block by block: first their edges (trimming, from the front
//           until a block fails, then from the back), then their insides (scraping);
//           a block that fails is bad ('-')
//   retries the bad blocks read again, as many passes as asked
//
// The card is only read. The image is written only where the card was read; what was not
// copied stays zeros (a hole), and the image has the card's size at the end of every run.
// A run again with the same image and map goes on: the not-tried areas first, then the
// failed ones, then one more go at the bad blocks.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "device/ccardjob.h"
#include "platform/rescuemap.h"

struct CBackupOptions {
    std::string imagePath;
    std::string mapPath;        // empty: imagePath + ".map"
    bool sparse = false;        // blocks of zeros are not written (they stay holes)
    int retries = 1;            // passes over the bad blocks after pass 3
    std::string commandLine;    // for the map's comment
};

// Where a backup stands, for the front end's progress line.
struct CBackupProgress {
    uint64_t size = 0;      // bytes of the card
    uint64_t copied = 0;    // '+'
    uint64_t failed = 0;    // areas that failed, bad blocks included ('*', '/', '-')
    uint64_t untried = 0;   // '?'
    char phase = px::RescueStatus::NonTried;   // the map's current status
    int pass = 1;
    int64_t secondsLeft = -1;   // -1 while unknown
};

class CCardBackup : public CCardJob {
public:
    // The scope of its messages on the bus.
    static constexpr int32_t BackupScope = 20;

    CCardBackup(CTransferStatus* status, const CDriveInfo& info, CBackupOptions options);
    ~CCardBackup() override;

    // Opens the card and the image, then the passes. True when they ran to the end (with
    // bad blocks: Outcome UnreadableBlocks and the error says how many). False with the
    // error when the card or the image cannot be used, the card went away, the image
    // cannot be written (a full disk: the system's reason and where the image is) or the
    // user cancelled. The map is saved on every way out after the image was opened.
    bool Run() override;

    // Called from the run, at most every 200 ms and at its end.
    void SetProgressHandler(std::function<void(const CBackupProgress&)> handler) { m_onProgress = std::move(handler); }
    // How often the map is saved during the run (2 s).
    void SetMapInterval(std::chrono::milliseconds interval) { m_mapInterval = interval; }

    const px::RescueMap& Map() const { return m_map; }
    const std::string& MapPath() const { return m_mapPath; }
    CBackupProgress Progress() const;

private:
    enum class ReadOutcome { Good, Bad, Stop };

    bool OpenImage();
    void CloseImage();
    bool Passes();
    // The areas of status from, starting at byte start, in requests of up to blocks blocks;
    // a failing request becomes '*', and with skipping the next skip bytes are left.
    bool CopyPass(char from, uint64_t start, uint16_t blocks, bool skipping, int pass);
    bool TrimPass();
    // Every block of the areas of status from, read alone: '+' or '-'.
    bool BlockPass(char from, char phase, int pass);
    // Reads blocks [first, first + count) into the buffer and, when they come whole,
    // writes them into the image and marks [pos, end) copied; else marks it failed.
    ReadOutcome Copy(uint64_t first, uint16_t count, uint64_t pos, uint64_t end, char failed);
    bool WriteImage(uint64_t offset, const uint8_t* data, size_t size);
    // Between two requests: the front end runs (a Cancel), the map is saved when due,
    // progress is handed on. False when the run is to stop.
    bool Between();
    bool SaveMap();

    CBackupOptions m_options;
    std::string m_mapPath;
    px::RescueMap m_map;
    int m_imageFd = -1;
    uint64_t m_cardBytes = 0;
    std::vector<uint8_t> m_buffer;
    std::function<void(const CBackupProgress&)> m_onProgress;
    std::chrono::milliseconds m_mapInterval{2000};
    std::chrono::steady_clock::time_point m_started, m_lastSave, m_lastProgress;
    uint64_t m_workAtStart = 0;   // bytes not tried or failed when the run started
};
