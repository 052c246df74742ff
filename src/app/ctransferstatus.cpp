#include "app/ctransferstatus.h"

#include <cmath>
#include <ctime>

#include <filesystem>

CTransferStatus::CTransferStatus() { Reset(); }

CTransferStatus::CTransferStatus(Timed)
{
    Reset();
    StartTime = COleDateTime::Now();
    Kind = StatusKind::Timed;
}

CTransferStatus::CTransferStatus(const CTransferStatus& other) : CObj()
{
    Reset();
    CopyFrom(other);
}

CTransferStatus& CTransferStatus::operator=(const CTransferStatus& other)
{
    CopyFrom(other);
    return *this;
}

CTransferStatus::CTransferStatus(const CTransferStatus& source, int32_t kind, int32_t scope)
{
    Reset();
    CopyFrom(source);
    Kind = kind;
    Scope = scope;
    HasError = false;
    SendOnDestroy = true;
}

CTransferStatus::~CTransferStatus()
{
    if (SendOnDestroy) {
        SendOnDestroy = false;
        EndTime = COleDateTime::Now();
        SendRecord(MsgCode::TransferStatus, Scope, *this);
    }
}

void CTransferStatus::Reset()
{
    CObj::Reset();
    StartTime = COleDateTime(0.0, COleDateTime::valid);
    EndTime = COleDateTime(0.0, COleDateTime::valid);
    Kind = 0;
    Flags1 = 0;
    Path.Reset();
    RunFolder.Reset();
    Settings = SettingsRecord{};
    SelectedDrive = 0;
    Flags2 = 1;
    FilePath.Reset();
    Capacity = BytesDone = 0;
    FileSize = BlockCount = CurrentBlock = BlocksProcessed = BlockSize = FileCount = 0;
    Scope = 0;
    Reserved[0] = Reserved[1] = Reserved[2] = 0;
    ErrorText.clear();
    HasError = false;
    SendOnDestroy = false;
    UnreadableBlocks = 0;
}

void CTransferStatus::CopyFields(const CTransferStatus& other)
{
    StartTime = other.StartTime;
    EndTime = other.EndTime;
    Kind = other.Kind;
    Flags1 = other.Flags1;
    Path.CopyFrom(other.Path);
    RunFolder.CopyFrom(other.RunFolder);
    CopySettings(other.Settings, Settings);
    SelectedDrive = other.SelectedDrive;
    Flags2 = other.Flags2;
    FilePath.CopyFrom(other.FilePath);
    Capacity = other.Capacity;
    BytesDone = other.BytesDone;
    BlockCount = other.BlockCount;
    CurrentBlock = other.CurrentBlock;
    BlocksProcessed = other.BlocksProcessed;
    BlockSize = other.BlockSize;
    FileCount = other.FileCount;
    Scope = other.Scope;
    Reserved[0] = other.Reserved[0];
    Reserved[1] = other.Reserved[1];
    Reserved[2] = other.Reserved[2];
    ErrorText = other.ErrorText;
    HasError = other.HasError;
    UnreadableBlocks = other.UnreadableBlocks;
}

void CTransferStatus::CopyFrom(const CObj& other)
{
    if (&other == this)
        return;
    CObj::CopyFrom(other);
    if (auto* status = dynamic_cast<const CTransferStatus*>(&other))
        CopyFields(*status);
}

void CTransferStatus::Send(int32_t kind, int32_t scope) const { CTransferStatus sending(*this, kind, scope); }

void CTransferStatus::SetError(const std::string& text)
{
    ErrorText = text;
    HasError = true;
}

COleDateTimeSpan CTransferStatus::EstimateRemaining() const
{
    const COleDateTime now = COleDateTime::Now();
    if (now.m_status != COleDateTime::valid || StartTime.m_status != COleDateTime::valid) {
        const bool null = now.m_status == COleDateTime::null || StartTime.m_status == COleDateTime::null;
        return COleDateTimeSpan(0.0, null ? COleDateTimeSpan::null : COleDateTimeSpan::invalid);
    }
    const COleDateTimeSpan elapsed(now.m_dt - StartTime.m_dt);
    if (BytesDone == 0)
        return COleDateTimeSpan(0.0);
    if (elapsed.m_status != COleDateTimeSpan::valid)
        return COleDateTimeSpan(0.0, elapsed.m_status);
    // Whole seconds, half a second rounded away from zero.
    const double raw = elapsed.m_span * 86400.0;
    const double seconds = raw >= 0 ? std::floor(raw + 0.5) : std::ceil(raw - 0.5);
    const double total = seconds * static_cast<double>(Capacity) / static_cast<double>(BytesDone);
    const COleDateTimeSpan totalSpan = COleDateTimeSpan::FromSeconds(total);
    if (totalSpan.m_status != COleDateTimeSpan::valid)
        return COleDateTimeSpan(0.0, totalSpan.m_status);
    return COleDateTimeSpan(totalSpan.m_span - elapsed.m_span);
}

namespace {

// The local time of the clock the status record uses (tests can fix it).
std::tm StatusClockNow()
{
    std::time_t seconds = COleDateTime::NowSeconds();
    std::tm local{};
    localtime_r(&seconds, &local);
    return local;
}

}  // namespace

bool CTransferStatus::MakeRunFolder()
{
    if (SelectedDrive == 0) {
        SetError("Drive is not selected");
        return false;
    }
    char stamp[128];
    const std::tm local = StatusClockNow();
    if (std::strftime(stamp, sizeof stamp, "%y_%m_%d_ %H_%M_%S", &local) == 0)
        stamp[0] = 0;
    std::string folder = Settings.WorkFolder.GetText();
    if (!folder.empty() && folder.back() != '/')
        folder += '/';
    folder += stamp;
    // Two runs in the same second would share a folder and the second would overwrite the
    // first one's IMAGE_000...: a folder that already holds files gets a number.
    std::string unique = folder;
    std::error_code ec;
    for (int n = 2; std::filesystem::is_directory(unique, ec) && !std::filesystem::is_empty(unique, ec) && n < 1000;
         ++n)
        unique = folder + "_" + std::to_string(n);
    CFilePath path(unique + "/", true);
    bool ok = true;
    if (!path.Exists())
        ok = path.CreateFolder();
    RunFolder = path;
    return ok;
}
