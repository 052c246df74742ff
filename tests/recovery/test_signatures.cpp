// Signature tests and end rules. Blocks are built in heap buffers of exactly the size
// under test, so a read past the data given trips AddressSanitizer.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <tuple>
#include <vector>

#include "recovery/signatures.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A heap buffer of exactly n bytes (no spare capacity for a stray read to land in).
struct Exact {
    explicit Exact(const Bytes& bytes, size_t n) : size(n), data(new uint8_t[n ? n : 1])
    {
        if (!bytes.empty())
            std::memcpy(data.get(), bytes.data(), std::min(n, bytes.size()));
        if (n > bytes.size())
            std::memset(data.get() + bytes.size(), 0xA5, n - bytes.size());
    }
    explicit Exact(const Bytes& bytes) : Exact(bytes, bytes.size()) {}
    std::span<const uint8_t> span() const { return {data.get(), size}; }
    size_t size;
    std::unique_ptr<uint8_t[]> data;
};

Bytes Str(const char* s, size_t n)
{
    return Bytes(reinterpret_cast<const uint8_t*>(s), reinterpret_cast<const uint8_t*>(s) + n);
}
#define B(lit) Str(lit, sizeof(lit) - 1)

// A 512-byte block starting with head, the rest filled with a byte no signature uses.
Bytes Block(const Bytes& head, size_t size = 512)
{
    Bytes b(size, 0x5A);
    std::copy(head.begin(), head.end(), b.begin());
    return b;
}

int32_t TypeOf(const Bytes& block, uint32_t mask)
{
    Exact e(block);
    return RecogniseBlock(e.span(), mask).Type;
}

void PutLe32(Bytes& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = uint8_t(v >> (8 * i));
}

const Bytes kTiffBE = B("\x4D\x4D\x00\x2A");
const Bytes kTiffLE = B("\x49\x49\x2A\x00");
const Bytes kArwHdr = B("\x49\x49\x2A\x00\x08\x00\x00\x00");
const Bytes kRawHdr = B("\x00\x34\x30\x2E\x31\x20\x2E\x72\x65\x56\x00\x00\x4C\x41\x54\x49"
                        "\x47\x49\x44\x20\x4E\x00\x00\x00\x00\x41\x52\x45\x43\x4F\x59\x4B");

// Every signature (exactly the bytes compared), the one bit that enables it and the type
// it yields.
struct Sig {
    Bytes head;
    uint32_t bit;
    int32_t type;
};
const std::vector<Sig>& AllSignatures()
{
    static const std::vector<Sig> sigs = {
        {B("\x89PNG\r\n\x1A\n"), TypeBit::Png, FileTypeId::Png},
        {kArwHdr, TypeBit::Arw, FileTypeId::Arw},
        {kArwHdr, TypeBit::Sr2, FileTypeId::Arw},
        {B("ID3\x03\x00\x00\x00\x00\x10\x7F"), TypeBit::Mp3, FileTypeId::Mp3},
        {B("\xFF\xFB\x84\x64\x00"), TypeBit::Mp3, FileTypeId::Mp3},
        {B(".snd"), TypeBit::Au, FileTypeId::Au},
        {B("\xFF\xD8\xFF\xE1"), TypeBit::Jpg, FileTypeId::Jpg},
        {B("\xFF\xD8\xFF\xE0"), TypeBit::Jpg, FileTypeId::Jpg},
        {B("GIF87a"), TypeBit::Gif, FileTypeId::Gif},
        {B("GIF89a"), TypeBit::Gif, FileTypeId::Gif},
        {kTiffBE, TypeBit::Tif, FileTypeId::Tif},
        {kTiffBE, TypeBit::Nef, FileTypeId::Nef},
        {kTiffBE, TypeBit::Dcr, FileTypeId::Dcr},
        {kTiffBE, TypeBit::Pef, FileTypeId::Pef},
        {kTiffLE, TypeBit::Tif, FileTypeId::Tif},
        {B("FOVb"), TypeBit::X3f, FileTypeId::X3f},
        {B("MMOR"), TypeBit::Orf, FileTypeId::Orf},
        {B("IIRS"), TypeBit::Orf, FileTypeId::Orf},
        {B("IIRO"), TypeBit::Orf, FileTypeId::Orf},
        {B("\xFF\xD8\xFF\xDB\x00\xC5"), TypeBit::Orf, FileTypeId::OrfPreview},
        {B("\x00MRM"), TypeBit::Mrw, FileTypeId::Mrw},
        {B("II\x1A\x00\x00\x00HEAPCCDR"), TypeBit::Crw, FileTypeId::Crw},
        {B("FUJIFILMCCD-RAW"), TypeBit::Raf, FileTypeId::Raf},
    };
    return sigs;
}

} // namespace

