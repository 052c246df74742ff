#include "app/cstringtokenizer.h"
#include "app/csettings.h"

#include <unistd.h>

#include <QDir>
#include <QSettings>
#include <QStandardPaths>
#include <QString>
#include <QVariant>
#include <cctype>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "app/filetypes.h"

namespace {

const char* const Organisation = "Tolvex Media";
const char* const Application = "Pixsalvo3";
const char* const Section = "Settings";

const char* const KeyHome = "Home Folder";
const char* const KeyRecovered = "Recovered Folder";
const char* const KeySave = "Save Folder";
const char* const KeyBackup = "Card Backup Folder";
const char* const KeyHelp = "Help Folder";
const char* const KeyBits = "Bits";
const char* const KeyPrefix = "FilePrefix";
const char* const KeySize = "FileSize";
const char* const KeySupportMail = "Support Mail";
const char* const KeyUpdateServer = "Update Server";
const char* const KeyBurnDrive = "Burn Drive";

CSettings* g_settings = nullptr;

std::string Trim(const std::string& text) { return std::string(CStringTokenizer::Trim(text)); }

std::string StandardFolder(QStandardPaths::StandardLocation location, const char* fallbackName)
{
    QString folder = QStandardPaths::writableLocation(location);
    if (folder.isEmpty())
        folder = QDir::homePath() + "/" + fallbackName;
    return folder.toStdString();
}

bool IsDirectory(const std::filesystem::path& path)
{
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

uint32_t AllBrandBits()
{
    uint32_t bits = 0;
    for (const BrandRow& row : BrandTable())
        bits |= row.Bit;
    return bits;
}

uint32_t AllTypeBits()
{
    uint32_t bits = 0;
    for (const FileTypeRow& row : FileTypeTable())
        bits |= row.Bit;
    return bits;
}

// A stored value as text; a value that is no text (a list an editor left) reads empty.
std::string ReadText(QSettings& store, const char* key)
{
    const QVariant value = store.value(key);
    if (!value.isValid() || value.typeId() == QMetaType::QStringList || value.typeId() == QMetaType::QVariantList)
        return {};
    return value.toString().toStdString();
}

std::unique_ptr<QSettings> OpenStore(const std::string& file)
{
    auto store = file.empty() ? std::make_unique<QSettings>(Organisation, Application)
                              : std::make_unique<QSettings>(QString::fromStdString(file), QSettings::IniFormat);
    store->beginGroup(Section);
    return store;
}

}  // namespace

void CopySettings(const SettingsRecord& source, SettingsRecord& target)
{
    if (&source != &target)
        target = source;
}

int32_t TextToInt(const std::string& text)
{
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    int64_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > int64_t(INT_MAX) + 1)
            break;  // clamped below; further digits change nothing
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int32_t>(value);
}

std::string FormatBits(const SettingsRecord& record)
{
    std::string text;
    for (int32_t number : {static_cast<int32_t>(record.Brands), static_cast<int32_t>(record.FileTypes),
                           record.ExtraOption2, record.ShowPreview, record.ExtraOption1, record.ExtraOption3})
        text += std::to_string(number) + ";";
    return text;
}

void ParseBits(const std::string& text, SettingsRecord& record)
{
    int32_t numbers[6] = {};
    size_t start = 0;
    for (int n = 0; n < 6 && start <= text.size(); ++n) {
        size_t end = text.find(';', start);
        if (end == std::string::npos)
            end = text.size();
        numbers[n] = TextToInt(text.substr(start, end - start));
        start = end + 1;
    }
    record.Brands = static_cast<uint32_t>(numbers[0]) & AllBrandBits();
    record.FileTypes = static_cast<uint32_t>(numbers[1]) & AllTypeBits();
    record.ExtraOption2 = numbers[2];
    record.ShowPreview = numbers[3] != 0 ? 1 : 0;
    record.ExtraOption1 = numbers[4];
    record.ExtraOption3 = numbers[5];
    if (record.Brands == 0) {
        record.Brands = BrandBit::Generic;
        record.FileTypes = DefaultTypes(BrandBit::Generic);
    } else if (record.FileTypes == 0) {
        record.FileTypes = DefaultTypes(record.Brands);
    }
}

