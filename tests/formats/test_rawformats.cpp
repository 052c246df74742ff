// FindRafEnd, FindMrwEnd and ExamineIsoMedia: hand-made RAF and MRW headers, CR3- and
// HEIC-like box chains, and a HEIC and an MP4 written by ImageMagick and ffmpeg.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/filetypes.h"
#include "formats/isomedia.h"
#include "formats/rawformats.h"
#include "support/fixtures.h"

namespace {

using Bytes = std::vector<uint8_t>;

SpanSource Source(const Bytes& bytes, size_t length = SIZE_MAX)
{
    return SpanSource(std::span<const uint8_t>(bytes.data(), std::min(length, bytes.size())));
}

Bytes WithJunk(Bytes bytes)
{
    for (int i = 0; i < 3000; ++i)
        bytes.push_back(static_cast<uint8_t>(i * 53 + 7));
    return bytes;
}

void PutBe32(Bytes& b, size_t at, uint64_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

void AppendBe32(Bytes& b, uint64_t v)
{
    b.resize(b.size() + 4);
    PutBe32(b, b.size() - 4, v);
}

void Append(Bytes& b, const std::string& text) { b.insert(b.end(), text.begin(), text.end()); }

void ExpectComplete(const FileEnd& end, uint64_t length)
{
    EXPECT_TRUE(end.IsComplete());
    EXPECT_EQ(end.Length, length);
}

void ExpectNeedMore(const FileEnd& end, uint64_t length)
{
    EXPECT_TRUE(end.IsNeedMore());
    EXPECT_EQ(end.Length, length);
}

// A RAF: header of headerLength bytes, the JPEG right after it, then sections at the given
// header slots, each with the given length, one after another.
Bytes Raf(uint32_t headerLength, const std::vector<std::pair<uint32_t, uint32_t>>& sections, uint64_t* end)
{
    Bytes b;
    Append(b, "FUJIFILMCCD-RAW 0201FF383501X-T1");
    b.resize(60, 0);
    Append(b, "0100");
    b.resize(headerLength, 0);
    const uint32_t jpegLength = 2001;
    PutBe32(b, 84, headerLength);
    PutBe32(b, 88, jpegLength);
    b.push_back(0xFF);
    b.push_back(0xD8);
    b.resize(headerLength + jpegLength, 0x33);
    b.resize((b.size() + 3) / 4 * 4 + 8, 0);  // Fuji pads the JPEG
    for (const auto& [slot, length] : sections) {
        PutBe32(b, slot, b.size());
        PutBe32(b, slot + 4, length);
        b.resize(b.size() + length, static_cast<uint8_t>(slot));
    }
    *end = b.size();
    return b;
}

TEST(RawFormats, RafEndsAtItsFarthestSection)
{
    uint64_t end = 0;
    // Meta directory and CFA; cut inside the CFA.
    const Bytes raf = Raf(0x94, {{92, 3000}, {100, 50000}}, &end);
    ExpectComplete(FindRafEnd(Source(WithJunk(raf))), end);
    ExpectNeedMore(FindRafEnd(Source(raf, end - 1000)), end);
    ExpectNeedMore(FindRafEnd(Source(raf, 300)), end);

    // Two-frame cameras: the second directory and CFA come last.
    const Bytes twoFrames = Raf(0x94, {{92, 3000}, {100, 50000}, {120, 2000}, {128, 40000}}, &end);
    ExpectComplete(FindRafEnd(Source(WithJunk(twoFrames))), end);

    // A short header (JPEG at 100): the slot at 100 is the JPEG's bytes, not a CFA's.
    const Bytes shortHeader = Raf(100, {{92, 3000}}, &end);
    ExpectComplete(FindRafEnd(Source(WithJunk(shortHeader))), end);

    Bytes noJpeg = raf;
    noJpeg[0x94] = 0;
    EXPECT_EQ(FindRafEnd(Source(noJpeg)).Status, FileEnd::State::Unknown);
    Bytes jpegFar = raf;
    PutBe32(jpegFar, 84, 0x7FFFFFF0);
    EXPECT_EQ(FindRafEnd(Source(jpegFar)).Status, FileEnd::State::Unknown);
    Bytes sectionInHeader = raf;
    PutBe32(sectionInHeader, 100, 16);
    EXPECT_EQ(FindRafEnd(Source(sectionInHeader)).Status, FileEnd::State::Unknown);
    Bytes notRaf = raf;
    notRaf[8] = 'X';
    EXPECT_EQ(FindRafEnd(Source(notRaf)).Status, FileEnd::State::Unknown);
}

// An MRW: "\0MRM" block holding PRD, TTW and WBG blocks, then the raw data.
Bytes Mrw(uint16_t height, uint16_t width, uint8_t depth, bool withPrd, uint64_t* end)
{
    Bytes b = {0, 'M', 'R', 'M', 0, 0, 0, 0};
    if (withPrd) {
        Append(b, std::string("\0PRD", 4));
        AppendBe32(b, 24);
        Append(b, "21810002");
        for (uint16_t v : {height, width, height, width}) {
            b.push_back(static_cast<uint8_t>(v >> 8));
            b.push_back(static_cast<uint8_t>(v));
        }
        b.push_back(depth);
        b.push_back(12);
        b.push_back(depth == 12 ? 0x59 : 0x52);
        b.resize(b.size() + 5, 0);
    }
    Append(b, std::string("\0TTW", 4));
    AppendBe32(b, 40);
    Append(b, std::string("MM\0*\0\0\0\x08", 8));
    b.resize(b.size() + 32, 0);
    Append(b, std::string("\0WBG", 4));
    AppendBe32(b, 12);
    b.resize(b.size() + 12, 1);
    PutBe32(b, 4, b.size() - 8);
    b.resize(b.size() + uint64_t{height} * width * depth / 8, 0x44);
    *end = b.size();
    return b;
}

TEST(RawFormats, MrwEndsAfterTheRawDataItsPrdBlockSizes)
{
    uint64_t end = 0;
    for (uint8_t depth : {12, 16}) {
        SCOPED_TRACE(depth);
        const Bytes mrw = Mrw(100, 150, depth, true, &end);
        EXPECT_EQ(end, 8 + 8 + 24 + 8 + 40 + 8 + 12 + 100u * 150u * depth / 8);
        ExpectComplete(FindMrwEnd(Source(WithJunk(mrw))), end);
        ExpectNeedMore(FindMrwEnd(Source(mrw, end - 1)), end);
    }
    const Bytes mrw = Mrw(100, 150, 12, true, &end);
    // The bytes at hand stop inside the block list: the data's start is known, not its size.
    ExpectNeedMore(FindMrwEnd(Source(mrw, 20)), 8 + 8 + 24 + 8 + 40 + 8 + 12);

    EXPECT_EQ(FindMrwEnd(Source(Mrw(100, 150, 12, false, &end))).Status, FileEnd::State::Unknown);
    Bytes overrun = mrw;
    PutBe32(overrun, 12, 5000);  // the PRD block runs past the MRM block
    EXPECT_EQ(FindMrwEnd(Source(overrun)).Status, FileEnd::State::Unknown);
    Bytes badDepth = mrw;
    badDepth[8 + 8 + 16] = 10;
    EXPECT_EQ(FindMrwEnd(Source(badDepth)).Status, FileEnd::State::Unknown);
}

Bytes Box(const std::string& type, size_t payload, uint8_t fill = 0)
{
    Bytes b;
    AppendBe32(b, 8 + payload);
    Append(b, type);
    b.resize(b.size() + payload, fill);
    return b;
}

Bytes Ftyp(const std::string& major, const std::vector<std::string>& compatible)
{
    Bytes b;
    AppendBe32(b, 16 + 4 * compatible.size());
    Append(b, "ftyp" + major);
    AppendBe32(b, 0);
    for (const std::string& brand : compatible)
        Append(b, brand);
    return b;
}

Bytes Chain(const std::vector<Bytes>& boxes)
{
    Bytes b;
    for (const Bytes& box : boxes)
        b.insert(b.end(), box.begin(), box.end());
    return b;
}

TEST(IsoMedia, BrandsNameTheFileAndTopLevelBoxesEndIt)
{
    // A CR3 as Canon lays it out, its mdat with a 64-bit size.
    Bytes mdat64 = {0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0, 0, 0, 0, 0, 0x40, 0x10};
    mdat64.resize(0x4010, 0x77);
    const Bytes cr3 = Chain({Ftyp("crx ", {"crx ", "isom"}), Box("moov", 900), Box("uuid", 300), Box("uuid", 5000), mdat64});
    IsoMediaInfo info = ExamineIsoMedia(Source(WithJunk(cr3)));
    EXPECT_EQ(info.Type, FileTypeId::Cr3);
    ExpectComplete(info.End, cr3.size());
    ExpectNeedMore(ExamineIsoMedia(Source(cr3, cr3.size() - 100)).End, cr3.size());
    // Cut inside the 64-bit size: a box header still being read.
    const size_t mdatAt = cr3.size() - mdat64.size();
    ExpectNeedMore(ExamineIsoMedia(Source(cr3, mdatAt + 10)).End, mdatAt + 16);
    // The next file right after: its ftyp is no box of this one.
    const Bytes heic = Chain({Ftyp("mif1", {"mif1", "heic"}), Box("meta", 400), Box("mdat", 2000)});
    info = ExamineIsoMedia(Source(Chain({heic, cr3})));
    EXPECT_EQ(info.Type, FileTypeId::Heic);
    ExpectComplete(info.End, heic.size());
    // A few bytes after the last box that cannot begin a box header end it, and a few that
    // can leave it open.
    ExpectComplete(ExamineIsoMedia(Source(Chain({heic, {0, 0, 1, 0, 'x', 'y'}}))).End, heic.size());
    ExpectNeedMore(ExamineIsoMedia(Source(Chain({heic, {0, 0, 1, 0, 'm', 'o'}}))).End, heic.size() + 8);

    struct Brands {
        std::string Major;
        std::vector<std::string> Compatible;
        int32_t Type;
    };
    const Brands brands[] = {
        {"heic", {"mif1", "heic"}, FileTypeId::Heic},
        {"msf1", {"msf1", "hevc"}, FileTypeId::Heic},
        {"isom", {"isom", "heix"}, FileTypeId::Heic},
        {"isom", {"mp41", "crx "}, FileTypeId::Cr3},
        {"avif", {"mif1", "miaf"}, 0},
        {"mif1", {"mif1", "avif"}, 0},
        {"isom", {"isom", "mif1"}, 0},
        {"qt  ", {"qt  "}, 0},
    };
    for (const Brands& b : brands) {
        SCOPED_TRACE(b.Major);
        EXPECT_EQ(ExamineIsoMedia(Source(Chain({Ftyp(b.Major, b.Compatible), Box("mdat", 10)}))).Type, b.Type);
    }

    // Size 0: the box runs to the end of the file, which nothing records.
    EXPECT_EQ(ExamineIsoMedia(Source(Chain({Ftyp("heic", {}), Box("meta", 40), {0, 0, 0, 0, 'm', 'd', 'a', 't'}}))).End.Status,
              FileEnd::State::Unknown);
    const Bytes noFtyp = Chain({Box("moov", 100), Box("mdat", 100)});
    EXPECT_EQ(ExamineIsoMedia(Source(noFtyp)).End.Status, FileEnd::State::Unknown);
    EXPECT_EQ(ExamineIsoMedia(Source(WithJunk({}))).End.Status, FileEnd::State::Unknown);
}

TEST(IsoMedia, FilesWrittenByImageMagickAndFfmpegEndWhereTheirBoxesSay)
{
    px::test::TempHome home;
    const std::string heicPath = home.File("a.heic");
    const std::string mp4Path = home.File("a.mp4");
    std::string log;
    ASSERT_EQ(px::test::Run("convert -size 64x48 xc:red " + px::test::Quote(heicPath) + " 2>&1", &log), 0) << log;
    ASSERT_EQ(px::test::Run("ffmpeg -v error -f lavfi -i color=c=red:s=64x48:d=0.2 -pix_fmt yuv420p " +
                                px::test::Quote(mp4Path) + " 2>&1",
                            &log),
              0)
        << log;

    const Bytes heic = px::test::ReadFile(heicPath);
    ASSERT_GT(heic.size(), 100u);
    IsoMediaInfo info = ExamineIsoMedia(Source(WithJunk(heic)));
    EXPECT_EQ(info.Type, FileTypeId::Heic);
    ExpectComplete(info.End, heic.size());

    const Bytes mp4 = px::test::ReadFile(mp4Path);
    ASSERT_GT(mp4.size(), 100u);
    info = ExamineIsoMedia(Source(WithJunk(mp4)));
    EXPECT_EQ(info.Type, 0);
    ExpectComplete(info.End, mp4.size());
    EXPECT_TRUE(ExamineIsoMedia(Source(mp4, mp4.size() - 1)).End.IsNeedMore());
}

}  // namespace
