// The PNG, GIF, MPEG audio, AIFF and AU end finders against files made by ImageMagick,
// ffmpeg and sox, and against frames and tags put together here.
#include "formats/simpleformats.h"
#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Finder = FileEnd (*)(const ByteSource&);

std::string Str(const FileEnd& e)
{
    const char* s = e.IsComplete() ? "Complete" : e.IsNeedMore() ? "NeedMore" : "Unknown";
    return std::string(s) + "(" + std::to_string(e.Length) + ")";
}

FileEnd Find(Finder f, const Bytes& b)
{
    return f(SpanSource(b));
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

// Random bytes after a file; the first is 0 so that it cannot start a frame or a tag.
Bytes Garbage(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes g(n);
    for (auto& b : g)
        b = uint8_t(rng());
    g[0] = 0;
    return g;
}

struct Made {
    std::string error;
    Bytes png, gif, mp3Tagged, mp3Mpeg2, mp2, aiff, aifc, au;
};

const Made& MadeFiles()
{
    static const Made made = [] {
        Made m;
        std::string dir = (std::filesystem::temp_directory_path() / "px3-simpleXXXXXX").string();
        if (!mkdtemp(dir.data())) {
            m.error = "no temporary folder";
            return m;
        }
        const std::string ff = "ffmpeg -hide_banner -loglevel error -f lavfi -i sine=frequency=440:duration=0.6 ";
        const std::string cmd =
            "cd " + px::test::Quote(dir) +
            " && convert -seed 3 -size 64x48 plasma:fractal p.png"
            " && convert -delay 10 -size 40x30 xc:red xc:blue plasma:fractal a.gif"
            " && " + ff + "-c:a libmp3lame -b:a 64k -write_id3v1 1 -metadata title=t t.mp3"
            " && " + ff + "-ar 22050 -c:a libmp3lame -b:a 32k -id3v2_version 0 m2.mp3"
            " && " + ff + "-c:a mp2 -f mp2 s.mp2"
            " && sox -n -r 8000 -c 1 s.aiff synth 0.2 sine 440"
            " && sox -n -r 8000 -c 2 s.aifc synth 0.2 sine 440"
            " && sox -n -r 8000 -c 1 s.au synth 0.2 sine 440";
        std::string out;
        if (px::test::Run(cmd + " 2>&1", &out) != 0)
            m.error = "making the files failed (ImageMagick, ffmpeg and sox are needed): " + out;
        m.png = px::test::ReadFile(dir + "/p.png");
        m.gif = px::test::ReadFile(dir + "/a.gif");
        m.mp3Tagged = px::test::ReadFile(dir + "/t.mp3");
        m.mp3Mpeg2 = px::test::ReadFile(dir + "/m2.mp3");
        m.mp2 = px::test::ReadFile(dir + "/s.mp2");
        m.aiff = px::test::ReadFile(dir + "/s.aiff");
        m.aifc = px::test::ReadFile(dir + "/s.aifc");
        m.au = px::test::ReadFile(dir + "/s.au");
        std::filesystem::remove_all(dir);
        return m;
    }();
    return made;
}

struct MadeCase {
    const char* name;
    const Bytes* file;
    Finder finder;
    bool endsByItself;  // the last structure says it is the last
};

std::vector<MadeCase> MadeCases(const Made& m)
{
    return {
        {"png", &m.png, FindPngEnd, true},
        {"gif", &m.gif, FindGifEnd, true},
        {"mp3 with ID3v2 and ID3v1", &m.mp3Tagged, FindMp3End, true},
        {"mp3 MPEG 2 without tags", &m.mp3Mpeg2, FindMp3End, false},
        {"mp2", &m.mp2, FindMp3End, false},
        {"aiff", &m.aiff, FindAiffEnd, true},
        {"aifc", &m.aifc, FindAiffEnd, true},
        {"au", &m.au, FindAuEnd, true},
    };
}

#define REQUIRE_MADE(m)                      \
    const Made& m = MadeFiles();             \
    ASSERT_TRUE(m.error.empty()) << m.error; \
    ASSERT_FALSE(m.au.empty())

}  // namespace

TEST(SimpleFormats, MadeFilesEndWhereTheyEnd)
{
    REQUIRE_MADE(m);
    ASSERT_EQ(Text("AIFC"), Bytes(m.aifc.begin() + 8, m.aifc.begin() + 12));
    for (const MadeCase& c : MadeCases(m)) {
        const std::string whole = Str(FileEnd::Complete(c.file->size()));
        EXPECT_EQ(Str(Find(c.finder, *c.file + Garbage(5000, 1))), whole) << c.name;
        // Without bytes after it, a file whose frames just stop cannot be told finished.
        EXPECT_EQ(Str(Find(c.finder, *c.file)), c.endsByItself ? whole : Str(FileEnd::NeedMore())) << c.name;
    }
}

