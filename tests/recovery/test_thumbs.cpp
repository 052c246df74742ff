// The found list and its thumbnails: the fit rule, the cell parameters of the two lists,
// thumbnails of plain and camera JPEGs (Exif preview), camera raw files (LibRaw preview),
// placeholders, undecodable files, keep marks, hit testing and the worker pool.
// Pictures are made at test time with ImageMagick's convert and exiftool; the raw file is
// a minimal DNG written here, as no Debian tool writes one.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "app/clogfile.h"
#include "recovery/cthumb.h"
#include "recovery/cthumblist.h"
#include "recovery/movieframe.h"
#include "recovery/thumbnailer.h"
#include "support/fixtures.h"

using px::test::Quote;
using px::test::Run;
using px::test::TempHome;

namespace {

using Bytes = std::vector<uint8_t>;

void Shell(const std::string& command)
{
    std::string output;
    ASSERT_EQ(Run(command + " 2>&1", &output), 0) << command << "\n" << output;
}

// A picture of one colour, by ImageMagick.
void MakePicture(const std::string& path, int w, int h, const std::string& colour)
{
    Shell("convert -size " + std::to_string(w) + "x" + std::to_string(h) + " xc:" + colour + " " + Quote(path));
}

// Inserts preview as the Exif (IFD1) thumbnail of the JPEG at path.
void InsertExifPreview(const std::string& path, const std::string& preview)
{
    Shell("exiftool -q -overwrite_original " + Quote("-ThumbnailImage<=" + preview) + " " + Quote(path));
}

::testing::AssertionResult ColourNear(const QImage& image, int x, int y, QColor want, int tolerance = 40)
{
    if (image.isNull() || !image.rect().contains(x, y))
        return ::testing::AssertionFailure() << "no pixel at " << x << "," << y;
    const QColor got = image.pixelColor(x, y);
    if (std::abs(got.red() - want.red()) <= tolerance && std::abs(got.green() - want.green()) <= tolerance
        && std::abs(got.blue() - want.blue()) <= tolerance)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "pixel " << x << "," << y << " is " << got.red() << "," << got.green()
                                         << "," << got.blue() << ", want " << want.red() << "," << want.green()
                                         << "," << want.blue();
}

const QColor kBlack(0, 0, 0);
const QColor kWhite(255, 255, 255);
const QColor kRed(255, 0, 0);
const QColor kBlue(0, 0, 255);
const QColor kGreen(0, 255, 0);
const QColor kYellow(255, 255, 0);
const QColor kMagenta(255, 0, 255);

// ---- a minimal DNG: a 64 x 48 16-bit CFA picture with a JPEG preview in a sub-IFD ------

void Put16(Bytes& b, size_t at, uint32_t v)
{
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = uint8_t(v >> (8 * i));
}

struct TiffEntry {
    uint16_t Tag;
    uint16_t Type;  // 1 BYTE, 2 ASCII, 3 SHORT, 4 LONG, 10 SRATIONAL
    uint32_t Count;
    Bytes Value;    // little-endian, Count values
};

TiffEntry Short(uint16_t tag, std::initializer_list<uint16_t> values)
{
    TiffEntry e {tag, 3, uint32_t(values.size()), {}};
    for (uint16_t v : values) {
        e.Value.push_back(uint8_t(v));
        e.Value.push_back(uint8_t(v >> 8));
    }
    return e;
}
TiffEntry Long(uint16_t tag, uint32_t value)
{
    TiffEntry e {tag, 4, 1, Bytes(4)};
    Put32(e.Value, 0, value);
    return e;
}
TiffEntry ByteTag(uint16_t tag, std::initializer_list<uint8_t> values)
{
    return {tag, 1, uint32_t(values.size()), Bytes(values)};
}
TiffEntry Ascii(uint16_t tag, const std::string& text)
{
    Bytes v(text.begin(), text.end());
    v.push_back(0);
    return {tag, 2, uint32_t(v.size()), v};
}

// Writes a directory at the end of file, its long values after it; returns its offset.
// Entries are sorted by tag, as TIFF requires.
uint32_t AppendIfd(Bytes& file, std::vector<TiffEntry> entries)
{
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.Tag < b.Tag; });
    const uint32_t at = uint32_t(file.size());
    const size_t size = 2 + 12 * entries.size() + 4;
    file.resize(file.size() + size, 0);
    Put16(file, at, uint16_t(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        const TiffEntry& e = entries[i];
        const size_t slot = at + 2 + 12 * i;
        Put16(file, slot, e.Tag);
        Put16(file, slot + 2, e.Type);
        Put32(file, slot + 4, e.Count);
        if (e.Value.size() <= 4) {
            std::copy(e.Value.begin(), e.Value.end(), file.begin() + long(slot + 8));
        } else {
            const uint32_t where = uint32_t(file.size());
            file.insert(file.end(), e.Value.begin(), e.Value.end());
            if (file.size() % 2)
                file.push_back(0);
            Put32(file, slot + 8, where);
        }
    }
    return at;
}

// A DNG (version 1.4) whose raw picture is grey and whose preview is the given JPEG.
Bytes MakeDng(const Bytes& previewJpeg, int previewWidth, int previewHeight)
{
    constexpr uint32_t W = 64, H = 48;
    Bytes file = {'I', 'I', 42, 0, 0, 0, 0, 0};
    const uint32_t rawAt = uint32_t(file.size());
    file.resize(file.size() + W * H * 2, 0x40);
    const uint32_t jpegAt = uint32_t(file.size());
    file.insert(file.end(), previewJpeg.begin(), previewJpeg.end());
    if (file.size() % 2)
        file.push_back(0);

    const uint32_t preview = AppendIfd(file, {
        Long(254, 1),  // NewSubFileType: a reduced picture
        Long(256, uint32_t(previewWidth)), Long(257, uint32_t(previewHeight)),
        Short(258, {8, 8, 8}), Short(259, {7}), Short(262, {6}),  // 8-bit JPEG, YCbCr
        Long(273, jpegAt), Short(277, {3}), Long(278, uint32_t(previewHeight)),
        Long(279, uint32_t(previewJpeg.size())),
    });
    Bytes matrix;  // ColorMatrix1: the identity, as SRATIONAL n/10000
    for (int i = 0; i < 9; ++i) {
        const int32_t n = (i % 4 == 0) ? 10000 : 0;
        for (int32_t v : {n, 10000})
            for (int k = 0; k < 4; ++k)
                matrix.push_back(uint8_t(uint32_t(v) >> (8 * k)));
    }
    const uint32_t main = AppendIfd(file, {
        Long(254, 0), Long(256, W), Long(257, H), Short(258, {16}), Short(259, {1}),
        Short(262, {32803}),  // colour filter array
        Ascii(271, "Testmaker"), Ascii(272, "TestCam"),
        Long(273, rawAt), Short(277, {1}), Long(278, H), Long(279, W * H * 2), Short(284, {1}),
        Long(330, preview),  // SubIFDs
        Short(33421, {2, 2}), ByteTag(33422, {0, 1, 1, 2}),  // RGGB
        ByteTag(50706, {1, 4, 0, 0}),                        // DNGVersion
        TiffEntry {50721, 10, 9, matrix},
    });
    Put32(file, 4, main);
    return file;
}

