// False file starts in random data: how often a block of compressed picture data (random
// to the eye) looks like the start of a file, per signature type and for the movie
// detector, with the Generic brand's types and with every type selected.
//
//   false_starts [GIB]      (default 4)
//
// The card is counter-based pseudo-random data: its bytes at any offset can be made
// again, so the movie detector's look ahead past the block reads the same card. Prints
// counts and starts per GiB, beside what the rules before this version gave on the same
// data ("ID3" alone, any of the nine atom names at bytes 4 to 7).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "app/ctransferstatus.h"
#include "app/filetypes.h"
#include "recovery/catomdoc.h"
#include "recovery/signatures.h"

namespace {

constexpr size_t kBlock = 512;
constexpr uint64_t kGiB = uint64_t(1) << 30;

uint64_t SplitMix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// The card's bytes from at on (at a multiple of 8), n bytes.
void CardBytes(uint64_t at, uint8_t* out, size_t n)
{
    for (size_t i = 0; i < n; i += 8) {
        const uint64_t word = SplitMix((at + i) / 8);
        std::memcpy(out + i, &word, std::min<size_t>(8, n - i));
    }
}

class Card : public CAtomDocListener {
public:
    explicit Card(uint64_t bytes) : m_bytes(bytes) {}
    void OnMovieStarting() override {}
    uint64_t CardBytes() const override { return m_bytes; }
    bool ReadAhead(uint64_t at, uint8_t* out, size_t n) override
    {
        if (at + n > m_bytes)
            return false;
        std::vector<uint8_t> buffer((at % 8 + n + 7) / 8 * 8);
        ::CardBytes(at - at % 8, buffer.data(), buffer.size());
        std::memcpy(out, buffer.data() + at % 8, n);
        return true;
    }

private:
    uint64_t m_bytes;
};

bool OldQuickTimeName(const uint8_t* block)
{
    static const char* const names[] = {"free", "skip", "wide", "pnot", "moov", "mdat", "PICT", "ftyp", "uuid"};
    for (const char* name : names)
        if (std::memcmp(block + 4, name, 4) == 0)
            return true;
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    const double gib = argc > 1 ? std::atof(argv[1]) : 4.0;
    const uint64_t bytes = uint64_t(gib * double(kGiB)) / (1 << 20) * (1 << 20);
    const uint32_t masks[] = {DefaultTypes(BrandBit::Generic), 0xFFFFFFFFu};
    const char* const maskNames[] = {"Generic", "all types"};
    std::map<int32_t, uint64_t> starts[2];
    std::map<int32_t, uint64_t> movies[2];
    uint64_t oldId3 = 0, oldQuickTime = 0;

    Card card(bytes);
    CTransferStatus status[2];
    CAtomDoc doc0(&status[0], &card), doc1(&status[1], &card);
    CAtomDoc* docs[] = {&doc0, &doc1};
    for (int m = 0; m < 2; ++m)
        status[m].Settings.FileTypes = masks[m];

    const auto began = std::chrono::steady_clock::now();
    std::vector<uint8_t> chunk(1 << 20);
    for (uint64_t at = 0; at < bytes; at += chunk.size()) {
        CardBytes(at, chunk.data(), chunk.size());
        for (size_t off = 0; off < chunk.size(); off += kBlock) {
            const uint8_t* block = chunk.data() + off;
            oldId3 += std::memcmp(block, "ID3", 3) == 0;
            oldQuickTime += OldQuickTimeName(block);
            for (int m = 0; m < 2; ++m) {
                const BlockSignature found = RecogniseBlock({block, kBlock}, masks[m]);
                if (found.Type != FileTypeId::None)
                    ++starts[m][found.Type];
                docs[m]->DetectMovie(block, block + kBlock, at + off);
                if (docs[m]->IsWriting()) {
                    ++movies[m][docs[m]->Current() ? docs[m]->Current()->MovieKind() : 0];
                    docs[m]->Reset();   // count the start, do not follow it
                }
            }
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const double scanned = double(bytes) / double(kGiB);
    std::printf("false_starts: %.2f GiB of random blocks in %.1f s\n\n", scanned, seconds);
    std::printf("%-10s %-6s %10s %14s\n", "mask", "type", "starts", "per GiB");
    for (int m = 0; m < 2; ++m) {
        uint64_t total = 0;
        for (const auto& [type, count] : starts[m]) {
            std::printf("%-10s %-6.*s %10llu %14.6f\n", maskNames[m], int(TypeExtension(type).size()),
                        TypeExtension(type).data(), static_cast<unsigned long long>(count), double(count) / scanned);
            total += count;
        }
        static const char* const kinds[] = {"?", "mov", "avi", "mp4"};
        for (const auto& [kind, count] : movies[m]) {
            std::printf("%-10s %-6s %10llu %14.6f\n", maskNames[m], kinds[kind & 3],
                        static_cast<unsigned long long>(count), double(count) / scanned);
            total += count;
        }
        std::printf("%-10s %-6s %10llu %14.6f\n", maskNames[m], "total", static_cast<unsigned long long>(total),
                    double(total) / scanned);
    }
    std::printf("\nthe earlier rules on the same blocks: \"ID3\" %llu (%.6f per GiB), an atom name at bytes 4 to 7 "
                "%llu (%.6f per GiB)\n",
                static_cast<unsigned long long>(oldId3), double(oldId3) / scanned,
                static_cast<unsigned long long>(oldQuickTime), double(oldQuickTime) / scanned);
    return 0;
}
