#include "device/ccardjob.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "app/clogfile.h"
#include "platform/lasterror.h"
#include "platform/messagepump.h"
#include "platform/volumetable.h"

#include <cerrno>

CCardJob::CCardJob(CTransferStatus* status, const CDriveInfo& info, int32_t scope)
    : CWorker(status), m_nScope(scope)
{
    m_DriveInfo.CopyInfo(info);
    Bus().AddListener("CImageRecovery", this);
}

CCardJob::~CCardJob() { Bus().RemoveListener(this); }

void CCardJob::OnMessage(CSingleMsg& msg)
{
    if (msg.Code == MsgCode::Cancel)
        m_bCancelRequested = msg.Value1.GetType() == CVariant::Type::I4 && msg.Value1.ToInt() == 1;
}

void CCardJob::Started() { m_pStatus->MarkStart(); }

void CCardJob::Finished()
{
    m_pStatus->EndTime = COleDateTime::Now();
    Close();
}

void CCardJob::Abort(const std::string& error)
{
    if (!m_bAborted) {
        m_bAborted = true;
        SetError(error);
        SetOutcome(JobOutcome::FileError);
    }
}

void CCardJob::RequestFailed(const CDrive& drive)
{
    CReadResult answer;
    answer.Errno = px::GetLastError();
    answer.Error = drive.GetError();
    RequestFailed(answer);
}

void CCardJob::RequestFailed(const CReadResult& answer)
{
    const int code = answer.Errno;
    if (code == ENODEV || code == ENXIO || code == ENOMEDIUM) {
        SetError("The card reader or the card went away (" + answer.Error + ")");
        SetOutcome(JobOutcome::CardGone);
    } else {
        SetError(answer.Error);
        SetOutcome(JobOutcome::DeviceError);
    }
}

bool CCardJob::OpenCard()
{
    if (!m_Drive.OpenVolume(m_DriveInfo.m_Letter)) {
        std::string error = "Cannot open drive";
        // A reader the user may not open: say which device and how to get access.
        if (px::GetLastError() == EACCES) {
            const std::string access = px::VolumeTable::Instance().AccessText(m_DriveInfo.m_Letter);
            if (!access.empty())
                error += ". " + access;
        }
        SetError(error);
        return false;
    }
    if (!m_Drive.Lock()) {
        std::string error = "Cannot lock the drive, please make sure the selected drive is available";
        // Where the card is mounted, and how to unmount it, when the system says so.
        if (px::GetLastError() == EBUSY) {
            const std::string busy = px::VolumeTable::Instance().BusyText(m_DriveInfo.m_Letter);
            if (!busy.empty())
                error += ". " + busy;
        }
        SetError(error);
        return false;
    }
    const CStorageDeviceDescriptor selected = m_DriveInfo.m_Descriptor;
    if (!m_Drive.ReadDriveInfo(m_DriveInfo)) {
        SetError(m_Drive.GetError());
        return false;
    }
    // The letter may have gone to another device since the card was selected (a reader
    // unplugged, a stick plugged in): never work on a device the user did not choose.
    const CStorageDeviceDescriptor& now = m_DriveInfo.m_Descriptor;
    if (selected.IsValid() && now.IsValid() &&
        (selected.Vendor != now.Vendor || selected.Product != now.Product || selected.SerialNumber != now.SerialNumber)) {
        SetError(std::string("The device at ") + m_DriveInfo.m_Letter +
                 ": is not the card reader that was selected; please select the card again");
        return false;
    }
    return Init();
}

