#include "device/cdrivedoc.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "app/cfilepath.h"
#include "app/clogfile.h"
#include "app/progresstext.h"
#include "device/cdrivelistener.h"
#include "device/cdrivescsi.h"
#include "platform/cdburner.h"
#include "platform/lasterror.h"
#include "platform/volumetable.h"

namespace {

std::string LetterText(const char* format, char letter)
{
    char text[64];
    std::snprintf(text, sizeof text, format, letter);
    return text;
}

// The folder text without its trailing separator.
std::string WithoutTrailingSeparator(std::string text)
{
    while (text.size() > 1 && (text.back() == '/' || text.back() == '\\'))
        text.pop_back();
    return text;
}

std::string LastFolderName(const std::string& folder)
{
    const std::string text = WithoutTrailingSeparator(folder);
    const size_t slash = text.find_last_of("/\\");
    return slash == std::string::npos ? text : text.substr(slash + 1);
}

// The folder of a save: <save>/<run folder's name>, made empty here. An earlier run of the
// same second may have been saved there already; then the first "<name>_N" (N from 2)
// that is free in the save folder and beside the run folder is made, and the run folder
// takes that name, so that no two runs are merged into one folder (nor a retried save
// into what its failed attempt left, whose names the rename pass may give again). False
// with the reason.
bool MakeSaveTarget(std::string& source, const std::string& save, std::string& target, std::string& error)
{
    const std::string name = LastFolderName(source);
    const std::string parent = source.substr(0, source.size() - name.size());
    if (WithoutTrailingSeparator(parent) == save) {
        target = source;  // saved where it was made
        return true;
    }
    for (int n = 1; n < 10000; ++n) {
        const std::string unique = n == 1 ? name : name + "_" + std::to_string(n);
        target = save + "/" + unique;
        if (::mkdir(target.c_str(), 0777) != 0) {
            if (errno == EEXIST)
                continue;
            error = "Cannot create the folder " + target + ": " + px::SystemErrorText(errno);
            return false;
        }
        if (n == 1)
            return true;
        const std::string renamed = parent + unique;
        int renameError = 0;
        if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, renamed.c_str(), RENAME_NOREPLACE) != 0) {
            renameError = errno;
            struct stat st {};
            if (renameError == EINVAL)  // a work folder whose file system lacks the flag
                renameError = ::lstat(renamed.c_str(), &st) == 0 ? EEXIST
                              : ::rename(source.c_str(), renamed.c_str()) == 0 ? 0 : errno;
        }
        if (renameError == 0) {
            source = renamed;
            return true;
        }
        ::rmdir(target.c_str());
        if (renameError != EEXIST) {
            error = "Cannot rename " + source + " to " + renamed + ": " + px::SystemErrorText(renameError);
            return false;
        }
    }
    error = "No free folder name for " + name + " in " + save;
    return false;
}

}  // namespace

CDriveDoc::CDriveDoc()
{
    m_Status.Reset();
    Bus().AddListener("CDriveDoc", this);
}

CDriveDoc::~CDriveDoc() { Bus().RemoveListener(this); }

void CDriveDoc::OnMessage(CSingleMsg& msg)
{
    if (msg.Code == MsgCode::Cancel)
        m_bCancelRequested = msg.Value1.GetType() == CVariant::Type::I4 && msg.Value1.ToInt() == 1;
    if (msg.Code != MsgCode::TransferStatus)
        return;
    if (auto* status = dynamic_cast<CTransferStatus*>(msg.Attached); status && status->Kind == StatusKind::JobStarted)
        m_bSaved = false;
}

