#include "recovery/catomdoc.h"

#include <algorithm>
#include <cstring>

#include "app/filetypes.h"

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
uint32_t LE32(const uint8_t* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24); }

}  // namespace

// ---------------------------------------------------------------- atom objects

void CAtomObj::Reset()
{
    CObj::Reset();
    AtomType = 0;
    Remaining = 0;
    Done = 0;
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
    std::memset(Name, 0, sizeof Name);
}

void CQTAtomObj::CopyFrom(const CObj& other)
{
    CAtomObj::CopyFrom(other);
    if (auto* atom = dynamic_cast<const CQTAtomObj*>(&other); atom && atom != this) {
        Size = atom->Size;
        std::memcpy(Name, atom->Name, sizeof Name);
    }
}

int32_t CQTAtomObj::TypeOf(const uint8_t* data, size_t size) const
{
    static const char* const kNames[] = {"free", "skip", "wide", "pnot", "moov", "mdat", "PICT", "ftyp", "uuid"};
    if (size < 8)
        return 0;
    for (int i = 0; i < 9; ++i)
        if (std::memcmp(data + 4, kNames[i], 4) == 0)
            return i + 1;
    return 0;
}

bool CQTAtomObj::ParseHeader(const uint8_t* data, size_t size)
{
    Reset();
    AtomType = TypeOf(data, size);
    if (AtomType == 0)
        return false;
    Size = BE32(data);
    Remaining = Size;
    std::memcpy(Name, data + 4, 4);
    return true;
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
    if (size < 16)
        return 0;
    return std::memcmp(data, "RIFF", 4) == 0 && std::memcmp(data + 8, "AVI LIST", 8) == 0 ? 1 : 0;
}

bool CAVIAtomObj::ParseHeader(const uint8_t* data, size_t size)
{
    Reset();
    AtomType = TypeOf(data, size);
    if (AtomType == 0)
        return false;
    Size = LE32(data + 4);
    Remaining = Size;
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

bool CAtomDoc::DetectMovie(const uint8_t* start, const uint8_t* end)
{
    const size_t size = static_cast<size_t>(end - start);
    m_QT.Reset();
    m_AVI.Reset();
    m_MP4.Reset();
    CAtomObj* match = nullptr;
    for (CAtomObj* prototype : {static_cast<CAtomObj*>(&m_MP4), static_cast<CAtomObj*>(&m_QT),
                                static_cast<CAtomObj*>(&m_AVI)}) {
        if (prototype->IsStart(start, size) && prototype->ParseHeader(start, size)) {
            match = prototype;
            break;
        }
    }
    if (!match)
        return false;
    m_pCurrent.reset(static_cast<CAtomObj*>(match->Clone()));
    m_bWriting = true;
    m_bHeaderPending = false;
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
    CloseMovieFile();
    m_pCurrent.reset();
}

void CAtomDoc::ContinueMovie(const uint8_t* start, const uint8_t* end)
{
    const int64_t e = end - start;
    int64_t p = 0;
    if (m_bHeaderPending && m_pCurrent) {
        // The last atom ended at (or a few bytes before) the end of the previous block:
        // judge its successor's header before this block is taken into the movie.
        m_bHeaderPending = false;
        const size_t need = m_pCurrent->HeaderSize();
        uint8_t header[16] = {};
        std::memcpy(header, m_Pending, m_nPending);
        const size_t take = std::min<size_t>(need - m_nPending, static_cast<size_t>(e));
        std::memcpy(header + m_nPending, start, take);
        const bool known = m_nPending == 0 ? m_pCurrent->ParseHeader(start, static_cast<size_t>(e))
                                           : m_pCurrent->ParseHeader(header, m_nPending + take);
        // An atom shorter than the part of its header that the last block held would end
        // before this block: a chain that makes no sense ends here.
        if (!known || (m_pCurrent->InProgress() && m_pCurrent->Remaining < static_cast<int64_t>(m_nPending))) {
            EndMovie();
            return;
        }
        p = -static_cast<int64_t>(m_nPending);
        m_nPending = 0;
    }
    if (m_bWriting && m_MovieFile.IsOpen()) {
        if (!m_MovieFile.Append(start, static_cast<size_t>(e))) {
            m_strError = m_MovieFile.GetError();
            m_bFileError = true;
        }
    }
    if (!m_pCurrent || !m_pCurrent->InProgress())
        return;
    while (p < e) {
        p = m_pCurrent->Consume(p, e);
        if (m_pCurrent->AtEnd()) {
            const size_t held = static_cast<size_t>(e - p);
            if (held < m_pCurrent->HeaderSize()) {
                // The successor's header is not wholly in this block: judge it when the
                // next block arrives.
                std::memcpy(m_Pending, start + p, held);
                m_nPending = held;
                m_bHeaderPending = true;
                return;
            }
            if (!m_pCurrent->ParseHeader(start + p, held)) {
                EndMovie();
                return;
            }
        }
        if (!m_pCurrent->InProgress())
            return;
    }
}

void CAtomDoc::CloseMovieFile()
{
    if (!m_MovieFile.IsOpen())
        return;
    if (!m_MovieFile.Close()) {
        m_strError = m_MovieFile.GetError();
        m_bFileError = true;
    }
    // Pictures carved while the movie stayed open changed the record's file: announce the
    // movie under its own path.
    m_pStatus->FilePath.SetPath(m_strMoviePath, false);
    m_pStatus->Send(StatusKind::FileFinished, JobScope::Recovery);
}

bool CAtomDoc::FlushMovieFile()
{
    if (!m_MovieFile.IsOpen() || m_MovieFile.Flush())
        return true;
    m_strError = m_MovieFile.GetError();
    m_bFileError = true;
    return false;
}
