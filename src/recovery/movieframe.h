#pragma once
// The picture of a movie file for its thumbnail: its first key frame, decoded through
// FFmpeg (libavformat, libavcodec, libswscale) and scaled into a box.
//
// Bounded, as a carved movie may be 2 GB, cut or damaged: the container is probed on at
// most MovieProbeBytes, at most MovieReadBytes of the file are read in all (headers, an
// index at the file's end, packets, a search for the next packet through damaged data),
// at most MoviePackets packets are read from the start, and the whole attempt ends after
// MovieTimeLimitMs. Only key
// frames are decoded (a cut movie that starts inside a group of pictures shows its next
// whole picture, not a grey smear). A movie whose header cannot be read, that has no
// video stream, no decoder, or no key frame within the bounds gives no picture.
//
// The decoding lives in a module of its own (px3-movieframe.so, loaded on the first call)
// so that a run without movies does not load FFmpeg. Without the module every movie has
// no picture, and Error says why.
//
// Thread-safe: each call has its own demuxer and decoder, and decodes on the calling
// thread only (the thumbnail workers already run side by side).
#include <QImage>
#include <QSize>

#include <cstdint>
#include <string>

constexpr int MovieProbeBytes = 1024 * 1024;
// A long clip's index (moov) is a few MB, a 4K camera's key frame 1 to 3 MB.
constexpr int MovieReadBytes = 32 * 1024 * 1024;
constexpr int MoviePackets = 600;                 // ten seconds of 60 fps video
constexpr int MovieTimeLimitMs = 5000;

struct MovieFrame {
    QImage Picture;     // QImage::Format_RGB32, fitted into the box (never enlarged)
    QSize DisplaySize;  // the movie's picture as shown: sample aspect and rotation applied
    std::string Error;  // why there is no picture
    int64_t BytesRead = 0;  // of the file, in all
};

// The first key frame of the movie at path, fitted into box (in pixels). False, with
// frame.Error telling why, when there is none.
bool ReadMovieFrame(const std::string& path, QSize box, MovieFrame& frame);