TEST(RecogniseBlock, EachSignatureNeedsItsBit)
{
    for (const Sig& s : AllSignatures()) {
        const Bytes block = Block(s.head);
        EXPECT_EQ(TypeOf(block, s.bit), s.type) << "type " << s.type << " bit " << std::hex << s.bit;
        EXPECT_EQ(TypeOf(block, 0), FileTypeId::None) << "type " << s.type << " without bits";
        // One changed byte anywhere in the signature breaks it.
        for (size_t i = 0; i < s.head.size(); ++i) {
            if (s.type == FileTypeId::Mp3 && s.head[0] == 0xFF && i == 3)
                continue;  // the frame header's fourth byte is not compared
            if (s.type == FileTypeId::Mp3 && s.head[0] == 'I' && i >= 4)
                continue;  // the revision and size bytes may take many values
            if (s.type == FileTypeId::Arw && i >= 4)
                continue;  // still a TIFF header, which arw selects too (named by content later)
            Bytes bad = block;
            bad[i] ^= 0x10;
            EXPECT_EQ(TypeOf(bad, s.bit), FileTypeId::None) << "type " << s.type << " byte " << i;
        }
    }
    // The WAVE header needs both words, the second at offset 8.
    Bytes wave = Block(B("RIFF\x24\x08\x00\x00WAVEfmt "));
    EXPECT_EQ(TypeOf(wave, TypeBit::Wave), FileTypeId::Wav);
    EXPECT_EQ(TypeOf(wave, ~TypeBit::Wave), FileTypeId::None);
    wave[9] = 'B';
    EXPECT_EQ(TypeOf(wave, TypeBit::Wave), FileTypeId::None);
    EXPECT_EQ(TypeOf(Block(B("RIFF\x24\x08\x00\x00" "AVI LIST")), 0xFFFFFFFF), FileTypeId::None);
}

TEST(RecogniseBlock, TiffFamilyPrecedence)
{
    const Bytes be = Block(kTiffBE);
    EXPECT_EQ(TypeOf(be, TypeBit::Nef | TypeBit::Dcr), FileTypeId::Dcr);
    EXPECT_EQ(TypeOf(be, TypeBit::Nef | TypeBit::Pef), FileTypeId::Nef);
    EXPECT_EQ(TypeOf(be, TypeBit::Pef | TypeBit::Tif), FileTypeId::Pef);
    EXPECT_EQ(TypeOf(be, TypeBit::Tif), FileTypeId::Tif);
    EXPECT_EQ(TypeOf(be, 0xFFFFFFFF), FileTypeId::Dcr);
    // Every TIFF-based type selects the TIFF test (the carved file is named by what its
    // structure says): cr2 alone finds a big-endian TIFF, orf (a test of its own) does not.
    EXPECT_EQ(TypeOf(be, TypeBit::Cr2 | TypeBit::Jpg), FileTypeId::Tif);
    EXPECT_EQ(TypeOf(be, TypeBit::Orf | TypeBit::Jpg), FileTypeId::None);

    const Bytes le = Block(kTiffLE);
    for (uint32_t bit : {TypeBit::Tif, TypeBit::Nef, TypeBit::Dcr, TypeBit::Pef})
        EXPECT_EQ(TypeOf(le, bit), FileTypeId::Tif) << std::hex << bit;
    EXPECT_EQ(TypeOf(le, 0xFFFFFFFF), FileTypeId::Tif);

    // The Sony header is a TIFF header too: ARW when arw or sr2 is selected, else TIFF.
    const Bytes arw = Block(kArwHdr);
    EXPECT_EQ(TypeOf(arw, TypeBit::Arw | TypeBit::Tif), FileTypeId::Arw);
    EXPECT_EQ(TypeOf(arw, TypeBit::Sr2 | TypeBit::Nef), FileTypeId::Arw);
    EXPECT_EQ(TypeOf(arw, TypeBit::Nef), FileTypeId::Tif);
    EXPECT_EQ(TypeOf(arw, TypeBit::Jpg | TypeBit::Orf), FileTypeId::None);
}

