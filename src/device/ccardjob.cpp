#include "device/ccardjob.h"

#include <algorithm>
#include <cstdio>
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
    m_nSkipEnd = 0;
    m_Skipped.clear();
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
    if (!StartRun())
        return false;
    BeforeChunks();
    CScan scan = StartScan();
    bool failed = false;
    while (m_pStatus->CurrentBlock < m_pStatus->BlockCount) {
        if (!NextChunk(scan)) {
            failed = true;
            break;
        }
        ReportIfDue(scan);
        if (CancelledBetweenBlocks())
            break;
    }
    failed = EndScan(scan, failed);
    Finish();
    EndOfCard();
    // Closing the last file may fail too (a full disk): that ends the run as a failure.
    failed = failed || m_bAborted;
    SendStatus(StatusKind::JobEnded);
    return RunOutcome(failed);
}

bool CCardJob::StartRun()
{
    BeginRun();
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
    return true;
}

CCardJob::CScan CCardJob::StartScan()
{
    CTransferStatus& s = *m_pStatus;
    CScan scan;
    // Progress goes out 100 times per run, 200 times for cards above 1,000,000,000 bytes.
    const uint64_t divisor = s.Capacity > 1000000000ull ? 200 : 100;
    scan.Period = s.Capacity / divisor;
    scan.Buffer.resize(static_cast<size_t>(s.BlockSize) * ChunkBlocks);
    if (m_nFirstBlock > 0 && m_nFirstBlock < s.BlockCount) {
        s.CurrentBlock = m_nFirstBlock;
        s.BytesDone = m_nFirstBlock * s.BlockSize;
    }
    scan.Start = std::chrono::steady_clock::now();
    if (ReadsAhead())
        scan.Reader = std::make_unique<CChunkReader>(m_Drive, m_DriveMutex, s.CurrentBlock, s.BlockCount, ChunkBlocks,
                                                     RequestBlocks(), kReadAheadBuffers, WritesBehind() ? kWrittenBehind : 0,
                                                     WritesBehind() ? std::function<bool()>([this] { return HelpWriting(); })
                                                                    : std::function<bool()>(),
                                                     InspectsAhead() ? CChunkReader::Inspector(
                                                                           [this](uint64_t first, const uint8_t* data,
                                                                                  uint32_t blocks, uint8_t* marks) {
                                                                               InspectAhead(first, data, blocks, marks);
                                                                           })
                                                                     : CChunkReader::Inspector());
    return scan;
}

bool CCardJob::NextChunk(CScan& scan)
{
    CTransferStatus& s = *m_pStatus;
    const uint64_t left = s.BlockCount - s.CurrentBlock;
    const uint16_t count = left >= ChunkBlocks ? ChunkBlocks : static_cast<uint16_t>(left);
    CChunk chunk;
    const CReadChunk* ahead = TakeChunk(scan, chunk);
    uint32_t done = 0;
    const bool transferred = TransferChunk(m_Drive, chunk, count, done);
    // What the job gathered from a buffer goes out before the buffer is read into again.
    if (!ahead || ahead->LastOfBuffer)
        FlushChunks();
    if (!ahead && WritesBehind())
        WaitWritten(WritesQueued());  // the scan's own buffer takes the next chunk
    if (ahead && ahead->LastOfBuffer)
        ReleaseBuffer(scan);
    if (!transferred)
        return false;
    s.CurrentBlock += count;
    s.BytesDone += done;
    scan.SinceProgress += done;
    ResumeReader(scan);
    return true;
}

void CCardJob::ReleaseBuffer(CScan& scan)
{
    if (!WritesBehind()) {
        scan.Reader->Release();
        return;
    }
    // The writes of the buffers before it went on while the scan took this one's chunks:
    // the buffers whose writes are done go back, and the oldest is waited for only when
    // the scan holds more than kWrittenBehind.
    scan.Held.push_back(WritesQueued());
    while (!scan.Held.empty() && (scan.Held.size() > kWrittenBehind || WritesDone() >= scan.Held.front())) {
        WaitWritten(scan.Held.front());
        scan.Reader->Release();
        scan.Held.pop_front();
    }
}

