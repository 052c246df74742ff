#include "recovery/cimagerecovery.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <span>
#include <system_error>
#include <thread>

#include "app/clogfile.h"
#include "app/filetypes.h"
#include "cardfs/cardgeometry.h"
#include "cardfs/dcfname.h"
#include "formats/formatend.h"
#include "formats/shottime.h"

#include <fcntl.h>
#include <unistd.h>
#include <sys/stat.h>

namespace {

// The bytes of the file being carved: those written so far (read back from the run
// folder) and then the bytes of the read buffer from the current block on.
class CarvedSource : public ByteSource {
public:
    CarvedSource(CCarveFile& file, uint64_t written, const uint8_t* tail = nullptr, size_t tailSize = 0)
        : m_file(file), m_written(written), m_tail(tail), m_tailSize(tailSize)
    {
    }
    size_t Read(uint64_t offset, uint8_t* out, size_t n) const override
    {
        size_t done = 0;
        if (offset < m_written) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(n, m_written - offset));
            done = m_file.ReadBack(offset, out, want);
            if (done < want)
                return done;
        }
        const uint64_t at = offset + done;
        if (done < n && at >= m_written && at < m_written + m_tailSize) {
            const size_t take = static_cast<size_t>(std::min<uint64_t>(n - done, m_written + m_tailSize - at));
            std::memcpy(out + done, m_tail + (at - m_written), take);
            done += take;
        }
        return done;
    }
    uint64_t Size() const override { return m_written + m_tailSize; }

private:
    CCarveFile& m_file;
    uint64_t m_written;
    const uint8_t* m_tail;
    size_t m_tailSize;
};

// A header no movie's data holds at a block's start by chance: a camera picture's (Exif
// or JFIF JPEG, TIFF), a PNG, a GIF, a RIFF file, an ISO media file's ftyp box. Inside a
// movie's chain it says the movie goes on elsewhere (the card's clusters between are
// another file's).
bool StartsForeignFile(const uint8_t* p, size_t n)
{
    if (n < 16)
        return false;
    if (p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF)
        return (p[3] == 0xE1 && std::memcmp(p + 6, "Exif\0\0", 6) == 0) ||
               (p[3] == 0xE0 && std::memcmp(p + 6, "JFIF\0", 5) == 0);
    if ((std::memcmp(p, "II*\0", 4) == 0 && p[4] >= 8 && p[7] == 0) ||
        (std::memcmp(p, "MM\0*", 4) == 0 && p[4] == 0 && p[7] >= 8))
        return true;
    if (std::memcmp(p, "\x89PNG\r\n\x1a\n", 8) == 0 || std::memcmp(p, "GIF87a", 6) == 0 ||
        std::memcmp(p, "GIF89a", 6) == 0)
        return true;
    if (std::memcmp(p, "RIFF", 4) == 0 && (std::memcmp(p + 8, "WAVE", 4) == 0 || std::memcmp(p + 8, "AVI ", 4) == 0))
        return true;
    const uint32_t box = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
    return std::memcmp(p + 4, "ftyp", 4) == 0 && box >= 16 && box <= 512;
}

uint32_t IsoTypeBit(int32_t type)
{
    return type == FileTypeId::Cr3 ? TypeBit::Cr3 : type == FileTypeId::Heic ? TypeBit::Heic : 0;
}

} // namespace

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
    m_bJpegLive = false;
    m_nStructLength = 0;
    m_bStructOpen = false;
    m_Fragmented.clear();
    m_Unowned.clear();
    m_FileStarts.clear();
    m_DirBlocks.clear();
    m_Found.clear();
    m_Volumes.clear();
    m_nClusterBytes = 0;
    m_nDataStart = 0;
    m_bGeometryKnown = false;
    return CCardJob::Init();
}

void CImageRecovery::CardNotOpened()
{
    if (!m_strDestinationFolder.empty() && ::rmdir(m_strDestinationFolder.c_str()) == 0)
        m_strDestinationFolder.clear();
}

void CImageRecovery::BeforeChunks()
{
    m_MovieDoc.SetOutputFolder(m_strDestinationFolder);
    m_Dirs = std::make_unique<px::DirCollector>();
    if (!m_Writer)
        m_Writer = std::make_unique<CWriteBehind>();
    m_Writer->KeepSpares(m_strDestinationFolder);
    m_OutputFile.SetWriteBehind(m_Writer.get());
}

