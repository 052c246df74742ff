// Signature tests and end rules. Blocks are built in heap buffers of exactly the size
// under test, so a read past the data given trips AddressSanitizer.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
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
        {B("ID3"), TypeBit::Mp3, FileTypeId::Mp3},
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
    // cr2 is offered but reads nothing: a big-endian TIFF is not found with cr2 alone.
    EXPECT_EQ(TypeOf(be, TypeBit::Cr2 | TypeBit::Jpg), FileTypeId::None);

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
    EXPECT_EQ(TypeOf(Block(B("ID3")), TypeBit::Mp3), FileTypeId::Mp3);
    EXPECT_EQ(TypeOf(Block(B("ID3")), TypeBit::Wave | TypeBit::Au), FileTypeId::None);
}

TEST(RecogniseBlock, WaveExpectedLength)
{
    Bytes wave = Block(B("RIFF\x24\x00\x00\x00WAVEfmt "));
    auto found = [&](const Bytes& b) {
        Exact e(b);
        return RecogniseBlock(e.span(), TypeBit::Wave);
    };
    PutLe32(wave, 40, 0);
    EXPECT_EQ(found(wave).Type, FileTypeId::Wav);
    EXPECT_EQ(found(wave).ExpectedLength, 36u);
    PutLe32(wave, 40, 88200);
    EXPECT_EQ(found(wave).ExpectedLength, 88236u);
    // A header left at the largest size must not wrap round to a tiny length.
    PutLe32(wave, 40, 0xFFFFFFFF);
    EXPECT_EQ(found(wave).ExpectedLength, 0xFFFFFFFFull + 36);
    // The size word is not held: a WAVE file of unknown length.
    const Bytes shortWave(wave.begin(), wave.begin() + 43);
    EXPECT_EQ(found(shortWave).Type, FileTypeId::Wav);
    EXPECT_EQ(found(shortWave).ExpectedLength, 0u);
    EXPECT_EQ(found(Bytes(wave.begin(), wave.begin() + 44)).ExpectedLength, 0xFFFFFFFFull + 36);
    // Other types carry no length.
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
            EXPECT_EQ(TypeOf(prefix, s.bit), FileTypeId::None) << "type " << s.type << " prefix of " << n;
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

TEST(FileComplete, SizeLimitAndWaveLength)
{
    const int64_t max = 20000256;
    EXPECT_FALSE(FileComplete(max, max, FileTypeId::Jpg, 0));
    EXPECT_TRUE(FileComplete(max + 1, max, FileTypeId::Jpg, 0));
    EXPECT_TRUE(FileComplete(int64_t(1) << 40, max, FileTypeId::Jpg, 0));
    // A negative maximum completes every file, even the first block.
    EXPECT_TRUE(FileComplete(512, -1, FileTypeId::Jpg, 0));
    EXPECT_TRUE(FileComplete(512, INT64_MIN, FileTypeId::Crw, 0));

    EXPECT_FALSE(FileComplete(512, max, FileTypeId::Wav, 0));      // length unknown
    EXPECT_TRUE(FileComplete(512, max, FileTypeId::Wav, 36));      // empty data chunk
    EXPECT_FALSE(FileComplete(88236, max, FileTypeId::Wav, 88236));
    EXPECT_TRUE(FileComplete(88237, max, FileTypeId::Wav, 88236));
    EXPECT_FALSE(FileComplete(512, max, FileTypeId::Mp3, 36));     // the length is for WAVE only
    EXPECT_FALSE(FileComplete(max, max, FileTypeId::Wav, 0xFFFFFFFFull + 36));
}

TEST(FindX3FEnd, EndFollowsTheDirectory)
{
    Bytes held(1024, 0);
    std::memcpy(&held[100], "SECd", 4);
    PutLe32(held, 104, 2);  // version
    PutLe32(held, 108, 3);  // entries
    std::memcpy(&held[300], "SECd", 4);  // a later marker does not count
    PutLe32(held, 308, 1);
    Exact e(held);
    EXPECT_EQ(FindX3FEnd(e.span(), 512), std::optional<size_t>(100 + 4 + 12 * 4));

    // "SEC" followed by another byte, and a lone 'S' at the very end, are no marker.
    Bytes near(512, 0x11);
    std::memcpy(&near[10], "SECD", 4);
    near[511] = 'S';
    Exact n(near);
    EXPECT_EQ(FindX3FEnd(n.span(), 512), std::nullopt);
}

TEST(FindX3FEnd, MarkerAtTheEndOfTheDataHeld)
{
    // The marker in the last 11 bytes of the block: the count is read from the next block.
    Bytes held(1024, 0);
    std::memcpy(&held[505], "SECd", 4);
    PutLe32(held, 513, 5);
    Exact two(held);
    EXPECT_EQ(FindX3FEnd(two.span(), 512), std::optional<size_t>(505 + 4 + 12 * 6));

    // Same block at the end of the read buffer: the count is not held, no end.
    Exact one(held, 512);
    EXPECT_EQ(FindX3FEnd(one.span(), 512), std::nullopt);
    // The count word is the last thing held: found.
    Exact exact(held, 517);
    EXPECT_EQ(FindX3FEnd(exact.span(), 512), std::optional<size_t>(517));  // end limited to held

    // A marker that starts after the block is the next block's business.
    Bytes later(1024, 0);
    std::memcpy(&later[512], "SECd", 4);
    Exact l(later);
    EXPECT_EQ(FindX3FEnd(l.span(), 512), std::nullopt);

    // A huge count ends at the data held, not past it.
    Bytes huge(512, 0);
    std::memcpy(&huge[0], "SECd", 4);
    PutLe32(huge, 8, 0xFFFFFFFF);
    Exact h(huge);
    EXPECT_EQ(FindX3FEnd(h.span(), 512), std::optional<size_t>(512));

    // Less held than a block (a short last read).
    Exact shortRead(huge, 11);
    EXPECT_EQ(FindX3FEnd(shortRead.span(), 512), std::nullopt);
    Exact none(huge, 0);
    EXPECT_EQ(FindX3FEnd(none.span(), 512), std::nullopt);
}

TEST(FindCRWEnd, RecordTableWordOfFourOrThreeEntries)
{
    const int64_t p = 4096;  // file bytes before this block
    {
        Bytes held(1024, 0);
        PutLe32(held, 68 + 40, uint32_t(p + 40));
        Exact e(held);
        EXPECT_EQ(FindCRWEnd(e.span(), 512, p), std::optional<size_t>(68 + 40 + 4));
        EXPECT_EQ(FindCRWEnd(e.span(), 512, p + 1), std::nullopt);
    }
    {
        Bytes held(1024, 0);
        PutLe32(held, 58 + 40, uint32_t(p + 40));
        Exact e(held);
        EXPECT_EQ(FindCRWEnd(e.span(), 512, p), std::optional<size_t>(58 + 40 + 4));
    }
    {
        // Both words match at the same i: the four-entry word wins.
        Bytes held(1024, 0);
        PutLe32(held, 68 + 7, uint32_t(p + 7));
        PutLe32(held, 58 + 7, uint32_t(p + 7));
        Exact e(held);
        EXPECT_EQ(FindCRWEnd(e.span(), 512, p), std::optional<size_t>(68 + 7 + 4));
    }
    {
        // A three-entry match at a smaller i wins over a four-entry match at a larger one.
        Bytes held(1024, 0);
        PutLe32(held, 58 + 3, uint32_t(p + 3));
        PutLe32(held, 68 + 20, uint32_t(p + 20));
        Exact e(held);
        EXPECT_EQ(FindCRWEnd(e.span(), 512, p), std::optional<size_t>(58 + 3 + 4));
    }
    {
        // In the first block of a file (P 0) a zero word at 68 is no end.
        Bytes held(512, 0);
        Exact e(held);
        EXPECT_EQ(FindCRWEnd(e.span(), 512, 0), std::nullopt);
    }
    {
        // Words are signed: a negative offset never matches.
        Bytes held(512, 0xFF);
        Exact e(held);
        EXPECT_EQ(FindCRWEnd(e.span(), 512, 0xFFFFFFFFll), std::nullopt);
    }
}

TEST(FindCRWEnd, WordsReachPastTheBlockOnlyIntoDataHeld)
{
    const int64_t p = 100000;
    const size_t i = 511;  // last i: the word spans block bytes 579..582 via 68 + i
    Bytes held(1024, 0);
    PutLe32(held, 68 + i, uint32_t(p + i));
    Exact all(held);
    EXPECT_EQ(FindCRWEnd(all.span(), 512, p), std::optional<size_t>(68 + i + 4));
    Exact exact(held, 68 + i + 4);  // the word is the last thing held
    EXPECT_EQ(FindCRWEnd(exact.span(), 512, p), std::optional<size_t>(68 + i + 4));
    Exact cut(held, 68 + i + 3);    // one byte of it missing
    EXPECT_EQ(FindCRWEnd(cut.span(), 512, p), std::nullopt);
    Exact block(held, 512);         // last block of the read buffer
    EXPECT_EQ(FindCRWEnd(block.span(), 512, p), std::nullopt);

    // A word at block offset 520 is examined for i = 452 (68 + i) in the block.
    Bytes at520(600, 0);
    PutLe32(at520, 520, uint32_t(p + 452));
    Exact e(at520);
    EXPECT_EQ(FindCRWEnd(e.span(), 512, p), std::optional<size_t>(524));
    // ... but not when it would need i beyond the block.
    EXPECT_EQ(FindCRWEnd(e.span(), 400, p), std::nullopt);

    // Near the end of the data held the three-entry word may be whole when the
    // four-entry word of the same i is not.
    Bytes tail(600, 0);
    PutLe32(tail, 58 + 530, uint32_t(p + 530));
    Exact t(tail);
    EXPECT_EQ(FindCRWEnd(t.span(), 540, p), std::optional<size_t>(58 + 530 + 4));
    PutLe32(tail, 68 + 525, uint32_t(p + 525));  // whole, and at a smaller i
    Exact t2(tail);
    EXPECT_EQ(FindCRWEnd(t2.span(), 540, p), std::optional<size_t>(68 + 525 + 4));

    Exact tiny(held, 3);
    EXPECT_EQ(FindCRWEnd(tiny.span(), 512, p), std::nullopt);
}

// Random data of random sizes for both end rules: results lie within the data held.
TEST(EndRules, RandomDataStaysInsideTheData)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 3000; ++round) {
        const size_t n = rng() % 700;
        Bytes bytes(n);
        for (auto& b : bytes)
            b = uint8_t(rng() % 4 == 0 ? "SECd"[rng() % 4] : rng());
        Exact e(bytes);
        const size_t blockSize = 1 + rng() % 600;
        if (auto end = FindX3FEnd(e.span(), blockSize)) {
            EXPECT_LE(*end, n);
            EXPECT_TRUE(*end >= 16 || *end == n) << *end;
        }
        const int64_t p = int64_t(rng() % 64);
        if (auto end = FindCRWEnd(e.span(), blockSize, p)) {
            EXPECT_LE(*end, n);
            EXPECT_GE(*end, 62u);
        }
    }
}
