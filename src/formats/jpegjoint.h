#pragma once
// Whether a candidate piece continues a fragmented JPEG. A camera writes a picture into
// whatever clusters are free, so its entropy-coded data may lie in several pieces with
// other files' clusters between them. The carver puts the first piece (with the header)
// together with a candidate cluster and asks here whether the picture goes on in it.
//
// The answer comes from decoding across the joint with libjpeg. Random bytes, an erased
// cluster or another file's header soon make a bad Huffman code or a marker where none
// belongs. Another picture's entropy data under the same tables (a camera's standard
// ones) decodes without a single error for megabytes; what gives it away is the picture it
// makes, which does not fit the rows above the joint: its block averages jump there, and
// its MCUs cost a different number of bytes than those above them, while a picture's own
// neighbouring rows differ little in both.
#include "formats/bytesource.h"

#include <cstdint>

enum class JointVerdict {
    Continues,  // the bytes decode without error to their end and fit the picture
    Breaks,     // decoding goes wrong at or after the joint, or the decoded part does not fit
    Ends,       // the picture is complete (every scan decoded, EOI read) within the bytes
};

struct JpegJoint {
    JointVerdict Verdict = JointVerdict::Breaks;
    uint64_t EndAt = 0;    // Ends: the file's length (just past the EOI)
    uint64_t BreakAt = 0;  // Breaks: the offset where the data stops fitting (best estimate;
                           // the joint itself when the candidate does not fit from its start)
    double Misfit = 0;     // how badly the decoded candidate fits the picture above it: 0 when
                           // too little of it decoded to tell, above 1 it Breaks; lets a
                           // caller with several candidates that continue take the best
};

// src holds a JPEG's bytes as put together for a trial: [0, joint) are known to belong
// to the picture, from joint on lies a candidate piece (up to src.Size()). Decides
// whether the candidate continues the picture. Running out of bytes is no fault: a
// candidate that decodes well to its end and fits Continues. When the known part itself
// does not decode, the answer is Breaks with BreakAt before the joint. A joint in the first
// MCU row, or a candidate that decodes to fewer than a few MCUs, is judged by decoding alone.
//
// Decodes at 1/8 scale. A sequential picture with restart markers is decoded from the
// restart marker a few MCU rows before the joint (about 1 ms for 12 megapixels, the known
// part before it taken on trust); any other from its start: about 8 ms per MB before the
// joint for a sequential picture, 35 ms per MB for a progressive one.
JpegJoint CheckJpegJoint(const ByteSource& src, uint64_t joint);

// How far a carved JPEG is the picture's own data: src.Size() when it decodes to a complete
// picture or without fault to its end; else the cluster boundary (clusterSize: the card's
// cluster size; pieces of a file begin only at its multiples) where the decoded picture fits
// worst, or an erased cluster begins, or failing those where decoding first went wrong.
// Where decoding found no fault, only a clear misfit ends it early.
uint64_t JpegGoodPrefix(const ByteSource& src, uint32_t clusterSize);
