#pragma once
// The image recovery job: reads every block of the card and carves the pictures, raw
// files, sound files and movies it recognises into a new run folder, as IMAGE_000.JPG,
// IMAGE_001.NEF, ... and movie(1).mov, ...; every finished file is announced with a
// status of kind 2. It never writes to the card.
#include <cstdint>
#include <string>
#include <vector>

#include "device/ccardjob.h"
#include "recovery/catomdoc.h"
#include "recovery/ccarvefile.h"

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

    CAtomDoc m_MovieDoc;
    int64_t m_nFileBytes = 0;
    uint64_t m_nExpectedLength = 0;
    CCarveFile m_OutputFile;
    std::vector<std::string> m_FoundNames;
    int32_t m_nCurrentType = 0;
    int32_t m_nPreviousType = 0;
    std::string m_strDestinationFolder;
    const uint8_t* m_pChunkEnd = nullptr;   // end of the data read, for the end rules
    uint64_t m_nPendingExpected = 0;
};
