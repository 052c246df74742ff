#include "formats/simpleformats.h"

#include <cstring>
#include <string_view>

namespace {

uint32_t Be32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

uint32_t Le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Reads the n-byte header at offset 0. When fewer bytes are known, *result becomes
// NeedMore(n) if they agree with the signature so far, else Unknown.
bool ReadHeader(const ByteSource& src, uint8_t* h, size_t n, std::string_view signature, FileEnd* result)
{
    const size_t got = src.Read(0, h, n);
    const size_t cmp = std::min(got, signature.size());
    if (std::memcmp(h, signature.data(), cmp) != 0) {
        *result = FileEnd::Unknown();
        return false;
    }
    if (got < n) {
        *result = FileEnd::NeedMore(n);
        return false;
    }
    return true;
}

// Reads a source through a window, so that walking many small structures (GIF
// sub-blocks, MPEG frames) costs one Read per window rather than one per structure.
class Window {
public:
    explicit Window(const ByteSource& src) : m_src(src) {}

    // Copies n (at most the window's size) bytes at pos into out; returns how many of
    // them are known.
    size_t Get(uint64_t pos, uint8_t* out, size_t n)
    {
        if (pos < m_start || pos + n > m_start + m_length) {
            // A short read ended the bytes known: a window that holds all of them from
            // pos on is not read again.
            const bool holdsTheRest = m_read && m_length < sizeof(m_buf) && pos >= m_start;
            if (!holdsTheRest) {
                m_start = pos;
                m_length = m_src.Read(pos, m_buf, sizeof(m_buf));
                m_read = true;
            }
        }
        if (pos < m_start || pos >= m_start + m_length)
            return 0;
        const size_t take = size_t(std::min<uint64_t>(n, m_start + m_length - pos));
        std::memcpy(out, m_buf + (pos - m_start), take);
        return take;
    }
    bool All(uint64_t pos, uint8_t* out, size_t n) { return Get(pos, out, n) == n; }

private:
    const ByteSource& m_src;
    uint8_t m_buf[16 * 1024];
    uint64_t m_start = 0;
    size_t m_length = 0;
    bool m_read = false;
};

bool IsLetter(uint8_t c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

// ---- PNG -------------------------------------------------------------------------------

FileEnd FindPngEnd(const ByteSource& src)
{
    static constexpr char kSignature[] = "\x89PNG\r\n\x1a\n";
    // The CRC of an empty IEND chunk is always the same.
    static constexpr uint8_t kIendCrc[4] = {0xAE, 0x42, 0x60, 0x82};
    uint8_t h[8];
    FileEnd result;
    if (!ReadHeader(src, h, 8, std::string_view(kSignature, 8), &result))
        return result.IsNeedMore() ? FileEnd::NeedMore(8 + 25) : result;  // IHDR is 25 bytes

    uint64_t pos = 8;
    for (bool first = true;; first = false) {
        uint8_t c[8];
        const size_t got = src.Read(pos, c, 8);
        for (size_t i = 4; i < got; ++i)
            if (!IsLetter(c[i]))
                return FileEnd::Unknown();
        if (got < 8)
            return FileEnd::NeedMore(pos + 12);
        const uint32_t length = Be32(c);
        if (length > 0x7FFFFFFFu)
            return FileEnd::Unknown();
        const uint8_t* type = c + 4;
        if (first && (std::memcmp(type, "IHDR", 4) != 0 || length != 13))
            return FileEnd::Unknown();
        const uint64_t end = pos + 12 + length;
        if (std::memcmp(type, "IEND", 4) == 0) {
            if (length != 0)
                return FileEnd::Unknown();
            uint8_t crc[4];
            const size_t crcGot = src.Read(pos + 8, crc, 4);
            if (std::memcmp(crc, kIendCrc, crcGot) != 0)
                return FileEnd::Unknown();
            return crcGot == 4 ? FileEnd::Complete(end) : FileEnd::NeedMore(end);
        }
        pos = end;
    }
}

// ---- GIF -------------------------------------------------------------------------------

FileEnd FindGifEnd(const ByteSource& src)
{
    uint8_t h[13];
    FileEnd result;
    if (!ReadHeader(src, h, sizeof(h), "GIF8", &result))
        return result;
    if (std::memcmp(h, "GIF87a", 6) != 0 && std::memcmp(h, "GIF89a", 6) != 0)
        return FileEnd::Unknown();

    Window w(src);
    uint64_t pos = 13;
    if (h[10] & 0x80)
        pos += 3u << ((h[10] & 7) + 1);  // global colour table
    bool image = false;
    for (;;) {
        uint8_t b;
        if (!w.All(pos, &b, 1))
            return FileEnd::NeedMore(pos + 1);
        if (b == 0x3B)  // trailer
            return image ? FileEnd::Complete(pos + 1) : FileEnd::Unknown();
        if (b == 0x21) {
            pos += 2;  // introducer and label, then sub-blocks
        } else if (b == 0x2C) {
            uint8_t d[10];  // separator, left, top, width, height, flags
            if (!w.All(pos, d, sizeof(d)))
                return FileEnd::NeedMore(pos + sizeof(d) + 3);
            if ((d[5] | d[6]) == 0 || (d[7] | d[8]) == 0)
                return FileEnd::Unknown();  // an image without width or height
            pos += sizeof(d);
            if (d[9] & 0x80)
                pos += 3u << ((d[9] & 7) + 1);  // local colour table
            uint8_t codeSize;
            if (!w.All(pos, &codeSize, 1))
                return FileEnd::NeedMore(pos + 3);
            // The LZW minimum code size is 2 to 8 bits (2 also for two-colour images).
            if (codeSize < 2 || codeSize > 8)
                return FileEnd::Unknown();
            ++pos;
            image = true;
        } else {
            return FileEnd::Unknown();
        }
        for (;;) {
            uint8_t size;
            if (!w.All(pos, &size, 1))
                return FileEnd::NeedMore(pos + 2);  // the block and the trailer
            pos += 1 + size;
            if (size == 0)
                break;
        }
    }
}

// ---- MPEG audio ------------------------------------------------------------------------

namespace {

struct MpegFrame {
    uint8_t version;  // header bits: 0 MPEG 2.5, 2 MPEG 2, 3 MPEG 1
    uint8_t layer;    // 1, 2 or 3
    uint32_t sampleRate;
    uint32_t length;  // bytes, header included
};

// Bit rates in kbit/s by [row][index]; rows: MPEG 1 layers I, II, III, then MPEG 2/2.5
// layer I, then MPEG 2/2.5 layers II and III. Index 0 (free format) has no frame length.
constexpr uint16_t kBitRates[5][15] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
};
constexpr uint32_t kSampleRates[3] = {44100, 48000, 32000};  // MPEG 1; halved for 2, quartered for 2.5

bool ParseFrameHeader(const uint8_t* h, MpegFrame* f)
{
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0)
        return false;
    const uint8_t version = (h[1] >> 3) & 3;
    const uint8_t layerBits = (h[1] >> 1) & 3;
    const uint8_t rateIndex = h[2] >> 4;
    const uint8_t srIndex = (h[2] >> 2) & 3;
    const uint32_t padding = (h[2] >> 1) & 1;
    if (version == 1 || layerBits == 0 || rateIndex == 0 || rateIndex == 15 || srIndex == 3 || (h[3] & 3) == 2)
        return false;  // reserved version, layer, sampling rate or emphasis; free or bad bit rate
    const uint8_t layer = uint8_t(4 - layerBits);
    const bool mpeg1 = version == 3;
    const int row = mpeg1 ? layer - 1 : (layer == 1 ? 3 : 4);
    const uint32_t bitRate = uint32_t(kBitRates[row][rateIndex]) * 1000;
    const uint32_t sampleRate = kSampleRates[srIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
    uint32_t length;
    if (layer == 1)
        length = (12 * bitRate / sampleRate + padding) * 4;
    else if (layer == 3 && !mpeg1)
        length = 72 * bitRate / sampleRate + padding;  // 576 samples a frame
    else
        length = 144 * bitRate / sampleRate + padding;
    *f = MpegFrame{version, layer, sampleRate, length};
    return true;
}

// Whether the bytes at pos start with text: Yes, No, or Short when the bytes known end
// before it is decided.
enum class Match { Yes, No, Short };
Match MatchAt(Window& w, uint64_t pos, std::string_view text)
{
    uint8_t b[8];
    const size_t got = w.Get(pos, b, text.size());
    if (std::memcmp(b, text.data(), got) != 0)
        return Match::No;
    return got == text.size() ? Match::Yes : Match::Short;
}

}  // namespace

FileEnd FindMp3End(const ByteSource& src)
{
    Window w(src);
    uint64_t pos = 0;
    bool tag = false;
    uint8_t h[10];
    const size_t got = w.Get(0, h, sizeof(h));
    if (got >= 3 && std::memcmp(h, "ID3", 3) == 0) {
        if (got < 10)
            return FileEnd::NeedMore(10);
        if (h[3] == 0xFF || h[4] == 0xFF || ((h[6] | h[7] | h[8] | h[9]) & 0x80))
            return FileEnd::Unknown();
        const uint32_t size = uint32_t(h[6]) << 21 | uint32_t(h[7]) << 14 | uint32_t(h[8]) << 7 | h[9];
        pos = 10 + uint64_t(size) + ((h[5] & 0x10) ? 10 : 0);  // footer
        tag = true;
    }

    MpegFrame first;
    if (!w.All(pos, h, 4)) {
        const size_t known = w.Get(pos, h, 4);
        if (known > 0 && h[0] != 0xFF)
            return FileEnd::Unknown();
        return FileEnd::NeedMore(pos + 4);
    }
    if (!ParseFrameHeader(h, &first))
        return FileEnd::Unknown();

    // Walk the frames while each next header is valid and of the same stream.
    uint32_t frames = 0;
    uint32_t length = first.length;
    for (;;) {
        ++frames;
        const uint64_t next = pos + length;
        MpegFrame f;
        const size_t known = w.Get(next, h, 4);
        if (known < 4) {
            if (src.Size() < next)
                return FileEnd::NeedMore(next);
            // The bytes known end at or just past this frame: whether another frame or
            // a tag follows cannot be told yet.
            if (known == 0 || h[0] == 0xFF || h[0] == 'T' || h[0] == 'A')
                return FileEnd::NeedMore();
            pos = next;
            break;
        }
        pos = next;
        if (!ParseFrameHeader(h, &f) || f.version != first.version || f.layer != first.layer ||
            f.sampleRate != first.sampleRate)
            break;
        length = f.length;
    }
    if (!tag && frames < 2)
        return FileEnd::Unknown();

    // An APE tag with a header: "APETAGEX", version, size of the items and footer,
    // item count, flags (bit 29 marks the header), 8 reserved bytes.
    switch (MatchAt(w, pos, "APETAGEX")) {
    case Match::Short:
        return FileEnd::NeedMore(pos + 32);
    case Match::Yes: {
        uint8_t a[32];
        if (!w.All(pos, a, sizeof(a)))
            return FileEnd::NeedMore(pos + 32);
        const uint32_t size = Le32(a + 12);
        const uint32_t flags = Le32(a + 20);
        if ((flags & (1u << 29)) && size >= 32) {
            pos += 32 + uint64_t(size);
            if (src.Size() < pos)
                return FileEnd::NeedMore(pos);
        }
        break;
    }
    case Match::No:
        break;
    }
    // An ID3v1 tag: "TAG" and 125 bytes.
    switch (MatchAt(w, pos, "TAG")) {
    case Match::Short:
        return FileEnd::NeedMore(pos + 128);
    case Match::Yes:
        pos += 128;
        if (src.Size() < pos)
            return FileEnd::NeedMore(pos);
        break;
    case Match::No:
        break;
    }
    return FileEnd::Complete(pos);
}

// ---- AIFF, AU --------------------------------------------------------------------------

FileEnd FindAiffEnd(const ByteSource& src)
{
    uint8_t h[16];
    FileEnd result;
    if (!ReadHeader(src, h, 12, "FORM", &result))
        return result;
    if (std::memcmp(h + 8, "AIFF", 4) != 0 && std::memcmp(h + 8, "AIFC", 4) != 0)
        return FileEnd::Unknown();
    const uint32_t size = Be32(h + 4);
    if (size < 12 || size == 0xFFFFFFFFu)
        return FileEnd::Unknown();
    // The first chunk's identifier, when known, must be printable.
    const size_t got = src.Read(12, h + 12, 4);
    for (size_t i = 0; i < got; ++i)
        if (h[12 + i] < 0x20 || h[12 + i] > 0x7E)
            return FileEnd::Unknown();
    // A chunk of odd size is followed by a pad byte its size does not count.
    const uint64_t total = 8 + uint64_t(size) + (size & 1);
    return src.Size() >= total ? FileEnd::Complete(total) : FileEnd::NeedMore(total);
}

FileEnd FindAuEnd(const ByteSource& src)
{
    uint8_t h[24];
    FileEnd result;
    if (!ReadHeader(src, h, sizeof(h), ".snd", &result))
        return result;
    const uint32_t headerSize = Be32(h + 4);
    const uint32_t dataSize = Be32(h + 8);
    const uint32_t encoding = Be32(h + 12);
    const uint32_t sampleRate = Be32(h + 16);
    const uint32_t channels = Be32(h + 20);
    // Encodings are numbered 1 to 27; no file has no channels or no sampling rate.
    if (headerSize < 24 || dataSize == 0xFFFFFFFFu || encoding == 0 || encoding > 27 || sampleRate == 0 ||
        channels == 0)
        return FileEnd::Unknown();
    const uint64_t total = uint64_t(headerSize) + dataSize;
    return src.Size() >= total ? FileEnd::Complete(total) : FileEnd::NeedMore(total);
}
