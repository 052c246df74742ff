// The FFmpeg half of the movie thumbnails, built as a module of its own that the program
// loads on the first movie (recovery/movieframe.cpp): FFmpeg and the hundred codec
// libraries behind it cost every start of px3 and the wizard some 25 ms of loading, and
// most runs never decode a movie.
#include "recovery/movieframe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTransform>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>


extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace {

using Clock = std::chrono::steady_clock;

std::string AvError(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// Damaged movies make FFmpeg's decoders talk on stderr for every broken slice; a
// thumbnail has nothing to tell the user there.
void QuietFfmpeg()
{
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

// The movie file as FFmpeg reads it: every byte that any demuxer reads (headers, a moov
// at the file's end, packets, a resync over damaged data) comes through here, so that no
// file makes us read more than MovieReadBytes of it or take longer than the time limit.
struct Source {
    int fd = -1;
    int64_t size = 0;
    int64_t bytesRead = 0;
    Clock::time_point deadline;

    ~Source()
    {
        if (fd >= 0)
            ::close(fd);
    }

    static int Read(void* opaque, uint8_t* buffer, int want)
    {
        auto* self = static_cast<Source*>(opaque);
        if (Clock::now() > self->deadline)
            return AVERROR_EXIT;
        const int64_t left = MovieReadBytes - self->bytesRead;
        if (left <= 0)
            return AVERROR_EOF;
        const size_t n = size_t(std::min<int64_t>(want, left));
        for (;;) {
            const ssize_t got = ::read(self->fd, buffer, n);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                return AVERROR(errno);
            if (got == 0)
                return AVERROR_EOF;
            self->bytesRead += got;
            return int(got);
        }
    }

    static int64_t Seek(void* opaque, int64_t offset, int whence)
    {
        auto* self = static_cast<Source*>(opaque);
        if (whence & AVSEEK_SIZE)
            return self->size;
        const off_t at = ::lseek(self->fd, off_t(offset), whence & ~AVSEEK_FORCE);
        return at < 0 ? AVERROR(errno) : int64_t(at);
    }
};

// Owners of FFmpeg's objects, so that every way out frees them.
struct Input {
    AVFormatContext* ctx = nullptr;
    AVIOContext* io = nullptr;
    ~Input()
    {
        avformat_close_input(&ctx);
        if (io) {
            av_freep(&io->buffer);
            avio_context_free(&io);
        }
    }
};
struct Decoder {
    AVCodecContext* ctx = nullptr;
    ~Decoder() { avcodec_free_context(&ctx); }
};
struct Packet {
    AVPacket* pkt = av_packet_alloc();
    ~Packet() { av_packet_free(&pkt); }
};
struct Frame {
    AVFrame* frame = av_frame_alloc();
    ~Frame() { av_frame_free(&frame); }
};

// Ends the demuxer's own loops (a probe, a resync) once the deadline passed.
int PastDeadline(void* opaque) { return Clock::now() > static_cast<Source*>(opaque)->deadline ? 1 : 0; }

// Degrees clockwise to turn the decoded picture to show it upright (0, 90, 180 or 270),
// from the stream's display matrix (phones record upright movies sideways).
int RotationOf(const AVStream* stream)
{
    const auto* matrix = reinterpret_cast<const int32_t*>(
        av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr));
    if (!matrix)
        return 0;
    const double counterClockwise = av_display_rotation_get(matrix);
    if (std::isnan(counterClockwise))
        return 0;
    const int quarter = int(std::lround(-counterClockwise / 90.0));
    return ((quarter % 4) + 4) % 4 * 90;
}

bool HasKnownVideo(const AVFormatContext* input)
{
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVCodecParameters* codec = input->streams[i]->codecpar;
        if (codec->codec_type == AVMEDIA_TYPE_VIDEO && codec->codec_id != AV_CODEC_ID_NONE && codec->width > 0
            && codec->height > 0)
            return true;
    }
    return false;
}

// The largest reduction (a power of two) that a decoder can apply while decoding (MJPEG's
// scaled IDCT, as cameras' AVI movies use) that still leaves at least the box.
int LowResFor(const AVCodec* codec, QSize coded, QSize box)
{
    int lowres = 0;
    while (lowres < codec->max_lowres && (coded.width() >> (lowres + 1)) >= box.width()
           && (coded.height() >> (lowres + 1)) >= box.height())
        ++lowres;
    return lowres;
}

// The decoded frame scaled to size, as a QImage::Format_RGB32 (native 0xffRRGGBB).
QImage Scale(const AVFrame* frame, QSize size)
{
    QImage picture(size, QImage::Format_RGB32);
    if (picture.isNull())
        return {};
    SwsContext* sws = sws_getContext(frame->width, frame->height, AVPixelFormat(frame->format), size.width(),
                                     size.height(), AV_PIX_FMT_RGB32, SWS_AREA, nullptr, nullptr, nullptr);
    if (!sws)
        return {};
    uint8_t* planes[4] = {picture.bits(), nullptr, nullptr, nullptr};
    const int strides[4] = {int(picture.bytesPerLine()), 0, 0, 0};
    const int rows = sws_scale(sws, frame->data, frame->linesize, 0, frame->height, planes, strides);
    sws_freeContext(sws);
    return rows > 0 ? picture : QImage();
}

// Reads packets of stream from the start until its decoder gives a frame, at most
// MoviePackets of them. A decoder that reorders pictures (H.264, HEVC) keeps a key frame
// until later frames push it out, and only key frames reach it here: so the decoder is
// drained after each key frame, which gives that frame at once instead of after the next
// key frame, seconds of movie later. False with error set when no frame came.
bool DecodeFirstFrame(AVFormatContext* input, int stream, AVCodecContext* decoder, AVFrame* frame,
                      std::string& error)
{
    Packet packet;
    if (!packet.pkt) {
        error = "out of memory";
        return false;
    }
    int packets = 0;
    for (; packets < MoviePackets; ++packets) {
        if (av_read_frame(input, packet.pkt) < 0)
            break;  // the end, a cut file, a bound: what the decoder holds is drained below
        if (packet.pkt->stream_index != stream) {
            av_packet_unref(packet.pkt);
            continue;
        }
        const bool key = packet.pkt->flags & AV_PKT_FLAG_KEY;
        const int sent = avcodec_send_packet(decoder, packet.pkt);
        av_packet_unref(packet.pkt);
        if (sent < 0 && sent != AVERROR(EAGAIN) && sent != AVERROR_INVALIDDATA)
            break;
        if (avcodec_receive_frame(decoder, frame) == 0)
            return true;
        if (key && sent >= 0) {
            avcodec_send_packet(decoder, nullptr);
            if (avcodec_receive_frame(decoder, frame) == 0)
                return true;
            // A key frame that did not decode (damaged): on to the next one.
            avcodec_flush_buffers(decoder);
        }
    }
    avcodec_send_packet(decoder, nullptr);
    if (avcodec_receive_frame(decoder, frame) == 0)
        return true;
    error = "no key frame in " + std::to_string(packets) + " packets";
    return false;
}

}  // namespace

