// The JPEG end finder against files made by ImageMagick and exiftool, and against
// multi-picture files, motion photos and phone trailers put together here byte by byte.
#include "formats/jpeg.h"
#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kWhole = SIZE_MAX;

std::string Str(const FileEnd& e)
{
    const char* s = e.IsComplete() ? "Complete" : e.IsNeedMore() ? "NeedMore" : "Unknown";
    return std::string(s) + "(" + std::to_string(e.Length) + ")";
}

// Feeds the bytes in pieces of the given size; returns the last state.
FileEnd Scan(const Bytes& b, size_t piece = kWhole, JpegScanner* out = nullptr)
{
    JpegScanner local;
    JpegScanner& s = out ? *out : local;
    FileEnd e = s.State();
    for (size_t at = 0; at < b.size(); at += piece)
        e = s.Feed(b.data() + at, std::min(piece, b.size() - at));
    return e;
}

// Random bytes with EOI and SOI markers among them, as found after a file on a card.
Bytes Garbage(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes g(n);
    for (auto& b : g)
        b = uint8_t(rng());
    for (size_t i = 0; i + 4 < n; i += 97) {
        g[i] = 0xFF;
        g[i + 1] = (i / 97) % 2 ? 0xD9 : 0xD8;
    }
    return g;
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Text(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

Bytes Prefix(const Bytes& b, size_t n)
{
    return Bytes(b.begin(), b.begin() + ptrdiff_t(n));
}

// The JPEG with one more segment right after its SOI.
Bytes WithSegment(const Bytes& jpeg, uint8_t marker, const Bytes& body)
{
    const size_t len = body.size() + 2;
    Bytes seg{0xFF, marker, uint8_t(len >> 8), uint8_t(len)};
    Bytes out(jpeg.begin(), jpeg.begin() + 2);
    return out + seg + body + Bytes(jpeg.begin() + 2, jpeg.end());
}

size_t Find(const Bytes& b, const Bytes& what, size_t from = 0)
{
    auto it = std::search(b.begin() + ptrdiff_t(from), b.end(), what.begin(), what.end());
    return it == b.end() ? SIZE_MAX : size_t(it - b.begin());
}

// The first byte of the entropy-coded data of the first scan.
size_t ScanDataStart(const Bytes& j)
{
    const size_t sos = Find(j, {0xFF, 0xDA});
    return sos + 2 + (size_t(j[sos + 2]) << 8 | j[sos + 3]);
}

// An offset in the middle of the first scan where two bytes can be replaced without
// touching an FF.
size_t EntropySpot(const Bytes& j, size_t nth = 0)
{
    size_t k = ScanDataStart(j) + 40 + nth * 61;
    while (j[k - 1] == 0xFF || j[k] == 0xFF || j[k + 1] == 0xFF)
        ++k;
    return k;
}

struct MadeJpegs {
    std::string error;
    Bytes baseline, progressive, exif;
};

// The pictures are made once for the whole program.
const MadeJpegs& Made()
{
    static const MadeJpegs made = [] {
        MadeJpegs m;
        std::string dir = (std::filesystem::temp_directory_path() / "px3-jpegXXXXXX").string();
        if (!mkdtemp(dir.data())) {
            m.error = "no temporary folder";
            return m;
        }
        const std::string q = px::test::Quote(dir);
        const std::string cmd =
            "cd " + q +
            " && convert -seed 7 -size 200x150 plasma:fractal -quality 90 base.jpg"
            " && convert base.jpg -interlace Plane prog.jpg"
            " && convert base.jpg -resize 48x36 thumb.jpg && cp base.jpg exif.jpg"
            " && exiftool -q -overwrite_original '-ThumbnailImage<=thumb.jpg' exif.jpg";
        std::string out;
        if (px::test::Run(cmd + " 2>&1", &out) != 0)
            m.error = "making the pictures failed (ImageMagick and exiftool are needed): " + out;
        m.baseline = px::test::ReadFile(dir + "/base.jpg");
        m.progressive = px::test::ReadFile(dir + "/prog.jpg");
        m.exif = px::test::ReadFile(dir + "/exif.jpg");
        std::filesystem::remove_all(dir);
        return m;
    }();
    return made;
}

#define REQUIRE_MADE(m)                          \
    const MadeJpegs& m = Made();                 \
    ASSERT_TRUE(m.error.empty()) << m.error;     \
    ASSERT_GT(m.baseline.size(), 2000u)

}  // namespace

TEST(JpegScanner, EndsAtTheEoiOfRealFilesInPiecesOfAnySize)
{
    REQUIRE_MADE(m);
    // The inputs are what the cases need: a progressive file with several scans and an
    // Exif thumbnail (a whole JPEG with its own EOI) inside an APP1.
    size_t scans = 0;
    for (size_t at = 0; (at = Find(m.progressive, {0xFF, 0xDA}, at)) != SIZE_MAX; ++at)
        ++scans;
    ASSERT_GE(scans, 2u);
    const size_t thumb = Find(m.exif, {0xFF, 0xD8, 0xFF}, 2);
    ASSERT_NE(thumb, SIZE_MAX);
    ASSERT_LT(Find(m.exif, {0xFF, 0xD9}, thumb), m.exif.size() - 2);

    for (const Bytes* file : {&m.baseline, &m.progressive, &m.exif}) {
        const Bytes data = *file + Garbage(3000, 1);
        const std::string want = Str(FileEnd::Complete(file->size()));
        for (size_t piece : {kWhole, size_t(1), size_t(7), size_t(4096)}) {
            JpegScanner s;
            EXPECT_EQ(Str(Scan(data, piece, &s)), want) << "piece " << piece;
            EXPECT_EQ(s.Fed(), data.size());
            EXPECT_EQ(s.GoodUpTo(), file->size());
            EXPECT_FALSE(s.InEntropyData());
        }
        EXPECT_EQ(Str(FindJpegEnd(SpanSource(data))), want);
    }
}

TEST(JpegScanner, TruncatedFileNeedsMoreAndGoesOn)
{
    REQUIRE_MADE(m);
    const Bytes& j = m.exif;
    for (size_t cut = 1; cut < j.size(); cut += (cut < 40 || cut > j.size() - 40) ? 1 : 13) {
        JpegScanner s;
        const FileEnd e = Scan(Prefix(j, cut), kWhole, &s);
        ASSERT_TRUE(e.IsNeedMore()) << "cut at " << cut << ": " << Str(e);
        ASSERT_EQ(s.GoodUpTo(), cut);
        // The rest completes it.
        EXPECT_EQ(Str(s.Feed(j.data() + cut, j.size() - cut)), Str(FileEnd::Complete(j.size())));
    }
    // Within a segment the end of that segment is the least length needed.
    const size_t app1 = Find(j, {0xFF, 0xE1});
    const size_t app1End = app1 + 2 + (size_t(j[app1 + 2]) << 8 | j[app1 + 3]);
    EXPECT_EQ(Str(Scan(Prefix(j, app1 + 10))), Str(FileEnd::NeedMore(app1End)));
    // Cut inside the entropy data.
    JpegScanner s;
    Scan(Prefix(m.baseline, EntropySpot(m.baseline)), kWhole, &s);
    EXPECT_TRUE(s.InEntropyData());
}

TEST(JpegScanner, BrokenStructureIsUnknownWithWhereItBroke)
{
    REQUIRE_MADE(m);
    const Bytes& b = m.baseline;
    struct Case {
        const char* name;
        Bytes bytes;
        uint64_t goodUpTo;
    };
    std::vector<Case> cases;
    cases.push_back({"not a JPEG", Bytes{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}, 0});
    {
        Bytes x = b;
        x[4] = 0;
        x[5] = 1;  // the first segment's length below 2
        cases.push_back({"segment length 1", x, 2});
    }
    {
        Bytes x = b;
        const size_t next = 4 + (size_t(b[4]) << 8 | b[5]);
        x[next] = 0x00;  // where the next marker must be
        cases.push_back({"no marker after a segment", x, next});
    }
    for (uint8_t code : {uint8_t(0x05), uint8_t(0xC0), uint8_t(0xD8), uint8_t(0xC8)}) {
        Bytes x = b;
        const size_t k = EntropySpot(b);
        x[k] = 0xFF;
        x[k + 1] = code;
        cases.push_back({"marker that cannot occur in a scan", x, k});
    }
    {
        const size_t k = EntropySpot(b, 10);
        cases.push_back({"a new file inside a scan", Prefix(b, k) + m.progressive, k});
    }
    {
        const size_t sos = Find(b, {0xFF, 0xDA});
        cases.push_back({"EOI before any scan", Prefix(b, sos) + Bytes{0xFF, 0xD9}, sos});
    }
    for (const Case& c : cases) {
        for (size_t piece : {kWhole, size_t(1)}) {
            JpegScanner s;
            EXPECT_EQ(Str(Scan(c.bytes + Garbage(200, 2), piece, &s)), Str(FileEnd::Unknown())) << c.name;
            EXPECT_EQ(s.GoodUpTo(), c.goodUpTo) << c.name;
            EXPECT_TRUE(s.Settled());
        }
    }
}

TEST(JpegScanner, RestartMarkersFillBytesAndSegmentsBetweenScans)
{
    REQUIRE_MADE(m);
    Bytes j = m.baseline;
    ASSERT_EQ(j[j.size() - 2], 0xFF);
    ASSERT_EQ(j[j.size() - 1], 0xD9);
    // A comment segment and fill bytes between the scan and its EOI.
    j.resize(j.size() - 2);
    j = j + Bytes{0xFF, 0xFF, 0xFE, 0x00, 0x05, 'a', 'b', 'c', 0xFF, 0xFF, 0xFF, 0xD9};
    // Restart markers and stuffed bytes spread over the scan; a DRI segment up front.
    for (int r = 0; r < 8; ++r) {
        const size_t k = EntropySpot(j, size_t(r) * 3);
        const Bytes ins = r % 2 ? Bytes{0xFF, uint8_t(0xD0 + r)} : Bytes{0xFF, 0x00, 0xFF, uint8_t(0xD0 + r)};
        j.insert(j.begin() + ptrdiff_t(k), ins.begin(), ins.end());
    }
    j = WithSegment(j, 0xDD, {0x00, 0x10});
    const Bytes data = j + Garbage(500, 3);
    for (size_t piece : {kWhole, size_t(1), size_t(3)})
        EXPECT_EQ(Str(Scan(data, piece)), Str(FileEnd::Complete(j.size()))) << "piece " << piece;
}

namespace {

// A two-image file: the first image carries an APP2 multi-picture index (a TIFF
// structure in the given byte order) that names both images.
Bytes MakeMpo(const Bytes& first, const Bytes& second, bool little, uint32_t secondOffsetAdjust = 0)
{
    Bytes t;
    auto u16 = [&](uint32_t v) {
        if (little)
            t.insert(t.end(), {uint8_t(v), uint8_t(v >> 8)});
        else
            t.insert(t.end(), {uint8_t(v >> 8), uint8_t(v)});
    };
    auto u32 = [&](uint32_t v) {
        if (little)
            t.insert(t.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
        else
            t.insert(t.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
    };
    const uint32_t tiffPos = 2 + 4 + 4;  // SOI, APP2 marker and length, "MPF\0"
    const uint32_t tiffSize = 8 + 2 + 3 * 12 + 4 + 32;
    const uint32_t firstSize = uint32_t(first.size()) + 4 + 4 + tiffSize;
    const uint8_t order = little ? 'I' : 'M';
    t.insert(t.end(), {order, order});
    u16(42);
    u32(8);
    u16(3);
    u16(0xB000), u16(7), u32(4), t.insert(t.end(), {'0', '1', '0', '0'});
    u16(0xB001), u16(4), u32(1), u32(2);
    u16(0xB002), u16(7), u32(32), u32(8 + 2 + 3 * 12 + 4);
    u32(0);
    u32(0x20030000), u32(firstSize), u32(0), u16(0), u16(0);
    u32(0x00020002), u32(uint32_t(second.size())), u32(firstSize - tiffPos - secondOffsetAdjust), u16(0), u16(0);
    return WithSegment(first, 0xE2, Text(std::string("MPF\0", 4)) + t) + second;
}

}  // namespace

TEST(JpegScanner, MultiPictureFileKeepsItsFurtherImages)
{
    REQUIRE_MADE(m);
    for (bool little : {true, false}) {
        const Bytes mpo = MakeMpo(m.baseline, m.progressive, little);
        const uint64_t firstEnd = mpo.size() - m.progressive.size();
        const Bytes data = mpo + Garbage(2000, 4);
        for (size_t piece : {kWhole, size_t(1), size_t(1000)})
            EXPECT_EQ(Str(Scan(data, piece)), Str(FileEnd::Complete(mpo.size()))) << little << " piece " << piece;
        EXPECT_EQ(Str(FindJpegEnd(SpanSource(data))), Str(FileEnd::Complete(mpo.size())));
        // Cut past the first EOI: the index tells how much more is needed.
        for (uint64_t cut : {firstEnd, firstEnd + 5, uint64_t(mpo.size() - 1)}) {
            JpegScanner s;
            EXPECT_EQ(Str(Scan(Prefix(mpo, cut), kWhole, &s)), Str(FileEnd::NeedMore(mpo.size())));
            EXPECT_EQ(s.ImageEnd(), firstEnd);
        }
    }
    // An index whose further image would start inside the first one is not believed.
    const Bytes bad = MakeMpo(m.baseline, m.progressive, true, 1000);
    EXPECT_EQ(Str(Scan(bad)), Str(FileEnd::Complete(bad.size() - m.progressive.size())));
}

namespace {

Bytes Movie(size_t n)
{
    Bytes mv = Bytes{0, 0, 0, 0x18, 'f', 't', 'y', 'p', 'm', 'p', '4', '2'} + Garbage(n - 12, 5);
    return mv;
}

Bytes WithXmp(const Bytes& jpeg, const std::string& rdf)
{
    const std::string packet = std::string("http://ns.adobe.com/xap/1.0/\0", 29) +
                               "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
                               "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">" +
                               rdf + "</rdf:RDF></x:xmpmeta>";
    return WithSegment(jpeg, 0xE1, Text(packet));
}

}  // namespace

TEST(JpegScanner, MotionPhotoKeepsItsMovie)
{
    REQUIRE_MADE(m);
    const Bytes movie = Movie(6000);
    const std::string n = std::to_string(movie.size());
    struct Case {
        const char* name;
        std::string rdf;
        Bytes padding;  // between the EOI and the movie
    };
    const Case cases[] = {
        {"micro video offset, attribute",
         "<rdf:Description rdf:about=\"\" xmlns:GCamera=\"http://ns.google.com/photos/1.0/camera/\" "
         "GCamera:MicroVideo=\"1\" GCamera:MicroVideoVersion=\"1\" GCamera:MicroVideoOffset=\"" + n + "\"/>",
         {}},
        {"micro video offset, element",
         "<rdf:Description rdf:about=\"\"><Camera:MicroVideoOffset>" + n +
             "</Camera:MicroVideoOffset></rdf:Description>",
         {}},
        {"container directory, elements with padding",
         "<rdf:Description rdf:about=\"\"><Camera:MotionPhoto>1</Camera:MotionPhoto><Container:Directory><rdf:Seq>"
         "<rdf:li rdf:parseType=\"Resource\"><Container:Item><Item:Mime>image/jpeg</Item:Mime>"
         "<Item:Semantic>Primary</Item:Semantic><Item:Length>0</Item:Length><Item:Padding>8</Item:Padding>"
         "</Container:Item></rdf:li><rdf:li rdf:parseType=\"Resource\"><Container:Item>"
         "<Item:Mime>video/mp4</Item:Mime><Item:Semantic>MotionPhoto</Item:Semantic><Item:Length>" + n +
             "</Item:Length></Container:Item></rdf:li></rdf:Seq></Container:Directory></rdf:Description>",
         Bytes(8, 0)},
        {"older container directory, attributes",
         "<rdf:Description rdf:about=\"\"><GContainer:Directory><rdf:Seq><rdf:li rdf:parseType=\"Resource\">"
         "<GContainer:Item GContainerItem:Mime=\"image/jpeg\" GContainerItem:Semantic=\"Primary\" "
         "GContainerItem:Length=\"77777\"/></rdf:li><rdf:li rdf:parseType=\"Resource\"><GContainer:Item "
         "GContainerItem:Mime=\"video/mp4\" GContainerItem:Semantic=\"MotionPhoto\" GContainerItem:Length = '" + n +
             "'/></rdf:li></rdf:Seq></GContainer:Directory></rdf:Description>",
         {}},
    };
    for (const Case& c : cases) {
        const Bytes photo = WithXmp(m.exif, c.rdf);
        const Bytes file = photo + c.padding + movie;
        const Bytes data = file + Garbage(1000, 6);
        for (size_t piece : {kWhole, size_t(1)})
            EXPECT_EQ(Str(Scan(data, piece)), Str(FileEnd::Complete(file.size()))) << c.name;
        EXPECT_EQ(Str(Scan(Prefix(file, photo.size() + 100))), Str(FileEnd::NeedMore(file.size()))) << c.name;
    }
}

namespace {

// A Samsung-style trailer: data blocks, then the "SEFH" directory naming them by their
// distance back from it, its length and "SEFT".
Bytes SefTrailer(const std::vector<std::pair<std::string, Bytes>>& blocks)
{
    Bytes data;
    std::vector<std::pair<size_t, size_t>> placed;  // offset in data, size
    for (const auto& [name, payload] : blocks) {
        const uint32_t len = uint32_t(name.size());
        const Bytes head{0x00, 0x00, 0x30, 0x0A, uint8_t(len), uint8_t(len >> 8), 0, 0};
        placed.push_back({data.size(), head.size() + name.size() + payload.size()});
        data = data + head + Text(name) + payload;
    }
    auto le32 = [](uint32_t v) { return Bytes{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; };
    Bytes dir = Text("SEFH") + le32(106) + le32(uint32_t(blocks.size()));
    for (const auto& [at, size] : placed)
        dir = dir + Bytes{0x00, 0x00, 0x30, 0x0A} + le32(uint32_t(data.size() - at)) + le32(uint32_t(size));
    return data + dir + le32(uint32_t(dir.size())) + Text("SEFT");
}

}  // namespace

TEST(JpegScanner, SamsungTrailerIsKept)
{
    REQUIRE_MADE(m);
    // The movie holds a false "SEFH" that the directory check must pass over.
    const Bytes movie = Movie(3000) + Text("SEFH") + Bytes(20, 1) + Movie(3000);
    const Bytes trailer = SefTrailer({{"MotionPhoto_Data", movie}, {"Image_UTC_Data", Text("1700000000000")}});
    const Bytes file = m.baseline + trailer;
    const Bytes data = file + Garbage(1000, 7);
    for (size_t piece : {kWhole, size_t(1), size_t(4096)})
        EXPECT_EQ(Str(Scan(data, piece)), Str(FileEnd::Complete(file.size()))) << "piece " << piece;
    EXPECT_EQ(Str(FindJpegEnd(SpanSource(data))), Str(FileEnd::Complete(file.size())));
    // Until its directory was seen the file is not complete.
    EXPECT_TRUE(Scan(Prefix(file, file.size() - 3)).IsNeedMore());
    // A directory whose tail does not fit is not taken: the search goes on.
    Bytes broken = file;
    broken[broken.size() - 1] = 'X';
    EXPECT_TRUE(Scan(broken + Garbage(100, 8)).IsNeedMore());
}