void CImageRecovery::ReadGeometry()
{
    // The card's clusters, from its file system (also after a quick format, which writes
    // the same geometry again). Read only when a file is in pieces or has a name to find.
    if (m_bGeometryKnown || Status().BlockSize == 0)
        return;
    auto read = [this](uint64_t offset, uint8_t* out, size_t n) { return ReadCard(offset, out, n); };
    const std::vector<px::CardGeometry> volumes = px::ReadCardGeometry(read, CardBytes());
    m_Volumes = volumes;
    if (!volumes.empty()) {
        m_nClusterBytes = volumes.front().ClusterBytes;
        m_nDataStart = volumes.front().DataStart;
        m_bGeometryKnown = true;
    }
}

void CImageRecovery::EndOfCard()
{
    // Every file closed behind is whole, closed and announced before the files are looked
    // at again.
    AnnounceClosed(true);
    // No more files begin: the files made ahead (without a name) are let go.
    if (m_Writer)
        m_Writer->KeepSpares(std::string());
    // A movie that runs to the end of the card is closed and announced like the last
    // picture, so it reaches the found list.
    m_MovieDoc.CloseMovieFile();
    if (m_MovieDoc.HasFileError())
        Abort(m_MovieDoc.GetError());
    CompleteFragmented();
    DescribeFiles();
}

void CImageRecovery::CompleteFragmented()
{
    CTransferStatus& s = Status();
    if (!m_Fragmented.empty() && !CancelRequested() && !Aborted()) {
        ReadGeometry();
        if (!m_bGeometryKnown)
            m_nClusterBytes = InferClusterBytes(m_FileStarts, m_nDataStart);
        if (m_nClusterBytes == 0)
            m_nClusterBytes = s.BlockSize;
        auto read = [this](uint64_t offset, uint8_t* out, size_t n) { return ReadCard(offset, out, n); };
        const auto started = std::chrono::steady_clock::now();
        std::sort(m_Fragmented.begin(), m_Fragmented.end(),
                  [](const CarveRecord& a, const CarveRecord& b) { return a.CardStart < b.CardStart; });
        CFragmentSearch search(read, m_nClusterBytes, m_nDataStart, m_Unowned);
        search.Exclude(m_DirBlocks);
        size_t whole = 0;
        for (CarveRecord& record : m_Fragmented) {
            std::string error;
            if (!search.Complete(record, error)) {
                Abort(error);
                break;
            }
            whole += record.Complete ? 1 : 0;
            std::string pieces;
            for (const ByteRun& run : record.Added)
                pieces += " " + std::to_string(run.Start) + "-" + std::to_string(run.End);
            Log().Info(record.Path.substr(record.Path.rfind('/') + 1) + ": first piece at " +
                       std::to_string(record.CardStart) + (record.Complete ? ", whole with" : ", not whole; found") +
                       (pieces.empty() ? " no other piece" : pieces) + ", " + std::to_string(record.Length) + " bytes");
        }
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
        Log().Info(std::to_string(m_Fragmented.size()) + " fragmented, " + std::to_string(whole) +
                   " put back together (clusters of " + std::to_string(m_nClusterBytes) + " bytes) in " +
                   std::to_string(ms.count()) + " ms");
    }
    // Every held file reaches the found list, whole or as far as it is sure.
    for (const CarveRecord& record : m_Fragmented) {
        s.FilePath.SetPath(record.Path, false);
        s.Send(StatusKind::FileFinished, Scope());
        Remember(record.Path, record.MovieKind ? 0 : record.Type, record.CardStart, record.Length);
    }
}

void CImageRecovery::Remember(const std::string& path, int32_t type, uint64_t cardStart, uint64_t length)
{
    m_Found.push_back({path.substr(path.rfind('/') + 1), type, cardStart, length});
}

