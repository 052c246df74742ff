#pragma once
// The user's persistent choices (camera brands and file types, the three working folders,
// the largest recovered file, the file name prefix) and every fixed path of the program.
//
// Store: QSettings("Tolvex Media", "Pixsalvo3"), group "Settings", every value as text
// ($XDG_CONFIG_HOME/Tolvex Media/Pixsalvo3.conf). Keys: "Home Folder", "Recovered Folder",
// "Save Folder", "Card Backup Folder", "Help Folder", "Bits", "FilePrefix", "FileSize".
//
// Folders on Linux: the documents folder (the log) and the pictures folder (work, save and
// backup folders) are the XDG ones from QStandardPaths, so the log is
// ~/Documents/PX3Log.txt and the work folder ~/Pictures/Pixsalvo/Tmp.
//
// How a front end (the wizard or px3) uses it, in this order:
//   CSettings settings;                        // publishes TheSettings()
//   Log().EnableFromCommandLine("LOG", "LOG");
//   Log().Open(CSettings::LogFilePath());
//   Log().StartApp("");
//   settings.LoadSettings();                   // false on a first run; defaults apply
//   ... copy settings.Record() into the card document, run, copy it back ...
//   settings.SaveSettings();
//   Log().ExitApp("");
//   Log().Close();
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "app/cfilepath.h"
#include "app/clogfile.h"

// The largest recovered file by default: a file stops growing beyond this many bytes.
constexpr int32_t DefaultMaxFileSize = 20000256;

// Persistent choices, copied by value into the card document and every job's status
// record. A fresh record is all zero and empty; LoadSettings applies the defaults.
struct SettingsRecord {
    // Options carried to the jobs and not persisted: the first three default to 1, the
    // tenth to 1, the others to 0.
    static constexpr int OptionCount = 13;
    int32_t Options[OptionCount] = {};
    int32_t ExtraOption1 = 0;   // persisted in "Bits" (fifth number)
    int32_t ShowPreview = 0;    // 0 or 1: "Show Preview" of the scan page; "Bits" (fourth)
    uint32_t Brands = 0;        // brand bits (BrandBit); "Bits" (first)
    uint32_t FileTypes = 0;     // file-type selection mask (TypeBit); "Bits" (second)
    int32_t ExtraOption2 = 0;   // "Bits" (third)
    CFtpPath WorkFolder;        // where recovery runs carve their files
    CFtpPath SaveFolder;        // destination offered for saving
    CFtpPath BackupFolder;      // folder for card images
    int32_t MaxFileSize = 0;    // bytes
    std::string FilePrefix;     // prefix of saved file names
    int32_t ExtraOption3 = 0;   // "Bits" (sixth)
};

// Copies every field of source into target, folders included.
void CopySettings(const SettingsRecord& source, SettingsRecord& target);

// The "Bits" text: Brands, FileTypes, the second extra option, ShowPreview, the first
// extra option, the third extra option, each as a signed decimal followed by ";".
// Defaults with file types 5 give "2;5;0;0;0;1;".
std::string FormatBits(const SettingsRecord& record);
// Reads a "Bits" text into record: numbers cut at ";", a missing number reads 0, each
// read like _wtoi (leading blanks, sign, digits up to the first other character, clamped
// to the 32-bit range). Then Brands without a known brand bit become Generic with its
// default types, and FileTypes without a known type bit become DefaultTypes(Brands).
// Unknown bits are dropped and ShowPreview is 0 or 1.
void ParseBits(const std::string& text, SettingsRecord& record);
// A number of a stored text by the _wtoi rules (0 for text without digits).
int32_t TextToInt(const std::string& text);
// "Recovered_%b_%d_%Y" of the date, month names in English whatever the locale:
// "Recovered_Dec_06_2026".
std::string DefaultFilePrefix(const std::tm& date);

