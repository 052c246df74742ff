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

TiffInfo Examine(const Bytes& bytes, size_t length = SIZE_MAX)
{
    return ExamineTiff(SpanSource(std::span<const uint8_t>(bytes.data(), std::min(length, bytes.size()))));
}

Bytes WithJunk(Bytes bytes, size_t n = 3000)
{
    for (size_t i = 0; i < n; ++i)
        bytes.push_back(static_cast<uint8_t>(i * 37 + 11));
    return bytes;
}

// A TIFF laid out by hand: data blocks and IFDs appended in the order the test wants.
class TiffBuilder {
public:
    struct Field {
        uint16_t Tag, Type;
        uint32_t Count, Value;  // Value: inline value (SHORT or LONG) or offset
    };
    static Field Short(uint16_t tag, uint16_t v) { return {tag, 3, 1, v}; }
    static Field Long(uint16_t tag, uint32_t v) { return {tag, 4, 1, v}; }

    explicit TiffBuilder(bool little = true, uint16_t magic = 42) : m_little(little)
    {
        Raw(little ? "II" : "MM");
        U16(magic);
        U32(0);
    }
    const Bytes& Get() const { return m_bytes; }
    uint32_t Size() const { return static_cast<uint32_t>(m_bytes.size()); }
    void Raw(const std::string& text) { m_bytes.insert(m_bytes.end(), text.begin(), text.end()); }
    void U16(uint32_t v) { Put(v, 2); }
    void U32(uint32_t v) { Put(v, 4); }
    void PadTo(uint32_t pos) { m_bytes.resize(pos, 0); }
    void SetFirstIfd(uint32_t offset) { Patch32(4, offset); }
    void Patch32(uint32_t pos, uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            m_bytes[pos + i] = static_cast<uint8_t>(m_little ? v >> (8 * i) : v >> (24 - 8 * i));
    }
    // A block of n bytes of the given value; returns its offset.
    uint32_t Block(uint32_t n, uint8_t value = 0x5A)
    {
        const uint32_t at = Size();
        m_bytes.insert(m_bytes.end(), n, value);
        return at;
    }
    uint32_t Text(const std::string& text)
    {
        const uint32_t at = Size();
        Raw(text);
        m_bytes.push_back(0);
        return at;
    }
    Field TextField(uint16_t tag, const std::string& text) { return {tag, 2, static_cast<uint32_t>(text.size() + 1), Text(text)}; }
    Field Longs(uint16_t tag, const std::vector<uint32_t>& values)
    {
        const uint32_t at = Size();
        for (uint32_t v : values)
            U32(v);
        return {tag, 4, static_cast<uint32_t>(values.size()), at};
    }
    // An IFD (on an even offset); returns its offset.
    uint32_t Ifd(const std::vector<Field>& fields, uint32_t next = 0)
    {
        if (Size() % 2)
            m_bytes.push_back(0);
        const uint32_t at = Size();
        U16(static_cast<uint32_t>(fields.size()));
        for (const Field& f : fields) {
            U16(f.Tag);
            U16(f.Type);
            U32(f.Count);
            if (f.Type == 3 && f.Count == 1) {
                U16(f.Value);
                U16(0);
            } else {
                U32(f.Value);
            }
        }
        U32(next);
        return at;
    }

private:
    void Put(uint32_t v, int n)
    {
        for (int i = 0; i < n; ++i)
            m_bytes.push_back(static_cast<uint8_t>(m_little ? v >> (8 * i) : v >> (8 * (n - 1 - i))));
    }
    bool m_little;
    Bytes m_bytes;
};

using F = TiffBuilder;

// A raw laid out as cameras do: IFD0 with Make and a preview strip, a SubIFD with the raw
// strip at the end of the file, an Exif IFD with a maker note.
struct RawLayout {
    bool Little = true;
    uint16_t Magic = 42;
    std::string Make;
    bool Cr2Mark = false;
    bool Dng = false;
    uint16_t Photometric = 32803;
    uint16_t Compression = 1;
    Bytes MakerNote;
};