void CImageRecovery::DescribeFiles()
{
    CTransferStatus& s = Status();
    if (m_Found.empty() || CancelRequested() || Aborted())
        return;
    if (m_Dirs && m_Dirs->Count() > 0)
        ReadGeometry();
    std::string folder = m_strDestinationFolder;
    if (!folder.empty() && folder.back() != '/')
        folder += '/';
    size_t named = 0;
    // Names whose first letter the card still holds (live entries, long names, exFAT),
    // for the deleted short names that lost theirs.
    std::vector<std::string> knownNames;
    if (m_Dirs)
        for (size_t i = 0; i < m_Dirs->Count() && knownNames.size() < 4096; ++i) {
            const px::DirEntry entry = m_Dirs->At(i);
            if (!entry.Directory && !px::LostFirstLetter(entry.Name))
                knownNames.push_back(entry.Name);
        }
    // The camera's name and the entry's time of each file, from the folder entries.
    struct Description {
        std::string Name;
        int64_t Shot = 0;
    };
    std::vector<Description> described(m_Found.size());
    for (size_t i = 0; i < m_Found.size(); ++i) {
        const FoundFile& file = m_Found[i];
        // The entry whose first cluster is where the file starts; of several (an old
        // deleted file and a newer one), the one whose size agrees, then whose extension
        // names the same type.
        std::string& name = described[i].Name;
        for (const px::CardGeometry& volume : m_Volumes) {
            const uint32_t cluster = volume.ClusterAt(file.CardStart);
            if (cluster == 0 || volume.ClusterOffset(cluster) != file.CardStart)
                continue;
            int best = -1;
            for (const px::DirEntry& entry : m_Dirs->WithCluster(cluster)) {
                if (entry.Directory)
                    continue;
                const size_t dot = entry.Name.rfind('.');
                const std::string ext = dot == std::string::npos ? std::string() : entry.Name.substr(dot + 1);
                const std::string mine = file.Name.substr(file.Name.rfind('.') + 1);
                const bool sameType = ext.size() == mine.size() &&
                                      std::equal(ext.begin(), ext.end(), mine.begin(), [](char a, char b) {
                                          return std::tolower(static_cast<unsigned char>(a)) ==
                                                 std::tolower(static_cast<unsigned char>(b));
                                      });
                const int score = (entry.Size == file.Length ? 2 : 0) + (sameType ? 1 : 0);
                if (score > best) {
                    best = score;
                    name = entry.Name;
                    described[i].Shot = entry.Modified;
                }
            }
            if (!name.empty())
                break;
        }
        if (px::LostFirstLetter(name)) {
            // FAT wrote its deletion mark over the first letter: the camera's names around
            // it, or its maker's prefix, tell it.
            name = px::RestoreFirstLetter(name, knownNames);
        }
    }
    // The moment each picture was taken, from the file itself (else the entry's time), set
    // as the file's time: photo managers sort by it. Opening and reading a thousand files
    // is the longest part: two threads share it.
    auto shotTimes = [&](size_t first, size_t step) {
        for (size_t i = first; i < m_Found.size(); i += step) {
            const FoundFile& file = m_Found[i];
            const std::string path = folder + file.Name;
            int64_t shot = 0;
            CCarveFile reader;
            if (reader.OpenForReading(path)) {
                const CarvedSource source(reader, reader.Written());
                shot = file.Type != 0 ? ShotTime(file.Type, source) : MovieShotTime(source);
            }
            if (shot != 0)
                described[i].Shot = shot;
            if (described[i].Shot != 0) {
                const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(described[i].Shot), 0}};
                ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
            }
        }
    };
    std::thread helper;
    if (m_Found.size() >= 16) {
        try {
            helper = std::thread(shotTimes, 1, 2);
        } catch (const std::system_error&) {
            // No thread to be had: this one does them all.
        }
    }
    shotTimes(0, helper.joinable() ? 2 : 1);
    if (helper.joinable())
        helper.join();
    for (size_t i = 0; i < m_Found.size(); ++i) {
        const Description& file = described[i];
        if (file.Name.empty() && file.Shot == 0)
            continue;
        named += file.Name.empty() ? 0 : 1;
        s.FilePath.SetPath(folder + m_Found[i].Name, false);
        s.CameraName = file.Name;
        s.ShotTime = file.Shot;
        s.Send(StatusKind::FileDescribed, Scope());
    }
    s.CameraName.clear();
    s.ShotTime = 0;
    Log().Info("Names from the card: " + std::to_string(named) + " of " + std::to_string(m_Found.size()) + " files");
}

