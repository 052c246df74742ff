#include "platform/emulatedcard.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/lasterror.h"
#include "platform/rescuemap.h"
#include "platform/sgio.h"
#include "platform/winioctl.h"

namespace px {

namespace {

constexpr uint32_t kBlock = 512;

// Sense keys the reader answers with.
constexpr uint8_t kRecoveredError = 0x1, kNotReady = 0x2, kMediumError = 0x3, kIllegalRequest = 0x5, kUnitAttention = 0x6,
                  kDataProtect = 0x7;

bool ParseNumber(const std::string& text, uint64_t& value)
{
    if (text.empty() || text.size() > 19)
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

// "64M", "1G", "512": bytes with an optional binary unit.
bool ParseSize(const std::string& text, uint64_t& bytes)
{
    if (text.empty())
        return false;
    uint64_t unit = 1;
    std::string digits = text;
    switch (text.back()) {
    case 'K': case 'k': unit = 1ull << 10; break;
    case 'M': case 'm': unit = 1ull << 20; break;
    case 'G': case 'g': unit = 1ull << 30; break;
    default: break;
    }
    if (unit > 1)
        digits.pop_back();
    uint64_t n = 0;
    if (!ParseNumber(digits, n) || n > (1ull << 50) / unit)
        return false;
    bytes = n * unit;
    return true;
}

// Sorted by first block, overlapping and touching ranges joined: FirstBad then finds the
// range of a request by a binary search (a backup map may list thousands).
void NormalizeRanges(std::vector<std::pair<uint64_t, uint64_t>>& ranges)
{
    std::sort(ranges.begin(), ranges.end());
    std::vector<std::pair<uint64_t, uint64_t>> joined;
    for (const auto& r : ranges) {
        if (!joined.empty() && r.first <= joined.back().second + 1)
            joined.back().second = std::max(joined.back().second, r.second);
        else
            joined.push_back(r);
    }
    ranges = std::move(joined);
}

// A handle on the emulated reader; the volume lock is an flock of the image.
class EmulatedHandle : public DeviceHandle {
public:
    EmulatedHandle(std::string path, std::shared_ptr<EmulatedCard> card)
        : DeviceHandle(std::move(path)), m_card(std::move(card)) {}
    ~EmulatedHandle() override
    {
        if (m_lockFd >= 0)
            ::close(m_lockFd);
    }

protected:
    bool Execute(const ScsiRequest& request, ScsiResult& result) override { return m_card->Execute(request, result); }
    bool Facts(DiskFacts& facts) override { return m_card->Facts(facts); }
    bool Lock() override
    {
        if (m_card->Vanished()) {
            SetLastError(ENODEV);
            return false;
        }
        if (m_lockFd < 0)
            m_lockFd = ::open(m_card->ImagePath().c_str(), O_RDONLY | O_CLOEXEC);
        if (m_lockFd < 0 || ::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
            SetLastError(errno == EWOULDBLOCK ? EBUSY : errno);
            return false;
        }
        return true;
    }
    bool Unlock() override
    {
        if (m_lockFd < 0 || ::flock(m_lockFd, LOCK_UN) != 0) {
            SetLastError(m_lockFd < 0 ? ENOLCK : errno);
            return false;
        }
        return true;
    }
    bool Dismount() override { return !m_card->Vanished() || (SetLastError(ENODEV), false); }
    bool Eject() override
    {
        if (m_card->Vanished()) {
            SetLastError(ENODEV);
            return false;
        }
        m_card->RemoveCard();
        return true;
    }

private:
    std::shared_ptr<EmulatedCard> m_card;
    int m_lockFd = -1;
};

}  // namespace

bool EmulatedCardOptions::Parse(const std::string& option, std::string* error)
{
    auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        return false;
    };
    const auto eq = option.find('=');
    const std::string key = option.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : option.substr(eq + 1);
    if (key == "readonly" && eq == std::string::npos) {
        readOnly = true;
    } else if (key == "empty" && eq == std::string::npos) {
        empty = true;
    } else if (key == "short" && eq == std::string::npos) {
        shortTransfers = true;
    } else if (key == "garbage" && eq == std::string::npos) {
        garbage = true;
    } else if (key == "bad" || key == "recovered") {
        const auto dash = value.find('-');
        uint64_t first = 0, last = 0;
        if (dash == std::string::npos) {
            if (!ParseNumber(value, first))
                return fail("Bad block range '" + value + "': expected FIRST-LAST");
            last = first;
        } else if (!ParseNumber(value.substr(0, dash), first) || !ParseNumber(value.substr(dash + 1), last)) {
            return fail("Bad block range '" + value + "': expected FIRST-LAST");
        }
        if (last < first)
            return fail("Bad block range '" + value + "': the last block is before the first");
        (key == "bad" ? badRanges : recoveredRanges).emplace_back(first, last);
    } else if (key == "pull") {
        uint64_t n = 0;
        if (!ParseNumber(value, n))
            return fail("pull needs a request count: pull=N");
        pullAfter = static_cast<int64_t>(n);
    } else if (key == "rate") {
        uint64_t rate = 0;
        if (!ParseNumber(value, rate) || rate == 0 || rate > 100000)
            return fail("rate needs megabytes a second from 1 to 100000: rate=MBPS");
        rateMBps = static_cast<uint32_t>(rate);
    } else if (key == "slow" || key == "failslow") {
        uint64_t ms = 0;
        if (!ParseNumber(value, ms) || ms > 60000)
            return fail(key + " needs milliseconds up to 60000: " + key + "=MS");
        (key == "slow" ? slowMs : failSlowMs) = static_cast<int>(ms);
    } else if (key == "fake" || key == "fakedrop") {
        uint64_t bytes = 0;
        if (!ParseSize(value, bytes) || bytes == 0 || bytes % kBlock != 0)
            return fail(key + " needs the card's real size, a multiple of 512 bytes: " + key + "=SIZE (64M, 8G)");
        fakeBlocks = bytes / kBlock;
        fakeDrop = key == "fakedrop";
    } else if (key == "map") {
        if (value.empty())
            return fail("map needs the path of a backup map: map=PATH");
        mapPath = value;
    } else if (key == "nomap" && eq == std::string::npos) {
        noMap = true;
    } else if (key == "reader") {
        const auto a = value.find('/');
        const auto b = a == std::string::npos ? a : value.find('/', a + 1);
        if (a == std::string::npos || b == std::string::npos)
            return fail("reader needs VENDOR/PRODUCT/REV");
        vendor = value.substr(0, a);
        product = value.substr(a + 1, b - a - 1);
        revision = value.substr(b + 1);
        if (vendor.size() > 8 || product.size() > 16 || revision.size() > 4)
            return fail("reader identity too long: VENDOR up to 8, PRODUCT up to 16, REV up to 4 characters");
    } else {
        return fail("Unknown card option '" + option +
                    "' (known: bad=FIRST-LAST, readonly, empty, pull=N, short, slow=MS, failslow=MS, "
                    "recovered=FIRST-LAST, garbage, rate=MBPS, reader=VENDOR/PRODUCT/REV, fake=SIZE, fakedrop=SIZE, map=PATH, "
                    "nomap)");
    }
    return true;
}

std::shared_ptr<EmulatedCard> EmulatedCard::Open(const std::string& imagePath, const EmulatedCardOptions& options,
                                                 std::string* error)
{
    auto fail = [&](const std::string& why) -> std::shared_ptr<EmulatedCard> {
        if (error)
            *error = why;
        return nullptr;
    };
    std::shared_ptr<EmulatedCard> card(new EmulatedCard());
    card->m_path = imagePath;
    card->m_options = options;
    card->m_present = !options.empty;
    int fd = options.readOnly ? -1 : ::open(imagePath.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        fd = ::open(imagePath.c_str(), O_RDONLY | O_CLOEXEC);
    else
        card->m_writable = true;
    if (fd < 0)
        return fail("Cannot open card image " + imagePath + ": " + SystemErrorText(errno));
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) {
        ::close(fd);
        return fail("Cannot use " + imagePath + " as a card image: not a regular file");
    }
    card->m_fd = fd;
    // A backup's map: what it could not copy reads as unreadable. A map that was asked for
    // must be there; one beside the image is read when it exists. A map that cannot be
    // read is an error either way: serving the image whole would pass zeros off as data.
    std::string mapPath = options.mapPath;
    if (mapPath.empty() && !options.noMap) {
        struct stat mapStat{};
        if (::stat((imagePath + ".map").c_str(), &mapStat) == 0)
            mapPath = imagePath + ".map";
    }
    if (!mapPath.empty() && !options.noMap) {
        RescueMap map;
        std::string why;
        if (!RescueMap::Load(mapPath, map, &why))
            return fail(why + " (nomap serves the image without it)");
        for (const auto& range : map.UncopiedBlocks(kBlock))
            card->m_options.badRanges.push_back(range);
    }
    NormalizeRanges(card->m_options.badRanges);
    return card;
}

EmulatedCard::~EmulatedCard()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

uint64_t EmulatedCard::BlockCount() const
{
    struct stat st{};
    if (::fstat(m_fd, &st) != 0)
        return 0;
    if (S_ISBLK(st.st_mode)) {
        uint64_t bytes = 0;
        return ::ioctl(m_fd, BLKGETSIZE64, &bytes) == 0 ? bytes / kBlock : 0;
    }
    // A trailing part of a block is not served: the card has whole blocks only.
    return static_cast<uint64_t>(st.st_size) / kBlock;
}

void EmulatedCard::RemoveCard()
{
    std::lock_guard lock(m_mutex);
    if (m_present) {
        m_present = false;
        m_unitAttention = false;
        ++m_changes;
    }
}

void EmulatedCard::InsertCard()
{
    std::lock_guard lock(m_mutex);
    if (!m_present) {
        m_present = true;
        m_unitAttention = true;   // "not ready to ready change, medium may have changed"
        m_recentAt = {};
        ++m_changes;
    }
}

bool EmulatedCard::CardPresent() const
{
    std::lock_guard lock(m_mutex);
    return m_present;
}

void EmulatedCard::Vanish()
{
    std::lock_guard lock(m_mutex);
    if (!m_vanished) {
        m_vanished = true;
        ++m_changes;
    }
}

void EmulatedCard::Replug()
{
    std::lock_guard lock(m_mutex);
    if (m_vanished) {
        m_vanished = false;
        m_options.pullAfter = -1;
        ++m_changes;
    }
}

bool EmulatedCard::Vanished() const
{
    std::lock_guard lock(m_mutex);
    return m_vanished;
}

void EmulatedCard::SetBadRanges(std::vector<std::pair<uint64_t, uint64_t>> ranges)
{
    std::lock_guard lock(m_mutex);
    NormalizeRanges(ranges);
    m_options.badRanges = std::move(ranges);
}

Handle EmulatedCard::OpenHandle(const std::string& path)
{
    if (Vanished()) {
        SetLastError(ENODEV);
        return nullptr;
    }
    return std::make_shared<EmulatedHandle>(path, shared_from_this());
}

uint64_t EmulatedCard::FirstBad(uint64_t first, uint64_t count) const
{
    // The ranges are sorted and disjoint: the first that ends at or after first.
    const auto& ranges = m_options.badRanges;
    const auto it = std::lower_bound(ranges.begin(), ranges.end(), first,
                                     [](const std::pair<uint64_t, uint64_t>& r, uint64_t b) { return r.second < b; });
    if (it == ranges.end() || it->first >= first + count)
        return first + count;
    return std::max(it->first, first);
}

bool EmulatedCard::TouchesRecovered(uint64_t first, uint64_t count) const
{
    for (const auto& [lo, hi] : m_options.recoveredRanges)
        if (hi >= first && lo < first + count)
            return true;
    return false;
}

bool EmulatedCard::Facts(DiskFacts& facts)
{
    std::lock_guard lock(m_mutex);
    if (m_vanished) {
        SetLastError(ENODEV);
        return false;
    }
    facts = DiskFacts{};
    facts.mediaPresent = m_present;
    facts.blockCount = m_present ? BlockCount() : 0;
    facts.removable = true;
    facts.deviceType = 0;
    facts.busType = BusTypeUsb;
    facts.vendor = m_options.vendor;
    facts.product = m_options.product;
    facts.revision = m_options.revision;
    facts.serial = "PX3EMU0001";
    return true;
}

bool EmulatedCard::Execute(const ScsiRequest& request, ScsiResult& result)
{
    if (m_options.slowMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(m_options.slowMs));
    std::lock_guard lock(m_mutex);
    if (m_vanished) {
        SetLastError(ENODEV);
        return false;
    }
    if (m_options.pullAfter >= 0 && static_cast<int64_t>(m_commands.load()) >= m_options.pullAfter) {
        // The reader went away with this request: it fails as the system reports a
        // device that is no longer there.
        m_vanished = true;
        ++m_changes;
        SetLastError(ENODEV);
        return false;
    }
    ++m_commands;
    return ExecuteCommand(request, result);
}

bool EmulatedCard::Ready(ScsiResult& result, uint64_t& blocks)
{
    if (!m_present) {
        MakeSense(result, kNotReady, 0x3A, 0x00);   // medium not present
        return true;
    }
    if (m_unitAttention) {
        m_unitAttention = false;
        MakeSense(result, kUnitAttention, 0x28, 0x00);   // not ready to ready change
        return true;
    }
    blocks = RecentBlockCount();
    return true;
}

uint64_t EmulatedCard::RecentBlockCount()
{
    const auto now = std::chrono::steady_clock::now();
    if (m_recentAt == std::chrono::steady_clock::time_point{} || now - m_recentAt > std::chrono::milliseconds(50)) {
        m_recentBlocks = BlockCount();
        m_recentAt = now;
    }
    return m_recentBlocks;
}

void EmulatedCard::Pace(uint64_t bytes)
{
    if (m_options.rateMBps == 0)
        return;
    // The bus is busy for bytes / rate after the previous transfer, or from now when it
    // was idle; a sleep that woke late (a few milliseconds at most) is made up, so the
    // rate holds over a run.
    const auto now = std::chrono::steady_clock::now();
    const auto start = std::max(now - std::chrono::milliseconds(5), m_busyUntil);
    m_busyUntil = start + std::chrono::nanoseconds(bytes * 1000 / m_options.rateMBps);
    std::this_thread::sleep_until(m_busyUntil);
}

uint64_t EmulatedCard::MoveBlocks(bool write, uint64_t first, uint64_t count, uint8_t* data)
{
    const uint64_t real = m_options.fakeBlocks;
    uint64_t done = 0;
    while (done < count * kBlock) {
        const uint64_t pos = first * kBlock + done;
        const uint64_t block = pos / kBlock;
        uint64_t bytes = count * kBlock - done;
        uint64_t at = pos;
        if (real > 0) {
            // A fake card's piece ends where its real size wraps round.
            bytes = std::min(bytes, (real - block % real) * kBlock - pos % kBlock);
            if (block >= real && m_options.fakeDrop) {
                if (!write)
                    std::memset(data + done, 0, bytes);
                done += bytes;
                continue;
            }
            at = (block % real) * kBlock + pos % kBlock;
        }
        const off_t offset = static_cast<off_t>(at);
        const ssize_t n = write ? ::pwrite(m_fd, data + done, bytes, offset) : ::pread(m_fd, data + done, bytes, offset);
        if (n <= 0)
            break;
        done += static_cast<uint64_t>(n);
    }
    return done;
}

bool EmulatedCard::Transfer(bool write, uint64_t first, uint64_t count, uint8_t* data, ScsiResult& result)
{
    Pace(count * kBlock);
    if (write) {
        const uint64_t n = MoveBlocks(true, first, count, data);
        result.transferred = static_cast<uint32_t>(n);
        if (n != count * kBlock)
            MakeSense(result, kMediumError, 0x0C, 0x00, static_cast<int64_t>(first));   // write error
        return true;
    }
    const uint64_t bad = FirstBad(first, count);
    const uint64_t good = bad - first;
    const size_t done = MoveBlocks(false, first, good, data);
    result.transferred = static_cast<uint32_t>(done);
    if (done < count * kBlock) {
        if (m_options.garbage)
            std::memset(data + done, 0xA5, count * kBlock - done);
        if (m_options.failSlowMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(m_options.failSlowMs));
    }
    if (done < good * kBlock) {
        MakeSense(result, kMediumError, 0x11, 0x00, static_cast<int64_t>(first + done / kBlock));
    } else if (bad < first + count && !m_options.shortTransfers) {
        MakeSense(result, kMediumError, 0x11, 0x00, static_cast<int64_t>(bad));   // unrecovered read error
    } else if (TouchesRecovered(first, count)) {
        MakeSense(result, kRecoveredError, 0x17, 0x01);   // recovered data with retries
    }
    return true;
}

}  // namespace px
