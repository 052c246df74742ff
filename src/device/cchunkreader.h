#pragma once
// Reads the card ahead of the scan, on a thread of its own, in requests as large as the
// device takes (a whole number of chunks), into a ring of buffers; the scan takes the
// chunks out of them in order. Reader and scan hand the buffers over through a
// single-producer single-consumer ring of atomic counters: neither takes a lock on the
// way, and one sleeps (and is woken) only when the ring is full or empty, at most once per
// request of many chunks. The card device is shared with the job's own requests (block by block
// re-reads, looks ahead) through one mutex, held for each request and the reading of its
// answer.
//
// The reader stops at the first request that does not come back whole: it hands the
// chunks before the first block that failed as good, the chunk that holds it with the
// answer a request of that chunk alone would have had, and then waits until the scan,
// having dealt with the failing part by the chunk and block rules, tells it where to go
// on (Resume). A request that fails outright (the reader gone) ends the reading.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/cdrivescsi.h"
#include "platform/sense.h"

// What one READ brought: whether the request went through, the bytes moved, the status
// and sense; for a failed request the system's error code and the device's error text.
struct CReadResult {
    bool RequestOk = false;
    uint32_t BytesDone = 0;
    uint8_t Status = 0;
    px::SenseData Sense;
    int Errno = 0;
    std::string Error;

    bool Complete(uint32_t asked) const { return RequestOk && px::TransferComplete(Status, Sense, BytesDone, asked); }
};

// One READ through the device under the mutex, with its answer taken before the mutex is
// let go.
CReadResult ReadLocked(CDriveScsi& drive, std::mutex& mutex, uint8_t* buffer, uint64_t firstBlock, uint16_t count);

// A chunk handed to the scan: its blocks in a buffer of the ring and the answer a READ of
// just this chunk would have had.
struct CReadChunk {
    uint8_t* Buffer = nullptr;
    uint64_t FirstBlock = 0;
    uint16_t Count = 0;
    CReadResult Result;
    // The last chunk of its buffer: once it is processed (and what the job gathered from
    // the buffer is written), Release gives the buffer back.
    bool LastOfBuffer = false;
    // What the reader's inspector said of each of the chunk's blocks; null when the
    // chunk was not inspected (its request did not come back whole).
    const uint8_t* Marks = nullptr;
    // The chunk did not come whole and the reader waits after it until Resume.
    bool ReaderWaits = false;
};

class CChunkReader {
public:
    // Reads blocks [first, end) in requests of requestBlocks (a multiple of chunkBlocks)
    // into `slots` buffers of that size, handing them on in chunks of chunkBlocks. The scan
    // keeps up to `kept` buffers after their last chunk (besides the one it takes chunks
    // from), so at least kept + 2 are made.
    // idleWork is work either side does instead of sleeping on a full or empty ring (the
    // job's writes behind): called again while it returns true (it did some) and the ring
    // is still as it was. inspect, when given, looks at every request that came back
    // whole on the reader's thread, in card order, before the scan gets it (a mark a block
    // for each block); the scan looks at the other blocks itself.
    using Inspector = std::function<void(uint64_t firstBlock, const uint8_t* data, uint32_t blocks, uint8_t* marks)>;
    CChunkReader(CDriveScsi& drive, std::mutex& driveMutex, uint64_t first, uint64_t end, uint16_t chunkBlocks,
                 uint16_t requestBlocks, size_t slots, size_t kept, std::function<bool()> idleWork = {},
                 Inspector inspect = {});
    ~CChunkReader();
    CChunkReader(const CChunkReader&) = delete;
    CChunkReader& operator=(const CChunkReader&) = delete;

    // The next chunk in order, waiting for it; null when the reader has stopped (at the
    // end, after a failed request). Not to be called after a chunk marked ReaderWaits
    // until Resume.
    const CReadChunk* Next();
    // Gives the oldest buffer the scan took and has not given back to the reader (after
    // a chunk marked LastOfBuffer: that buffer, or one kept before it).
    void Release();
    // After a chunk marked ReaderWaits: reading goes on at `block` (the buffers kept need
    // not have been given back).
    void Resume(uint64_t block);
    // Stops the thread after its current request and waits for it.
    void Stop();
    // Requests the reader made (for tests and the log).
    uint64_t Requests() const { return m_requests.load(std::memory_order_relaxed); }

    // A side's place to sleep: taken only when the ring is empty (the scan) or full (the
    // reader), never on the way of a chunk.
    struct Sleeper {
        std::mutex Mutex;
        std::condition_variable Wake;
        std::atomic<bool> Waiting{false};
    };

private:
    struct Slot {
        // Not cleared when made: a read fills what it hands on, and the pages are first
        // touched by the reader's thread, not before it starts.
        std::unique_ptr<uint8_t[]> Buffer;
        uint64_t FirstBlock = 0;
        uint32_t Count = 0;
        CReadResult Result;
        std::vector<uint8_t> Marks;  // the inspector's, a byte a block; empty: not inspected
    };
    void Loop();
    // Cuts the slot's answer into the answer of its chunk `index`.
    CReadChunk ChunkOf(Slot& slot, uint32_t index) const;

    CDriveScsi& m_drive;
    std::mutex& m_driveMutex;
    const uint64_t m_end;
    const uint16_t m_chunkBlocks;
    const uint16_t m_requestBlocks;
    std::vector<Slot> m_slots;
    // A reader asleep on a full ring is woken when no more than this many buffers are
    // taken: half of those the scan does not keep are free.
    const uint32_t m_wakeAt;
    // Buffers filled (written by the reader) and given back (written by the scan), as
    // running counts: filled - released buffers are with the scan.
    std::atomic<uint32_t> m_filled{0};
    std::atomic<uint32_t> m_released{0};
    // Where the scan and the reader sleep when the ring is empty or full.
    Sleeper m_scan;
    Sleeper m_reader;
    // Where the reader goes on after a pause (written before the count of resumes grows).
    uint64_t m_resumeAt = 0;
    std::atomic<uint32_t> m_resumes{0};
    std::atomic<bool> m_done{false};
    std::atomic<bool> m_stop{false};
    std::atomic<uint64_t> m_requests{0};
    // The scan's place: the buffer it takes chunks from and the next chunk in it.
    uint32_t m_taken = 0;
    uint32_t m_chunkInSlot = 0;
    uint32_t m_chunksInSlot = 0;
    CReadChunk m_current;
    uint64_t m_first = 0;
    std::function<bool()> m_idleWork;
    Inspector m_inspect;
    std::thread m_thread;
};
