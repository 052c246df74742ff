#pragma once
// Movie reconstruction. QuickTime and MP4 movies are chains of atoms that each start with
// their size; an AVI movie is one RIFF chunk with its size. The movie document follows the
// chain through the card's blocks, appends every block to the movie file, and closes the
// file when the header after an atom is not a known atom.
#include <cstdint>
#include <memory>
#include <string>

#include "app/ctransferstatus.h"
#include "jobs/cmsg.h"
#include "jobs/cobj.h"
#include "recovery/ccarvefile.h"

// The recovery job's side of the movie document: told before a movie file is opened, so
// that a picture being written is closed first, and asked for card bytes ahead of the
// block at hand, so that a movie start is taken only when its atom chain goes on.
class CAtomDocListener {
public:
    virtual ~CAtomDocListener() = default;
    virtual void OnMovieStarting() = 0;
    // Bytes of the card (0 when unknown: no look ahead is made).
    virtual uint64_t CardBytes() const { return 0; }
    // Copies n card bytes from byte offset at; false when they lie past the card's end
    // or cannot be read.
    virtual bool ReadAhead(uint64_t at, uint8_t* out, size_t n) { return false; }
    // A movie file was closed and is announced next.
    virtual void BeforeMovieAnnounced() {}
    // A movie file was closed and announced: where its first byte lies on the card.
    virtual void OnMovieClosed(const std::string& path, uint64_t cardStart, uint64_t length) {}
};

// One movie being walked. Positions are byte offsets from the start of the block at hand
// (negative for a header that began in the previous block); every test reads only the
// bytes it is given.
class CAtomObj : public CObj {
public:
    CObj* CreateNew() const override { return new CAtomObj(); }
    void Reset() override;
    void CopyFrom(const CObj& other) override;

    // Reads the first header of a movie at data (size bytes held). False when it is no
    // header of this kind.
    virtual bool ParseHeader(const uint8_t* data, size_t size);
    // Reads the header that follows an atom: true when it goes on with the chain (and
    // then Remaining counts it), false when the movie ended before it.
    virtual bool ParseNext(const uint8_t* data, size_t size) { return false; }
    // Bytes the header at data needs before ParseNext can judge it (held of them held).
    virtual size_t HeaderBytes(const uint8_t* data, size_t held) const { return 8; }
    virtual bool IsStart(const uint8_t* data, size_t size) { return StartTest(data, size) != 0; }
    // Walks from position p towards e: the position reached.
    int64_t Consume(int64_t p, int64_t e);
    virtual int32_t TypeOf(const uint8_t* data, size_t size) const { return 0; }
    virtual int32_t StartTest(const uint8_t* data, size_t size) { return TypeOf(data, size); }
    bool InProgress() const { return Remaining > 0; }
    bool AtEnd() const { return Remaining == 0; }
    virtual const char* Extension() const { return "unk"; }
    virtual int32_t MovieKind() const { return 0; }

    int32_t AtomType = 0;
    // Bytes of the current atom still to come. Sizes are unsigned 32-bit, or 64-bit for
    // an atom of size 1 with the extended size after its name: a clip past 4 GB is
    // followed to its end.
    int64_t Remaining = 0;
    uint32_t Done = 0;
    // The current atom has size 0: it runs to the end of the file, which the card does
    // not tell; the document ends the movie at the next block that starts a file.
    bool ToEnd = false;
};

class CQTAtomObj : public CAtomObj {
public:
    CObj* CreateNew() const override { return new CQTAtomObj(); }
    void Reset() override;
    void CopyFrom(const CObj& other) override;
    bool ParseHeader(const uint8_t* data, size_t size) override;
    // A known atom of the chain (the start names but "ftyp", which only ever starts a
    // file, and the atoms of fragmented MP4: "moof", "mfra", "sidx", "styp", "emsg",
    // "prft") with a plausible size.
    bool ParseNext(const uint8_t* data, size_t size) override;
    size_t HeaderBytes(const uint8_t* data, size_t held) const override;
    // The atom name table: "free" 1, "skip" 2, "wide" 3, "pnot" 4, "moov" 5, "mdat" 6,
    // "PICT" 7, "ftyp" 8, "uuid" 9 (bytes 4 to 7).
    int32_t TypeOf(const uint8_t* data, size_t size) const override;
    const char* Extension() const override { return "mov"; }
    int32_t MovieKind() const override { return 1; }

    uint32_t Size = 0;
    uint64_t Size64 = 0;   // the extended size of an atom of size 1
    uint8_t Name[4] = {};

private:
    // Size and Remaining from the header; false for a size of 2 to 7 or an extended
    // size below 16, which no atom has.
    bool ReadSize(const uint8_t* data, size_t size);
};

class CMP4AtomObj : public CQTAtomObj {
public:
    CObj* CreateNew() const override { return new CMP4AtomObj(); }
    // "ftyp" and then "mp4" within the first 512 bytes: 8, else 0.
    int32_t StartTest(const uint8_t* data, size_t size) override;
    // The search runs only where bytes 4 to 7 name a known atom, which the header must do
    // anyway: the other blocks of a card (nearly all) cost one compare.
    bool IsStart(const uint8_t* data, size_t size) override { return TypeOf(data, size) != 0 && StartTest(data, size) != 0; }
    const char* Extension() const override { return "mp4"; }
    int32_t MovieKind() const override { return 3; }
};

