#include "recovery/cimagerecovery.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <span>

#include "app/clogfile.h"
#include "app/filetypes.h"

CImageRecovery::CImageRecovery(CTransferStatus* status, const CDriveInfo& info, int32_t scope)
    : CCardJob(status, info, scope), m_MovieDoc(status, this)
{
}

CImageRecovery::~CImageRecovery() { m_OutputFile.Close(); }

bool CImageRecovery::ConnectToDestination()
{
    Log().BeginScope("ConectToDestination");
    if (Status().MakeRunFolder()) {
        m_strDestinationFolder = Status().RunFolder.GetText();
        Log().Outcome("-OK", "ConectToDestination ==> " + m_strDestinationFolder);
        return true;
    }
    std::string error = Status().ErrorText;
    if (error.empty() || !Status().HasError)
        error = "Cannot create the run folder " + Status().RunFolder.GetText() +
                (Status().RunFolder.GetError().empty() ? "" : ": " + Status().RunFolder.GetError());
    SetError(error);
    Log().Outcome("-FAIL", "ConectToDestination ==> " + error);
    return false;
}

bool CImageRecovery::Init()
{
    m_nCurrentType = 0;
    m_nPreviousType = 0;
    m_FoundNames.clear();
    m_MovieDoc.Reset();
    m_nExpectedLength = 0;
    m_nEndNext = 0;
    m_nCarry = 0;
    return CCardJob::Init();
}

void CImageRecovery::BeforeChunks() { m_MovieDoc.SetOutputFolder(m_strDestinationFolder); }

void CImageRecovery::EndOfCard()
{
    // A movie that runs to the end of the card is closed and announced like the last
    // picture, so it reaches the found list.
    m_MovieDoc.CloseMovieFile();
    if (m_MovieDoc.HasFileError())
        Abort(m_MovieDoc.GetError());
}

bool CImageRecovery::ProcessChunk(CChunk& chunk)
{
    m_pChunkStart = chunk.Buffer;
    m_pChunkEnd = chunk.Buffer + chunk.Valid;
    const bool ok = CCardJob::ProcessChunk(chunk);
    m_nCarry = 0;
    if (m_OutputFile.IsOpen() && (m_nCurrentType == FileTypeId::Crw || m_nCurrentType == FileTypeId::X3f)) {
        m_nCarry = std::min<size_t>(chunk.Valid, kCarry);
        std::memcpy(m_Carry.data(), m_pChunkEnd - m_nCarry, m_nCarry);
    }
    m_pChunkStart = m_pChunkEnd = nullptr;
    return ok && !Aborted();
}

void CImageRecovery::FlushChunks()
{
    // The chunks' buffers are reused next: write what was gathered from them now.
    if (m_OutputFile.IsOpen() && !m_OutputFile.Flush())
        Abort(m_OutputFile.GetError());
    if (!m_MovieDoc.FlushMovieFile() || m_MovieDoc.HasFileError())
        Abort(m_MovieDoc.GetError());
}

uint64_t CImageRecovery::CardBytes() const
{
    return static_cast<uint64_t>(Status().BlockCount) * Status().BlockSize;
}

bool CImageRecovery::ReadAhead(uint64_t at, uint8_t* out, size_t n)
{
    const CTransferStatus& s = Status();
    if (s.BlockSize == 0 || at + n > CardBytes())
        return false;
    if (m_pChunkStart) {
        const uint64_t first = static_cast<uint64_t>(s.CurrentBlock) * s.BlockSize;
        const uint64_t held = static_cast<uint64_t>(m_pChunkEnd - m_pChunkStart);
        if (at >= first && at + n <= first + held) {
            std::memcpy(out, m_pChunkStart + (at - first), n);
            return true;
        }
    }
    const uint64_t firstBlock = at / s.BlockSize;
    const uint64_t lastBlock = (at + n - 1) / s.BlockSize;
    const uint64_t count = lastBlock - firstBlock + 1;
    if (n == 0 || count > 4)
        return n == 0;
    std::vector<uint8_t> buffer(static_cast<size_t>(count * s.BlockSize));
    if (!ReadBlocks(m_Drive, buffer.data(), firstBlock, static_cast<uint16_t>(count)).Complete(
            static_cast<uint32_t>(buffer.size())))
        return false;
    std::memcpy(out, buffer.data() + (at - firstBlock * s.BlockSize), n);
    return true;
}

void CImageRecovery::ProcessBlock(const uint8_t* block)
{
    CTransferStatus& s = Status();
    const uint32_t n = s.BlockSize;
    bool detect = !m_MovieDoc.IsWriting();
    if (!detect) {
        // A movie that ended right before this block lets the block start the next one.
        const size_t taken = m_MovieDoc.ContinueMovie(block, block + n);
        detect = taken == 0 && !m_MovieDoc.IsWriting() && !m_MovieDoc.HasFileError();
    }
    if (detect) {
        const uint64_t chunkOffset = m_pChunkStart ? static_cast<uint64_t>(block - m_pChunkStart) : 0;
        m_MovieDoc.DetectMovie(block, block + n, static_cast<uint64_t>(s.CurrentBlock) * n + chunkOffset);
    }
    if (m_MovieDoc.HasFileError()) {
        Abort(m_MovieDoc.GetError());
        return;
    }
    if (m_MovieDoc.HoldsBlock())
        return;
    const BlockSignature found = RecogniseBlock(std::span<const uint8_t>(block, n), s.Settings.FileTypes);
    if (found.Type != FileTypeId::None && m_nCurrentType != FileTypeId::Crw) {
        if (found.Type == FileTypeId::OrfPreview && m_nCurrentType == FileTypeId::Orf) {
            // The preview inside an ORF file does not start a file of its own.
            m_nPreviousType = FileTypeId::Orf;
            m_nCurrentType = FileTypeId::OrfPreview;
        } else {
            s.FileSize = n;
            m_nPreviousType = m_nCurrentType;
            m_nCurrentType = found.Type;
            m_nPendingExpected = found.ExpectedLength;
            StartFile(block);
            return;
        }
    }
    ContinueFile(block);
}

