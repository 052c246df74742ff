#pragma once
// The frame of every long card operation (recovery, test, format, erase): open and lock
// the card, read its size, walk it from the first block to the last in chunks of at most
// 100 blocks, hand each chunk to the job, keep the shared status record up to date, send
// progress and status messages, let the front end run between chunks so a Cancel can
// reach the job, and close everything on every way out.
//
// Message order of a run: JobStarted; status 7; (when the card opened) progress 2, 7, 6;
// per progress period progress 6 and status 3; the jobs' own statuses; status 8; from
// Close status 3 and progress 6 and 3; JobFinished.
#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/ctransferstatus.h"
#include "app/cworker.h"
#include "device/cchunkreader.h"
#include "device/cdriveinfo.h"
#include "device/cdrivescsi.h"
#include "jobs/cmsg.h"

// How a run ended, for the front ends to act on (exit status, the page's words) without
// reading the error text.
enum class JobOutcome {
    NotRun,            // Run was not called, or has not returned yet
    Finished,          // every block went through
    UnreadableBlocks,  // went to the end, but some blocks could not be read (zeros)
    Cancelled,         // the user cancelled
    CardGone,          // the card or the reader went away, the card was changed or shrank
    DeviceError,       // the card could not be opened, locked or read or written
    WriteProtected,    // a write was refused: the card is write-protected
    FileError,         // what the job stores could not be written (run folder, carved files)
};

// A chunk: the buffer, its size in bytes and the number of valid bytes in it.
struct CChunk {
    uint8_t* Buffer = nullptr;
    uint32_t Size = 0;
    uint32_t Valid = 0;
    // The answer of the READ that filled Buffer ahead of the scan; null when the chunk is
    // still to be read.
    const CReadResult* Prefetched = nullptr;
    // What the job's InspectAhead marked for each block, when the reader looked at them.
    const uint8_t* Marks = nullptr;
};

class CCardJob : public CListener, public CWorker {
public:
    // Blocks per device request: 100 blocks of 512 bytes are 51,200 bytes, the largest
    // transfer that every USB card reader takes in one command.
    static constexpr uint16_t ChunkBlocks = 100;

    // Registers on the bus as "CImageRecovery" (every card job does).
    CCardJob(CTransferStatus* status, const CDriveInfo& info, int32_t scope);
    ~CCardJob() override;

    void OnMessage(CSingleMsg& msg) override;
    // Open, lock and describe the card, then Init.
    virtual bool OpenCard();
    // Reset the counters and size the run from the card's description. False with
    // "L-Blocks is zerro" for a card without blocks.
    virtual bool Init();
    // The chunk loop. True when the run went to its end; false when it could not start,
    // was cancelled ("Canceled by user"), a chunk request failed (the device's error) or
    // the job could not store what it found (the file system's error).
    virtual bool Run();
    // End of run: status 3, progress 6 and 3, the card unlocked and closed.
    virtual void Close();
    virtual bool ConnectToDestination() { return true; }
    // Reads the chunk (a chunk that comes back short or with CHECK CONDITION is read again
    // block by block; blocks that still fail are zeros and counted), then ProcessChunk.
    virtual bool TransferChunk(CDriveScsi& drive, CChunk& chunk, uint16_t count, uint32_t& bytesDone);
    // ProcessBlock for every whole block; false when the job aborted.
    virtual bool ProcessChunk(CChunk& chunk);
    virtual void ProcessBlock(const uint8_t* block) {}
    virtual void Finish() {}
    virtual bool IsRunning() const { return !m_bStopped; }
    virtual bool IsStopped() const { return m_bStopped; }

    void Started() override;
    void Finished() override;