// One picture file of the user interface, in the order start-up checks them: its key in
// the log, its file name in the skin folder, and for numbered files ("#" replaced by 0 up
// to and including Last) the last number; -1 for a single file.
// The maker's addresses: its web site (the About box, the support mail), its support page
// and the mail address support requests go to. They live on a reserved example domain
// until a reseller sets its own.
namespace MakerAddress {
constexpr const char* WebSite = "https://www.tolvex.example/";
constexpr const char* SupportPage = "https://www.tolvex.example/pxsupport/";
constexpr const char* SupportMail = "support@tolvex.example";
// The server of the update index and the installers (FTP, passive mode).
constexpr const char* UpdateServer = "ftp.tolvex.example";
}  // namespace MakerAddress

struct SkinPicture {
    const char* Key;
    const char* File;
    int Last;
};
// The rows of SkinPictures(), in its order; Count is the number of rows.
enum class SkinPictureId {
    Splash,        // PX3Splash.jpg
    BkSkin,        // PX3BG.png
    RecoverSkin,   // RecoverSelect_n.png, n 0..5
    ToolSkin,      // ToolSelect_n.png, n 0..2
    StatLineW,     // StatusLine_Y.jpg
    StatLineR,     // StatusLine_B.jpg
    SelectOn,      // RecoverSelectON.png
    TopInfoBg,     // TopInfoBG.png
    TopToolBg,     // TopToolBG.png
    VideoImg,      // VideoImage.png
    AudioImg,      // AudioImage.png
    NoImg,         // NoImage.png
    ClickSelect,   // ClickSelect.png
    TopBlue,       // TOP_BAR_BLUE.png
    TopYellow,     // TOP_BAR_YELLOW.png
    Magnify,       // Magnify.png
    MagnifyHover,  // MagnifyHover.png
    Count
};
const std::vector<SkinPicture>& SkinPictures();
// The row of SkinPictures() that id names.
const SkinPicture& SkinPictureRow(SkinPictureId id);

// One row of the brand list (column "Brand Name"): the brand's short name, its row in
// the brand table (the item's user value), its bit and whether it is selected.
struct BrandListItem {
    std::string Name;
    size_t Row;
    uint32_t Bit;
    bool Selected;
};
constexpr const char* BrandListTitle = "Brand Name";
// The 16 rows of the brand table in order, selected when their bit is in brands.
std::vector<BrandListItem> BrandListItems(uint32_t brands);
// The OR of the selected rows' brand bits.
uint32_t BrandsFromList(const std::vector<BrandListItem>& items);

// One row of a file-type check list: the extension as shown, its row in the file-type
// table (the item's user value), its bit and whether it is checked.
struct TypeListItem {
    std::string Extension;
    size_t Row;
    uint32_t Bit;
    bool Checked;
};
// The rows of the file-type table whose group is in groupFilter and whose bit is in
// offered, checked when their bit is in selection. The file-type page fills its picture
// list with filter 3, video with 4, sound with 8, each offered OfferedTypes(Brands).
std::vector<TypeListItem> TypeListItems(uint32_t groupFilter, uint32_t offered, uint32_t selection);
// The OR of the checked rows' bits of the three lists.
uint32_t FileTypesFromLists(const std::vector<TypeListItem>& pictures, const std::vector<TypeListItem>& videos,
                            const std::vector<TypeListItem>& sounds);

class CSettings {
public:
    // Publishes this object as TheSettings() (the program has exactly one).
    CSettings();
    ~CSettings();
    CSettings(const CSettings&) = delete;
    CSettings& operator=(const CSettings&) = delete;

    // Applies the defaults, reads every key (logging each, see the log), keeps a stored
    // home folder only when it is an existing folder, and makes sure the three folders
    // exist (a folder that cannot be made is logged "-FAIL" and kept). Garbage values read
    // as missing ones. True when "Help Folder", "Bits" and "FilePrefix" all had values;
    // a first run therefore returns false and still works with the defaults.
    bool LoadSettings();
    // Writes every key; true when the store took every value (false when it cannot be
    // written, such as an unwritable configuration folder).
    bool SaveSettings();

    SettingsRecord& Record() { return m_record; }
    const SettingsRecord& Record() const { return m_record; }

