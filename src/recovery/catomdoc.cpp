#include "recovery/catomdoc.h"

#include <filesystem>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <span>
#include <vector>

#include "app/filetypes.h"
#include "recovery/signatures.h"

namespace {

// Searches data for a pattern at start positions from `from` up to, not including, 512
// minus the pattern's length (counted from `from`), and never past the bytes held.
const uint8_t* Search(const uint8_t* data, size_t size, size_t from, const char* pattern)
{
    const size_t length = std::strlen(pattern);
    if (from >= size)
        return nullptr;
    const size_t limit = std::min<size_t>(512 - length, size - from >= length ? size - from - length + 1 : 0);
    // Every block of a card is searched: skip to candidates by the first byte.
    const uint8_t* p = data + from;
    const uint8_t* const last = p + limit;
    while (p < last) {
        p = static_cast<const uint8_t*>(std::memchr(p, pattern[0], static_cast<size_t>(last - p)));
        if (!p)
            return nullptr;
        if (std::memcmp(p, pattern, length) == 0)
            return p;
        ++p;
    }
    return nullptr;
}

uint32_t BE32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]; }
// An atom name as the big-endian word its four bytes make.
constexpr uint32_t NameWord(const char (&name)[5])
{
    return (uint32_t(uint8_t(name[0])) << 24) | (uint32_t(uint8_t(name[1])) << 16) | (uint32_t(uint8_t(name[2])) << 8) |
           uint8_t(name[3]);
}
uint64_t BE64(const uint8_t* p) { return (uint64_t(BE32(p)) << 32) | BE32(p + 4); }
uint32_t LE32(const uint8_t* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24); }

// What an atom of size 0 ("to the end of the file") has left: more than any card holds.
constexpr int64_t kToEnd = int64_t(1) << 62;

// "Near" a movie's first block: the data held with it and the chunk after it, two chunks
// of 100 blocks of 512 bytes.
constexpr uint64_t kNearChain = 2 * 100 * 512;

// Atoms that follow others at the top level of a movie: the start names but "ftyp", and
// those of fragmented MP4, which crash-safe recorders write after an empty "moov".
constexpr const char* kChainNames[] = {"free", "skip", "wide", "pnot", "moov", "mdat", "PICT", "uuid",
                                       "moof", "mfra", "sidx", "styp", "emsg", "prft"};

}  // namespace

// ---------------------------------------------------------------- atom objects

void CAtomObj::Reset()
{
    CObj::Reset();
    AtomType = 0;
    Remaining = 0;
    Done = 0;
    ToEnd = false;
}

void CAtomObj::CopyFrom(const CObj& other)
{
    if (&other == this)
        return;
    CObj::CopyFrom(other);
    if (auto* atom = dynamic_cast<const CAtomObj*>(&other)) {
        AtomType = atom->AtomType;
        Remaining = atom->Remaining;
        Done = atom->Done;
        ToEnd = atom->ToEnd;
    }
}

bool CAtomObj::ParseHeader(const uint8_t* data, size_t size)
{
    Reset();
    AtomType = TypeOf(data, size);
    return AtomType != 0;
}

int64_t CAtomObj::Consume(int64_t p, int64_t e)
{
    if (e - p - Remaining <= 0) {
        Remaining -= e - p;
        return e;
    }
    const int64_t reached = p + Remaining;
    Remaining = 0;
    Done = 1;
    return reached;
}

void CQTAtomObj::Reset()
{
    CAtomObj::Reset();
    Size = 0;
    Size64 = 0;
    std::memset(Name, 0, sizeof Name);
}

void CQTAtomObj::CopyFrom(const CObj& other)
{
    CAtomObj::CopyFrom(other);
    if (auto* atom = dynamic_cast<const CQTAtomObj*>(&other); atom && atom != this) {
        Size = atom->Size;
        Size64 = atom->Size64;
        std::memcpy(Name, atom->Name, sizeof Name);
    }
}