TEST(SimpleFormats, TruncatedFilesNeedMore)
{
    REQUIRE_MADE(m);
    for (const MadeCase& c : MadeCases(m)) {
        const size_t size = c.file->size();
        for (size_t cut : {size_t(5), size_t(40), size / 3, size / 2, size - 1}) {
            const FileEnd e = Find(c.finder, Bytes(c.file->begin(), c.file->begin() + ptrdiff_t(cut)));
            EXPECT_TRUE(e.IsNeedMore()) << c.name << " cut at " << cut << ": " << Str(e);
            EXPECT_TRUE(e.Length == 0 || (e.Length > cut && e.Length <= size)) << c.name << " cut at " << cut << ": "
                                                                               << Str(e);
        }
    }
    // Where the header gives the size, that is the length needed.
    for (const Bytes* f : {&m.aiff, &m.au}) {
        const Finder finder = f == &m.au ? FindAuEnd : FindAiffEnd;
        EXPECT_EQ(Str(Find(finder, Bytes(f->begin(), f->begin() + 100))), Str(FileEnd::NeedMore(f->size())));
    }
    // Cut inside the PNG's last chunk.
    EXPECT_EQ(Str(Find(FindPngEnd, Bytes(m.png.begin(), m.png.end() - 2))), Str(FileEnd::NeedMore(m.png.size())));
}

