// The eighth-size decode from the DC coefficients against libjpeg's own 1/8 decode, for
// the JPEGs cameras, phones and editors write, and for what a recovery meets: files cut
// short, damaged entropy data, damaged headers, and kinds the decoder leaves to libjpeg.
// Pictures are written here with libjpeg (sampling factors, restart intervals, 16-bit
// quantisers and arithmetic coding are not all within ImageMagick's reach).
#include <gtest/gtest.h>

#include "formats/jpegdc.h"
#include "libjpegencode.h"

#include <cstdio>
#include <jpeglib.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct Encoding {
    int Width = 320;
    int Height = 240;
    int Quality = 90;
    int Components = 3;  // 1: grey; 4: CMYK
    int LumaH = 1;       // the luma's sampling factors; chroma 1 x 1
    int LumaV = 1;
    int Restart = 0;     // MCUs a restart interval
    bool Optimize = false;
    bool Progressive = false;
    bool Arithmetic = false;
    bool Rgb = false;  // stored as RGB, not YCbCr
};

// A picture with the smooth gradients of a sky and the fine grain of foliage in its
// brightness, so that the AC codes range from a few short ones to blocks full of long
// ones.
Bytes Encode(const Encoding& e, unsigned seed = 1)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> noise(-40, 40);
    std::vector<uint8_t> pixels(size_t(e.Width) * e.Height * size_t(e.Components));
    for (int y = 0; y < e.Height; ++y)
        for (int x = 0; x < e.Width; ++x) {
            const int grain = x > e.Width / 2 ? noise(random) : 0;
            for (int c = 0; c < e.Components; ++c) {
                const double wave = 128 + 90 * std::sin(x * (0.011 + 0.005 * c) + y * 0.013 * (c + 1));
                pixels[(size_t(y) * e.Width + x) * e.Components + c] = uint8_t(std::clamp(int(wave) + grain, 0, 255));
            }
        }
    const J_COLOR_SPACE space = e.Components == 1 ? JCS_GRAYSCALE : e.Components == 4 ? JCS_CMYK : JCS_RGB;
    return px::test::LibjpegCompress(pixels.data(), e.Width, e.Height, e.Components, space, [&](jpeg_compress_struct& info) {
        if (e.Rgb)
            jpeg_set_colorspace(&info, JCS_RGB);
        // Quality below 25 with force_baseline off gives quantisers above 255: 16-bit
        // tables in an extended (SOF1) frame.
        jpeg_set_quality(&info, e.Quality, e.Quality >= 25);
        info.comp_info[0].h_samp_factor = e.LumaH;
        info.comp_info[0].v_samp_factor = e.LumaV;
        info.restart_interval = unsigned(e.Restart);
        info.optimize_coding = e.Optimize;
        info.arith_code = e.Arithmetic;
        if (e.Progressive)
            jpeg_simple_progression(&info);
    });
}

// libjpeg's 1/8 decode as RGB (what Qt's scaled read gives); a truncated file's missing
// blocks come out grey, with a warning.
JpegDcPicture Reference(const Bytes& jpeg)
{
    jpeg_decompress_struct info {};
    jpeg_error_mgr errors {};
    info.err = jpeg_std_error(&errors);
    errors.emit_message = [](j_common_ptr, int) {};
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, jpeg.data(), jpeg.size());
    jpeg_read_header(&info, TRUE);
    info.scale_num = 1;
    info.scale_denom = 8;
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    JpegDcPicture e;
    e.Width = int(info.output_width);
    e.Height = int(info.output_height);
    e.Rgb.resize(size_t(e.Width) * e.Height * 3);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = e.Rgb.data() + size_t(info.output_scanline) * e.Width * 3;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_abort_decompress(&info);
    jpeg_destroy_decompress(&info);
    return e;
}

// Decodes a copy of exactly the file's size, so that AddressSanitizer sees any read past
// it; whatever the result, the picture must fit it: empty when not handled, else an
// eighth of the frame's size.
JpegDcResult Decode(const Bytes& jpeg, JpegDcPicture& picture)
{
    std::unique_ptr<uint8_t[]> exact(new uint8_t[std::max<size_t>(1, jpeg.size())]);
    std::copy(jpeg.begin(), jpeg.end(), exact.get());
    const JpegDcResult result = DecodeJpegDc(exact.get(), jpeg.size(), picture);
    if (result == JpegDcResult::NotHandled) {
        EXPECT_TRUE(picture.Rgb.empty());
    } else {
        EXPECT_EQ(picture.Width, (picture.FullWidth + 7) / 8);
        EXPECT_EQ(picture.Height, (picture.FullHeight + 7) / 8);
        EXPECT_EQ(picture.Rgb.size(), size_t(picture.Width) * picture.Height * 3);
    }
    return result;
}

