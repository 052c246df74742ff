#pragma once
// The card tools, each a card job on the common frame: CCardTest reads every block of the
// card, CCardWipe overwrites every block with zeros, CCardFormat writes a new FAT file
// system and ejects the card. A tool page (or px3) builds one on its stack with the
// document's status record and the selected card's description, runs it once, reads its
// error text on failure and destroys it.
#include <cstdint>
#include <string>

#include "device/ccardjob.h"
#include "tools/fatformatter.h"

// Why a card may not be formatted or erased, for the user; empty when it may. Only a
// removable disk whose card answered ready qualifies: never a fixed disk, an empty slot
// or a card that is not ready.
std::string CardRefusal(const CDriveInfo& info);

// The text of a write request that went through but did not write everything it was
// asked to: "Write failed at block N: DATA PROTECT (0 of 51200 bytes written) - the card
// is write-protected". Empty when the request wrote all it was asked and ended without an
// error sense (NO SENSE and RECOVERED ERROR count as written).
std::string ShortWriteText(const CDriveScsi& drive, uint64_t firstBlock, uint32_t asked, uint32_t done);
// The same from a status byte and decoded sense (a drive without SCSI: GOOD, no sense).
std::string ShortWriteText(uint8_t status, const px::SenseData& sense, uint64_t firstBlock, uint32_t asked,
                           uint32_t done);

// The read test: the frame's run with a chunk operation that only reads. Blocks that
// cannot be read even one by one are counted (ReadErrors) and the test goes on; a request
// that fails outright (the reader gone) ends it with the device's error.
class CCardTest : public CCardJob {
public:
    CCardTest(CTransferStatus* status, const CDriveInfo& info, int32_t scope = JobScope::CardTest);
    ~CCardTest() override;

    // True when every block was read or found unreadable; after a run with unreadable
    // blocks the error text says how many. False when the card could not be opened, the
    // test was cancelled or a request failed.
    bool Run() override;
    bool ConnectToDestination() override { return true; }
    // Reads the chunk; the data is not examined.
    bool TransferChunk(CDriveScsi& drive, CChunk& chunk, uint16_t count, uint32_t& bytesDone) override;
    bool ReadsAhead() const override { return true; }

    uint64_t ReadErrors() const { return UnreadableBlocks(); }
};

// The erase: the frame's run with a chunk operation that writes the frame's zero-filled
// buffer, so every block from 0 to the last is overwritten once with zeros; no second
// pass and no read-back. Runs only on a drive that qualifies as a card (CardRefusal).
class CCardWipe : public CCardJob {
public:
    CCardWipe(CTransferStatus* status, const CDriveInfo& info, int32_t scope = JobScope::Erase);
    ~CCardWipe() override;

    // Refuses a drive that is no card (nothing written), then the frame's Init.
    bool Init() override;
    bool ConnectToDestination() override { return true; }
    // Writes the chunk. False with the device's error, or with ShortWriteText when the
    // card took fewer bytes than asked (a write-protected card).
    bool TransferChunk(CDriveScsi& drive, CChunk& chunk, uint16_t count, uint32_t& bytesDone) override;
};

// The format: its own run. Open and lock the card, describe it, write the FAT system area
// (label "PX3") and eject the card while it is still locked; then unlock and close. It
// sends progress positions 0, 1 and 2 of a range 0 to 3, no job-started or job-ended
// status, and does not let the front end run while it writes, so it cannot be cancelled.
class CCardFormat : public CCardJob {
public:
    static constexpr const char* Label = "PX3";

    CCardFormat(CTransferStatus* status, const CDriveInfo& info, int32_t scope = JobScope::Format);
    ~CCardFormat() override;

    // Sizes nothing: only refuses a drive that is no card.
    bool Init() override;
    // True when the card was formatted and ejected. False with the frame's open or lock
    // text, the refusal, the formatter's or the device's error, or the eject's failure.
    // The card is unlocked and closed on every way out.
    bool Run() override;
    // Makes the run folder, as the recovery does (the format's own run does not use it).
    bool ConnectToDestination() override;

    // The clock and serial number of the file system (tests build cards byte for byte).
    void SetEnvironment(const CFatEnvironment& environment) { m_environment = environment; }

private:
    CFatEnvironment m_environment;
};