TEST(SimpleFormats, BrokenFilesAreUnknown)
{
    REQUIRE_MADE(m);
    struct Case {
        const char* name;
        Bytes bytes;
        Finder finder;
    };
    auto patched = [](const Bytes& b, size_t at, const Bytes& with) {
        Bytes x = b;
        std::copy(with.begin(), with.end(), x.begin() + ptrdiff_t(at));
        return x;
    };
    auto be32 = [](uint32_t v) { return Bytes{uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; };
    // The first image block of the GIF (after its extensions) and the end of its tag.
    size_t gifImage = 13 + ((m.gif[10] & 0x80) ? 3u << ((m.gif[10] & 7) + 1) : 0);
    while (m.gif[gifImage] == 0x21) {
        gifImage += 2;
        while (m.gif[gifImage] != 0)
            gifImage += 1 + m.gif[gifImage];
        ++gifImage;
    }
    ASSERT_EQ(m.gif[gifImage], 0x2C);
    const uint8_t imageFlags = m.gif[gifImage + 9];
    const size_t gifCodeSize = gifImage + 10 + ((imageFlags & 0x80) ? 3u << ((imageFlags & 7) + 1) : 0);
    const size_t id3End = 10 + (size_t(m.mp3Tagged[6]) << 21 | size_t(m.mp3Tagged[7]) << 14 |
                                size_t(m.mp3Tagged[8]) << 7 | m.mp3Tagged[9]);
    ASSERT_EQ(m.mp3Tagged[id3End], 0xFF);

    const Case cases[] = {
        {"png: chunk type with a digit", patched(m.png, 12, Text("IH1R")), FindPngEnd},
        {"png: a later chunk type with a digit", patched(m.png, 8 + 25 + 4, Text("a9cd")), FindPngEnd},
        {"png: IEND with a wrong CRC", patched(m.png, m.png.size() - 1, {0x00}), FindPngEnd},
        {"png: huge chunk length", patched(m.png, 8, be32(0x80000000u)), FindPngEnd},
        {"gif: unknown block", patched(m.gif, gifImage, {0x99}), FindGifEnd},
        {"gif: LZW code size 0", patched(m.gif, gifCodeSize, {0x00}), FindGifEnd},
        {"gif: no image", Text("GIF89a") + Bytes{1, 0, 1, 0, 0, 0, 0, 0x3B}, FindGifEnd},
        {"gif: other signature", patched(m.gif, 4, Text("7b")), FindGifEnd},
        {"mp3: no frame after the ID3v2 tag", patched(m.mp3Tagged, id3End, {0x00, 0x00}), FindMp3End},
        {"mp3: ID3v2 size not synchsafe", patched(m.mp3Tagged, 9, {0x80}), FindMp3End},
        {"mp3: one frame then no other, no tag", Bytes(m.mp2.begin(), m.mp2.begin() + 4) + Bytes(3000, 0), FindMp3End},
        {"mp3: reserved version", Bytes{0xFF, 0xEB, 0x90, 0x00} + Bytes(3000, 0), FindMp3End},
        {"aiff: size unknown", patched(m.aiff, 4, be32(0xFFFFFFFFu)), FindAiffEnd},
        {"aiff: size too small", patched(m.aiff, 4, be32(4)), FindAiffEnd},
        {"aiff: other form type", patched(m.aiff, 8, Text("WAVE")), FindAiffEnd},
        {"au: data size unknown", patched(m.au, 8, be32(0xFFFFFFFFu)), FindAuEnd},
        {"au: header too small", patched(m.au, 4, be32(20)), FindAuEnd},
        {"au: encoding 0", patched(m.au, 12, be32(0)), FindAuEnd},
        {"au: other signature", patched(m.au, 0, Text(".snf")), FindAuEnd},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Str(Find(c.finder, c.bytes + Garbage(100, 2))), Str(FileEnd::Unknown())) << c.name;
}

namespace {

// n frames of the given header with zero payloads.
Bytes Frames(const Bytes& header, size_t length, size_t n)
{
    Bytes out;
    for (size_t i = 0; i < n; ++i) {
        Bytes f(length, 0);
        std::copy(header.begin(), header.end(), f.begin());
        out = out + f;
    }
    return out;
}

Bytes ApeTagWithHeader()
{
    const Bytes items = Text("item data!");  // 10 bytes
    auto block = [&](bool header) {
        const uint32_t size = uint32_t(items.size()) + 32;
        const uint32_t flags = (1u << 31) | (header ? 1u << 29 : 0);
        Bytes b = Text("APETAGEX") + Bytes{0xD0, 0x07, 0, 0};
        for (uint32_t v : {size, 1u, flags})
            b = b + Bytes{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
        return b + Bytes(8, 0);
    };
    return block(true) + items + block(false);
}

}  // namespace

TEST(SimpleFormats, MpegFramesOfEveryVersionAndLayer)
{
    struct Case {
        const char* name;
        Bytes header;
        size_t length;
    };
    // Frame lengths worked out from the bit rate, sampling rate and padding.
    const Case cases[] = {
        {"MPEG 1 layer III 128k 44.1 kHz", {0xFF, 0xFB, 0x90, 0x00}, 417},
        {"MPEG 1 layer III 128k 44.1 kHz padded", {0xFF, 0xFB, 0x92, 0x00}, 418},
        {"MPEG 1 layer II 384k 32 kHz", {0xFF, 0xFD, 0xE8, 0x00}, 1728},
        {"MPEG 1 layer I 192k 48 kHz", {0xFF, 0xFF, 0x64, 0x00}, 192},
        {"MPEG 1 layer I 32k 44.1 kHz padded", {0xFF, 0xFF, 0x12, 0x00}, 36},
        {"MPEG 2 layer III 64k 22.05 kHz", {0xFF, 0xF3, 0x80, 0x00}, 208},
        {"MPEG 2 layer II 160k 16 kHz", {0xFF, 0xF5, 0xE8, 0x00}, 1440},
        {"MPEG 2 layer I 256k 24 kHz", {0xFF, 0xF7, 0xE4, 0x00}, 512},
        {"MPEG 2.5 layer III 8k 8 kHz", {0xFF, 0xE3, 0x18, 0x00}, 72},
    };
    const Bytes ape = ApeTagWithHeader();
    const Bytes id3v1 = Text("TAG") + Bytes(125, ' ');
    for (const Case& c : cases) {
        const Bytes frames = Frames(c.header, c.length, 3);
        EXPECT_EQ(Str(Find(FindMp3End, frames + Garbage(50, 3))), Str(FileEnd::Complete(frames.size()))) << c.name;
        const Bytes tagged = frames + ape + id3v1;
        EXPECT_EQ(Str(Find(FindMp3End, tagged + Garbage(50, 4))), Str(FileEnd::Complete(tagged.size()))) << c.name;
        const Bytes cut(tagged.begin(), tagged.end() - 20);
        EXPECT_EQ(Str(Find(FindMp3End, cut)), Str(FileEnd::NeedMore(tagged.size()))) << c.name;
        // A frame of another sampling rate is not part of this stream.
        Bytes other = c.header;
        other[2] ^= 0x04;
        EXPECT_EQ(Str(Find(FindMp3End, frames + Frames(other, 1000, 2) + Garbage(50, 5))),
                  Str(FileEnd::Complete(frames.size())))
            << c.name;
    }
    // An ID3v2 tag with a footer is 10 bytes longer than its size says.
    Bytes id3{'I', 'D', '3', 4, 0, 0x10, 0, 0, 1, 0};  // size 128
    const Bytes tagged = id3 + Bytes(128 + 10, 0) + Frames(cases[0].header, cases[0].length, 1);
    EXPECT_EQ(Str(Find(FindMp3End, tagged + Garbage(50, 6))), Str(FileEnd::Complete(tagged.size())));
}