class CAVIAtomObj : public CAtomObj {
public:
    CObj* CreateNew() const override { return new CAVIAtomObj(); }
    void Reset() override;
    void CopyFrom(const CObj& other) override;
    // "RIFF", "AVI LIST", "avih" and a stream header; the movie runs the RIFF size plus
    // the chunk's own 8-byte header.
    bool ParseHeader(const uint8_t* data, size_t size) override;
    // An AVI over 1 GB goes on in "RIFF" chunks of form "AVIX".
    bool ParseNext(const uint8_t* data, size_t size) override;
    size_t HeaderBytes(const uint8_t*, size_t) const override { return 12; }
    // 1 for "RIFF" at 0 and "AVI LIST" at 8, else 0.
    int32_t TypeOf(const uint8_t* data, size_t size) const override;
    const char* Extension() const override { return "avi"; }
    int32_t MovieKind() const override { return 2; }

    uint32_t Size = 0;
    uint8_t MainHeader[64] = {};
    uint8_t StreamHeader[64] = {};
};

// A movie ended where another file's header showed that it goes on elsewhere.
struct CutMovieInfo {
    std::string Path;       // its file (empty when its type is not written)
    uint64_t CardStart = 0; // card byte offset of its first byte
    uint64_t Length = 0;    // bytes written
    int32_t Kind = 0;       // MovieKind: 1 QuickTime, 2 AVI, 3 MP4
};

class CAtomDoc : public CListener {
public:
    CAtomDoc(CTransferStatus* status, CAtomDocListener* listener);
    ~CAtomDoc() override;
    CAtomDoc(const CAtomDoc&) = delete;
    CAtomDoc& operator=(const CAtomDoc&) = delete;

    void SetOutputFolder(const std::string& folder) { m_strOutputFolder = folder; }
    // Back to idle: the movie dropped, numbering from 1 again, the movie file closed.
    void Reset();
    // For a block while no movie is followed: true when a movie starts at it. cardOffset
    // is the block's byte offset on the card. A QuickTime or MP4 start counts only when
    // its first atom is at least 8 bytes and the header after it goes on with the chain
    // or marks its end (the card's end, a block that starts a file, or zeros within the
    // next two chunks).
    bool DetectMovie(const uint8_t* start, const uint8_t* end, uint64_t cardOffset);
    // For a block while a movie is followed: the number of the block's bytes that belong
    // to the movie (all while the chain goes on; 0 when it ended before this block, which
    // may then start the next movie).
    size_t ContinueMovie(const uint8_t* start, const uint8_t* end);
    // Closes the movie file and announces it (status kind 2).
    void CloseMovieFile();
    // Stops following the movie (another file's header lies where its chain goes on): its
    // file is closed without being announced, for the search of its other pieces. False
    // when no movie is followed.
    bool CutMovie(CutMovieInfo& out);
    // Writes what was appended to the movie file (before the read buffer is reused).
    bool FlushMovieFile();

    bool IsWriting() const { return m_bWriting; }
    // True when the block just seen belongs to the movie (also while the header that
    // follows its last atom is still to be judged).
    bool HoldsBlock() const { return m_pCurrent && (m_pCurrent->InProgress() || m_bHeaderPending); }
    const CAtomObj* Current() const { return m_pCurrent.get(); }
    int32_t MovieCount() const { return m_nMovieCount; }
    const std::string& GetError() const { return m_strError; }
    // A movie file could not be created or written (its message is in GetError).
    bool HasFileError() const { return m_bFileError; }

private:
    bool OpenMovieFile();
    void EndMovie();
    void AppendMovie(const uint8_t* data, size_t size);
    // The first of the three prototypes that starts a movie at the block, or null.
    CAtomObj* MatchStart(const uint8_t* start, size_t size);
    // True when the chain of a QuickTime or MP4 movie starting at cardOffset goes on after
    // its first atom (see DetectMovie).
    bool ChainGoesOn(const CAtomObj& first, const uint8_t* start, size_t size, uint64_t cardOffset);
    // True when a block starts a file of the selection (bits of TypeBit) or a movie.
    static bool StartsFile(const uint8_t* start, size_t size, uint32_t selection);

    CCarveFile m_MovieFile;
    std::unique_ptr<CAtomObj> m_pCurrent;
    CAtomDocListener* m_pListener;
    bool m_bWriting = false;
    bool m_bEnded = false;
    int32_t m_nMovieCount = 0;
    std::string m_strError;
    std::string m_strOutputFolder;
    std::string m_strMoviePath;   // the movie file being written
    CTransferStatus* m_pStatus;
    CQTAtomObj m_QT;
    CAVIAtomObj m_AVI;
    CMP4AtomObj m_MP4;
    // A successor header that starts in one block and is judged in the next.
    bool m_bHeaderPending = false;
    uint8_t m_Pending[16] = {};
    size_t m_nPending = 0;
    bool m_bFileError = false;
    uint64_t m_nMovieStart = 0;
};
