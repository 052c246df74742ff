// The skin that px3-makeskin paints: every picture that start-up checks and the menus can
// show, at the sizes the main window's layout gives them.
#include <gtest/gtest.h>

#include <QImage>
#include <QString>

#include "app/csettings.h"
#include "support/fixtures.h"

namespace {

TEST(Skin, EveryPictureAtItsLayoutSize)
{
    px::test::TempHome home;
    const std::string folder = home.File("Skin");
    ASSERT_EQ(px::test::Run("QT_QPA_PLATFORM=offscreen " + std::string(PX3_MAKESKIN_EXE) + " " + px::test::Quote(folder)),
              0);
    CSettings settings;
    settings.SetHomeFolderText(home.Path());
    auto load = [&](const std::string& file) { return QImage(QString::fromStdString(folder + file)); };
    // What start-up checks, in its order, with the numbered files.
    for (const SkinPicture& picture : SkinPictures()) {
        for (int n = 0; n <= std::max(picture.Last, 0); ++n) {
            const std::string path = settings.GetSkinFile(picture, n);
            EXPECT_FALSE(QImage(QString::fromStdString(path)).isNull()) << picture.Key << " " << path;
        }
    }
    // The menus also show the picture of "View all Tools" (6) and of Support and "Start
    // Recovery" in the tools menu (3, 4).
    for (const char* file : {"/RecoverSelect_6.png", "/ToolSelect_3.png", "/ToolSelect_4.png"})
        EXPECT_EQ(load(file).size(), QSize(160, 363)) << file;
    // The picture the window asks for by id is the file of that name, at its layout size.
    auto sized = [&](SkinPictureId id, const std::string& file) {
        EXPECT_EQ(settings.SkinFile(id), folder + file);
        return QImage(QString::fromStdString(settings.SkinFile(id))).size();
    };
    // The background sets the client area; the bars and the status line fill their places.
    EXPECT_EQ(sized(SkinPictureId::BkSkin, "/PX3BG.png"), QSize(693, 462));
    EXPECT_EQ(settings.SkinFile(SkinPictureId::RecoverSkin), folder + "/RecoverSelect_0.png");
    EXPECT_EQ(load("/RecoverSelect_0.png").size(), QSize(160, 462 - 94 - 5));
    EXPECT_EQ(sized(SkinPictureId::TopInfoBg, "/TopInfoBG.png"), QSize(693 - 4 - 167, 90));
    EXPECT_EQ(sized(SkinPictureId::TopToolBg, "/TopToolBG.png"), QSize(693 - 4 - 167, 120));
    EXPECT_EQ(sized(SkinPictureId::TopBlue, "/TOP_BAR_BLUE.png"), QSize(693 - 4 - 167, 35));
    EXPECT_EQ(sized(SkinPictureId::StatLineR, "/StatusLine_B.jpg"), QSize(693 - 166, 64));
    EXPECT_EQ(sized(SkinPictureId::StatLineW, "/StatusLine_Y.jpg"), QSize(693 - 166, 64));
}

}  // namespace
