#pragma once
// Reads the chunks of a run ahead of the scan, on a thread of its own, into a small ring
// of buffers: the card reader is never idle while the scan carves and writes. The scan
// takes the chunks in order and hands each back when it is done with it. The card device
// is shared with the job's own requests (block by block re-reads, looks ahead) through
// one mutex, held for each request and the reading of its answer.
#include <condition_variable>
#include <cstdint>
#include <deque>
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

struct CReadSlot {
    std::vector<uint8_t> Buffer;
    uint64_t FirstBlock = 0;
    uint16_t Count = 0;
    CReadResult Result;
};

class CChunkReader {
public:
    // Reads blocks [first, end) in chunks of chunkBlocks into `slots` buffers of
    // chunkBlocks * 512 bytes. A request that fails stops the reading there.
    CChunkReader(CDriveScsi& drive, std::mutex& driveMutex, uint64_t first, uint64_t end, uint16_t chunkBlocks,
                 size_t slots);
    ~CChunkReader();
    CChunkReader(const CChunkReader&) = delete;
    CChunkReader& operator=(const CChunkReader&) = delete;

    // The next chunk in order, waiting for it; null when no more will come.
    CReadSlot* Next();
    // The answer of the chunk after the one last taken, waiting for it; null when none
    // will come. The chunk stays queued for Next.
    const CReadResult* PeekNext();
    // Hands a chunk back for the next read.
    void Release(CReadSlot* slot);
    // Stops the thread after its current request and waits for it.
    void Stop();

private:
    void Loop(uint64_t first, uint64_t end, uint16_t chunkBlocks);

    CDriveScsi& m_drive;
    std::mutex& m_driveMutex;
    std::vector<CReadSlot> m_slots;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<CReadSlot*> m_free;
    std::deque<CReadSlot*> m_filled;
    bool m_stop = false;
    bool m_done = false;
    std::thread m_thread;
};
