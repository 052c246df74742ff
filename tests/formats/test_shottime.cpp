// ShotTime and MovieShotTime: pictures tagged by exiftool, movies written by ffmpeg, and
// containers and broken files laid out here byte by byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "app/filetypes.h"
#include "formats/shottime.h"
#include "support/fixtures.h"

namespace {

using Bytes = std::vector<uint8_t>;

int64_t Shot(int32_t type, const Bytes& b) { return ShotTime(type, SpanSource(b)); }
int64_t Movie(const Bytes& b) { return MovieShotTime(SpanSource(b)); }
Bytes Cut(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + std::min(n, b.size())); }

// The expected answers, worked out by the C library.
int64_t Utc(int y, int mo, int d, int h, int mi, int s)
{
    std::tm t {};
    t.tm_year = y - 1900, t.tm_mon = mo - 1, t.tm_mday = d, t.tm_hour = h, t.tm_min = mi, t.tm_sec = s;
    return static_cast<int64_t>(timegm(&t));
}

// The machine's time zone for a test's life: US Eastern by rule (no zone database needed),
// summer time (UTC-4) from the second Sunday of March to the first of November.
class EasternTime {
public:
    EasternTime() : m_old(std::getenv("TZ") ? std::getenv("TZ") : "")
    {
        m_had = std::getenv("TZ") != nullptr;
        setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
        tzset();
    }
    ~EasternTime()
    {
        m_had ? setenv("TZ", m_old.c_str(), 1) : unsetenv("TZ");
        tzset();
    }

private:
    std::string m_old;
    bool m_had = false;
};

// Counts the bytes read, to show what is passed over.
class CountingSource : public SpanSource {
public:
    explicit CountingSource(const Bytes& b) : SpanSource(b) {}
    size_t Read(uint64_t offset, uint8_t* out, size_t n) const override
    {
        const size_t got = SpanSource::Read(offset, out, n);
        Count += got;
        return got;
    }
    mutable uint64_t Count = 0;
};

void Put(Bytes& b, uint64_t v, int n, bool little = false)
{
    for (int i = 0; i < n; ++i)
        b.push_back(static_cast<uint8_t>(v >> 8 * (little ? i : n - 1 - i)));
}
void Put(Bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }
Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes Box(const std::string& type, const Bytes& body)
{
    Bytes b;
    Put(b, body.size() + 8, 4);
    Put(b, type);
    return Cat({b, body});
}
Bytes Mvhd(int version, uint64_t created)
{
    Bytes b;
    Put(b, uint64_t(version) << 24, 4);
    Put(b, created, version == 1 ? 8 : 4);
    b.resize(100, 0);
    return Box("mvhd", b);
}
Bytes Riff(const std::string& id, const Bytes& body)
{
    Bytes b;
    Put(b, id);
    Put(b, body.size(), 4, true);
    b = Cat({b, body});
    b.resize(b.size() + b.size() % 2, 0);
    return b;
}
Bytes Avi(const std::string& idit)
{
    const Bytes hdrl =
        Riff("LIST", Cat({{'h', 'd', 'r', 'l'}, Riff("avih", Bytes(56)), Riff("IDIT", {idit.begin(), idit.end()})}));
    return Riff("RIFF", Cat({{'A', 'V', 'I', ' '}, hdrl, Riff("JUNK", Bytes(100))}));
}

