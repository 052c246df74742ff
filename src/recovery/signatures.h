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
    uint64_t ExpectedLength = 0;      // WAVE only: expected file length in bytes, else 0
};

// Tests the first bytes of block against the signatures selected in the mask (bits of
// TypeBit), in a fixed order, and returns the first that matches; the camera RAW header
// (type 15) is tested whatever the mask. A signature longer than the block does not
// match. For a WAVE header the expected length is the data size at offset 40 plus 36
// (the canonical 44-byte header less the 8 bytes of the RIFF chunk header); it is 0 when
// the block is too short to hold that word.
BlockSignature RecogniseBlock(std::span<const uint8_t> block, uint32_t selection);

// True when a file of fileSize bytes (this block included) is complete: it is larger than
// maxFileSize (a negative maximum completes every file), or it is a WAVE file with a known
// expected length that it has passed.
bool FileComplete(int64_t fileSize, int64_t maxFileSize, int32_t type, uint64_t expectedLength);

// End of an X3F file in the current block. held runs from the block's first byte to the
// end of the data read (the following blocks of the read buffer); blockSize is the size of
// the block itself. The first "SECd" directory marker starting inside the block gives the
// end: 4 + 12 * (entries + 1) bytes after the marker, entries being the little-endian word
// 8 bytes after it. Returns the end as a byte count from the block's start, limited to
// held.size(); nullopt when the block does not end the file (a marker whose count word
// lies beyond the data held does not count).
std::optional<size_t> FindX3FEnd(std::span<const uint8_t> held, size_t blockSize);

// End of a CRW file in the current block. held and blockSize as for FindX3FEnd;
// fileOffset is the number of file bytes before this block. The root heap starts after
// the 26-byte file header and ends with a little-endian word holding the heap-relative
// offset of its record table (a 2-byte count, then 10-byte entries); so with four (or
// three) entries that word lies 26 + 2 + 40 = 68 (or 58) bytes after the file position
// its value names. For each i from 0 to blockSize - 1 the word at 68 + i, then the word
// at 58 + i, is compared with fileOffset + i (non-zero words only); the first match ends
// the file 4 bytes after that word. Words not wholly in held do not match. Returns the
// end as a byte count from the block's start (never beyond held.size()); nullopt when the
// block does not end the file.
std::optional<size_t> FindCRWEnd(std::span<const uint8_t> held, size_t blockSize, int64_t fileOffset);