namespace {

// FitSize is the loader's fit rule (recovery/cthumb.cpp), handed in: the module links no
// part of the program.
bool ReadFrame(const std::string& path, QSize box, MovieFrame& out, QSize (*FitSize)(QSize, QSize))
{
    out = {};
    QuietFfmpeg();
    Source source;
    source.deadline = Clock::now() + std::chrono::milliseconds(MovieTimeLimitMs);
    source.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (source.fd < 0 || ::fstat(source.fd, &st) != 0) {
        out.Error = std::strerror(errno);
        return false;
    }
    source.size = st.st_size;
    const auto report = [&](bool ok) {
        out.BytesRead = source.bytesRead;
        return ok;
    };

    // Reads of 64 KiB, twice FFmpeg's own file buffer: fewer calls, and a clip's header,
    // index and first key frame still come in a few of them.
    constexpr int kBuffer = 64 * 1024;
    Input input;
    auto* buffer = static_cast<uint8_t*>(av_malloc(kBuffer));
    input.io = buffer ? avio_alloc_context(buffer, kBuffer, 0, &source, Source::Read, nullptr, Source::Seek) : nullptr;
    input.ctx = input.io ? avformat_alloc_context() : nullptr;
    if (!input.ctx) {
        if (!input.io)
            av_free(buffer);
        out.Error = "out of memory";
        return false;
    }
    input.ctx->pb = input.io;
    input.ctx->flags |= AVFMT_FLAG_CUSTOM_IO;
    input.ctx->interrupt_callback = {PastDeadline, &source};
    AVDictionary* options = nullptr;
    av_dict_set_int(&options, "probesize", MovieProbeBytes, 0);
    av_dict_set_int(&options, "analyzeduration", AV_TIME_BASE, 0);
    int rc = avformat_open_input(&input.ctx, path.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (rc < 0) {
        out.Error = AvError(rc);  // avformat_open_input has freed the context, not our IO
        return report(false);
    }
    // A container with a header (MOV, MP4, AVI) names its video's codec and size before
    // any packet; FFmpeg's probe of the first packets, which decodes a frame itself and so
    // doubles the cost, is left for streams without one (MPEG-TS, raw streams).
    if (!HasKnownVideo(input.ctx)) {
        rc = avformat_find_stream_info(input.ctx, nullptr);
        if (rc < 0) {
            out.Error = AvError(rc);
            return report(false);
        }
    }
    const AVCodec* codec = nullptr;
    const int stream = av_find_best_stream(input.ctx, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (stream < 0 || !codec) {
        out.Error = stream == AVERROR_DECODER_NOT_FOUND ? "no decoder for its video" : "no video stream";
        return report(false);
    }
    const AVStream* video = input.ctx->streams[stream];
    const QSize coded(video->codecpar->width, video->codecpar->height);
    if (coded.isEmpty()) {
        out.Error = "no picture size";
        return report(false);
    }
    // Every other stream's packets are dropped by the demuxer rather than read for us.
    for (unsigned i = 0; i < input.ctx->nb_streams; ++i)
        if (int(i) != stream)
            input.ctx->streams[i]->discard = AVDISCARD_ALL;

    const int rotation = RotationOf(video);
    const bool sideways = rotation == 90 || rotation == 270;
    const AVRational sar = av_guess_sample_aspect_ratio(input.ctx, const_cast<AVStream*>(video), nullptr);
    QSize display = coded;
    if (sar.num > 0 && sar.den > 0 && sar.num != sar.den)
        display.setWidth(std::max(1, int(std::lround(double(coded.width()) * sar.num / sar.den))));
    // Fitted as it is decoded, turned after scaling.
    const QSize fitted = FitSize(display, sideways ? box.transposed() : box);
    if (fitted.isEmpty()) {
        out.Error = "empty box";
        return report(false);
    }

    Decoder decoder;
    decoder.ctx = avcodec_alloc_context3(codec);
    if (!decoder.ctx || avcodec_parameters_to_context(decoder.ctx, video->codecpar) < 0) {
        out.Error = "the decoder could not be set up";
        return report(false);
    }
    decoder.ctx->thread_count = 1;
    decoder.ctx->skip_frame = AVDISCARD_NONKEY;
    // The fitted size in coded pixels (a wide sample aspect stretches them).
    const QSize fittedCoded(int((int64_t(fitted.width()) * coded.width() + display.width() - 1) / display.width()),
                            fitted.height());
    decoder.ctx->lowres = LowResFor(codec, coded, fittedCoded);
    rc = avcodec_open2(decoder.ctx, codec, nullptr);
    if (rc < 0) {
        out.Error = AvError(rc);
        return report(false);
    }
    Frame frame;
    if (!frame.frame) {
        out.Error = "out of memory";
        return report(false);
    }
    if (!DecodeFirstFrame(input.ctx, stream, decoder.ctx, frame.frame, out.Error))
        return report(false);
    if (frame.frame->width <= 0 || frame.frame->height <= 0) {
        out.Error = "empty frame";
        return report(false);
    }
    QImage picture = Scale(frame.frame, fitted);
    if (picture.isNull()) {
        out.Error = "the frame could not be converted";
        return report(false);
    }
    if (rotation != 0)
        picture = picture.transformed(QTransform().rotate(rotation));
    out.Picture = picture;
    out.DisplaySize = sideways ? display.transposed() : display;
    return report(true);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) bool Px3ReadMovieFrame(const std::string* path, const QSize* box,
                                                                       MovieFrame* frame,
                                                                       QSize (*fit)(QSize, QSize))
{
    return ReadFrame(*path, *box, *frame, fit);
}