    void SetError(const std::string& text) { m_strError = text; }
    // The job's error and its status record's both say error; false, for a return.
    bool Fail(const std::string& error)
    {
        SetError(error);
        Status().SetError(error);
        return false;
    }
    const std::string& GetError() const { return m_strError; }
    JobOutcome Outcome() const { return m_Outcome; }
    bool CancelRequested() const { return m_bCancelRequested; }
    CTransferStatus& Status() const { return *m_pStatus; }
    const CDriveInfo& DriveInfo() const { return m_DriveInfo; }
    int32_t Scope() const { return m_nScope; }
    // Blocks of this run that could not be read.
    uint64_t UnreadableBlocks() const { return m_pStatus->UnreadableBlocks; }
    // Starts the next run at this block instead of 0 (tests of the end of large cards).
    void SetFirstBlock(uint64_t block) { m_nFirstBlock = block; }

protected:
    // Stops the run after the current block with this error (a carved file that cannot
    // be written, say).
    void Abort(const std::string& error);
    bool Aborted() const { return m_bAborted; }
    // Called in Run after the card was opened, before the first chunk.
    virtual void BeforeChunks() {}
    // Called in Run when the card could not be opened (in use, no blocks): what
    // ConnectToDestination made for the run is taken back.
    virtual void CardNotOpened() {}
    // Called in Run after the last chunk's Finish, before the end status.
    virtual void EndOfCard() {}
    // True (with the error set) when the answer says the card is gone, changed, not ready
    // or smaller than it was: the run cannot go on with this card.
    bool CardGone(const CReadResult& answer);
    // Jobs that only read the card (recovery, test) have their chunks read ahead on a
    // thread of their own.
    virtual bool ReadsAhead() const { return false; }
    // Writes out what the job gathered from the chunks it was handed (their buffers are
    // reused after this). Called after each chunk, or, while chunks are read ahead, after
    // a few of them (ChunksHeld), so that a file's spans of several chunks go out in one
    // write.
    virtual void FlushChunks() {}
    // A job whose flushed writes go on behind the scan, on a thread of their own: the
    // buffers they came from are given back only once they are done. WritesQueued is the
    // ticket of the last write queued, WaitWritten returns once writes up to a ticket are
    // done.
    virtual bool WritesBehind() const { return false; }
    virtual uint64_t WritesQueued() const { return 0; }
    virtual void WaitWritten(uint64_t /*ticket*/) {}
    // Every write up to this ticket is done (without waiting).
    virtual uint64_t WritesDone() const { return 0; }
    // Does one queued write behind, from any thread, instead of sleeping; false when none
    // was queued.
    virtual bool HelpWriting() { return false; }
    // A job that looks at the blocks read ahead on the reader's thread, in card order (and
    // at the others itself, where CChunk::Marks is null): a mark a block for the scan.
    virtual bool InspectsAhead() const { return false; }
    virtual void InspectAhead(uint64_t /*firstBlock*/, const uint8_t* /*data*/, uint32_t /*blocks*/,
                              uint8_t* /*marks*/) {}
    // One READ of the job's own (a block again, a look ahead) while a reader thread may
    // share the device.
    CReadResult ReadBlocks(CDriveScsi& drive, uint8_t* buffer, uint64_t firstBlock, uint16_t count)
    {
        return ReadLocked(drive, m_DriveMutex, buffer, firstBlock, count);
    }
    // Reads count blocks from CurrentBlock into the chunk. A chunk that does not come
    // whole is read again block by block; after kDeadRun unreadable blocks in a row the
    // area counts as dead: the rest of the chunk is tried from its end back, and when the
    // area goes on past it, the card is probed further on in growing steps until a block
    // reads, and the area's end is found by halving the last step. The chunks up to there
    // are not asked for (zeros, counted unreadable, kept as a skipped area to come back
    // to after the last chunk). False with the error when a request fails or the card is
    // gone, false without one when a Cancel came between two requests.
    bool ReadChunk(CDriveScsi& drive, CChunk& chunk, uint16_t count, uint32_t& bytesDone);
    void SendStatus(int32_t kind) const { m_pStatus->Send(kind, m_nScope); }
    // A run begins: the status record belongs to the card document and outlives runs, so
    // only this run's error may stand in it; no outcome is named yet.
    void BeginRun()
    {
        m_pStatus->ErrorText.clear();
        m_pStatus->HasError = false;
        m_Outcome = JobOutcome::NotRun;
    }
    // Names how the run is ending; the first cause named stays (a later DeviceError does
    // not hide that the card went away).
    void SetOutcome(JobOutcome outcome)
    {
        if (m_Outcome == JobOutcome::NotRun || m_Outcome == JobOutcome::Finished)
            m_Outcome = outcome;
    }
    // The error of a failed request: when the system says the device is gone, the reader
    // or the card went away (CardGone), else the device's error (DeviceError).
    void RequestFailed(const CDrive& drive);
    void RequestFailed(const CReadResult& answer);

