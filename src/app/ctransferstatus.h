#pragma once
// The status record of a job: times, kind, counters, the file being written, a copy of
// the settings and the run's error. The card document owns one; jobs fill it; a copy
// travels in every status message (code 14).
#include <cstdint>
#include <string>

#include "app/cfilepath.h"
#include "app/csettings.h"
#include "jobs/cmsg.h"
#include "jobs/coledatetime.h"
#include "jobs/cobj.h"
#include "jobs/cstdlist.h"

// Status kinds.
namespace StatusKind {
constexpr int32_t FileStarted = 1;
constexpr int32_t FileFinished = 2;
constexpr int32_t Progress = 3;
constexpr int32_t Timed = 4;
// After a recovery's scan: what the card's file system and the file itself tell of a
// found file (FilePath): its camera name and when it was shot.
constexpr int32_t FileDescribed = 5;
constexpr int32_t JobStarted = 7;
constexpr int32_t JobEnded = 8;
}  // namespace StatusKind

// Job scopes.
namespace JobScope {
constexpr int32_t Recovery = 1;
constexpr int32_t Format = 3;
constexpr int32_t Erase = 4;
constexpr int32_t CardTest = 7;
constexpr int32_t Save = 9;
constexpr int32_t Transfer = 10;
constexpr int32_t Update = 16;
}  // namespace JobScope

class CTransferStatus : public CObj {
public:
    struct Timed {};
    // All fields as after Reset; does not send.
    CTransferStatus();
    // StartTime now, Kind 4.
    explicit CTransferStatus(Timed);
    CTransferStatus(const CTransferStatus& other);
    CTransferStatus& operator=(const CTransferStatus& other);
    // A sending record: a copy of the source with this kind and scope; destroying it
    // stamps EndTime and sends it as a TransferStatus message.
    CTransferStatus(const CTransferStatus& source, int32_t kind, int32_t scope);
    ~CTransferStatus() override;

    CObj* CreateNew() const override { return new CTransferStatus(); }
    void Reset() override;
    // Every field but FileSize and SendOnDestroy.
    void CopyFrom(const CObj& other) override;

    // Sends a status of this kind and scope at once (a sending record destroyed).
    void Send(int32_t kind, int32_t scope) const;
    // StartTime now, and the start of the elapsed time on the monotonic clock.
    void MarkStart();
    // The remaining time of the run from the bytes done so far; a zero span before any
    // byte is done. The elapsed time comes from the monotonic clock when MarkStart set
    // the start (else from StartTime).
    COleDateTimeSpan EstimateRemaining() const;
    // Makes this run's folder under the settings' work folder, named by the local time
    // ("%y_%m_%d_ %H_%M_%S"). False with ErrorText "Drive is not selected" when no card is
    // selected, or false when the folder cannot be created (RunFolder is set either way).
    bool MakeRunFolder();
    void SetError(const std::string& text);

    COleDateTime StartTime{0.0, COleDateTime::valid};
    double StartTick = -1;   // COleDateTime::MonotonicSeconds at MarkStart; -1 when unset
    COleDateTime EndTime{0.0, COleDateTime::valid};
    int32_t Kind = 0;
    uint32_t Flags1 = 0;
    CFilePath Path;
    CFilePath RunFolder;
    SettingsRecord Settings;
    uint32_t SelectedDrive = 0;
    uint32_t Flags2 = 1;
    CFilePath FilePath;
    uint64_t Capacity = 0;
    uint64_t BytesDone = 0;
    uint32_t FileSize = 0;
    // Block counts and positions are 64-bit: cards of 2^31 blocks and more (1 TB) exist.
    uint64_t BlockCount = 0;
    uint64_t CurrentBlock = 0;
    uint64_t BlocksProcessed = 0;
    uint32_t BlockSize = 0;
    uint32_t FileCount = 0;
    int32_t Scope = 0;
    uint32_t Reserved[3] = {};
    std::string ErrorText;
    bool HasError = false;
    bool SendOnDestroy = false;
    // Blocks that could not be read even one by one in this run (they count as zeros).
    uint64_t UnreadableBlocks = 0;
    // With FileDescribed: the file's name on the camera's card (empty when not known) and
    // the moment it was shot, in seconds since 1970 (0 when not known).
    std::string CameraName;
    int64_t ShotTime = 0;

private:
    void CopyFields(const CTransferStatus& other);
};

class CTransferStatusList : public CStdList<CTransferStatus> {};
