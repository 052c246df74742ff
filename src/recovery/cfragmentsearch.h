#pragma once
// Puts fragmented files back together after the scan. A camera writes a new picture into
// the first free clusters it finds, so a picture that did not fit into the hole an earlier
// deletion left goes on in the next free clusters further on; between its pieces lie other
// files. The scan carved the first piece (up to where another file starts); the rest lies
// in clusters that no file carved whole owns. This class looks for the continuation there,
// nearest first, and takes a piece only when the format confirms it: a JPEG's data decodes
// on across the joint, a structure's offsets land where the format says. A piece that
// cannot be confirmed is left out: the file stays as far as it is sure, never with a
// stranger's bytes.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class ByteSource;
class JpegScanner;

// A range of card bytes [Start, End).
struct ByteRun {
    uint64_t Start = 0;
    uint64_t End = 0;
    uint64_t Size() const { return End - Start; }
};

// A carved file whose structure was not complete where the next file started.
struct CarveRecord {
    std::string Path;       // the file in the run folder
    int32_t Type = 0;       // FileTypeId
    int32_t MovieKind = 0;  // a movie instead: 1 QuickTime, 2 AVI, 3 MP4
    uint64_t CardStart = 0; // card byte offset of its first byte
    uint64_t Length = 0;    // bytes carved (its first piece)
    // File offset of the first block the scan saw could not be the file's (a folder's
    // directory entries); 0 when none.
    uint64_t SuspectAt = 0;
    // The scan saw something inside it that cannot be the file's (its structure broke, a
    // block of zeros in a JPEG's data): its first piece is checked before the search.
    bool Suspect = false;
    // What the search did: the pieces after the first, and whether the structure is whole.
    std::vector<ByteRun> Added;
    bool Complete = false;
};

class CFragmentSearch {
public:
    // Reads n card bytes at a byte offset; false when they cannot be read.
    using ReadFn = std::function<bool(uint64_t offset, uint8_t* out, size_t n)>;

    // clusterBytes and dataStart place the clusters on the card (a continuation starts at
    // a cluster's first byte); unowned are the card ranges no carved file holds, in order.
    CFragmentSearch(ReadFn read, uint64_t clusterBytes, uint64_t dataStart, std::vector<ByteRun> unowned);
    // Card ranges that hold the file system's own data (directory blocks): never a piece.
    void Exclude(const std::vector<ByteRun>& ranges);

    // Completes one file: finds its further pieces and appends them to the file (or cuts a
    // first piece that ran into a stranger's clusters back to its last good cluster). The
    // pieces taken are no longer free for other files. False with error when the file
    // could not be read or written; the file then stays as it was carved.
    bool Complete(CarveRecord& record, std::string& error);

    const std::vector<ByteRun>& Unowned() const { return m_unowned; }

    // Free areas tried per gap, nearest first after the file's last piece. A camera's
    // continuation is the next free cluster; more cover a card whose holes were filled over
    // several days (a JPEG candidate whose first cluster cannot be scan data costs nothing).
    static constexpr size_t kCandidates = 48;
    // Starts tried in one free area: its first clusters.
    static constexpr size_t kStartsPerArea = 4;
    // At most this many pieces after the first: what a camera's first-fit allocation
    // leaves on a card whose holes are small (a raw file may take several).
    static constexpr size_t kMaxPieces = 15;
    // A candidate area is looked at up to this size at a time, whatever length the file
    // declares (a trailer, a raw's last offset); a longer rest (a raw of a 100-megapixel
    // camera is about 120 MB) is taken in several adjacent windows. A window is read from
    // the card only as far as the format's checks look at it, a slice at a time, and the
    // file stays on disk: the search's memory does not grow with the file.
    static constexpr uint64_t kMaxCandidate = 32ull << 20;
    // A candidate is read in windows of this size at least (a JPEG's length is not told
    // before its end; the rest of a 12-megapixel picture fits in one).
    static constexpr uint64_t kJpegWindow = 16ull << 20;
    // Files larger than this are not searched: their search would read too much back.
    static constexpr uint64_t kMaxFile = 256ull << 20;

private:
    // The first cluster boundary at or after position.
    uint64_t ClusterAtOrAfter(uint64_t position) const;
    uint64_t ClusterAtOrBefore(uint64_t position) const;
    // Takes [start, end) out of the free areas.
    void Own(uint64_t start, uint64_t end);
    // Gives [start, end) back to the free areas.
    void Free(uint64_t start, uint64_t end);
    // How many bytes of candidate (read at card offset at) continue file; 0 when none are
    // confirmed. Sets complete when the file's structure ends inside them.
    // known is the file as far as it is sure; knownScan has been fed it when the file is a
    // JPEG.
    uint64_t Confirm(const CarveRecord& record, const ByteSource& known, const JpegScanner& knownScan,
                     uint64_t at, const ByteSource& candidate, bool& complete);
    // True when the card's bytes [start, start + size) are all zeros and at least a
    // mebibyte long: an empty area, not a file's continuation.
    bool Blank(uint64_t start, uint64_t size);

    ReadFn m_read;
    uint64_t m_cluster;
    uint64_t m_dataStart;
    std::vector<ByteRun> m_unowned;
    std::vector<ByteRun> m_excluded;
    // Card areas already found all zeros, sorted and apart: the empty areas that every
    // file's search and every start in them would otherwise read again.
    std::vector<ByteRun> m_zeros;
};

// True when the part of a JPEG file after its image (from imageEnd) fits what the file
// declares there, as far as the bytes go: a motion photo's movie is a chain of ISO boxes
// whose headers lie where the sizes say, up to the declared end.
// declared is the length the file's structure declares (0 when it declares none).
bool TrailerFits(const ByteSource& file, uint64_t imageEnd, uint64_t declared, uint64_t joint);

// The cluster size and the position of the clusters on a card without a readable file
// system, from where the carved files start: the largest power of two from 512 bytes to
// 1 MiB at which nearly all starts (nine in ten) lie at the same offset. Returns 0 when the
// starts say nothing (fewer than 4); residue is the common offset.
uint64_t InferClusterBytes(const std::vector<uint64_t>& starts, uint64_t& residue);
