// FindRafEnd, FindMrwEnd and ExamineIsoMedia: hand-made RAF and MRW headers, CR3- and
// HEIC-like box chains, and a HEIC and an MP4 written by ImageMagick and ffmpeg.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "app/filetypes.h"
#include "formats/isomedia.h"
#include "formats/rawformats.h"
#include "support/fixtures.h"

namespace {

using Bytes = std::vector<uint8_t>;

SpanSource Src(const Bytes& b, size_t length = SIZE_MAX)
{
    return SpanSource(std::span<const uint8_t>(b.data(), std::min(length, b.size())));
}

Bytes Cat(std::vector<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Junk() { return Bytes(3000, 0x9C); }
Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes Be32(uint64_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
void PutBe32(Bytes& b, size_t at, uint64_t v) { std::copy_n(Be32(v).begin(), 4, b.begin() + at); }

void ExpectEnd(const FileEnd& end, FileEnd::State state, uint64_t length)
{
    EXPECT_EQ(end.Status, state);
    EXPECT_EQ(end.Length, length);
}
constexpr auto kComplete = FileEnd::State::Complete;
constexpr auto kNeedMore = FileEnd::State::NeedMore;
constexpr auto kUnknown = FileEnd::State::Unknown;

// A RAF: a header of headerLength bytes, the JPEG right after it, then a section for each
// header slot given, one after another.
Bytes Raf(uint32_t headerLength, const std::vector<std::pair<uint32_t, uint32_t>>& sections)
{
    Bytes b = Str("FUJIFILMCCD-RAW 0201FF383501X-T1");
    b.resize(headerLength, 0);
    PutBe32(b, 84, headerLength);
    PutBe32(b, 88, 2001);
    b.insert(b.end(), {0xFF, 0xD8});
    b.resize(headerLength + 2001 + 11, 0x33);  // the JPEG and Fuji's padding
    for (const auto& [slot, length] : sections) {
        PutBe32(b, slot, b.size());
        PutBe32(b, slot + 4, length);
        b.resize(b.size() + length, static_cast<uint8_t>(slot));
    }
    return b;
}

TEST(RawFormats, RafEndsAtItsFarthestSection)
{
    const Bytes raf = Raf(0x94, {{92, 3000}, {100, 50000}});
    ExpectEnd(FindRafEnd(Src(Cat({raf, Junk()}))), kComplete, raf.size());
    ExpectEnd(FindRafEnd(Src(raf, 300)), kNeedMore, raf.size());
    // Two-frame cameras: a second directory and CFA after the first.
    const Bytes twoFrames = Raf(0x94, {{92, 3000}, {100, 50000}, {120, 2000}, {128, 40000}});
    ExpectEnd(FindRafEnd(Src(Cat({twoFrames, Junk()}))), kComplete, twoFrames.size());
    // A short header (JPEG at 100): the slot at 100 holds the JPEG's bytes, not a CFA's.
    const Bytes shortHeader = Raf(100, {{92, 3000}});
    ExpectEnd(FindRafEnd(Src(Cat({shortHeader, Junk()}))), kComplete, shortHeader.size());

    Bytes noJpeg = raf, jpegFar = raf, inHeader = raf, notRaf = raf;
    noJpeg[0x94] = 0;
    PutBe32(jpegFar, 84, 0x7FFFFFF0);
    PutBe32(inHeader, 100, 16);
    notRaf[8] = 'X';
    for (const Bytes* bad : {&noJpeg, &jpegFar, &inHeader, &notRaf})
        EXPECT_EQ(FindRafEnd(Src(*bad)).Status, kUnknown);
}

// An MRW: "\0MRM" block of PRD, TTW and WBG blocks, then height x width x depth bits.
Bytes Mrw(uint8_t depth, bool withPrd = true)
{
    const Bytes prd = Cat({Str(std::string("\0PRD", 4)), Be32(24), Str("21810002"), {0, 100, 0, 150, 0, 100, 0, 150},
                           {depth, 12, uint8_t(depth == 12 ? 0x59 : 0x52), 0, 0, 0, 0, 1}});
    const Bytes ttw = Cat({Str(std::string("\0TTW", 4)), Be32(40), Str(std::string("MM\0*\0\0\0\x08", 8)), Bytes(32, 0)});
    const Bytes wbg = Cat({Str(std::string("\0WBG", 4)), Be32(12), Bytes(12, 1)});
    const Bytes blocks = withPrd ? Cat({prd, ttw, wbg}) : Cat({ttw, wbg});
    return Cat({Str(std::string("\0MRM", 4)), Be32(blocks.size()), blocks, Bytes(100 * 150 * depth / 8, 0x44)});
}

TEST(RawFormats, MrwEndsAfterTheRawDataItsPrdBlockSizes)
{
    for (uint8_t depth : {12, 16}) {
        const Bytes mrw = Mrw(depth);
        ASSERT_EQ(mrw.size(), 8 + 32 + 48 + 20 + 100u * 150u * depth / 8);
        ExpectEnd(FindMrwEnd(Src(Cat({mrw, Junk()}))), kComplete, mrw.size());
        ExpectEnd(FindMrwEnd(Src(mrw, mrw.size() - 1)), kNeedMore, mrw.size());
    }
    // The bytes at hand stop inside the PRD block: the data's start is known, not its size.
    ExpectEnd(FindMrwEnd(Src(Mrw(12), 20)), kNeedMore, 8 + 32 + 48 + 20);

    Bytes overrun = Mrw(12), badDepth = Mrw(12);
    PutBe32(overrun, 12, 5000);  // the PRD block runs past the MRM block
    badDepth[8 + 8 + 16] = 10;
    EXPECT_EQ(FindMrwEnd(Src(Mrw(12, false))).Status, kUnknown);
    EXPECT_EQ(FindMrwEnd(Src(overrun)).Status, kUnknown);
    EXPECT_EQ(FindMrwEnd(Src(badDepth)).Status, kUnknown);
}

Bytes Box(const std::string& type, size_t payload) { return Cat({Be32(8 + payload), Str(type), Bytes(payload, 0)}); }

Bytes Ftyp(const std::string& major, const std::string& compatible)
{
    return Cat({Be32(16 + compatible.size()), Str("ftyp" + major), Be32(0), Str(compatible)});
}

TEST(IsoMedia, BrandsNameTheFileAndTopLevelBoxesEndIt)
{
    // A CR3 as Canon lays it out, its mdat with a 64-bit size.
    const Bytes mdat64 = Cat({Be32(1), Str("mdat"), Be32(0), Be32(0x4010), Bytes(0x4000, 0x77)});
    const Bytes cr3 = Cat({Ftyp("crx ", "crx isom"), Box("moov", 900), Box("uuid", 300), Box("uuid", 5000), mdat64});
    IsoMediaInfo info = ExamineIsoMedia(Src(Cat({cr3, Junk()})));
    EXPECT_EQ(info.Type, FileTypeId::Cr3);
    ExpectEnd(info.End, kComplete, cr3.size());
    ExpectEnd(ExamineIsoMedia(Src(cr3, cr3.size() - 100)).End, kNeedMore, cr3.size());
    const size_t mdatAt = cr3.size() - mdat64.size();  // cut inside the 64-bit size
    ExpectEnd(ExamineIsoMedia(Src(cr3, mdatAt + 10)).End, kNeedMore, mdatAt + 16);

    // The next file right after: its ftyp is no box of this one.
    const Bytes heic = Cat({Ftyp("mif1", "mif1heic"), Box("meta", 400), Box("mdat", 2000)});
    info = ExamineIsoMedia(Src(Cat({heic, cr3})));
    EXPECT_EQ(info.Type, FileTypeId::Heic);
    ExpectEnd(info.End, kComplete, heic.size());
    // A few bytes after the last box: those that cannot begin a box header end it, those
    // that can leave it open.
    ExpectEnd(ExamineIsoMedia(Src(Cat({heic, {0, 0, 1, 0, 'x', 'y'}}))).End, kComplete, heic.size());
    ExpectEnd(ExamineIsoMedia(Src(Cat({heic, {0, 0, 1, 0, 'm', 'o'}}))).End, kNeedMore, heic.size() + 8);
    // Size 0 runs to the file's end, which nothing records.
    EXPECT_EQ(ExamineIsoMedia(Src(Cat({heic, Be32(0), Str("mdat")}))).End.Status, kUnknown);
    EXPECT_EQ(ExamineIsoMedia(Src(Cat({Box("moov", 100), Box("mdat", 100)}))).End.Status, kUnknown);

    const std::pair<const char*, int32_t> brands[] = {
        {"heicmif1heic", FileTypeId::Heic}, {"msf1msf1hevc", FileTypeId::Heic}, {"isomisomheix", FileTypeId::Heic},
        {"isommp41crx ", FileTypeId::Cr3},  {"avifmif1miaf", 0},                {"mif1mif1avif", 0},
        {"isomisommif1", 0},                {"qt  qt  ", 0},
    };
    for (const auto& [list, type] : brands) {
        SCOPED_TRACE(list);
        const std::string text = list;
        EXPECT_EQ(ExamineIsoMedia(Src(Cat({Ftyp(text.substr(0, 4), text.substr(4)), Box("mdat", 10)}))).Type, type);
    }
}

TEST(IsoMedia, FilesWrittenByImageMagickAndFfmpegEndWhereTheirBoxesSay)
{
    px::test::TempHome home;
    const std::string heicPath = home.File("a.heic"), mp4Path = home.File("a.mp4");
    ASSERT_EQ(px::test::Run("convert -size 64x48 xc:red " + px::test::Quote(heicPath)), 0);
    ASSERT_EQ(px::test::Run("ffmpeg -v error -f lavfi -i color=c=red:s=64x48:d=0.2 -pix_fmt yuv420p " +
                            px::test::Quote(mp4Path)),
              0);
    const Bytes heic = px::test::ReadFile(heicPath), mp4 = px::test::ReadFile(mp4Path);
    IsoMediaInfo info = ExamineIsoMedia(Src(Cat({heic, Junk()})));
    EXPECT_EQ(info.Type, FileTypeId::Heic);
    ExpectEnd(info.End, kComplete, heic.size());
    info = ExamineIsoMedia(Src(Cat({mp4, Junk()})));
    EXPECT_EQ(info.Type, 0);
    ExpectEnd(info.End, kComplete, mp4.size());
    EXPECT_TRUE(ExamineIsoMedia(Src(mp4, mp4.size() - 1)).End.IsNeedMore());
}

}  // namespace