int32_t CQTAtomObj::TypeOf(const uint8_t* data, size_t size) const
{
    // Every block of a card is asked: the name is compared as one word, not as text.
    static constexpr uint32_t kNames[] = {NameWord("free"), NameWord("skip"), NameWord("wide"),
                                          NameWord("pnot"), NameWord("moov"), NameWord("mdat"),
                                          NameWord("PICT"), NameWord("ftyp"), NameWord("uuid")};
    if (size < 8)
        return 0;
    const uint32_t name = BE32(data + 4);
    for (int i = 0; i < 9; ++i)
        if (name == kNames[i])
            return i + 1;
    return 0;
}

bool CQTAtomObj::ReadSize(const uint8_t* data, size_t size)
{
    Size = BE32(data);
    if (Size == 1) {
        // The extended size follows the name: a 64-bit count that includes the 16 bytes.
        if (size < 16)
            return false;
        Size64 = BE64(data + 8);
        if (Size64 < 16 || Size64 >= static_cast<uint64_t>(kToEnd))
            return false;
        Remaining = static_cast<int64_t>(Size64);
    } else if (Size == 0) {
        ToEnd = true;
        Remaining = kToEnd;
    } else if (Size < 8) {
        return false;
    } else {
        Remaining = Size;
    }
    return true;
}

bool CQTAtomObj::ParseHeader(const uint8_t* data, size_t size)
{
    Reset();
    AtomType = TypeOf(data, size);
    if (AtomType == 0)
        return false;
    std::memcpy(Name, data + 4, 4);
    return ReadSize(data, size);
}

bool CQTAtomObj::ParseNext(const uint8_t* data, size_t size)
{
    Reset();
    if (size < 8)
        return false;
    for (size_t i = 0; i < std::size(kChainNames); ++i) {
        if (std::memcmp(data + 4, kChainNames[i], 4) == 0) {
            AtomType = static_cast<int32_t>(i) + 1;
            std::memcpy(Name, data + 4, 4);
            return ReadSize(data, size);
        }
    }
    return false;
}

size_t CQTAtomObj::HeaderBytes(const uint8_t* data, size_t held) const
{
    return held >= 4 && BE32(data) == 1 ? 16 : 8;
}

int32_t CMP4AtomObj::StartTest(const uint8_t* data, size_t size)
{
    const uint8_t* ftyp = Search(data, size, 0, "ftyp");
    if (!ftyp)
        return 0;
    if (!Search(data, size, static_cast<size_t>(ftyp - data), "mp4"))
        return 0;
    Size = size >= 4 ? BE32(data) : 0;
    return 8;
}

void CAVIAtomObj::Reset()
{
    CAtomObj::Reset();
    Size = 0;
    std::memset(MainHeader, 0, sizeof MainHeader);
    std::memset(StreamHeader, 0, sizeof StreamHeader);
}

void CAVIAtomObj::CopyFrom(const CObj& other)
{
    CAtomObj::CopyFrom(other);
    if (auto* atom = dynamic_cast<const CAVIAtomObj*>(&other); atom && atom != this) {
        Size = atom->Size;
        std::memcpy(MainHeader, atom->MainHeader, sizeof MainHeader);
        std::memcpy(StreamHeader, atom->StreamHeader, sizeof StreamHeader);
    }
}

int32_t CAVIAtomObj::TypeOf(const uint8_t* data, size_t size) const
{
    if (size < 16 || BE32(data) != NameWord("RIFF"))
        return 0;
    return std::memcmp(data + 8, "AVI LIST", 8) == 0 ? 1 : 0;
}

