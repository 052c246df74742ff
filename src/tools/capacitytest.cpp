#include "tools/capacitytest.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/messagepump.h"
#include "tools/cardtools.h"

namespace {

constexpr uint32_t kBlock = 512;
// Requests of 128 blocks (64 KiB): below the largest transfer the kernel's USB storage
// driver passes to a USB 2 card reader (240 blocks), and small enough that the buffers
// stay in the processor's cache.
constexpr uint16_t kBigBlocks = 128;
// Segments written last to first: 4 MiB is a card's usual allocation unit, which cards
// write fastest front to back. A multiple of kBigBlocks: every request starts at a multiple
// of it, so a block's body is the one of its place in the request.
constexpr uint64_t kSegmentBlocks = 8192;
static_assert(kSegmentBlocks % kBigBlocks == 0);
constexpr uint32_t kHeader = 16;   // block number and key

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void PutLe64(uint8_t* p, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

bool CCapacityResult::Fake() const
{
    const uint64_t tail = blocks - firstBad;
    return tail > 0 && badBlocks * 10 >= tail * 9;
}

std::string CapacitySizeText(uint64_t bytes)
{
    static const char* const units[] = {"B", "KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024.0 && unit < 4) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    const double tenths = std::floor(value * 10.0 + 0.5) / 10.0;
    if (tenths == std::floor(tenths))
        std::snprintf(text, sizeof text, "%.0f %s", tenths, units[unit]);
    else
        std::snprintf(text, sizeof text, "%.1f %s", tenths, units[unit]);
    return text;
}

std::string CapacityVerdict(const CCapacityResult& r)
{
    const std::string total = CapacitySizeText(r.blocks * 512);
    if (r.Passed())
        return "good: all " + total + " hold what was written";
    if (r.Fake())
        return "fake: usable " + CapacitySizeText(r.UsableBytes()) + " of " + total;
    return "failing: " + std::to_string(r.badBlocks) + (r.badBlocks == 1 ? " block does" : " blocks do") +
           " not hold what was written, the first is block " + std::to_string(r.firstBad);
}

CCardCapacityTest::CCardCapacityTest(CTransferStatus* status, const CDriveInfo& info, uint64_t runKey, int32_t scope)
    : CCardJob(status, info, scope), m_key(runKey)
{
    // The body: bytes of a 64-bit xorshift stream seeded by the key, one for each place
    // of a block in a request.
    m_body.resize(static_cast<size_t>(kBigBlocks) * kBlock);
    uint64_t x = runKey | 1;
    for (size_t i = 0; i < m_body.size(); i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        PutLe64(&m_body[i], x);
    }
}

CCardCapacityTest::~CCardCapacityTest() = default;

bool CCardCapacityTest::Init()
{
    if (const std::string refusal = CardRefusal(m_DriveInfo); !refusal.empty())
        return Fail(refusal);
    return CCardJob::Init();
}

void CCardCapacityTest::Fill(uint8_t* data, uint64_t first, uint32_t count) const
{
    // The buffer holds the bodies since the run began (requests start at multiples of
    // kBigBlocks): only the headers change.
    for (uint32_t i = 0; i < count; ++i) {
        PutLe64(data + size_t(i) * kBlock, first + i);
        PutLe64(data + size_t(i) * kBlock + 8, m_key);
    }
}

bool CCardCapacityTest::Stop(const std::string& error, JobOutcome outcome)
{
    SetOutcome(outcome);
    std::string text = error;
    if (m_written)
        text += "; the card was overwritten in part: what it held is gone";
    return Fail(text);
}

bool CCardCapacityTest::Between(uint64_t done, int pass)
{
    px::PumpMessages();
    if (m_bCancelRequested)
        return false;
    const int64_t now = NowMs();
    if (now - m_lastProgressMs < 200)
        return true;
    m_lastProgressMs = now;
    if (m_onProgress)
        m_onProgress(done, 2 * m_result.blocks, pass);
    // The pages' progress: both passes in the card's range (half a block each).
    CTransferStatus& s = Status();
    s.CurrentBlock = done / 2;
    s.BytesDone = s.CurrentBlock * kBlock;
    int shift = 0;
    while ((s.BlockCount >> shift) > 0x7FFFFFFFull)
        ++shift;
    CMsgProgress progress(static_cast<int32_t>(s.CurrentBlock >> shift), m_nScope, std::string());
    SendStatus(StatusKind::Progress);
    return true;
}

bool CCardCapacityTest::WritePass()
{
    const uint64_t blocks = m_result.blocks;
    const uint64_t segments = (blocks + kSegmentBlocks - 1) / kSegmentBlocks;
    uint64_t done = 0;
    const int64_t start = NowMs();
    for (uint64_t s = segments; s-- > 0;) {
        const uint64_t end = std::min(blocks, (s + 1) * kSegmentBlocks);
        for (uint64_t first = s * kSegmentBlocks; first < end;) {
            const uint16_t count = static_cast<uint16_t>(std::min<uint64_t>(kBigBlocks, end - first));
            Fill(m_buffer.data(), first, count);
            uint32_t moved = 0;
            m_written = true;
            if (!m_Drive.WriteBlocks(m_buffer.data(), moved, first, count)) {
                RequestFailed(m_Drive);
                return Stop(GetError(), m_Outcome);
            }
            const std::string failed = ShortWriteText(m_Drive, first, count * kBlock, moved);
            if (!failed.empty()) {
                const px::SenseData sense = m_Drive.LastSenseData();
                return Stop(failed, sense.Valid && sense.Key == px::SenseKey::DataProtect ? JobOutcome::WriteProtected
                                                                                          : JobOutcome::DeviceError);
            }
            first += count;
            done += count;
            if (!Between(done, 1))
                return false;
        }
    }
    const double seconds = std::max<int64_t>(NowMs() - start, 1) / 1000.0;
    m_result.writeMBps = static_cast<double>(blocks) * kBlock / 1e6 / seconds;
    return true;
}

void CCardCapacityTest::Compare(const uint8_t* data, uint64_t first, uint32_t count, uint32_t valid)
{
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t block = first + i;
        const uint8_t* got = data + size_t(i) * kBlock;
        uint8_t header[kHeader];
        PutLe64(header, block);
        PutLe64(header + 8, m_key);
        if (i < valid && std::memcmp(got, header, kHeader) == 0 &&
            std::memcmp(got + kHeader, &m_body[(block % kBigBlocks) * kBlock + kHeader], kBlock - kHeader) == 0)
            continue;
        if (m_result.badBlocks++ == 0 || first + i < m_result.firstBad)
            m_result.firstBad = first + i;
    }
}

bool CCardCapacityTest::ReadPass()
{
    const uint64_t blocks = m_result.blocks;
    const int64_t start = NowMs();
    for (uint64_t first = 0; first < blocks;) {
        const uint16_t count = static_cast<uint16_t>(std::min<uint64_t>(kBigBlocks, blocks - first));
        const CReadResult answer = ReadBlocks(m_Drive, m_readBuffer.data(), first, count);
        if (!answer.RequestOk) {
            RequestFailed(answer);
            return Stop(GetError(), m_Outcome);
        }
        if (answer.Complete(count * kBlock)) {
            Compare(m_readBuffer.data(), first, count, count);
        } else {
            if (CardGone(answer))
                return Stop(GetError(), m_Outcome);
            // Which blocks fail: each read alone; one that cannot be read holds nothing.
            for (uint16_t i = 0; i < count; ++i) {
                uint8_t* block = m_readBuffer.data() + size_t(i) * kBlock;
                const CReadResult one = ReadBlocks(m_Drive, block, first + i, 1);
                if (!one.RequestOk) {
                    RequestFailed(one);
                    return Stop(GetError(), m_Outcome);
                }
                if (CardGone(one))
                    return Stop(GetError(), m_Outcome);
                Compare(block, first + i, 1, one.Complete(kBlock) ? 1 : 0);
            }
        }
        first += count;
        if (!Between(blocks + first, 2))
            return false;
    }
    const double seconds = std::max<int64_t>(NowMs() - start, 1) / 1000.0;
    m_result.readMBps = static_cast<double>(blocks) * kBlock / 1e6 / seconds;
    return true;
}

bool CCardCapacityTest::Run()
{
    CRunner runner(this);
    BeginRun();
    m_written = false;
    SendStatus(StatusKind::JobStarted);
    if (!OpenCard()) {
        SetOutcome(JobOutcome::DeviceError);
        Status().SetError(GetError());
        return false;
    }
    m_result = CCapacityResult{};
    m_result.blocks = Status().BlockCount;
    m_result.firstBad = m_result.blocks;
    m_buffer = m_body;
    m_readBuffer.assign(m_body.size(), 0);
    const bool ok = WritePass() && ReadPass();
    Status().BytesDone = (m_result.blocks - m_result.badBlocks) * kBlock;
    Status().UnreadableBlocks = m_result.badBlocks;
    SendStatus(StatusKind::JobEnded);
    if (m_bCancelRequested) {
        m_Outcome = JobOutcome::Cancelled;
        SetError(m_written ? "Canceled by user: the card was overwritten in part; what it held is gone"
                           : "Canceled by user: nothing was written");
        return false;
    }
    if (!ok)
        return false;
    if (m_onProgress)
        m_onProgress(2 * m_result.blocks, 2 * m_result.blocks, 2);
    m_Outcome = JobOutcome::Finished;
    if (!m_result.Passed()) {
        SetError("The card is " + CapacityVerdict(m_result));
        Status().SetError(GetError());
    }
    return true;
}
