// The picture window's decoding: a JPEG decoded for the window's size first (an Exif
// orientation included), then at full size once the window is made larger; other
// formats whole. Pictures are made at test time with ImageMagick's convert.
#include <gtest/gtest.h>

#include <QScreen>
#include <QTest>

#include "recovery/cthumb.h"
#include "support/fixtures.h"
#include "support/qtapp.h"
#include "widgets/cimageviewerdlg.h"

using px::test::Quote;
using px::test::TempHome;

namespace {

class PictureWindow : public ::testing::Test {
protected:
    void SetUp() override { px::test::EnsureApplication(); }

    // A picture whose left half is red and right half blue, by ImageMagick; with an Exif
    // orientation (1 to 8) by exiftool when one is given.
    QString Picture(const std::string& name, QSize size, int orientation = 0)
    {
        const std::string path = m_home.File(name);
        const std::string half = std::to_string(size.width() / 2) + "x" + std::to_string(size.height());
        std::string output;
        EXPECT_EQ(px::test::Run("convert -size " + half + " xc:red -size " + half + " xc:blue +append " + Quote(path)
                                    + " 2>&1",
                                &output),
                  0)
            << output;
        if (orientation) {
            EXPECT_EQ(px::test::Run("exiftool -q -overwrite_original -Orientation#=" + std::to_string(orientation) + " "
                                        + Quote(path) + " 2>&1",
                                    &output),
                      0)
                << output;
        }
        return QString::fromStdString(path);
    }

    TempHome m_home;
};

}  // namespace

TEST_F(PictureWindow, JpegDecodedForTheBoxTurnedAsItsExifSays)
{
    const QString wide = Picture("IMAGE_100.JPG", {2400, 1600});
    QSize full;
    QImage picture = CImageViewerDlg::LoadPicture(wide, {300, 300}, &full);
    EXPECT_EQ(full, QSize(2400, 1600));
    EXPECT_EQ(picture.size(), QSize(300, 200));
    EXPECT_GT(picture.pixelColor(10, 100).red(), 240);
    EXPECT_GT(picture.pixelColor(290, 100).blue(), 240);

    // Stored 2400 x 1600, to be shown turned to the right: 1600 x 2400 upright, the red
    // half on top.
    const QString turned = Picture("IMAGE_101.JPG", {2400, 1600}, 6);
    picture = CImageViewerDlg::LoadPicture(turned, {300, 300}, &full);
    EXPECT_EQ(full, QSize(1600, 2400));
    EXPECT_EQ(picture.size(), QSize(200, 300));
    EXPECT_GT(picture.pixelColor(100, 10).red(), 240);
    EXPECT_GT(picture.pixelColor(100, 290).blue(), 240);

    // No box, a box larger than the picture, or another format: the whole picture.
    EXPECT_EQ(CImageViewerDlg::LoadPicture(wide).size(), QSize(2400, 1600));
    EXPECT_EQ(CImageViewerDlg::LoadPicture(wide, {5000, 5000}, &full).size(), QSize(2400, 1600));
    const QString png = Picture("IMAGE_102.png", {600, 400});
    EXPECT_EQ(CImageViewerDlg::LoadPicture(png, {60, 40}, &full).size(), QSize(600, 400));
    EXPECT_EQ(full, QSize(600, 400));
    // Nothing decodes: no size either.
    const std::string junk = m_home.File("IMAGE_103.JPG");
    ASSERT_TRUE(px::test::WriteFile(junk, std::vector<uint8_t>(3000, 0x5A)));
    EXPECT_TRUE(CImageViewerDlg::LoadPicture(QString::fromStdString(junk), {300, 300}, &full).isNull());
    EXPECT_FALSE(full.isValid());
}

TEST_F(PictureWindow, FirstShownReducedThenWholeWhenEnlarged)
{
    QWidget page;
    CImageViewerDlg viewer(&page);
    const QString path = Picture("IMAGE_104.JPG", {2400, 1600});
    ASSERT_TRUE(viewer.ShowPicture(path, "IMAGE_104.JPG"));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&viewer));
    EXPECT_EQ(viewer.PictureSize(), QSize(2400, 1600));
    // Placed as the whole picture would be, decoded no larger than the desktop's middle.
    const QSize middle = viewer.screen()->availableGeometry().size() / 2;
    EXPECT_EQ(viewer.size(), FitSize(QSize(2400, 1600), middle));
    const QSize first = viewer.DecodedSize();
    EXPECT_LE(first.width(), int(middle.width() * viewer.devicePixelRatioF()));
    EXPECT_LT(first.width(), 2400);

    // As large as the first decode: nothing more. Larger: the whole picture, drawn.
    viewer.resize(first / viewer.devicePixelRatioF());
    viewer.grab();
    EXPECT_EQ(viewer.DecodedSize(), first);
    viewer.resize(first.width() + 200, first.height() + 200);
    const QImage shot = viewer.grab().toImage();
    EXPECT_EQ(viewer.DecodedSize(), QSize(2400, 1600));
    EXPECT_GT(shot.pixelColor(20, shot.height() / 2).red(), 200);
    EXPECT_GT(shot.pixelColor(shot.width() - 20, shot.height() / 2).blue(), 200);

    // The next picture is decoded for the window as the user left it.
    const QString next = Picture("IMAGE_105.JPG", {2400, 1600});
    ASSERT_TRUE(viewer.ShowPicture(next, QString()));
    EXPECT_EQ(viewer.DecodedSize(), FitSize(QSize(2400, 1600), viewer.size() * viewer.devicePixelRatioF()));
}