    std::string GetWorkFolder() const { return m_record.WorkFolder.GetText(); }
    std::string GetSaveFolder() const { return m_record.SaveFolder.GetText(); }
    std::string GetBackupFolder() const { return m_record.BackupFolder.GetText(); }
    // Take the text trimmed of surrounding blanks. Empty text restores that folder's
    // default, and so does a folder that is not absolute (a relative folder would follow
    // the current directory; a "\\server" form names nothing on Linux).
    void SetWorkFolder(const std::string& text);
    void SetSaveFolder(const std::string& text);
    void SetBackupFolder(const std::string& text);

    const std::string& GetHomeFolderText() const { return m_strHomeFolder; }
    void SetHomeFolderText(const std::string& text)
    {
        m_strHomeFolder = text;
        m_strMissingHomeFolder.clear();
    }
    const std::string& GetHelpFolderText() const { return m_strHelpFolder; }
    void SetHelpFolderText(const std::string& text) { m_strHelpFolder = text; }

    // The stored home folder; when empty, InstalledHomeFolder().
    std::string GetHomeFolder() const;
    std::string GetSkinFolder() const;  // home + "/Skin"
    std::string GetHelpFile() const;    // home + "/Help/PX3Help.html", the manual (a page for the desktop's browser)
    // Skin folder + the picture's file name, "#" replaced by number.
    std::string GetSkinFile(const SkinPicture& picture, int number = 0) const;
    // The file of the picture that id names, "#" replaced by number.
    std::string SkinFile(SkinPictureId id, int number = 0) const;

    // Fixed folders; none needs a CSettings object, so the log can open first.
    static std::string DocumentsFolder();     // XDG documents folder
    static std::string PersonalFolder();      // the same folder, as the log names it
    static std::string PicturesFolder();      // XDG pictures folder
    static std::string DataFolder();          // pictures + "/Pixsalvo"
    static std::string LogFilePath();         // documents + "/PX3Log.txt"
    static std::string CardInfoPath();        // data + "/Card Information.txt"
    static std::string DefaultWorkFolder();   // pictures + "/Pixsalvo/Tmp"
    static std::string DefaultSaveFolder();   // pictures + "/Pixsalvo/Recovered"
    static std::string DefaultBackupFolder(); // pictures + "/Pixsalvo/CardImages"
    // The folder that holds the installed Skin/ (and Help/): the program's own folder,
    // else its ../share/pixsalvo3; else the current directory at the time of asking.
    static std::string InstalledHomeFolder();
    // base with one trailing "/" or "\" removed, then name (which starts with "/").
    static std::string JoinPath(const std::string& base, const std::string& name);

    // The services' addresses, each its own key so that a reseller (or a test) can point
    // them elsewhere: "Support Mail", the address support requests go to (the maker's by
    // default); "Update Server", host[:port] of the update server (the maker's); "Burn
    // Drive", the recordable drive to write CDs with (empty: the first drive found).
    const std::string& GetSupportMail() const { return m_strSupportMail; }
    void SetSupportMail(const std::string& address) { m_strSupportMail = address; }
    const std::string& GetUpdateServer() const { return m_strUpdateServer; }
    void SetUpdateServer(const std::string& server) { m_strUpdateServer = server; }
    const std::string& GetBurnDrive() const { return m_strBurnDrive; }
    void SetBurnDrive(const std::string& drive) { m_strBurnDrive = drive; }

    // Uses an INI file at path instead of the per-user store (tests, portable setups);
    // empty restores the per-user store.
    void SetStoreFile(const std::string& path) { m_strStoreFile = path; }
    // Replaces the clock of the date in the default prefix; empty restores LocalNow.
    void SetClock(LocalClock clock) { m_clock = std::move(clock); }

private:
    void ApplyDefaults();
    void EnsureFolder(CFtpPath& folder);

    SettingsRecord m_record;
    std::string m_strHomeFolder;
    std::string m_strMissingHomeFolder;   // a stored home folder that does not exist now
    std::string m_strHelpFolder;
    std::string m_strStoreFile;
    std::string m_strSupportMail = MakerAddress::SupportMail;
    std::string m_strUpdateServer = MakerAddress::UpdateServer;
    std::string m_strBurnDrive;
    LocalClock m_clock;
};

// The program's settings object; null before it is constructed and after it is destroyed.
CSettings* TheSettings();