std::string DefaultFilePrefix(const std::tm& date)
{
    // English abbreviations, as the "C" locale gives them: a prefix must not change with
    // the desktop's language, and it becomes part of file names.
    static const char* const months[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const int month = date.tm_mon >= 0 && date.tm_mon < 12 ? date.tm_mon : 0;
    char text[64];
    std::snprintf(text, sizeof text, "Recovered_%s_%02d_%04d", months[month], date.tm_mday, date.tm_year + 1900);
    return text;
}

const std::vector<SkinPicture>& SkinPictures()
{
    static const std::vector<SkinPicture> pictures = {
        {"Splash", "/PX3Splash.jpg", -1},
        {"Bk Skin", "/PX3BG.png", -1},
        {"Recover Skin", "/RecoverSelect_#.png", 5},
        {"Tool Skin", "/ToolSelect_#.png", 2},
        {"StatLineW", "/StatusLine_Y.jpg", -1},
        {"StatLineR", "/StatusLine_B.jpg", -1},
        {"SelectON", "/RecoverSelectON.png", -1},
        {"TopInfoBG", "/TopInfoBG.png", -1},
        {"TopToolBG", "/TopToolBG.png", -1},
        {"VideoImg", "/VideoImage.png", -1},
        {"AudioImg", "/AudioImage.png", -1},
        {"NoImg", "/NoImage.png", -1},
        {"ClickSelect", "/ClickSelect.png", -1},
        {"TopBlue", "/TOP_BAR_BLUE.png", -1},
        {"TopYellow", "/TOP_BAR_YELLOW.png", -1},
        {"Magnify", "/Magnify.png", -1},
        {"MagnifyH", "/MagnifyHover.png", -1},
    };
    return pictures;
}

const SkinPicture& SkinPictureRow(SkinPictureId id)
{
    return SkinPictures().at(static_cast<size_t>(id));
}

std::vector<BrandListItem> BrandListItems(uint32_t brands)
{
    std::vector<BrandListItem> items;
    const auto table = BrandTable();
    for (size_t row = 0; row < table.size(); ++row)
        items.push_back({std::string(table[row].ShortName), row, table[row].Bit, (brands & table[row].Bit) != 0});
    return items;
}

uint32_t BrandsFromList(const std::vector<BrandListItem>& items)
{
    uint32_t brands = 0;
    for (const BrandListItem& item : items)
        if (item.Selected)
            brands |= item.Bit;
    return brands;
}

std::vector<TypeListItem> TypeListItems(uint32_t groupFilter, uint32_t offered, uint32_t selection)
{
    std::vector<TypeListItem> items;
    const auto table = FileTypeTable();
    for (size_t row = 0; row < table.size(); ++row) {
        const FileTypeRow& type = table[row];
        if ((type.Group & groupFilter) && (type.Bit & offered))
            items.push_back({std::string(type.Extension), row, type.Bit, (type.Bit & selection) != 0});
    }
    return items;
}

uint32_t FileTypesFromLists(const std::vector<TypeListItem>& pictures, const std::vector<TypeListItem>& videos,
                            const std::vector<TypeListItem>& sounds)
{
    uint32_t types = 0;
    for (const auto* list : {&pictures, &videos, &sounds})
        for (const TypeListItem& item : *list)
            if (item.Checked)
                types |= item.Bit;
    return types;
}

CSettings::CSettings() { g_settings = this; }

CSettings::~CSettings()
{
    if (g_settings == this)
        g_settings = nullptr;
}

CSettings* TheSettings() { return g_settings; }

std::string CSettings::JoinPath(const std::string& base, const std::string& name)
{
    std::string path = base;
    if (!path.empty() && (path.back() == '/' || path.back() == '\\'))
        path.pop_back();
    return path + name;
}

std::string CSettings::DocumentsFolder() { return StandardFolder(QStandardPaths::DocumentsLocation, "Documents"); }
std::string CSettings::PersonalFolder() { return DocumentsFolder(); }
std::string CSettings::PicturesFolder() { return StandardFolder(QStandardPaths::PicturesLocation, "Pictures"); }
std::string CSettings::DataFolder() { return JoinPath(PicturesFolder(), "/Pixsalvo"); }
std::string CSettings::LogFilePath() { return JoinPath(DocumentsFolder(), "/PX3Log.txt"); }
std::string CSettings::CardInfoPath() { return JoinPath(DataFolder(), "/Card Information.txt"); }
std::string CSettings::DefaultWorkFolder() { return JoinPath(PicturesFolder(), "/Pixsalvo/Tmp"); }
std::string CSettings::DefaultSaveFolder() { return JoinPath(PicturesFolder(), "/Pixsalvo/Recovered"); }
std::string CSettings::DefaultBackupFolder() { return JoinPath(PicturesFolder(), "/Pixsalvo/CardImages"); }

std::string CSettings::InstalledHomeFolder()
{
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const std::filesystem::path dir = exe.parent_path();
        if (IsDirectory(dir / "Skin"))
            return dir.string();
        const std::filesystem::path share = (dir / ".." / "share" / "pixsalvo3").lexically_normal();
        if (IsDirectory(share / "Skin"))
            return share.string();
    }
    const std::filesystem::path cwd = std::filesystem::current_path(error);
    return error ? std::string(".") : cwd.string();
}