Bytes BuildRaw(const RawLayout& l, uint32_t* end)
{
    TiffBuilder b(l.Little, l.Magic);
    if (l.Cr2Mark)
        b.Raw(std::string("CR\x02\0\0\0\0\0", 8));
    const uint32_t preview = b.Block(700, 0xD8);
    std::vector<F::Field> exif = {F::Long(0x829A, 1)};
    if (!l.MakerNote.empty()) {
        const uint32_t note = b.Size();
        b.Raw(std::string(l.MakerNote.begin(), l.MakerNote.end()));
        exif.push_back({0x927C, 7, static_cast<uint32_t>(l.MakerNote.size()), note});
    }
    const uint32_t exifIfd = b.Ifd(exif);
    const uint32_t rawAt = 0x4000, rawLength = 0x6000;
    const uint32_t rawIfd = b.Ifd({F::Short(0x103, l.Compression), F::Short(0x106, l.Photometric),
                                   F::Long(0x111, rawAt), F::Long(0x117, rawLength)});
    std::vector<F::Field> ifd0 = {F::Short(0x103, 6), b.TextField(0x10F, l.Make), F::Long(0x111, preview),
                                  F::Long(0x117, 700), F::Long(0x14A, rawIfd), F::Long(0x8769, exifIfd)};
    if (l.Dng)
        ifd0.push_back({0xC612, 1, 4, 0x00000401});
    b.SetFirstIfd(b.Ifd(ifd0));
    b.PadTo(rawAt);
    b.Block(rawLength);
    *end = rawAt + rawLength;
    return b.Get();
}

// A Sony maker note whose FileFormat tag (0xB000) is the given value.
Bytes SonyNote(uint8_t format)
{
    Bytes out = {'S', 'O', 'N', 'Y', ' ', 'D', 'S', 'C', ' ', 0, 0, 0};
    const Bytes ifd = {1, 0, 0x00, 0xB0, 1, 0, 4, 0, 0, 0, format, 0, 0, 0, 0, 0, 0, 0};
    out.insert(out.end(), ifd.begin(), ifd.end());
    return out;
}

