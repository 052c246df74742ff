#pragma once
// One door to the format rooms for the recovery: where a carved file of a given type ends
// by its own structure, and what a TIFF-based or ISO media file really is.
#include <cstdint>

#include "formats/bytesource.h"

// The end of a file of this type (a FileTypeId) by its structure, as far as the bytes at
// hand tell. Unknown for the types that have no structure here (sounds with their own
// rules, CRW, X3F, movies).
FileEnd FindStructuredEnd(int32_t type, const ByteSource& source);

// The end of a camera movie by its structure: kind 1 QuickTime and 3 MP4 (a chain of ISO
// boxes), 2 AVI (its RIFF size).
FileEnd FindMovieEnd(int32_t kind, const ByteSource& source);

// True for the types FindStructuredEnd knows.
bool HasStructuredEnd(int32_t type);

// True for the types whose files are TIFF inside (named by what their structure says).
bool IsTiffBased(int32_t type);

// The type a TIFF-based file's structure names (NEF, CR2, DNG, ...; TIF when nothing more
// is known); fallback when the bytes do not tell.
int32_t TiffBasedType(const ByteSource& source, int32_t fallback);

// The picture type of an ISO media file starting with these bytes (CR3 for brand "crx ",
// HEIC for the HEIF brands); 0 for anything else (an ordinary movie, no ftyp box).
int32_t IsoPictureType(const uint8_t* data, size_t size);
