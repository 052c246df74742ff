#include "formats/jpeg.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

namespace {

// A segment body is at most 65533 bytes (its length field counts itself).
constexpr size_t kMaxSegmentBody = 65533;

// The APP1 that holds the main XMP packet starts with this namespace and a NUL.
constexpr std::string_view kXmpSignature("http://ns.adobe.com/xap/1.0/\0", 29);
// The APP2 that holds the multi-picture index.
constexpr std::string_view kMpfSignature("MPF\0", 4);

// Lengths an XMP packet declares are taken up to this size; a larger one is not a
// picture's movie or gain map but a damaged or foreign packet.
constexpr uint64_t kMaxDeclaredLength = 0xFFFFFFFFull;

// A Samsung-style trailer: data blocks after the EOI, each opened by two zero bytes, a
// 16-bit type, a 32-bit little-endian name length and the name; then a directory block
// "SEFH" <version> <count> <count entries of 12 bytes>, its length and "SEFT". Names
// seen in such blocks are short ("MotionPhoto_Data", "Image_UTC_Data").
constexpr uint32_t kMaxSefName = 64;
// Directories seen hold a handful of entries; this bound keeps the block below the
// capacity of the segment buffer that collects it.
constexpr uint32_t kMaxSefEntries = 1024;
// How far past the EOI the directory is looked for when nothing declares the trailer's
// size: a phone's motion clip of a few seconds fits well within it.
constexpr uint64_t kSefSearchSpan = 64ull << 20;
// How far past a declared end: the directory follows the movie, a few KiB at most.
constexpr uint64_t kSefSearchSlack = 1ull << 20;

uint32_t Le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool IsFrameMarker(uint8_t c)
{
    // SOF0..SOF15 without DHT (C4), JPG (C8) and DAC (CC).
    return c >= 0xC0 && c <= 0xCF && c != 0xC4 && c != 0xC8 && c != 0xCC;
}

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The number given to the XMP property `name`, in either form: as an attribute
// name="123" (or '123') or as an element <name>123</name>. Looks at each occurrence of
// the name in text until one carries a number.
std::optional<uint64_t> XmpNumber(std::string_view text, std::string_view name)
{
    for (size_t at = text.find(name); at != std::string_view::npos; at = text.find(name, at + 1)) {
        size_t i = at + name.size();
        while (i < text.size() && IsSpace(text[i]))
            ++i;
        if (i >= text.size())
            return std::nullopt;
        if (text[i] == '=') {
            ++i;
            while (i < text.size() && IsSpace(text[i]))
                ++i;
            if (i >= text.size() || (text[i] != '"' && text[i] != '\''))
                continue;
            ++i;
        } else if (text[i] == '>') {
            ++i;
            while (i < text.size() && IsSpace(text[i]))
                ++i;
        } else {
            continue;  // a longer name that starts with this one
        }
        uint64_t value = 0;
        size_t digits = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 12) {
            value = value * 10 + uint64_t(text[i] - '0');
            ++i;
            ++digits;
        }
        if (digits == 0 || digits == 12 || value > kMaxDeclaredLength)
            continue;
        return value;
    }
    return std::nullopt;
}

// The multi-picture index is a small TIFF structure in either byte order.
struct TiffReader {
    const uint8_t* p;
    size_t size;
    bool little;
    uint16_t U16(size_t at) const
    {
        return little ? uint16_t(p[at] | p[at + 1] << 8) : uint16_t(p[at] << 8 | p[at + 1]);
    }
    uint32_t U32(size_t at) const
    {
        return little ? Le32(p + at)
                      : uint32_t(p[at]) << 24 | uint32_t(p[at + 1]) << 16 | uint32_t(p[at + 2]) << 8 |
                            uint32_t(p[at + 3]);
    }
};

}  // namespace

JpegScanner::JpegScanner()
{
    m_seg.reserve(kMaxSegmentBody);
}

void JpegScanner::Reset()
{
    // Keeps the buffer, so that starting over allocates nothing.
    std::vector<uint8_t> keep;
    keep.swap(m_seg);
    *this = JpegScanner(NoBuffer{});
    keep.clear();
    m_seg.swap(keep);
}

bool JpegScanner::DeclaresImageAt(uint64_t offset) const
{
    if (m_mpfEnd == 0 || m_eoiEnd == 0 || m_mpfFirstStart < m_eoiEnd)
        return false;
    return std::find(m_mpfStarts, m_mpfStarts + m_mpfCount, offset) != m_mpfStarts + m_mpfCount;
}