TEST(Tiff, FilesWrittenByImageMagickAndExiftoolEndWhereTheirIfdSays)
{
    px::test::TempHome home;
    struct Case {
        const char* Args;
        const char* Label;
    };
    const Case cases[] = {
        {"-size 64x48 xc:red -compress none", "little-endian strip"},
        {"-size 64x48 xc:red -compress none -endian MSB", "big-endian strip"},
        {"-size 64x48 xc:red -compress none -define tiff:tile-geometry=16x16", "tiles"},
        {"-size 64x48 xc:red xc:blue -compress none", "two pages"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        const std::string path = home.File("a.tif");
        ASSERT_EQ(px::test::Run(std::string("convert ") + c.Args + " " + px::test::Quote(path) + " 2>&1"), 0);
        const Bytes file = px::test::ReadFile(path);
        ASSERT_GT(file.size(), 1000u);

        const TiffInfo exact = Examine(file);
        EXPECT_EQ(exact.Type, FileTypeId::Tif);
        EXPECT_TRUE(exact.End.IsComplete());
        EXPECT_EQ(exact.End.Length, file.size());
        const TiffInfo junk = Examine(WithJunk(file));
        EXPECT_TRUE(junk.End.IsComplete());
        EXPECT_EQ(junk.End.Length, file.size());
        // libtiff writes the IFD after the picture: half the file does not reach it.
        const TiffInfo half = Examine(file, file.size() / 2);
        EXPECT_TRUE(half.End.IsNeedMore());
        EXPECT_GT(half.End.Length, file.size() / 2);
        EXPECT_LE(half.End.Length, file.size());
    }

    // A camera's Make and an Exif IFD written into a plain TIFF: still a TIFF (no raw
    // sensor data), and still ending where exiftool's layout ends.
    const std::string path = home.File("b.tif");
    ASSERT_EQ(px::test::Run("convert -size 64x48 xc:red -compress none " + px::test::Quote(path) + " 2>&1"), 0);
    std::string log;
    ASSERT_EQ(px::test::Run("exiftool -q -overwrite_original '-Make=NIKON CORPORATION' -Model=D850 "
                            "'-DateTimeOriginal=2024:05:01 10:00:00' -UserComment=hello " +
                                px::test::Quote(path) + " 2>&1",
                            &log),
              0)
        << log;
    const Bytes tagged = px::test::ReadFile(path);
    const TiffInfo info = Examine(WithJunk(tagged));
    EXPECT_EQ(info.Type, FileTypeId::Tif);
    EXPECT_TRUE(info.End.IsComplete());
    EXPECT_EQ(info.End.Length, tagged.size());
}

TEST(Tiff, CameraRawsAreNamedByTheirMarks)
{
    struct Case {
        RawLayout Layout;
        int32_t Type;
    };
    auto layout = [](std::string make) {
        RawLayout l;
        l.Make = std::move(make);
        return l;
    };
    std::vector<Case> cases;
    cases.push_back({layout("NIKON CORPORATION"), FileTypeId::Nef});
    cases.push_back({layout("PENTAX Corporation"), FileTypeId::Pef});
    cases.push_back({layout("RICOH IMAGING COMPANY, LTD."), FileTypeId::Pef});
    cases.push_back({layout("EASTMAN KODAK COMPANY"), FileTypeId::Dcr});
    cases.push_back({layout("Kodak"), FileTypeId::Dcr});
    cases.push_back({layout("OLYMPUS IMAGING CORP."), FileTypeId::Orf});
    cases.push_back({layout("SONY"), FileTypeId::Arw});
    cases.push_back({layout("Leaf"), FileTypeId::Tif});
    {
        RawLayout l = layout("NIKON CORPORATION");  // an RGB picture exported with the camera's tags
        l.Photometric = 2;
        cases.push_back({l, FileTypeId::Tif});
        l.Compression = 34713;  // Nikon's raw compression is raw data by itself
        cases.push_back({l, FileTypeId::Nef});
    }
    {
        RawLayout l = layout("Canon");
        l.Cr2Mark = true;
        cases.push_back({l, FileTypeId::Cr2});
        l.Cr2Mark = false;  // Canon without the CR2 mark (a 1D's TIFF raw): not a CR2
        l.Photometric = 2;
        cases.push_back({l, FileTypeId::Tif});
        l.Dng = true;  // a DNG is a DNG whatever camera made it
        l.Little = false;
        cases.push_back({l, FileTypeId::Dng});
    }
    {
        RawLayout l = layout("");
        l.Magic = 0x4F52;  // IIRO
        cases.push_back({l, FileTypeId::Orf});
        l.Little = false;  // MMOR
        cases.push_back({l, FileTypeId::Orf});
        l.Little = true;
        l.Magic = 0x5352;  // IIRS
        cases.push_back({l, FileTypeId::Orf});
        l.Magic = 0x55;  // IIU
        l.Make = "Panasonic";
        cases.push_back({l, FileTypeId::Rw2});
    }
    {
        RawLayout l = layout("SONY");
        l.Photometric = 2;
        l.MakerNote = SonyNote(1);
        cases.push_back({l, FileTypeId::Sr2});
        l.MakerNote = SonyNote(3);
        cases.push_back({l, FileTypeId::Arw});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Layout.Make + " magic " + std::to_string(c.Layout.Magic) + " type " + std::to_string(c.Type));
        uint32_t end = 0;
        const Bytes raw = BuildRaw(c.Layout, &end);
        const TiffInfo info = Examine(WithJunk(raw));
        EXPECT_EQ(info.Type, c.Type);
        EXPECT_TRUE(info.End.IsComplete());
        EXPECT_EQ(info.End.Length, end);
    }
}