    // Unreadable blocks in a row after which an area counts as dead: with a reader that
    // takes its whole time-out over each, a dead area read block by block would take hours.
    static constexpr uint32_t kDeadRun = 8;
    // The first step over a dead area: 64 KiB, as GNU ddrescue's first skip. Each probe
    // that fails doubles it, up to 16 MiB or a hundredth of the card if that is more: a
    // step too long is halved back to the area's end in a few probes more.
    static constexpr uint64_t kFirstSkipBlocks = 128;
    static constexpr uint64_t kMostSkipBlocks = 32768;
    // Blocks skipped over dead areas are tried again after the last chunk for at most this
    // long in all, and never longer than the scan itself took: a reader that takes 200 ms
    // over a failing request (seconds for many) could spend hours on a large area.
    static constexpr std::chrono::milliseconds kSkippedAreaBudget{20000};

    // Called for blocks of a skipped area that could be read when it was tried again after
    // the last chunk (the scan had taken them as zeros). True when the job has them: only
    // then they stop counting as unreadable. A job that only reads and counts (the card
    // test) has what it needs once they read.
    virtual bool LateBlocks(uint64_t firstBlock, const uint8_t* data, uint32_t count) { return true; }
    // The time the skipped areas may take after the last chunk (tests shorten it).
    void SetSkippedAreaBudget(std::chrono::milliseconds budget) { m_SkippedBudget = budget; }

