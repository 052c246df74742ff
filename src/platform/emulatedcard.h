#pragma once
// The emulated card reader: a card image file behind a reader that answers SCSI commands
// as a USB card reader does, with faults that tests and users can ask for:
//   bad=FIRST-LAST  blocks that cannot be read (MEDIUM ERROR 3/11; the bytes before the
//                   first bad block of a request are moved), repeatable
//   readonly        write-protected card (DATA PROTECT 7/27)
//   empty           no card in the slot (NOT READY 2/3A)
//   pull=N          the reader vanishes after N SCSI requests (later requests fail)
//   short           a request that reaches a bad block stops there with GOOD status,
//                   as readers that hide errors do: only the bytes moved tell
//   slow=MS         every SCSI request takes MS milliseconds more
//   failslow=MS     a request that meets a bad block takes MS milliseconds more (the
//                   reader's own retries before it gives up)
//   recovered=FIRST-LAST  blocks the reader reads only with retries: every byte moves,
//                   answered CHECK CONDITION, RECOVERED ERROR 1/17/01
//   garbage         a request that meets a bad block leaves garbage (not zeros) in the
//                   part of the data area it did not fill
//   rate=MBPS       the card moves at most MBPS megabytes (10^6 bytes) a second, as a
//                   reader of that bus speed does
//   reader=VENDOR/PRODUCT/REV   the inquiry identity
//   fake=SIZE       a fake card: it claims the image's size but holds only SIZE bytes
//                   (K, M, G: 1024, 1024^2, 1024^3; a multiple of 512); a block past SIZE
//                   is the block modulo SIZE, for writes and reads, as most fakes wrap
//   fakedrop=SIZE   a fake card that drops writes past SIZE (answered GOOD) and reads
//                   zeros there
//   map=PATH        the map of a backup (GNU ddrescue's mapfile format): every block it
//                   does not mark copied ('+') is unreadable. Without the option the map
//                   beside the image (IMAGE.map) is read when there is one, so a recovery
//                   from a backup image reports the areas the backup could not copy
//                   instead of carving its zeros as data
//   nomap           serve the image whole even when a map lies beside it
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/blocktarget.h"
#include "platform/devicehandle.h"

namespace px {

struct EmulatedCardOptions {
    std::vector<std::pair<uint64_t, uint64_t>> badRanges;         // inclusive block ranges
    std::vector<std::pair<uint64_t, uint64_t>> recoveredRanges;   // inclusive block ranges
    bool readOnly = false;
    bool empty = false;
    int64_t pullAfter = -1;       // requests served before the reader vanishes; -1 never
    bool shortTransfers = false;
    int slowMs = 0;
    int failSlowMs = 0;
    uint32_t rateMBps = 0;   // 0: as fast as the image file
    bool garbage = false;
    std::string vendor = "Generic";
    std::string product = "Card Image";
    std::string revision = "1.00";
    uint64_t fakeBlocks = 0;   // fake=, fakedrop=: the blocks the card really holds; 0 a real card
    bool fakeDrop = false;     // fakedrop=: writes past fakeBlocks vanish
    std::string mapPath;       // map=: a backup map to read; empty: IMAGE.map when present
    bool noMap = false;

    // Parses one option ("bad=10-20", "readonly", ...). False with a message on error.
    bool Parse(const std::string& option, std::string* error);
};

class EmulatedCard : public std::enable_shared_from_this<EmulatedCard>, private BlockTarget {
public:
    // Opens the image (read-write, or read-only when the file cannot be written, which
    // then behaves as a write-protected card). Null with a message when it cannot.
    static std::shared_ptr<EmulatedCard> Open(const std::string& imagePath, const EmulatedCardOptions& options,
                                              std::string* error);
    ~EmulatedCard();

    const std::string& ImagePath() const { return m_path; }
    const EmulatedCardOptions& Options() const { return m_options; }
    uint64_t BlockCount() const;

    // The slot: take the card out, put it back (a UNIT ATTENTION follows once).
    void RemoveCard();
    void InsertCard();
    bool CardPresent() const;
    // The reader itself: vanish (unplugged) and come back.
    void Vanish();
    void Replug();
    bool Vanished() const;
    void SetBadRanges(std::vector<std::pair<uint64_t, uint64_t>> ranges);

    // Counters of the requests served.
    uint64_t ReadCommands() const { return m_reads; }
    uint64_t WriteCommands() const { return m_writes; }
    uint64_t Commands() const { return m_commands; }
    // Bumped by every change of the slot or the reader, so a poller can see it.
    uint64_t ChangeCount() const { return m_changes; }

    // A new handle on this reader (each with its own lock).
    Handle OpenHandle(const std::string& path);

    // Carries out one command; false with the last error when the reader is gone.
    bool Execute(const ScsiRequest& request, ScsiResult& result);
    bool Facts(DiskFacts& facts);

private:
    EmulatedCard() = default;
    uint64_t FirstBad(uint64_t first, uint64_t count) const;
    // Reads or writes the image's blocks that the card's blocks [first, first + count)
    // stand on: the same blocks, or for a fake card the blocks modulo its real size (or
    // nothing past it, reading zeros, for one that drops). The bytes moved.
    uint64_t MoveBlocks(bool write, uint64_t first, uint64_t count, uint8_t* data);
    // The reader's side of the shared target (called with m_mutex held).
    Identity InquiryIdentity() const override { return {m_options.vendor, m_options.product, m_options.revision}; }
    bool Ready(ScsiResult& result, uint64_t& blocks) override;
    void Arrived(bool write) override { ++(write ? m_writes : m_reads); }
    bool WriteProtected() const override { return !m_writable; }
    bool Transfer(bool write, uint64_t first, uint64_t count, uint8_t* data, ScsiResult& result) override;
    bool TouchesRecovered(uint64_t first, uint64_t count) const;
    // Waits until a transfer of this many bytes would have passed the bus (rate=).
    void Pace(uint64_t bytes);
    // The block count as of at most 50 ms ago: the image is not asked for its size on
    // every command, and an image cut short during a run is still noticed at once.
    uint64_t RecentBlockCount();

    std::string m_path;
    EmulatedCardOptions m_options;
    int m_fd = -1;
    bool m_writable = false;
    mutable std::mutex m_mutex;
    bool m_present = true;
    bool m_unitAttention = false;
    bool m_vanished = false;
    std::atomic<uint64_t> m_reads{0}, m_writes{0}, m_commands{0}, m_changes{0};
    std::chrono::steady_clock::time_point m_busyUntil{};
    uint64_t m_recentBlocks = 0;
    std::chrono::steady_clock::time_point m_recentAt{};
};

}  // namespace px