void CDriveDoc::LoadDriveInfo(CDriveInfoList& list)
{
    Log().BeginScope("LoadDriveInfo");
    list.Clear();
    const std::string roots = px::VolumeTable::Instance().LogicalDriveStrings();
    for (size_t i = 0; i + 3 < roots.size() && roots[i] != '\0'; i += 4) {
        const char letter = roots[i];
        CDriveScsi drive;
        if (!drive.OpenVolume(letter)) {
            Log().Outcome("-FAIL", "OpenMedia: " + LetterText(" Failed Drive '%c'", letter));
            continue;
        }
        CDriveInfo info;
        if (drive.ReadDriveInfo(info)) {
            list.Append(new CDriveInfo(info));
            Log().Outcome("-OK", "DriveLoad \r\n" + info.Report());
        } else {
            Log().Outcome("-FAIL", "ReadInfo: " + LetterText(" Failed Drive '%c'", letter));
            Log().Outcome("... ", "\r\n" + info.Report());
        }
        drive.Close();
    }
    Log().EndScope("LoadDriveInfo");
}

void CDriveDoc::Reload()
{
    std::unique_lock<std::mutex> lock(DeviceMutex(), std::defer_lock);
    if (RunningListener())
        lock.lock();
    m_SelectedLetter = 0;
    m_SelectedInfo.Reset();
    m_bSelectedLoaded = false;
    m_PreviousDriveList.CopyFrom(m_DriveList);
    LoadDriveInfo(m_DriveList);
    { CMsgSend changed(MsgCode::CardListChanged); }
    char first = 0;
    for (const CDriveInfo* info : m_DriveList) {
        if (info->IsCard()) {
            first = info->m_Letter;
            break;
        }
    }
    SelectDrive(first);
}

void CDriveDoc::SelectDrive(char letter)
{
    m_SelectedLetter = letter;
    m_SelectedInfo.Reset();
    m_bSelectedLoaded = false;
    if (letter != 0) {
        if (const CDriveInfo* known = m_DriveList.Find(letter)) {
            m_SelectedInfo.CopyInfo(*known);
            m_bSelectedLoaded = true;
        } else {
            CDriveScsi drive;
            if (drive.OpenVolume(letter) && drive.ReadDriveInfo(m_SelectedInfo)) {
                m_DriveList.Append(new CDriveInfo(m_SelectedInfo));
                m_bSelectedLoaded = true;
            } else {
                m_strLastError = drive.GetError();
                m_SelectedInfo.Reset();
            }
            drive.Close();
        }
    }
    m_Status.SelectedDrive = static_cast<uint32_t>(static_cast<unsigned char>(letter));
    m_Status.Capacity = static_cast<uint64_t>(std::max<int64_t>(0, m_SelectedInfo.DiskSize()));
    CMsgSend selected(MsgCode::CardSelected);
}

bool CDriveDoc::EjectSelected()
{
    if (m_SelectedLetter == 0)
        return false;
    CDriveScsi drive;
    bool ok = drive.OpenVolume(m_SelectedLetter) && drive.Eject();
    if (!ok)
        m_strLastError = drive.GetError();
    Reload();
    drive.Close();
    return ok;
}

bool CDriveDoc::HasNoCard() const
{
    for (const CDriveInfo* info : m_DriveList)
        if (info->IsCard())
            return false;
    return true;
}

void CDriveDoc::FillDriveList(CListView& view, int clientWidth) const
{
    if (view.Columns.empty()) {
        view.ExtendedStyle = 289;   // flat scroll bars, full-row select, grid lines
        view.Columns = {{"Drive", 55}, {"Device Type", 125}, {"Size", 105}, {"Vendor", 85}, {"Bus Type", clientWidth - 370}};
        view.HeaderStyle = 0x200;
    }
    view.Rows.clear();
    view.RowLetters.clear();
    view.Selected = -1;
    for (const CDriveInfo* info : m_DriveList) {
        if (!info->IsCard())
            continue;
        view.Rows.push_back({LetterText("%c:\\", info->m_Letter),
                             std::string(info->m_Descriptor.RemovableMedia == 1 ? "Removable" : "") + " " +
                                 DeviceNames::DeviceType(info->m_Descriptor.DeviceType),
                             SizeText(static_cast<uint64_t>(std::max<int64_t>(0, info->DiskSize()))), info->m_Descriptor.Vendor,
                             DeviceNames::BusType(info->m_Descriptor.BusType)});
        view.RowLetters.push_back(info->m_Letter);
    }
    if (m_SelectedLetter != 0 && m_DriveList.Find(m_SelectedLetter)) {
        for (size_t row = 0; row < view.RowLetters.size(); ++row)
            if (view.RowLetters[row] == m_SelectedLetter)
                view.Selected = static_cast<int>(row);
    } else if (view.Rows.size() == 1) {
        view.Selected = 0;
    }
}