const CReadChunk* CCardJob::TakeChunk(CScan& scan, CChunk& chunk)
{
    // No clearing of the buffer: a read fills every block it hands on (zeros for the
    // blocks it could not read).
    chunk = CChunk{scan.Buffer.data(), static_cast<uint32_t>(scan.Buffer.size()), 0};
    const CReadChunk* ahead = scan.Reader && !scan.ReadingHere ? scan.Reader->Next() : nullptr;
    if (ahead) {
        chunk.Buffer = ahead->Buffer;
        chunk.Size = static_cast<uint32_t>(ahead->Count) * m_pStatus->BlockSize;
        chunk.Prefetched = &ahead->Result;
        chunk.Marks = ahead->Marks;
        scan.ReadingHere = ahead->ReaderWaits;
    }
    return ahead;
}

void CCardJob::ResumeReader(CScan& scan)
{
    const CTransferStatus& s = *m_pStatus;
    if (scan.ReadingHere && !m_bDeadArea && s.CurrentBlock < s.BlockCount) {
        scan.Reader->Resume(s.CurrentBlock);
        scan.ReadingHere = false;
    }
}

void CCardJob::ReportIfDue(CScan& scan)
{
    if (scan.SinceProgress < scan.Period)
        return;
    CMsgProgress progress(static_cast<int32_t>(m_pStatus->CurrentBlock >> m_nProgressShift), m_nScope, std::string());
    SendStatus(StatusKind::Progress);
    scan.SinceProgress = 0;
}

bool CCardJob::EndScan(CScan& scan, bool failed)
{
    if (scan.Reader) {
        // A run that ended inside a buffer still has what it gathered from it to write.
        FlushChunks();
        Log().Info("Card read in " + std::to_string(scan.Reader->Requests()) + " requests ahead of the scan (" +
                   std::to_string(RequestBlocks()) + " blocks each)");
    }
    // Every write done before the buffers go (and before the files are looked at again).
    WaitWritten(WritesQueued());
    scan.Reader.reset();
    const auto scanTime = std::chrono::steady_clock::now() - scan.Start;
    if (!failed && !m_bCancelRequested && !m_bAborted && !RevisitSkipped(m_Drive, scanTime))
        failed = !m_strError.empty();
    return failed;
}

bool CCardJob::RunOutcome(bool failed)
{
    CTransferStatus& s = *m_pStatus;
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

uint16_t CCardJob::RequestBlocks()
{
    const uint32_t bytes = std::min(m_Drive.MaxTransferBytes(), kMostRequestBytes);
    const uint32_t blocks = std::min<uint32_t>(bytes / 512, 0xFFFF) / ChunkBlocks * ChunkBlocks;
    return static_cast<uint16_t>(std::max<uint32_t>(blocks, ChunkBlocks));
}

bool CCardJob::ReadChunk(CDriveScsi& drive, CChunk& chunk, uint16_t count, uint32_t& bytesDone)
{
    if (m_bDeadArea)
        return CrossDeadArea(drive, chunk, count, bytesDone);
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
        m_nDeadRun = 0;
        return true;
    }
    if (CardGone(answer))
        return false;
    // Some block of the chunk did not come: read them one by one so that only the blocks
    // that really fail are lost, and keep those as zeros so carved files stay aligned.
    bytesDone = want;
    return ReadBlockByBlock(drive, chunk, 0, count);
}

bool CCardJob::ReadBlockByBlock(CDriveScsi& drive, CChunk& chunk, uint16_t from, uint16_t count)
{
    for (uint16_t i = from; i < count; ++i) {
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
            return SkipDeadBlocks(drive, chunk, static_cast<uint16_t>(i + 1), count);
        }
    }
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

