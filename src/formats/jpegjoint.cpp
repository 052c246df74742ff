#include "formats/jpegjoint.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

// The entropy decoder's interface (jpegint.h, installed with libjpeg-turbo's headers) lets
// the decode be watched MCU by MCU: where each MCU ends in the file and what its blocks
// hold. Its layout has stayed the same since libjpeg 6b.
#define JPEG_INTERNALS
#include <jpeglib.h>
#include <jerror.h>

namespace {

// Bytes handed to libjpeg per read: big enough that its fast Huffman path (which wants
// 512 bytes per block of an MCU in the buffer) runs nearly always.
constexpr size_t kChunk = 64 * 1024;
// The largest picture whose DC values are kept: 268 megapixels, beyond any camera's JPEG
// (4 million luma blocks, 16 MB of DC values).
constexpr uint64_t kMaxPixels = uint64_t(1) << 28;
// libjpeg's memory for one decode: a progressive picture keeps all its coefficients, 300 MB
// for 100 megapixels. A made-up size in a carved header fails cleanly instead of taking
// whatever it asks for.
constexpr long kMaxDecoderMemory = 512L * 1024 * 1024;

// ---- what a decode sees -----------------------------------------------------------------

// One component's DC values (dequantised, eight times the block's mean level) from the
// first scan that brings them; rows of blocks, the dummy blocks at the right and bottom
// edge of an interleaved scan included.
struct DcGrid {
    int Width = 0;
    int Height = 0;
    std::vector<int32_t> Dc;
    int32_t& At(int row, int col) { return Dc[static_cast<size_t>(row) * Width + col]; }
    int32_t At(int row, int col) const { return Dc[static_cast<size_t>(row) * Width + col]; }
};

struct ScanComponent {
    int Index = 0;      // into the frame's components
    int McuWidth = 1;   // blocks of the component per MCU across
    int McuHeight = 1;  // and down
};

// One scan as decoded: per MCU, in decode order, the file offset just past it and how
// busy it was (the logarithm of its bytes or of the coefficients it set, see RecordMcu).
struct ScanMap {
    std::vector<ScanComponent> Components;
    int PerRow = 1;             // MCUs per MCU row
    int Rows = 1;               // MCU rows
    bool HasDc = false;         // the first scan with these components' DC values
    bool MeasureCost = false;   // Activity tells the bytes per MCU (a sequential scan)
    bool MeasureCoefs = false;  // Activity tells the coefficients set (a progressive AC scan)
    uint64_t Start = 0;         // file offset of the scan's first entropy-coded byte
    std::vector<uint64_t> End;
    std::vector<float> Activity;
};

enum class Outcome {
    RanOut,    // every byte decoded, the picture wants more
    Corrupt,   // libjpeg found the data wrong; StopAt is about where (see Stop)
    Complete,  // the last scan decoded and the EOI read; StopAt is the file's length
};

struct Session {
    jpeg_decompress_struct Info{};
    jpeg_error_mgr Errors{};
    jpeg_source_mgr Source{};
    std::jmp_buf Jump;

    const ByteSource* Bytes = nullptr;
    uint64_t Size = 0;
    uint64_t BufferEnd = 0;  // offset in what was handed over just past its end
    bool RanOut = false;     // the source is empty: a made-up EOI was handed over
    std::unique_ptr<uint8_t[]> Buffer{new uint8_t[kChunk]};

    // Decoding from a restart marker (see RestartPoint): this header is handed over in
    // place of the file's, then the file's data from DataFrom on, which begins the
    // picture's MCU FirstMcu. Positions are told in the file's offsets all the same.
    const std::vector<uint8_t>* Header = nullptr;
    uint64_t DataFrom = 0;
    uint32_t FirstMcu = 0;
    uint32_t TotalMcus = 0;
    int McuRows = 0;
    int NextRestart = 0;

    Outcome Result = Outcome::RanOut;
    uint64_t StopAt = 0;
    uint64_t LongestMcu = 0;  // bytes of the longest MCU decoded

    // The watch on the entropy decoder.
    void (*OriginalStartInputPass)(j_decompress_ptr) = nullptr;
    void (*OriginalStartPass)(j_decompress_ptr) = nullptr;
    boolean (*OriginalDecodeMcu)(j_decompress_ptr, JBLOCKROW*) = nullptr;
    std::vector<DcGrid> Dc;
    std::vector<bool> DcSeen;
    std::vector<ScanMap> Scans;