bool CCardJob::Init()
{
    CTransferStatus& s = *m_pStatus;
    m_bStopped = false;
    m_bCancelRequested = false;
    m_bAborted = false;
    s.FileCount = 0;
    s.BytesDone = 0;
    s.Capacity = 0;
    s.CurrentBlock = 0;
    s.BlocksProcessed = 0;
    s.BlockCount = 0;
    s.FileSize = 0;
    s.BlockSize = 512;
    s.UnreadableBlocks = 0;
    m_nDeadRun = 0;
    m_bDeadArea = false;
    m_InitTime = COleDateTime::NowSeconds();
    const int64_t size = m_DriveInfo.DiskSize();
    const int64_t blocks = m_DriveInfo.BlockCount();
    const int32_t blockSize = m_DriveInfo.BytesPerSector();
    s.Capacity = size > 0 ? static_cast<uint64_t>(size) : 0;
    s.BlockCount = blocks > 0 ? static_cast<uint64_t>(blocks) : 0;
    s.BlockSize = blockSize > 0 ? static_cast<uint32_t>(blockSize) : 0;
    if (s.BlockCount == 0) {
        SetError("L-Blocks is zerro");
        return false;
    }
    // Every transfer moves 512-byte blocks: a card that counts in other blocks would be
    // read in part, or past the buffer.
    if (s.BlockSize != 512) {
        SetError("The card reports " + std::to_string(s.BlockSize) +
                 " bytes per block; only cards of 512-byte blocks can be used");
        return false;
    }
    CMsgProgress show(1, m_nScope, ProgressStep::Show);
    m_nProgressShift = 0;
    while ((s.BlockCount >> m_nProgressShift) > 0x7FFFFFFFull)
        ++m_nProgressShift;
    CMsgProgress range(0, m_nScope, ProgressStep::Range,
                       CVariant(static_cast<int32_t>(s.BlockCount >> m_nProgressShift)));
    CMsgProgress position(0, m_nScope, std::string());
    return true;
}

bool CCardJob::Run()
{
    CRunner runner(this);
    // The record belongs to the card document and outlives runs: this run's error only.
    m_pStatus->ErrorText.clear();
    m_pStatus->HasError = false;
    m_Outcome = JobOutcome::NotRun;
    SendStatus(StatusKind::JobStarted);
    if (!ConnectToDestination()) {
        SetOutcome(JobOutcome::FileError);
        return false;
    }
    if (!OpenCard()) {
        SetOutcome(JobOutcome::DeviceError);
        CardNotOpened();
        return false;
    }
    BeforeChunks();

    CTransferStatus& s = *m_pStatus;
    // Progress goes out 100 times per run, 200 times for cards above 1,000,000,000 bytes.
    const uint64_t divisor = s.Capacity > 1000000000ull ? 200 : 100;
    const uint64_t period = s.Capacity / divisor;
    std::vector<uint8_t> buffer(static_cast<size_t>(s.BlockSize) * ChunkBlocks);
    uint64_t sinceProgress = 0;
    bool failed = false;
    if (m_nFirstBlock > 0 && m_nFirstBlock < s.BlockCount) {
        s.CurrentBlock = m_nFirstBlock;
        s.BytesDone = m_nFirstBlock * s.BlockSize;
    }
    std::unique_ptr<CChunkReader> reader;
    if (ReadsAhead())
        reader = std::make_unique<CChunkReader>(m_Drive, m_DriveMutex, s.CurrentBlock, s.BlockCount, ChunkBlocks,
                                                kReadAheadChunks);
    std::vector<CReadSlot*> held;
    auto releaseHeld = [&] {
        FlushChunks();
        for (CReadSlot* slot : held)
            reader->Release(slot);
        held.clear();
    };
    while (s.CurrentBlock < s.BlockCount) {
        // No clearing of the buffer: a read fills every block it hands on (zeros for the
        // blocks it could not read).
        const uint64_t left = s.BlockCount - s.CurrentBlock;
        const uint16_t count = left >= ChunkBlocks ? ChunkBlocks : static_cast<uint16_t>(left);
        CChunk chunk{buffer.data(), static_cast<uint32_t>(buffer.size()), 0};
        CReadSlot* slot = reader ? reader->Next() : nullptr;
        if (slot) {
            chunk.Buffer = slot->Buffer.data();
            chunk.Size = static_cast<uint32_t>(slot->Buffer.size());
            chunk.Prefetched = &slot->Result;
            chunk.Reader = reader.get();
        }
        uint32_t done = 0;
        const bool transferred = TransferChunk(m_Drive, chunk, count, done);
        if (slot) {
            held.push_back(slot);
            if (held.size() >= kHeldChunks)
                releaseHeld();
        } else {
            FlushChunks();
        }
        if (!transferred) {
            failed = true;
            break;
        }
        s.CurrentBlock += count;
        s.BytesDone += done;
        sinceProgress += done;
        if (sinceProgress >= period) {
            CMsgProgress progress(static_cast<int32_t>(s.CurrentBlock >> m_nProgressShift), m_nScope, std::string());
            SendStatus(StatusKind::Progress);
            sinceProgress = 0;
        }
        px::PumpMessages();
        if (m_bCancelRequested)
            break;
    }
    if (reader)
        releaseHeld();
    reader.reset();
    Finish();
    EndOfCard();
    // Closing the last file may fail too (a full disk): that ends the run as a failure.
    failed = failed || m_bAborted;
    SendStatus(StatusKind::JobEnded);
    if (m_bCancelRequested) {
        m_Outcome = JobOutcome::Cancelled;
        SetError("Canceled by user");
        return false;
    }
    if (failed) {
        if (m_strError.empty())
            SetError(m_Drive.GetError());
        SetOutcome(JobOutcome::DeviceError);
        s.SetError(m_strError);
        Log().Outcome("-FAIL", "Run ==> " + m_strError);
        return false;
    }
    m_Outcome = s.UnreadableBlocks > 0 ? JobOutcome::UnreadableBlocks : JobOutcome::Finished;
    if (s.UnreadableBlocks > 0) {
        SetError(std::to_string(s.UnreadableBlocks) +
                 (s.UnreadableBlocks == 1 ? " block" : " blocks") +
                 " of the card could not be read and counted as zeros");
        s.SetError(m_strError);
        Log().Outcome("-FAIL", "Run ==> " + m_strError);
    }
    return true;
}