// A little-endian TIFF: IFD0 of the tag 0x132 with the text ifd0 (none when empty) and a
// pointer to an Exif IFD of two texts, DateTimeOriginal and OffsetTimeOriginal. The Exif
// IFD is at 26, its first entry's value at 36.
Bytes MakeTiff(const std::string& original, const std::string& offset, const std::string& ifd0 = {})
{
    Bytes b, texts;
    const uint32_t n0 = ifd0.empty() ? 1 : 2, exifAt = 8 + 2 + 12 * n0 + 4, textsAt = exifAt + 2 + 24 + 4;
    auto entry = [&](uint16_t tag, uint16_t type, const std::string& text, uint32_t value) {
        Put(b, tag, 2, true);
        Put(b, type, 2, true);
        Put(b, type == 2 ? text.size() + 1 : 1, 4, true);
        if (type == 2 && text.size() < 4)
            Put(b, text + std::string(4 - text.size(), '\0'));
        else
            Put(b, type == 2 ? textsAt + texts.size() : value, 4, true);
        if (type == 2 && text.size() >= 4)
            Put(texts, text + '\0');
    };
    Put(b, std::string("II*\0", 4));
    Put(b, 8, 4, true);
    Put(b, n0, 2, true);
    if (!ifd0.empty())
        entry(0x132, 2, ifd0, 0);
    entry(0x8769, 4, {}, exifAt);
    Put(b, 0, 4);
    Put(b, 2, 2, true);
    entry(0x9003, 2, original, 0);
    entry(0x9011, 2, offset, 0);
    Put(b, 0, 4);
    return Cat({b, texts});
}

struct Made {
    std::string error;
    Bytes offset, local, fallback, modified, plain, tiff, tiffMsb, heic;
};

// The tagged files, made once for the whole program.
const Made& Files()
{
    static const Made made = [] {
        Made m;
        px::test::TempHome home;
        const std::string et = " && exiftool -q -overwrite_original ";
        const std::string cmd =
            "cd " + px::test::Quote(home.Path()) + " && convert -seed 5 -size 64x48 plasma:fractal plain.jpg" +
            " && for f in offset local fallback modified; do cp plain.jpg $f.jpg; done" + et +
            "'-DateTimeOriginal=2023:07:04 12:30:45' -OffsetTimeOriginal=+02:00"
            " '-CreateDate=2011:11:11 11:11:11' -OffsetTimeDigitized=+01:00 offset.jpg" +
            et + "'-DateTimeOriginal=2023:07:04 12:30:45' local.jpg" + et +
            "'-DateTimeOriginal#=0000:00:00 00:00:00' -OffsetTimeOriginal=+09:00"
            " '-CreateDate=2022:12:31 23:30:00' -OffsetTimeDigitized=-03:30 fallback.jpg" +
            et + "'-ModifyDate=2001:02:03 04:05:06' -OffsetTime=-08:00 modified.jpg" +
            " && convert -size 64x48 xc:red -compress none a.tif"
            " && convert -size 64x48 xc:red -compress none -define tiff:endian=msb b.tif" + et +
            "'-DateTimeOriginal=2019:12:24 18:00:00' -OffsetTimeOriginal=+05:30 a.tif b.tif"
            " && convert -size 64x48 xc:blue a.heic" + et +
            "'-DateTimeOriginal=2024:02:29 23:59:59' -OffsetTimeOriginal=-10:00 a.heic";
        std::string out;
        if (px::test::Run(cmd + " 2>&1", &out) != 0)
            m.error = "making the pictures failed (ImageMagick and exiftool are needed): " + out;
        auto read = [&](const char* name) { return px::test::ReadFile(home.File(name)); };
        m.offset = read("offset.jpg"), m.local = read("local.jpg"), m.fallback = read("fallback.jpg");
        m.modified = read("modified.jpg"), m.plain = read("plain.jpg"), m.tiff = read("a.tif");
        m.tiffMsb = read("b.tif"), m.heic = read("a.heic");
        return m;
    }();
    return made;
}

#define REQUIRE_FILES(m)                     \
    const Made& m = Files();                 \
    ASSERT_TRUE(m.error.empty()) << m.error; \
    ASSERT_FALSE(m.heic.empty())

const int64_t kJpegTime = Utc(2023, 7, 4, 10, 30, 45), kHeicTime = Utc(2024, 3, 1, 9, 59, 59);

}  // namespace

