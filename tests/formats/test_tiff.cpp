// ExamineTiff: TIFFs written by ImageMagick and exiftool, and camera-raw layouts built
// here byte by byte.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "app/filetypes.h"
#include "formats/tiff.h"
#include "support/fixtures.h"

namespace {

using Bytes = std::vector<uint8_t>;

TiffInfo Examine(const Bytes& b, size_t length = SIZE_MAX)
{
    return ExamineTiff(SpanSource(std::span<const uint8_t>(b.data(), std::min(length, b.size()))));
}

Bytes WithJunk(Bytes b)
{
    for (int i = 0; i < 3000; ++i)
        b.push_back(static_cast<uint8_t>(i * 37 + 11));
    return b;
}

// A TIFF laid out by hand: blocks and IFDs appended in the order the test wants.
class Tiff {
public:
    struct Field {
        uint16_t Tag, Type;
        uint32_t Count, Value;  // an inline SHORT or LONG, or an offset
    };
    static Field Short(uint16_t tag, uint16_t v) { return {tag, 3, 1, v}; }
    static Field Long(uint16_t tag, uint32_t v) { return {tag, 4, 1, v}; }

    explicit Tiff(bool little = true, uint16_t magic = 42) : m_little(little)
    {
        Raw(little ? "II" : "MM");
        Put(magic, 2);
        Put(0, 4);
    }
    const Bytes& Get() const { return m_b; }
    uint32_t Size() const { return static_cast<uint32_t>(m_b.size()); }
    void Raw(const std::string& s) { m_b.insert(m_b.end(), s.begin(), s.end()); }
    void PadTo(uint32_t pos) { m_b.resize(pos, 0); }
    uint32_t Block(uint32_t n, uint8_t value = 0x5A)
    {
        m_b.insert(m_b.end(), n, value);
        return Size() - n;
    }
    Field Text(uint16_t tag, const std::string& s)
    {
        Raw(s + '\0');
        return {tag, 2, static_cast<uint32_t>(s.size() + 1), Size() - static_cast<uint32_t>(s.size() + 1)};
    }
    Field Longs(uint16_t tag, const std::vector<uint32_t>& values)
    {
        const uint32_t at = Size();
        for (uint32_t v : values)
            Put(v, 4);
        return {tag, 4, static_cast<uint32_t>(values.size()), at};
    }
    uint32_t Ifd(const std::vector<Field>& fields, uint32_t next = 0)
    {
        PadTo(Size() + Size() % 2);
        const uint32_t at = Size();
        Put(static_cast<uint32_t>(fields.size()), 2);
        for (const Field& f : fields) {
            Put(f.Tag, 2);
            Put(f.Type, 2);
            Put(f.Count, 4);
            Put(f.Type == 3 && f.Count == 1 ? f.Value << (m_little ? 0 : 16) : f.Value, 4);
        }
        Put(next, 4);
        return at;
    }
    void First(uint32_t ifd)
    {
        for (int i = 0; i < 4; ++i)
            m_b[4 + i] = static_cast<uint8_t>(m_little ? ifd >> (8 * i) : ifd >> (24 - 8 * i));
    }

private:
    void Put(uint32_t v, int n)
    {
        for (int i = 0; i < n; ++i)
            m_b.push_back(static_cast<uint8_t>(m_little ? v >> (8 * i) : v >> (8 * (n - 1 - i))));
    }
    bool m_little;
    Bytes m_b;
};

TEST(Tiff, FilesWrittenByImageMagickAndExiftoolEndWhereTheirIfdSays)
{
    px::test::TempHome home;
    const std::string path = home.File("a.tif");
    const char* variants[] = {"-compress none", "-compress none -endian MSB",
                              "-compress none -define tiff:tile-geometry=16x16", "xc:blue -compress none"};
    for (const char* args : variants) {
        SCOPED_TRACE(args);
        ASSERT_EQ(px::test::Run("convert -size 64x48 xc:red " + std::string(args) + " " + px::test::Quote(path)), 0);
        const Bytes file = px::test::ReadFile(path);
        const TiffInfo info = Examine(WithJunk(file));
        EXPECT_EQ(info.Type, FileTypeId::Tif);
        EXPECT_TRUE(info.End.IsComplete());
        EXPECT_EQ(info.End.Length, file.size());
        // libtiff writes the IFD after the picture: half the file does not reach it.
        const TiffInfo half = Examine(file, file.size() / 2);
        EXPECT_TRUE(half.End.IsNeedMore());
        EXPECT_GT(half.End.Length, file.size() / 2);
        EXPECT_LE(half.End.Length, file.size());
    }
    // A camera's Make and an Exif IFD written into a plain TIFF: no raw sensor data, so a TIFF.
    ASSERT_EQ(px::test::Run("exiftool -q -overwrite_original '-Make=NIKON CORPORATION' "
                            "'-DateTimeOriginal=2024:05:01 10:00:00' -UserComment=hello " + px::test::Quote(path)), 0);
    const Bytes tagged = px::test::ReadFile(path);
    const TiffInfo info = Examine(WithJunk(tagged));
    EXPECT_EQ(info.Type, FileTypeId::Tif);
    EXPECT_TRUE(info.End.IsComplete());
    EXPECT_EQ(info.End.Length, tagged.size());
}

TEST(Tiff, CameraRawsAreNamedByTheirMarks)
{
    struct Case {
        const char* Make;
        uint16_t Magic;
        bool Little, Cr2Mark, Dng;
        uint16_t Photometric, Compression;
        uint8_t SonyFormat;  // FileFormat in a Sony maker note (0: no maker note)
        int32_t Type;
    };
    const Case cases[] = {
        {"NIKON CORPORATION", 42, true, false, false, 32803, 1, 0, FileTypeId::Nef},
        {"NIKON CORPORATION", 42, false, false, false, 2, 1, 0, FileTypeId::Tif},  // an exported RGB picture
        {"NIKON CORPORATION", 42, true, false, false, 2, 34713, 0, FileTypeId::Nef},
        {"PENTAX Corporation", 42, true, false, false, 32803, 65535, 0, FileTypeId::Pef},
        {"RICOH IMAGING COMPANY, LTD.", 42, false, false, false, 32803, 1, 0, FileTypeId::Pef},
        {"EASTMAN KODAK COMPANY", 42, true, false, false, 32803, 65000, 0, FileTypeId::Dcr},
        {"Kodak", 42, true, false, false, 32803, 1, 0, FileTypeId::Dcr},
        {"OLYMPUS IMAGING CORP.", 42, true, false, false, 32803, 1, 0, FileTypeId::Orf},
        {"SONY", 42, true, false, false, 32803, 32767, 0, FileTypeId::Arw},
        {"SONY", 42, true, false, false, 2, 1, 1, FileTypeId::Sr2},
        {"SONY", 42, true, false, false, 2, 1, 3, FileTypeId::Arw},
        {"Leaf", 42, true, false, false, 32803, 1, 0, FileTypeId::Tif},
        {"Canon", 42, true, true, false, 2, 6, 0, FileTypeId::Cr2},
        {"Canon", 42, true, false, false, 2, 6, 0, FileTypeId::Tif},  // no "CR" mark
        {"Canon", 42, false, false, true, 2, 1, 0, FileTypeId::Dng},
        {"", 0x4F52, true, false, false, 32803, 1, 0, FileTypeId::Orf},   // IIRO
        {"", 0x4F52, false, false, false, 32803, 1, 0, FileTypeId::Orf},  // MMOR
        {"", 0x5352, true, false, false, 32803, 1, 0, FileTypeId::Orf},   // IIRS
        {"Panasonic", 0x55, true, false, false, 32803, 1, 0, FileTypeId::Rw2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Make) + " " + std::to_string(c.Magic) + " -> " + std::to_string(c.Type));
        // As cameras lay it out: IFD0 with a preview strip, a SubIFD whose raw strip ends
        // the file, an Exif IFD with the maker note.
        Tiff b(c.Little, c.Magic);
        if (c.Cr2Mark)
            b.Raw(std::string("CR\x02\0\0\0\0\0", 8));
        const uint32_t preview = b.Block(700, 0xD8);
        std::vector<Tiff::Field> exif = {Tiff::Long(0x829A, 1)};
        if (c.SonyFormat) {
            const uint32_t note = b.Size();
            b.Raw(std::string("SONY DSC \0\0\0\1\0\0\xB0\1\0\4\0\0\0", 22) + char(c.SonyFormat) + std::string(7, '\0'));
            exif.push_back({0x927C, 7, b.Size() - note, note});
        }
        const uint32_t exifIfd = b.Ifd(exif);
        // The DNG keeps its raw data in tiles, the others in a strip.
        const Tiff::Field offsets = c.Dng ? b.Longs(0x144, {0x4000, 0x7000}) : Tiff::Long(0x111, 0x4000);
        const Tiff::Field counts = c.Dng ? b.Longs(0x145, {0x3000, 0x3000}) : Tiff::Long(0x117, 0x6000);
        const uint32_t raw = b.Ifd({Tiff::Short(0x103, c.Compression), Tiff::Short(0x106, c.Photometric), offsets, counts});
        std::vector<Tiff::Field> ifd0 = {Tiff::Short(0x103, 6), b.Text(0x10F, c.Make), Tiff::Long(0x111, preview),
                                         Tiff::Long(0x117, 700), Tiff::Long(0x14A, raw), Tiff::Long(0x8769, exifIfd)};
        if (c.Dng)
            ifd0.push_back({0xC612, 1, 4, 0x00000401});
        b.First(b.Ifd(ifd0));
        b.PadTo(0x4000);
        b.Block(0x6000);
        const TiffInfo info = Examine(WithJunk(b.Get()));
        EXPECT_EQ(info.Type, c.Type);
        EXPECT_TRUE(info.End.IsComplete());
        EXPECT_EQ(info.End.Length, 0xA000u);
    }
}

