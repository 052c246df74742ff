#pragma once
// When a picture or movie was taken, as its own metadata tells: the Exif dates of JPEG,
// TIFF-based raws, RAF, HEIC and CR3, the creation time of an ISO media movie's
// movie header, and the IDIT date of an AVI.
//
// Everything is read through the ByteSource, a few bytes at a time, and only what the way
// to the date needs (a movie's moov behind a large mdat is reached by seeking over the
// mdat). The walks are bounded whatever the bytes claim: a fixed number of boxes, chunks,
// segments and IFD entries, no size a file states is allocated, and no offset is followed
// out of the block that holds it. A date that is broken ("0000:00:00 00:00:00", a month
// 13, a 31 April) is no time. When an IFD or a date text on the way lies past the bytes at
// hand, the answer is 0: a file cut short gives its right time or none, never another.
#include <cstdint>

#include "formats/bytesource.h"

// The moment a picture was taken, in seconds since 1970-01-01 00:00 UTC (negative before
// 1970); 0 when its metadata does not tell. type is the FileTypeId the file was found as.
//
// The Exif dates, first that reads as a date wins:
//   DateTimeOriginal (0x9003) with OffsetTimeOriginal (0x9011),
//   DateTimeDigitized (0x9004) with OffsetTimeDigitized (0x9012),
//   DateTime (0x132) with OffsetTime (0x9010),
// each looked for in IFD0 and in the Exif IFD (0x8769). A date is "YYYY:MM:DD HH:MM:SS"
// ('-' is taken for the date's colons, 'T' for the space). With its offset ("+HH:MM" or
// "-HH:MM", at most 14 hours) the wall-clock time is turned into UTC; without one, or with
// a broken one, it is taken as local time of the machine's time zone (mktime with
// tm_isdst = -1), as photo managers do.
//
// Where the Exif is:
//   Jpg, Thm, Thm2, OrfPreview: the first APP1 "Exif\0" segment before the first scan
//     (an MPO or a motion photo: its first picture's);
//   Tif, Nef, Cr2, Dng, Arw, Sr2, Pef, Orf, Dcr, Rw2: the TIFF at offset 0 (byte order II
//     or MM, magic 42, ORF's "IIRO"/"IIRS"/"MMOR" and RW2's "IIU" as well);
//   Raf: the JPEG whose offset the RAF header holds (big-endian 32-bit at offset 84);
//   Heic: the item of type "Exif" (iinf) where iloc puts it, in the file or in idat;
//   Cr3: the TIFFs of the CMT1 (IFD0) and CMT2 (Exif IFD) boxes of Canon's uuid box in
//     moov.
// A HEIC or CR3 file without an Exif date gets MovieShotTime's answer. Any other type: 0.
int64_t ShotTime(int32_t type, const ByteSource& src);

// The moment a movie was taken, in seconds since 1970-01-01 00:00 UTC; 0 when it does not
// tell.
//  - ISO media and QuickTime (anything that is not an AVI): the top-level boxes are walked
//    by their sizes to moov, whose mvhd gives the creation time (32-bit in version 0,
//    64-bit in version 1, seconds since 1904-01-01 UTC). 0 when there is no mvhd, or its
//    creation time is 0 or not after 1970 (a camera that counts from 1970 instead is not
//    told apart from a broken clock).
//  - AVI ("RIFF" ... "AVI "): the IDIT chunk inside the hdrl LIST, a text like
//    "Mon Mar 03 10:20:30 2008" or "2008:03:03 10:20:30" ('-' or '/' in the date too),
//    taken as local time like an Exif date without offset.
int64_t MovieShotTime(const ByteSource& src);