bool CAVIAtomObj::ParseHeader(const uint8_t* data, size_t size)
{
    Reset();
    AtomType = TypeOf(data, size);
    if (AtomType == 0)
        return false;
    Size = LE32(data + 4);
    // The RIFF size does not count the chunk's own 8-byte header.
    Remaining = int64_t(Size) + 8;
    // The headers are copied only when all their bytes are held: a header that runs past
    // the data is no AVI start we can vouch for.
    const uint8_t* avih = Search(data, size, 0, "avih");
    if (!avih || static_cast<size_t>(avih - data) + 64 > size)
        return false;
    std::memcpy(MainHeader, avih, 64);
    const uint8_t* strl = Search(data, size, static_cast<size_t>(avih - data) + 64, "strl");
    if (!strl)
        return false;
    const uint8_t* strh = Search(data, size, static_cast<size_t>(strl - data), "strh");
    if (!strh || static_cast<size_t>(strh - data) + 64 > size)
        return false;
    std::memcpy(StreamHeader, strh, 64);
    return true;
}

bool CAVIAtomObj::ParseNext(const uint8_t* data, size_t size)
{
    Reset();
    if (size < 12 || std::memcmp(data, "RIFF", 4) != 0 || std::memcmp(data + 8, "AVIX", 4) != 0)
        return false;
    AtomType = 1;
    Size = LE32(data + 4);
    Remaining = int64_t(Size) + 8;
    return true;
}

// ---------------------------------------------------------------- the movie document

CAtomDoc::CAtomDoc(CTransferStatus* status, CAtomDocListener* listener) : m_pListener(listener), m_pStatus(status)
{
    Bus().AddListener("CAtomDoc", this);
}

CAtomDoc::~CAtomDoc()
{
    Bus().RemoveListener(this);
    m_MovieFile.Close();
}

void CAtomDoc::Reset()
{
    m_pCurrent.reset();
    m_bWriting = false;
    m_bEnded = false;
    m_nMovieCount = 0;
    m_bHeaderPending = false;
    m_nPending = 0;
    m_bFileError = false;
    m_strError.clear();
    m_QT.Reset();
    m_AVI.Reset();
    m_MP4.Reset();
    CloseMovieFile();
}

CAtomObj* CAtomDoc::MatchStart(const uint8_t* start, size_t size)
{
    // Every prototype needs a known atom name at bytes 4 to 7 or "RIFF" at the start: the
    // other blocks of a card (nearly all) are passed over with two compares.
    if (size < 8 || (m_QT.TypeOf(start, size) == 0 && BE32(start) != NameWord("RIFF")))
        return nullptr;
    m_QT.Reset();
    m_AVI.Reset();
    m_MP4.Reset();
    for (CAtomObj* prototype : {static_cast<CAtomObj*>(&m_MP4), static_cast<CAtomObj*>(&m_QT),
                                static_cast<CAtomObj*>(&m_AVI)}) {
        if (prototype->IsStart(start, size) && prototype->ParseHeader(start, size))
            return prototype;
    }
    return nullptr;
}

bool CAtomDoc::StartsFile(const uint8_t* start, size_t size, uint32_t selection)
{
    if (RecogniseBlock(std::span<const uint8_t>(start, size), selection).Type != FileTypeId::None)
        return true;
    // Prototypes of its own: the document's may hold the movie being judged. An MP4
    // start is also a QuickTime start (a known atom name at bytes 4 to 7).
    CQTAtomObj qt;
    CAVIAtomObj avi;
    return (qt.IsStart(start, size) && qt.ParseHeader(start, size)) ||
           (avi.IsStart(start, size) && avi.ParseHeader(start, size));
}