TEST(RecogniseBlock, RawHeaderNeedsNoSelection)
{
    EXPECT_EQ(TypeOf(Block(kRawHdr), 0), FileTypeId::Raw);
    EXPECT_EQ(TypeOf(Block(kRawHdr), 0xFFFFFFFF), FileTypeId::Raw);
    EXPECT_EQ(TypeOf(kRawHdr, 0), FileTypeId::Raw);  // exactly 32 bytes held
    Bytes last = Block(kRawHdr);
    last[31] = 'L';
    EXPECT_EQ(TypeOf(last, 0), FileTypeId::None);
    // A block of zeros shares the first byte with MRW and RAW but is neither.
    EXPECT_EQ(TypeOf(Bytes(512, 0), 0xFFFFFFFF), FileTypeId::None);
}

TEST(RecogniseBlock, JpegNeedsAnApplicationMarker)
{
    const Bytes dqt = Block(B("\xFF\xD8\xFF\xDB\x00\xC5"));
    EXPECT_EQ(TypeOf(dqt, TypeBit::Jpg), FileTypeId::None);
    EXPECT_EQ(TypeOf(dqt, TypeBit::Orf), FileTypeId::OrfPreview);
    EXPECT_EQ(TypeOf(dqt, TypeBit::Jpg | TypeBit::Orf), FileTypeId::OrfPreview);
    // Another quantisation table length is no ORF preview.
    EXPECT_EQ(TypeOf(Block(B("\xFF\xD8\xFF\xDB\x00\x84")), 0xFFFFFFFF), FileTypeId::None);
    EXPECT_EQ(TypeOf(Block(B("\xFF\xD8\xFF\xE2")), 0xFFFFFFFF), FileTypeId::None);
}

TEST(RecogniseBlock, Mp3FrameHeaderNeedsZeroAtOffsetFour)
{
    EXPECT_EQ(TypeOf(Block(B("\xFF\xFB\x84\x00\x00")), TypeBit::Mp3), FileTypeId::Mp3);
    EXPECT_EQ(TypeOf(Block(B("\xFF\xFB\x84\xC4\x00")), TypeBit::Mp3), FileTypeId::Mp3);
    EXPECT_EQ(TypeOf(Block(B("\xFF\xFB\x84\x00\x01")), TypeBit::Mp3), FileTypeId::None);
    EXPECT_EQ(TypeOf(Block(B("\xFF\xFB\x90\x00\x00")), TypeBit::Mp3), FileTypeId::None);
    EXPECT_EQ(TypeOf(Block(B("\xFF\xFA\x84\x00\x00")), TypeBit::Mp3), FileTypeId::None);
    // Four bytes held: the byte at offset 4 is not there, so no match (and no read of it).
    EXPECT_EQ(TypeOf(B("\xFF\xFB\x84\x00"), TypeBit::Mp3), FileTypeId::None);
    EXPECT_EQ(TypeOf(B("\xFF\xFB\x84\x00\x00"), TypeBit::Mp3), FileTypeId::Mp3);
}