    bool m_bStopped = false;
    std::time_t m_InitTime = 0;
    std::time_t m_CloseTime = 0;
    bool m_bCancelRequested = false;
    int32_t m_nScope = 0;
    CDriveScsi m_Drive;
    CDriveInfo m_DriveInfo;
    std::string m_strError;
    bool m_bAborted = false;
    JobOutcome m_Outcome = JobOutcome::NotRun;
    // Every request on m_Drive while a reader thread runs goes through this mutex.
    std::mutex m_DriveMutex;
    // Buffers read ahead: eight requests of up to a mebibyte (8 MiB). The scan keeps up to
    // kWrittenBehind of them after their last chunk while their writes go on: it waits for
    // a write only when the one three buffers back is not done yet, not for the write it has
    // just queued (that wait, with the writer's wake-up, cost the scan more than the write).
    // The other four keep the reader ahead.
    static constexpr size_t kReadAheadBuffers = 8;
    static constexpr size_t kWrittenBehind = 3;
    // The largest request read ahead, whatever more the device takes: memory stays small.
    static constexpr uint32_t kMostRequestBytes = 1u << 20;

private:
    // What the chunk loop carries from one chunk to the next.
    struct CScan {
        // The chunk buffer when no reader hands one (no reading ahead, or the scan reads
        // the chunks itself).
        std::vector<uint8_t> Buffer;
        std::unique_ptr<CChunkReader> Reader;
        // Set while the reader waits after a chunk that did not come whole: the scan reads
        // the chunks itself (chunk and block rules, dead areas) until the card reads again.
        bool ReadingHere = false;
        // A job that writes behind keeps the buffers before the current one until the
        // writes of what it gathered from them are done: the ticket of each buffer's last
        // write, oldest first.
        std::deque<uint64_t> Held;
        // Bytes between two progress reports, and bytes since the last one.
        uint64_t Period = 0;
        uint64_t SinceProgress = 0;
        std::chrono::steady_clock::time_point Start;
    };
    // Clears this run's error and sends JobStarted, then connects the destination and
    // opens the card; false, with the outcome named, when the run cannot start.
    bool StartRun();
    // The scan set up at its first block: progress period, chunk buffer, reader ahead.
    CScan StartScan();
    // Takes the next chunk from the reader (or reads it here while the reader waits after
    // a failing one), hands it to the job and moves past it; false when TransferChunk failed.
    bool NextChunk(CScan& scan);
    // Gives the reader's buffer back after its last chunk; for a job that writes behind,
    // the buffer before it, once its writes are done.
    void ReleaseBuffer(CScan& scan);
    // Points the chunk at the reader's next one, or at the scan's own buffer when there is
    // no reader or it waits; the reader's chunk, or null.
    const CReadChunk* TakeChunk(CScan& scan, CChunk& chunk);
    // Lets a waiting reader go on at the current block once the card reads again there.
    void ResumeReader(CScan& scan);
    // Progress message and status 3 once a period's bytes went by since the last.
    void ReportIfDue(CScan& scan);
    // Stops the reader (its buffer's last gatherings written, its requests logged) and,
    // after a scan that went to its end, tries the skipped areas again; true when the run
    // failed, before or there.
    bool EndScan(CScan& scan, bool failed);
    // How the run ended: the outcome, the error (in the status record and the log) and
    // Run's result.
    bool RunOutcome(bool failed);
    // Blocks per request read ahead: the device's largest transfer (at most
    // kMostRequestBytes) in whole chunks, at least one chunk.
    uint16_t RequestBlocks();
    // Blocks from..count-1 of the chunk, one by one: the blocks that fail are zeros and
    // counted; kDeadRun of them in a row make the area dead (then SkipDeadBlocks).
    bool ReadBlockByBlock(CDriveScsi& drive, CChunk& chunk, uint16_t from, uint16_t count);
    // Blocks from..count-1 of a chunk in a dead area: tried from the chunk's end backwards
    // while they read; the others are zeros and counted unreadable.
    bool SkipDeadBlocks(CDriveScsi& drive, CChunk& chunk, uint16_t from, uint16_t count);
    // A chunk at or after the start of a dead area's unread part (its block before is
    // known to fail): the area's end is found once, its blocks are zeros, and the blocks
    // of the chunk after it are read.
    bool CrossDeadArea(CDriveScsi& drive, CChunk& chunk, uint16_t count, uint32_t& bytesDone);
    // The first block at or after `from` where the card reads again (block from - 1
    // fails): probes at growing steps, then halves the last step. The card's block count
    // when it does not read again. False when a request failed, the card went or a Cancel
    // came.
    bool FindDeadAreaEnd(CDriveScsi& drive, uint64_t from, uint64_t& end);
    // One block read for a probe: 1 when it reads, 0 when it does not, -1 (error set) when
    // the request failed or the card is gone.
    int Probe(CDriveScsi& drive, uint64_t block, uint8_t* buffer);
    // After the last chunk: the skipped areas from both edges inwards and then by halves,
    // until every area left is shorter than a chunk or the time is spent (the budget, and
    // never longer than the scan took); what reads goes to LateBlocks, and what the job takes
    // no longer counts as unreadable. False (with the error) when a request failed or the card went.
    bool RevisitSkipped(CDriveScsi& drive, std::chrono::steady_clock::duration scanTime);
    // Reads [first, end) in chunk requests while they come whole (backwards from end when
    // `down`, the last chunk then block by block from its end); hands what reads to
    // LateBlocks and returns where the reading stopped.
    uint64_t GrowFrom(CDriveScsi& drive, uint64_t first, uint64_t end, bool down,
                      std::chrono::steady_clock::time_point deadline);
    // Lets the front end run; true when a Cancel came.
    bool CancelledBetweenBlocks();

    uint32_t m_nDeadRun = 0;
    uint64_t m_nFirstBlock = 0;
    // Progress messages carry 32-bit block numbers: positions are shifted right by this
    // much so that the card's block count fits.
    int m_nProgressShift = 0;
    bool m_bDeadArea = false;
    // The end of the dead area being crossed: blocks before it are not asked for.
    uint64_t m_nSkipEnd = 0;
    // Areas [first, end) crossed without reading, to come back to after the last chunk.
    std::vector<std::pair<uint64_t, uint64_t>> m_Skipped;
    std::chrono::milliseconds m_SkippedBudget = kSkippedAreaBudget;
};