// ---- a hand-made Exif segment -------------------------------------------------------

// FF D8, an APP1 Exif segment whose IFD1 names a thumbnail at thumbOffset (relative to
// the TIFF header) of thumbLength bytes, the thumbnail bytes, then a frame header of the
// given size.
Bytes ExifJpeg(bool bigEndian, uint32_t thumbOffset, uint32_t thumbLength, const Bytes& thumb, int w, int h)
{
    Bytes tiff(8 + 2 + 4 + 2 + 3 * 12 + 4, 0);
    auto p16 = [&](size_t at, uint32_t v) {
        if (bigEndian) {
            tiff[at] = uint8_t(v >> 8);
            tiff[at + 1] = uint8_t(v);
        } else {
            Put16(tiff, at, v);
        }
    };
    auto p32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            tiff[at + i] = uint8_t(v >> (bigEndian ? 8 * (3 - i) : 8 * i));
    };
    tiff[0] = tiff[1] = bigEndian ? 'M' : 'I';
    p16(2, 42);
    p32(4, 8);
    p16(8, 0);   // IFD0: no entries
    p32(10, 14); // next: IFD1
    p16(14, 3);
    const uint16_t tags[3] = {0x0103, 0x0201, 0x0202};
    const uint32_t values[3] = {6, thumbOffset, thumbLength};
    for (int i = 0; i < 3; ++i) {
        const size_t e = 16 + 12 * i;
        p16(e, tags[i]);
        p16(e + 2, i == 0 ? 3 : 4);
        p32(e + 4, 1);
        if (i == 0)
            p16(e + 8, values[i]);
        else
            p32(e + 8, values[i]);
    }
    tiff.insert(tiff.end(), thumb.begin(), thumb.end());

    Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
    jpeg.insert(jpeg.end(), tiff.begin(), tiff.end());
    const size_t length = jpeg.size() - 2 - 2;
    jpeg[4] = uint8_t(length >> 8);
    jpeg[5] = uint8_t(length);
    const Bytes sof = {0xFF, 0xC0, 0, 11, 8, uint8_t(h >> 8), uint8_t(h), uint8_t(w >> 8), uint8_t(w), 1, 1, 0x11, 0};
    jpeg.insert(jpeg.end(), sof.begin(), sof.end());
    return jpeg;
}

QByteArray ToQ(const Bytes& b) { return QByteArray(reinterpret_cast<const char*>(b.data()), qsizetype(b.size())); }

// ---- fixture ------------------------------------------------------------------------

class ThumbListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(m_home.File("Skin"));
        m_skin.Video = m_home.File("Skin/VideoImage.png");
        m_skin.Audio = m_home.File("Skin/AudioImage.png");
        m_skin.NoImage = m_home.File("Skin/NoImage.png");
    }

    void MakeSkin()
    {
        MakePicture(m_skin.Video, 64, 48, "yellow");
        MakePicture(m_skin.Audio, 64, 48, "lime");
        MakePicture(m_skin.NoImage, 64, 48, "magenta");
    }

    // The ready thumbnail of the only file of a fresh found list.
    CThumb* ThumbOf(CThumbList& list, const std::string& path)
    {
        list.SetPlaceholders(m_skin);
        EXPECT_TRUE(list.AddFile(path));
        EXPECT_TRUE(list.WaitForThumbnails(60000));
        CThumb* thumb = list.GetAt(list.GetCount() - 1);
        EXPECT_TRUE(thumb && thumb->IsThumbnailReady());
        return thumb;
    }

    std::string File(const std::string& name) const { return m_home.File(name); }

    // The thumbnail of path in a 94 x 78 inner area on black, made on this thread.
    ThumbImage Make(const std::string& path, qreal ratio = 1.0, CPlaceholderCache* cache = nullptr) const
    {
        ThumbRequest request;
        request.Path = path;
        request.Inner = QSize(94, 78);
        request.PixelRatio = ratio;
        request.Background = 0x000000;
        request.Placeholders = m_skin;
        return MakeThumbImage(request, cache);
    }

    // A one-second movie of w x h, its left half red and its right half blue, by ffmpeg.
    void MakeMovie(const std::string& path, const std::string& codec, int w = 320, int h = 240)
    {
        const std::string half = "s=" + std::to_string(w / 2) + "x" + std::to_string(h) + ":d=1";
        Shell("ffmpeg -nostdin -v error -y -filter_complex "
              + Quote("color=c=red:" + half + "[a];color=c=blue:" + half + "[b];[a][b]hstack,format=yuv420p") + " "
              + codec + " " + Quote(path));
    }

    TempHome m_home;
    ThumbPlaceholders m_skin;
};

}  // namespace

// ---- the fit rule and the cell parameters --------------------------------------------

