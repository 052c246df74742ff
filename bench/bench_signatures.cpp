// Cost of the per-block signature tests and end rules over a 4 MB buffer of 512-byte
// blocks, for the kinds of blocks a camera card holds. Reported per block (items) and as
// bytes per second of card data.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "recovery/signatures.h"

namespace {

constexpr size_t kBlock = 512;
constexpr size_t kBlocks = 8192;  // 4 MB: larger than the caches a card buffer would stay in

// Every type the lists offer, and the camera RAW header that needs none.
constexpr uint32_t kAllTypes = 0xFFFFFFFF;

using Buffer = std::vector<uint8_t>;

void FillRandom(Buffer& buf, uint32_t seed)
{
    std::mt19937_64 rng(seed);
    for (size_t i = 0; i + 8 <= buf.size(); i += 8) {
        const uint64_t v = rng();
        std::memcpy(&buf[i], &v, 8);
    }
}

// Entropy-coded JPEG data: random bytes in which every FF is followed by a stuffed 00.
Buffer JpegBody()
{
    Buffer buf(kBlock * kBlocks);
    FillRandom(buf, 1);
    for (size_t i = 0; i + 1 < buf.size(); ++i)
        if (buf[i] == 0xFF)
            buf[++i] = 0x00;
    return buf;
}

// Every block starts a file: the headers a camera card holds, JPEG most often.
Buffer Headers()
{
    static const std::vector<std::vector<uint8_t>> heads = {
        {0xFF, 0xD8, 0xFF, 0xE1, 0x1F, 0xFE, 'E', 'x', 'i', 'f', 0, 0},        // Exif JPEG
        {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 1},        // JFIF JPEG
        {0xFF, 0xD8, 0xFF, 0xE1, 0x3A, 0x2C, 'E', 'x', 'i', 'f', 0, 0},
        {0x4D, 0x4D, 0x00, 0x2A, 0x00, 0x00, 0x00, 0x08},                      // NEF / DCR / PEF
        {0x49, 0x49, 0x2A, 0x00, 0x10, 0x00, 0x00, 0x00, 'C', 'R', 2, 0},      // CR2
        {0x49, 0x49, 0x2A, 0x00, 0x08, 0x00, 0x00, 0x00},                      // ARW
        {'I', 'I', 'R', 'O', 0x08, 0x00, 0x00, 0x00},                          // ORF
        {0x49, 0x49, 0x1A, 0, 0, 0, 'H', 'E', 'A', 'P', 'C', 'C', 'D', 'R'},   // CRW
        {'F', 'U', 'J', 'I', 'F', 'I', 'L', 'M', 'C', 'C', 'D', '-', 'R', 'A', 'W'},
        {'R', 'I', 'F', 'F', 0x24, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' '},
    };
    Buffer buf = JpegBody();
    for (size_t b = 0; b < kBlocks; ++b) {
        const auto& head = heads[b % heads.size()];
        std::memcpy(&buf[b * kBlock], head.data(), head.size());
    }
    return buf;
}

// A card written by a camera: a 3 MB JPEG (6144 blocks) is one header block and body.
Buffer CameraCard()
{
    Buffer buf = JpegBody();
    static const uint8_t exif[] = {0xFF, 0xD8, 0xFF, 0xE1, 0x1F, 0xFE, 'E', 'x', 'i', 'f', 0, 0};
    for (size_t b = 0; b < kBlocks; b += 6144)
        std::memcpy(&buf[b * kBlock], exif, sizeof exif);
    return buf;
}

Buffer Zeros()
{
    return Buffer(kBlock * kBlocks, 0);
}

Buffer Random()
{
    Buffer buf(kBlock * kBlocks);
    FillRandom(buf, 2);
    return buf;
}

void Recognise(benchmark::State& state, const Buffer& buf)
{
    for (auto _ : state) {
        int32_t found = 0;
        for (size_t off = 0; off < buf.size(); off += kBlock) {
            const BlockSignature sig = RecogniseBlock({buf.data() + off, kBlock}, kAllTypes);
            found += sig.Type;
        }
        benchmark::DoNotOptimize(found);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(buf.size() / kBlock));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(buf.size()));
}

void BM_Recognise_Headers(benchmark::State& state)
{
    static const Buffer buf = Headers();
    Recognise(state, buf);
}
void BM_Recognise_JpegBody(benchmark::State& state)
{
    static const Buffer buf = JpegBody();
    Recognise(state, buf);
}
void BM_Recognise_CameraCard(benchmark::State& state)
{
    static const Buffer buf = CameraCard();
    Recognise(state, buf);
}
void BM_Recognise_Zeros(benchmark::State& state)
{
    static const Buffer buf = Zeros();
    Recognise(state, buf);
}
void BM_Recognise_Random(benchmark::State& state)
{
    static const Buffer buf = Random();
    Recognise(state, buf);
}

// The end rules run on every block of an X3F or CRW file being written; on file body
// they scan the whole block and find nothing, their common case.
void BM_FindX3FEnd_Random(benchmark::State& state)
{
    static const Buffer buf = Random();
    for (auto _ : state) {
        size_t ends = 0;
        for (size_t off = 0; off < buf.size(); off += kBlock)
            ends += FindX3FEnd(FileWindow{buf.data(), buf.size(), 0}, int64_t(off), int64_t(off + kBlock)).End.has_value();
        benchmark::DoNotOptimize(ends);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kBlocks));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(buf.size()));
}

void BM_FindCRWEnd_Random(benchmark::State& state)
{
    static const Buffer buf = Random();
    for (auto _ : state) {
        size_t ends = 0;
        for (size_t off = 0; off < buf.size(); off += kBlock)
            ends += FindCRWEnd(FileWindow{buf.data(), buf.size(), 0}, int64_t(off), int64_t(off + kBlock)).End.has_value();
        benchmark::DoNotOptimize(ends);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kBlocks));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(buf.size()));
}

} // namespace

BENCHMARK(BM_Recognise_Headers);
BENCHMARK(BM_Recognise_JpegBody);
BENCHMARK(BM_Recognise_CameraCard);
BENCHMARK(BM_Recognise_Zeros);
BENCHMARK(BM_Recognise_Random);
BENCHMARK(BM_FindX3FEnd_Random);
BENCHMARK(BM_FindCRWEnd_Random);

BENCHMARK_MAIN();