// "ID3" is three bytes: only a whole ID3v2 tag header starts an MP3, or compressed
// picture data would be cut in two about once per 8 GB.
TEST(RecogniseBlock, Mp3StartsOnlyAtARealId3Header)
{
    for (const char* real : {"ID3\x02\x00\x00\x00\x00\x00\x00", "ID3\x03\x00\x40\x00\x00\x08\x21",
                             "ID3\x04\x00\x80\x00\x01\x7F\x7F", "ID3\x04\xFE\x10\x7F\x7F\x7F\x7F"})
        EXPECT_EQ(TypeOf(Block(Str(real, 10)), TypeBit::Mp3), FileTypeId::Mp3) << real + 3;
    for (const char* fake : {"ID3\x01\x00\x00\x00\x00\x00\x00", "ID3\x05\x00\x00\x00\x00\x00\x00",
                             "ID3\x03\xFF\x00\x00\x00\x00\x00", "ID3\x03\x00\x01\x00\x00\x00\x00",
                             "ID3\x03\x00\x00\x80\x00\x00\x00", "ID3\x03\x00\x00\x00\x00\x00\x80"})
        EXPECT_EQ(TypeOf(Block(Str(fake, 10)), TypeBit::Mp3), FileTypeId::None);
    EXPECT_EQ(TypeOf(B("ID3\x03\x00\x00\x00\x00\x00"), TypeBit::Mp3), FileTypeId::None);  // 9 bytes held
    EXPECT_EQ(TypeOf(Block(B("ID3\x03\x00\x00\x00\x00\x00\x00")), TypeBit::Wave | TypeBit::Au), FileTypeId::None);
}

TEST(RecogniseBlock, WaveLengthIsTheRiffSize)
{
    auto length = [](const Bytes& b) {
        Exact e(b);
        return RecogniseBlock(e.span(), TypeBit::Wave).ExpectedLength;
    };
    // Canonical 44-byte header with 88,200 bytes of samples: RIFF size 36 + 88200.
    Bytes wave = Block(B("RIFF\0\0\0\0WAVEfmt \x10\0\0\0"));
    std::memcpy(&wave[36], "data", 4);
    PutLe32(wave, 4, 36 + 88200);
    PutLe32(wave, 40, 88200);
    EXPECT_EQ(length(wave), 44u + 88200);
    // A LIST chunk before the data (what ffmpeg writes): the RIFF size still tells.
    Bytes list = Block(B("RIFF\0\0\0\0WAVEfmt \x10\0\0\0"));
    std::memcpy(&list[36], "LIST\x1A\0\0\0", 8);
    std::memcpy(&list[70], "data", 4);
    PutLe32(list, 74, 1000);
    PutLe32(list, 4, 70 + 8 + 1000 - 8);
    EXPECT_EQ(length(list), 1078u);
    // Headers a recorder never finished: no length, the file ends like a picture.
    for (uint32_t riff : {0u, 0xFFFFFFFFu, 20u}) {
        PutLe32(wave, 4, riff);
        EXPECT_EQ(length(wave), 0u) << riff;
    }
    PutLe32(wave, 4, 36 + 88200);
    PutLe32(wave, 40, 0);
    EXPECT_EQ(length(wave), 0u) << "data size 0";
    PutLe32(wave, 40, 0xFFFFFFFF);
    EXPECT_EQ(length(wave), 0u) << "data size all ones";
    // Only the RIFF header held: its size is all there is to go by.
    Exact head(wave, 12);
    EXPECT_EQ(RecogniseBlock(head.span(), TypeBit::Wave).ExpectedLength, 44u + 88200);
    Exact jpeg(Block(B("\xFF\xD8\xFF\xE1")));
    EXPECT_EQ(RecogniseBlock(jpeg.span(), 0xFFFFFFFF).ExpectedLength, 0u);
}

// Every prefix of every signature, in a buffer of exactly that size: no match unless the
// whole signature is held, and no read past the buffer (AddressSanitizer).
TEST(RecogniseBlock, TruncatedHeadersNeverMatchOrOverread)
{
    std::vector<Sig> sigs = AllSignatures();
    sigs.push_back({kRawHdr, 0, FileTypeId::Raw});
    sigs.push_back({B("RIFF\x24\x00\x00\x00WAVE"), TypeBit::Wave, FileTypeId::Wav});
    for (const Sig& s : sigs) {
        for (size_t n = 0; n < s.head.size(); ++n) {
            const Bytes prefix(s.head.begin(), s.head.begin() + n);
            const int32_t own = TypeOf(prefix, s.bit);
            EXPECT_TRUE(own == FileTypeId::None || (s.type == FileTypeId::Arw && n >= 4 && own == FileTypeId::Tif))
                << "type " << s.type << " prefix of " << n;
            // With every bit set a cut Sony header may still be a TIFF; never anything else.
            const int32_t any = TypeOf(prefix, 0xFFFFFFFF);
            EXPECT_TRUE(any == FileTypeId::None || (s.type == FileTypeId::Arw && any == FileTypeId::Tif))
                << "type " << s.type << " prefix of " << n;
        }
        EXPECT_EQ(TypeOf(s.head, s.bit), s.type) << "type " << s.type << " exactly held";
    }
    Exact empty(Bytes{}, 0);
    EXPECT_EQ(RecogniseBlock(empty.span(), 0xFFFFFFFF).Type, FileTypeId::None);
    EXPECT_EQ(RecogniseBlock({}, 0xFFFFFFFF).Type, FileTypeId::None);
}

