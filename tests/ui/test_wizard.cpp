// The recovery pages as a photographer drives them: a whole recovery of a card with deleted
// files, the checks and their warnings, opening files from the grid, and the faults a
// card or a disk can throw in.
#include <gtest/gtest.h>

#include <QAccessible>

#include <filesystem>
#include <set>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>

#include "platform/volumetable.h"
#include "recovery/cfoundfiles.h"
#include "pagetest.h"
#include "support/fixtures.h"
#include "app/filetypes.h"
#include "ui/cfrmfiletypes.h"
#include "ui/cfrmfindimages.h"
#include "ui/cfrmpreviewimages.h"
#include "ui/cfrmsaveimages.h"
#include "ui/cfrmselectcard.h"
#include "ui/cpxmaindlg.h"
#include "ui/pagekit.h"

namespace fs = std::filesystem;
using px::test::Quote;

namespace {

// The save page's destination link.
constexpr int kLinkControl = 1084;

class Wizard : public PageTest {
protected:
    // A camera card with two pictures, a PNG, a TIFF, a GIF, three movies, two sounds and
    // a Fujifilm raw file, all deleted; the originals are copied out first.
    std::string MakeCard(const std::string& options = {})
    {
        const std::string card = home.File("card.img");
        px::test::MakeDemoCard(card, 24, "--pictures 2 --keep");
        std::vector<uint8_t> raw(96 * 1024);
        const char header[] = "FUJIFILMCCD-RAW 0201FF383501";
        std::copy(header, header + sizeof header - 1, raw.begin());
        for (size_t i = sizeof header; i < raw.size(); ++i)
            raw[i] = uint8_t((i * 2654435761u) >> 13);
        EXPECT_TRUE(px::test::WriteFile(home.File("DSCF0001.RAF"), raw));
        const std::string at = Quote(card + "@@1048576");
        EXPECT_EQ(px::test::Run("export MTOOLS_SKIP_CHECK=1; mcopy -i " + at + " " + Quote(home.File("DSCF0001.RAF")) +
                                " ::DCIM/100DEMO/ && mkdir -p " + Quote(originals) + " && mcopy -i " + at +
                                " '::DCIM/100DEMO/*' " + Quote(originals) + " && mdel -i " + at + " '::DCIM/100DEMO/*'"),
                  0);
        char letter = 0;
        std::string error;
        EXPECT_TRUE(px::VolumeTable::Instance().Attach(card + options, &letter, &error)) << error;
        return card;
    }
    template <class Page>
    Page* Current(CPXMainDlg& window)
    {
        auto* page = dynamic_cast<Page*>(window.Page(window.CurrentStep()));
        EXPECT_NE(page, nullptr) << "on step " << window.CurrentStep();
        return page;
    }
    static QString Status(CPXMainDlg& window) { return window.StatusLine()->Text(); }
    // Brand rows and file-type rows by their text.
    static void SelectBrand(QTreeWidget* list, const QString& name)
    {
        const auto items = list->findItems(name, Qt::MatchExactly);
        ASSERT_EQ(items.size(), 1) << name.toStdString();
        items.front()->setSelected(true);
    }
    static QListWidgetItem* TypeRow(QListWidget* list, const QString& extension)
    {
        const auto items = list->findItems(extension, Qt::MatchExactly);
        return items.size() == 1 ? items.front() : nullptr;
    }
    // Selects the card, all types of the Generic brand plus Fujifilm's raw files, and
    // scans; the window then shows the preview page.
    void ScanToPreview(CPXMainDlg& window)
    {
        window.Document().Reload();
        ASSERT_NE(Current<CFrmSelectCard>(window), nullptr);
        window.OnContinue();
        auto* types = Current<CFrmFileTypes>(window);
        ASSERT_NE(types, nullptr);
        SelectBrand(types->Cameras(), "Fuji");
        QListWidgetItem* raf = TypeRow(types->TypeList(CFrmFileTypes::Images), "raf");
        ASSERT_NE(raf, nullptr);
        raf->setCheckState(Qt::Checked);
        window.OnContinue();
        auto* find = Current<CFrmFindImages>(window);
        ASSERT_NE(find, nullptr);
        QTest::mouseClick(find->StartButton(), Qt::LeftButton);
        ASSERT_EQ(Status(window), "Finished");
        window.OnContinue();
        ASSERT_NE(Current<CFrmPreviewImages>(window), nullptr);
    }

