#include "tools/cardbackup.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/progresstext.h"
#include "platform/fileio.h"
#include "platform/lasterror.h"
#include "platform/messagepump.h"

namespace {

using px::RescueArea;
namespace RS = px::RescueStatus;

constexpr uint64_t kBlock = 512;
// Pass 1's request: 128 blocks (64 KiB), GNU ddrescue's default cluster. It is below the
// largest transfer the kernel's USB storage driver passes to a USB 2 card reader in one
// command (240 blocks), and the request's buffers stay in the processor's cache: a backup
// of a card image in the page cache runs at the pace of cp (1 MiB requests ran at a third).
constexpr uint16_t kBigBlocks = 128;
// Pass 2's chunk: small enough that a chunk that fails leaves little to trim.
constexpr uint16_t kChunkBlocks = 16;
// The first skip after a failed request, as ddrescue starts: 64 KiB.
constexpr uint64_t kFirstSkip = 64 * 1024;
// Pieces of an image written for --sparse: the file system's usual block.
constexpr size_t kSparsePiece = 4096;

bool AllZero(const uint8_t* data, size_t size)
{
    return size == 0 || (data[0] == 0 && std::memcmp(data, data + 1, size - 1) == 0);
}

}  // namespace

CCardBackup::CCardBackup(CTransferStatus* status, const CDriveInfo& info, CBackupOptions options)
    : CCardJob(status, info, BackupScope), m_options(std::move(options))
{
    m_mapPath = m_options.mapPath.empty() ? m_options.imagePath + ".map" : m_options.mapPath;
}

CCardBackup::~CCardBackup() { CloseImage(); }

CBackupProgress CCardBackup::Progress() const
{
    CBackupProgress p;
    p.size = m_map.Size();
    p.copied = m_map.Bytes(RS::Finished);
    p.untried = m_map.Bytes(RS::NonTried);
    p.failed = p.size - p.copied - p.untried;
    p.phase = m_map.CurrentStatus();
    p.pass = m_map.CurrentPass();
    // The work left is what was not tried or failed and is not yet a bad block; the rate
    // is this run's.
    const uint64_t work = p.untried + m_map.Bytes(RS::NonTrimmed) + m_map.Bytes(RS::NonScraped);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_started).count();
    if (m_workAtStart > work && elapsed > 0.5)
        p.secondsLeft = static_cast<int64_t>(static_cast<double>(work) * elapsed / double(m_workAtStart - work) + 0.5);
    return p;
}

bool CCardBackup::OpenImage()
{
    const std::string& image = m_options.imagePath;
    m_cardBytes = Status().BlockCount * kBlock;
    struct stat st{};
    const bool imageExists = ::stat(image.c_str(), &st) == 0;
    const bool mapExists = ::access(m_mapPath.c_str(), F_OK) == 0;
    std::string why;
    if (mapExists) {
        if (!px::RescueMap::Load(m_mapPath, m_map, &why)) {
            SetError(why + "; nothing was read from the card");
            return false;
        }
        // A shorter map grows with not-tried bytes (ddrescue stopped by a size limit, say);
        // a longer one is another card's.
        if (m_map.Size() < m_cardBytes)
            m_map.Resize(m_cardBytes);
        if (m_map.Size() != m_cardBytes) {
            SetError("The map " + m_mapPath + " is of a card of " + std::to_string(m_map.Size()) +
                     " bytes, but this card holds " + std::to_string(m_cardBytes) +
                     ": it is the map of another card (choose another image file)");
            return false;
        }
        if (!imageExists && m_map.Bytes(RS::Finished) > 0) {
            SetError("The map " + m_mapPath + " says " + SizeText(m_map.Bytes(RS::Finished)) +
                     " were copied, but the image " + image + " is missing");
            return false;
        }
    } else {
        if (imageExists && st.st_size > 0) {
            SetError("The file " + image + " exists and has no map beside it (" + m_mapPath +
                     "), so what it holds is unknown; choose another image file or delete it");
            return false;
        }
        m_map = px::RescueMap(m_cardBytes);
    }
    m_imageFd = ::open(image.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_imageFd < 0) {
        SetError("Cannot open the image " + image + ": " + px::SystemErrorText(errno));
        return false;
    }
    if (::flock(m_imageFd, LOCK_EX | LOCK_NB) != 0) {
        SetError("The image " + image + " is being written by another backup");
        CloseImage();
        return false;
    }
    // A disk that cannot take what is left to copy is said before the card is read, not
    // after an hour of a dying card's reads; a sparse image may fit, so it is tried.
    struct statvfs fs{};
    const uint64_t left = m_cardBytes - m_map.Bytes(RS::Finished);
    if (!m_options.sparse && ::fstatvfs(m_imageFd, &fs) == 0) {
        struct stat now{};
        const uint64_t allocated = ::fstat(m_imageFd, &now) == 0 ? uint64_t(now.st_blocks) * 512 : 0;
        const uint64_t free = uint64_t(fs.f_bavail) * fs.f_frsize;
        const uint64_t needed = left > allocated ? left - allocated : 0;
        if (free < needed) {
            SetError("The disk of " + image + " has " + SizeText(free) + " free, but " + SizeText(needed) +
                     " of the card are still to copy; choose a disk with more room (or --sparse, when the card "
                     "is mostly empty)");
            CloseImage();
            if (!imageExists)
                ::unlink(image.c_str());
            return false;
        }
    }
    // The map is there from the start: a run stopped in its first seconds still leaves one.
    if (!SaveMap()) {
        CloseImage();
        return false;
    }
    return true;
}