// Random blocks of every short length, their first byte drawn from the bytes that start
// a signature: the answer depends only on the first 44 bytes, whatever the block holds.
TEST(RecogniseBlock, RandomBytesDependOnlyOnTheHeader)
{
    std::mt19937 rng(20240611);
    const uint8_t starts[] = {0x89, 'I', 0xFF, '.', 'R', 'G', 'M', 'F', 0x00, 0x12};
    for (int round = 0; round < 20000; ++round) {
        Bytes block(512);
        for (auto& b : block)
            b = uint8_t(rng());
        block[0] = starts[rng() % std::size(starts)];
        // Bias the next bytes towards real signatures so the deeper tests run.
        if (round % 2 == 0) {
            const Sig& s = AllSignatures()[rng() % AllSignatures().size()];
            const size_t keep = rng() % (s.head.size() + 1);
            std::copy(s.head.begin(), s.head.begin() + keep, block.begin());
        }
        const uint32_t mask = rng();
        Exact whole(block);
        const BlockSignature full = RecogniseBlock(whole.span(), mask);
        EXPECT_GE(full.Type, 0);
        EXPECT_LE(full.Type, FileTypeId::Last);
        Exact head(block, 44);
        const BlockSignature shortHead = RecogniseBlock(head.span(), mask);
        EXPECT_EQ(shortHead.Type, full.Type);
        EXPECT_EQ(shortHead.ExpectedLength, full.ExpectedLength);
        const size_t n = rng() % 44;
        Exact cut(block, n);
        const int32_t t = RecogniseBlock(cut.span(), mask).Type;
        // A cut Sony header is still a TIFF header.
        const bool tiffOfArw = full.Type == FileTypeId::Arw && t == FileTypeId::Tif;
        EXPECT_TRUE(t == FileTypeId::None || t == full.Type || tiffOfArw) << "length " << n;
    }
}

TEST(FileComplete, SizeLimitAndKnownLength)
{
    const int64_t max = 20000256;
    EXPECT_FALSE(FileComplete(max, max, 0));
    EXPECT_TRUE(FileComplete(max + 1, max, 0));
    EXPECT_TRUE(FileComplete(int64_t(1) << 40, max, 0));
    // A negative maximum completes every file, even the first block.
    EXPECT_TRUE(FileComplete(512, -1, 0));
    EXPECT_TRUE(FileComplete(512, INT64_MIN, 0));
    // A length the file told ends it at the block that reaches it.
    EXPECT_FALSE(FileComplete(88064, max, 88244));
    EXPECT_TRUE(FileComplete(88576, max, 88244));
    EXPECT_TRUE(FileComplete(88244, max, 88244));
}