bool JpegScanner::DeclaresMovieAt(uint64_t offset) const
{
    return m_eoiEnd != 0 && m_xmpFollowing != 0 && (offset == m_eoiEnd || offset == m_total - m_xmpFollowing);
}

void JpegScanner::Break(uint64_t at)
{
    m_phase = Phase::Broken;
    m_badAt = at;
}

FileEnd JpegScanner::Feed(const uint8_t* data, size_t n)
{
    const uint8_t* p = data;
    const uint8_t* const end = data + n;
    const uint64_t base = m_fed;
    auto at = [&](const uint8_t* q) { return base + uint64_t(q - data); };

    while (p < end) {
        switch (m_phase) {
        case Phase::Soi0:
            if (*p != 0xFF) {
                Break(0);
                p = end;
                break;
            }
            ++p;
            m_phase = Phase::Soi1;
            break;
        case Phase::Soi1:
            if (*p != 0xD8) {
                Break(0);
                p = end;
                break;
            }
            ++p;
            m_phase = Phase::Marker;
            break;
        case Phase::Marker:
            if (*p != 0xFF) {
                Break(at(p));
                p = end;
                break;
            }
            m_markerStart = at(p);
            ++p;
            m_phase = Phase::MarkerCode;
            break;
        case Phase::MarkerCode:
        case Phase::EntropyMarker: {
            const uint8_t c = *p;
            const uint64_t codeAt = at(p);
            ++p;
            if (c == 0xFF)
                break;  // a fill byte before the marker code
            if (m_phase == Phase::EntropyMarker && (c == 0x00 || (c & 0xF8) == 0xD0)) {
                m_phase = Phase::Entropy;  // stuffing, or a restart marker
                break;
            }
            if (c == 0xD9) {
                if (!m_sawScan) {  // tables only: no picture
                    Break(m_markerStart);
                    p = end;
                    break;
                }
                ReachedEoi(codeAt + 1);
                break;
            }
            if (!OnMarker(c)) {
                Break(m_markerStart);
                p = end;
            }
            break;
        }
        case Phase::Length0:
            m_segLength = uint32_t(*p++) << 8;
            m_phase = Phase::Length1;
            break;
        case Phase::Length1:
            m_segLength |= *p++;
            if (m_segLength < 2) {
                Break(m_markerStart);
                p = end;
                break;
            }
            m_left = m_segLength - 2;
            m_segEnd = at(p) + m_left;
            m_headFill = 0;
            m_capture = !m_sawScan && (m_marker == 0xE1 || m_marker == 0xE2);
            m_seg.clear();
            m_phase = Phase::Body;
            if (m_left == 0 && !EndSegment()) {
                Break(m_markerStart);
                p = end;
            }
            break;
        case Phase::Body: {
            const size_t take = std::min<size_t>(m_left, size_t(end - p));
            if (m_headFill < sizeof(m_head)) {
                const size_t h = std::min<size_t>(sizeof(m_head) - m_headFill, take);
                std::memcpy(m_head + m_headFill, p, h);
                m_headFill += uint32_t(h);
            }
            if (m_capture) {
                m_seg.insert(m_seg.end(), p, p + take);
                // Keep collecting only while the body can still be an XMP packet or a
                // multi-picture index; an Exif APP1 is dropped after its first bytes.
                const std::string_view sig = m_marker == 0xE1 ? kXmpSignature : kMpfSignature;
                const size_t cmp = std::min(m_seg.size(), sig.size());
                if (std::memcmp(m_seg.data(), sig.data(), cmp) != 0)
                    m_capture = false;
            }
            p += take;
            m_left -= uint32_t(take);
            if (m_left == 0 && !EndSegment()) {
                Break(m_markerStart);
                p = end;
            }
            break;
        }
        case Phase::Entropy:
            // The hot loop: most entropy bytes are not FF, and most FFs are stuffed.
            for (;;) {
                // Stuffed bytes often come in runs: the byte after one is looked at
                // before calling memchr.
                const auto* ff = *p == 0xFF ? p : static_cast<const uint8_t*>(std::memchr(p, 0xFF, size_t(end - p)));
                if (!ff) {
                    p = end;
                    break;
                }
                if (ff + 1 < end) {
                    const uint8_t c = ff[1];
                    if (c == 0x00 || (c & 0xF8) == 0xD0) {
                        p = ff + 2;
                        if (p == end)
                            break;
                        continue;
                    }
                }
                m_markerStart = at(ff);
                m_phase = Phase::EntropyMarker;
                p = ff + 1;
                break;
            }
            break;
        case Phase::Trailer:
            FeedTrailer(p, size_t(end - p), at(p));
            p = end;
            break;
        case Phase::Broken:
            p = end;
            break;
        }
    }
    m_fed = base + n;
    return State();
}