bool CImageRecovery::ReadCard(uint64_t offset, uint8_t* out, size_t n)
{
    // Whole blocks, a mebibyte per request.
    constexpr uint64_t kStep = 2048;
    const CTransferStatus& s = Status();
    if (s.BlockSize == 0 || n == 0 || offset + n > CardBytes())
        return false;
    uint64_t block = offset / s.BlockSize;
    size_t skip = static_cast<size_t>(offset - block * s.BlockSize);
    size_t done = 0;
    std::vector<uint8_t> buffer;
    while (done < n) {
        const uint64_t count = std::min<uint64_t>(kStep, (skip + n - done + s.BlockSize - 1) / s.BlockSize);
        buffer.resize(static_cast<size_t>(count * s.BlockSize));
        if (!ReadBlocks(m_Drive, buffer.data(), block, static_cast<uint16_t>(count))
                 .Complete(static_cast<uint32_t>(buffer.size())))
            return false;
        const size_t take = std::min<size_t>(buffer.size() - skip, n - done);
        std::memcpy(out + done, buffer.data() + skip, take);
        done += take;
        block += count;
        skip = 0;
    }
    return true;
}

uint64_t CImageRecovery::CardOffset(const uint8_t* block) const
{
    const CTransferStatus& s = Status();
    const uint64_t first = static_cast<uint64_t>(s.CurrentBlock) * s.BlockSize;
    return m_pChunkStart ? first + static_cast<uint64_t>(block - m_pChunkStart) : first;
}

void CImageRecovery::AddUnowned(uint64_t start, uint64_t end)
{
    if (start >= end)
        return;
    if (!m_Unowned.empty() && m_Unowned.back().End >= start) {
        m_Unowned.back().End = std::max(m_Unowned.back().End, end);
        return;
    }
    m_Unowned.push_back({start, end});
}

bool CImageRecovery::InOwnTrailer() const
{
    return m_bJpegLive && m_Jpeg.ImageEnd() > 0 && m_Jpeg.State().IsNeedMore();
}

