#pragma once
// The image recovery job: reads every block of the card and carves the pictures, raw
// files, sound files and movies it recognises into a new run folder, as IMAGE_000.JPG,
// IMAGE_001.NEF, ... and movie(1).mov, ...; every finished file is announced with a
// status of kind 2. It never writes to the card.
#include <array>
#include <deque>
#include <memory>
#include <cstdint>
#include <string>
#include <vector>

#include "device/ccardjob.h"
#include "recovery/catomdoc.h"
#include "cardfs/dircollector.h"
#include "formats/jpeg.h"
#include "recovery/ccarvefile.h"
#include "recovery/cfragmentsearch.h"
#include "recovery/signatures.h"

class CImageRecovery : public CCardJob, public CAtomDocListener {
public:
    CImageRecovery(CTransferStatus* status, const CDriveInfo& info, int32_t scope = JobScope::Recovery);
    ~CImageRecovery() override;

    // Makes the run folder under the work folder.
    bool ConnectToDestination() override;
    bool Init() override;
    bool ProcessChunk(CChunk& chunk) override;
    void ProcessBlock(const uint8_t* block) override;
    // Closes the file being written and announces it.
    void Finish() override;
    void Close() override;
    // A movie starts: the file being written ends there, whatever its type (a CRW file
    // closed this way must not go on ignoring the signatures after the movie).
    void OnMovieStarting() override
    {
        Finish();
        m_nCurrentType = 0;
    }
    uint64_t CardBytes() const override;
    void OnMovieClosed(const std::string& path, uint64_t cardStart, uint64_t length) override
    {
        Remember(path, 0, cardStart, length);
    }
    // The pictures closed before the movie are announced before it.
    void BeforeMovieAnnounced() override { AnnounceClosed(true); }
    bool ReadsAhead() const override { return true; }
    // Blocks that read only when a skipped area was tried again come after the files were
    // carved past them: the files keep zeros there, and the blocks stay unreadable.
    bool LateBlocks(uint64_t, const uint8_t*, uint32_t) override { return false; }
    void FlushChunks() override;
    bool WritesBehind() const override { return m_Writer != nullptr; }
    bool HelpWriting() override { return m_Writer && m_Writer->HelpOne(); }
    // The folder entries of the blocks read ahead are collected on the reader's thread,
    // where the blocks are still in the cache: a mark for each block that added some.
    bool InspectsAhead() const override { return m_Dirs != nullptr; }
    void InspectAhead(uint64_t firstBlock, const uint8_t* data, uint32_t blocks, uint8_t* marks) override;
    // Feeds one block to the folder-entry collector; true when it added entries.
    bool FeedDirs(uint64_t at, const uint8_t* block, uint32_t n);
    uint64_t WritesQueued() const override { return m_Writer ? m_Writer->Queued() : 0; }
    uint64_t WritesDone() const override { return m_Writer ? m_Writer->Done() : 0; }
    void WaitWritten(uint64_t ticket) override
    {
        if (m_Writer)
            m_Writer->WaitFor(ticket);
    }
    // Card bytes for the movie document's look ahead: from the read buffer when it holds
    // them, else read from the card (a block or two, only where a movie may start).
    bool ReadAhead(uint64_t at, uint8_t* out, size_t n) override;

    const std::vector<std::string>& FoundNames() const { return m_FoundNames; }
    const std::string& DestinationFolder() const { return m_strDestinationFolder; }
    const CAtomDoc& MovieDoc() const { return m_MovieDoc; }
    // Files whose first piece the scan carved and whose structure went on elsewhere, after
    // the run: what the search for their other pieces found.
    const std::vector<CarveRecord>& Fragmented() const { return m_Fragmented; }
    // The cluster size the search for pieces used (from the card's file system, or
    // inferred from where the files start); 0 before a run.
    uint64_t ClusterBytes() const { return m_nClusterBytes; }

protected:
    void BeforeChunks() override;
    // The run folder is removed again (it is still empty): a refused run leaves nothing.
    void CardNotOpened() override;
    void EndOfCard() override;

private:
    void StartFile(const uint8_t* block);
    // Card byte offset of a block of the chunk being processed.
    uint64_t CardOffset(const uint8_t* block) const;
    // Card bytes [start, end) that no file holds (candidates for a fragmented file's rest).
    void AddUnowned(uint64_t start, uint64_t end);
    // Asks the open file's structure where it ends, with the bytes carved before block and
    // the block (and what follows it in the read buffer); ends the file when the structure
    // is complete (true). Sets when to ask next.
    bool ProbeStructure(const uint8_t* block, int64_t before);
    // At the file's close: cuts it to its structure's end, names a TIFF-based file by what
    // it is, and keeps a file whose structure goes on for the search of its other pieces.
    // True when the file is held back (announced after the search).
    bool SettleFile();
    // After the last chunk: the search for the pieces of fragmented files, then their
    // announcement.
    void CompleteFragmented();
    // n card bytes from a byte offset, read in requests of up to a mebibyte; false when
    // they lie past the card's end or cannot be read.
    bool ReadCard(uint64_t offset, uint8_t* out, size_t n);
    // The cluster size and place from the card's file system, when it has one.
    void ReadGeometry();
    // Keeps what the naming after the scan needs of an announced file.
    void Remember(const std::string& path, int32_t type, uint64_t cardStart, uint64_t length);
    // After the scan: each found file's camera name (the card's directory entry for its
    // first cluster) and shot time (its own metadata, else the entry's time), set as the
    // file's modification time and announced with a status of kind FileDescribed.
    void DescribeFiles();
    // True while the open JPEG is in the part after its last scan that its structure
    // declares its own (an MPO's further images, a motion photo's movie).
    bool InOwnTrailer() const;
    void ContinueFile(const uint8_t* block);
    void Write(const uint8_t* data, size_t size);
    // Ends the file being written at its length end (before: its bytes before this
    // block); the end may lie in bytes already written, or past the block in the buffer.
    void EndFileAt(const uint8_t* block, int64_t before, int64_t end);
    // The file's bytes at hand for the end rules, the previous chunk's tail included.
    FileWindow Window(const uint8_t* block, int64_t before);