TEST(ShotTime, JpegExifDatesWithTheirOwnOffsetsOrAsLocalTime)
{
    REQUIRE_FILES(m);
    EasternTime eastern;
    EXPECT_EQ(Shot(FileTypeId::Jpg, m.offset), kJpegTime);  // not DateTimeDigitized's
    EXPECT_EQ(Shot(FileTypeId::Jpg, m.local), Utc(2023, 7, 4, 16, 30, 45));  // summer: UTC-4
    // A zeroed DateTimeOriginal gives way to DateTimeDigitized with its own offset.
    EXPECT_EQ(Shot(FileTypeId::Jpg, m.fallback), Utc(2023, 1, 1, 3, 0, 0));
    EXPECT_EQ(Shot(FileTypeId::Jpg, m.modified), Utc(2001, 2, 3, 12, 5, 6));  // IFD0 DateTime
    EXPECT_EQ(Shot(FileTypeId::Jpg, m.plain), 0);
    EXPECT_EQ(Shot(FileTypeId::Thm, m.offset), kJpegTime);
    EXPECT_EQ(Shot(FileTypeId::Png, m.offset), 0);

    // RAF: the JPEG where the header's offset points.
    Bytes raf;
    Put(raf, "FUJIFILMCCD-RAW 0201FF383501");
    raf.resize(84, 0);
    Put(raf, 160, 4);
    Put(raf, m.offset.size(), 4);
    raf.resize(160, 0);
    raf = Cat({raf, m.offset});
    EXPECT_EQ(Shot(FileTypeId::Raf, raf), kJpegTime);
    raf[84 + 3] = 161;  // one byte off: no JPEG there
    EXPECT_EQ(Shot(FileTypeId::Raf, raf), 0);
}

TEST(ShotTime, TiffFamilyHeicAndCr3)
{
    REQUIRE_FILES(m);
    const int64_t want = Utc(2019, 12, 24, 12, 30, 0);
    ASSERT_EQ(m.tiffMsb[0], 'M');
    for (int32_t type : {FileTypeId::Tif, FileTypeId::Nef, FileTypeId::Cr2, FileTypeId::Dng, FileTypeId::Arw,
                         FileTypeId::Sr2, FileTypeId::Pef, FileTypeId::Orf, FileTypeId::Dcr, FileTypeId::Rw2}) {
        EXPECT_EQ(Shot(type, m.tiff), want) << type;
        EXPECT_EQ(Shot(type, m.tiffMsb), want) << type;
    }
    // ORF's and RW2's own magic numbers; any other is no TIFF.
    Bytes orf = m.tiff, rw2 = m.tiff, other = m.tiff;
    orf[2] = 'R', orf[3] = 'O', rw2[2] = 'U', rw2[3] = 0, other[2] = 43;
    EXPECT_EQ(Shot(FileTypeId::Orf, orf), want);
    EXPECT_EQ(Shot(FileTypeId::Rw2, rw2), want);
    EXPECT_EQ(Shot(FileTypeId::Tif, other), 0);

    EXPECT_EQ(Shot(FileTypeId::Heic, m.heic), kHeicTime);

    // CR3: CMT2's DateTimeOriginal, else CMT1's DateTime, else the movie header's time.
    const uint8_t canon[16] = {0x85, 0xC0, 0xB6, 0x87, 0x82, 0x0F, 0x11, 0xE0,
                               0x81, 0x11, 0xF4, 0xCE, 0x46, 0x2B, 0x6A, 0x48};
    const Bytes cmt1 = Box("CMT1", MakeTiff("", "", "2020:10:10 10:10:10"));
    const Bytes cmt2 = Box("CMT2", MakeTiff("2020:10:10 10:10:09", "+03:00"));
    const int64_t movie = Utc(2020, 10, 10, 7, 0, 0);
    auto cr3 = [&](const Bytes& cmts, uint64_t created) {
        const Bytes uuid = Box("uuid", Cat({Bytes(canon, canon + 16), cmts}));
        return Cat({Box("ftyp", {'c', 'r', 'x', ' '}), Box("moov", Cat({uuid, Mvhd(0, created)})),
                    Box("mdat", Bytes(300))});
    };
    const uint64_t created = uint64_t(movie) + 2082844800;
    EXPECT_EQ(Shot(FileTypeId::Cr3, cr3(Cat({cmt1, cmt2}), created)), Utc(2020, 10, 10, 7, 10, 9));
    {
        EasternTime eastern;  // no offset: October, UTC-4
        EXPECT_EQ(Shot(FileTypeId::Cr3, cr3(cmt1, created)), Utc(2020, 10, 10, 14, 10, 10));
    }
    EXPECT_EQ(Shot(FileTypeId::Cr3, cr3(Box("CMT3", Bytes(20)), created)), movie);
    EXPECT_EQ(Shot(FileTypeId::Cr3, cr3(Box("CMT3", Bytes(20)), 0)), 0);
    // Cut before CMT2 ends: not CMT1's time.
    const Bytes full = cr3(Cat({cmt1, cmt2}), created);
    EXPECT_EQ(Shot(FileTypeId::Cr3, Cut(full, 12 + 8 + 8 + 16 + cmt1.size() + 10)), 0);
}