TEST(JpegDc, MatchesLibjpegEighthSize)
{
    struct Case {
        const char* Name;
        Encoding E;
        // libjpeg's 1/8 decode takes chroma subsampled both ways through a 2 x 2 inverse
        // transform (its AC coefficients too), where this decoder interpolates the
        // chroma DC: near, not equal (a mean of about 2, at most about 20 here).
        // Everything else is the same arithmetic.
        bool Exact;
    };
    const Case cases[] = {
        {"4:4:4", {}, true},
        {"4:2:2", {.LumaH = 2}, true},
        {"4:1:1", {.LumaH = 4}, true},
        {"4:4:0", {.LumaV = 2}, true},
        {"grey", {.Components = 1}, true},
        {"odd size 4:4:4", {.Width = 1001, .Height = 667}, true},
        {"restart every 7 MCUs", {.LumaH = 2, .Restart = 7}, true},
        {"restart every MCU row, optimised tables", {.Width = 330, .LumaH = 2, .Restart = 21, .Optimize = true}, true},
        {"quality 100: long codes", {.Quality = 100, .Optimize = true}, true},
        {"16-bit quantisers (SOF1)", {.Quality = 5}, true},
        {"one pixel", {.Width = 1, .Height = 1}, true},
        {"4:2:0", {.LumaH = 2, .LumaV = 2}, false},
        {"odd size 4:2:0", {.Width = 1001, .Height = 667, .LumaH = 2, .LumaV = 2}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const Bytes jpeg = Encode(c.E);
        const JpegDcPicture theirs = Reference(jpeg);
        JpegDcPicture mine;
        ASSERT_EQ(Decode(jpeg, mine), JpegDcResult::Decoded);
        EXPECT_EQ(mine.FullWidth, c.E.Width);
        EXPECT_EQ(mine.FullHeight, c.E.Height);
        ASSERT_EQ(mine.Width, theirs.Width);
        ASSERT_EQ(mine.Height, theirs.Height);
        int most = 0;
        double sum = 0;
        for (size_t i = 0; i < mine.Rgb.size(); ++i) {
            const int delta = std::abs(int(mine.Rgb[i]) - int(theirs.Rgb[i]));
            most = std::max(most, delta);
            sum += delta;
        }
        if (c.Exact) {
            EXPECT_EQ(most, 0);
        } else {
            EXPECT_LT(sum / double(mine.Rgb.size()), 3.0);
            EXPECT_LE(most, 32);
        }
    }
}

TEST(JpegDc, KindsLeftToLibjpeg)
{
    const Bytes progressive = Encode({.Progressive = true});
    const Bytes arithmetic = Encode({.Arithmetic = true});
    const Bytes cmyk = Encode({.Components = 4});
    const Bytes rgb = Encode({.Rgb = true});
    JpegDcPicture picture;
    EXPECT_EQ(Decode(progressive, picture), JpegDcResult::NotHandled);
    EXPECT_EQ(Decode(arithmetic, picture), JpegDcResult::NotHandled);
    EXPECT_EQ(Decode(cmyk, picture), JpegDcResult::NotHandled);
    EXPECT_EQ(Decode(rgb, picture), JpegDcResult::NotHandled);
    EXPECT_EQ(Decode({}, picture), JpegDcResult::NotHandled);
    EXPECT_EQ(Decode({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}, picture), JpegDcResult::NotHandled);

    // The Huffman tables taken out (a motion-JPEG frame relies on the standard ones).
    Bytes noTables = Encode({});
    for (size_t at = 2; at + 4 < noTables.size() && noTables[at] == 0xFF && noTables[at + 1] != 0xDA;) {
        const size_t length = size_t(noTables[at + 2]) << 8 | noTables[at + 3];
        if (noTables[at + 1] == 0xC4)
            noTables.erase(noTables.begin() + long(at), noTables.begin() + long(at + 2 + length));
        else
            at += 2 + length;
    }
    EXPECT_EQ(Decode(noTables, picture), JpegDcResult::NotHandled);
}

// A file cut anywhere: nothing read outside it; cut in its headers it is left to libjpeg,
// cut in its data it shows what was there, the same as libjpeg's, with grey below.
TEST(JpegDc, TruncatedFileKeepsItsUpperPart)
{
    for (const Encoding& e : {Encoding {.Width = 400, .Height = 320, .LumaH = 2, .LumaV = 2},
                              Encoding {.Width = 400, .Height = 320, .Restart = 5}}) {
        const Bytes whole = Encode(e);
        for (size_t cut = 0; cut < whole.size(); cut += cut < 700 ? 7 : 997) {
            SCOPED_TRACE(cut);
            const Bytes part(whole.begin(), whole.begin() + long(cut));
            JpegDcPicture mine;
            const JpegDcResult result = Decode(part, mine);
            if (result == JpegDcResult::NotHandled)
                continue;
            ASSERT_EQ(result, JpegDcResult::Partial);
            const JpegDcPicture theirs = Reference(part);
            // libjpeg feeds zero bits to the MCU it was decoding when the data ran out;
            // that MCU is grey here (in 4:2:0 its chroma reaches the pixels around it).
            // Every other pixel is libjpeg's.
            const int tolerance = e.LumaV == 2 ? 48 : 0;
            int differ = 0;
            for (size_t i = 0; i < theirs.Rgb.size(); i += 3)
                for (int c = 0; c < 3; ++c)
                    if (std::abs(int(mine.Rgb[i + c]) - int(theirs.Rgb[i + c])) > tolerance) {
                        ++differ;
                        break;
                    }
            EXPECT_LE(differ, e.LumaV == 2 ? 4 * 4 : 1);
            // The bottom right MCU came after the cut: grey.
            EXPECT_EQ(mine.Rgb.back(), 128);
            EXPECT_EQ(mine.Rgb[mine.Rgb.size() - 3], 128);
        }
        // Cut after the last code but before the EOI: complete.
        const Bytes noEnd(whole.begin(), whole.end() - 2);
        JpegDcPicture picture;
        EXPECT_EQ(Decode(noEnd, picture), JpegDcResult::Decoded);
    }
}

// Damaged entropy data (a cluster of another file inside the picture): a defined
// picture, never a read outside the data; with restart markers the intervals after the
// damage are read again as they were.
TEST(JpegDc, DamagedDataStaysInsideAndRestartsRecover)
{
    const Encoding e {.Width = 480, .Height = 320, .Quality = 95, .LumaH = 2, .Restart = 4};
    const Bytes whole = Encode(e);
    JpegDcPicture clean;
    ASSERT_EQ(Decode(whole, clean), JpegDcResult::Decoded);
    std::mt19937 random(7);
    int partial = 0;
    for (int round = 0; round < 60; ++round) {
        Bytes damaged = whole;
        // 64 random bytes at a random place in the first half of the data; no 0xFF and
        // the markers kept, so that no restart marker is made or lost.
        const size_t at = whole.size() / 5 + random() % (whole.size() * 3 / 10);
        for (size_t i = at; i < at + 64; ++i)
            if (whole[i] != 0xFF && whole[i - 1] != 0xFF)
                damaged[i] = uint8_t(random() % 255);
        JpegDcPicture picture;
        const JpegDcResult result = Decode(damaged, picture);
        ASSERT_NE(result, JpegDcResult::NotHandled);
        partial += result == JpegDcResult::Partial;
        // The last quarter of the rows lies after the damage, behind restart markers.
        const size_t tail = size_t(picture.Height * 3 / 4) * picture.Width * 3;
        ASSERT_TRUE(std::equal(picture.Rgb.begin() + long(tail), picture.Rgb.end(), clean.Rgb.begin() + long(tail)))
            << round;
    }
    // Damage is noticed mostly as an interval's last MCU running past the interval's end.
    EXPECT_GT(partial, 0);

    // Every header byte damaged in turn, and the data with bytes of every value: a
    // consistent answer each time.
    const Bytes small = Encode({.Width = 40, .Height = 24, .LumaH = 2, .LumaV = 2});
    for (size_t i = 0; i < small.size(); ++i)
        for (const uint8_t value : {uint8_t(0x00), uint8_t(0xFF), uint8_t(small[i] ^ 0x10)}) {
            Bytes damaged = small;
            damaged[i] = value;
            JpegDcPicture picture;
            Decode(damaged, picture);
        }
}

}  // namespace