void CDriveDoc::FillCardProperties(CListView& view, int clientWidth) const
{
    view.ExtendedStyle = 0x20;   // full-row select
    view.Columns = {{"Prop", 100}, {"Value", clientWidth - 100}};
    view.Rows.clear();
    view.RowLetters.clear();
    view.Selected = -1;
    if (m_SelectedLetter == 0) {
        view.Rows.push_back({"", "Card is not selected"});
        return;
    }
    const CDriveInfo& info = m_SelectedInfo;
    view.Rows = {
        {"Drive:", LetterText("%c:\\", m_SelectedLetter)},
        {"Capacity:", DeviceText::WithCommas(info.DiskSize())},
        {"Media:", info.MediaTypeText()},
        {"Blocks:", DeviceText::WithCommas(info.BlockCount())},
        {"Block Size:", std::to_string(info.BytesPerSector())},
        {"Reader Vendor:", info.m_Descriptor.Vendor},
        {"Reader Product:", info.m_Descriptor.Product},
        {"Reader Revision:", info.m_Descriptor.Revision},
        {"Bus:", DeviceNames::BusType(info.m_Descriptor.BusType)},
    };
}

bool CDriveDoc::CheckSaveFolder(const std::string& folder)
{
    const std::string scope = "Check Save Folder: " + folder;
    Log().BeginScope(scope);
    CFilePath path(folder, true);
    bool result = false;
    const std::string drive = path.GetDrive();
    if (drive.empty()) {
        Log().Outcome("-FAIL", "Drive Length < 1");
    } else {
        // A card is never mounted as a folder here: a folder's drive part names no card.
        const char letter = drive.size() >= 2 && drive[1] == ':' ? drive[0] : 0;
        if (letter == 0 || !m_DriveList.Find(letter))
            Log().Outcome("-FAIL", "Hard Drive Found");
        std::error_code ec;
        if (std::filesystem::is_directory(folder, ec)) {
            Log().Outcome("-OK", "Exists ==> " + folder);
            result = true;
        } else {
            Log().Outcome("-FAIL", "NOT Exists ==> " + folder);
        }
    }
    Log().EndScope(scope);
    return result;
}

std::string CDriveDoc::GetFileSystemName(char letter) const
{
    if (letter == 0)
        return {};
    return px::VolumeTable::Instance().FileSystemName(letter);
}

bool CDriveDoc::SaveFoundFiles(const std::string& prefix, bool cameraNames)
{
    if (!m_pFoundList || m_pFoundList->GetCount() == 0)
        return true;
    std::string source = WithoutTrailingSeparator(m_Status.RunFolder.GetText());
    std::string target = WithoutTrailingSeparator(m_Status.Settings.SaveFolder.GetText());
    if (target.empty()) {
        // Without a save folder the run would land in whatever folder is current.
        m_strLastError = "No save folder is chosen";
        return false;
    }
    {
        // Both ways of moving need the save folder to be there.
        std::error_code ec;
        std::filesystem::create_directories(target, ec);
    }
    std::string error;
    if (!m_pFoundList->SaveKept(prefix, error, cameraNames)) {
        m_strLastError = error;
        return false;
    }
    const std::string saveFolder = target;
    if (!MakeSaveTarget(source, saveFolder, target, error)) {
        m_strLastError = error;
        return false;
    }
    m_Status.RunFolder = CFilePath(source + "/", true);
    bool result = true;
    bool moved = false;
    // On one file system the run folder moves with one rename.
    if (!source.empty() && CFilePath::IsSameFileSystem(source, target)) {
        std::error_code ec;
        std::filesystem::rename(source, target, ec);
        moved = !ec;
    }
    if (!moved) {
        // The transfer makes <target>/<run folder name> itself: hand it the save folder, so
        // the files land where the rename would have put them. (Handing it the joined
        // target, whose parent does not exist yet, could only fail.)
        result = m_pFoundList->MoveFolder(source, saveFolder, error);
        if (result) {
            std::error_code ec;
            std::filesystem::remove(source, ec);
        } else {
            m_strLastError = error;
        }
    }
    m_pFoundList->Clear();
    m_bSaved = true;
    return result;
}