bool CImageRecovery::ProcessChunk(CChunk& chunk)
{
    m_pChunkStart = chunk.Buffer;
    m_pChunkEnd = chunk.Buffer + chunk.Valid;
    m_pChunkMarks = chunk.Marks;
    const bool ok = CCardJob::ProcessChunk(chunk);
    m_pChunkMarks = nullptr;
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
    AnnounceClosed(false);
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

bool CImageRecovery::FeedDirs(uint64_t at, const uint8_t* block, uint32_t n)
{
    const size_t known = m_Dirs->Count();
    m_Dirs->Feed(at, block, n);
    return m_Dirs->Count() != known;
}

void CImageRecovery::InspectAhead(uint64_t firstBlock, const uint8_t* data, uint32_t blocks, uint8_t* marks)
{
    const uint32_t n = Status().BlockSize;
    for (uint32_t i = 0; i < blocks; ++i)
        marks[i] = FeedDirs((firstBlock + i) * n, data + static_cast<size_t>(i) * n, n) ? 1 : 0;
}

void CImageRecovery::ProcessBlock(const uint8_t* block)
{
    CTransferStatus& s = Status();
    const uint32_t n = s.BlockSize;
    if (m_Dirs) {
        const uint64_t at = CardOffset(block);
        // A block read ahead was fed on the reader's thread.
        const bool added = m_pChunkMarks ? m_pChunkMarks[(block - m_pChunkStart) / n] != 0 : FeedDirs(at, block, n);
        if (added && m_DirBlocks.size() < kMaxDirBlocks) {
            if (!m_DirBlocks.empty() && m_DirBlocks.back().End == at)
                m_DirBlocks.back().End = at + n;
            else
                m_DirBlocks.push_back({at, at + n});
        }
        // Directory entries inside a JPEG: the camera put the folder's new cluster between
        // two pieces of the picture.
        if (added && m_OutputFile.IsOpen() && HasStructuredEnd(m_nFileType) && m_nSuspectAt == 0) {
            m_bSuspect = true;
            m_nSuspectAt = Status().FileSize;
        }
    }
    // An MPO's further images and a motion photo's movie are the JPEG's own, where the
    // JPEG declares them; another header inside its declared part is the next file's (the
    // JPEG goes on elsewhere).
    if (m_OutputFile.IsOpen() && m_bJpegLive && !m_Jpeg.InEntropyData() && m_Jpeg.ImageEnd() == 0 &&
        m_Jpeg.State().IsNeedMore() && m_Jpeg.State().Length > s.FileSize) {
        // Inside one of the JPEG's segments (an Exif block with its thumbnail, the
        // multi-picture index with its TIFF header): whatever the block starts with is the
        // segment's.
        ContinueFile(block);
        return;
    }
    if (m_OutputFile.IsOpen() && InOwnTrailer()) {
        const uint64_t offset = s.FileSize;
        const bool header = RecogniseBlock(std::span<const uint8_t>(block, n), s.Settings.FileTypes).Type != 0 &&
                            !m_Jpeg.DeclaresImageAt(offset);
        const bool movie = n >= 8 && std::memcmp(block + 4, "ftyp", 4) == 0 && !m_Jpeg.DeclaresMovieAt(offset);
        if (!header && !movie) {
            ContinueFile(block);
            return;
        }
    }
    bool detect = !m_MovieDoc.IsWriting();
    m_bMovieTail = false;
    if (!detect && StartsForeignFile(block, n)) {
        // Another file's header where the movie's chain goes on: the movie is in pieces.
        CutMovieInfo cut;
        if (m_MovieDoc.CutMovie(cut) && !cut.Path.empty())
            m_Fragmented.push_back(CarveRecord{cut.Path, 0, cut.Kind, cut.CardStart, cut.Length, 0, false, {}, false});
        detect = true;
    }
    if (!detect) {
        // A movie that ended right before this block lets the block start the next one.
        const size_t taken = m_MovieDoc.ContinueMovie(block, block + n);
        // The movie's last bytes lie in this block: it is not free for another file.
        m_bMovieTail = taken > 0;
        detect = taken == 0 && !m_MovieDoc.IsWriting() && !m_MovieDoc.HasFileError();
    }
    if (detect && n >= 16 && std::memcmp(block + 4, "ftyp", 4) == 0) {
        // CR3 and HEIC files are ISO media like movies, but pictures: carved by their
        // structure under their own name, or left alone when their type is not selected.
        const int32_t picture = IsoPictureType(block, n);
        if (picture != 0) {
            if (s.Settings.FileTypes & IsoTypeBit(picture)) {
                s.FileSize = n;
                m_nPreviousType = m_nCurrentType;
                m_nCurrentType = picture;
                StartFile(block);
            } else {
                Finish();
                m_nCurrentType = 0;
            }
            return;
        }
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
    m_nFileStart = CardOffset(block);
    // Where files start tells the cluster size when the card has no file system left.
    if (m_FileStarts.size() < 65536)
        m_FileStarts.push_back(m_nFileStart);
    m_nFileType = m_nCurrentType;
    m_bJpegLive = m_nCurrentType == FileTypeId::Jpg;
    m_bSuspect = false;
    m_nSuspectAt = 0;
    m_Jpeg.Reset();
    m_nNextProbe = kFirstProbe;
    m_nStructLength = 0;
    m_bStructOpen = false;
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
        return;
    }
    if (m_bJpegLive) {
        const FileEnd end = m_Jpeg.Feed(block, s.BlockSize);
        // The block is written already: an end inside it cuts the file back.
        if (end.IsComplete() && m_Jpeg.Settled())
            EndFileAt(block, s.BlockSize, static_cast<int64_t>(std::max<uint64_t>(end.Length, 1)));
        else if (end.Status == FileEnd::State::Unknown)
            m_bJpegLive = false;
    }
}

void CImageRecovery::EndFileAt(const uint8_t* block, int64_t before, int64_t end)
{
    const uint32_t n = Status().BlockSize;
    if (end <= before) {
        if (!m_OutputFile.Truncate(static_cast<uint64_t>(end)))
            Abort(m_OutputFile.GetError());
        // The blocks after the file's last one belong to no file (this block included).
        const uint64_t last = (m_nFileStart + static_cast<uint64_t>(end) + n - 1) / n * n;
        AddUnowned(last, CardOffset(block) + n);
    } else {
        Write(block, static_cast<size_t>(end - before));
    }
    // The structure ended the file: nothing to settle at its close.
    m_bJpegLive = false;
    m_nStructLength = 0;
    m_nNextProbe = UINT64_MAX;
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
    CTransferStatus& s = Status();
    const uint32_t n = s.BlockSize;
    if (!m_OutputFile.IsOpen()) {
        const uint64_t at = CardOffset(block);
        if (!m_bMovieTail)
            AddUnowned(at, at + n);
        return;
    }
    const int64_t before = static_cast<int64_t>(s.FileSize);
    s.FileSize += n;
    const uint64_t size = s.FileSize;
    if (m_bJpegLive) {
        const FileEnd end = m_Jpeg.Feed(block, n);
        if (end.IsComplete() && m_Jpeg.Settled()) {
            EndFileAt(block, before, static_cast<int64_t>(std::max<uint64_t>(end.Length, 1)));
            return;
        }
        if (end.IsComplete()) {
            // Past the EOI: a phone maker's trailer may still follow.
            Write(block, n);
            return;
        }
        if (end.Status == FileEnd::State::Unknown) {
            // Broken: the file keeps the rules without structure, and is searched for
            // pieces after the scan (a stranger's cluster may lie inside it).
            m_bJpegLive = false;
            m_bSuspect = m_Jpeg.SawScan();
        } else {
            m_nStructLength = end.Length;
            // Scan data never holds a whole block of zeros: an empty cluster between pieces.
            if (m_Jpeg.InEntropyData() && block[0] == 0 && block[n - 1] == 0 &&
                std::all_of(block, block + n, [](uint8_t b) { return b == 0; }))
                m_bSuspect = true;
        }
    } else if (m_nExpectedLength == 0 && size >= m_nNextProbe && HasStructuredEnd(m_nFileType)) {
        if (ProbeStructure(block, before))
            return;
    }
    if (FileComplete(static_cast<int64_t>(s.FileSize), s.Settings.MaxFileSize, m_nExpectedLength)) {
        // A length the file tells ends it exactly; the maximum size after a whole block.
        if (m_nExpectedLength > 0 && static_cast<int64_t>(s.FileSize) >= m_nExpectedLength) {
            EndFileAt(block, before, m_nExpectedLength);
            return;
        }
        // The maximum size is a fallback for files whose length nothing tells: a structure
        // that goes on (a raw of a 45-megapixel camera, an MPO) carries the file past it. A
        // JPEG's scan data tells no length: it may grow to four times the maximum (a JPEG
        // that size is already past any camera's), then the fallback holds.
        const int64_t limit = s.Settings.MaxFileSize;
        const bool jpegGoesOn = m_bJpegLive && limit > 0 &&
                                (m_nStructLength > size || size <= 4 * static_cast<uint64_t>(limit));
        const bool structGoesOn = !m_bJpegLive && m_bStructOpen && size < kStructureLimit;
        if (jpegGoesOn || structGoesOn) {
            Write(block, n);
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

bool CImageRecovery::ProbeStructure(const uint8_t* block, int64_t before)
{
    const size_t ahead = m_pChunkEnd && block >= m_pChunkStart && block < m_pChunkEnd
                             ? static_cast<size_t>(m_pChunkEnd - block)
                             : Status().BlockSize;
    const FileEnd end =
        FindStructuredEnd(m_nFileType, CarvedSource(m_OutputFile, static_cast<uint64_t>(before), block, ahead));
    const uint64_t size = static_cast<uint64_t>(before) + Status().BlockSize;
    m_bStructOpen = false;
    if (end.IsComplete()) {
        if (end.Length <= size) {
            EndFileAt(block, before, static_cast<int64_t>(std::max<uint64_t>(end.Length, 1)));
            return true;
        }
        // The end lies in the bytes read ahead: the length rule ends the file there.
        m_nExpectedLength = static_cast<int64_t>(end.Length);
        m_nNextProbe = UINT64_MAX;
        return false;
    }
    if (end.IsNeedMore()) {
        m_bStructOpen = true;
        m_nStructLength = end.Length;
        m_nNextProbe = end.Length > size ? end.Length : size * 4;
        return false;
    }
    // No structure to follow: the rules without one (next signature, maximum size).
    m_nStructLength = 0;
    m_nNextProbe = UINT64_MAX;
    return false;
}

bool CImageRecovery::SettleFile()
{
    CTransferStatus& s = Status();
    if (!m_OutputFile.Flush())
        return false;
    const uint64_t written = m_OutputFile.Written();
    bool open = false;
    if (m_bJpegLive) {
        // Its scan data did not reach its end where the next file started; or it did, and
        // what followed its end was looked at for a trailer.
        const FileEnd end = m_Jpeg.State();
        open = end.IsNeedMore();
        if (end.IsComplete() && end.Length > 0 && end.Length < written) {
            if (!m_OutputFile.Truncate(end.Length)) {
                Abort(m_OutputFile.GetError());
                return false;
            }
            const uint32_t n = s.BlockSize;
            AddUnowned((m_nFileStart + end.Length + n - 1) / n * n, m_nFileStart + (written + n - 1) / n * n);
        }
    } else if (m_nNextProbe != UINT64_MAX && HasStructuredEnd(m_nFileType)) {
        const FileEnd end = FindStructuredEnd(m_nFileType, CarvedSource(m_OutputFile, written));
        if (end.IsComplete() && end.Length > 0 && end.Length < written) {
            // What followed the file up to the next start (slack, a deleted file's rest)
            // is not the file's.
            if (!m_OutputFile.Truncate(end.Length)) {
                Abort(m_OutputFile.GetError());
                return false;
            }
            const uint32_t n = s.BlockSize;
            const uint64_t last = (m_nFileStart + end.Length + n - 1) / n * n;
            AddUnowned(last, m_nFileStart + (written + n - 1) / n * n);
        }
        open = end.IsNeedMore();
    }
    open = open || (m_bSuspect && (m_nFileType == FileTypeId::Jpg || m_nSuspectAt > 0));
    if (IsTiffBased(m_nFileType) && !m_FoundNames.empty()) {
        // Named by what it is (a Nikon file is NEF, a Canon CR2 is CR2), whatever types were
        // selected to find it.
        const int32_t type = TiffBasedType(CarvedSource(m_OutputFile, m_OutputFile.Written()), m_nFileType);
        const std::string_view extension = TypeExtension(type);
        const std::string path = m_OutputFile.Path();
        const size_t dot = path.rfind('.');
        if (type != m_nFileType && dot != std::string::npos && path.compare(dot + 1, std::string::npos, extension) != 0) {
            const std::string renamed = path.substr(0, dot + 1) + std::string(extension);
            if (::rename(path.c_str(), renamed.c_str()) == 0) {
                m_OutputFile.SetPath(renamed);
                std::string& name = m_FoundNames.back();
                name = name.substr(0, name.rfind('.') + 1) + std::string(extension);
                s.FilePath.SetPath(renamed, false);
                m_nFileType = type;
            }
        }
    }
    return open;
}

void CImageRecovery::Finish()
{
    m_nExpectedLength = 0;
    if (!m_OutputFile.IsOpen())
        return;
    const bool held = SettleFile();
    CarveRecord record{m_OutputFile.Path(), m_nFileType, 0, m_nFileStart, m_OutputFile.Written(), m_nSuspectAt,
                       m_bSuspect, {}, false};
    m_bJpegLive = false;
    m_nStructLength = 0;
    m_bStructOpen = false;
    m_nNextProbe = UINT64_MAX;
    // Its last writes and its close go on behind the scan.
    CCarveFile::Closing closing;
    if (!m_OutputFile.CloseBehind(closing))
        Abort(m_OutputFile.GetError());
    const bool behind = closing.Ticket != 0;
    const bool searched = held && !Aborted();
    if (behind)
        m_Closing.push_back({std::move(closing), !searched});
    if (searched) {
        // Announced after the search for its other pieces.
        m_Fragmented.push_back(std::move(record));
        return;
    }
    if (!behind)
        Status().Send(StatusKind::FileFinished, Scope());
    Remember(record.Path, record.Type, record.CardStart, record.Length);
    AnnounceClosed(false);
}

void CImageRecovery::AnnounceClosed(bool wait)
{
    CTransferStatus& s = Status();
    while (!m_Closing.empty()) {
        const ClosingFile& closing = m_Closing.front();
        if (!wait && m_Writer->Done() < closing.File.Ticket)
            return;
        m_Writer->WaitFor(closing.File.Ticket);
        if (const int code = closing.File.State->Error.load())
            Abort(CCarveFile::WriteError(closing.File.Path, code));
        if (closing.Announce) {
            // The record names the file being carved now: the message names this one.
            const CFilePath current = s.FilePath;
            s.FilePath.SetPath(closing.File.Path, false);
            s.Send(StatusKind::FileFinished, Scope());
            s.FilePath = current;
        }
        m_Closing.pop_front();
    }
}

void CImageRecovery::Close()
{
    CCardJob::Close();
    m_OutputFile.Close();
}