bool JpegScanner::OnMarker(uint8_t c)
{
    m_marker = c;
    switch (c) {
    case 0xC4:  // DHT
    case 0xCC:  // DAC
    case 0xDB:  // DQT
    case 0xDD:  // DRI
    case 0xFE:  // COM
        break;
    case 0xDC:  // DNL follows the first scan only
        if (!m_sawScan)
            return false;
        break;
    case 0xDA:  // SOS needs a frame
        if (!m_sawFrame)
            return false;
        break;
    default:
        if (c >= 0xE0 && c <= 0xEF)
            break;  // APPn
        if (IsFrameMarker(c) && !m_sawFrame)
            break;  // one frame per image
        // SOI, RSTn outside a scan, TEM, the reserved codes, a second frame, JPG and
        // JPGn extensions, hierarchical markers: none occurs in a camera's picture.
        return false;
    }
    m_phase = Phase::Length0;
    return true;
}

bool JpegScanner::EndSegment()
{
    const uint32_t len = m_segLength;
    m_phase = Phase::Marker;
    const bool captured = m_capture;
    m_capture = false;
    if (IsFrameMarker(m_marker)) {
        // P, Y, X, Nf, then three bytes a component.
        if (len < 8 || m_head[0] < 2 || m_head[0] > 16 || m_head[5] == 0 || len != 8u + 3u * m_head[5])
            return false;
        if ((m_head[3] | m_head[4]) == 0)  // no width
            return false;
        m_sawFrame = true;
        return true;
    }
    switch (m_marker) {
    case 0xDA:
        // Ns, two bytes a component, then Ss, Se, Ah/Al.
        if (len < 3 || m_head[0] == 0 || m_head[0] > 4 || len != 6u + 2u * m_head[0])
            return false;
        m_sawScan = true;
        m_phase = Phase::Entropy;
        return true;
    case 0xDD:
        return len == 4;
    case 0xE1:
        if (captured && m_seg.size() >= kXmpSignature.size())
            ParseXmp(m_seg.data() + kXmpSignature.size(), m_seg.size() - kXmpSignature.size());
        return true;
    case 0xE2:
        if (captured && m_seg.size() >= kMpfSignature.size() && m_mpfEnd == 0) {
            const uint64_t bodyPos = m_segEnd - (len - 2);
            ParseMpf(m_seg.data() + kMpfSignature.size(), m_seg.size() - kMpfSignature.size(),
                     bodyPos + kMpfSignature.size());
        }
        return true;
    default:
        return true;
    }
}

void JpegScanner::ParseMpf(const uint8_t* body, size_t size, uint64_t tiffPos)
{
    // A TIFF header, the index IFD, and the MP Entry tag (0xB002): 16 bytes an image
    // (attributes, size, offset from the TIFF header, two dependent image numbers).
    if (size < 8)
        return;
    TiffReader t{body, size, false};
    if (body[0] == 'I' && body[1] == 'I')
        t.little = true;
    else if (!(body[0] == 'M' && body[1] == 'M'))
        return;
    if (t.U16(2) != 42)
        return;
    const uint32_t ifd = t.U32(4);
    if (ifd < 8 || ifd > size - 2)
        return;
    const uint32_t count = t.U16(ifd);
    for (uint32_t i = 0; i < count; ++i) {
        const size_t e = size_t(ifd) + 2 + size_t(i) * 12;
        if (e + 12 > size)
            return;
        if (t.U16(e) != 0xB002)
            continue;
        const uint32_t bytes = t.U32(e + 4);
        const uint32_t off = t.U32(e + 8);
        if (bytes < 16 || bytes % 16 != 0 || off > size || bytes > size - off)
            return;
        uint64_t last = 0;
        uint64_t first = 0;
        m_mpfCount = 0;
        for (uint32_t k = 0; k < bytes / 16; ++k) {
            const size_t ent = size_t(off) + size_t(k) * 16;
            const uint32_t imageSize = t.U32(ent + 4);
            const uint32_t imageOffset = t.U32(ent + 8);
            if (imageOffset == 0)
                continue;  // the first image: this file from its SOI
            const uint64_t start = tiffPos + imageOffset;
            last = std::max(last, start + imageSize);
            first = first == 0 ? start : std::min(first, start);
            if (m_mpfCount < kMaxImages)
                m_mpfStarts[m_mpfCount++] = start;
        }
        m_mpfEnd = last;
        m_mpfFirstStart = first;
        return;
    }
}