// A NEF as Nikon lays it out: an IFD0 chain, a SubIFD list (preview JPEG, raw strips), the
// Exif IFD with the maker note, a TIFF of its own whose preview IFD points at a JPEG. That
// JPEG is put last here, so only following the maker note gives the end.
TEST(Tiff, NefEndsAtTheFarthestBlockAnyIfdNames)
{
    for (bool little : {true, false}) {
        SCOPED_TRACE(little);
        Tiff b(little);
        const uint32_t rawAt = 0x8000, strip = 0x1000, nikonJpeg = rawAt + 4 * strip, end = nikonJpeg + 0x800;
        const uint32_t noteAt = b.Size();
        Tiff note(false);  // offsets count from its header, 10 bytes into the maker note
        const uint32_t previewIfd = note.Ifd({Tiff::Long(0x201, nikonJpeg - noteAt - 10), Tiff::Long(0x202, 0x800)});
        note.First(note.Ifd({{0x0011, 13, 1, previewIfd}}));
        b.Raw(std::string("Nikon\0\x02\x10\0\0", 10));
        b.Raw(std::string(note.Get().begin(), note.Get().end()));
        const uint32_t exif = b.Ifd({{0x927C, 7, b.Size() - noteAt, noteAt}});
        const uint32_t jpeg = b.Block(500, 0xD8);
        const uint32_t jpegIfd = b.Ifd({Tiff::Long(0x201, jpeg), Tiff::Long(0x202, 500)});
        const Tiff::Field offsets = b.Longs(0x111, {rawAt, rawAt + strip, rawAt + 2 * strip, rawAt + 3 * strip});
        const Tiff::Field counts = b.Longs(0x117, {strip, strip, strip, strip});
        const uint32_t rawIfd = b.Ifd({Tiff::Short(0x106, 32803), offsets, counts});
        const Tiff::Field subIfds = b.Longs(0x14A, {jpegIfd, rawIfd});
        const uint32_t thumb = b.Block(300, 0x11);
        const uint32_t ifd1 = b.Ifd({Tiff::Long(0x201, thumb), Tiff::Long(0x202, 300)});
        const uint32_t ifd0 = b.Ifd({b.Text(0x10F, "NIKON CORPORATION"), subIfds, Tiff::Long(0x8769, exif)}, ifd1);
        b.First(ifd0);
        const uint32_t tablesEnd = b.Size();
        b.PadTo(end);
        const Bytes nef = b.Get();

        const TiffInfo info = Examine(WithJunk(nef));
        EXPECT_EQ(info.Type, FileTypeId::Nef);
        EXPECT_TRUE(info.End.IsComplete());
        EXPECT_EQ(info.End.Length, end);
        // Cut inside the raw strips: every table is at hand, so the end is known.
        const TiffInfo cut = Examine(nef, rawAt + 10);
        EXPECT_EQ(cut.Type, FileTypeId::Nef);
        EXPECT_TRUE(cut.End.IsNeedMore());
        EXPECT_EQ(cut.End.Length, end);
        // Cut before IFD0: only its place is known.
        const TiffInfo early = Examine(nef, ifd0 - 4);
        EXPECT_TRUE(early.End.IsNeedMore());
        EXPECT_GE(early.End.Length, ifd0 + 2u);
        EXPECT_LE(early.End.Length, tablesEnd);
    }
}

