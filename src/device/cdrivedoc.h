#pragma once
// The card document: the drive list with the selected card and its description, the
// status record that jobs fill, and the found list of the last recovery. The pages and
// px3 go through it to list cards, select one, eject it, and save or discard what a
// recovery found.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/csettings.h"
#include "app/ctransferstatus.h"
#include "device/cdriveinfo.h"
#include "device/cfoundlist.h"
#include "jobs/cmsg.h"

// The rows and columns of a list control, as data: the wizard binds them to its control,
// px3 prints them.
struct CListColumn {
    std::string Title;
    int Width = 0;
};

struct CListView {
    int ExtendedStyle = 0;
    int HeaderStyle = 0;
    std::vector<CListColumn> Columns;
    std::vector<std::vector<std::string>> Rows;
    std::vector<char> RowLetters;   // the item data: the drive of each row (0 for none)
    int Selected = -1;              // the selected row, -1 for none
};

class CDriveDoc : public CListener {
public:
    CDriveDoc();
    ~CDriveDoc() override;
    CDriveDoc(const CDriveDoc&) = delete;
    CDriveDoc& operator=(const CDriveDoc&) = delete;

    // Rebuilds a drive list from the volume table, logging every drive.
    void LoadDriveInfo(CDriveInfoList& list);
    // Reloads the drive list (keeping the old one as the previous list), announces it and
    // selects the first card.
    void Reload();
    // Makes the card with this letter the selected one (0: none) and announces it.
    void SelectDrive(char letter);
    // Ejects the selected card and reloads; whether the eject request succeeded.
    bool EjectSelected();
    // True when no drive of the list qualifies as a card.
    bool HasNoCard() const;
    // The qualifying drives as the card list shows them; clientWidth sizes the last column.
    void FillDriveList(CListView& view, int clientWidth = 470) const;
    // The selected card's properties.
    void FillCardProperties(CListView& view, int clientWidth = 300) const;
    // Logs where the folder lies; true when it exists.
    bool CheckSaveFolder(const std::string& folder);
    // "FAT", "FAT32"... of the card at the letter; empty for 0 or on failure.
    std::string GetFileSystemName(char letter) const;

    // Saves the kept found files into the save folder (rename pass, then the run folder
    // moved), named by prefix, or by the camera's names where the card knew them and
    // cameraNames is set; true at once for an empty list.
    bool SaveFoundFiles(const std::string& prefix, bool cameraNames = true);
    // Deletes every found file of the last run and empties the list.
    void CleanFoundFiles();
    // Makes folder the save folder and clears the saved mark: the next save goes there.
    void SetSaveFolder(const std::string& folder);
    // Where the files of a save go or went: the save folder, and after a save (while the
    // saved mark is set) the folder that received them, the save folder joined with the
    // run folder's name.
    std::string DestinationFolder() const;
    // The save folder joined with the run folder's name: where the last save put (or the
    // next one puts) the files. Empty without a save folder or a run.
    std::string SaveTarget() const;
    // Puts a backup copy of folder on a recordable disc. The drive is the settings' "Burn
    // Drive", else the first one xorriso finds; none: the reason (CdBurner's text).
    // The folder's files are copied into the CD staging area, made empty first (through
    // the found list's CopyFolder); a failed copy ends the burn with its error text, and
    // a cancel request during the copy ends it with "Aborted by user": unlike the
    // desktop's CD wizard, the writing that follows asks nothing more. The writing is one
    // session of xorriso, with progress (scope 10, 0 to 100) and JobStarted and
    // JobFinished round it; a cancel request during it stops xorriso. The staging area is
    // removed whatever the outcome. True exactly when the writing succeeded; false with
    // the error text.
    bool BurnFolder(const std::string& folder);

    void OnMessage(CSingleMsg& msg) override;

    // Installs the found list (the recovery layer's).
    void SetFoundList(std::unique_ptr<CFoundList> list) { m_pFoundList = std::move(list); }
    CFoundList* FoundList() const { return m_pFoundList.get(); }

    char SelectedLetter() const { return m_SelectedLetter; }
    const CDriveInfo& SelectedInfo() const { return m_SelectedInfo; }
    bool SelectedLoaded() const { return m_bSelectedLoaded; }
    const CDriveInfoList& DriveList() const { return m_DriveList; }
    const CDriveInfoList& PreviousDriveList() const { return m_PreviousDriveList; }
    CTransferStatus& Status() { return m_Status; }
    SettingsRecord& Settings() { return m_Status.Settings; }
    const std::string& GetError() const { return m_strLastError; }
    bool IsSaved() const { return m_bSaved; }

private:
    std::string m_strLastError;
    char m_SelectedLetter = 0;
    CDriveInfo m_SelectedInfo;
    bool m_bSelectedLoaded = false;
    CDriveInfoList m_DriveList;
    CDriveInfoList m_PreviousDriveList;
    CTransferStatus m_Status;
    std::unique_ptr<CFoundList> m_pFoundList;
    bool m_bSaved = false;
    bool m_bCancelRequested = false;   // a Cancel (Value1 1) came during a burn's copy
};