namespace {

// A file's bytes from offset first on, as the recovery holds them.
struct Held {
    Bytes bytes;
    int64_t first;
    FileWindow Window(size_t n) const { return FileWindow{bytes.data(), std::min(n, bytes.size()), first}; }
    // What the next block's window holds: the same bytes from 512 on.
    Held NextBlock() const { return Held{Bytes(bytes.begin() + 512, bytes.end()), first + 512}; }
};

// An X3F directory at file offset k of h with the given entries (offset, length, type),
// and the file's last word pointing back to it.
int64_t PutX3fDirectory(Held& h, int64_t k, std::vector<std::tuple<uint32_t, uint32_t, const char*>> entries)
{
    const size_t at = size_t(k - h.first);
    std::memcpy(&h.bytes[at], "SECd", 4);
    PutLe32(h.bytes, at + 4, 0x00020000);
    PutLe32(h.bytes, at + 8, uint32_t(entries.size()));
    size_t e = at + 12;
    for (auto& [offset, length, type] : entries) {
        PutLe32(h.bytes, e, offset);
        PutLe32(h.bytes, e + 4, length);
        std::memcpy(&h.bytes[e + 8], type, 4);
        e += 12;
    }
    PutLe32(h.bytes, e, uint32_t(k));
    return k + int64_t(e + 4 - at);
}

// A CRW root heap record table for closing word value v with n records, and the word.
int64_t PutCrwTable(Held& h, int64_t v, int n)
{
    const size_t table = size_t(26 + v - h.first);
    h.bytes[table] = uint8_t(n);
    h.bytes[table + 1] = 0;
    const uint16_t types[] = {0x300A, 0x2005, 0x2007, 0x300B};
    for (int i = 0; i < n; ++i) {
        const size_t r = table + 2 + 10 * size_t(i);
        h.bytes[r] = uint8_t(types[i]);
        h.bytes[r + 1] = uint8_t(types[i] >> 8);
        PutLe32(h.bytes, r + 2, 1000);                       // size
        PutLe32(h.bytes, r + 6, uint32_t(i) * 1000);         // heap offset
    }
    const size_t word = table + 2 + 10 * size_t(n);
    PutLe32(h.bytes, word, uint32_t(v));
    return h.first + int64_t(word) + 4;
}

} // namespace

TEST(FindX3FEnd, PlausibleDirectoryEndsTheFile)
{
    const int64_t p = 1 << 20;  // file bytes before this block
    Held h{Bytes(2048, 0x11), p - 512};
    const int64_t end = PutX3fDirectory(h, p + 100, {{0x100, 0x1000, "PROP"}, {0x2000, 0x40000, "IMA2"}, {0x50000, 0x80000, "CAMF"}});
    EXPECT_EQ(end, p + 100 + 4 + 12 * 4);
    EXPECT_EQ(FindX3FEnd(h.Window(2048), p, p + 512).End, std::optional<int64_t>(end));
    // Each check on its own turns a marker into data: version, count, an entry past the
    // directory, a type that is no tag, a last word that does not point back.
    for (auto [offset, value] : std::vector<std::pair<size_t, uint32_t>>{
             {104, 0x00050000}, {108, 0}, {108, 65}, {116, 0xFFFFFF00}, {120, 0x21504F52}, {148, 99}}) {
        Held bad = h;
        PutLe32(bad.bytes, size_t(p - h.first) + offset, value);
        const EndSearch r = FindX3FEnd(bad.Window(2048), p, p + 512);
        EXPECT_EQ(r.End, std::nullopt) << offset;
        EXPECT_EQ(r.Next, p + 512) << offset;
    }
    // A marker after the block is the next block's business.
    EXPECT_EQ(FindX3FEnd(h.Window(2048), p - 512, p + 100).End, std::nullopt);
}

TEST(FindX3FEnd, DirectoryAcrossTheDataReadWaitsForTheNextChunk)
{
    const int64_t p = 40960;
    Held h{Bytes(2048, 0x11), p - 1024};
    const int64_t k = p + 505;  // the count word lies past the block
    const int64_t end = PutX3fDirectory(h, k, {{64, 100, "PROP"}, {200, 300, "IMAG"}});
    const size_t blockEnd = size_t(p + 512 - h.first);
    // The block is the last one read: the search stops at the marker.
    const EndSearch first = FindX3FEnd(h.Window(blockEnd), p, p + 512);
    EXPECT_EQ(first.End, std::nullopt);
    EXPECT_EQ(first.Next, k);
    // The next block's window (the tail of the last chunk in front) finds it.
    EXPECT_EQ(FindX3FEnd(h.NextBlock().Window(2048), first.Next, p + 1024).End, std::optional<int64_t>(end));
    // The directory is whole but its last word is not read yet: the end is past the data.
    const size_t dirEnd = size_t(end - 4 - h.first);
    EXPECT_EQ(FindX3FEnd(h.Window(dirEnd), p, p + 512).End, std::optional<int64_t>(end));
}