TEST(Tiff, BlocksOfUnrecordedLengthAtTheEndLeaveItUnknown)
{
    // RW2 writes StripByteCounts beside RawDataOffset, 0 in some models: then the raw data
    // runs to the file's end, which nothing records.
    for (uint32_t count : {0x3000u, 0u}) {
        Tiff b(true, 0x55);
        b.Raw(std::string(16, '\0'));
        const uint32_t jpeg = b.Block(900, 0xD8);
        b.First(b.Ifd({b.Text(0x10F, "Panasonic"), {0x002E, 7, 900, jpeg}, Tiff::Long(0x111, 0x2000),
                       Tiff::Long(0x117, count), Tiff::Long(0x118, 0x2000)}));
        b.PadTo(0x5000);
        const TiffInfo info = Examine(WithJunk(b.Get()));
        EXPECT_EQ(info.Type, FileTypeId::Rw2);
        EXPECT_EQ(info.End.Status, count ? FileEnd::State::Complete : FileEnd::State::Unknown);
        EXPECT_EQ(info.End.Length, count ? 0x5000u : 0u);
    }
    // The Sony A100 points its SubIFD tag at the raw data rather than an IFD.
    Tiff b;
    b.First(b.Ifd({b.Text(0x10F, "SONY"), Tiff::Long(0x14A, 0x1000)}));
    b.PadTo(0x1000);
    b.Block(4000, 0xFF);
    EXPECT_EQ(Examine(b.Get()).End.Status, FileEnd::State::Unknown);
}

