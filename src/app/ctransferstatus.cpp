#include "app/ctransferstatus.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "platform/lasterror.h"

CTransferStatus::CTransferStatus() { Reset(); }

CTransferStatus::CTransferStatus(Timed)
{
    Reset();
    MarkStart();
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
    StartTick = -1;
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
    CameraName.clear();
    ShotTime = 0;
}

void CTransferStatus::CopyFields(const CTransferStatus& other)
{
    StartTime = other.StartTime;
    StartTick = other.StartTick;
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
    CameraName = other.CameraName;
    ShotTime = other.ShotTime;
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

void CTransferStatus::MarkStart()
{
    StartTime = COleDateTime::Now();
    StartTick = COleDateTime::MonotonicSeconds();
}

COleDateTimeSpan CTransferStatus::EstimateRemaining() const
{
    COleDateTimeSpan elapsed;
    if (StartTick >= 0) {
        elapsed = COleDateTimeSpan::FromSeconds(COleDateTime::MonotonicSeconds() - StartTick);
    } else {
        const COleDateTime now = COleDateTime::Now();
        if (now.m_status != COleDateTime::valid || StartTime.m_status != COleDateTime::valid) {
            const bool null = now.m_status == COleDateTime::null || StartTime.m_status == COleDateTime::null;
            return COleDateTimeSpan(0.0, null ? COleDateTimeSpan::null : COleDateTimeSpan::invalid);
        }
        elapsed = COleDateTimeSpan(now.m_dt - StartTime.m_dt);
    }
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
    // The work folder first (with its parents), then the run folder with an exclusive
    // create: two runs started in the same second, or a name planted in a work folder
    // that others may write to (a link, say), never give a folder that is not this run's
    // own; the next "_N" is taken instead.
    CFilePath work(folder.substr(0, folder.size() - std::strlen(stamp)), true);
    bool ok = work.CreateFolder();
    std::string unique = folder;
    int error = 0;
    for (int n = 2; ok; ++n) {
        if (::mkdir(unique.c_str(), 0777) == 0)
            break;
        error = errno;
        if (error != EEXIST || n >= 10000) {
            ok = false;
            break;
        }
        unique = folder + "_" + std::to_string(n);
    }
    CFilePath path(unique + "/", true);
    if (!ok)
        path.SetError(error != 0 ? px::SystemErrorText(error) : work.GetError());
    RunFolder = path;
    return ok;
}