TEST(MovieShotTime, FfmpegMoviesHandMadeBoxesAndAviIdit)
{
    px::test::TempHome home;
    const std::string ff = "ffmpeg -v error -f lavfi -i testsrc=s=320x240:d=2 -pix_fmt yuv420p"
                           " -metadata creation_time=2024-05-18T08:34:16Z ";
    const int64_t want = Utc(2024, 5, 18, 8, 34, 16);
    for (std::string args : {"a.mp4", "-movflags +faststart f.mp4", "a.mov"}) {
        SCOPED_TRACE(args);
        ASSERT_EQ(px::test::Run("cd " + px::test::Quote(home.Path()) + " && " + ff + args), 0) << "ffmpeg is needed";
        const Bytes file = px::test::ReadFile(home.File(args.substr(args.size() - 5)));
        ASSERT_GT(file.size(), 10000u);
        CountingSource counted(file);  // the mdat is passed over, wherever the moov is
        EXPECT_EQ(MovieShotTime(counted), want);
        EXPECT_LT(counted.Count, 200u);
        const std::string moov = "moov";  // its header at hand, its mvhd not
        const size_t at = std::search(file.begin(), file.end(), moov.begin(), moov.end()) - file.begin();
        EXPECT_EQ(Movie(Cut(file, at + 20)), 0);
    }
    // Version 1 headers, a 64-bit box size, and creation times that are no time.
    Bytes big;
    Put(big, 1, 4);
    Put(big, "mdat");
    Put(big, 24, 8);
    Put(big, 0, 8);
    const uint64_t v1 = uint64_t(want) + 2082844800;
    EXPECT_EQ(Movie(Cat({Box("ftyp", Bytes(8, 'a')), big, Box("moov", Cat({Box("trak", {}), Mvhd(1, v1)}))})), want);
    for (const Bytes& mvhd : {Mvhd(0, 0), Mvhd(0, 1000), Mvhd(1, UINT64_MAX), Mvhd(2, v1)})
        EXPECT_EQ(Movie(Box("moov", mvhd)), 0);

    EasternTime eastern;  // before summer time began on 9 March 2008: UTC-5
    EXPECT_EQ(Movie(Avi(std::string("Mon Mar 03 10:20:30 2008\n\0", 26))), Utc(2008, 3, 3, 15, 20, 30));
    EXPECT_EQ(Movie(Avi("Mon Mar  3 10:20:30 2008")), Utc(2008, 3, 3, 15, 20, 30));
    EXPECT_EQ(Movie(Avi("2008:03:03 10:20:30")), Utc(2008, 3, 3, 15, 20, 30));
    EXPECT_EQ(Movie(Avi("2008-07-03  10:20:30")), Utc(2008, 7, 3, 14, 20, 30));
    for (const char* text : {"Mon Foo 03 10:20:30 2008", "Mon Feb 30 10:20:30 2008", ""})
        EXPECT_EQ(Movie(Avi(text)), 0) << text;
}