void CCardJob::Close()
{
    m_CloseTime = COleDateTime::NowSeconds();
    SendStatus(StatusKind::Progress);
    {
        CMsgProgress position(0, m_nScope, std::string());
        CMsgProgress finished(0, m_nScope, ProgressStep::Finished);
    }
    m_Drive.Close();
}

bool CCardJob::CardGone(const CReadResult& answer)
{
    const px::SenseData& sense = answer.Sense;
    if (!answer.RequestOk || answer.Status != px::ScsiStatus::CheckCondition || !sense.Valid)
        return false;
    const uint8_t key = sense.Key;
    const uint8_t asc = sense.Asc;
    // Only a medium error is a bad block. A card taken out of a reader that stays, or
    // swapped for another one, would otherwise be read block by block to its end as
    // "unreadable" (or mixed into this run).
    if (key == 2 && asc == 0x3A)
        SetError("The card was taken out of the reader");
    else if (key == 6)
        SetError("The card in the reader was changed during the run");
    else if (key == 2)
        SetError("The card is not ready: " + CDriveScsi::SenseKeyName(key));
    else if (key == px::SenseKey::IllegalRequest && asc == 0x21)
        SetError("The card is smaller than when the run started (block " + std::to_string(m_pStatus->CurrentBlock) +
                 " is past its end)");
    else
        return false;
    SetOutcome(JobOutcome::CardGone);
    return true;
}