TEST(Tiff, BrokenOrHostileStructuresEndQuickly)
{
    auto unknown = [](const Bytes& bytes, const char* label) {
        SCOPED_TRACE(label);
        EXPECT_EQ(Examine(bytes).Type, 0);
        EXPECT_EQ(Examine(bytes).End.Status, FileEnd::State::Unknown);
    };
    unknown(WithJunk({}), "garbage");
    Tiff magic(true, 43);
    magic.First(magic.Ifd({Tiff::Long(0x100, 1)}));
    unknown(magic.Get(), "magic");
    Tiff inHeader;
    inHeader.Ifd({Tiff::Long(0x100, 1)});
    inHeader.First(4);
    unknown(inHeader.Get(), "IFD0 inside the header");
    Tiff empty;
    empty.First(empty.Ifd({}));
    unknown(WithJunk(empty.Get()), "IFD0 without entries");
    Tiff types;
    types.First(types.Ifd({{0x100, 0x7777, 1, 0}, {0x101, 0x7777, 1, 0}}));
    unknown(WithJunk(types.Get()), "IFD0 of no known field types");

    // Every pointer leads back: the chain and the SubIFD to IFD0, Exif and GPS to the
    // Exif IFD, whose Interop and own chain point at itself.
    Tiff loop(false);
    const uint32_t ifd0 = loop.Size(), exif = ifd0 + 2 + 12 * 3 + 4;
    loop.Ifd({Tiff::Long(0x14A, ifd0), Tiff::Long(0x8769, exif), Tiff::Long(0x8825, exif)}, ifd0);
    loop.Ifd({Tiff::Long(0xA005, exif), Tiff::Long(0x8769, ifd0)}, exif);
    loop.First(ifd0);
    const auto start = std::chrono::steady_clock::now();
    const TiffInfo looped = Examine(WithJunk(loop.Get()));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_TRUE(looped.End.IsComplete());
    EXPECT_EQ(looped.End.Length, loop.Size());

    // A value claimed past 4 GiB is no part of the file; tile arrays of a million entries
    // past the bytes at hand ask for those bytes without being read.
    for (bool tiles : {false, true}) {
        Tiff b;
        const uint32_t strip = b.Block(64);
        std::vector<Tiff::Field> fields = {{0x8298, 4, 0x7FFFFFFF, 0x100}, Tiff::Long(0x111, strip), Tiff::Long(0x117, 64)};
        if (tiles)
            fields.insert(fields.end(), {{0x144, 4, 1000000, 0x10000}, {0x145, 4, 1000000, 0x500000}});
        b.First(b.Ifd(fields));
        const TiffInfo info = Examine(b.Get());
        EXPECT_EQ(info.End.Status, tiles ? FileEnd::State::NeedMore : FileEnd::State::Complete);
        EXPECT_EQ(info.End.Length, tiles ? 0x500000u + 4000000u : b.Size());
    }
}

}  // namespace
