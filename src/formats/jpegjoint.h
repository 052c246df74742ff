#pragma once
// Whether a candidate piece continues a fragmented JPEG. A camera writes a picture into
// whatever clusters are free, so its entropy-coded data may lie in several pieces with
// other files' clusters between them. The carver puts the first piece (with the header)
// together with a candidate cluster and asks here whether the picture goes on in it.
//
// The answer comes from decoding across the joint with libjpeg: a stranger's bytes soon
// make a bad Huffman code or a marker where none belongs, and where they still decode
// (another picture's entropy data under the same tables decodes without a single error),
// the picture they make does not fit the rows above the joint: its block averages jump
// at the joint while the picture's own neighbouring blocks change little.
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
// candidate that decodes well to its end Continues. When the known part itself does not
// decode, the answer is Breaks with BreakAt before the joint.
//
// Costs one decode of src at 1/8 scale (about 2 ms per MB of JPEG data).
JpegJoint CheckJpegJoint(const ByteSource& src, uint64_t joint);

// How far a JPEG's data fits: the offset where decoding first went wrong or where the
// decoded picture first stops fitting at a cluster boundary (where a carve that ran on
// into a stranger's clusters left the picture), else src.Size(). clusterSize is the
// card's cluster size in bytes: pieces of a file begin only at its multiples.
uint64_t JpegGoodPrefix(const ByteSource& src, uint32_t clusterSize);