    // The file offset of an offset in what was handed over.
    uint64_t InFile(uint64_t handed) const
    {
        return Header && handed >= Header->size() ? handed - Header->size() + DataFrom : handed;
    }
    uint64_t Position() const
    {
        if (RanOut)
            return Size;
        return std::min(InFile(BufferEnd - Source.bytes_in_buffer), Size);
    }
};

Session* SessionOf(j_decompress_ptr info) { return static_cast<Session*>(info->client_data); }
Session* SessionOf(j_common_ptr info) { return static_cast<Session*>(info->client_data); }

// ---- source manager over the ByteSource --------------------------------------------------

void InitSource(j_decompress_ptr) {}
void TermSource(j_decompress_ptr) {}

boolean FillInput(j_decompress_ptr info)
{
    Session* s = SessionOf(info);
    size_t n = 0;
    if (!s->RanOut) {
        if (s->Header && s->BufferEnd < s->Header->size()) {
            n = std::min<size_t>(kChunk, s->Header->size() - s->BufferEnd);
            std::memcpy(s->Buffer.get(), s->Header->data() + s->BufferEnd, n);
        } else if (s->InFile(s->BufferEnd) < s->Size) {
            n = s->Bytes->Read(s->InFile(s->BufferEnd), s->Buffer.get(), kChunk);
        }
    }
    if (n == 0) {
        // The end of the known bytes: an EOI lets libjpeg stop where the data stops; the
        // warning it gives on meeting it is told apart by RanOut.
        s->RanOut = true;
        s->Buffer[0] = 0xFF;
        s->Buffer[1] = JPEG_EOI;
        n = 2;
    } else {
        s->BufferEnd += n;
    }
    info->src->next_input_byte = s->Buffer.get();
    info->src->bytes_in_buffer = n;
    return TRUE;
}

void SkipInput(j_decompress_ptr info, long count)
{
    if (count <= 0)
        return;
    Session* s = SessionOf(info);
    const size_t skip = static_cast<size_t>(count);
    if (skip <= info->src->bytes_in_buffer) {
        info->src->next_input_byte += skip;
        info->src->bytes_in_buffer -= skip;
        return;
    }
    if (!s->RanOut)
        s->BufferEnd += skip - info->src->bytes_in_buffer;
    info->src->bytes_in_buffer = 0;
}

// ---- error manager --------------------------------------------------------------------

// The warnings that mean the entropy-coded data or the markers around it are wrong. The
// other warnings concern header details a camera's file may well have and are let pass.
bool IsCorruption(int code)
{
    switch (code) {
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_ARITH_BAD_CODE:
    case JWRN_MUST_RESYNC:
    case JWRN_EXTRANEOUS_DATA:
    case JWRN_JPEG_EOF:
    case JWRN_BOGUS_PROGRESSION:
        return true;
    default:
        return false;
    }
}

// Garbage bytes before a marker that are let pass: a few bytes of padding before the EOI
// are seen in files that are otherwise sound.
constexpr unsigned kHarmlessGarbage = 16;

[[noreturn]] void Stop(j_common_ptr info)
{
    Session* s = SessionOf(info);
    auto* d = reinterpret_cast<j_decompress_ptr>(info);
    if (info->err->msg_code == JWRN_EXTRANEOUS_DATA) {
        // libjpeg looked for a marker (a restart marker or the end of the scan) and skipped
        // bytes that were none: the data went wrong where they began, even when the skip
        // ran on to the end of the bytes.
        const uint64_t markerEnd = s->RanOut ? s->Size : s->Position();
        const uint64_t skipped = d->marker->discarded_bytes + (s->RanOut ? 0u : 2u);
        s->Result = Outcome::Corrupt;
        s->StopAt = markerEnd - std::min(markerEnd, skipped);
    } else {
        // With the bytes run out the fault is the made-up EOI's (or lies in the last few
        // bytes libjpeg's bit buffer read ahead). Otherwise libjpeg moves the source on
        // only after a whole MCU, so this is where the MCU it failed in began.
        s->Result = s->RanOut ? Outcome::RanOut : Outcome::Corrupt;
        s->StopAt = s->Position();
        if (info->err->msg_code == JWRN_HIT_MARKER && !s->RanOut && s->Header && !s->Scans.empty() &&
            s->Scans.back().End.size() >= s->TotalMcus && d->unread_marker == JPEG_EOI) {
            // Decoding from a restart marker, the frame's height was rounded up to whole MCU
            // rows: the picture's last MCU is decoded and its EOI follows, within the bytes
            // the bit buffer may hold (libjpeg may have read the marker with the last MCU).
            // In the data FF is followed by 00 only, so the first FF D9 is the EOI.
            uint8_t bytes[32];
            const uint64_t from = s->StopAt - std::min<uint64_t>(s->StopAt, 16);
            const size_t n = s->Bytes->Read(from, bytes, sizeof bytes);
            for (size_t i = 0; i + 1 < n; ++i) {
                if (bytes[i] == 0xFF && bytes[i + 1] == JPEG_EOI) {
                    s->Result = Outcome::Complete;
                    s->StopAt = from + i + 2;
                    break;
                }
            }
        }
    }
    std::longjmp(s->Jump, 1);
}

void ErrorExit(j_common_ptr info) { Stop(info); }

void EmitMessage(j_common_ptr info, int level)
{
    if (level >= 0 || !IsCorruption(info->err->msg_code))
        return;
    // Garbage between the header's segments is no fault of the picture's data; a little
    // before a marker after the data neither.
    if (info->err->msg_code == JWRN_EXTRANEOUS_DATA &&
        (SessionOf(info)->Scans.empty() ||
         reinterpret_cast<j_decompress_ptr>(info)->marker->discarded_bytes <= kHarmlessGarbage))
        return;
    Stop(info);
}

void OutputMessage(j_common_ptr) {}

// ---- the watch on the entropy decoder --------------------------------------------------

boolean WatchedDecodeMcu(j_decompress_ptr info, JBLOCKROW* blocks);

// Called at the start of every scan, after the entropy decoder set itself up for it.
void OnScanStart(j_decompress_ptr info)
{
    Session* s = SessionOf(info);
    if (info->entropy->decode_mcu != WatchedDecodeMcu) {
        s->OriginalDecodeMcu = info->entropy->decode_mcu;
        info->entropy->decode_mcu = WatchedDecodeMcu;
    }
    ScanMap& scan = s->Scans.emplace_back();
    scan.Start = s->Position();
    const bool single = info->comps_in_scan == 1;
    for (int i = 0; i < info->comps_in_scan; ++i) {
        const jpeg_component_info* comp = info->cur_comp_info[i];
        scan.Components.push_back({comp->component_index, single ? 1 : comp->MCU_width,
                                   single ? 1 : comp->MCU_height});
        if (info->Ss == 0 && info->Ah == 0 && !s->DcSeen[static_cast<size_t>(comp->component_index)]) {
            s->DcSeen[static_cast<size_t>(comp->component_index)] = true;
            scan.HasDc = true;
        }
    }
    scan.PerRow = single ? static_cast<int>(info->cur_comp_info[0]->width_in_blocks)
                         : static_cast<int>(info->MCUs_per_row);
    scan.Rows = static_cast<int>(info->MCU_rows_in_scan);
    scan.MeasureCost = info->Ss == 0 && info->Se == DCTSIZE2 - 1;
    scan.MeasureCoefs = info->Ss > 0;
    if (s->Header) {
        // The MCUs before the restart marker are not decoded; they end where it does.
        scan.End.assign(s->FirstMcu, scan.Start);
        scan.Activity.assign(s->FirstMcu, 0.0f);
        scan.Rows = s->McuRows;
    }
}

void WatchedStartPass(j_decompress_ptr info)
{
    Session* s = SessionOf(info);
    s->OriginalStartPass(info);
    OnScanStart(info);
}

void WatchedStartInputPass(j_decompress_ptr info)
{
    Session* s = SessionOf(info);
    s->OriginalStartInputPass(info);
    // The entropy decoder exists now; later scans start through its start_pass alone.
    if (info->entropy->start_pass != WatchedStartPass) {
        s->OriginalStartPass = info->entropy->start_pass;
        info->entropy->start_pass = WatchedStartPass;
    }
    OnScanStart(info);
}

void RecordMcu(Session* s, j_decompress_ptr info, JBLOCKROW* blocks)
{
    ScanMap& scan = s->Scans.back();
    const uint64_t end = s->Position();
    const uint64_t begin = scan.End.empty() ? scan.Start : scan.End.back();
    s->LongestMcu = std::max(s->LongestMcu, end - std::min(end, begin));
    const int mcu = static_cast<int>(scan.End.size());
    float activity = 0;
    if (scan.MeasureCost) {
        // Bytes spent on the MCU; the 4 keeps MCUs of a byte or two from weighing much.
        activity = std::log(4.0f + static_cast<float>(end - std::min(end, begin)));
    } else if (scan.MeasureCoefs) {
        // Coefficients this scan made nonzero: all of its band in a first scan, those of
        // magnitude 1 << Al (the ones it adds) in a refinement scan.
        const JCOEF* coef = blocks[0][0];
        const int added = 1 << info->Al;
        int count = 0;
        for (int k = info->Ss; k <= info->Se; ++k) {
            const int v = coef[jpeg_natural_order[k]];
            count += info->Ah == 0 ? v != 0 : (v == added || v == -added);
        }
        activity = std::log(1.0f + static_cast<float>(count));
    }
    scan.End.push_back(end);
    scan.Activity.push_back(activity);
    if (!scan.HasDc)
        return;
    const int mcuRow = mcu / scan.PerRow;
    const int mcuCol = mcu % scan.PerRow;
    int blkn = 0;
    for (const ScanComponent& sc : scan.Components) {
        DcGrid& grid = s->Dc[static_cast<size_t>(sc.Index)];
        const jpeg_component_info& comp = info->comp_info[sc.Index];
        const int q = comp.quant_table ? comp.quant_table->quantval[0] : 1;
        for (int y = 0; y < sc.McuHeight; ++y) {
            for (int x = 0; x < sc.McuWidth; ++x, ++blkn) {
                const int row = mcuRow * sc.McuHeight + y;
                const int col = mcuCol * sc.McuWidth + x;
                if (row < grid.Height && col < grid.Width)
                    grid.At(row, col) = blocks[blkn][0][0] * q;
            }
        }
    }
}

boolean WatchedDecodeMcu(j_decompress_ptr info, JBLOCKROW* blocks)
{
    Session* s = SessionOf(info);
    const boolean ok = s->OriginalDecodeMcu(info, blocks);
    if (ok)
        RecordMcu(s, info, blocks);
    return ok;
}

// Sizes the DC grids once the frame header is known. A header of a size no camera makes
// (carved bytes may claim anything) gets none, and its joints are judged by decoding alone.
void PrepareGrids(Session* s)
{
    jpeg_decompress_struct& info = s->Info;
    const size_t count = static_cast<size_t>(info.num_components);
    s->Dc.assign(count, {});
    s->DcSeen.assign(count, false);
    if (static_cast<uint64_t>(info.image_width) * info.image_height > kMaxPixels) {
        s->DcSeen.assign(count, true);  // no scan records DC values
        return;
    }
    const long mcuCols = static_cast<long>((info.image_width + 8 * info.max_h_samp_factor - 1) /
                                           (8 * info.max_h_samp_factor));
    // Decoding from a restart marker the frame's height is the rest's; the grids are the
    // whole picture's.
    const long mcuRows = s->Header ? s->McuRows
                                   : static_cast<long>((info.image_height + 8 * info.max_v_samp_factor - 1) /
                                                       (8 * info.max_v_samp_factor));
    for (size_t ci = 0; ci < count; ++ci) {
        const jpeg_component_info& comp = info.comp_info[ci];
        DcGrid& grid = s->Dc[ci];
        if (count == 1) {
            grid.Width = static_cast<int>(comp.width_in_blocks);
            grid.Height = s->Header ? s->McuRows : static_cast<int>(comp.height_in_blocks);
        } else {
            grid.Width = static_cast<int>(mcuCols * comp.h_samp_factor);
            grid.Height = static_cast<int>(mcuRows * comp.v_samp_factor);
        }
        grid.Dc.assign(static_cast<size_t>(grid.Width) * static_cast<size_t>(grid.Height), 0);
    }
}

// Decodes the session's bytes as far as they go; returns with Result and StopAt set. Holds
// no C++ object with a destructor, as libjpeg leaves it by longjmp.
void Decode(Session* s)
{
    jpeg_decompress_struct* info = &s->Info;
    if (setjmp(s->Jump))
        return;
    jpeg_read_header(info, TRUE);
    if (s->Header)
        info->marker->next_restart_num = s->NextRestart;
    PrepareGrids(s);
    // Cheapest output: one pixel per block, which needs no AC coefficient kept.
    info->scale_num = 1;
    info->scale_denom = 8;
    info->dct_method = JDCT_IFAST;
    info->do_fancy_upsampling = FALSE;
    info->do_block_smoothing = FALSE;
    info->two_pass_quantize = FALSE;
    info->dither_mode = JDITHER_NONE;
    if (info->jpeg_color_space == JCS_YCbCr)
        info->out_color_space = JCS_YCbCr;
    const bool multiScan = jpeg_has_multiple_scans(info);
    info->buffered_image = multiScan ? TRUE : FALSE;

    s->OriginalStartInputPass = info->inputctl->start_input_pass;
    info->inputctl->start_input_pass = WatchedStartInputPass;
    jpeg_start_decompress(info);

    if (multiScan) {
        // Every scan into the coefficient buffer, so that a wrong code in any scan is seen;
        // no output pass is needed.
        for (;;) {
            const int status = jpeg_consume_input(info);
            if (status == JPEG_REACHED_EOI || status == JPEG_SUSPENDED)
                break;
        }
    } else {
        const JDIMENSION stride = info->output_width * static_cast<JDIMENSION>(info->output_components);
        JSAMPARRAY rows = (*info->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(info), JPOOL_IMAGE,
                                                     stride, static_cast<JDIMENSION>(info->rec_outbuf_height));
        while (info->output_scanline < info->output_height)
            jpeg_read_scanlines(info, rows, static_cast<JDIMENSION>(info->rec_outbuf_height));
        jpeg_finish_decompress(info);
    }
    if (s->RanOut) {
        // The EOI libjpeg read was the made-up one: the picture wants its EOI still.
        s->Result = Outcome::RanOut;
        s->StopAt = s->Size;
    } else {
        s->Result = Outcome::Complete;
        s->StopAt = s->Position();
    }
}

void RunDecode(Session& s, const ByteSource& src)
{
    s.Bytes = &src;
    s.Size = src.Size();
    s.Info.err = jpeg_std_error(&s.Errors);
    s.Errors.error_exit = ErrorExit;
    s.Errors.emit_message = EmitMessage;
    s.Errors.output_message = OutputMessage;
    jpeg_create_decompress(&s.Info);
    s.Info.mem->max_memory_to_use = kMaxDecoderMemory;
    s.Info.client_data = &s;
    s.Source.init_source = InitSource;
    s.Source.fill_input_buffer = FillInput;
    s.Source.skip_input_data = SkipInput;
    s.Source.resync_to_restart = jpeg_resync_to_restart;
    s.Source.term_source = TermSource;
    s.Info.src = &s.Source;
    Decode(&s);
    jpeg_destroy_decompress(&s.Info);
}

// ---- does the decoded candidate fit the picture? ---------------------------------------
//
// The thresholds below were measured on 12-megapixel pictures (plasma clouds, noise, a
// photo enlarged, flat shapes with sensor noise, granite), 4:2:0 and 4:2:2, standard and
// optimised tables, with and without restart markers, progressive, cut at 4 KiB and 32 KiB
// cluster boundaries and continued by their own next cluster or by a cluster of another of
// these pictures. They reject about 2 true continuations in 1000 (all at a horizontal edge
// on the joint's row); of the strangers that decode without error 2 to 6 in 100 still pass
// (up to 10 in progressive pictures).

// DC levels are compared in pixel levels (a DC value is eight times the block's mean), with
// this much added to both sides of a ratio so that flat pictures do not make noise of a
// level or two look like a jump.
constexpr double kLevelFloor = 0.5;
// The DC seam score (log of the jump across the joint over the picture's own row-to-row
// change, plus half the log of the change of texture) above which the candidate does not
// fit. True continuations reach it only at a sharp horizontal edge lying exactly on the
// joint's block row (99.5% of them stayed below 1.0); half of the strangers score above 2.7.
constexpr double kDcSeamLimit = 1.5;
// How much more the cost in bytes of the MCUs below the joint differs from that of the MCUs
// above them than it does between the picture's own rows (99.5% of true continuations
// below 1.6; half of the strangers above 3.5).
constexpr double kCostLimit = 3.0;
// Both seams half way to their limits together: the sum of the two parts above which the
// candidate does not fit.
constexpr double kCombinedLimit = 1.3;
// The same for the count of coefficients set per block in a progressive AC scan, which
// follows the picture's texture more closely: true continuations reached 1.2 at most.
constexpr double kCoefLimit = 1.5;
// The part of the candidate's luma blocks that repeat their left neighbour's DC, beyond the
// part among the rows above: under standard tables zeros decode as one flat level.
constexpr double kFlatLimit = 0.5;
// Fewer pairs than these across the joint tell nothing.
constexpr int kMinDcPairs = 16;
constexpr int kMinActivityPairs = 8;
// A candidate starting with this many equal bytes 00 or FF is an erased cluster. Under a
// camera's standard tables entropy-coded data never holds such a run (the end of every luma
// block is coded with 1 bits; FF is always followed by 00); under optimised tables only a
// large area of one flat level could.
constexpr size_t kUniformRun = 512;
// JpegGoodPrefix judges every cluster boundary of a picture, hundreds of them. Where nothing
// else says the picture ended, it takes only a misfit no boundary of a whole picture reached
// (at most 2.8, at horizontal edges of drawn shapes; 1.4 in the other pictures).
constexpr double kPrefixMisfit = 3.0;

// The misfit of a candidate that is an erased cluster, or decodes as one.
constexpr double kErased = 100;

struct Mean {
    double Sum = 0;
    int Count = 0;
    void Add(double v)
    {
        Sum += v;
        ++Count;
    }
    double Value() const { return Count ? Sum / Count : 0; }
};

// Where scan MCU m's blocks of a component lie in its DC grid.
struct McuPlace {
    int Row;
    int Col;
};
McuPlace PlaceOf(const ScanMap& scan, int mcu) { return {mcu / scan.PerRow, mcu % scan.PerRow}; }

// The DC seam of one scan's MCUs [first, last) against the MCUs before first: returns the
// score (0 when too little was decoded to tell) and whether the candidate is flat.
struct DcVerdict {
    double Score = 0;
    bool Flat = false;
};

DcVerdict MeasureDcSeam(const Session& s, const ScanMap& scan, int first, int last)
{
    Mean across, above, aboveSameRow, candidateH, prefixH;
    int flatCandidate = 0, flatCandidateN = 0, flatPrefix = 0, flatPrefixN = 0;
    const int refFirst = std::max(0, first - 2 * scan.PerRow);
    const int jointRow = first / scan.PerRow;
    for (int m = refFirst; m < last; ++m) {
        const bool candidate = m >= first;
        const McuPlace mcu = PlaceOf(scan, m);
        for (size_t ci = 0; ci < scan.Components.size(); ++ci) {
            const ScanComponent& sc = scan.Components[ci];
            const DcGrid& grid = s.Dc[static_cast<size_t>(sc.Index)];
            const bool luma = sc.Index == 0;
            for (int y = 0; y < sc.McuHeight; ++y) {
                for (int x = 0; x < sc.McuWidth; ++x) {
                    const int row = mcu.Row * sc.McuHeight + y;
                    const int col = mcu.Col * sc.McuWidth + x;
                    if (row >= grid.Height || col >= grid.Width)
                        continue;
                    const int32_t dc = grid.At(row, col);
                    // Across the MCU's top edge: the block above belongs to the MCU above.
                    if (y == 0 && row > 0) {
                        const double d = std::abs(dc - grid.At(row - 1, col)) / 8.0;
                        if (candidate) {
                            if (m - scan.PerRow < first)
                                across.Add(d);
                        } else {
                            above.Add(d);
                            if (mcu.Row == jointRow)
                                aboveSameRow.Add(d);
                        }
                    }
                    // Across the MCU's left edge.
                    if (x == 0 && col > 0) {
                        const double d = std::abs(dc - grid.At(row, col - 1)) / 8.0;
                        (candidate ? candidateH : prefixH).Add(d);
                    }
                    if (luma && col > 0) {
                        const bool same = dc == grid.At(row, col - 1);
                        if (candidate) {
                            flatCandidate += same;
                            ++flatCandidateN;
                        } else {
                            flatPrefix += same;
                            ++flatPrefixN;
                        }
                    }
                }
            }
        }
    }
    DcVerdict verdict;
    if (across.Count < kMinDcPairs || above.Count == 0 || prefixH.Count == 0 || candidateH.Count == 0)
        return verdict;
    verdict.Flat = flatCandidateN >= kMinDcPairs && flatPrefixN > 0 &&
                   double(flatCandidate) / flatCandidateN - double(flatPrefix) / flatPrefixN > kFlatLimit;
    // A horizontal edge on the joint's block row shows in the picture's own part of that
    // row too, left of the joint: it counts as the picture's own change.
    double reference = above.Value();
    if (aboveSameRow.Count >= kMinDcPairs)
        reference = std::max(reference, aboveSameRow.Value());
    const double jump = std::log((across.Value() + kLevelFloor) / (reference + kLevelFloor));
    const double texture = std::log((candidateH.Value() + kLevelFloor) / (prefixH.Value() + kLevelFloor));
    verdict.Score = jump + 0.5 * std::abs(texture);
    return verdict;
}

// The busyness seam of one scan's MCUs (first, last): how much more an MCU's activity
// differs from the MCU above it across the joint than among the rows above. 0 when too
// little was decoded to tell.
double MeasureActivitySeam(const ScanMap& scan, int first, int last)
{
    Mean across, above;
    const int refFirst = std::max(scan.PerRow, first - 2 * scan.PerRow);
    // The MCU holding the joint is left out: its bytes are partly the picture's. So are the
    // last MCU row and column, which may be partly padding, cheaper than the rest.
    last = std::min(last, (scan.Rows - 1) * scan.PerRow);
    for (int m = refFirst; m < last; ++m) {
        if (m == first || m % scan.PerRow == scan.PerRow - 1)
            continue;
        const double d = std::abs(scan.Activity[static_cast<size_t>(m)] -
                                  scan.Activity[static_cast<size_t>(m - scan.PerRow)]);
        if (m < first)
            above.Add(d);
        else if (m - scan.PerRow < first)
            across.Add(d);
    }
    if (across.Count < kMinActivityPairs || above.Count == 0)
        return 0;
    // Activities are logarithms: vertically neighbouring MCUs of a picture differ by about
    // 7% in cost. 0.03 keeps a perfectly even picture from making any difference look huge.
    return across.Value() / std::max(above.Value(), 0.03);
}

// How badly the data decoded from [joint, windowEnd) fits the picture decoded before it:
// above 1 it does not fit; 0 when nothing could be measured.
double Misfit(const Session& s, uint64_t joint, uint64_t windowEnd)
{
    double misfit = 0;  // the largest over the scans the candidate lies in
    for (const ScanMap& scan : s.Scans) {
        if (scan.End.empty() || scan.End.back() <= joint || scan.Start >= joint)
            continue;
        const int first = static_cast<int>(std::upper_bound(scan.End.begin(), scan.End.end(), joint) -
                                           scan.End.begin());
        const int last = static_cast<int>(std::upper_bound(scan.End.begin(), scan.End.end(), windowEnd) -
                                          scan.End.begin());
        if (first < scan.PerRow)
            continue;  // no MCU row above to compare with
        double dcPart = 0, activityPart = 0;
        if (scan.HasDc) {
            const DcVerdict dc = MeasureDcSeam(s, scan, first, last);
            if (dc.Flat)
                return kErased;
            dcPart = std::max(0.0, dc.Score) / kDcSeamLimit;
        }
        if (scan.MeasureCost || scan.MeasureCoefs)
            activityPart = MeasureActivitySeam(scan, first, last) / (scan.MeasureCost ? kCostLimit : kCoefLimit);
        misfit = std::max({misfit, dcPart, activityPart, (dcPart + activityPart) / kCombinedLimit});
    }
    return misfit;
}

// True when the bytes at offset begin with a run of kUniformRun equal bytes 00 or FF (or are
// such bytes to the end, when fewer).
bool ErasedAt(const ByteSource& src, uint64_t offset)
{
    uint8_t bytes[kUniformRun];
    const size_t n = src.Read(offset, bytes, sizeof bytes);
    if (n < 2 || (bytes[0] != 0x00 && bytes[0] != 0xFF))
        return false;
    return std::all_of(bytes, bytes + n, [&](uint8_t b) { return b == bytes[0]; });
}

// The bytes where the fault libjpeg stopped at may lie: from a marker's start just before
// StopAt (the marker reader stops past it) to the end of the longest MCU starting there (the
// entropy decoder stops at the start of the MCU it failed in).
uint64_t FaultFrom(const Session& s) { return s.StopAt - std::min<uint64_t>(s.StopAt, 10); }
uint64_t FaultTo(const Session& s) { return s.StopAt + s.LongestMcu + 16; }
bool FaultReaches(const Session& s, uint64_t offset) { return FaultTo(s) >= offset; }

// ---- decoding from a restart marker -----------------------------------------------------
//
// A sequential picture with restart markers can be decoded from any of them: the DC
// predictions start over there and the markers count the MCUs. Checking a joint then costs
// the few MCU rows before it instead of all the picture's data before it.

// MCU rows decoded before the joint's restart interval: the seam tests compare the rows
// below the joint with the two above it, and each of those with the one above.
constexpr int kRowsBefore = 3;
// Data before the restart marker that is not worth skipping: decoding it costs little.
constexpr uint64_t kWorthSkipping = 256 * 1024;

struct RestartPoint {
    std::vector<uint8_t> Header;  // the file's up to its scan's data, the height made the rest's
    uint64_t DataFrom = 0;        // just past the restart marker
    uint32_t FirstMcu = 0;        // the MCU that begins there
    uint32_t TotalMcus = 0;
    int PerRow = 0;
    int McuRows = 0;
    int NextRestart = 0;          // the number of the next restart marker
};

uint32_t ReadBe16(const uint8_t* p) { return (uint32_t(p[0]) << 8) | p[1]; }

// Finds the restart marker to decode from for a joint, when the picture is sequential with
// restart markers and there is one far enough before the joint to be worth it.
bool FindRestartPoint(const ByteSource& src, uint64_t joint, RestartPoint& point)
{
    // The header: the frame's size and sampling, the restart interval, the scan's start.
    uint8_t seg[4];
    if (!src.ReadAll(0, seg, 2) || seg[0] != 0xFF || seg[1] != 0xD8)  // SOI
        return false;
    uint64_t at = 2, sofAt = 0, dataStart = 0;
    uint32_t width = 0, height = 0, interval = 0;
    int components = 0, maxH = 1, maxV = 1;
    while (dataStart == 0) {
        if (at >= joint || !src.ReadAll(at, seg, 4) || seg[0] != 0xFF)
            return false;
        if (seg[1] == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        const uint32_t length = ReadBe16(seg + 2);
        if (length < 2)
            return false;
        switch (seg[1]) {
        case 0xC0:  // baseline and extended sequential, Huffman-coded
        case 0xC1: {
            uint8_t frame[6 + 3 * 4];
            if (length < 8 || !src.ReadAll(at + 4, frame, 6))
                return false;
            height = ReadBe16(frame + 1);
            width = ReadBe16(frame + 3);
            components = frame[5];
            if (components < 1 || components > 4 || length < 8 + 3u * components ||
                !src.ReadAll(at + 4, frame, 6 + 3 * size_t(components)))
                return false;
            for (int c = 0; c < components; ++c) {
                maxH = std::max(maxH, frame[7 + 3 * c] >> 4);
                maxV = std::max(maxV, frame[7 + 3 * c] & 15);
            }
            sofAt = at;
            break;
        }
        case 0xDD:  // restart interval
            if (length != 4 || !src.ReadAll(at + 4, seg, 2))
                return false;
            interval = ReadBe16(seg);
            break;
        case 0xDA: {  // the scan: it must hold every component (the picture's only scan)
            uint8_t count;
            if (!src.ReadAll(at + 4, &count, 1) || count != components)
                return false;
            dataStart = at + 2 + length;
            break;
        }
        default:
            if ((seg[1] >= 0xC2 && seg[1] <= 0xCF && seg[1] != 0xC4 && seg[1] != 0xCC) ||
                (seg[1] >= 0xD0 && seg[1] <= 0xD9))
                return false;  // progressive, lossless, arithmetic-coded or out of place
            break;
        }
        at += 2 + length;
    }
    if (sofAt == 0 || interval == 0 || width == 0 || height == 0)
        return false;
    const uint32_t mcuWidth = components == 1 ? 8 : 8u * maxH;
    const uint32_t mcuHeight = components == 1 ? 8 : 8u * maxV;
    point.PerRow = static_cast<int>((width + mcuWidth - 1) / mcuWidth);
    point.McuRows = static_cast<int>((height + mcuHeight - 1) / mcuHeight);
    point.TotalMcus = uint32_t(point.PerRow) * uint32_t(point.McuRows);

    // The restart markers before the joint, numbered 0 to 7 in turn; any other marker there
    // and the data is not what the header says.
    std::vector<uint64_t> markers;
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[kChunk]);
    bool afterFF = false;
    for (uint64_t offset = dataStart; offset < joint;) {
        const size_t n = src.Read(offset, chunk.get(), static_cast<size_t>(std::min<uint64_t>(kChunk, joint - offset)));
        if (n == 0)
            return false;
        const uint8_t* const begin = chunk.get();
        const uint8_t* const end = begin + n;
        for (const uint8_t* p = begin; p < end;) {
            if (!afterFF) {
                p = static_cast<const uint8_t*>(std::memchr(p, 0xFF, static_cast<size_t>(end - p)));
                if (!p)
                    break;
                afterFF = true;
                ++p;
                continue;
            }
            const uint8_t b = *p++;
            if (b == 0xFF)
                continue;  // fill
            afterFF = false;
            if (b == 0x00)
                continue;  // a stuffed FF of the data
            if (b != JPEG_RST0 + markers.size() % 8)
                return false;
            markers.push_back(offset + static_cast<uint64_t>(p - begin) - 2);
        }
        offset += n;
    }
    // The last marker that leaves kRowsBefore MCU rows before the interval holding the joint.
    const uint64_t rowsBefore = (uint64_t(kRowsBefore) * point.PerRow + interval - 1) / interval;
    if (markers.size() <= rowsBefore)
        return false;
    const size_t use = markers.size() - 1 - rowsBefore;
    point.DataFrom = markers[use] + 2;
    point.FirstMcu = static_cast<uint32_t>((use + 1) * interval);
    point.NextRestart = static_cast<int>((use + 1) % 8);
    if (point.DataFrom < dataStart + kWorthSkipping || point.FirstMcu >= point.TotalMcus)
        return false;

    // The header with the frame's height cut to the MCU rows that hold the rest.
    const uint32_t rows = (point.TotalMcus - point.FirstMcu + point.PerRow - 1) / point.PerRow;
    const uint32_t restHeight = rows * mcuHeight;
    if (restHeight > 0xFFFF)
        return false;
    point.Header.resize(static_cast<size_t>(dataStart));
    if (!src.ReadAll(0, point.Header.data(), point.Header.size()))
        return false;
    point.Header[sofAt + 5] = static_cast<uint8_t>(restHeight >> 8);
    point.Header[sofAt + 6] = static_cast<uint8_t>(restHeight);
    return true;
}

// The answer from what a decode of src saw.
JpegJoint Judge(const Session& s, const ByteSource& src, uint64_t joint)
{
    JpegJoint answer;
    // Inside the header's segments runs of zeros are common (padding of an Exif block);
    // only entropy-coded data never holds one.
    const bool inData = !s.Scans.empty() && joint >= s.Scans.front().Start;
    const uint64_t decodedTo = s.Result == Outcome::RanOut ? s.Size : s.StopAt;
    answer.Misfit = inData && joint < src.Size() && ErasedAt(src, joint) ? kErased : Misfit(s, joint, decodedTo);
    if (answer.Misfit > 1) {
        answer.BreakAt = joint;
        return answer;
    }
    switch (s.Result) {
    case Outcome::RanOut:
        answer.Verdict = JointVerdict::Continues;
        break;
    case Outcome::Complete:
        answer.Verdict = JointVerdict::Ends;
        answer.EndAt = s.StopAt;
        break;
    case Outcome::Corrupt:
        if (FaultReaches(s, joint)) {
            // The candidate's fault. Where its decoded part was seen to fit the picture (a
            // misfit measured and below 1), the data fits up to where decoding failed;
            // otherwise nothing tells that any of it fits.
            answer.BreakAt = answer.Misfit > 0 ? std::max(s.StopAt, joint) : joint;
        } else {
            answer.BreakAt = s.StopAt;  // the known part itself does not decode
        }
        break;
    }
    return answer;
}

}  // namespace

