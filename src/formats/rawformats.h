#pragma once
// Camera raws with a layout of their own (not TIFF, not ISO media): where the file ends by
// its structure.
#include "formats/bytesource.h"

// FujiFilm RAF: "FUJIFILMCCD-RAW " and a big-endian header that places the file's sections
// by offset and length: at 84 the JPEG preview, at 92 the RAF directory (meta data), at 100
// the CFA (raw) data, and, in headers long enough to hold them (they come before the JPEG),
// at 120 and 128 a second directory and CFA of two-frame cameras (S5 Pro, EXR sensors). The
// end is the farthest section end. Unknown when the header is not a RAF's or places the
// JPEG where no RAF puts it (it must start inside the first 64 KiB, after the header, with
// a JPEG start marker when those bytes are at hand).
FileEnd FindRafEnd(const ByteSource& src);

// Minolta MRW: "\0MRM" and the big-endian length of the MRM block of tagged blocks
// ("\0PRD", "\0TTW", "\0WBG", "\0RIF", ...); the raw data follows it. Its size comes from
// the PRD block: sensor height (at 8) times width (at 10) times the storage depth (at 16:
// 12 for packed data, 16 for padded) over 8. Unknown when the MRM block has no PRD block
// or its blocks do not tile it.
FileEnd FindMrwEnd(const ByteSource& src);