void JpegScanner::ParseXmp(const uint8_t* text, size_t size)
{
    const std::string_view x(reinterpret_cast<const char*>(text), size);
    uint64_t following = 0;

    // Micro video: the movie is the last N bytes of the file.
    if (auto v = XmpNumber(x, "MicroVideoOffset"))
        following = *v;

    // Container directory (Container:Directory or the older GContainer:Directory): the
    // first item is the primary image, whose Padding lies between its EOI and the next
    // item; every further item adds its Length.
    const size_t dir = x.find("Container:Directory");
    if (dir != std::string_view::npos) {
        size_t dirEnd = x.find("Container:Directory", dir + 1);
        if (dirEnd == std::string_view::npos)
            dirEnd = x.size();
        const std::string_view d = x.substr(dir, dirEnd - dir);
        constexpr std::string_view kItem = "Container:Item";
        auto isItemStart = [&](size_t at) {
            return (at >= 1 && d[at - 1] == '<') || (at >= 2 && d[at - 1] == 'G' && d[at - 2] == '<');
        };
        auto nextItem = [&](size_t from) {
            for (size_t at = d.find(kItem, from); at != std::string_view::npos; at = d.find(kItem, at + 1))
                if (isItemStart(at))
                    return at;
            return std::string_view::npos;
        };
        uint64_t sum = 0;
        size_t index = 0;
        for (size_t at = nextItem(0); at != std::string_view::npos; ++index) {
            const size_t next = nextItem(at + kItem.size());
            const std::string_view item = d.substr(at, next == std::string_view::npos ? d.npos : next - at);
            if (index == 0) {
                // "Item:Padding" also finds "GContainerItem:Padding".
                sum += XmpNumber(item, "Item:Padding").value_or(0);
            } else {
                sum += XmpNumber(item, "Item:Length").value_or(0);
            }
            at = next;
        }
        following = std::max(following, sum);
    }
    m_xmpFollowing = std::max(m_xmpFollowing, following);
}

void JpegScanner::ReachedEoi(uint64_t end)
{
    m_eoiEnd = end;
    m_total = end;
    // Further images must lie past the first one; an index that points into it is not
    // this file's.
    if (m_mpfEnd != 0 && m_mpfFirstStart >= end)
        m_total = std::max(m_total, m_mpfEnd);
    if (m_xmpFollowing != 0)
        m_total = std::max(m_total, end + m_xmpFollowing);
    m_phase = Phase::Trailer;
    m_after = After::Looking;
    m_lookFill = 0;
    m_lookNeed = 8;
}

void JpegScanner::FeedTrailer(const uint8_t* p, size_t n, uint64_t pos)
{
    while (n > 0) {
        switch (m_after) {
        case After::Nothing:
        case After::Found:
            return;
        case After::Looking: {
            const size_t take = std::min<size_t>(n, m_lookNeed - m_lookFill);
            std::memcpy(m_look + m_lookFill, p, take);
            m_lookFill += uint32_t(take);
            p += take;
            pos += take;
            n -= take;
            if (m_lookFill == m_lookNeed)
                CheckTrailerHead();
            break;
        }
        case After::Searching: {
            if (pos >= m_searchLimit) {
                m_after = After::Nothing;
                return;
            }
            const uint8_t* q = p;
            const uint8_t* const e = p + std::min<uint64_t>(n, m_searchLimit - pos);
            static constexpr char kHead[] = "SEFH";
            while (q < e) {
                if (m_match == 0) {
                    q = static_cast<const uint8_t*>(std::memchr(q, 'S', size_t(e - q)));
                    if (!q) {
                        q = e;
                        break;
                    }
                    ++q;
                    m_match = 1;
                } else if (*q == uint8_t(kHead[m_match])) {
                    ++q;
                    if (++m_match == 4) {
                        m_match = 0;
                        m_dirPos = pos + uint64_t(q - p) - 4;
                        m_seg.clear();
                        m_dirNeed = 8;
                        m_after = After::Directory;
                        break;
                    }
                } else {
                    m_match = 0;  // this byte is looked at again as a possible 'S'
                }
            }
            pos += uint64_t(q - p);
            n -= size_t(q - p);
            p = q;
            if (m_after == After::Searching && pos >= m_searchLimit)
                m_after = After::Nothing;
            break;
        }
        case After::Directory: {
            const size_t take = std::min<size_t>(n, m_dirNeed - m_seg.size());
            m_seg.insert(m_seg.end(), p, p + take);
            p += take;
            pos += take;
            n -= take;
            if (m_seg.size() == m_dirNeed)
                CheckDirectory();
            break;
        }
        }
    }
}