bool CCardJob::CrossDeadArea(CDriveScsi& drive, CChunk& chunk, uint16_t count, uint32_t& bytesDone)
{
    const uint64_t first = m_pStatus->CurrentBlock;
    bytesDone = static_cast<uint32_t>(count) * 512;
    if (m_nSkipEnd <= first) {
        if (!FindDeadAreaEnd(drive, first, m_nSkipEnd))
            return false;
        if (m_nSkipEnd > first)
            m_Skipped.emplace_back(first, m_nSkipEnd);
    }
    const uint16_t skipped = static_cast<uint16_t>(std::min<uint64_t>(m_nSkipEnd - first, count));
    std::memset(chunk.Buffer, 0, static_cast<size_t>(skipped) * 512);
    m_pStatus->UnreadableBlocks += skipped;
    if (skipped == count) {
        // An area that ends with the chunk: the next one is read as usual.
        if (m_nSkipEnd == first + count)
            m_bDeadArea = false;
        return true;
    }
    // The card reads again inside this chunk: its rest by the chunk and block rules.
    m_bDeadArea = false;
    m_nDeadRun = 0;
    uint8_t* rest = chunk.Buffer + static_cast<size_t>(skipped) * 512;
    const uint16_t restCount = static_cast<uint16_t>(count - skipped);
    const CReadResult answer = ReadBlocks(drive, rest, first + skipped, restCount);
    if (!answer.RequestOk) {
        RequestFailed(answer);
        return false;
    }
    if (answer.Complete(static_cast<uint32_t>(restCount) * 512))
        return true;
    if (CardGone(answer))
        return false;
    return ReadBlockByBlock(drive, chunk, skipped, count);
}

int CCardJob::Probe(CDriveScsi& drive, uint64_t block, uint8_t* buffer)
{
    const CReadResult one = ReadBlocks(drive, buffer, block, 1);
    if (!one.RequestOk) {
        RequestFailed(one);
        return -1;
    }
    if (CardGone(one))
        return -1;
    return one.Complete(512) ? 1 : 0;
}

bool CCardJob::FindDeadAreaEnd(CDriveScsi& drive, uint64_t from, uint64_t& end)
{
    const uint64_t blocks = m_pStatus->BlockCount;
    const uint64_t mostStep = std::max(kMostSkipBlocks, blocks / 100);
    uint8_t buffer[512];
    // Invariant: block `bad` fails (from - 1 did, when the area was found), block `good`
    // reads (the card's end counts as reading).
    uint64_t bad = from - 1;
    uint64_t good = blocks;
    for (uint64_t step = kFirstSkipBlocks; bad + 1 < blocks; step = std::min(step * 2, mostStep)) {
        if (CancelledBetweenBlocks())
            return false;
        const uint64_t probe = std::min(bad + step, blocks - 1);
        const int reads = Probe(drive, probe, buffer);
        if (reads < 0)
            return false;
        if (reads) {
            good = probe;
            break;
        }
        bad = probe;
    }
    // The card reads again somewhere in (bad, good]: halve the step to the first block
    // that reads after one that fails.
    while (good < blocks && good - bad > 1) {
        if (CancelledBetweenBlocks())
            return false;
        const uint64_t middle = bad + (good - bad) / 2;
        const int reads = Probe(drive, middle, buffer);
        if (reads < 0)
            return false;
        (reads ? good : bad) = middle;
    }
    end = good;
    return true;
}