std::string CSettings::GetHomeFolder() const
{
    return m_strHomeFolder.empty() ? InstalledHomeFolder() : m_strHomeFolder;
}

std::string CSettings::GetSkinFolder() const { return JoinPath(GetHomeFolder(), "/Skin"); }
std::string CSettings::GetHelpFile() const { return JoinPath(GetHomeFolder(), "/Help/PX3Help.html"); }

std::string CSettings::GetSkinFile(const SkinPicture& picture, int number) const
{
    std::string name = picture.File;
    if (const size_t hash = name.find('#'); hash != std::string::npos)
        name.replace(hash, 1, std::to_string(number));
    return JoinPath(GetSkinFolder(), name);
}

std::string CSettings::SkinFile(SkinPictureId id, int number) const
{
    return GetSkinFile(SkinPictureRow(id), number);
}

namespace {

// The folder of text, or the default when text is blank or not an absolute folder.
void SetFolderOrDefault(CFtpPath& folder, const std::string& text, const std::string& fallback)
{
    const std::string trimmed = Trim(text);
    if (!trimmed.empty()) {
        folder.SetPath(trimmed, true);
        if (!folder.GetDrive().empty())
            return;
    }
    folder.SetPath(fallback, true);
}

}  // namespace

void CSettings::SetWorkFolder(const std::string& text) { SetFolderOrDefault(m_record.WorkFolder, text, DefaultWorkFolder()); }
void CSettings::SetSaveFolder(const std::string& text) { SetFolderOrDefault(m_record.SaveFolder, text, DefaultSaveFolder()); }
void CSettings::SetBackupFolder(const std::string& text)
{
    SetFolderOrDefault(m_record.BackupFolder, text, DefaultBackupFolder());
}

void CSettings::ApplyDefaults()
{
    SettingsRecord& r = m_record;
    for (int i = 0; i < SettingsRecord::OptionCount; ++i)
        r.Options[i] = 0;
    r.Options[0] = r.Options[1] = r.Options[2] = 1;
    r.Options[9] = 1;
    r.ExtraOption1 = 0;
    r.ShowPreview = 0;
    r.Brands = BrandBit::Generic;
    r.FileTypes = 0;  // DefaultTypes of the brands once "Bits" is read (or missing)
    r.ExtraOption2 = 0;
    r.WorkFolder.SetPath(DefaultWorkFolder(), true);
    r.SaveFolder.SetPath(DefaultSaveFolder(), true);
    r.BackupFolder.SetPath(DefaultBackupFolder(), true);
    r.MaxFileSize = DefaultMaxFileSize;
    r.FilePrefix = DefaultFilePrefix(m_clock ? m_clock() : LocalNow());
    r.ExtraOption3 = 1;
}

void CSettings::EnsureFolder(CFtpPath& folder)
{
    const std::string text = folder.GetText();
    Log().BeginScope("CreateDirectory ==> " + text);
    if (folder.IsFolder()) {
        Log().Outcome(LogMark::Ok, "Exists ==> " + text);
        return;
    }
    const bool made = folder.CreateFolder();
    Log().Outcome(made ? LogMark::Ok : LogMark::Fail, "CreateDirectory ==> " + text);
    if (!made)
        Log().Info(folder.GetError());
}

