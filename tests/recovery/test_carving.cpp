// Where carved files end, on files made by the tools that make them in real life: WAVs
// from ffmpeg and sox, movies from ffmpeg (64-bit, fragmented, OpenDML), laid on a card
// with garbage in the slack of every last block and pictures behind every file; and what
// picture data may hold without starting a file.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "recoveryjob.h"

using namespace px::test;

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Be32(const Bytes& b, size_t at) { return uint32_t(b[at]) << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3]; }
void SetBe32(Bytes& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = uint8_t(v >> (24 - 8 * i));
}
void SetLe32(Bytes& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = uint8_t(v >> (8 * i));
}
void Append(Bytes& b, const char* text) { b.insert(b.end(), text, text + std::strlen(text)); }

// Offset of the top-level atom of that name, or npos.
size_t FindAtom(const Bytes& movie, const char* name)
{
    for (size_t at = 0; at + 8 <= movie.size();) {
        if (std::memcmp(&movie[at + 4], name, 4) == 0)
            return at;
        const uint32_t size = Be32(movie, at);
        if (size < 8)
            return std::string::npos;
        at += size;
    }
    return std::string::npos;
}

class CarvingTest : public RecoveryTest {
protected:
    // Runs command with the file's path after it, then the rest of the arguments.
    Bytes Make(const std::string& name, const std::string& command, const std::string& rest = {})
    {
        const std::string path = home.File(name);
        EXPECT_EQ(px::test::Run(command + " " + Quote(path) + " " + rest + " 2>/dev/null"), 0) << command;
        return ReadFile(path);
    }
    Bytes Ffmpeg(const std::string& name, const std::string& args)
    {
        return Make(name, "ffmpeg -nostdin -loglevel error -y " + args);
    }
    // Lays the file at the next block, fills its last block with garbage and puts a JPEG
    // picture in the block after it; returns the file's first block.
    size_t Lay(const Bytes& file, bool pictureAfter = true)
    {
        const size_t block = card.size() / 512;
        card.insert(card.end(), file.begin(), file.end());
        while (card.size() % 512)
            card.push_back(uint8_t(random()));
        if (pictureAfter) {
            Bytes picture = Jpeg();
            picture.resize(3 * 512 - 100);
            for (size_t i = 11; i < picture.size(); ++i)
                picture[i] = uint8_t(random() | 1);
            pictures.push_back(picture);
            Lay(picture, false);
        }
        return block;
    }
    // Recovers the card; every picture laid must come back whole.
    void RecoverCard(uint32_t types = kAllTypes)
    {
        card.resize(card.size() + 4 * 512);
        const std::string path = home.File("card.img");
        ASSERT_TRUE(WriteFile(path, card));
        ASSERT_TRUE(Recover(Attach(path), types)) << error;
        for (size_t i = 0; i < pictures.size(); ++i)
            EXPECT_TRUE(Carved(pictures[i], true)) << "picture " << i << " lost";
    }
    // True when some carved file is these bytes (or starts with them).
    bool Carved(const Bytes& original, bool prefix = false) const
    {
        for (const auto& [name, bytes] : files)
            if (prefix ? bytes.size() >= original.size() && std::equal(original.begin(), original.end(), bytes.begin())
                       : bytes == original)
                return true;
        return false;
    }

    Bytes card = Bytes(512, 0);
    std::vector<Bytes> pictures;
    std::mt19937 random{11};
};

TEST_F(CarvingTest, SoundsEndAtTheirRiffEnd)
{
    const std::string sine = "-f lavfi -i sine=frequency=440:duration=1.3";
    const Bytes withList = Ffmpeg("list.wav", sine + " -c:a pcm_s16le");
    ASSERT_NE(std::search(withList.begin(), withList.begin() + 64, "LIST", "LIST" + 4), withList.begin() + 64);
    const Bytes extensible = Make("ext.wav", "sox -n -r 48000 -c 4 -b 24", "synth 0.5 sine 440");
    const Bytes broadcast = Ffmpeg("bext.wav", sine + " -c:a pcm_s24le -write_bext 1 -metadata description=Interview");
    Bytes unfinished = Make("open.wav", "sox -n -r 22050 -c 1 -b 16", "synth 0.7 sine 300");
    ASSERT_GT(unfinished.size(), 44u);
    SetLe32(unfinished, 4, 0);
    SetLe32(unfinished, 40, 0);
    Lay(withList);
    Lay(extensible);
    Lay(broadcast);
    Lay(unfinished);
    RecoverCard(TypeBit::Jpg | TypeBit::Wave);
    EXPECT_TRUE(Carved(withList)) << "ffmpeg WAV with a LIST chunk";
    EXPECT_TRUE(Carved(extensible)) << "24-bit four-channel WAV";
    EXPECT_TRUE(Carved(broadcast)) << "broadcast WAV";
    // An unfinished header tells no length: the recording runs on to the next picture.
    EXPECT_TRUE(Carved(unfinished, true)) << "WAV whose header was never finished";
}