void CCardBackup::CloseImage()
{
    if (m_imageFd >= 0)
        ::close(m_imageFd);
    m_imageFd = -1;
}

bool CCardBackup::SaveMap()
{
    std::string why;
    if (!m_map.Save(m_mapPath, m_options.commandLine, &why)) {
        SetError(why);
        SetOutcome(JobOutcome::FileError);
        return false;
    }
    m_lastSave = std::chrono::steady_clock::now();
    return true;
}

bool CCardBackup::WriteImage(uint64_t offset, const uint8_t* data, size_t size)
{
    const int code = px::WriteAllAt(m_imageFd, data, size, offset);
    if (code == 0)
        return true;
    std::string text = "Cannot write the image " + m_options.imagePath + ": " + px::SystemErrorText(code);
    if (code == ENOSPC || code == EFBIG)
        text += ". The backup stopped; the map " + m_mapPath +
                " says what is copied: make room and run the same backup again to go on";
    SetError(text);
    SetOutcome(JobOutcome::FileError);
    return false;
}

CCardBackup::ReadOutcome CCardBackup::Copy(uint64_t first, uint16_t count, uint64_t pos, uint64_t end, char failed)
{
    const CReadResult answer = ReadBlocks(m_Drive, m_buffer.data(), first, count);
    if (!answer.RequestOk) {
        RequestFailed(answer);
        return ReadOutcome::Stop;
    }
    const uint32_t asked = static_cast<uint32_t>(count) * kBlock;
    if (!answer.Complete(asked)) {
        if (CardGone(answer))
            return ReadOutcome::Stop;
        m_map.Mark(pos, end - pos, failed);
        return ReadOutcome::Bad;
    }
    const uint8_t* data = m_buffer.data();
    const uint64_t offset = first * kBlock;
    if (!m_options.sparse) {
        if (!WriteImage(offset, data, asked))
            return ReadOutcome::Stop;
    } else {
        for (size_t at = 0; at < asked; at += kSparsePiece) {
            const size_t n = std::min<size_t>(kSparsePiece, asked - at);
            if (!AllZero(data + at, n) && !WriteImage(offset + at, data + at, n))
                return ReadOutcome::Stop;
        }
    }
    m_map.Mark(pos, end - pos, RS::Finished);
    return ReadOutcome::Good;
}

bool CCardBackup::Between()
{
    px::PumpMessages();
    if (m_bCancelRequested)
        return false;
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastSave >= m_mapInterval && !SaveMap())
        return false;
    if (m_onProgress && now - m_lastProgress >= std::chrono::milliseconds(200)) {
        m_lastProgress = now;
        const CBackupProgress p = Progress();
        Status().BytesDone = p.copied;
        m_onProgress(p);
    }
    return true;
}

bool CCardBackup::CopyPass(char from, uint64_t start, uint16_t blocks, bool skipping, int pass)
{
    // The longest skip: 1% of the card, at least one request.
    const uint64_t maxSkip = std::max<uint64_t>(m_cardBytes / 100 / kBlock * kBlock, blocks * kBlock);
    uint64_t skip = kFirstSkip;
    RescueArea area;
    uint64_t pos = start;
    while (m_map.Next(from, pos, area)) {
        const uint64_t first = area.pos / kBlock;
        const uint64_t lastEnd = (area.End() + kBlock - 1) / kBlock;
        const uint16_t count = static_cast<uint16_t>(std::min<uint64_t>(blocks, lastEnd - first));
        const uint64_t end = std::min(area.End(), (first + count) * kBlock);
        m_map.SetCurrent(area.pos, RS::NonTried, pass);
        const ReadOutcome outcome = Copy(first, count, area.pos, end, RS::NonTrimmed);
        if (outcome == ReadOutcome::Stop)
            return false;
        pos = end;
        if (outcome == ReadOutcome::Good) {
            skip = kFirstSkip;
        } else if (skipping) {
            pos += skip;
            skip = std::min(skip * 2, maxSkip);
        }
        if (!Between())
            return false;
    }
    return true;
}

