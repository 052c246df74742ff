#pragma once
// Where a JPEG file ends by its own structure: the segments from SOI by their lengths,
// the entropy-coded data of every scan up to EOI, and what the file declares to follow
// its EOI (the further images of a multi-picture file, the movie of a motion photo, a
// phone maker's trailer).
#include "formats/bytesource.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Follows a JPEG file fed from its first byte in consecutive pieces of any size. It
// keeps no pointer to the bytes it was fed and allocates nothing after construction, so
// a scan can run it over every byte of every picture on a card.
//
// The state after the bytes fed so far:
//  - NeedMore while the structure goes on (Length is the end of the segment being read
//    when known, or the declared end of the file past its EOI);
//  - Complete(length) once the file's end is reached: the end of the first image's EOI,
//    or further when the file declares what follows it. Bytes fed past the end are
//    allowed and do not change the answer (except that the bytes right after the EOI
//    are looked at for a phone maker's trailer, see Settled());
//  - Unknown once the bytes cannot be a JPEG any more; GoodUpTo() tells how far they fit.
class JpegScanner {
public:
    JpegScanner();

    // Starts over for a new file.
    void Reset();

    // Takes the next n bytes of the file; returns the state after them.
    FileEnd Feed(const uint8_t* data, size_t n);
    FileEnd State() const;

    // Bytes fed since the start.
    uint64_t Fed() const { return m_fed; }
    // The bytes [0, GoodUpTo()) fit the structure: Fed() while nothing is wrong (at most
    // the file's length once it is complete), else the offset of the first byte that does
    // not fit (the FF of a marker that cannot occur where it stands).
    uint64_t GoodUpTo() const;
    // True while the last byte fed lies in the entropy-coded data of a scan.
    bool InEntropyData() const;
    // True when no further bytes can change the state: the structure is broken, or the
    // file is complete and the bytes after its first EOI were seen far enough to tell
    // whether a phone maker's trailer follows.
    bool Settled() const;
    // True once a scan started: a break after it is in a picture's data, not in a header.
    bool SawScan() const { return m_sawScan; }
    // The offset just past the first image's EOI; 0 until it was fed.
    uint64_t ImageEnd() const { return m_eoiEnd; }
    // True when the file's multi-picture index puts one of its further images at offset
    // (a JPEG header found there is the file's own, not the next file's).
    bool DeclaresImageAt(uint64_t offset) const;
    // True when the file's XMP puts its motion photo's movie at offset.
    bool DeclaresMovieAt(uint64_t offset) const;

private:
    enum class Phase : uint8_t {
        Soi0,           // expects FF at offset 0
        Soi1,           // expects D8 at offset 1
        Marker,         // expects the FF of the next marker
        MarkerCode,     // after an FF outside entropy data
        Length0,        // first byte of a segment length
        Length1,        // second byte of a segment length
        Body,           // inside a segment's body
        Entropy,        // entropy-coded data of a scan
        EntropyMarker,  // after an FF inside entropy data
        Trailer,        // past the first image's EOI
        Broken,
    };
    // What the bytes right after the EOI were found to be.
    enum class After : uint8_t {
        Looking,    // too few bytes after the EOI seen yet
        Nothing,    // no trailer that announces itself
        Searching,  // a Samsung-style data block follows: looking for its directory
        Directory,  // reading the directory block found
        Found,      // the directory was read and fits
    };

    struct NoBuffer {};
    explicit JpegScanner(NoBuffer) {}
    void Break(uint64_t at);
    // Acts on the marker code c whose first FF was at m_markerStart; returns false when
    // the marker cannot occur here.
    bool OnMarker(uint8_t c);
    // Checks the segment just read and takes what it declares.
    bool EndSegment();
    void ParseMpf(const uint8_t* body, size_t size, uint64_t bodyPos);
    void ParseXmp(const uint8_t* text, size_t size);
    void ReachedEoi(uint64_t end);
    // Takes the bytes after the EOI (stream offset pos) for the trailer check.
    void FeedTrailer(const uint8_t* p, size_t n, uint64_t pos);
    void CheckTrailerHead();
    void CheckDirectory();
    uint64_t DeclaredEnd() const;

    Phase m_phase = Phase::Soi0;
    uint64_t m_fed = 0;
    uint64_t m_badAt = 0;        // where the structure broke (Broken only)
    uint64_t m_markerStart = 0;  // offset of the first FF of the marker being read
    uint8_t m_marker = 0;        // the marker of the segment being read
    bool m_sawFrame = false;     // an SOFn was read
    bool m_sawScan = false;      // an SOS was read: later markers follow the inter-scan rules
    uint32_t m_left = 0;         // bytes left in the segment body
    uint32_t m_segLength = 0;    // the segment's length field
    uint64_t m_segEnd = 0;       // stream offset of the segment's end
    uint8_t m_head[8] = {};      // the first bytes of the segment body
    uint32_t m_headFill = 0;
    bool m_capture = false;      // the body is collected into m_seg
    std::vector<uint8_t> m_seg;  // capacity for a whole segment, reserved once

    // Declarations found before the first scan.
    uint64_t m_mpfEnd = 0;        // end of the last image the multi-picture index names
    uint64_t m_mpfFirstStart = 0; // start of the first further image it names (0: none)
    static constexpr uint32_t kMaxImages = 8;  // further images whose starts are kept
    uint64_t m_mpfStarts[kMaxImages] = {};
    uint32_t m_mpfCount = 0;
    uint64_t m_xmpFollowing = 0;  // bytes the XMP says follow the primary image

    // Past the EOI.
    uint64_t m_eoiEnd = 0;
    uint64_t m_total = 0;  // the declared end (at least m_eoiEnd)
    After m_after = After::Looking;
    uint8_t m_look[8 + 64] = {};  // the first bytes after the EOI
    uint32_t m_lookFill = 0;
    uint32_t m_lookNeed = 8;
    uint32_t m_match = 0;         // characters of "SEFH" matched so far
    uint64_t m_dirPos = 0;        // stream offset of the "SEFH" found
    uint32_t m_dirNeed = 0;       // bytes of the directory block to collect
    uint64_t m_searchLimit = 0;   // stream offset where the directory search gives up
    uint64_t m_trailerEnd = 0;    // the end the directory block gives
};

// Runs a JpegScanner over the source from offset 0 in 64 KiB reads, as far as needed.
FileEnd FindJpegEnd(const ByteSource& src);