    // The end rules look up to 72 bytes (CRW) or one X3F directory (at most 784 bytes)
    // past a position: the last kCarry bytes of a chunk go along to the next one.
    static constexpr size_t kCarry = 1024;
    static constexpr size_t kWindowAhead = 2048;

    // The structure is asked at these sizes and then at four times the last (cheap: the
    // TIFF-based raws tell their length from the first directory).
    static constexpr uint64_t kFirstProbe = 64 * 1024;
    // A file whose structure still goes on is never carved past this size.
    static constexpr uint64_t kStructureLimit = 4ull << 30;

    CAtomDoc m_MovieDoc;
    // The open file: its card offset, its structure's state.
    uint64_t m_nFileStart = 0;
    // The type the open file was started with (the current type changes before the
    // next file's start closes it, and an ORF's preview changes it inside the file).
    int32_t m_nFileType = 0;
    JpegScanner m_Jpeg;
    bool m_bJpegLive = false;
    uint64_t m_nNextProbe = 0;
    // The least length the open file's structure declared (0: not known).
    uint64_t m_nStructLength = 0;
    // The open file's structure went on where it was closed.
    bool m_bStructOpen = false;
    std::vector<CarveRecord> m_Fragmented;
    std::vector<ByteRun> m_Unowned;
    std::vector<uint64_t> m_FileStarts;
    uint64_t m_nClusterBytes = 0;
    uint64_t m_nDataStart = 0;
    bool m_bGeometryKnown = false;
    std::vector<px::CardGeometry> m_Volumes;
    // Every announced file: its name in the run folder (short: no heap per file), type
    // (movies: 0), card offset and length.
    struct FoundFile {
        std::string Name;
        int32_t Type;
        uint64_t CardStart;
        uint64_t Length;
    };
    std::vector<FoundFile> m_Found;
    // Directory entries of the card's file system, wherever the scan meets them; a block
    // of them inside a picture says the picture is in pieces there.
    std::unique_ptr<px::DirCollector> m_Dirs;
    // The blocks that held directory entries: the file system's, never a piece of a file.
    std::vector<ByteRun> m_DirBlocks;
    static constexpr size_t kMaxDirBlocks = 1 << 16;
    // The open JPEG holds a block that cannot be its own (directory entries, a block of
    // zeros in its scan data) or its structure broke: it is searched for its pieces.
    bool m_bSuspect = false;
    // The block being processed holds the end of a movie.
    bool m_bMovieTail = false;
    // File offset of the first directory block inside the open file (0: none).
    uint64_t m_nSuspectAt = 0;
    // The file's length when the file tells it (a WAVE header, an X3F directory), else 0.
    int64_t m_nExpectedLength = 0;
    // The next position the CRW or X3F end rule examines.
    int64_t m_nEndNext = 0;
    // Writes the carved files behind the scan; made at the first run, before the file
    // that uses it (and so gone only after it).
    std::unique_ptr<CWriteBehind> m_Writer;
    CCarveFile m_OutputFile;
    // Files closed behind the scan, oldest first: each is announced (FileFinished) once its
    // writes and its close are done, so that whoever opens an announced file finds it whole;
    // a held file (Announce false) is only checked, as it is announced after the search
    // for its pieces.
    struct ClosingFile {
        CCarveFile::Closing File;
        bool Announce = true;
    };
    std::deque<ClosingFile> m_Closing;
    // Announces the files of m_Closing whose writes are done, in order (with wait: all of
    // them, waiting for their writes); a failed write ends the run with its error.
    void AnnounceClosed(bool wait);
    std::vector<std::string> m_FoundNames;
    int32_t m_nCurrentType = 0;
    int32_t m_nPreviousType = 0;
    std::string m_strDestinationFolder;
    const uint8_t* m_pChunkStart = nullptr;
    const uint8_t* m_pChunkEnd = nullptr;   // end of the data read, for the end rules
    const uint8_t* m_pChunkMarks = nullptr; // InspectAhead's marks of the chunk's blocks, if any
    std::array<uint8_t, kCarry> m_Carry{};
    size_t m_nCarry = 0;
    std::array<uint8_t, kCarry + kWindowAhead> m_Window{};
    uint64_t m_nPendingExpected = 0;
};