uint64_t CCardJob::GrowFrom(CDriveScsi& drive, uint64_t first, uint64_t end, bool down,
                            std::chrono::steady_clock::time_point deadline)
{
    std::vector<uint8_t> buffer(static_cast<size_t>(ChunkBlocks) * 512);
    auto regained = [&](uint64_t at, uint32_t count) {
        if (LateBlocks(at, buffer.data(), count))
            m_pStatus->UnreadableBlocks -= count;
    };
    while (first < end && std::chrono::steady_clock::now() < deadline && !CancelledBetweenBlocks()) {
        const uint16_t count = static_cast<uint16_t>(std::min<uint64_t>(ChunkBlocks, end - first));
        const uint64_t at = down ? end - count : first;
        const CReadResult answer = ReadBlocks(drive, buffer.data(), at, count);
        if (answer.Complete(static_cast<uint32_t>(count) * 512)) {
            regained(at, count);
            (down ? end : first) = down ? end - count : first + count;
            continue;
        }
        if (!answer.RequestOk)
            break;
        if (!down) {
            // The blocks moved before the failing one are good all the same.
            const uint16_t moved = static_cast<uint16_t>(std::min<uint32_t>(answer.BytesDone / 512, count));
            if (moved > 0)
                regained(at, moved);
            first += moved;
            break;
        }
        // Downwards a failing chunk is read from its end back, block by block, while the
        // blocks read.
        while (first < end && std::chrono::steady_clock::now() < deadline) {
            const CReadResult one = ReadBlocks(drive, buffer.data(), end - 1, 1);
            if (!one.Complete(512))
                break;
            regained(end - 1, 1);
            --end;
        }
        break;
    }
    return down ? end : first;
}

bool CCardJob::RevisitSkipped(CDriveScsi& drive, std::chrono::steady_clock::duration scanTime)
{
    if (m_Skipped.empty())
        return true;
    bool ok = true;
    const auto started = std::chrono::steady_clock::now();
    const auto deadline = started + std::min<std::chrono::steady_clock::duration>(m_SkippedBudget, scanTime);
    const uint64_t unreadBefore = m_pStatus->UnreadableBlocks;
    uint8_t block[512];
    auto timeLeft = [&] { return std::chrono::steady_clock::now() < deadline && !CancelledBetweenBlocks(); };
    // Areas of blocks not yet tried, coarse before fine. A skipped area is tried at both
    // edges first (growing from an edge that reads); then each area is halved: its middle
    // block is tried, and when it reads the blocks around it are read while they read.
    // Areas shorter than a chunk are not halved further.
    struct Area {
        uint64_t First, End;
        bool Edges;
    };
    std::vector<Area> todo;
    for (const auto& [first, end] : m_Skipped)
        todo.push_back({first, end, true});
    for (size_t next = 0; next < todo.size() && ok && timeLeft(); ++next) {
        auto [first, end, edges] = todo[next];
        if (edges) {
            const int left = Probe(drive, first, block);
            if ((ok = left >= 0) == false)
                break;
            first = left ? GrowFrom(drive, first, end, false, deadline) : first + 1;
            if (first < end && timeLeft()) {
                const int right = Probe(drive, end - 1, block);
                if ((ok = right >= 0) == false)
                    break;
                end = right ? GrowFrom(drive, first, end, true, deadline) : end - 1;
            }
        }
        if (end <= first || end - first < ChunkBlocks || !timeLeft())
            continue;
        const uint64_t middle = first + (end - first) / 2;
        const int reads = Probe(drive, middle, block);
        if ((ok = reads >= 0) == false)
            break;
        if (!reads) {
            todo.push_back({first, middle, false});
            todo.push_back({middle + 1, end, false});
            continue;
        }
        const uint64_t top = GrowFrom(drive, middle, end, false, deadline);
        const uint64_t bottom = GrowFrom(drive, first, middle, true, deadline);
        todo.push_back({first, bottom, false});
        todo.push_back({top, end, false});
    }
    const uint64_t regained = unreadBefore - m_pStatus->UnreadableBlocks;
    uint64_t skipped = 0;
    for (const auto& [first, end] : m_Skipped)
        skipped += end - first;
    const uint64_t unread = skipped - std::min(skipped, regained);
    const auto seconds = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started).count() / 1000.0;
    char line[200];
    std::snprintf(line, sizeof line,
                  "Dead areas: %zu crossed, %llu blocks skipped; tried again for %.1f s: %llu read, %llu not",
                  m_Skipped.size(), static_cast<unsigned long long>(skipped), seconds,
                  static_cast<unsigned long long>(regained), static_cast<unsigned long long>(unread));
    Log().Info(line);
    return ok;
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