TEST(ShotTime, BrokenDatesAndHostileBytesGiveNoTime)
{
    REQUIRE_FILES(m);
    {
        EasternTime eastern;
        for (const char* date : {"0000:00:00 00:00:00", "2023:02:29 10:00:00", "2023:13:01 10:00:00",
                                 "2023:04:31 10:00:00", "2023:04:30 24:00:00", "2023:04:30 10:60:00",
                                 "2023:04:30 10:00", "    :  :     :  :  ", "2023:04-30 10:00:00"})
            EXPECT_EQ(Shot(FileTypeId::Tif, MakeTiff(date, "+01:00")), 0) << date;
        // A broken offset is none: local time. 'T' and '-' are taken.
        EXPECT_EQ(Shot(FileTypeId::Tif, MakeTiff("2024:01:02 03:04:05", "+15:00")), Utc(2024, 1, 2, 8, 4, 5));
        EXPECT_EQ(Shot(FileTypeId::Tif, MakeTiff("2024-01-02T03:04:05", "")), Utc(2024, 1, 2, 8, 4, 5));
    }
    // Offsets that lead nowhere: the Exif IFD past the end or at IFD0, an IFD of 65535
    // entries, a date text past the end.
    const Bytes tiff = MakeTiff("2024:01:02 03:04:05", "+01:00");
    ASSERT_EQ(Shot(FileTypeId::Tif, tiff), Utc(2024, 1, 2, 2, 4, 5));
    Bytes pastEnd = tiff, self = tiff, many = tiff, textGone = tiff;
    pastEnd[18] = 0xF0, self[18] = 8, many[26] = many[27] = 0xFF, textGone[39] = 0x7F;
    for (const Bytes& b : {pastEnd, self, many, textGone})
        EXPECT_EQ(Shot(FileTypeId::Tif, b), 0);

    // Every cut of a tagged JPEG and HEIC tells the right time or none.
    for (size_t n = 0; n <= 2000; ++n) {
        const int64_t jpeg = Shot(FileTypeId::Jpg, Cut(m.offset, n)), heic = Shot(FileTypeId::Heic, Cut(m.heic, n));
        ASSERT_TRUE(jpeg == 0 || jpeg == kJpegTime) << n;
        ASSERT_TRUE(heic == 0 || heic == kHeicTime) << n;
    }

    // Garbage, a box of an absurd size and a long chain of empty boxes.
    Bytes garbage(4096);
    uint32_t x = 12345;
    for (uint8_t& c : garbage)
        c = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 16);
    for (int32_t type = 0; type <= FileTypeId::Last; ++type)
        EXPECT_EQ(Shot(type, garbage), 0) << type;
    EXPECT_EQ(Movie(garbage), 0);
    Bytes huge;
    Put(huge, 1, 4);
    Put(huge, "moov");
    Put(huge, UINT64_MAX, 8);
    Put(huge, 0xFFFFFFFF, 4);
    Put(huge, "mvhd");
    EXPECT_EQ(Movie(huge), 0);
    Bytes chain;
    for (int i = 0; i < 20000; ++i)
        Put(chain, std::string("\0\0\0\x08" "free", 8));
    chain = Cat({chain, Box("moov", Mvhd(0, 3798866056u))});
    CountingSource counted(chain);
    EXPECT_EQ(MovieShotTime(counted), 0);  // too far to be looked for
    EXPECT_LT(counted.Count, chain.size() / 4);
}