bool CCardBackup::TrimPass()
{
    RescueArea area;
    while (m_map.Next(RS::NonTrimmed, 0, area)) {
        // From the front until a block fails...
        uint64_t front = area.pos;
        while (front < area.End()) {
            const uint64_t block = front / kBlock;
            const uint64_t end = std::min(area.End(), (block + 1) * kBlock);
            m_map.SetCurrent(front, RS::NonTrimmed, 1);
            const ReadOutcome outcome = Copy(block, 1, front, end, RS::BadSector);
            if (outcome == ReadOutcome::Stop || !Between())
                return false;
            front = end;
            if (outcome == ReadOutcome::Bad)
                break;
        }
        // ...then from the back until one fails; the inside is left to the scraping.
        uint64_t back = area.End();
        while (back > front) {
            const uint64_t block = (back - 1) / kBlock;
            const uint64_t begin = std::max(front, block * kBlock);
            m_map.SetCurrent(begin, RS::NonTrimmed, 1);
            const ReadOutcome outcome = Copy(block, 1, begin, back, RS::BadSector);
            if (outcome == ReadOutcome::Stop || !Between())
                return false;
            back = begin;
            if (outcome == ReadOutcome::Bad)
                break;
        }
        if (back > front)
            m_map.Mark(front, back - front, RS::NonScraped);
    }
    return true;
}

bool CCardBackup::BlockPass(char from, char phase, int pass)
{
    RescueArea area;
    uint64_t pos = 0;
    while (m_map.Next(from, pos, area)) {
        const uint64_t block = area.pos / kBlock;
        const uint64_t end = std::min(area.End(), (block + 1) * kBlock);
        m_map.SetCurrent(area.pos, phase, pass);
        if (Copy(block, 1, area.pos, end, RS::BadSector) == ReadOutcome::Stop || !Between())
            return false;
        pos = end;
    }
    return true;
}

bool CCardBackup::Passes()
{
    // Where a stopped backup stood: pass 1 goes on from its position; the areas it
    // skipped before are pass 2's.
    const bool inPass1 = m_map.CurrentStatus() == RS::NonTried && m_map.CurrentPass() <= 1;
    const uint64_t start = inPass1 ? std::min(m_map.CurrentPos() / kBlock * kBlock, m_map.Size()) : 0;
    if (!CopyPass(RS::NonTried, start, kBigBlocks, true, 1))
        return false;
    if (!CopyPass(RS::NonTried, 0, kChunkBlocks, false, 2))
        return false;
    if (!TrimPass())
        return false;
    if (!BlockPass(RS::NonScraped, RS::NonScraped, 1))
        return false;
    for (int pass = 1; pass <= m_options.retries; ++pass)
        if (!BlockPass(RS::BadSector, RS::BadSector, pass))
            return false;
    m_map.SetCurrent(0, RS::Finished, 1);
    return true;
}

bool CCardBackup::Run()
{
    CRunner runner(this);
    BeginRun();
    SendStatus(StatusKind::JobStarted);
    if (!OpenCard()) {
        SetOutcome(JobOutcome::DeviceError);
        return false;
    }
    if (!OpenImage()) {
        SetOutcome(JobOutcome::FileError);
        return false;
    }
    m_buffer.assign(kBigBlocks * kBlock, 0);
    m_started = m_lastSave = std::chrono::steady_clock::now();
    m_workAtStart = m_map.Size() - m_map.Bytes(RS::Finished) - m_map.Bytes(RS::BadSector);
    bool ok = Passes();
    const std::string stopError = GetError();
    // The image has the card's size whatever was copied: what was not is zeros.
    struct stat st{};
    if (::fstat(m_imageFd, &st) == 0 && uint64_t(st.st_size) < m_cardBytes &&
        ::ftruncate(m_imageFd, static_cast<off_t>(m_cardBytes)) != 0 && ok) {
        SetError("Cannot give the image " + m_options.imagePath + " the card's size: " + px::SystemErrorText(errno));
        SetOutcome(JobOutcome::FileError);
        ok = false;
    }
    // The last word of the map comes after the last write to the image.
    const bool saved = SaveMap();
    if (!saved && !stopError.empty())
        SetError(stopError + "; " + GetError());
    ok = ok && saved;
    CloseImage();
    if (m_onProgress)
        m_onProgress(Progress());
    Status().BytesDone = m_map.Bytes(RS::Finished);
    Status().UnreadableBlocks = (m_map.Size() - m_map.Bytes(RS::Finished) + kBlock - 1) / kBlock;
    SendStatus(StatusKind::JobEnded);
    if (m_bCancelRequested) {
        m_Outcome = JobOutcome::Cancelled;
        SetError("Canceled by user; the map " + m_mapPath + " says what is copied: run the same backup again to go on");
        return false;
    }
    if (!ok) {
        if (m_Outcome == JobOutcome::CardGone)
            SetError(GetError() + "; the map " + m_mapPath + " says what is copied: run the same backup again to go on");
        SetOutcome(JobOutcome::DeviceError);
        Status().SetError(GetError());
        return false;
    }
    const uint64_t bad = m_map.Bytes(RS::BadSector);
    if (bad > 0) {
        m_Outcome = JobOutcome::UnreadableBlocks;
        const uint64_t blocks = (bad + kBlock - 1) / kBlock;
        SetError(std::to_string(blocks) + (blocks == 1 ? " block" : " blocks") +
                 " of the card could not be read: they are zeros in the image and bad in the map");
        Status().SetError(GetError());
    } else {
        m_Outcome = JobOutcome::Finished;
    }
    return true;
}