    std::string originals = home.File("originals");
};

// The whole recovery: every file comes back whole under the prefix (the camera's names
// turned off), but the one whose keep mark the user cleared; nothing stays in the work
// folder; a second Save has nothing left.
TEST_F(Wizard, RecoversADeletedCardThroughThePages)
{
    MakeCard();
    CPXMainDlg window(services);
    ScanToPreview(window);
    auto* preview = Current<CFrmPreviewImages>(window);
    CThumbList& thumbs = static_cast<CFoundFiles*>(window.Document().FoundList())->Thumbs();
    const size_t found = thumbs.GetCount();
    ASSERT_EQ(found, 10u) << "2 JPEG, TIFF, GIF, 3 movies, 2 sounds and the raw file; PNG is not a Generic type";
    EXPECT_EQ(static_cast<CFrmFindImages*>(window.Page(Steps::FindImages))->Counter()->text(), QString::number(found));

    // The sixth cell starts the second row; a click on its keep square clears its mark.
    CThumb* sixth = thumbs.GetAt(5);
    EXPECT_EQ(sixth->GetCellPos(), QPoint(0, thumbs.GetParams().CellHeight));
    const std::string dropped = sixth->GetText();
    const QPoint click = CThumbViewer::KeepSquare(sixth->GetCellRect()).center();
    QTest::mouseClick(preview->Viewer()->viewport(), Qt::LeftButton, {}, click);
    EXPECT_FALSE(sixth->IsKept());
    EXPECT_TRUE(preview->Summary()->text().startsWith(QString("Selected: %1 items, ").arg(found - 1)))
        << preview->Summary()->text().toStdString();
    window.OnContinue();

    auto* save = Current<CFrmSaveImages>(window);
    ASSERT_NE(save, nullptr);
    const std::string target = home.File("Trip");
    fs::create_directories(target);
    services.folder = QString::fromStdString(target);
    QTest::mouseClick(save->SelectButton(), Qt::LeftButton);
    EXPECT_EQ(Status(window), "New destination folder selected");
    save->PrefixEdit()->selectAll();
    QTest::keyClicks(save->PrefixEdit(), "Holiday_2026");
    // The camera's names are kept unless the user says otherwise: here by the keyboard,
    // the box being the next stop after the prefix.
    EXPECT_TRUE(save->KeepNamesBox()->isChecked());
    EXPECT_EQ(save->KeepNamesBox()->accessibleName(), "Keep the camera's file names");
    EXPECT_EQ(save->PrefixEdit()->nextInFocusChain(), save->KeepNamesBox());
    QTest::keyClick(save->KeepNamesBox(), Qt::Key_Space);
    EXPECT_FALSE(save->KeepNamesBox()->isChecked());
    const std::string runFolder = window.Document().Status().RunFolder.GetText();
    QTest::mouseClick(save->SaveButton(), Qt::LeftButton);
    ASSERT_EQ(Status(window), "Finished");
    EXPECT_TRUE(save->BalloonText().startsWith("All selected images have been saved.\r\n"));
    // The balloon and the link name the run's folder the files went into, and the totals
    // stay those of the save.
    EXPECT_TRUE(save->BalloonText().endsWith(QString::fromStdString("Saved in: " + window.Document().SaveTarget())));
    EXPECT_EQ(save->Control(kLinkControl)->toolTip().toStdString(), window.Document().SaveTarget());
    EXPECT_EQ(qobject_cast<QLabel*>(save->Control(ControlId::TotalImages))->text(), QString::number(found - 1));

    // Byte for byte: each original is the start of a saved file (pictures may carry the
    // card's slack behind their end); movies and sounds end exactly.
    const std::string savedFolder = window.Document().DestinationFolder();
    ASSERT_EQ(savedFolder.rfind(target + "/", 0), 0u) << savedFolder;
    std::vector<std::vector<uint8_t>> saved;
    for (const auto& entry : fs::directory_iterator(savedFolder)) {
        EXPECT_EQ(entry.path().filename().string().rfind("Holiday_2026_", 0), 0u) << entry.path();
        saved.push_back(px::test::ReadFile(entry.path().string()));
    }
    EXPECT_EQ(saved.size(), found - 1);
    size_t whole = 0;
    for (const auto& entry : fs::directory_iterator(originals)) {
        const auto original = px::test::ReadFile(entry.path().string());
        for (const auto& bytes : saved)
            if (bytes.size() >= original.size() && std::equal(original.begin(), original.end(), bytes.begin())) {
                ++whole;
                break;
            }
    }
    EXPECT_EQ(whole, 9u) << "every original but the PNG (not selected) and the file unchecked";
    EXPECT_FALSE(fs::exists(runFolder)) << "the run folder moved away";
    EXPECT_FALSE(fs::exists(dropped)) << "a file not kept is deleted";
    EXPECT_EQ(window.Document().FoundList()->GetCount(), 0u);

    QTest::mouseClick(save->SaveButton(), Qt::LeftButton);
    EXPECT_EQ(save->BalloonText(), "There are no new files to save.");
    window.OnContinue();
    EXPECT_EQ(window.CurrentStep(), Steps::BurnImages) << "a saved run may go on to the CD";
}

// With the box left on, a file is saved under its camera name, a name taken twice gets
// " (2)", and a file whose name the card no longer knew is named by the prefix.
TEST_F(Wizard, SavesUnderTheCameraNames)
{
    MakeCard();
    CPXMainDlg window(services);
    ScanToPreview(window);
    CThumbList& thumbs = static_cast<CFoundFiles*>(window.Document().FoundList())->Thumbs();
    ASSERT_GE(thumbs.GetCount(), 4u);
    // Whatever the card told: the first file has no name, the next two the same one.
    const std::vector<std::string> paths = {thumbs.GetAt(0)->GetText(), thumbs.GetAt(1)->GetText(),
                                            thumbs.GetAt(2)->GetText()};
    thumbs.Describe(paths[0], "", 0);
    thumbs.Describe(paths[1], "IMG_0042.JPG", 0);
    thumbs.Describe(paths[2], "IMG_0042.JPG", 0);
    std::vector<std::vector<uint8_t>> bytes;
    for (const std::string& path : paths)
        bytes.push_back(px::test::ReadFile(path));
    std::set<std::string> named;
    for (size_t i = 3; i < thumbs.GetCount(); ++i)
        if (!thumbs.GetAt(i)->CameraName().empty())
            named.insert(thumbs.GetAt(i)->CameraName());
    window.OnContinue();

    auto* save = Current<CFrmSaveImages>(window);
    ASSERT_NE(save, nullptr);
    EXPECT_TRUE(save->KeepNamesBox()->isChecked());
    const std::string target = home.File("Names");
    fs::create_directories(target);
    services.folder = QString::fromStdString(target);
    QTest::mouseClick(save->SelectButton(), Qt::LeftButton);
    save->PrefixEdit()->selectAll();
    QTest::keyClicks(save->PrefixEdit(), "Shoot");
    QTest::mouseClick(save->SaveButton(), Qt::LeftButton);
    ASSERT_EQ(Status(window), "Finished");
    EXPECT_TRUE(save->KeepNamesBox()->isChecked());

    const fs::path folder = window.Document().DestinationFolder();
    const std::string nameless = "Shoot_000" + fs::path(paths[0]).extension().string();
    EXPECT_EQ(px::test::ReadFile((folder / nameless).string()), bytes[0]);
    EXPECT_EQ(px::test::ReadFile((folder / "IMG_0042.JPG").string()), bytes[1]);
    EXPECT_EQ(px::test::ReadFile((folder / "IMG_0042 (2).JPG").string()), bytes[2]);
    for (const std::string& name : named)
        EXPECT_TRUE(fs::exists(folder / name)) << name;
}

// The checks behind Continue and Save, each with its own warning, in their order.
TEST_F(Wizard, ChecksWarnInTheirOrder)
{
    MakeCard();
    CPXMainDlg window(services);
    window.Document().Reload();
    window.OnContinue();
    auto* types = Current<CFrmFileTypes>(window);
    ASSERT_NE(types, nullptr);
    // A brand whose categories are all switched off: every list is disabled, and the
    // check still reads the stored selection.
    for (auto c : {CFrmFileTypes::Images, CFrmFileTypes::Video, CFrmFileTypes::Audio})
        QTest::mouseClick(types->CategoryHeading(c), Qt::LeftButton);
    for (auto c : {CFrmFileTypes::Images, CFrmFileTypes::Video, CFrmFileTypes::Audio})
        EXPECT_FALSE(types->TypeList(c)->isEnabled());
    EXPECT_TRUE(types->CheckReady());
    for (auto c : {CFrmFileTypes::Images, CFrmFileTypes::Video, CFrmFileTypes::Audio})
        for (int i = 0; i < types->TypeList(c)->count(); ++i) {
            types->TypeList(c)->setEnabled(true);
            types->TypeList(c)->item(i)->setCheckState(Qt::Unchecked);
        }
    EXPECT_EQ(window.Document().Settings().FileTypes, 0u);
    EXPECT_FALSE(types->CheckReady());
    EXPECT_EQ(types->BalloonText(), "Please select a media file type for recovery");
    types->Cameras()->clearSelection();
    EXPECT_FALSE(types->CheckReady());
    EXPECT_EQ(types->BalloonText(), "Please select a camera type");
    SelectBrand(types->Cameras(), "Generic");
    TypeRow(types->TypeList(CFrmFileTypes::Images), "jpg")->setCheckState(Qt::Checked);
    // Select all types checks every listed type and switches every category on; a type's
    // accessibility toggle (its selection) turns its check mark over.
    QTest::mouseClick(types->SelectAllButton(), Qt::LeftButton);
    uint32_t listed = 0;
    for (auto c : {CFrmFileTypes::Images, CFrmFileTypes::Video, CFrmFileTypes::Audio}) {
        EXPECT_TRUE(types->TypeList(c)->isEnabled());
        for (int i = 0; i < types->TypeList(c)->count(); ++i) {
            EXPECT_EQ(types->TypeList(c)->item(i)->checkState(), Qt::Checked) << i;
            listed |= FileTypeTable()[types->TypeList(c)->item(i)->data(Qt::UserRole).toULongLong()].Bit;
        }
    }
    EXPECT_EQ(window.Document().Settings().FileTypes, listed);
    QAccessibleInterface* mp3 = QAccessible::queryAccessibleInterface(types->TypeList(CFrmFileTypes::Audio))->child(0);
    ASSERT_NE(mp3, nullptr);
    ASSERT_NE(mp3->actionInterface(), nullptr);
    EXPECT_TRUE(mp3->state().checked);
    mp3->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
    EXPECT_EQ(types->TypeList(CFrmFileTypes::Audio)->item(0)->checkState(), Qt::Unchecked);
    EXPECT_FALSE(mp3->state().checked);
    EXPECT_NE(window.Document().Settings().FileTypes, listed);
    window.OnContinue();

    // The find page: nothing scanned yet.
    auto* find = Current<CFrmFindImages>(window);
    ASSERT_NE(find, nullptr);
    window.OnContinue();
    EXPECT_EQ(window.CurrentStep(), Steps::FindImages);
    EXPECT_EQ(find->BalloonText(), "Please scan images before proceeding to next step");
    QTest::mouseClick(find->StartButton(), Qt::LeftButton);
    window.OnContinue();

    // Keep None: nothing to save, and the preview page says so.
    auto* preview = Current<CFrmPreviewImages>(window);
    ASSERT_NE(preview, nullptr);
    preview->KeepAll(false);
    EXPECT_EQ(preview->Summary()->text(), "Selected: 0 items, 0.0 B");
    window.OnContinue();
    EXPECT_EQ(preview->BalloonText(), "No files have been selected to save");
    preview->KeepAll(true);
    window.OnContinue();

    auto* save = Current<CFrmSaveImages>(window);
    ASSERT_NE(save, nullptr);
    window.OnContinue();
    EXPECT_EQ(save->BalloonText(), "Please save images before proceeding to next step");
    auto prefix = [&](const QString& text) {
        save->PrefixEdit()->selectAll();
        QTest::keyClicks(save->PrefixEdit(), text);
        if (text.isEmpty())
            QTest::keyClick(save->PrefixEdit(), Qt::Key_Delete);
        return save->CheckReady() ? QString() : save->BalloonText();
    };
    EXPECT_EQ(prefix(QString(60, 'a')), "");
    EXPECT_EQ(prefix(QString(61, 'a')), "File prefix is too long.");
    EXPECT_EQ(prefix("Day one"), "The character ' ' is not allowed in the file name prefix.");
    EXPECT_EQ(prefix("Day-one"), "The character '-' is not allowed in the file name prefix.");
    // Letters beyond ASCII (typed as an input method would: set as the field's text).
    const auto typed = [&](const QString& text) {
        save->PrefixEdit()->setText(text);
        return save->CheckReady() ? QString() : save->BalloonText();
    };
    EXPECT_EQ(typed(QString::fromUtf8("Caf\u00e9")), QString::fromUtf8("The character '\u00e9' is not allowed in the file name prefix."));
    // The limit is the save's own, in bytes of the file name: 31 two-byte letters are too long.
    EXPECT_EQ(typed(QString(31, QChar(0xe9))), "File prefix is too long.");
    EXPECT_EQ(prefix(""), "File prefix must be entered.");
    // A destination that is gone is refused before the prefix is looked at.
    const std::string gone = home.File("gone");
    fs::create_directories(gone);
    services.folder = QString::fromStdString(gone);
    QTest::mouseClick(save->SelectButton(), Qt::LeftButton);
    fs::remove(gone);
    EXPECT_EQ(prefix("Day one"), "Destination folder is illegal, please select correct destination folder.");
    window.Document().SetSaveFolder("");
    save->OnPageShow();
    EXPECT_EQ(prefix("Day"), "Destination folder does not exists.\r\nPlease select destination folder.");
}

// Opening files from the grid: a sound plays at once from where the scan wrote it; a
// picture opens in the viewer; a raw file shows its embedded preview or none.
TEST_F(Wizard, OpeningFilesFromTheGrid)
{
    CPXMainDlg window(services);
    auto* preview = dynamic_cast<CFrmPreviewImages*>(window.Page(Steps::PreviewImages));
    ASSERT_NE(preview, nullptr);
    const std::string sound = home.File("found/IMAGE_003.wav");
    fs::create_directories(home.File("found"));
    ASSERT_TRUE(px::test::WriteFile(sound, std::vector<uint8_t>(20000, 0x80)));
    CThumb thumb(sound);
    thumb.Exists();
    services.sincePlayRequest.start();
    preview->Open(thumb);
    ASSERT_EQ(services.played.size(), 1);
    EXPECT_EQ(services.played.front(), QString::fromStdString(sound));
    EXPECT_LT(services.playedAfterMs, 500);
    EXPECT_FALSE(QFile::exists(QDir::tempPath() + "/IMAGE_003.wav"));

    const std::string picture = home.File("found/IMAGE_000.png");
    QImage(40, 30, QImage::Format_RGB32).save(QString::fromStdString(picture));
    CThumb image(picture);
    preview->Open(image);
    EXPECT_TRUE(preview->ImageViewer()->isVisible());
    EXPECT_TRUE(preview->ImageViewer()->HasPicture());
    EXPECT_EQ(preview->ImageViewer()->windowTitle(), "IMAGE_000.png");
    // A file whose camera name is known is shown under it.
    image.SetCameraInfo("IMG_4711.PNG", 0);
    preview->Open(image);
    EXPECT_EQ(preview->ImageViewer()->windowTitle(), "IMG_4711.PNG");
    CMsgSend closeViewer(MsgCode::CloseViewer);
    EXPECT_FALSE(preview->ImageViewer()->isVisible());
    EXPECT_FALSE(preview->ImageViewer()->HasPicture());
    EXPECT_TRUE(services.opened.isEmpty());
}

// A card pulled during the scan: the reader's error in red, and the files found stay.
TEST_F(Wizard, ACardPulledDuringTheScanKeepsWhatWasFound)
{
    MakeCard(",pull=12");   // the scan reads ahead in mebibyte requests: 12 end it inside the card
    CPXMainDlg window(services);
    window.Document().Reload();
    window.OnContinue();
    window.OnContinue();
    auto* find = Current<CFrmFindImages>(window);
    ASSERT_NE(find, nullptr);
    QTest::mouseClick(find->StartButton(), Qt::LeftButton);
    EXPECT_TRUE(window.StatusLine()->IsError()) << Status(window).toStdString();
    EXPECT_NE(Status(window), "Finished");
    EXPECT_FALSE(find->ScanFinished());
    EXPECT_GT(window.Document().FoundList()->GetCount(), 0u) << "the files found before the pull stay";
    window.OnContinue();
    EXPECT_EQ(window.CurrentStep(), Steps::PreviewImages);
}

// A save into a file system that fills up shows the error; every file is somewhere.
TEST_F(Wizard, ASaveIntoAFullFileSystemLosesNoFile)
{
    MakeCard();
    CPXMainDlg window(services);
    ScanToPreview(window);
    const size_t found = window.Document().FoundList()->GetCount();
    window.OnContinue();
    auto* save = Current<CFrmSaveImages>(window);
    ASSERT_NE(save, nullptr);
    const std::string small = home.File("small");
    fs::create_directories(small);
    std::string out;
    ASSERT_EQ(px::test::Run("mount -t tmpfs -o size=256k tmpfs " + Quote(small) + " 2>&1", &out), 0) << out;
    struct Unmount {
        std::string path;
        ~Unmount() { px::test::Run("umount " + Quote(path)); }
    } unmount{small};
    services.folder = QString::fromStdString(small);
    QTest::mouseClick(save->SelectButton(), Qt::LeftButton);
    QTest::mouseClick(save->SaveButton(), Qt::LeftButton);
    EXPECT_TRUE(window.StatusLine()->IsError());
    EXPECT_NE(Status(window).indexOf("No space left on device"), -1) << Status(window).toStdString();
    size_t files = 0;
    for (const std::string& folder : {small, settings.GetWorkFolder()})
        for (const auto& entry : fs::recursive_directory_iterator(folder))
            files += entry.is_regular_file();
    EXPECT_EQ(files, found);
}

}  // namespace
