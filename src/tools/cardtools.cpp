#include "tools/cardtools.h"

#include <algorithm>

#include "platform/messagepump.h"

namespace {

constexpr uint32_t kBlockBytes = 512;   // what one block of a READ(10) or WRITE(10) moves

uint8_t SenseKeyOf(const CUnitSense& sense)
{
    const px::SenseData data = px::ParseSense(sense.Sense, sense.Valid ? sizeof sense.Sense : 0);
    return data.Valid ? data.Key : 0;
}

}  // namespace

std::string CardRefusal(const CDriveInfo& info)
{
    const std::string drive = info.m_Letter ? std::string(1, info.m_Letter) + ":" : std::string("The drive");
    if (info.m_Descriptor.DeviceType != 0 || info.m_Descriptor.RemovableMedia != 1)
        return drive + " is not a removable memory card (a fixed disk or an unknown device): only memory cards "
                       "can be formatted or erased";
    if ((info.m_Sense.ScsiStatus & 0x3E) != 0) {
        if (SenseKeyOf(info.m_Sense) == px::SenseKey::NotReady)
            return "There is no card in " + drive;
        return "The card in " + drive + " is not ready";
    }
    return {};
}

std::string ShortWriteText(uint8_t status, const px::SenseData& sense, uint64_t firstBlock, uint32_t asked,
                           uint32_t done)
{
    if (px::TransferComplete(status, sense, done, asked))
        return {};
    const bool checked = (status & 0x3E) == px::ScsiStatus::CheckCondition && sense.Valid &&
                         sense.Key != px::SenseKey::NoSense && sense.Key != px::SenseKey::RecoveredError;
    const std::string moved = std::to_string(done) + " of " + std::to_string(asked) + " bytes written";
    std::string text = "Write failed at block " + std::to_string(firstBlock) + ": ";
    text += checked ? CDriveScsi::SenseKeyName(sense.Key) + " (" + moved + ")" : moved;
    if (checked && sense.Key == px::SenseKey::DataProtect)
        text += " - the card is write-protected";
    return text;
}

std::string ShortWriteText(const CDriveScsi& drive, uint64_t firstBlock, uint32_t asked, uint32_t done)
{
    return ShortWriteText(drive.LastScsiStatus(), drive.LastSenseData(), firstBlock, asked, done);
}

// ---- CCardTest ----

CCardTest::CCardTest(CTransferStatus* status, const CDriveInfo& info, int32_t scope) : CCardJob(status, info, scope)
{
}

CCardTest::~CCardTest() = default;

bool CCardTest::Run()
{
    const bool ok = CCardJob::Run();
    // The frame words unreadable blocks for a recovery ("counted as zeros"); a test only
    // reads, so it says what it found.
    if (ok && ReadErrors() > 0) {
        SetError(std::to_string(ReadErrors()) + (ReadErrors() == 1 ? " block" : " blocks") +
                 " of the card could not be read");
        Status().SetError(GetError());
    }
    return ok;
}

bool CCardTest::TransferChunk(CDriveScsi& drive, CChunk& chunk, uint16_t count, uint32_t& bytesDone)
{
    if (!ReadChunk(drive, chunk, count, bytesDone))
        return false;   // ReadChunk has set the device's error
    chunk.Valid = std::min(bytesDone, chunk.Size);
    return true;
}

// ---- CCardWipe ----

CCardWipe::CCardWipe(CTransferStatus* status, const CDriveInfo& info, int32_t scope) : CCardJob(status, info, scope)
{
}

CCardWipe::~CCardWipe() = default;

bool CCardWipe::Init()
{
    if (const std::string refusal = CardRefusal(m_DriveInfo); !refusal.empty())
        return Fail(refusal);
    // The frame refuses cards of other than 512-byte blocks: every request moves 512-byte
    // blocks, so an erase would overwrite only the front of each.
    return CCardJob::Init();
}

bool CCardWipe::TransferChunk(CDriveScsi& drive, CChunk& chunk, uint16_t count, uint32_t& bytesDone)
{
    const uint64_t first = Status().CurrentBlock;
    const uint32_t asked = static_cast<uint32_t>(count) * kBlockBytes;
    if (!drive.WriteBlocks(chunk.Buffer, bytesDone, first, count)) {
        RequestFailed(drive);
        return false;
    }
    const std::string failed = ShortWriteText(drive, first, asked, bytesDone);
    if (!failed.empty()) {
        const px::SenseData sense = drive.LastSenseData();
        SetOutcome(sense.Valid && sense.Key == px::SenseKey::DataProtect ? JobOutcome::WriteProtected
                                                                         : JobOutcome::DeviceError);
        SetError(failed);
        return false;
    }
    chunk.Valid = std::min(bytesDone, chunk.Size);
    return true;
}

// ---- CCardFormat ----

CCardFormat::CCardFormat(CTransferStatus* status, const CDriveInfo& info, int32_t scope)
    : CCardJob(status, info, scope)
{
}

CCardFormat::~CCardFormat() = default;

bool CCardFormat::Init()
{
    const std::string refusal = CardRefusal(m_DriveInfo);
    if (!refusal.empty()) {
        SetError(refusal);
        return false;
    }
    return true;
}

bool CCardFormat::ConnectToDestination()
{
    if (Status().MakeRunFolder())
        return true;
    std::string error = Status().HasError ? Status().ErrorText : std::string();
    if (error.empty())
        error = "Cannot create the run folder " + Status().RunFolder.GetText();
    SetError(error);
    return false;
}

bool CCardFormat::Run()
{
    CRunner runner(this);
    BeginRun();
    {
        CMsgProgress show(1, m_nScope, ProgressStep::Show);
        CMsgProgress range(0, m_nScope, ProgressStep::Range, CVariant(3));
        CMsgProgress position(0, m_nScope, std::string());
    }
    if (!OpenCard()) {
        SetOutcome(JobOutcome::DeviceError);
        return Fail(GetError());
    }
    { CMsgProgress position(1, m_nScope, std::string()); }
    // A Cancel is taken before the first write or after the last one: a file system
    // written in part would leave a card that neither the camera nor a computer reads.
    px::PumpMessages();
    if (m_bCancelRequested) {
        m_Outcome = JobOutcome::Cancelled;
        return Fail("Canceled by user: nothing was written");
    }
    if (!Format(m_Drive, m_DriveInfo, Label, m_environment)) {
        std::string error = m_Drive.GetError();
        if (error.empty())
            error = "The card could not be formatted";
        const px::SenseData sense = m_Drive.LastSenseData();
        if (sense.Valid && sense.Key == px::SenseKey::DataProtect)
            SetOutcome(JobOutcome::WriteProtected);
        else
            RequestFailed(m_Drive);
        return Fail(m_Outcome == JobOutcome::CardGone ? GetError() : error);
    }
    { CMsgProgress position(2, m_nScope, std::string()); }
    px::PumpMessages();
    if (m_bCancelRequested) {
        m_Outcome = JobOutcome::Cancelled;
        return Fail("Canceled by user: the new file system was written whole; the card was not ejected");
    }

    // Ejected while still locked, so nothing can mount the half-known card in between;
    // the unlock and close follow from the runner's Close.
    if (!m_Drive.Eject()) {
        SetOutcome(JobOutcome::DeviceError);
        return Fail("The card was formatted but could not be ejected: " + m_Drive.GetError());
    }
    m_Outcome = JobOutcome::Finished;
    return true;
}