// A NEF as Nikon lays it out: IFD0 chain, a SubIFD list (preview JPEG, raw strips), the
// Exif IFD with the maker note, a TIFF of its own whose preview IFD points at a JPEG. Here
// the maker note's preview is put last, so only following it gives the end.
TEST(Tiff, NefEndsAtTheFarthestBlockAnyIfdNames)
{
    for (bool little : {true, false}) {
        SCOPED_TRACE(little ? "II" : "MM");
        TiffBuilder b(little);
        const uint32_t rawAt = 0x8000, stripLength = 0x1000, strips = 4;
        const uint32_t nikonPreviewAt = rawAt + strips * stripLength, nikonPreviewLength = 0x800;

        // The maker note: "Nikon\0" 2.10, then a big-endian TIFF whose offsets count from it.
        const uint32_t noteAt = b.Size();
        const uint32_t base = noteAt + 10;
        TiffBuilder note(false);
        const uint32_t previewIfd = note.Ifd({F::Long(0x201, nikonPreviewAt - base), F::Long(0x202, nikonPreviewLength)});
        note.SetFirstIfd(note.Ifd({{0x0011, 13, 1, previewIfd}}));
        b.Raw(std::string("Nikon\0\x02\x10\0\0", 10));
        b.Raw(std::string(note.Get().begin(), note.Get().end()));
        const uint32_t noteLength = b.Size() - noteAt;

        const uint32_t exif = b.Ifd({F::Long(0x829A, 1), {0x927C, 7, noteLength, noteAt}});
        const uint32_t jpeg = b.Block(500, 0xD8);
        const uint32_t jpegIfd = b.Ifd({F::Long(0xFE, 1), F::Long(0x201, jpeg), F::Long(0x202, 500)});
        const F::Field offsets = b.Longs(0x111, {rawAt, rawAt + stripLength, rawAt + 2 * stripLength, rawAt + 3 * stripLength});
        const F::Field counts = b.Longs(0x117, {stripLength, stripLength, stripLength, stripLength});
        const uint32_t rawIfd = b.Ifd({F::Long(0xFE, 0), F::Short(0x103, 1), F::Short(0x106, 32803), offsets, counts});
        const F::Field subIfds = b.Longs(0x14A, {jpegIfd, rawIfd});
        const uint32_t thumb = b.Block(300, 0x11);
        const uint32_t ifd1 = b.Ifd({F::Long(0x201, thumb), F::Long(0x202, 300)});
        const uint32_t ifd0 = b.Ifd({b.TextField(0x10F, "NIKON CORPORATION"), subIfds, F::Long(0x8769, exif)}, ifd1);
        b.SetFirstIfd(ifd0);
        const uint32_t tablesEnd = b.Size();
        b.PadTo(nikonPreviewAt);
        b.Block(nikonPreviewLength);
        const Bytes nef = b.Get();

        const TiffInfo info = Examine(WithJunk(nef));
        EXPECT_EQ(info.Type, FileTypeId::Nef);
        EXPECT_TRUE(info.End.IsComplete());
        EXPECT_EQ(info.End.Length, nikonPreviewAt + nikonPreviewLength);

        // Cut inside the raw strips: every table is at hand, the end is known.
        const TiffInfo cut = Examine(nef, rawAt + 10);
        EXPECT_EQ(cut.Type, FileTypeId::Nef);
        EXPECT_TRUE(cut.End.IsNeedMore());
        EXPECT_EQ(cut.End.Length, nikonPreviewAt + nikonPreviewLength);

        // Cut before IFD0: only its place is known.
        const TiffInfo early = Examine(nef, ifd0 - 4);
        EXPECT_TRUE(early.End.IsNeedMore());
        EXPECT_GE(early.End.Length, ifd0 + 2u);
        EXPECT_LE(early.End.Length, tablesEnd);

    }
}

TEST(Tiff, Rw2RawDataRunsFromItsOffsetForTheStripByteCount)
{
    for (uint32_t count : {0x3000u, 0u}) {
        TiffBuilder b(true, 0x55);
        b.Raw(std::string(16, '\0'));  // RW2 header fields before IFD0 at 24
        const uint32_t jpeg = b.Block(900, 0xD8);
        const uint32_t rawAt = 0x2000;
        b.SetFirstIfd(b.Ifd({b.TextField(0x10F, "Panasonic"), {0x002E, 7, 900, jpeg}, F::Long(0x111, rawAt),
                             F::Long(0x117, count), F::Long(0x118, rawAt)}));
        b.PadTo(rawAt);
        b.Block(0x3000);
        const TiffInfo info = Examine(WithJunk(b.Get()));
        EXPECT_EQ(info.Type, FileTypeId::Rw2);
        if (count) {
            EXPECT_TRUE(info.End.IsComplete());
            EXPECT_EQ(info.End.Length, rawAt + count);
        } else {
            // Some models write 0: the raw data runs to the file's end, which nothing records.
            EXPECT_EQ(info.End.Status, FileEnd::State::Unknown);
        }
    }
}