void JpegScanner::CheckTrailerHead()
{
    if (m_lookNeed == 8) {
        const uint32_t nameLength = Le32(m_look + 4);
        if (m_look[0] != 0 || m_look[1] != 0 || nameLength == 0 || nameLength > kMaxSefName) {
            m_after = After::Nothing;
            return;
        }
        m_lookNeed = 8 + nameLength;
        return;
    }
    for (uint32_t i = 8; i < m_lookNeed; ++i) {
        if (m_look[i] < 0x20 || m_look[i] > 0x7E) {
            m_after = After::Nothing;
            return;
        }
    }
    m_after = After::Searching;
    m_match = 0;
    m_searchLimit = m_total > m_eoiEnd ? m_total + kSefSearchSlack : m_eoiEnd + kSefSearchSpan;
}

void JpegScanner::CheckDirectory()
{
    // m_seg holds the bytes after "SEFH": version, count, then (second round) the
    // entries, the block's length and "SEFT".
    const uint32_t count = Le32(m_seg.data() + 4);
    if (m_dirNeed == 8) {
        if (count == 0 || count > kMaxSefEntries) {
            m_after = After::Searching;
            return;
        }
        m_dirNeed = 8 + 12 * count + 8;
        return;
    }
    // Each entry: two zero bytes, the type, the distance back from "SEFH" to its data
    // block and the block's size. The farthest block must start right at the EOI, where
    // the first block was seen.
    const uint64_t room = m_dirPos - m_eoiEnd;
    uint64_t farthest = 0;
    bool fits = true;
    for (uint32_t i = 0; i < count && fits; ++i) {
        const uint8_t* e = m_seg.data() + 8 + 12 * size_t(i);
        const uint32_t back = Le32(e + 4);
        const uint32_t size = Le32(e + 8);
        fits = e[0] == 0 && e[1] == 0 && back <= room && size <= back && size >= 8;
        farthest = std::max<uint64_t>(farthest, back);
    }
    const uint8_t* tail = m_seg.data() + 8 + 12 * size_t(count);
    const uint32_t blockLength = 12 + 12 * count;
    if (fits && farthest == room && Le32(tail) == blockLength && std::memcmp(tail + 4, "SEFT", 4) == 0) {
        m_trailerEnd = m_dirPos + blockLength + 8;
        m_after = After::Found;
    } else {
        m_after = After::Searching;
    }
}

uint64_t JpegScanner::DeclaredEnd() const
{
    return m_after == After::Found ? std::max(m_total, m_trailerEnd) : m_total;
}

FileEnd JpegScanner::State() const
{
    switch (m_phase) {
    case Phase::Broken:
        return FileEnd::Unknown();
    case Phase::Body:
        return FileEnd::NeedMore(m_segEnd);
    case Phase::Trailer: {
        if (m_after == After::Searching || m_after == After::Directory)
            return FileEnd::NeedMore(m_total > m_fed ? m_total : 0);
        const uint64_t total = DeclaredEnd();
        return m_fed >= total ? FileEnd::Complete(total) : FileEnd::NeedMore(total);
    }
    default:
        return FileEnd::NeedMore();
    }
}

uint64_t JpegScanner::GoodUpTo() const
{
    if (m_phase == Phase::Broken)
        return m_badAt;
    const FileEnd s = State();
    return s.IsComplete() ? std::min(m_fed, s.Length) : m_fed;
}

bool JpegScanner::InEntropyData() const
{
    return m_phase == Phase::Entropy || m_phase == Phase::EntropyMarker;
}

bool JpegScanner::Settled() const
{
    if (m_phase == Phase::Broken)
        return true;
    return m_phase == Phase::Trailer && (m_after == After::Nothing || m_after == After::Found) &&
           State().IsComplete();
}

FileEnd FindJpegEnd(const ByteSource& src)
{
    constexpr size_t kRead = 64 * 1024;
    std::vector<uint8_t> buf(kRead);
    JpegScanner scanner;
    uint64_t offset = 0;
    for (;;) {
        const size_t got = src.Read(offset, buf.data(), kRead);
        if (got == 0)
            break;
        scanner.Feed(buf.data(), got);
        offset += got;
        if (scanner.Settled() || got < kRead)
            break;
    }
    return scanner.State();
}
