#pragma once
// The image recovery job: reads every block of the card and carves the pictures, raw
// files, sound files and movies it recognises into a new run folder, as IMAGE_000.JPG,
// IMAGE_001.NEF, ... and movie(1).mov, ...; every finished file is announced with a
// status of kind 2. It never writes to the card.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "device/ccardjob.h"
#include "recovery/catomdoc.h"
#include "recovery/ccarvefile.h"
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
    bool ReadsAhead() const override { return true; }
    void FlushChunks() override;
    // Card bytes for the movie document's look ahead: from the read buffer when it holds
    // them, else read from the card (a block or two, only where a movie may start).
    bool ReadAhead(uint64_t at, uint8_t* out, size_t n) override;

    const std::vector<std::string>& FoundNames() const { return m_FoundNames; }
    const std::string& DestinationFolder() const { return m_strDestinationFolder; }
    const CAtomDoc& MovieDoc() const { return m_MovieDoc; }

protected:
    void BeforeChunks() override;
    void EndOfCard() override;

private:
    void StartFile(const uint8_t* block);
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

    CAtomDoc m_MovieDoc;
    // The file's length when the file tells it (a WAVE header, an X3F directory), else 0.
    int64_t m_nExpectedLength = 0;
    // The next position the CRW or X3F end rule examines.
    int64_t m_nEndNext = 0;
    CCarveFile m_OutputFile;
    std::vector<std::string> m_FoundNames;
    int32_t m_nCurrentType = 0;
    int32_t m_nPreviousType = 0;
    std::string m_strDestinationFolder;
    const uint8_t* m_pChunkStart = nullptr;
    const uint8_t* m_pChunkEnd = nullptr;   // end of the data read, for the end rules
    std::array<uint8_t, kCarry> m_Carry{};
    size_t m_nCarry = 0;
    std::array<uint8_t, kCarry + kWindowAhead> m_Window{};
    uint64_t m_nPendingExpected = 0;
};
