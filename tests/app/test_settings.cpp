// Settings: defaults, the stored keys, "Bits", folders and fixed paths. Every test runs
// with HOME and XDG_CONFIG_HOME in one temporary folder of this test process, so the
// user's own settings, documents and pictures are never touched.
#include <gtest/gtest.h>

#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/csettings.h"
#include "app/filetypes.h"

namespace {

// QSettings keeps the configuration folder it saw first for the life of the process,
// so all tests share one temporary home, set before the first store is opened.
const std::string& TestHome()
{
    static QTemporaryDir dir;  // removed at the end of the test process
    static const std::string root = [] {
        const std::string path = dir.path().toStdString();
        ::setenv("HOME", path.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (path + "/config").c_str(), 1);
        ::unsetenv("XDG_DOCUMENTS_DIR");
        ::unsetenv("XDG_PICTURES_DIR");
        return path;
    }();
    return root;
}

std::tm SixthOfDecember2026()
{
    std::tm date {};
    date.tm_year = 2026 - 1900;
    date.tm_mon = 11;
    date.tm_mday = 6;
    date.tm_hour = 14;
    return date;
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_home = TestHome();
        QSettings("Tolvex Media", "Pixsalvo3").clear();
        std::filesystem::remove_all(m_home + "/Pictures");
        std::filesystem::remove_all(m_home + "/Documents");
        m_settings.SetClock(SixthOfDecember2026);
    }

    // Writes one key of the per-user store, as a hand-edited or older store would hold it.
    void Store(const char* key, const QVariant& value)
    {
        QSettings store("Tolvex Media", "Pixsalvo3");
        store.setValue(QString("Settings/") + key, value);
    }

    std::string m_home;
    CSettings m_settings;
};

}  // namespace

TEST_F(SettingsTest, FixedPathsFollowTheXdgFolders)
{
    EXPECT_EQ(CSettings::DocumentsFolder(), m_home + "/Documents");
    EXPECT_EQ(CSettings::LogFilePath(), m_home + "/Documents/PX3Log.txt");
    EXPECT_EQ(CSettings::PicturesFolder(), m_home + "/Pictures");
    EXPECT_EQ(CSettings::DataFolder(), m_home + "/Pictures/Pixsalvo");
    EXPECT_EQ(CSettings::CardInfoPath(), m_home + "/Pictures/Pixsalvo/Card Information.txt");
    EXPECT_EQ(CSettings::DefaultWorkFolder(), m_home + "/Pictures/Pixsalvo/Tmp");
    EXPECT_EQ(TheSettings(), &m_settings);

    // A home folder ending in a separator gives no doubled one.
    m_settings.SetHomeFolderText("/opt/pixsalvo3/");
    EXPECT_EQ(m_settings.GetSkinFolder(), "/opt/pixsalvo3/Skin");
    EXPECT_EQ(m_settings.GetHelpFile(), "/opt/pixsalvo3/Help/PX3Help.html");
    EXPECT_EQ(m_settings.SkinFile(SkinPictureId::RecoverSkin, 5), "/opt/pixsalvo3/Skin/RecoverSelect_5.png");
    EXPECT_EQ(m_settings.SkinFile(SkinPictureId::ToolSkin, 0), "/opt/pixsalvo3/Skin/ToolSelect_0.png");
    EXPECT_EQ(m_settings.SkinFile(SkinPictureId::MagnifyHover), "/opt/pixsalvo3/Skin/MagnifyHover.png");
    EXPECT_EQ(SkinPictures().size(), 17u);
    // Every id names its own row: the last one is the last row of the table.
    EXPECT_EQ(static_cast<size_t>(SkinPictureId::Count), SkinPictures().size());
    EXPECT_STREQ(SkinPictureRow(SkinPictureId::MagnifyHover).Key, "MagnifyH");

    // Without a stored home, and with no Skin/ beside the test program, the current
    // directory at the time of asking.
    m_settings.SetHomeFolderText("");
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(m_home);
    const std::string home = m_settings.GetHomeFolder();
    std::filesystem::current_path(previous);
    EXPECT_EQ(home, m_home);
}

