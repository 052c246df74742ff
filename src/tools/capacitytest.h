#pragma once
// The capacity test: does the card hold what it claims? Fake cards report a large size
// (128 GB) but hold a small one (8 GB); a write past the real size lands on a block
// already written (the address wraps round) or vanishes, and the pictures there are lost
// without a word. The test writes every block with a pattern that holds its own block
// number and this run's key, then reads every block back and compares.
//
// The card is written in 4 MiB segments from the last one to the first (each segment
// front to back in big requests): on a card that wraps, the blocks written last are the
// real ones at the card's start, so the blocks that hold what was written are the front
// of the card, as far as its real size, and the first one that does not tells that size.
// A card that drops the writes reads back other data past its size just the same.
//
// Everything on the card is overwritten: a front end asks first, as for an erase.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "device/ccardjob.h"

struct CCapacityResult {
    uint64_t blocks = 0;       // the blocks the card claims
    uint64_t firstBad = 0;     // the first block that does not hold what was written; blocks when all do
    uint64_t badBlocks = 0;    // the blocks that do not (unreadable ones included)
    double writeMBps = 0;      // 10^6 bytes a second, as card speeds are quoted
    double readMBps = 0;

    bool Passed() const { return badBlocks == 0; }
    // Nearly every block from the first bad one to the end fails: the card holds only its
    // front (a card with scattered failing blocks is failing, not fake).
    bool Fake() const;
    uint64_t UsableBytes() const { return firstBad * 512; }
};

// "64 MB", "7.5 GB", "512 KB": binary units as the program's sizes, one decimal at most
// and none when it is 0.
std::string CapacitySizeText(uint64_t bytes);
// The verdict line: "fake: usable 64 MB of 256 MB", "good: all 256 MB hold what was
// written", or "failing: N blocks do not hold what was written, the first is block B".
std::string CapacityVerdict(const CCapacityResult& result);

class CCardCapacityTest : public CCardJob {
public:
    // runKey: written into every block, so that data of an earlier run never passes.
    CCardCapacityTest(CTransferStatus* status, const CDriveInfo& info, uint64_t runKey,
                      int32_t scope = JobScope::CardTest);
    ~CCardCapacityTest() override;

    // Refuses a drive that is no card (CardRefusal; nothing written), then the frame's.
    bool Init() override;
    // Writes every block, then reads every block back. True when both went to the end
    // (Result says what the card holds). False with the error when the card cannot be
    // opened, a write is refused (the sense key's name), the card goes away or the user
    // cancels; every way out after the first write says that the card's content is gone.
    bool Run() override;

    // Called between requests: blocks done of both passes (2 x blocks), the pass (1 write,
    // 2 read), at most every 200 ms.
    void SetProgressHandler(std::function<void(uint64_t done, uint64_t total, int pass)> handler)
    {
        m_onProgress = std::move(handler);
    }
    const CCapacityResult& Result() const { return m_result; }

private:
    bool WritePass();
    bool ReadPass();
    // The pattern of a block: its number (little-endian) and the key, then 496 bytes that
    // depend on the key and the block's place in a request. Fills the headers of count
    // blocks from first into a buffer that holds the bodies.
    void Fill(uint8_t* data, uint64_t first, uint32_t count) const;
    // Counts the blocks of [first, first + count) in data that differ from their pattern;
    // the blocks from valid on were not read and count as differing.
    void Compare(const uint8_t* data, uint64_t first, uint32_t count, uint32_t valid);
    bool Between(uint64_t done, int pass);
    bool Stop(const std::string& error, JobOutcome outcome);

    uint64_t m_key;
    CCapacityResult m_result;
    std::vector<uint8_t> m_body;       // the bodies of a request's blocks
    std::vector<uint8_t> m_buffer;     // what is written: m_body with the headers
    std::vector<uint8_t> m_readBuffer;   // what is read
    std::function<void(uint64_t, uint64_t, int)> m_onProgress;
    int64_t m_lastProgressMs = 0;
    bool m_written = false;   // the first write went out
};