TEST_F(CarvingTest, MoviesFollowTheirChainToItsEnd)
{
    const std::string video = "-f lavfi -i testsrc=duration=1:size=160x120:rate=10 -c:v mpeg4";
    const Bytes mov = Ffmpeg("a.mov", video);
    // Crash-safe recording: an empty moov, then moof/mdat pairs and an mfra.
    const Bytes fragmented = Ffmpeg("frag.mp4", video + " -movflags frag_keyframe+empty_moov -g 3");
    ASSERT_NE(FindAtom(fragmented, "moof"), std::string::npos);
    // Past 4 GB ffmpeg turns its 8-byte free atom and the mdat header into one mdat header
    // with a 64-bit size; the same, made small.
    Bytes large = Ffmpeg("large.mp4", video);
    const size_t free = FindAtom(large, "free");
    const size_t mdat = FindAtom(large, "mdat");
    ASSERT_EQ(free + 8, mdat);
    const uint64_t mdatSize = Be32(large, mdat) + 8;
    SetBe32(large, free, 1);
    std::memcpy(&large[free + 4], "mdat", 4);
    SetBe32(large, free + 8, uint32_t(mdatSize >> 32));
    SetBe32(large, free + 12, uint32_t(mdatSize));
    // An AVI over 1 GB goes on in RIFF AVIX chunks; one, made small.
    Bytes avi = Ffmpeg("a.avi", video);
    Bytes avix;
    Append(avix, "RIFF    AVIXLIST    movi00dc");
    avix.resize(avix.size() + 4 + 1000, 0x42);
    SetLe32(avix, 4, uint32_t(avix.size() - 8));
    SetLe32(avix, 16, uint32_t(avix.size() - 20));
    SetLe32(avix, 28, 1000);
    avi.insert(avi.end(), avix.begin(), avix.end());
    // An older camera's QuickTime file starts with its mdat: the atom after it lies past
    // the data read and is looked up on the card before the movie is taken.
    const Bytes big = Ffmpeg("big.mov", "-f lavfi -i testsrc=duration=4:size=320x240:rate=25 -c:v mpeg4 -q:v 2");
    const size_t bigMdat = FindAtom(big, "mdat");
    ASSERT_NE(bigMdat, std::string::npos);
    const Bytes mdatFirst(big.begin() + long(bigMdat), big.end());
    ASSERT_GT(Be32(mdatFirst, 0), 2u * 51200);
    ASSERT_EQ(FindAtom(mdatFirst, "moov"), Be32(mdatFirst, 0));

    Lay(mdatFirst);
    Lay(mov);
    Lay(fragmented);
    Lay(large);
    Lay(avi);
    RecoverCard();
    EXPECT_TRUE(files.count("movie(1).mov"));
    EXPECT_TRUE(Carved(mdatFirst)) << "QuickTime movie starting with its mdat";
    EXPECT_TRUE(Carved(mov)) << "QuickTime movie";
    EXPECT_TRUE(Carved(fragmented)) << "fragmented MP4";
    EXPECT_TRUE(Carved(large)) << "MP4 with a 64-bit mdat";
    EXPECT_TRUE(Carved(avi)) << "AVI with an AVIX chunk";
}

TEST_F(CarvingTest, MoviesBackToBackAndOneOfSizeZero)
{
    const std::string video = "-f lavfi -i testsrc=duration=1:size=160x120:rate=10 -c:v mpeg4";
    // A movie that ends exactly at a block end (a free atom pads it), the next movie in
    // the very next block.
    Bytes first = Ffmpeg("first.mp4", video);
    const size_t pad = 512 - first.size() % 512 + (first.size() % 512 > 504 ? 512 : 0);
    Bytes padding(pad, 0);
    SetBe32(padding, 0, uint32_t(pad));
    std::memcpy(&padding[4], "free", 4);
    first.insert(first.end(), padding.begin(), padding.end());
    ASSERT_EQ(first.size() % 512, 0u);
    const Bytes second = Ffmpeg("second.mov", video);
    // A movie whose last atom, the mdat, says 0: "to the end of the file".
    Bytes open = Ffmpeg("open.mp4", video + " -movflags faststart");
    const size_t mdat = FindAtom(open, "mdat");
    ASSERT_NE(mdat, std::string::npos);
    SetBe32(open, mdat, 0);

    Lay(first, false);
    Lay(second);
    const size_t openBlock = Lay(open);
    RecoverCard();
    EXPECT_TRUE(Carved(first)) << "movie ending at a block end";
    EXPECT_TRUE(Carved(second)) << "movie in the very next block";
    // It runs to the block before the picture behind it, not to the card's end.
    const size_t pictureBlock = openBlock + (open.size() + 511) / 512;
    Bytes expected(card.begin() + openBlock * 512, card.begin() + pictureBlock * 512);
    EXPECT_TRUE(Carved(expected)) << "movie with an atom of size 0";
}

