#pragma once
// Where a file of a simple format ends by its own structure. Each finder reads the file
// from offset 0 of the source, only as far as the structure leads, and answers:
//  - Complete(length) when the structure ends within the bytes known;
//  - NeedMore(least length) when it goes on past them (0 when it does not tell how far);
//  - Unknown when the bytes are not the format or break it.
// None allocates in proportion to a size the file claims, and every loop advances.
#include "formats/bytesource.h"

// PNG: the signature, then chunks (length, type of four letters, data, CRC) up to and
// including IEND. The first chunk must be IHDR.
FileEnd FindPngEnd(const ByteSource& src);

// GIF87a/GIF89a: the screen descriptor and its colour table, then extensions and images
// with their sub-blocks, up to the trailer byte. A file without an image is Unknown.
FileEnd FindGifEnd(const ByteSource& src);

// MPEG audio: an optional ID3v2 tag, then consecutive frame headers of the same version,
// layer and sampling rate; then an APE tag that has a header and an ID3v1 tag when
// present. Without an ID3v2 tag at least two frames are needed to believe it.
FileEnd FindMp3End(const ByteSource& src);

// AIFF and AIFF-C: the FORM chunk's size.
FileEnd FindAiffEnd(const ByteSource& src);

// Sun/NeXT audio (.snd): header size plus data size; an unknown data size is Unknown.
FileEnd FindAuEnd(const ByteSource& src);