void CDriveDoc::SetSaveFolder(const std::string& folder)
{
    m_Status.Settings.SaveFolder.SetPath(folder, true);
    m_bSaved = false;
}

std::string CDriveDoc::SaveTarget() const
{
    const std::string save = WithoutTrailingSeparator(m_Status.Settings.SaveFolder.GetText());
    const std::string run = LastFolderName(WithoutTrailingSeparator(m_Status.RunFolder.GetText()));
    return save.empty() || run.empty() ? std::string() : save + "/" + run;
}

std::string CDriveDoc::DestinationFolder() const
{
    const std::string target = m_bSaved ? SaveTarget() : std::string();
    return target.empty() ? WithoutTrailingSeparator(m_Status.Settings.SaveFolder.GetText()) : target;
}

void CDriveDoc::CleanFoundFiles()
{
    if (!m_pFoundList)
        return;
    std::string error;
    if (!m_pFoundList->CleanAll(error))
        m_strLastError = error;
    m_pFoundList->Clear();
}

bool CDriveDoc::BurnFolder(const std::string& folder)
{
    std::string drive;
    std::string error;
    const std::string configured = TheSettings() ? TheSettings()->GetBurnDrive() : std::string();
    if (!px::CdBurner::FindRecordableDrive(configured, drive, error)) {
        m_strLastError = error;
        return false;
    }
    std::string staging;
    if (!px::CdBurner::StagingArea(staging, error)) {
        m_strLastError = error;
        return false;
    }
    // Written, failed or cancelled: no copy of the pictures stays behind for the next disc.
    const std::unique_ptr<const std::string, void (*)(const std::string*)> removeStaging(
        &staging, [](const std::string* folder) { px::CdBurner::RemoveStaging(*folder); });
    Log().Info("Burn " + folder + " with " + drive);
    m_bCancelRequested = false;
    std::string copyError;
    const bool copied = m_pFoundList && m_pFoundList->CopyFolder(folder, staging, copyError);
    if (m_bCancelRequested) {
        m_strLastError = "Aborted by user";
        return false;
    }
    // No desktop wizard shows the staged files before the write here: a disc that lacks
    // some of them must not be written and called a success.
    if (!copied) {
        m_strLastError = copyError.empty() ? std::string("Copy file error") : copyError;
        Log().Outcome("-FAIL", "Burn ==> " + m_strLastError);
        return false;
    }

    CMsgRun run;
    {
        CMsgProgress range(0, JobScope::Transfer, ProgressStep::Range, CVariant(100));
    }
    {
        CMsgProgress show(1, JobScope::Transfer, ProgressStep::Show);
    }
    std::string burnError;
    const bool burned = px::CdBurner::Burn(
        staging, drive,
        [](int percent) { CMsgProgress position(percent, JobScope::Transfer, "Writing " + std::to_string(percent) + "%"); },
        [this] { return m_bCancelRequested; }, burnError);
    {
        CMsgProgress finished(0, JobScope::Transfer, ProgressStep::Finished);
    }
    if (!burned) {
        m_strLastError = burnError;
        Log().Outcome("-FAIL", "Burn ==> " + m_strLastError);
    }
    return burned;
}
