#include "device/cchunkreader.h"

#include <algorithm>

#include "platform/lasterror.h"

CReadResult ReadLocked(CDriveScsi& drive, std::mutex& mutex, uint8_t* buffer, uint64_t firstBlock, uint16_t count)
{
    CReadResult result;
    std::lock_guard lock(mutex);
    result.RequestOk = drive.ReadBlocks(buffer, result.BytesDone, firstBlock, count);
    if (result.RequestOk) {
        result.Status = drive.LastScsiStatus();
        result.Sense = drive.LastSenseData();
    } else {
        result.Errno = px::GetLastError();
        result.Error = drive.GetError();
    }
    return result;
}

namespace {

constexpr uint32_t kBlock = 512;

// Sleeps until `ready` holds: the lock and the condition variable are taken only when the
// state is not ready already. The sleeper announces itself in `Waiting` (under the lock)
// before it looks once more, and the other side changes the state before it looks at
// `Waiting` (both sequentially consistent): one of the two always sees the other, so no
// wake-up is lost and none is sent while nobody sleeps.
template <class Ready>
void Await(CChunkReader::Sleeper& sleeper, Ready ready)
{
    if (ready())
        return;
    std::unique_lock lock(sleeper.Mutex);
    sleeper.Waiting.store(true);
    while (!ready())
        sleeper.Wake.wait(lock);
    sleeper.Waiting.store(false);
}

// After a change of the state the other side may sleep on.
void Signal(CChunkReader::Sleeper& sleeper)
{
    if (sleeper.Waiting.load()) {
        std::lock_guard lock(sleeper.Mutex);
        sleeper.Wake.notify_one();
    }
}

}  // namespace

CChunkReader::CChunkReader(CDriveScsi& drive, std::mutex& driveMutex, uint64_t first, uint64_t end,
                           uint16_t chunkBlocks, uint16_t requestBlocks, size_t slots, size_t kept,
                           std::function<bool()> idleWork, Inspector inspect)
    : m_drive(drive), m_driveMutex(driveMutex), m_end(end), m_chunkBlocks(chunkBlocks),
      m_requestBlocks(std::max(chunkBlocks, static_cast<uint16_t>(requestBlocks / chunkBlocks * chunkBlocks))),
      m_slots(std::max<size_t>(slots, kept + 2)),
      m_wakeAt(static_cast<uint32_t>(m_slots.size() - std::max<size_t>(1, (m_slots.size() - kept) / 2))),
      m_first(first), m_idleWork(std::move(idleWork)), m_inspect(std::move(inspect))
{
    for (Slot& slot : m_slots)
        slot.Buffer.reset(new uint8_t[static_cast<size_t>(m_requestBlocks) * kBlock]);
    m_thread = std::thread([this] { Loop(); });
}

CChunkReader::~CChunkReader() { Stop(); }

void CChunkReader::Loop()
{
    const uint32_t slots = static_cast<uint32_t>(m_slots.size());
    uint32_t filled = 0;
    uint32_t resumed = 0;
    for (uint64_t block = m_first; block < m_end && !m_stop.load();) {
        // A buffer the scan has given back; when the ring is full, the reader sleeps until
        // half of the buffers the scan does not keep are free again (one wake-up for
        // several buffers).
        if (filled - m_released.load(std::memory_order_acquire) >= slots) {
            const auto freed = [&] { return m_stop.load() || filled - m_released.load() <= m_wakeAt; };
            while (!freed() && m_idleWork && m_idleWork()) {
            }
            Await(m_reader, freed);
        }
        if (m_stop.load())
            break;
        Slot& slot = m_slots[filled % slots];
        slot.FirstBlock = block;
        slot.Count = static_cast<uint32_t>(std::min<uint64_t>(m_requestBlocks, m_end - block));
        slot.Result = ReadLocked(m_drive, m_driveMutex, slot.Buffer.get(), block, static_cast<uint16_t>(slot.Count));
        m_requests.fetch_add(1, std::memory_order_relaxed);
        slot.Marks.clear();
        if (m_inspect && slot.Result.Complete(slot.Count * kBlock)) {
            slot.Marks.resize(slot.Count);
            m_inspect(slot.FirstBlock, slot.Buffer.get(), slot.Count, slot.Marks.data());
        }
        block += slot.Count;
        m_filled.store(++filled);
        if (!slot.Result.RequestOk)
            break;   // the reader or the card is gone: the scan ends on this chunk
        Signal(m_scan);
        if (slot.Result.Complete(slot.Count * kBlock))
            continue;
        // The scan takes the failing part by the chunk and block rules and says where to
        // go on.
        Await(m_reader,
              [&] { return m_stop.load() || m_resumes.load(std::memory_order_acquire) != resumed; });
        ++resumed;
        block = m_resumeAt;
    }
    m_done.store(true);
    Signal(m_scan);
}