bool CCardJob::ReadChunk(CDriveScsi& drive, CChunk& chunk, uint16_t count, uint32_t& bytesDone)
{
    const uint32_t want = static_cast<uint32_t>(count) * 512;
    const CReadResult answer =
        chunk.Prefetched ? *chunk.Prefetched : ReadBlocks(drive, chunk.Buffer, m_pStatus->CurrentBlock, count);
    bytesDone = answer.BytesDone;
    if (!answer.RequestOk) {
        RequestFailed(answer);
        return false;
    }
    // NO SENSE and RECOVERED ERROR with every byte moved: the data is good, as it came.
    if (answer.Complete(want)) {
        m_bDeadArea = false;
        m_nDeadRun = 0;
        return true;
    }
    if (CardGone(answer))
        return false;
    if (m_bDeadArea) {
        // Inside a dead area: the blocks moved before the first bad one are kept, the
        // chunk's end is tried from the back, the rest is not asked for again.
        const uint16_t head = static_cast<uint16_t>(std::min<uint32_t>(bytesDone / 512, count));
        bytesDone = want;
        // When the chunk after it read nothing either, the dead area goes on through this
        // one: no request of its own (each costs a dying card's retries).
        const CReadResult* next = chunk.Reader ? chunk.Reader->PeekNext() : nullptr;
        if (next && next->RequestOk && next->BytesDone == 0 && next->Status == px::ScsiStatus::CheckCondition) {
            std::memset(chunk.Buffer + static_cast<size_t>(head) * 512, 0, static_cast<size_t>(count - head) * 512);
            m_pStatus->UnreadableBlocks += count - head;
            return true;
        }
        return SkipDeadBlocks(drive, chunk, head, count);
    }
    // Some block of the chunk did not come: read them one by one so that only the blocks
    // that really fail are lost, and keep those as zeros so carved files stay aligned.
    for (uint16_t i = 0; i < count; ++i) {
        if (i > 0 && CancelledBetweenBlocks())
            return false;
        uint8_t* block = chunk.Buffer + static_cast<size_t>(i) * 512;
        const CReadResult one = ReadBlocks(drive, block, m_pStatus->CurrentBlock + i, 1);
        if (!one.RequestOk) {
            RequestFailed(one);
            return false;
        }
        if (CardGone(one))
            return false;
        if (one.Complete(512)) {
            m_nDeadRun = 0;
            continue;
        }
        std::memset(block, 0, 512);
        ++m_pStatus->UnreadableBlocks;
        if (++m_nDeadRun >= kDeadRun) {
            m_bDeadArea = true;
            bytesDone = want;
            return SkipDeadBlocks(drive, chunk, static_cast<uint16_t>(i + 1), count);
        }
    }
    bytesDone = want;
    return true;
}

bool CCardJob::SkipDeadBlocks(CDriveScsi& drive, CChunk& chunk, uint16_t from, uint16_t count)
{
    uint16_t end = count;
    while (end > from) {
        if (CancelledBetweenBlocks())
            return false;
        uint8_t* block = chunk.Buffer + static_cast<size_t>(end - 1) * 512;
        const CReadResult one = ReadBlocks(drive, block, m_pStatus->CurrentBlock + end - 1, 1);
        if (!one.RequestOk) {
            RequestFailed(one);
            return false;
        }
        if (CardGone(one))
            return false;
        if (!one.Complete(512))
            break;
        --end;
    }
    if (end < count) {
        // The card reads again at the chunk's end: the dead area is behind.
        m_bDeadArea = false;
        m_nDeadRun = 0;
    }
    std::memset(chunk.Buffer + static_cast<size_t>(from) * 512, 0, static_cast<size_t>(end - from) * 512);
    m_pStatus->UnreadableBlocks += end - from;
    return true;
}

bool CCardJob::CancelledBetweenBlocks()
{
    px::PumpMessages();
    return m_bCancelRequested;
}

bool CCardJob::TransferChunk(CDriveScsi& drive, CChunk& chunk, uint16_t count, uint32_t& bytesDone)
{
    if (!ReadChunk(drive, chunk, count, bytesDone))
        return false;
    chunk.Valid = std::min(bytesDone, chunk.Size);
    return ProcessChunk(chunk);
}

bool CCardJob::ProcessChunk(CChunk& chunk)
{
    CTransferStatus& s = *m_pStatus;
    if (s.BlockSize == 0)
        return true;
    const uint32_t blocks = chunk.Valid / s.BlockSize;
    for (uint32_t i = 0; i < blocks && !m_bAborted; ++i) {
        ProcessBlock(chunk.Buffer + static_cast<size_t>(i) * s.BlockSize);
        ++s.BlocksProcessed;
    }
    return !m_bAborted;
}