void CImageRecovery::Write(const uint8_t* data, size_t size)
{
    if (!m_OutputFile.Append(data, size))
        Abort(m_OutputFile.GetError());
}

void CImageRecovery::StartFile(const uint8_t* block)
{
    CTransferStatus& s = Status();
    Finish();
    if (m_nCurrentType == FileTypeId::Wav)
        m_nExpectedLength = static_cast<int64_t>(m_nPendingExpected);
    // The end rules start with the second block, as the file's own header fills the first.
    m_nEndNext = s.BlockSize;
    char name[64];
    const std::string_view extension = TypeExtension(m_nCurrentType);
    std::snprintf(name, sizeof name, "%s_%03d.%.*s", "IMAGE", static_cast<int>(m_FoundNames.size()),
                  static_cast<int>(extension.size()), extension.data());
    std::string path = m_strDestinationFolder;
    if (!path.empty() && path.back() != '/')
        path += '/';
    path += name;
    s.FilePath.SetPath(path, false);
    m_FoundNames.emplace_back(name);
    ++s.FileCount;
    if (!m_OutputFile.Create(path)) {
        // A file that cannot be made would lose every picture after it: stop the run.
        Abort(m_OutputFile.GetError());
        return;
    }
    // A sound shorter than a block ends inside it.
    const bool whole = m_nExpectedLength > 0 && m_nExpectedLength <= static_cast<int64_t>(s.BlockSize);
    Write(block, whole ? static_cast<size_t>(m_nExpectedLength) : s.BlockSize);
    s.Send(StatusKind::FileStarted, Scope());
    if (whole) {
        Finish();
        m_nCurrentType = 0;
        s.FileSize = 0;
    }
}

void CImageRecovery::EndFileAt(const uint8_t* block, int64_t before, int64_t end)
{
    if (end <= before) {
        if (!m_OutputFile.Truncate(static_cast<uint64_t>(end)))
            Abort(m_OutputFile.GetError());
    } else {
        Write(block, static_cast<size_t>(end - before));
    }
    Finish();
    m_nCurrentType = 0;
    Status().FileSize = 0;
}

FileWindow CImageRecovery::Window(const uint8_t* block, int64_t before)
{
    const size_t back = static_cast<size_t>(block - m_pChunkStart);
    const size_t ahead = static_cast<size_t>(m_pChunkEnd - block);
    if (back > 0 || m_nCarry == 0) {
        const size_t keep = std::min(back, kCarry);
        return FileWindow{block - keep, keep + ahead, before - static_cast<int64_t>(keep)};
    }
    // The chunk's first block: the previous chunk's last bytes go in front, in a copy.
    const size_t take = std::min(ahead, kWindowAhead);
    std::memcpy(m_Window.data(), m_Carry.data(), m_nCarry);
    std::memcpy(m_Window.data() + m_nCarry, block, take);
    return FileWindow{m_Window.data(), m_nCarry + take, before - static_cast<int64_t>(m_nCarry)};
}

void CImageRecovery::ContinueFile(const uint8_t* block)
{
    if (!m_OutputFile.IsOpen())
        return;
    CTransferStatus& s = Status();
    const uint32_t n = s.BlockSize;
    const int64_t before = static_cast<int64_t>(s.FileSize);
    s.FileSize += n;
    if (FileComplete(static_cast<int64_t>(s.FileSize), s.Settings.MaxFileSize, m_nExpectedLength)) {
        // A length the file tells ends it exactly; the maximum size after a whole block.
        if (m_nExpectedLength > 0 && static_cast<int64_t>(s.FileSize) >= m_nExpectedLength) {
            EndFileAt(block, before, m_nExpectedLength);
            return;
        }
        Write(block, n);
        Finish();
        m_nCurrentType = 0;
        s.FileSize = 0;
        return;
    }
    if (m_pChunkStart && m_nExpectedLength == 0 &&
        (m_nCurrentType == FileTypeId::X3f || m_nCurrentType == FileTypeId::Crw)) {
        const FileWindow window = Window(block, before);
        const int64_t to = before + n;
        const EndSearch search = m_nCurrentType == FileTypeId::X3f ? FindX3FEnd(window, m_nEndNext, to)
                                                                   : FindCRWEnd(window, m_nEndNext, to);
        m_nEndNext = search.Next;
        if (search.End) {
            if (*search.End <= window.End()) {
                EndFileAt(block, before, *search.End);
                return;
            }
            // The X3F directory's last word is still to come.
            m_nExpectedLength = *search.End;
        }
    }
    Write(block, n);
}

void CImageRecovery::Finish()
{
    m_nExpectedLength = 0;
    if (!m_OutputFile.IsOpen())
        return;
    if (!m_OutputFile.Close())
        Abort(m_OutputFile.GetError());
    Status().Send(StatusKind::FileFinished, Scope());
}

void CImageRecovery::Close()
{
    CCardJob::Close();
    m_OutputFile.Close();
}