TEST(ThumbFit, FitAndCentre)
{
    struct Case {
        QSize source, box;
        QRect want;
    };
    const Case cases[] = {
        // By width: 94 x 62.67 rounds to 63, accepted as 63 <= 78; centred at 0, 7.
        {{3000, 2000}, {94, 78}, {0, 7, 94, 63}},
        // Smaller than the box: its own size, centred.
        {{40, 30}, {94, 78}, {27, 24, 40, 30}},
        // Exactly the box: unchanged.
        {{94, 78}, {94, 78}, {0, 0, 94, 78}},
        // Portrait: the width try gives 141 > 78, so by height: 78 x 52.
        {{2000, 3000}, {94, 78}, {21, 0, 52, 78}},
        // Narrower than the box but too tall: by height, 78 x 36.66 rounds to 37.
        {{94, 200}, {94, 78}, {28, 0, 37, 78}},
        // Wider than the box but not taller: by width, 94 x 9.4 -> 9.
        {{400, 40}, {94, 78}, {0, 34, 94, 9}},
        // A half rounds up: 91 x 68.25 -> 68 in the grid's 91 x 76 area.
        {{4000, 3000}, {91, 76}, {0, 4, 91, 68}},
        // Degenerate sources and boxes.
        {{0, 100}, {94, 78}, {47, 39, 0, 0}},
        {{100, 0}, {94, 78}, {47, 39, 0, 0}},
        {{100, 100}, {0, 0}, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        const QRect got = FitRect(c.source, c.box);
        EXPECT_EQ(got, c.want) << c.source.width() << "x" << c.source.height() << " in " << c.box.width() << "x"
                               << c.box.height() << " gave " << got.x() << "," << got.y() << " " << got.width()
                               << "x" << got.height();
    }
}

TEST(ThumbFit, ListParameters)
{
    const CThumbParams found = CThumbParams::FoundList();
    EXPECT_EQ(found.InnerSize(), QSize(94, 78));
    EXPECT_EQ(found.Background, 0x000000u);
    EXPECT_EQ(found.MarginLeft, 2);
    EXPECT_EQ(found.MarginBottom, 16);
    const CThumbParams grid = CThumbParams::GridList();
    EXPECT_EQ(QSize(grid.CellWidth, grid.CellHeight), QSize(95, 95));
    EXPECT_EQ(grid.InnerSize(), QSize(91, 76));
    EXPECT_EQ(grid.Background, 0xFFFFFFu);
    // A thumbnail made without a list: 100 x 100, margins 5, 5, 5, 10, white.
    const CThumb lone("/nowhere/a.jpg");
    EXPECT_EQ(lone.GetParams().InnerSize(), QSize(90, 85));
    EXPECT_EQ(lone.GetParams().Background, 0xFFFFFFu);
    EXPECT_EQ(lone.GetInnerRect(), QRect(5, 5, 90, 85));
    // Margins larger than the cell leave no inner area rather than a negative one.
    CThumbParams tight;
    tight.CellWidth = 8;
    EXPECT_EQ(tight.InnerWidth(), 0);
}

// ---- pictures ------------------------------------------------------------------------

TEST_F(ThumbListTest, LargeJpegFitsByWidthCentred)
{
    const std::string path = File("IMAGE_000.JPG");
    MakePicture(path, 3000, 2000, "blue");
    CThumbList list;
    CThumb* thumb = ThumbOf(list, path);
    ASSERT_TRUE(thumb);
    const QImage bitmap = thumb->GetThumbnail();
    ASSERT_FALSE(bitmap.isNull());
    EXPECT_EQ(bitmap.size(), QSize(94, 78));
    EXPECT_EQ(bitmap.format(), QImage::Format_RGB16);
    EXPECT_EQ(thumb->GetPictureRect(), QRect(0, 7, 94, 63));
    // The picture inside its rectangle, the black background above and below it.
    EXPECT_TRUE(ColourNear(bitmap, 47, 38, kBlue));
    EXPECT_TRUE(ColourNear(bitmap, 0, 7, kBlue));
    EXPECT_TRUE(ColourNear(bitmap, 93, 69, kBlue));
    EXPECT_TRUE(ColourNear(bitmap, 47, 6, kBlack, 0));
    EXPECT_TRUE(ColourNear(bitmap, 47, 70, kBlack, 0));
    // Marked to keep, with the file's size.
    EXPECT_EQ(thumb->GetFlags(), ThumbFlag::Keep);
    EXPECT_EQ(list.CountKept(), 1u);
    EXPECT_EQ(list.KeptSize(), std::filesystem::file_size(path));
}

TEST_F(ThumbListTest, SmallPictureKeepsItsSizeOnTheBackground)
{
    const std::string path = File("small.png");
    MakePicture(path, 40, 30, "red");
    CThumbList list(CThumbParams::GridList());
    CThumb* thumb = ThumbOf(list, path);
    ASSERT_TRUE(thumb);
    const QImage bitmap = thumb->GetThumbnail();
    EXPECT_EQ(bitmap.size(), QSize(91, 76));
    EXPECT_EQ(thumb->GetPictureRect(), QRect(25, 23, 40, 30));
    EXPECT_TRUE(ColourNear(bitmap, 25, 23, kRed, 0));
    EXPECT_TRUE(ColourNear(bitmap, 64, 52, kRed, 0));
    EXPECT_TRUE(ColourNear(bitmap, 24, 23, kWhite, 0));
    EXPECT_TRUE(ColourNear(bitmap, 65, 52, kWhite, 0));
}

TEST_F(ThumbListTest, CameraJpegShowsItsExifPreview)
{
    // A red preview in a blue picture: the thumbnail shows red only if the preview made it.
    const std::string path = File("IMAGE_001.JPG");
    const std::string preview = File("preview.jpg");
    MakePicture(path, 1200, 900, "blue");
    MakePicture(preview, 160, 120, "red");
    InsertExifPreview(path, preview);

    ExifPreview exif;
    ASSERT_TRUE(ReadExifPreview(path, exif));
    EXPECT_EQ(exif.MainSize, QSize(1200, 900));
    EXPECT_EQ(QImage::fromData(exif.Jpeg).size(), QSize(160, 120));

    CThumbList list;
    CThumb* thumb = ThumbOf(list, path);
    ASSERT_TRUE(thumb);
    // Fitted from the main picture's size: 94 x 70.5 -> 71.
    EXPECT_EQ(thumb->GetPictureRect(), QRect(0, 3, 94, 71));
    const QImage bitmap = thumb->GetThumbnail();
    EXPECT_TRUE(ColourNear(bitmap, 47, 38, kRed));
    EXPECT_TRUE(ColourNear(bitmap, 2, 5, kRed));
}

TEST_F(ThumbListTest, LetterboxedPreviewIsCroppedToThePicture)
{
    // A 3:2 picture whose 160 x 120 preview carries black bars above and below.
    const std::string path = File("IMAGE_002.JPG");
    const std::string preview = File("bars.jpg");
    MakePicture(path, 1500, 1000, "blue");
    Shell("convert -size 160x107 xc:red -background black -gravity center -extent 160x120 " + Quote(preview));
    InsertExifPreview(path, preview);
    CThumbList list;
    CThumb* thumb = ThumbOf(list, path);
    ASSERT_TRUE(thumb);
    EXPECT_EQ(thumb->GetPictureRect(), QRect(0, 7, 94, 63));
    const QImage bitmap = thumb->GetThumbnail();
    // Red to the picture's top and bottom rows: no bar left inside.
    EXPECT_TRUE(ColourNear(bitmap, 47, 8, kRed, 60));
    EXPECT_TRUE(ColourNear(bitmap, 47, 68, kRed, 60));
    EXPECT_TRUE(ColourNear(bitmap, 47, 38, kRed));
}

TEST_F(ThumbListTest, PreviewTooSmallFallsBackToThePicture)
{
    const std::string path = File("IMAGE_003.JPG");
    const std::string preview = File("tiny.jpg");
    MakePicture(path, 1200, 900, "blue");
    MakePicture(preview, 40, 30, "red");
    InsertExifPreview(path, preview);
    CThumbList list;
    CThumb* thumb = ThumbOf(list, path);
    ASSERT_TRUE(thumb);
    EXPECT_TRUE(ColourNear(thumb->GetThumbnail(), 47, 38, kBlue));
}

TEST(ThumbExif, ParserChecksEveryOffset)
{
    const Bytes thumb = {0xFF, 0xD8, 0xFF, 0xD9};
    const uint32_t at = 8 + 2 + 4 + 2 + 36 + 4;  // right after IFD1
    ExifPreview preview;
    for (bool big : {false, true}) {
        ASSERT_TRUE(ParseExifPreview(ToQ(ExifJpeg(big, at, 4, thumb, 4000, 3000)), preview)) << big;
        EXPECT_EQ(preview.Jpeg, ToQ(thumb));
        EXPECT_EQ(preview.MainSize, QSize(4000, 3000));
    }
    // A thumbnail reaching one byte past the segment, one far away, or none at all.
    EXPECT_FALSE(ParseExifPreview(ToQ(ExifJpeg(false, at, 5, thumb, 40, 30)), preview));
    EXPECT_FALSE(ParseExifPreview(ToQ(ExifJpeg(false, 0xFFFFFFF0u, 4, thumb, 40, 30)), preview));
    EXPECT_FALSE(ParseExifPreview(ToQ(ExifJpeg(false, at, 0xFFFFFFFFu, thumb, 40, 30)), preview));
    EXPECT_FALSE(ParseExifPreview(ToQ(ExifJpeg(false, 0, 0, {}, 40, 30)), preview));
    // Bytes that are not a JPEG thumbnail.
    EXPECT_FALSE(ParseExifPreview(ToQ(ExifJpeg(false, at, 4, {1, 2, 3, 4}, 40, 30)), preview));
    // Every cut of a valid header, as a carved file may end anywhere.
    const Bytes whole = ExifJpeg(true, at, 4, thumb, 40, 30);
    for (size_t n = 0; n < whole.size(); ++n) {
        const QByteArray cut = ToQ(Bytes(whole.begin(), whole.begin() + long(n)));
        if (ParseExifPreview(cut, preview)) {
            EXPECT_EQ(preview.Jpeg, ToQ(thumb)) << n;
        }
    }
    EXPECT_FALSE(ParseExifPreview(QByteArray(), preview));
    EXPECT_FALSE(ParseExifPreview(QByteArray("\x89PNG\r\n\x1a\n", 8), preview));
}

// ---- camera raw files ----------------------------------------------------------------

TEST_F(ThumbListTest, RawFileShowsItsEmbeddedPreview)
{
    const std::string preview = File("raw-preview.jpg");
    MakePicture(preview, 160, 120, "red");
    const Bytes dng = MakeDng(px::test::ReadFile(preview), 160, 120);
    const std::string nef = File("IMAGE_004.NEF");
    ASSERT_TRUE(px::test::WriteFile(nef, dng));
    MakeSkin();

    QByteArray jpeg;
    QImage bitmap;
    ASSERT_TRUE(ReadRawPreview(nef, jpeg, bitmap));
    EXPECT_EQ(QImage::fromData(jpeg).size(), QSize(160, 120));

    CThumbList list;
    CThumb* thumb = ThumbOf(list, nef);
    ASSERT_TRUE(thumb);
    EXPECT_EQ(thumb->GetPictureRect(), QRect(0, 3, 94, 71));
    EXPECT_TRUE(ColourNear(thumb->GetThumbnail(), 47, 38, kRed));

    // The same raw file under other raw extensions, and carved as a TIFF (the recovery
    // finds a CR2 as one).
    for (const char* name : {"IMAGE_005.CR2", "IMAGE_006.dng", "IMAGE_007.TIF"}) {
        ASSERT_TRUE(px::test::WriteFile(File(name), dng));
        CThumb* other = ThumbOf(list, File(name));
        ASSERT_TRUE(other);
        EXPECT_TRUE(ColourNear(other->GetThumbnail(), 47, 38, kRed)) << name;
    }
}

TEST_F(ThumbListTest, RawFileWithoutPreviewShowsNoImage)
{
    MakeSkin();
    Bytes junk(4096);
    for (size_t i = 0; i < junk.size(); ++i)
        junk[i] = uint8_t(i * 7 + 3);
    ASSERT_TRUE(px::test::WriteFile(File("IMAGE_008.NEF"), junk));
    QByteArray jpeg;
    QImage bitmap;
    EXPECT_FALSE(ReadRawPreview(File("IMAGE_008.NEF"), jpeg, bitmap));
    CThumbList list;
    CThumb* thumb = ThumbOf(list, File("IMAGE_008.NEF"));
    ASSERT_TRUE(thumb);
    EXPECT_TRUE(ColourNear(thumb->GetThumbnail(), 47, 38, kMagenta, 0));
}

// ---- placeholders and failures -------------------------------------------------------

TEST_F(ThumbListTest, PlaceholdersForMoviesSoundsAndUnknownFiles)
{
    MakeSkin();
    const Bytes some(1000, 0x11);
    struct Case {
        const char* name;
        QColor colour;
    };
    const Case cases[] = {
        {"song.mp3", kGreen}, {"take.WAV", kGreen}, {"clip.MOV", kYellow}, {"movie(1).avi", kYellow},
        {"data.xyz", kMagenta}, {"IMAGE_009.JPG", kMagenta},  // a JPEG name on bytes that are none
        {"noext", kMagenta},
    };
    CThumbList list;
    for (const Case& c : cases) {
        ASSERT_TRUE(px::test::WriteFile(File(c.name), some));
        CThumb* thumb = ThumbOf(list, File(c.name));
        ASSERT_TRUE(thumb);
        const QImage bitmap = thumb->GetThumbnail();
        EXPECT_EQ(bitmap.size(), QSize(94, 78)) << c.name;
        // The 64 x 48 skin picture at its own size, centred.
        EXPECT_EQ(thumb->GetPictureRect(), QRect(15, 15, 64, 48)) << c.name;
        EXPECT_TRUE(ColourNear(bitmap, 47, 38, c.colour, 0)) << c.name;
        EXPECT_TRUE(thumb->IsKept()) << c.name;
    }
    EXPECT_EQ(list.CountKept(), std::size(cases));
    EXPECT_EQ(list.KeptSize(), std::size(cases) * some.size());
}

TEST_F(ThumbListTest, MissingSkinPicturesAreDrawn)
{
    // No skin files: the stand-in drawings, one per kind, each more than a flat fill.
    for (const char* name : {"a.mov", "b.wav", "c.bin"})
        ASSERT_TRUE(px::test::WriteFile(File(name), {1, 2, 3}));
    CThumbList list;
    std::vector<QImage> bitmaps;
    for (const char* name : {"a.mov", "b.wav", "c.bin"}) {
        CThumb* thumb = ThumbOf(list, File(name));
        ASSERT_TRUE(thumb);
        EXPECT_EQ(thumb->GetPictureRect(), QRect(7, 9, 80, 60)) << name;
        bitmaps.push_back(thumb->GetThumbnail());
        std::set<QRgb> colours;
        for (int y = 0; y < 78; ++y)
            for (int x = 0; x < 94; ++x)
                colours.insert(bitmaps.back().pixel(x, y));
        EXPECT_GE(colours.size(), 3u) << name;
    }
    EXPECT_NE(bitmaps[0], bitmaps[1]);
    EXPECT_NE(bitmaps[1], bitmaps[2]);
    EXPECT_NE(bitmaps[0], bitmaps[2]);
}

TEST_F(ThumbListTest, PictureWhoseDataDoesNotDecodeGetsABlankBitmap)
{
    // A PNG whose header reads but whose picture data is damaged.
    const std::string path = File("IMAGE_010.png");
    Shell("convert -size 200x100 plasma:fractal " + Quote(path));
    Bytes png = px::test::ReadFile(path);
    ASSERT_GT(png.size(), 400u);
    for (size_t i = png.size() / 2; i < png.size() / 2 + 64; ++i)
        png[i] ^= 0x5A;
    ASSERT_TRUE(px::test::WriteFile(path, png));
    MakeSkin();

    const std::string logPath = File("Documents/PX3Log.txt");
    Log().EnableFromCommandLine("LOG", "LOG");
    ASSERT_TRUE(Log().Open(logPath));
    CThumbList list;
    CThumb* thumb = ThumbOf(list, path);
    const std::string good = File("good.png");
    MakePicture(good, 20, 20, "red");
    ThumbOf(list, good);
    Log().Close();
    Log().EnableFromCommandLine("", "LOG");

    ASSERT_TRUE(thumb);
    const QImage bitmap = thumb->GetThumbnail();
    ASSERT_FALSE(bitmap.isNull());
    EXPECT_EQ(bitmap.size(), QSize(94, 78));
    EXPECT_TRUE(thumb->GetPictureRect().isEmpty());
    for (int y = 0; y < 78; ++y)
        for (int x = 0; x < 94; ++x)
            ASSERT_EQ(bitmap.pixel(x, y), qRgb(0, 0, 0)) << x << "," << y;
    EXPECT_TRUE(thumb->IsKept());

    std::ifstream in(logPath);
    std::stringstream text;
    text << in.rdbuf();
    const std::string log = text.str();
    EXPECT_NE(log.find("GetThumbnailImage"), std::string::npos) << log;
    EXPECT_NE(log.find("pThumbnail == NULL"), std::string::npos) << log;
    EXPECT_NE(log.find("Thumb Created"), std::string::npos) << log;
}

TEST_F(ThumbListTest, MissingFileHasNoBitmapButIsKept)
{
    CThumbList list;
    list.SetPlaceholders(m_skin);
    ASSERT_TRUE(list.AddFile(File("gone.JPG")));
    // Ready at once: nothing to decode.
    CThumb* thumb = list.GetAt(0);
    ASSERT_TRUE(thumb);
    EXPECT_TRUE(thumb->IsThumbnailReady());
    EXPECT_FALSE(thumb->HasThumbnail());
    EXPECT_TRUE(list.CopyThumbnailAt(0).isNull());
    EXPECT_TRUE(thumb->IsKept());
    EXPECT_EQ(list.CountKept(), 1u);
    EXPECT_EQ(list.KeptSize(), 0u);
}

// ---- keep marks, copies, geometry ----------------------------------------------------

TEST_F(ThumbListTest, KeepMarksCountAndSize)
{
    CThumbList list;
    list.SetPlaceholders(m_skin);
    for (int i = 1; i <= 3; ++i) {
        const std::string path = File("f" + std::to_string(i) + ".xyz");
        ASSERT_TRUE(px::test::WriteFile(path, Bytes(size_t(i) * 100, 0)));
        list.AddFile(path);
    }
    EXPECT_EQ(list.CountKept(), 3u);
    EXPECT_EQ(list.KeptSize(), 600u);
    EXPECT_FALSE(list.GetAt(1)->ToggleKept());
    EXPECT_EQ(list.GetAt(1)->GetFlags() & ThumbFlag::Keep, 0u);
    EXPECT_EQ(list.CountKept(), 2u);
    EXPECT_EQ(list.KeptSize(), 400u);
    list.SetAllKept(false);
    EXPECT_EQ(list.CountKept(), 0u);
    EXPECT_EQ(list.KeptSize(), 0u);
    list.SetAllKept(true);
    EXPECT_EQ(list.CountKept(), 3u);
    EXPECT_EQ(list.KeptSize(), 600u);
    // The current mark lives beside the keep mark without disturbing it.
    list.GetAt(0)->SetCurrent(true);
    EXPECT_EQ(list.GetAt(0)->GetFlags(), ThumbFlag::Keep | ThumbFlag::Current);
    list.SetAllKept(false);
    EXPECT_EQ(list.GetAt(0)->GetFlags(), ThumbFlag::Current);
    EXPECT_TRUE(list.WaitForThumbnails(60000));
}

TEST_F(ThumbListTest, CopyThumbnailAtGivesAnOwnedCopy)
{
    const std::string path = File("IMAGE_011.JPG");
    MakePicture(path, 300, 200, "blue");
    CThumbList list;
    ThumbOf(list, path);
    EXPECT_TRUE(list.CopyThumbnailAt(1).isNull());
    EXPECT_TRUE(list.CopyThumbnailAt(size_t(-1)).isNull());
    QImage copy = list.CopyThumbnailAt(0);
    ASSERT_EQ(copy.size(), QSize(94, 78));
    copy.fill(Qt::white);
    EXPECT_TRUE(ColourNear(list.CopyThumbnailAt(0), 47, 38, kBlue));

    // A cloned thumbnail carries the path, the marks and the bitmap.
    std::unique_ptr<CObj> clone(list.GetAt(0)->Clone());
    auto* thumb = dynamic_cast<CThumb*>(clone.get());
    ASSERT_TRUE(thumb);
    EXPECT_EQ(thumb->GetText(), path);
    EXPECT_TRUE(thumb->IsKept());
    EXPECT_EQ(thumb->GetPictureRect(), list.GetAt(0)->GetPictureRect());
    EXPECT_TRUE(ColourNear(thumb->GetThumbnail(), 47, 38, kBlue));
    thumb->Reset();
    EXPECT_FALSE(thumb->HasThumbnail());
    EXPECT_EQ(thumb->GetFlags(), 0u);
}

TEST_F(ThumbListTest, GridHitTestingAndExtent)
{
    CThumbList list;
    EXPECT_EQ(list.GetExtent(), QSize(0, 0));
    EXPECT_EQ(list.HitTest(0, 0), nullptr);
    EXPECT_EQ(list.GetCurrent(), nullptr);
    for (int i = 0; i < 7; ++i)
        list.AddFile(File("missing" + std::to_string(i) + ".jpg"));
    // Before layout every cell lies at the origin.
    EXPECT_EQ(list.GetExtent(), QSize(98, 96));
    list.LayoutGrid();
    // The sixth thumbnail starts the second row.
    EXPECT_EQ(list.GetAt(5)->GetCellRect(), QRect(0, 96, 98, 96));
    EXPECT_EQ(list.GetAt(6)->GetCellRect(), QRect(98, 96, 98, 96));
    EXPECT_EQ(list.GetAt(4)->GetInnerRect(), QRect(4 * 98 + 2, 2, 94, 78));
    EXPECT_EQ(list.GetExtent(), QSize(5 * 98, 2 * 96));

    // Left and top edges belong to a cell, right and bottom edges to the next.
    EXPECT_EQ(list.HitTest(0, 0), list.GetAt(0));
    EXPECT_EQ(list.HitTest(97, 95), list.GetAt(0));
    EXPECT_EQ(list.HitTest(98, 0), list.GetAt(1));
    EXPECT_EQ(list.HitTest(0, 96), list.GetAt(5));
    EXPECT_EQ(list.HitTest(489, 95), list.GetAt(4));
    EXPECT_EQ(list.HitTest(490, 0), nullptr);
    EXPECT_EQ(list.HitTest(-1, 0), nullptr);
    EXPECT_EQ(list.HitTest(300, 100), nullptr);  // the second row's empty part

    EXPECT_EQ(list.SetCurrentAt(100, 100), list.GetAt(6));
    EXPECT_EQ(list.GetCurrent(), list.GetAt(6));
    EXPECT_EQ(list.SetCurrentAt(5, 5), list.GetAt(0));
    EXPECT_EQ(list.GetCurrent(), list.GetAt(0));
    EXPECT_FALSE(list.GetAt(6)->IsCurrent());
    EXPECT_EQ(list.SetCurrentAt(1000, 1000), nullptr);
    EXPECT_EQ(list.GetCurrent(), nullptr);
    for (size_t i = 0; i < list.GetCount(); ++i)
        EXPECT_TRUE(list.GetAt(i)->IsKept());

    // The grid's own list uses its own cell size; an emptied list has no extent.
    CThumbList grid(CThumbParams::GridList());
    for (int i = 0; i < 6; ++i)
        grid.AddFile(File("missing.jpg"));
    grid.LayoutGrid();
    EXPECT_EQ(grid.GetAt(5)->GetCellRect(), QRect(0, 95, 95, 95));
    EXPECT_EQ(grid.GetExtent(), QSize(5 * 95, 2 * 95));
    grid.RemoveAll();
    EXPECT_EQ(grid.GetCount(), 0u);
    EXPECT_EQ(grid.GetExtent(), QSize(0, 0));
}

// ---- the worker pool -----------------------------------------------------------------

TEST_F(ThumbListTest, WorkersFillTheListWhileItIsRead)
{
    const std::string jpg = File("IMAGE_012.JPG");
    const std::string png = File("IMAGE_013.png");
    MakePicture(jpg, 1600, 1200, "blue");
    MakePicture(png, 300, 200, "red");
    ASSERT_TRUE(px::test::WriteFile(File("s.wav"), Bytes(100, 0)));
    MakeSkin();

    constexpr size_t kFiles = 60;
    CThumbList list;
    list.SetPlaceholders(m_skin);
    std::mutex readyLock;
    std::multiset<size_t> ready;
    list.SetReadyHandler([&](size_t index) {
        std::lock_guard guard(readyLock);
        ready.insert(index);
    });
    // A reader on another thread, as the user interface reads while the scan adds.
    std::atomic<bool> done {false};
    std::atomic<size_t> seen {0};
    std::thread reader([&] {
        while (!done) {
            for (size_t i = 0; i < list.GetCount(); ++i)
                if (!list.CopyThumbnailAt(i).isNull())
                    ++seen;
            (void)list.CountKept();
            (void)list.GetExtent();
        }
    });
    for (size_t i = 0; i < kFiles; ++i)
        list.AddFile(i % 3 == 0 ? jpg : i % 3 == 1 ? png : File("s.wav"));
    ASSERT_TRUE(list.WaitForThumbnails(120000));
    done = true;
    reader.join();

    EXPECT_EQ(list.CountPending(), 0u);
    for (size_t i = 0; i < kFiles; ++i) {
        ASSERT_TRUE(list.GetAt(i)->IsThumbnailReady()) << i;
        const QColor want = i % 3 == 0 ? kBlue : i % 3 == 1 ? kRed : kGreen;
        EXPECT_TRUE(ColourNear(list.CopyThumbnailAt(i), 47, 38, want)) << i;
    }
    // Each thumbnail was announced once.
    std::lock_guard guard(readyLock);
    EXPECT_EQ(ready.size(), kFiles);
    for (size_t i = 0; i < kFiles; ++i)
        EXPECT_EQ(ready.count(i), 1u) << i;
}

TEST_F(ThumbListTest, EmptyingOrDestroyingWhileThumbnailsArePending)
{
    const std::string jpg = File("IMAGE_014.JPG");
    MakePicture(jpg, 2000, 1500, "blue");
    {
        CThumbList list;
        list.SetPlaceholders(m_skin);
        for (int i = 0; i < 40; ++i)
            list.AddFile(jpg);
        list.RemoveAll();
        EXPECT_EQ(list.GetCount(), 0u);
        EXPECT_TRUE(list.WaitForThumbnails(60000));
        EXPECT_EQ(list.GetCount(), 0u);
        // The list goes on working after it was emptied.
        list.AddFile(jpg);
        ASSERT_TRUE(list.WaitForThumbnails(60000));
        EXPECT_TRUE(ColourNear(list.CopyThumbnailAt(0), 47, 38, kBlue));
        for (int i = 0; i < 40; ++i)
            list.AddFile(jpg);
        // Destroyed here with thumbnails still queued.
    }
}

// ---- on demand, with a cache limit ---------------------------------------------------

namespace {

// The indices of the thumbnails that hold a bitmap.
std::vector<size_t> Holding(const CThumbList& list)
{
    std::vector<size_t> with;
    for (size_t i = 0; i < list.GetCount(); ++i)
        if (list.GetAt(i)->HasThumbnail())
            with.push_back(i);
    return with;
}

}  // namespace

TEST_F(ThumbListTest, CacheLimitKeepsTheMostRecentlyRequested)
{
    const std::string jpg = File("IMAGE_015.JPG");
    MakePicture(jpg, 320, 240, "blue");
    CThumbList list;
    list.SetPlaceholders(m_skin);
    list.SetCacheLimit(3);
    for (int i = 0; i < 8; ++i)
        list.AddFile(jpg);
    // Nothing is made until asked for; the size and the keep mark are there at once.
    EXPECT_EQ(list.CountPending(), 0u);
    EXPECT_FALSE(list.GetAt(0)->IsThumbnailReady());
    EXPECT_EQ(list.KeptSize(), 8 * std::filesystem::file_size(jpg));

    for (size_t i = 0; i < 8; ++i) {
        list.RequestThumbnails(i, 1);
        ASSERT_TRUE(list.WaitForThumbnails(60000));
        EXPECT_LE(Holding(list).size(), 3u) << i;
    }
    EXPECT_EQ(Holding(list), (std::vector<size_t> {5, 6, 7}));
    EXPECT_FALSE(list.GetAt(0)->IsThumbnailReady());
    // An evicted thumbnail asked for again is made again; the least recent one goes.
    list.RequestThumbnails(0, 1);
    ASSERT_TRUE(list.WaitForThumbnails(60000));
    EXPECT_EQ(Holding(list), (std::vector<size_t> {0, 6, 7}));
    EXPECT_TRUE(ColourNear(list.CopyThumbnailAt(0), 47, 38, kBlue));
    // A range larger than the cache takes only as many as it can hold.
    list.RequestThumbnails(0, 8);
    ASSERT_TRUE(list.WaitForThumbnails(60000));
    EXPECT_EQ(Holding(list), (std::vector<size_t> {0, 1, 2}));

    // CopyThumbnailAt gives nothing for a thumbnail not made, but asks for it.
    EXPECT_TRUE(list.CopyThumbnailAt(7).isNull());
    EXPECT_TRUE(list.CountPending() == 1 || list.GetAt(7)->IsThumbnailReady());
    ASSERT_TRUE(list.WaitForThumbnails(60000));
    EXPECT_TRUE(ColourNear(list.CopyThumbnailAt(7), 47, 38, kBlue));
    EXPECT_EQ(Holding(list).size(), 3u);
}

TEST_F(ThumbListTest, SupersededRequestsAreNotMadeAndAReplacedHandlerIsDone)
{
    const std::string jpg = File("IMAGE_016.JPG");
    MakePicture(jpg, 320, 240, "blue");
    CThumbList list;
    list.SetPlaceholders(m_skin);
    list.SetCacheLimit(100);
    for (int i = 0; i < 12; ++i)
        list.AddFile(jpg);

    // A handler that holds its worker until released; the other workers then wait to
    // announce theirs, as calls are made one at a time.
    std::mutex lock;
    std::condition_variable changed;
    bool release = false;
    std::vector<size_t> first, second;
    list.SetReadyHandler([&](size_t index) {
        std::unique_lock guard(lock);
        first.push_back(index);
        changed.notify_all();
        changed.wait(guard, [&] { return release; });
    });
    const size_t workers = CThumbList::WorkerThreads;
    list.RequestThumbnails(0, workers);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (bool held = false; !held; std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::lock_guard guard(lock);
        held = !first.empty();
        for (size_t i = 0; i < workers; ++i)
            held = held && list.GetAt(i)->IsThumbnailReady();
    }
    // Every worker is held: these wait in the queue, and the scroll moves on before they
    // start.
    list.RequestThumbnails(workers, 3);
    list.RequestThumbnails(10, 2);
    EXPECT_EQ(list.CountPending(), 2u);

    // Replacing the handler waits for the call in progress.
    auto replaced = std::async(std::launch::async, [&] {
        list.SetReadyHandler([&](size_t index) {
            std::lock_guard guard(lock);
            second.push_back(index);
        });
    });
    EXPECT_EQ(replaced.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    {
        std::lock_guard guard(lock);
        release = true;
    }
    changed.notify_all();
    replaced.get();
    const size_t announcedBefore = [&] {
        std::lock_guard guard(lock);
        return first.size();
    }();
    ASSERT_TRUE(list.WaitForThumbnails(60000));

    for (size_t i = 0; i < list.GetCount(); ++i)
        EXPECT_EQ(list.GetAt(i)->IsThumbnailReady(), i < workers || i >= 10) << i;
    // Until SetReadyHandler returned the old handler could still be called (for 10 and
    // 11 too); since then only the new one is.
    list.RequestThumbnails(5, 1);
    ASSERT_TRUE(list.WaitForThumbnails(60000));
    std::lock_guard guard(lock);
    EXPECT_EQ(first.size(), announcedBefore);
    EXPECT_NE(std::find(second.begin(), second.end(), 5u), second.end());
}

// ---- device pixels -------------------------------------------------------------------

TEST(ThumbPixels, RatioGivesTheDeviceSize)
{
    struct Case {
        qreal ratio;
        QSize want;
    };
    // A ratio below 1 or not a number counts as 1, above 4 as 4.
    const Case cases[] = {{1.0, {94, 78}}, {1.5, {141, 117}}, {2.0, {188, 156}},     {std::nan(""), {94, 78}},
                          {0.5, {94, 78}}, {0.0, {94, 78}},   {100.0, {376, 312}}};
    for (const Case& c : cases)
        EXPECT_EQ(DevicePixels(QSize(94, 78), c.ratio), c.want) << c.ratio;
    EXPECT_EQ(DevicePixels(QSize(-5, 10), 2.0), QSize(0, 20));
}

TEST_F(ThumbListTest, HiDpiThumbnailsHaveEveryDevicePixel)
{
    // A large JPEG at ratio 2: decoded for 188 pixels across, placed where the logical
    // rectangle says.
    const std::string large = File("IMAGE_020.JPG");
    MakePicture(large, 3000, 2000, "blue");
    const ThumbImage wide = Make(large, 2.0);
    EXPECT_EQ(wide.Source, ThumbSource::Picture);
    EXPECT_EQ(wide.Bitmap.size(), QSize(188, 156));
    EXPECT_EQ(wide.Bitmap.devicePixelRatio(), 2.0);
    EXPECT_EQ(wide.Bitmap.format(), QImage::Format_RGB16);
    EXPECT_EQ(wide.Picture, QRect(0, 7, 94, 63));
    EXPECT_TRUE(ColourNear(wide.Bitmap, 1, 15, kBlue));
    EXPECT_TRUE(ColourNear(wide.Bitmap, 186, 139, kBlue));
    EXPECT_TRUE(ColourNear(wide.Bitmap, 94, 12, kBlack, 0));
    EXPECT_TRUE(ColourNear(wide.Bitmap, 94, 143, kBlack, 0));

    // A one-pixel checkerboard exactly as large as the device area it fills: drawn pixel
    // for pixel at ratio 2, where ratio 1 can only show grey.
    const std::string checker = File("checker.png");
    Shell("convert -size 188x141 pattern:gray50 " + Quote(checker));
    const ThumbImage sharp = Make(checker, 2.0);
    ASSERT_EQ(sharp.Bitmap.size(), QSize(188, 156));
    EXPECT_EQ(sharp.Picture, QRect(0, 3, 94, 71));
    for (int x = 0; x < 187; x += 13)
        EXPECT_GE(std::abs(qGray(sharp.Bitmap.pixel(x, 80)) - qGray(sharp.Bitmap.pixel(x + 1, 80))), 200) << x;
    const ThumbImage flat = Make(checker, 1.0);
    EXPECT_LE(std::abs(qGray(flat.Bitmap.pixel(40, 40)) - qGray(flat.Bitmap.pixel(41, 40))), 60);

    // A small picture keeps its logical size: twice its pixels at ratio 2.
    const std::string small = File("small.png");
    MakePicture(small, 40, 30, "red");
    const ThumbImage kept = Make(small, 2.0);
    EXPECT_EQ(kept.Picture, QRect(27, 24, 40, 30));
    EXPECT_TRUE(ColourNear(kept.Bitmap, 54, 48, kRed, 0));
    EXPECT_TRUE(ColourNear(kept.Bitmap, 133, 107, kRed, 0));
    EXPECT_TRUE(ColourNear(kept.Bitmap, 53, 48, kBlack, 0));
    EXPECT_TRUE(ColourNear(kept.Bitmap, 134, 107, kBlack, 0));

    // A camera's 160 x 120 preview still serves the cell at ratio 2.
    const std::string camera = File("IMAGE_021.JPG");
    const std::string preview = File("preview.jpg");
    MakePicture(camera, 1200, 900, "blue");
    MakePicture(preview, 160, 120, "red");
    InsertExifPreview(camera, preview);
    const ThumbImage exif = Make(camera, 2.0);
    EXPECT_EQ(exif.Source, ThumbSource::ExifPreview);
    EXPECT_EQ(exif.Bitmap.size(), QSize(188, 156));
    EXPECT_TRUE(ColourNear(exif.Bitmap, 94, 78, kRed));
}

TEST_F(ThumbListTest, PixelRatioReachesTheListAndThePlaceholderCache)
{
    const std::string checker = File("checker.png");
    Shell("convert -size 182x137 pattern:gray50 " + Quote(checker));
    CThumbParams params = CThumbParams::GridList();
    params.PixelRatio = 2.0;
    CThumbList list(params);
    CThumb* thumb = ThumbOf(list, checker);
    ASSERT_TRUE(thumb);
    const QImage bitmap = thumb->GetThumbnail();
    EXPECT_EQ(bitmap.size(), QSize(182, 152));
    EXPECT_EQ(bitmap.devicePixelRatio(), 2.0);
    EXPECT_GE(std::abs(qGray(bitmap.pixel(90, 76)) - qGray(bitmap.pixel(91, 76))), 200);
    // The grid moved to a screen of ratio 1: the bitmap made for 2 goes, and the next
    // request makes it for 1.
    list.SetPixelRatio(1.0);
    EXPECT_FALSE(thumb->HasThumbnail());
    list.RequestThumbnails(0, 1);
    ASSERT_TRUE(list.WaitForThumbnails(60000));
    EXPECT_EQ(thumb->GetThumbnail().devicePixelRatio(), 1.0);
    EXPECT_EQ(thumb->GetThumbnail().size(), QSize(91, 76));

    // One skin picture, composed once per ratio: the cache must not hand one ratio's
    // bitmap to the other.
    MakeSkin();
    const std::string sound = File("take.wav");
    ASSERT_TRUE(px::test::WriteFile(sound, Bytes(100, 7)));
    CPlaceholderCache cache;
    EXPECT_EQ(Make(sound, 1.0, &cache).Bitmap.size(), QSize(94, 78));
    EXPECT_EQ(Make(sound, 2.0, &cache).Bitmap.size(), QSize(188, 156));
    EXPECT_EQ(Make(sound, 1.0, &cache).Bitmap.size(), QSize(94, 78));
}

// ---- movies --------------------------------------------------------------------------

TEST_F(ThumbListTest, MoviesShowTheirFirstKeyFrame)
{
    MakeSkin();
    MakeMovie(File("clip.mp4"), "-c:v libx264 -g 10");  // the index (moov) at the end
    MakeMovie(File("CLIP.AVI"), "-c:v mjpeg -q:v 5");    // decoded at a reduced size
    // Recorded sideways, to be shown turned a quarter to the left (as a phone writes it).
    MakeMovie(File("plain.mp4"), "-c:v libx264 -movflags +faststart");
    Shell("ffmpeg -nostdin -v error -y -i " + Quote(File("plain.mp4")) + " -c copy -metadata:s:v:0 rotate=90 "
          + Quote(File("turned.MOV")));

    for (const char* name : {"clip.mp4", "CLIP.AVI"}) {
        const ThumbImage image = Make(File(name));
        EXPECT_EQ(image.Source, ThumbSource::MovieFrame) << name;
        EXPECT_EQ(image.Picture, QRect(0, 3, 94, 71)) << name;
        EXPECT_TRUE(ColourNear(image.Bitmap, 20, 38, kRed)) << name;
        EXPECT_TRUE(ColourNear(image.Bitmap, 74, 38, kBlue)) << name;
        EXPECT_TRUE(ColourNear(image.Bitmap, 47, 1, kBlack, 0)) << name;
    }
    const ThumbImage hiDpi = Make(File("CLIP.AVI"), 2.0);
    EXPECT_EQ(hiDpi.Bitmap.size(), QSize(188, 156));
    EXPECT_TRUE(ColourNear(hiDpi.Bitmap, 40, 76, kRed));
    EXPECT_TRUE(ColourNear(hiDpi.Bitmap, 148, 76, kBlue));

    // One key frame in 300: the first picture comes from the start of the file, not after
    // the decoder has been fed up to the next key frame (the whole clip).
    const std::string longClip = File("long.mp4");
    Shell("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=s=640x480:r=30:d=10 -c:v libx264 -g 300 -preset veryfast -pix_fmt yuv420p "
          + Quote(longClip));
    MovieFrame frame;
    ASSERT_TRUE(ReadMovieFrame(longClip, QSize(94, 78), frame)) << frame.Error;
    EXPECT_EQ(frame.Picture.size(), QSize(94, 71));
    EXPECT_LT(frame.BytesRead, int64_t(std::filesystem::file_size(longClip) / 4));

    // Turned: 240 x 320, the left (red) edge at the bottom.
    const ThumbImage turned = Make(File("turned.MOV"));
    EXPECT_EQ(turned.Source, ThumbSource::MovieFrame);
    EXPECT_EQ(turned.Picture, QRect(17, 0, 59, 78));
    EXPECT_TRUE(ColourNear(turned.Bitmap, 47, 10, kBlue));
    EXPECT_TRUE(ColourNear(turned.Bitmap, 47, 68, kRed));
}

TEST_F(ThumbListTest, CutDamagedAndEndlessMoviesKeepTheirPicture)
{
    MakeSkin();
    MakeMovie(File("whole.mp4"), "-c:v libx264");
    MakeMovie(File("fast.mp4"), "-c:v libx264 -movflags +faststart");
    MakeMovie(File("whole.avi"), "-c:v mjpeg -q:v 5");
    const Bytes whole = px::test::ReadFile(File("whole.mp4"));
    const Bytes fast = px::test::ReadFile(File("fast.mp4"));
    const Bytes avi = px::test::ReadFile(File("whole.avi"));
    auto find = [](const Bytes& b, const char* tag) {
        const auto at = std::search(b.begin(), b.end(), tag, tag + 4);
        return at == b.end() ? size_t(0) : size_t(at - b.begin());
    };
    const size_t mdat = find(fast, "mdat");
    const size_t movi = find(avi, "movi");
    ASSERT_GT(mdat, 0u);
    ASSERT_GT(movi, 0u);

    // Cut before its index; cut where its pictures begin; noise under a movie's name.
    ASSERT_TRUE(px::test::WriteFile(File("cut.mp4"), Bytes(whole.begin(), whole.begin() + whole.size() / 2)));
    ASSERT_TRUE(px::test::WriteFile(File("cut.MOV"), Bytes(fast.begin(), fast.begin() + mdat + 8)));
    Bytes noise(64 * 1024);
    uint32_t x = 12345;
    for (uint8_t& b : noise)
        b = uint8_t((x = x * 1103515245u + 12345u) >> 24);
    ASSERT_TRUE(px::test::WriteFile(File("noise.avi"), noise));
    // A 2 GB movie of which only the header is a movie: it must not be read to its end.
    ASSERT_TRUE(px::test::WriteFile(File("endless.avi"), Bytes(avi.begin(), avi.begin() + movi + 4)));
    std::filesystem::resize_file(File("endless.avi"), 2ull << 30);

    for (const char* name : {"cut.mp4", "cut.MOV", "noise.avi", "endless.avi"}) {
        const auto start = std::chrono::steady_clock::now();
        const ThumbImage image = Make(File(name));
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(image.Source, ThumbSource::Placeholder) << name;
        EXPECT_EQ(image.Picture, QRect(15, 15, 64, 48)) << name;
        EXPECT_TRUE(ColourNear(image.Bitmap, 47, 38, kYellow, 0)) << name;
        EXPECT_LT(took, std::chrono::milliseconds(MovieTimeLimitMs + 2000)) << name;
    }
    MovieFrame frame;
    EXPECT_FALSE(ReadMovieFrame(File("endless.avi"), QSize(94, 78), frame));
    EXPECT_FALSE(frame.Error.empty());
    EXPECT_LE(frame.BytesRead, int64_t(MovieReadBytes));

    // Pictures damaged after the header: whatever decodes, the thumbnail is whole.
    Bytes damaged = avi;
    for (size_t i = movi + 64; i < damaged.size(); i += 7)
        damaged[i] ^= 0xA5;
    ASSERT_TRUE(px::test::WriteFile(File("damaged.avi"), damaged));
    const ThumbImage image = Make(File("damaged.avi"));
    EXPECT_TRUE(image.Source == ThumbSource::MovieFrame || image.Source == ThumbSource::Placeholder);
    EXPECT_EQ(image.Bitmap.size(), QSize(94, 78));
}
