#pragma once
// TIFF and the camera raws built on it (NEF, CR2, DNG, ARW/SR2, PEF, DCR, ORF, RW2): what
// kind of file the bytes are and where the file ends by its own structure.
//
// The end is the farthest byte that anything reachable from the header claims: every IFD
// table of the IFD0 chain, the SubIFDs, the Exif, GPS and Interop IFDs, the out-of-line
// value of every tag, the strips and tiles, the JPEG thumbnail, RW2's raw data and, inside
// a Nikon maker note, its preview IFD. Next-IFD offsets are followed along the IFD0 chain
// only (elsewhere they are 0 or left over). Data no tag points at (a trailer some program
// appended) is not part of the file as far as this code can tell.
//
// The walk is bounded whatever the bytes claim: each IFD is read once, at most 64 IFDs of
// at most 1000 entries, no value is believed to lie past 4 GiB (TIFF offsets are 32-bit),
// and nothing is allocated by a size the file states.
#include <cstdint>

#include "formats/bytesource.h"

struct TiffInfo {
    // FileTypeId: Tif, Nef, Cr2, Dng, Arw, Sr2, Pef, Dcr, Orf or Rw2; None when the bytes
    // are not a TIFF or its first IFD is broken. Provisional while End is NeedMore: the
    // tags that name the maker may still lie past the bytes at hand.
    int32_t Type = 0;
    FileEnd End;
};

// Reads the TIFF structure at offset 0 of src.
//
// End is Complete(extent) when every IFD and every offset or length array that decides the
// extent lies within src.Size() and so does the extent. It is NeedMore when some of them
// lie past the bytes at hand: Length is then the least length the structure is known to
// need (the extent so far, or the position of an unread table plus what of it is known).
// It is Unknown when the header or the first IFD is broken, or when a block whose length no
// tag gives (RW2 raw data or strips without byte counts, a Sony A100 raw block behind a
// SubIFD tag) comes after everything else, so the file's end is not in its structure; and
// when its strip and tile arrays together claim over 4 Mi elements, more than any real file.
//
// Naming rules, first match wins:
//   DNGVersion (0xC612) in any IFD of TIFF tags            -> Dng
//   header magic 0x4F52 "IIRO"/"MMOR" or 0x5352 "IIRS"    -> Orf
//   header magic 0x55 "IIU"                                -> Rw2
//   Make starting "Canon" and "CR\2\0" at offset 8         -> Cr2
//   Make "SONY" and the FileFormat tag (0xB000) of its maker note ("SONY DSC "/"SONY CAM ")
//     starting 1 (1.0.0.0) -> Sr2, starting 2 or more (ARW 1.0 and later) -> Arw
//   Make and raw sensor data in some IFD (Photometric CFA 32803 or LinearRaw 34892, or a
//   maker's raw Compression: 32767, 32769, 32770, 32867, 34713, 65000, 65535):
//     "NIKON" -> Nef; "SONY" -> Arw; "PENTAX", "RICOH", "Asahi" -> Pef;
//     "KODAK", "EASTMAN" -> Dcr; "OLYMPUS", "OM Digital" -> Orf
//     (Make compared from its start, without regard to case)
//   anything else                                          -> Tif
// A TIFF that only carries a camera's Make (a picture exported from a raw converter) has
// no raw sensor data and stays Tif.
TiffInfo ExamineTiff(const ByteSource& src);