bool CSettings::LoadSettings()
{
    bool result = true;
    ApplyDefaults();

    Log().BeginScope("LoadSettings");
    Log().Info("My Documents: " + DocumentsFolder());
    Log().Info("My Personal: " + PersonalFolder());
    Log().Info("My Pictures: " + PicturesFolder());
    Log().Info("Data DIR: " + DataFolder());
    Log().Info("Log Path: " + LogFilePath());
    Log().Info("Card Info Path: " + CardInfoPath());

    auto store = OpenStore(m_strStoreFile);

    const std::string home = ReadText(*store, KeyHome);
    Log().Info("Home: " + home);
    if (!Trim(home).empty()) {
        // A home folder that is not there would fail every picture check at start-up:
        // the installed one serves instead.
        if (IsDirectory(Trim(home))) {
            m_strHomeFolder = Trim(home);
        } else {
            // Kept for the next save: a folder on a disk that is not mounted today is
            // still the user's choice.
            m_strMissingHomeFolder = Trim(home);
            Log().Outcome(LogMark::Fail, "Home folder missing, using " + InstalledHomeFolder());
        }
    }

    const std::string recovered = ReadText(*store, KeyRecovered);
    Log().Info("Recovery folder: " + recovered);
    SetWorkFolder(recovered);

    const std::string save = ReadText(*store, KeySave);
    Log().Info("Save folder: " + save);
    SetSaveFolder(save);

    const std::string backup = ReadText(*store, KeyBackup);
    Log().Info("Backup folder: " + backup);
    SetBackupFolder(backup);

    const std::string help = ReadText(*store, KeyHelp);
    Log().Info("Help folder: " + help);
    if (!help.empty())
        m_strHelpFolder = help;
    else
        result = false;

    const std::string bits = ReadText(*store, KeyBits);
    Log().Info("Bits: " + bits);
    if (bits.empty()) {
        result = false;
        // No stored choice: Generic with its default types.
        m_record.FileTypes = DefaultTypes(m_record.Brands);
    } else {
        ParseBits(bits, m_record);
    }

    const std::string prefix = ReadText(*store, KeyPrefix);
    Log().Info("Prefix: " + prefix);
    if (prefix.empty())
        result = false;

    const int32_t size = TextToInt(ReadText(*store, KeySize));
    if (size > 0)
        m_record.MaxFileSize = size;

    // The services' addresses: a missing or blank value keeps the maker's.
    const std::string mail = Trim(ReadText(*store, KeySupportMail));
    m_strSupportMail = mail.empty() ? MakerAddress::SupportMail : mail;
    const std::string server = Trim(ReadText(*store, KeyUpdateServer));
    m_strUpdateServer = server.empty() ? MakerAddress::UpdateServer : server;
    m_strBurnDrive = Trim(ReadText(*store, KeyBurnDrive));

    EnsureFolder(m_record.WorkFolder);
    EnsureFolder(m_record.SaveFolder);
    EnsureFolder(m_record.BackupFolder);

    Log().EndScope("LoadSettings");
    return result;
}

bool CSettings::SaveSettings()
{
    auto store = OpenStore(m_strStoreFile);
    const auto put = [&](const char* key, const std::string& value) {
        store->setValue(key, QString::fromStdString(value));
    };
    put(KeyHome, m_strHomeFolder.empty() ? m_strMissingHomeFolder : m_strHomeFolder);
    put(KeyRecovered, m_record.WorkFolder.GetText());
    put(KeySave, m_record.SaveFolder.GetText());
    put(KeyBackup, m_record.BackupFolder.GetText());
    put(KeyHelp, m_strHelpFolder);
    put(KeyBits, FormatBits(m_record));
    put(KeyPrefix, m_record.FilePrefix);
    put(KeySize, std::to_string(m_record.MaxFileSize));
    put(KeySupportMail, m_strSupportMail);
    put(KeyUpdateServer, m_strUpdateServer);
    put(KeyBurnDrive, m_strBurnDrive);
    store->endGroup();
    // The store writes its file on sync; a folder or file it cannot write shows there.
    store->sync();
    return store->isWritable() && store->status() == QSettings::NoError;
}