TEST_F(SettingsTest, EmptyStoreLoadsDefaults)
{
    EXPECT_FALSE(m_settings.LoadSettings()) << "a first run has no Help Folder, Bits or FilePrefix";
    const SettingsRecord& r = m_settings.Record();
    EXPECT_EQ(r.Brands, BrandBit::Generic);
    EXPECT_EQ(r.FileTypes, DefaultTypes(BrandBit::Generic));
    EXPECT_EQ(r.FilePrefix, "Recovered_Dec_06_2026");
    EXPECT_EQ(r.MaxFileSize, 20000256);
    EXPECT_EQ(r.ShowPreview, 0);
    EXPECT_EQ(r.ExtraOption3, 1);
    const int32_t options[SettingsRecord::OptionCount] = {1, 1, 1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
    for (int i = 0; i < SettingsRecord::OptionCount; ++i)
        EXPECT_EQ(r.Options[i], options[i]) << "option " << i;
    EXPECT_EQ(m_settings.GetWorkFolder(), m_home + "/Pictures/Pixsalvo/Tmp");
    EXPECT_EQ(m_settings.GetSaveFolder(), m_home + "/Pictures/Pixsalvo/Recovered");
    EXPECT_EQ(m_settings.GetBackupFolder(), m_home + "/Pictures/Pixsalvo/CardImages");
    for (const char* folder : {"Tmp", "Recovered", "CardImages"})
        EXPECT_TRUE(std::filesystem::is_directory(m_home + "/Pictures/Pixsalvo/" + folder)) << folder;
}

TEST_F(SettingsTest, BitsExamples)
{
    SettingsRecord r;
    ParseBits("0;12;1;1;0;1;", r);
    EXPECT_EQ(r.Brands, BrandBit::Generic);
    EXPECT_EQ(r.FileTypes, DefaultTypes(BrandBit::Generic));
    EXPECT_EQ(r.ExtraOption2, 1);
    EXPECT_EQ(r.ShowPreview, 1);
    EXPECT_EQ(r.ExtraOption1, 0);
    EXPECT_EQ(r.ExtraOption3, 1);

    SettingsRecord s;
    s.ExtraOption3 = 1;
    ParseBits("4;0;", s);
    EXPECT_EQ(s.Brands, BrandBit::Nikon);
    EXPECT_EQ(s.FileTypes, DefaultTypes(BrandBit::Nikon));
    EXPECT_EQ(s.ExtraOption2, 0);
    EXPECT_EQ(s.ShowPreview, 0);
    EXPECT_EQ(s.ExtraOption1, 0);
    EXPECT_EQ(s.ExtraOption3, 0) << "a missing number reads 0";

    SettingsRecord defaults;
    defaults.Brands = BrandBit::Generic;
    defaults.FileTypes = 5;
    defaults.ExtraOption3 = 1;
    EXPECT_EQ(FormatBits(defaults), "2;5;0;0;0;1;");
    SettingsRecord back;
    ParseBits(FormatBits(defaults), back);
    EXPECT_EQ(FormatBits(back), "2;5;0;0;0;1;");

    // Garbage reads as defaults: no number, brands or types without a known bit.
    SettingsRecord garbage;
    ParseBits("abc;;x", garbage);
    EXPECT_EQ(garbage.Brands, BrandBit::Generic);
    EXPECT_EQ(garbage.FileTypes, DefaultTypes(BrandBit::Generic));
    ParseBits("1073741824;2;0;7;", garbage);  // bit 30 is no brand; 2 is no type bit
    EXPECT_EQ(garbage.Brands, BrandBit::Generic);
    EXPECT_EQ(garbage.FileTypes, DefaultTypes(BrandBit::Generic));
    EXPECT_EQ(garbage.ShowPreview, 1);
    ParseBits(" +8; 99999999999;", garbage);
    EXPECT_EQ(garbage.Brands, BrandBit::Canon);
    uint32_t everyType = 0;
    for (const FileTypeRow& row : FileTypeTable())
        everyType |= row.Bit;
    EXPECT_EQ(garbage.FileTypes, everyType) << "an overflowing number clamps to INT_MAX";

    EXPECT_EQ(TextToInt("  -5x"), -5);
    EXPECT_EQ(TextToInt("-99999999999"), INT32_MIN);
    EXPECT_EQ(TextToInt(""), 0);
}

TEST_F(SettingsTest, StoredValuesAreRead)
{
    Store("Bits", "4;0;");
    Store("Help Folder", "/usr/share/doc");
    Store("FilePrefix", "Holiday");
    Store("FileSize", "1000");
    Store("Save Folder", QString::fromStdString(m_home + "/Out//Here/"));
    EXPECT_TRUE(m_settings.LoadSettings());
    const SettingsRecord& r = m_settings.Record();
    EXPECT_EQ(r.Brands, BrandBit::Nikon);
    EXPECT_EQ(r.FileTypes, DefaultTypes(BrandBit::Nikon));
    EXPECT_EQ(r.MaxFileSize, 1000);
    EXPECT_EQ(r.FilePrefix, "Recovered_Dec_06_2026") << "the stored prefix does not replace the date default";
    EXPECT_EQ(m_settings.GetHelpFolderText(), "/usr/share/doc");
    EXPECT_EQ(m_settings.GetSaveFolder(), m_home + "/Out/Here/");
    EXPECT_TRUE(std::filesystem::is_directory(m_home + "/Out/Here"));

    for (const char* size : {"0", "-5", "abc"}) {
        Store("FileSize", size);
        m_settings.LoadSettings();
        EXPECT_EQ(m_settings.Record().MaxFileSize, 20000256) << size;
    }
}

TEST_F(SettingsTest, GarbageStoreLoadsDefaults)
{
    Store("Bits", QStringList {"1", "2"});         // a list, not a text
    Store("Recovered Folder", "relative/tmp");     // not absolute
    Store("Save Folder", "\\\\server\\share");     // a network form
    Store("Card Backup Folder", "   ");
    Store("Home Folder", "/no/such/home");
    Store("FileSize", "12abc");
    EXPECT_FALSE(m_settings.LoadSettings());
    const SettingsRecord& r = m_settings.Record();
    EXPECT_EQ(r.Brands, BrandBit::Generic);
    EXPECT_EQ(r.FileTypes, DefaultTypes(BrandBit::Generic));
    EXPECT_EQ(m_settings.GetWorkFolder(), CSettings::DefaultWorkFolder());
    EXPECT_EQ(m_settings.GetSaveFolder(), CSettings::DefaultSaveFolder());
    EXPECT_EQ(m_settings.GetBackupFolder(), CSettings::DefaultBackupFolder());
    EXPECT_EQ(m_settings.GetHomeFolderText(), "");
    EXPECT_EQ(r.MaxFileSize, 12) << "read like _wtoi: digits up to the first other character";
    // The missing home folder is not used, but not forgotten either: it may be on a disk
    // that is not mounted today.
    ASSERT_TRUE(m_settings.SaveSettings());
    EXPECT_EQ(QSettings("Tolvex Media", "Pixsalvo3").value("Settings/Home Folder").toString(), "/no/such/home");
}

TEST_F(SettingsTest, SetFolderTrimsAndRestoresDefault)
{
    m_settings.SetWorkFolder("  /srv/cards/tmp  ");
    EXPECT_EQ(m_settings.GetWorkFolder(), "/srv/cards/tmp");
    EXPECT_EQ(m_settings.Record().WorkFolder.GetDrive(), "/");
    m_settings.SetWorkFolder("  ");
    EXPECT_EQ(m_settings.GetWorkFolder(), CSettings::DefaultWorkFolder());
    m_settings.SetBackupFolder("file:///srv/images");
    EXPECT_EQ(m_settings.GetBackupFolder(), "/srv/images");
}

TEST_F(SettingsTest, SaveAndLoadAgain)
{
    ASSERT_FALSE(m_settings.LoadSettings());
    SettingsRecord& r = m_settings.Record();
    r.Brands = BrandBit::Canon | BrandBit::Sony;
    r.FileTypes = TypeBit::Jpg | TypeBit::Arw;
    r.ShowPreview = 1;
    r.ExtraOption1 = -3;
    r.MaxFileSize = 123456;
    m_settings.SetSaveFolder(m_home + "/Saved");
    m_settings.SetHelpFolderText(m_home + "/help");
    ASSERT_TRUE(m_settings.SaveSettings());

    // Values are text in the per-user file under XDG_CONFIG_HOME.
    const std::string file = m_home + "/config/Tolvex Media/Pixsalvo3.conf";
    ASSERT_TRUE(std::filesystem::exists(file));
    QSettings raw(QString::fromStdString(file), QSettings::IniFormat);
    EXPECT_EQ(raw.value("Settings/FileSize").toString(), "123456");
    EXPECT_EQ(raw.value("Settings/Bits").toString(), "65544;2097153;0;1;-3;1;");
    EXPECT_EQ(raw.value("Settings/Save Folder").toString().toStdString(), m_home + "/Saved");
    EXPECT_TRUE(raw.contains("Settings/Card Backup Folder"));
    EXPECT_TRUE(raw.contains("Settings/Home Folder"));

    CSettings again;
    again.SetClock(SixthOfDecember2026);
    EXPECT_TRUE(again.LoadSettings());
    EXPECT_EQ(FormatBits(again.Record()), FormatBits(r));
    EXPECT_EQ(again.Record().MaxFileSize, 123456);
    EXPECT_EQ(again.GetSaveFolder(), m_home + "/Saved");
    EXPECT_EQ(again.GetHelpFolderText(), m_home + "/help");
}

TEST_F(SettingsTest, UnwritableStoreFailsTheSave)
{
    std::ofstream(m_home + "/plainfile") << "x";
    m_settings.SetStoreFile(m_home + "/plainfile/Pixsalvo3.conf");
    m_settings.LoadSettings();
    EXPECT_FALSE(m_settings.SaveSettings());

    m_settings.SetStoreFile(m_home + "/other/Pixsalvo3.ini");
    EXPECT_TRUE(m_settings.SaveSettings());
    EXPECT_TRUE(std::filesystem::exists(m_home + "/other/Pixsalvo3.ini"));
}

TEST_F(SettingsTest, LoadLogsItsStepsAndFolderFailures)
{
    std::ofstream(m_home + "/blocker") << "x";
    Store("Recovered Folder", QString::fromStdString(m_home + "/blocker/tmp"));
    std::filesystem::create_directories(CSettings::DefaultSaveFolder());
    const std::string logPath = m_home + "/Documents/PX3Log.txt";
    Log().EnableFromCommandLine("LOG", "LOG");
    ASSERT_TRUE(Log().Open(CSettings::LogFilePath()));
    const bool result = m_settings.LoadSettings();
    Log().Close();
    Log().EnableFromCommandLine("", "LOG");
    EXPECT_FALSE(result);
    // The folder that cannot be made stays as stored; the other two exist.
    EXPECT_EQ(m_settings.GetWorkFolder(), m_home + "/blocker/tmp");
    EXPECT_TRUE(std::filesystem::is_directory(CSettings::DefaultSaveFolder()));

    const std::string log = ReadAll(logPath);
    const size_t start = log.find("-Start     : ");
    ASSERT_NE(start, std::string::npos);
    EXPECT_EQ(log.find("LoadSettings", start), start + 36);
    EXPECT_NE(log.find("My Pictures: " + m_home + "/Pictures"), std::string::npos);
    EXPECT_NE(log.find("Log Path: " + logPath), std::string::npos);
    EXPECT_NE(log.find("-FAIL      : "), std::string::npos);
    EXPECT_NE(log.find("CreateDirectory ==> " + m_home + "/blocker/tmp"), std::string::npos);
    EXPECT_NE(log.find("Exists ==> " + CSettings::DefaultSaveFolder()), std::string::npos);
    EXPECT_NE(log.find("-End      ", start), std::string::npos);
}

TEST_F(SettingsTest, BrandAndTypeLists)
{
    std::vector<BrandListItem> brands = BrandListItems(BrandBit::Nikon | BrandBit::Sony);
    ASSERT_EQ(brands.size(), 16u);
    EXPECT_EQ(brands.front().Name, "Generic");
    EXPECT_EQ(brands.back().Name, "Custom");
    EXPECT_EQ(brands[12].Name, "Sony");
    EXPECT_EQ(brands[12].Row, 12u);
    int selected = 0;
    for (const auto& item : brands)
        selected += item.Selected;
    EXPECT_EQ(selected, 2);
    EXPECT_EQ(BrandsFromList(brands), BrandBit::Nikon | BrandBit::Sony);
    brands[0].Selected = true;
    EXPECT_EQ(BrandsFromList(brands), BrandBit::Nikon | BrandBit::Sony | BrandBit::Generic);

    const uint32_t offered = OfferedTypes(BrandBit::Nikon);
    const uint32_t chosen = DefaultTypes(BrandBit::Nikon);
    const auto pictures = TypeListItems(TypeGroup::Picture | TypeGroup::RawPicture, offered, chosen);
    const auto videos = TypeListItems(TypeGroup::Video, offered, chosen);
    auto sounds = TypeListItems(TypeGroup::Sound, offered, chosen);
    auto names = [](const std::vector<TypeListItem>& list) {
        std::string text;
        for (const auto& item : list)
            text += item.Extension + (item.Checked ? "+ " : "- ");
        return text;
    };
    EXPECT_EQ(names(pictures), "jpg+ heic- nef+ dng- ");
    EXPECT_EQ(names(videos), "mov+ mp4- ");
    EXPECT_EQ(names(sounds), "mp3- au- wave+ ");
    EXPECT_EQ(FileTypesFromLists(pictures, videos, sounds), chosen);
    sounds[0].Checked = true;
    EXPECT_EQ(FileTypesFromLists(pictures, videos, sounds), chosen | TypeBit::Mp3);
}

TEST_F(SettingsTest, CopySettingsCopiesEveryField)
{
    m_settings.LoadSettings();
    SettingsRecord copy;
    CopySettings(m_settings.Record(), copy);
    EXPECT_EQ(copy.WorkFolder.GetText(), m_settings.GetWorkFolder());
    EXPECT_EQ(copy.FilePrefix, "Recovered_Dec_06_2026");
    EXPECT_EQ(FormatBits(copy), FormatBits(m_settings.Record()));
    EXPECT_EQ(copy.Options[9], 1);
    copy.WorkFolder.SetPath("/elsewhere", true);
    EXPECT_EQ(m_settings.GetWorkFolder(), m_home + "/Pictures/Pixsalvo/Tmp") << "the copy is independent";
}