JpegJoint CheckJpegJoint(const ByteSource& src, uint64_t joint)
{
    RestartPoint point;
    if (FindRestartPoint(src, joint, point)) {
        Session s;
        s.Header = &point.Header;
        s.DataFrom = point.DataFrom;
        s.FirstMcu = point.FirstMcu;
        s.TotalMcus = point.TotalMcus;
        s.McuRows = point.McuRows;
        s.NextRestart = point.NextRestart;
        RunDecode(s, src);
        // Unless libjpeg saw the picture otherwise than the header read here, the answer.
        if (s.Scans.size() == 1 && s.Scans[0].PerRow == point.PerRow && s.Scans[0].HasDc)
            return Judge(s, src, joint);
    }
    Session s;
    RunDecode(s, src);
    return Judge(s, src, joint);
}

uint64_t JpegGoodPrefix(const ByteSource& src, uint32_t clusterSize)
{
    Session s;
    RunDecode(s, src);
    // A carve that ran on into a stranger's clusters does not decode to a complete picture:
    // the stranger's EOI or the next file's header comes before the picture's last MCU, or
    // the stranger's data goes on where the EOI should be.
    if (s.Result == Outcome::Complete)
        return src.Size();
    const bool corrupt = s.Result == Outcome::Corrupt;
    const uint64_t decodedTo = corrupt ? s.StopAt : s.Size;
    if (clusterSize == 0 || s.Scans.empty())
        return decodedTo;
    // Each cluster boundary inside the entropy-coded data, judged on the data of the cluster
    // (at least 4 KiB of it) that starts there. Where decoding failed, the picture did end
    // somewhere before, and the boundary that fits worst is the best guess; where it did
    // not, only a clear misfit counts, as every boundary of a picture gets its chance to
    // look like one.
    const double limit = corrupt ? 1.0 : kPrefixMisfit;
    const uint64_t window = std::max<uint64_t>(clusterSize, 4096);
    double worst = 0;
    uint64_t worstAt = 0;
    for (uint64_t b = (s.Scans.front().Start / clusterSize + 1) * clusterSize; b < decodedTo; b += clusterSize) {
        if (ErasedAt(src, b))
            return worst > limit ? worstAt : b;  // the picture ended here at the latest
        const double misfit = Misfit(s, b, std::min(decodedTo, b + window));
        if (misfit > worst) {
            worst = misfit;
            worstAt = b;
        }
    }
    if (worst > limit)
        return worstAt;
    // Decoding failed and no boundary misfits: a stranger's piece begins at a cluster
    // boundary, so a boundary where the fault may lie is where the picture's data ends.
    if (corrupt) {
        const uint64_t b = (FaultFrom(s) + clusterSize - 1) / clusterSize * clusterSize;
        if (b <= FaultTo(s))
            return b;
    }
    return decodedTo;
}
