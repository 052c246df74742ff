#pragma once
// Signature tests on a card block: does a new picture, raw or sound file start here, and
// does this block end the file being written. Every function reads only the bytes it is
// given; none allocates or copies the block.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "app/filetypes.h"

// What RecogniseBlock found at the start of a block.
struct BlockSignature {
    int32_t Type = FileTypeId::None;  // a FileTypeId value
    uint64_t ExpectedLength = 0;      // WAVE only: the file's length in bytes, 0 when unknown
};

// Tests the first bytes of block against the signatures selected in the mask (bits of
// TypeBit), in a fixed order, and returns the first that matches; the camera RAW header
// (type 15) is tested whatever the mask. A signature longer than the block does not
// match. An MP3 starts only at a whole ID3v2 tag header (or the first frame header of a
// stream), so three letters in compressed picture data do not cut a picture in two.
// For a WAVE header the expected length is the RIFF size plus its 8-byte chunk header
// (WaveLength); 0 when the header does not give a plausible length.
BlockSignature RecogniseBlock(std::span<const uint8_t> block, uint32_t selection);

// Length of the WAVE file whose first bytes are given: the RIFF size (offset 4) plus the
// 8 bytes of the RIFF chunk header, whatever chunks precede the data (LIST, bext, an
// extensible fmt chunk). 0 (unknown) when the size is 0 or 0xFFFFFFFF, too small for a
// fmt and a data chunk, or contradicted by a data chunk of size 0 or 0xFFFFFFFF that the
// bytes hold: what a recorder leaves in a header it never finished.
uint64_t WaveLength(const uint8_t* data, size_t size);

// True when a file of fileSize bytes (this block included) is complete: it is larger than
// maxFileSize (a negative maximum completes every file), or the file told its length (a
// WAVE header, an X3F directory: expectedLength above 0) and it has reached it.
bool FileComplete(int64_t fileSize, int64_t maxFileSize, int64_t expectedLength);

// The bytes of the file being carved that are at hand: Data holds the file's bytes from
// file offset First on, Size of them (the read buffer from some bytes before the current
// block to the end of the data read, or a copy that carries the previous chunk's last
// bytes). First may be negative when the window starts before the file: bytes before the
// file's offset 0 never count.
struct FileWindow {
    const uint8_t* Data = nullptr;
    size_t Size = 0;
    int64_t First = 0;
    // True when the n bytes at file offset at are all in the window.
    bool Holds(int64_t at, size_t n) const
    {
        return at >= 0 && at >= First && uint64_t(at - First) + n <= Size;
    }
    const uint8_t* At(int64_t at) const { return Data + (at - First); }
    int64_t End() const { return First + int64_t(Size); }
};

// Where an end search stands after a block: the file's length when its end was found,
// else the first position that is still to be examined (the search goes on from there
// with the next block, whose window holds what this one lacked).
struct EndSearch {
    std::optional<int64_t> End;
    int64_t Next = 0;
};

// End of an X3F file. Examines directory marker positions k in [from, to) (file offsets)
// in order: "SECd", then the directory version (major 1 to 4), an entry count of 1 to
// 64, and entries whose sections lie before the directory and whose types are four
// letters or digits; when the file's last 4 bytes are at hand they must point back to
// the marker. The file ends 4 + 12 * (entries + 1) bytes after the marker. A position
// whose directory is not wholly in the window stops the search there (Next).
EndSearch FindX3FEnd(const FileWindow& window, int64_t from, int64_t to);

// End of a CRW file. The root heap starts after the 26-byte file header and ends with a
// record table (a 2-byte count, then 10-byte entries) and a little-endian word holding
// the table's heap-relative offset v; so with four (or three) entries that word lies at
// file offset v + 68 (or v + 58). For each v in [from, to) in order the four-entry word,
// then the three-entry word, is compared with v (non-zero only); a match counts when the
// table it points at holds that many entries whose data lies in the heap before the
// table. The file ends 4 bytes after the word. A v whose four-entry word is not wholly
// in the window stops the search there (Next).
EndSearch FindCRWEnd(const FileWindow& window, int64_t from, int64_t to);