bool CAtomDoc::ChainGoesOn(const CAtomObj& first, const uint8_t* start, size_t size, uint64_t cardOffset)
{
    // A movie's first atom never runs to the end of the file.
    if (first.ToEnd)
        return false;
    const uint64_t cardBytes = m_pListener ? m_pListener->CardBytes() : 0;
    if (cardBytes == 0)
        return true;   // nothing to look at: the first header decides
    const uint64_t next = cardOffset + static_cast<uint64_t>(first.Remaining);
    if (next >= cardBytes)
        return next == cardBytes;   // the chain ends with the card, or claims more than it holds
    uint8_t header[16] = {};
    const size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof header, cardBytes - next));
    const uint64_t inBlock = static_cast<uint64_t>(first.Remaining);
    if (inBlock + want <= size)
        std::memcpy(header, start + inBlock, want);
    else if (!m_pListener->ReadAhead(next, header, want))
        return true;   // unreadable: the first header decides, as it always did
    std::unique_ptr<CAtomObj> probe(static_cast<CAtomObj*>(first.Clone()));
    if (probe->ParseNext(header, want))
        return true;
    // The chain's end: zeros close behind the atom (the rest of the file's last cluster),
    // or a block that starts the next file. Zeros count only near the block: a false start
    // in picture data, whose size is any 32-bit number, lands that near about once in
    // 40,000 times, but far out it would pass wherever the card is empty.
    if (inBlock < kNearChain && want >= 8 && std::all_of(header, header + 8, [](uint8_t b) { return b == 0; }))
        return true;
    if (next % 512 != 0)
        return false;
    std::vector<uint8_t> block(512);
    if (next + block.size() > cardBytes || !m_pListener->ReadAhead(next, block.data(), block.size()))
        return false;
    return StartsFile(block.data(), block.size(), 0xFFFFFFFFu);
}

bool CAtomDoc::DetectMovie(const uint8_t* start, const uint8_t* end, uint64_t cardOffset)
{
    const size_t size = static_cast<size_t>(end - start);
    CAtomObj* match = MatchStart(start, size);
    // QuickTime and MP4 starts are four bytes of name: the chain after the first atom
    // must agree before the blocks that follow are taken into a movie.
    if (match && match != &m_AVI && !ChainGoesOn(*match, start, size, cardOffset))
        match = nullptr;
    if (!match)
        return false;
    m_pCurrent.reset(static_cast<CAtomObj*>(match->Clone()));
    m_nMovieStart = cardOffset;
    m_bWriting = true;
    m_bHeaderPending = false;
    m_nPending = 0;
    if (!OpenMovieFile())
        return false;
    ContinueMovie(start, end);
    return true;
}

bool CAtomDoc::OpenMovieFile()
{
    CloseMovieFile();
    if (!m_pCurrent || m_strOutputFolder.empty())
        return false;
    if (m_pListener)
        m_pListener->OnMovieStarting();
    const uint32_t selection = m_pStatus->Settings.FileTypes;
    const int32_t kind = m_pCurrent->MovieKind();
    const uint32_t bit = kind == 3 ? TypeBit::Mp4 : kind == 2 ? TypeBit::Avi : kind == 1 ? TypeBit::Mov : 0;
    if ((selection & bit) == 0)
        return true;
    ++m_nMovieCount;
    std::string folder = m_strOutputFolder;
    if (folder.back() != '/' && folder.back() != '\\')
        folder += '/';
    const std::string path = folder + "movie(" + std::to_string(m_nMovieCount) + ")." + m_pCurrent->Extension();
    m_pStatus->FilePath.SetPath(path, false);
    ++m_pStatus->FileCount;
    m_strMoviePath = path;
    const bool created = m_MovieFile.Create(path);
    m_pStatus->Send(StatusKind::FileStarted, JobScope::Recovery);
    if (!created) {
        m_strError = "Cannot Open output file";
        if (!m_MovieFile.GetError().empty())
            m_strError += ": " + m_MovieFile.GetError();
        m_bFileError = true;
        return false;
    }
    return true;
}

void CAtomDoc::EndMovie()
{
    m_bWriting = false;
    m_bEnded = true;
    m_bHeaderPending = false;
    m_nPending = 0;
    CloseMovieFile();
    m_pCurrent.reset();
}

void CAtomDoc::AppendMovie(const uint8_t* data, size_t size)
{
    if (!m_bWriting || !m_MovieFile.IsOpen() || size == 0 || m_bFileError)
        return;
    // Bytes held back from the last block live in m_Pending, which the next pending
    // header overwrites: they go out at once.
    const bool held = data == m_Pending;
    if (!m_MovieFile.Append(data, size) || (held && !m_MovieFile.Flush())) {
        m_strError = m_MovieFile.GetError();
        m_bFileError = true;
    }
}