// Compressed picture data is random to the eye: three letters "ID3" or four "free" at a
// block start must not cut a picture in two or swallow the pictures behind it.
TEST_F(CarvingTest, PictureDataStartsNoFile)
{
    Bytes picture = Jpeg();
    picture.resize(40 * 512);
    for (size_t i = 11; i < picture.size(); ++i)
        picture[i] = uint8_t(random());
    std::memcpy(&picture[5 * 512], "ID3\x03\x00\x00\x00\x00\x00\x80", 10);   // a size byte of 0x80
    std::memcpy(&picture[6 * 512], "ID3\xC7", 4);
    std::memcpy(&picture[10 * 512 + 4], "free", 4);                       // a random size after it
    std::memcpy(&picture[20 * 512 + 4], "mdat", 4);
    SetBe32(picture, 20 * 512, 200 * 512 + 100);   // its successor is data past the chunk
    std::memcpy(&picture[30 * 512 + 4], "wide", 4);
    SetBe32(picture, 30 * 512, 0);                                          // size 0
    for (uint32_t types : {kAllTypes, TypeBit::Jpg}) {
        card = Bytes(512, 0);
        pictures.clear();
        Lay(picture);
        Bytes data(300 * 512);
        for (auto& b : data)
            b = uint8_t(random() | 0x80);
        Lay(data, false);
        RecoverCard(types);
        EXPECT_EQ(files.size(), 2u) << std::hex << types;
        EXPECT_TRUE(Carved(picture)) << std::hex << types;
    }
}

// A CRW's closing word in the first bytes of a chunk, and an X3F directory across a
// chunk boundary: both end exactly, and the pictures behind them come back.
TEST_F(CarvingTest, RawEndsAcrossChunks)
{
    // Block 100 starts the second chunk of 100 blocks.
    Bytes crw = {0x49, 0x49, 0x1A, 0x00, 0x00, 0x00, 'H', 'E', 'A', 'P', 'C', 'C', 'D', 'R'};
    const size_t crwStart = 60 * 512;   // the card's block 60
    const size_t word = 100 * 512 + 30 - crwStart;   // 30 bytes into the second chunk
    crw.resize(word + 4);
    for (size_t i = 14; i < crw.size(); ++i)
        crw[i] = uint8_t(random());
    const uint32_t v = uint32_t(word - 58);   // a table of three records
    const size_t table = 26 + v;
    crw[table] = 3;
    crw[table + 1] = 0;
    for (size_t r = 0; r < 3; ++r) {
        crw[table + 2 + 10 * r] = 0x05;
        crw[table + 3 + 10 * r] = 0x20;
        SetLe32(crw, table + 4 + 10 * r, 1000);
        SetLe32(crw, table + 8 + 10 * r, uint32_t(r * 1000));
    }
    SetLe32(crw, word, v);
    card.resize(crwStart, 0);
    Lay(crw);

    Bytes x3f;
    Append(x3f, "FOVb");
    const size_t x3fStart = card.size();
    const size_t dir = 200 * 512 - 8 - x3fStart;   // the marker 8 bytes before the third chunk
    x3f.resize(dir, 0x5C);
    Append(x3f, "SECd");
    x3f.resize(dir + 12 + 24 + 4, 0);
    SetLe32(x3f, dir + 4, 0x00020000);
    SetLe32(x3f, dir + 8, 2);
    SetLe32(x3f, dir + 12, 64);
    SetLe32(x3f, dir + 16, 1000);
    std::memcpy(&x3f[dir + 20], "PROP", 4);
    SetLe32(x3f, dir + 24, 2000);
    SetLe32(x3f, dir + 28, 3000);
    std::memcpy(&x3f[dir + 32], "IMA2", 4);
    SetLe32(x3f, dir + 36, uint32_t(dir));
    Lay(x3f);
    RecoverCard();
    EXPECT_TRUE(Carved(crw)) << "CRW closed in the next chunk";
    EXPECT_TRUE(Carved(x3f)) << "X3F directory across chunks";
}

}  // namespace