TEST(Tiff, BrokenOrHostileStructuresEndQuickly)
{
    const Bytes garbage = WithJunk({}, 4096);
    EXPECT_EQ(Examine(garbage).Type, 0);
    EXPECT_EQ(Examine(garbage).End.Status, FileEnd::State::Unknown);

    auto unknown = [](const Bytes& bytes, const char* label) {
        SCOPED_TRACE(label);
        const TiffInfo info = Examine(bytes);
        EXPECT_EQ(info.Type, 0);
        EXPECT_EQ(info.End.Status, FileEnd::State::Unknown);
    };
    {
        TiffBuilder b(true, 43);  // not 42
        b.SetFirstIfd(b.Ifd({F::Long(0x100, 1)}));
        unknown(b.Get(), "magic");
    }
    {
        TiffBuilder b;
        b.Ifd({F::Long(0x100, 1)});
        b.SetFirstIfd(4);
        unknown(b.Get(), "IFD0 inside the header");
    }
    {
        TiffBuilder b;
        b.SetFirstIfd(b.Ifd({}));
        b.Block(100);
        unknown(b.Get(), "IFD0 without entries");
    }
    {
        TiffBuilder b;
        b.Block(100);
        b.SetFirstIfd(b.Ifd({{0x100, 0x7777, 1, 0}, {0x101, 0x7777, 1, 0}}));
        unknown(b.Get(), "IFD0 of no known field types");
    }

    // Every pointer leads back: the chain to itself, SubIFD and Exif to IFD0, Interop to
    // the Exif IFD. Each IFD counts once.
    {
        TiffBuilder b(false);
        const uint32_t at = b.Size();
        const uint32_t exif = at + 2 + 12 * 4 + 4;
        const uint32_t ifd0 = b.Ifd({F::Long(0x14A, at), F::Long(0x8769, exif), F::Long(0x8825, at), F::Long(0x8825, exif)}, at);
        const uint32_t exifIfd = b.Ifd({F::Long(0xA005, exif), F::Long(0x8769, ifd0)}, exif);
        ASSERT_EQ(exifIfd, exif);
        b.SetFirstIfd(ifd0);
        const auto start = std::chrono::steady_clock::now();
        const TiffInfo info = Examine(WithJunk(b.Get()));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_TRUE(info.End.IsComplete());
        EXPECT_EQ(info.End.Length, b.Size());
    }

    // Sizes no file has: a value claimed past 4 GiB is no part of the file; strip arrays
    // claiming a million entries past the bytes at hand ask for those bytes, and are not
    // read or allocated.
    {
        TiffBuilder b;
        const uint32_t strip = b.Block(64);
        b.SetFirstIfd(b.Ifd({{0x8298, 4, 0x7FFFFFFF, 0x100}, F::Long(0x111, strip), F::Long(0x117, 64),
                             {0x144, 4, 1000000, 0x10000}, {0x145, 4, 1000000, 0x500000}}));
        const TiffInfo info = Examine(b.Get());
        EXPECT_TRUE(info.End.IsNeedMore());
        EXPECT_EQ(info.End.Length, 0x500000u + 4 * 1000000u);
    }
    {
        TiffBuilder b;
        const uint32_t strip = b.Block(64);
        b.SetFirstIfd(b.Ifd({{0x8298, 4, 0x7FFFFFFF, 0x100}, F::Long(0x111, strip), F::Long(0x117, 64),
                             F::Long(0x111, 0xFFFFFFF0), F::Long(0x202, 0x100)}));
        const TiffInfo info = Examine(WithJunk(b.Get()));
        EXPECT_TRUE(info.End.IsComplete());
        EXPECT_EQ(info.End.Length, b.Size());
    }

    // The Sony A100 points its SubIFD tag at raw data rather than an IFD: its length is
    // not in the structure.
    {
        TiffBuilder b;
        const uint32_t rawAt = 0x1000;
        b.SetFirstIfd(b.Ifd({b.TextField(0x10F, "SONY"), F::Long(0x14A, rawAt)}));
        b.PadTo(rawAt);
        b.Block(4000, 0xFF);
        EXPECT_EQ(Examine(b.Get()).End.Status, FileEnd::State::Unknown);
    }
}

}  // namespace
