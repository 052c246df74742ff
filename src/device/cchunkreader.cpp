#include "device/cchunkreader.h"

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

CChunkReader::CChunkReader(CDriveScsi& drive, std::mutex& driveMutex, uint64_t first, uint64_t end,
                           uint16_t chunkBlocks, size_t slots)
    : m_drive(drive), m_driveMutex(driveMutex), m_slots(slots)
{
    for (CReadSlot& slot : m_slots) {
        slot.Buffer.resize(static_cast<size_t>(chunkBlocks) * 512);
        m_free.push_back(&slot);
    }
    m_thread = std::thread([this, first, end, chunkBlocks] { Loop(first, end, chunkBlocks); });
}

CChunkReader::~CChunkReader() { Stop(); }

void CChunkReader::Loop(uint64_t first, uint64_t end, uint16_t chunkBlocks)
{
    for (uint64_t block = first; block < end;) {
        CReadSlot* slot = nullptr;
        {
            std::unique_lock lock(m_mutex);
            m_changed.wait(lock, [this] { return m_stop || !m_free.empty(); });
            if (m_stop)
                break;
            slot = m_free.front();
            m_free.pop_front();
        }
        const uint64_t left = end - block;
        slot->FirstBlock = block;
        slot->Count = left >= chunkBlocks ? chunkBlocks : static_cast<uint16_t>(left);
        slot->Result = ReadLocked(m_drive, m_driveMutex, slot->Buffer.data(), block, slot->Count);
        block += slot->Count;
        std::lock_guard lock(m_mutex);
        m_filled.push_back(slot);
        m_changed.notify_all();
        // The reader or the card is gone: the scan ends on this chunk.
        if (!slot->Result.RequestOk)
            break;
    }
    std::lock_guard lock(m_mutex);
    m_done = true;
    m_changed.notify_all();
}

CReadSlot* CChunkReader::Next()
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_filled.empty() || m_done; });
    if (m_filled.empty())
        return nullptr;
    CReadSlot* slot = m_filled.front();
    m_filled.pop_front();
    return slot;
}

const CReadResult* CChunkReader::PeekNext()
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_filled.empty() || m_done; });
    return m_filled.empty() ? nullptr : &m_filled.front()->Result;
}

void CChunkReader::Release(CReadSlot* slot)
{
    std::lock_guard lock(m_mutex);
    m_free.push_back(slot);
    m_changed.notify_all();
}

void CChunkReader::Stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
        m_changed.notify_all();
    }
    if (m_thread.joinable())
        m_thread.join();
}
