#include "recovery/cimagerecovery.h"

#include <cstdio>
#include <span>

#include "app/clogfile.h"
#include "app/filetypes.h"
#include "recovery/signatures.h"

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
    m_nFileBytes = 0;
    m_nExpectedLength = 0;
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
    m_pChunkEnd = chunk.Buffer + chunk.Valid;
    const bool ok = CCardJob::ProcessChunk(chunk);
    // The read buffer is reused for the next chunk: write what was gathered from it now.
    if (m_OutputFile.IsOpen() && !m_OutputFile.Flush())
        Abort(m_OutputFile.GetError());
    if (!m_MovieDoc.FlushMovieFile() || m_MovieDoc.HasFileError())
        Abort(m_MovieDoc.GetError());
    m_pChunkEnd = nullptr;
    return ok && !Aborted();
}

void CImageRecovery::ProcessBlock(const uint8_t* block)
{
    CTransferStatus& s = Status();
    const uint32_t n = s.BlockSize;
    if (!m_MovieDoc.IsWriting())
        m_MovieDoc.DetectMovie(block, block + n);
    else
        m_MovieDoc.ContinueMovie(block, block + n);
    if (m_MovieDoc.HasFileError()) {
        Abort(m_MovieDoc.GetError());
        return;
    }
    if (m_MovieDoc.HoldsBlock()) {
        m_nFileBytes += n;
        return;
    }
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
            m_nFileBytes = 0;
            m_nPendingExpected = found.ExpectedLength;
            StartFile(block);
            return;
        }
    }
    m_nFileBytes += n;
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
        m_nExpectedLength = m_nPendingExpected;
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
    Write(block, s.BlockSize);
    s.Send(StatusKind::FileStarted, Scope());
}

void CImageRecovery::ContinueFile(const uint8_t* block)
{
    if (!m_OutputFile.IsOpen())
        return;
    CTransferStatus& s = Status();
    const uint32_t n = s.BlockSize;
    s.FileSize += n;
    const std::span<const uint8_t> held(block, m_pChunkEnd && m_pChunkEnd > block ? size_t(m_pChunkEnd - block) : n);
    if (FileComplete(s.FileSize, s.Settings.MaxFileSize, m_nCurrentType, m_nExpectedLength)) {
        Write(block, n);
        Finish();
        m_nCurrentType = 0;
        s.FileSize = 0;
        return;
    }
    if (m_nCurrentType == FileTypeId::X3f) {
        if (auto end = FindX3FEnd(held, n)) {
            Write(block, *end);
            Finish();
            m_nCurrentType = 0;
            return;
        }
    } else if (m_nCurrentType == FileTypeId::Crw) {
        if (auto end = FindCRWEnd(held, n, m_nFileBytes)) {
            Write(block, *end);
            Finish();
            m_nCurrentType = 0;
            return;
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
