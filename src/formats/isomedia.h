#pragma once
// ISO base media files (an "ftyp" box first): HEIC pictures, Canon CR3 raws, and the
// MP4/MOV movies that share their box structure.
#include <cstdint>

#include "formats/bytesource.h"

struct IsoMediaInfo {
    // FileTypeId::Cr3 for brand "crx "; FileTypeId::Heic for the HEIF brands "heic",
    // "heix", "heim", "heis", "hevc", "mif1" and "msf1". The major brand decides; when it
    // is none of these, a compatible brand "crx " or one of "heic", "heix", "heim",
    // "heis", "hevc" does ("mif1" and "msf1" alone do not: AVIF files list them too, and a
    // major brand "mif1" beside a compatible "avif" or "avis" is AVIF, not HEIC). 0 for
    // anything else, an ordinary movie included. Told from the ftyp box alone.
    int32_t Type = 0;
    // Where the file ends by its top-level boxes. The walk goes on while each box header
    // is plausible: a known top-level type (ftyp, moov, mdat, meta, uuid, free, skip,
    // wide, pnot, PICT, idat, iinf, iloc, pitm, mfra, moof, styp, sidx, ssix, prft, emsg,
    // pdin, meco, udta, jumb) and a size of at least 8 (or 16 for a 64-bit size). Complete
    // at the end of the last box whose successor is not such a header; NeedMore when a box
    // runs past the bytes at hand, or the bytes at hand stop inside what can still be a
    // box header; Unknown when the ftyp box is not there or is malformed, or a box of size
    // 0 (it runs to the end of the file, which nothing records) is met.
    FileEnd End;
};

IsoMediaInfo ExamineIsoMedia(const ByteSource& src);