TEST(FindCRWEnd, RecordTableOfFourOrThreeEntries)
{
    const int64_t p = 1 << 20;
    {
        Held h{Bytes(2048, 0x22), p - 512};
        const int64_t end = PutCrwTable(h, p + 40, 4);
        EXPECT_EQ(end, p + 40 + 68 + 4);
        EXPECT_EQ(FindCRWEnd(h.Window(2048), p, p + 512).End, std::optional<int64_t>(end));
        // The same word with a table of another count, or records past the table, is data.
        Held count = h;
        count.bytes[size_t(p + 40 + 26 - h.first)] = 5;
        EXPECT_EQ(FindCRWEnd(count.Window(2048), p, p + 512).End, std::nullopt);
        Held past = h;
        PutLe32(past.bytes, size_t(p + 40 + 26 + 2 + 2 - h.first), uint32_t(p + 100));
        EXPECT_EQ(FindCRWEnd(past.Window(2048), p, p + 512).End, std::nullopt);
    }
    {
        Held h{Bytes(2048, 0x22), p - 512};
        const int64_t end = PutCrwTable(h, p + 40, 3);
        EXPECT_EQ(FindCRWEnd(h.Window(2048), p, p + 512).End, std::optional<int64_t>(end));
        // A smaller v wins whatever its count.
        const int64_t earlier = PutCrwTable(h, p + 3, 3);
        EXPECT_EQ(FindCRWEnd(h.Window(2048), p, p + 512).End, std::optional<int64_t>(earlier));
    }
    // Past 16 MiB the word's high byte is no longer zero: a search that crosses the mark
    // finds the table on its far side.
    {
        const int64_t q = (int64_t(1) << 24) - 256;
        Held h{Bytes(2048, 0x00), q - 512};
        const int64_t end = PutCrwTable(h, q + 300, 4);
        EXPECT_EQ(FindCRWEnd(h.Window(2048), q, q + 512).End, std::optional<int64_t>(end));
    }
    // Words are signed and non-zero: zeros and all ones never match.
    for (uint8_t fill : {uint8_t(0), uint8_t(0xFF)}) {
        Held h{Bytes(2048, fill), 0};
        EXPECT_EQ(FindCRWEnd(h.Window(2048), 0, 512).End, std::nullopt);
    }
}

// The closing word in the first 68 bytes of a chunk: the search of the chunk's last block
// stops where its words run past the data, and the next block takes it up.
TEST(FindCRWEnd, WordAcrossTheDataReadIsFoundInTheNextChunk)
{
    const int64_t p = 51200 - 512;  // the last block of the first chunk
    Held h{Bytes(3072, 0x33), p - 1024};
    const int64_t v = p + 500;
    const int64_t end = PutCrwTable(h, v, 3);   // word at v + 58: bytes 46..49 of the next chunk
    const size_t chunkEnd = size_t(p + 512 - h.first);
    const EndSearch last = FindCRWEnd(h.Window(chunkEnd), p, p + 512);
    EXPECT_EQ(last.End, std::nullopt);
    EXPECT_LE(last.Next, v);
    EXPECT_EQ(FindCRWEnd(h.NextBlock().Window(2560), last.Next, p + 1024).End, std::optional<int64_t>(end));
}

// Random data of random sizes for both end rules: ends only after the positions examined,
// the search never goes back, and no byte outside the window is read (AddressSanitizer).
TEST(EndRules, RandomDataStaysInsideTheData)
{
    std::mt19937 rng(7);
    int ends = 0;
    for (int round = 0; round < 3000; ++round) {
        const size_t n = rng() % 1500;
        Bytes bytes(n);
        for (auto& b : bytes)
            b = uint8_t(rng() % 4 == 0 ? "SECd"[rng() % 4] : rng() % 8 == 0 ? 0 : rng());
        Exact e(bytes);
        const FileWindow w{e.data.get(), n, int64_t(rng() % 2048) - 512};
        const int64_t from = w.First + int64_t(rng() % 600);
        const int64_t to = from + 1 + int64_t(rng() % 600);
        for (const EndSearch& r : {FindX3FEnd(w, from, to), FindCRWEnd(w, from, to)}) {
            EXPECT_GE(r.Next, std::min<int64_t>(from, to));
            EXPECT_LE(r.Next, to);
            if (r.End) {
                ++ends;
                EXPECT_GT(*r.End, std::max<int64_t>(from, 0));
            }
        }
    }
    EXPECT_EQ(ends, 0) << "random data looked like a directory or a record table";
}