CReadChunk CChunkReader::ChunkOf(Slot& slot, uint32_t index) const
{
    const uint32_t chunkBytes = static_cast<uint32_t>(m_chunkBlocks) * kBlock;
    const uint32_t before = index * chunkBytes;
    CReadChunk chunk;
    chunk.Buffer = slot.Buffer.get() + before;
    chunk.FirstBlock = slot.FirstBlock + static_cast<uint64_t>(index) * m_chunkBlocks;
    chunk.Count = static_cast<uint16_t>(std::min<uint32_t>(m_chunkBlocks, slot.Count - index * m_chunkBlocks));
    const uint32_t asked = static_cast<uint32_t>(chunk.Count) * kBlock;
    const CReadResult& answer = slot.Result;
    chunk.Result = answer;
    if (!slot.Marks.empty())
        chunk.Marks = slot.Marks.data() + static_cast<size_t>(index) * m_chunkBlocks;
    if (!answer.RequestOk)
        return chunk;
    if (answer.Complete(slot.Count * kBlock)) {
        chunk.Result.BytesDone = asked;
    } else if (answer.BytesDone >= before + asked && index + 1 < m_chunksInSlot) {
        // Wholly before the block that failed: as good as a chunk read alone.
        chunk.Result.BytesDone = asked;
        chunk.Result.Status = 0;
        chunk.Result.Sense = px::SenseData{};
    } else {
        // The chunk that holds the failing block: what a request of it alone moves.
        chunk.Result.BytesDone = std::min(asked, answer.BytesDone > before ? answer.BytesDone - before : 0);
    }
    return chunk;
}

const CReadChunk* CChunkReader::Next()
{
    if (m_chunkInSlot >= m_chunksInSlot) {
        // A new buffer: the one before it was released.
        const auto ready = [&] {
            return m_filled.load(std::memory_order_acquire) != m_taken || m_done.load(std::memory_order_acquire);
        };
        while (!ready() && m_idleWork && m_idleWork()) {
        }
        Await(m_scan, ready);
        // The last buffer may have come just before the end did.
        if (m_filled.load(std::memory_order_acquire) == m_taken)
            return nullptr;
        Slot& slot = m_slots[m_taken % m_slots.size()];
        ++m_taken;
        m_chunkInSlot = 0;
        const uint32_t chunkBytes = static_cast<uint32_t>(m_chunkBlocks) * kBlock;
        if (!slot.Result.RequestOk) {
            m_chunksInSlot = 1;
        } else if (slot.Result.Complete(slot.Count * kBlock)) {
            m_chunksInSlot = (slot.Count + m_chunkBlocks - 1) / m_chunkBlocks;
        } else {
            const uint32_t chunks = (slot.Count + m_chunkBlocks - 1) / m_chunkBlocks;
            m_chunksInSlot = std::min(slot.Result.BytesDone / chunkBytes + 1, chunks);
        }
    }
    Slot& slot = m_slots[(m_taken - 1) % m_slots.size()];
    m_current = ChunkOf(slot, m_chunkInSlot);
    ++m_chunkInSlot;
    m_current.LastOfBuffer = m_chunkInSlot >= m_chunksInSlot;
    m_current.ReaderWaits = m_current.LastOfBuffer && slot.Result.RequestOk && !slot.Result.Complete(slot.Count * kBlock);
    return &m_current;
}

void CChunkReader::Release()
{
    const uint32_t released = m_released.fetch_add(1) + 1;
    // The reader, when it sleeps on a full ring, waits for half of what the scan does not keep.
    if (m_filled.load() - released <= m_wakeAt)
        Signal(m_reader);
}

void CChunkReader::Resume(uint64_t block)
{
    m_resumeAt = block;
    m_chunkInSlot = m_chunksInSlot = 0;
    m_resumes.fetch_add(1);
    Signal(m_reader);
}

void CChunkReader::Stop()
{
    m_stop.store(true);
    Signal(m_reader);
    if (m_thread.joinable())
        m_thread.join();
}