size_t CAtomDoc::ContinueMovie(const uint8_t* start, const uint8_t* end)
{
    const int64_t e = end - start;
    int64_t p = 0;
    if (!m_pCurrent)
        return 0;
    if (m_bHeaderPending) {
        // The last atom ended at (or a few bytes before) the end of the previous block:
        // judge its successor's header before this block is taken into the movie.
        m_bHeaderPending = false;
        uint8_t header[32] = {};
        std::memcpy(header, m_Pending, m_nPending);
        const size_t take = std::min<size_t>(16, static_cast<size_t>(e));
        std::memcpy(header + m_nPending, start, take);
        // An atom shorter than the part of its header that the last block held would end
        // before this block: a chain that makes no sense ends here.
        if (!m_pCurrent->ParseNext(header, m_nPending + take) ||
            m_pCurrent->Remaining < static_cast<int64_t>(m_nPending)) {
            m_nPending = 0;
            EndMovie();
            return 0;
        }
        AppendMovie(m_Pending, m_nPending);
        p = -static_cast<int64_t>(m_nPending);
        m_nPending = 0;
    } else if (m_pCurrent->ToEnd && StartsFile(start, static_cast<size_t>(e), m_pStatus->Settings.FileTypes)) {
        // An atom "to the end of the file" ends where the next file starts.
        EndMovie();
        return 0;
    }
    int64_t movieBytes = e;
    bool ended = false;
    while (m_pCurrent->InProgress() && p < e) {
        p = m_pCurrent->Consume(p, e);
        if (!m_pCurrent->AtEnd())
            continue;
        const size_t held = static_cast<size_t>(e - p);
        if (held < m_pCurrent->HeaderBytes(start + p, held)) {
            // The successor's header is not wholly in this block: its bytes wait for the
            // next block's verdict.
            std::memcpy(m_Pending, start + p, held);
            m_nPending = held;
            m_bHeaderPending = true;
            movieBytes = p;
            break;
        }
        if (!m_pCurrent->ParseNext(start + p, held)) {
            movieBytes = p;
            ended = true;
            break;
        }
    }
    AppendMovie(start, static_cast<size_t>(movieBytes));
    if (ended)
        EndMovie();
    return static_cast<size_t>(movieBytes);
}

void CAtomDoc::CloseMovieFile()
{
    if (!m_MovieFile.IsOpen())
        return;
    if (!m_MovieFile.Close()) {
        m_strError = m_MovieFile.GetError();
        m_bFileError = true;
    }
    if (m_pListener)
        m_pListener->BeforeMovieAnnounced();
    // Pictures carved while the movie stayed open changed the record's file: announce the
    // movie under its own path.
    m_pStatus->FilePath.SetPath(m_strMoviePath, false);
    m_pStatus->Send(StatusKind::FileFinished, JobScope::Recovery);
    if (m_pListener) {
        std::error_code ec;
        m_pListener->OnMovieClosed(m_strMoviePath, m_nMovieStart, std::filesystem::file_size(m_strMoviePath, ec));
    }
}

bool CAtomDoc::CutMovie(CutMovieInfo& out)
{
    if (!m_bWriting || !m_pCurrent)
        return false;
    out.Kind = m_pCurrent->MovieKind();
    out.CardStart = m_nMovieStart;
    out.Path.clear();
    out.Length = 0;
    if (m_MovieFile.IsOpen()) {
        if (!m_MovieFile.Close()) {
            m_strError = m_MovieFile.GetError();
            m_bFileError = true;
        }
        out.Path = m_strMoviePath;
        std::error_code ec;
        out.Length = std::filesystem::file_size(m_strMoviePath, ec);
    }
    m_bWriting = false;
    m_bEnded = true;
    m_bHeaderPending = false;
    m_nPending = 0;
    m_pCurrent.reset();
    return true;
}

bool CAtomDoc::FlushMovieFile()
{
    if (!m_MovieFile.IsOpen() || m_MovieFile.Flush())
        return true;
    m_strError = m_MovieFile.GetError();
    m_bFileError = true;
    return false;
}
