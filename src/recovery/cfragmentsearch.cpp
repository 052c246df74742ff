#include "recovery/cfragmentsearch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "app/filetypes.h"
#include "formats/bytesource.h"
#include "formats/formatend.h"
#include "formats/jpeg.h"
#include "formats/jpegjoint.h"
#include "platform/fileio.h"
#include "platform/lasterror.h"

CFragmentSearch::CFragmentSearch(ReadFn read, uint64_t clusterBytes, uint64_t dataStart, std::vector<ByteRun> unowned)
    : m_read(std::move(read)), m_cluster(clusterBytes ? clusterBytes : 512), m_dataStart(dataStart % m_cluster),
      m_unowned(std::move(unowned))
{
}

void CFragmentSearch::Exclude(const std::vector<ByteRun>& ranges)
{
    m_excluded.insert(m_excluded.end(), ranges.begin(), ranges.end());
    for (const ByteRun& range : ranges)
        Own(range.Start, range.End);
}

uint64_t CFragmentSearch::ClusterAtOrAfter(uint64_t position) const
{
    if (position <= m_dataStart)
        return m_dataStart;
    const uint64_t k = (position - m_dataStart + m_cluster - 1) / m_cluster;
    return m_dataStart + k * m_cluster;
}

uint64_t CFragmentSearch::ClusterAtOrBefore(uint64_t position) const
{
    if (position < m_dataStart)
        return position;
    return m_dataStart + (position - m_dataStart) / m_cluster * m_cluster;
}

void CFragmentSearch::Own(uint64_t start, uint64_t end)
{
    std::vector<ByteRun> next;
    next.reserve(m_unowned.size() + 1);
    for (const ByteRun& run : m_unowned) {
        if (run.End <= start || run.Start >= end) {
            next.push_back(run);
            continue;
        }
        if (run.Start < start)
            next.push_back({run.Start, start});
        if (run.End > end)
            next.push_back({end, run.End});
    }
    m_unowned = std::move(next);
}

void CFragmentSearch::Free(uint64_t start, uint64_t end)
{
    if (start >= end)
        return;
    auto at = std::lower_bound(m_unowned.begin(), m_unowned.end(), start,
                               [](const ByteRun& run, uint64_t value) { return run.Start < value; });
    m_unowned.insert(at, ByteRun{start, end});
    // Merge neighbours that touch.
    std::vector<ByteRun> merged;
    for (const ByteRun& run : m_unowned) {
        if (!merged.empty() && run.Start <= merged.back().End)
            merged.back().End = std::max(merged.back().End, run.End);
        else
            merged.push_back(run);
    }
    m_unowned = std::move(merged);
    // The file system's blocks inside the range stay out.
    for (const ByteRun& range : m_excluded)
        if (range.Start < end && range.End > start)
            Own(range.Start, range.End);
}

namespace {

// A file's known part and a candidate after it, read as one.
class JoinedSource : public ByteSource {
public:
    JoinedSource(const ByteSource& first, const ByteSource& second) : m_first(first), m_second(second) {}
    size_t Read(uint64_t offset, uint8_t* out, size_t n) const override
    {
        const uint64_t joint = m_first.Size();
        size_t done = offset < joint ? m_first.Read(offset, out, static_cast<size_t>(std::min<uint64_t>(n, joint - offset)))
                                     : 0;
        const uint64_t at = offset + done;
        if (done < n && at >= joint)
            done += m_second.Read(at - joint, out + done, n - done);
        return done;
    }
    uint64_t Size() const override { return m_first.Size() + m_second.Size(); }

private:
    const ByteSource& m_first;
    const ByteSource& m_second;
};

// A stretch of the card, read when asked for, through a small window: a structure's walk
// reads a few headers of a large candidate, not all of it.
class CardSpan : public ByteSource {
public:
    CardSpan(const CFragmentSearch::ReadFn& read, uint64_t start, uint64_t size) : m_read(read), m_start(start), m_size(size)
    {
    }
    size_t Read(uint64_t offset, uint8_t* out, size_t n) const override
    {
        if (offset >= m_size || m_failed)
            return 0;
        n = static_cast<size_t>(std::min<uint64_t>(n, m_size - offset));
        if (n >= kWindow) {
            // Large reads go straight to the caller's buffer.
            if (!m_read(m_start + offset, out, n)) {
                m_failed = true;
                return 0;
            }
            return n;
        }
        if (offset < m_windowAt || offset + n > m_windowAt + m_window.size()) {
            const size_t length = static_cast<size_t>(std::min<uint64_t>(kWindow, m_size - offset));
            m_window.resize(length);
            m_windowAt = offset;
            if (!m_read(m_start + offset, m_window.data(), length)) {
                m_window.clear();
                m_failed = true;
                return 0;
            }
        }
        std::memcpy(out, m_window.data() + (offset - m_windowAt), n);
        return n;
    }
    uint64_t Size() const override { return m_size; }
    // True when a part of the span could not be read: what was said about it counts for
    // nothing.
    bool Failed() const { return m_failed; }

private:
    static constexpr size_t kWindow = 64u << 10;
    const CFragmentSearch::ReadFn& m_read;
    uint64_t m_start;
    uint64_t m_size;
    mutable std::vector<uint8_t> m_window;
    mutable uint64_t m_windowAt = 0;
    mutable bool m_failed = false;
};

// Feeds every byte of source to scan, a slice at a time.
void FeedAll(JpegScanner& scan, const ByteSource& source)
{
    constexpr size_t kSlice = 256u << 10;
    std::vector<uint8_t> slice(static_cast<size_t>(std::min<uint64_t>(kSlice, source.Size())));
    for (uint64_t at = 0; at < source.Size();) {
        const size_t got = source.Read(at, slice.data(), slice.size());
        if (got == 0)
            break;
        scan.Feed(slice.data(), got);
        at += got;
    }
}

// The part of a file in the run folder that the search is sure of: its first Keep bytes,
// then the pieces taken so far, which wait past the carved bytes (at Stage) until the
// search ends, so that the file as carved can be given back whole.
class KnownPart : public ByteSource {
public:
    explicit KnownPart(int fd) : m_fd(fd) {}
    uint64_t Keep = 0;
    uint64_t Stage = 0;
    uint64_t Added = 0;

    size_t Read(uint64_t offset, uint8_t* out, size_t n) const override
    {
        size_t done = 0;
        if (offset < Keep)
            done = ReadAt(offset, out, static_cast<size_t>(std::min<uint64_t>(n, Keep - offset)));
        const uint64_t at = offset + done;
        if (done < n && at >= Keep && at - Keep < Added)
            done += ReadAt(Stage + (at - Keep), out + done,
                           static_cast<size_t>(std::min<uint64_t>(n - done, Added - (at - Keep))));
        return done;
    }
    uint64_t Size() const override { return Keep + Added; }

private:
    size_t ReadAt(uint64_t offset, uint8_t* out, size_t n) const { return px::ReadAt(m_fd, out, n, offset); }
    int m_fd;
};

// Writes all n bytes at offset; false with errno set when the file system refuses.
bool WriteAt(int fd, const uint8_t* data, size_t n, uint64_t offset)
{
    const int code = px::WriteAllAt(fd, data, n, offset);
    errno = code;
    return code == 0;
}

// Moves length bytes of fd from offset from down to offset to (to < from), a slice at a
// time; false with errno set when a read or write fails.
bool MovePieces(int fd, uint64_t from, uint64_t to, uint64_t length)
{
    std::vector<uint8_t> slice(static_cast<size_t>(std::min<uint64_t>(length, 1u << 20)));
    for (uint64_t done = 0; done < length;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(slice.size(), length - done));
        errno = 0;
        if (px::ReadAt(fd, slice.data(), n, from + done) != n) {
            if (errno == 0)
                errno = EIO;  // the file is shorter than it was a moment ago
            return false;
        }
        if (!WriteAt(fd, slice.data(), n, to + done))
            return false;
        done += n;
    }
    return true;
}

enum class CopyResult { Done, ReadFailed, WriteFailed };
// Copies the first length bytes of a candidate to fd at offset, a slice at a time.
CopyResult CopyPiece(const ByteSource& candidate, uint64_t length, int fd, uint64_t offset)
{
    std::vector<uint8_t> slice(static_cast<size_t>(std::min<uint64_t>(length, 1u << 20)));
    for (uint64_t done = 0; done < length;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(slice.size(), length - done));
        if (!candidate.ReadAll(done, slice.data(), n))
            return CopyResult::ReadFailed;
        if (!WriteAt(fd, slice.data(), n, offset + done))
            return CopyResult::WriteFailed;
        done += n;
    }
    return CopyResult::Done;
}

bool Printable(const uint8_t* p)
{
    return std::all_of(p, p + 4, [](uint8_t c) { return c >= 0x20 && c < 0x7F; });
}

// Never-written space: a mebibyte or more of zeros is no raw's, movie's or picture's data
// (a sound's silence, a few seconds of it, stays possible below that).
constexpr size_t kBlankRun = 1u << 20;

} // namespace

// True when the first bytes of a candidate can be a JPEG's data after its header: every
// FF is followed by a stuffed 00, a restart marker, a fill byte, a marker that may stand
// between the scans of a progressive picture (DHT, DAC, SOS, DQT, DNL, DRI, APPn, COM), or
// the EOI (after which anything goes). Another file's bytes fail this within a cluster.
bool CouldBeScanData(const uint8_t* p, size_t n)
{
    const uint8_t* end = p + n;
    while (p < end) {
        const uint8_t* ff = static_cast<const uint8_t*>(std::memchr(p, 0xFF, static_cast<size_t>(end - p)));
        if (!ff || ff + 1 >= end)
            return true;
        const uint8_t next = ff[1];
        if (next == 0xD9)
            return true;
        const bool between = next == 0xC4 || next == 0xCC || (next >= 0xDA && next <= 0xDD) || next == 0xFE ||
                             (next >= 0xE0 && next <= 0xEF);
        if (next != 0x00 && next != 0xFF && (next < 0xD0 || next > 0xD7) && !between)
            return false;
        p = ff + 1;
    }
    return true;
}

bool TrailerFits(const ByteSource& file, uint64_t imageEnd, uint64_t declared, uint64_t joint)
{
    const uint64_t size = file.Size();
    uint8_t p[16];
    if (imageEnd + 12 > size || !file.ReadAll(imageEnd, p, 8) || std::memcmp(p + 4, "ftyp", 4) != 0)
        return true;  // an MPO's further images: their places were checked with its index
    // A movie: every box header the walk meets past the joint must be one, and a movie
    // whose declared end the bytes hold ends with its last box there.
    const uint64_t limit = declared > imageEnd ? std::min(size, declared) : size;
    uint64_t at = imageEnd;
    for (int boxes = 0; at + 8 <= limit && boxes < 4096; ++boxes) {
        if (!file.ReadAll(at, p, 8))
            break;
        uint64_t length = (uint64_t(p[0]) << 24) | (uint64_t(p[1]) << 16) | (uint64_t(p[2]) << 8) | p[3];
        if (length == 1 && at + 16 <= size && file.ReadAll(at + 8, p + 8, 8)) {
            length = 0;
            for (int i = 8; i < 16; ++i)
                length = length << 8 | p[i];
        }
        if (length < 8 || !Printable(p + 4))
            return at < joint;
        at += length;
    }
    return !(declared > imageEnd && declared <= size && at != declared);
}

bool CFragmentSearch::Blank(uint64_t start, uint64_t size)
{
    if (size < kBlankRun)
        return false;
    const uint64_t end = start + size;
    std::vector<uint8_t> slice;
    for (uint64_t at = start; at < end;) {
        const auto known = std::upper_bound(m_zeros.begin(), m_zeros.end(), at,
                                            [](uint64_t value, const ByteRun& run) { return value < run.Start; });
        if (known != m_zeros.begin() && std::prev(known)->End > at) {
            at = std::prev(known)->End;
            continue;
        }
        // Small slices: another file's bytes show within the first.
        slice.resize(64u << 10);
        const size_t n = static_cast<size_t>(std::min<uint64_t>(slice.size(), end - at));
        if (!m_read(at, slice.data(), n) ||
            !std::all_of(slice.begin(), slice.begin() + static_cast<ptrdiff_t>(n), [](uint8_t b) { return b == 0; }))
            return false;
        // Remembered, joined with the known areas it touches.
        ByteRun zeros{at, at + n};
        auto first = std::lower_bound(m_zeros.begin(), m_zeros.end(), zeros.Start,
                                      [](const ByteRun& run, uint64_t value) { return run.End < value; });
        auto last = first;
        for (; last != m_zeros.end() && last->Start <= zeros.End; ++last) {
            zeros.Start = std::min(zeros.Start, last->Start);
            zeros.End = std::max(zeros.End, last->End);
        }
        m_zeros.insert(m_zeros.erase(first, last), zeros);
        at += n;
    }
    return true;
}

uint64_t CFragmentSearch::Confirm(const CarveRecord& record, const ByteSource& known, const JpegScanner& knownScan,
                                  uint64_t at, const ByteSource& candidate, bool& complete)
{
    const int32_t type = record.MovieKind ? 0 : record.Type;
    complete = false;
    const uint64_t joint = known.Size();
    // The file and the candidate read as one, without a copy of either.
    const JoinedSource source(known, candidate);
    if (type == FileTypeId::Jpg) {
        if (knownScan.ImageEnd() > 0 && knownScan.ImageEnd() <= joint) {
            // The picture ended in the known part: the candidate must continue what the
            // file declares after it (a motion photo's movie, an MPO's next image).
            JpegScanner scan = knownScan;
            FeedAll(scan, candidate);
            const FileEnd end = scan.State();
            if (!TrailerFits(source, scan.ImageEnd(), end.Length, joint))
                return 0;
            if (end.IsComplete() && end.Length > joint) {
                complete = true;
                return end.Length - joint;
            }
            if (end.IsNeedMore() && end.Length > joint)
                return std::min<uint64_t>(end.Length, source.Size()) - joint;
            return 0;
        }
        const JpegJoint check = CheckJpegJoint(source, joint);
        if (check.Verdict == JointVerdict::Ends && check.EndAt > joint) {
            // The picture's own structure decides what follows its last scan (the further
            // images of an MPO, a motion photo's movie).
            const FileEnd end = FindJpegEnd(source);
            uint64_t length = check.EndAt;
            if (end.IsComplete() && end.Length >= check.EndAt)
                length = end.Length;
            else if (end.IsNeedMore() && end.Length > check.EndAt)
                length = std::min<uint64_t>(end.Length, source.Size());
            complete = end.IsComplete() || length == check.EndAt;
            return length - joint;
        }
        if (check.Verdict == JointVerdict::Continues)
            return candidate.Size();
        if (check.Verdict == JointVerdict::Breaks && check.BreakAt > joint + m_cluster) {
            // Good for some clusters, then it goes on elsewhere: keep the clusters before
            // the one where the data stops fitting (the decoder notices a little late).
            const uint64_t good = (check.BreakAt - joint) / m_cluster * m_cluster;
            return good > m_cluster ? good - m_cluster : 0;
        }
        return 0;
    }
    if (Blank(at, candidate.Size()))
        return 0;
    const FileEnd end = record.MovieKind ? FindMovieEnd(record.MovieKind, source) : FindStructuredEnd(type, source);
    if (end.IsComplete() && end.Length > joint) {
        complete = true;
        return end.Length - joint;
    }
    if (end.IsNeedMore() && (end.Length == 0 || end.Length > joint))
        return candidate.Size();
    return 0;
}

bool CFragmentSearch::Complete(CarveRecord& record, std::string& error)
{
    record.Added.clear();
    record.Complete = false;
    if (record.Length == 0 || record.Length > kMaxFile)
        return true;
    // The file stays on disk and a candidate is read from the card as far as it is looked
    // at: a large movie's search costs no more memory than a picture's.
    const int fd = ::open(record.Path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        error = "Cannot read " + record.Path + ": " + px::SystemErrorText(errno);
        return false;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = "Cannot read " + record.Path + ": " + px::SystemErrorText(errno);
        return false;
    }
    const uint64_t carved = std::min<uint64_t>(record.Length, static_cast<uint64_t>(st.st_size));
    KnownPart known(fd);
    known.Keep = carved;
    known.Stage = carved;
    const bool jpeg = record.Type == FileTypeId::Jpg && record.MovieKind == 0;
    // The first piece may have run into clusters that are not the picture's (another
    // file's continuation has no header to stop the carve): keep the clusters that decode.
    // Asked when the scan saw something wrong inside it, else only when no piece fits
    // (no piece was taken then).
    auto cutToGoodPrefix = [&]() {
        const uint64_t good = JpegGoodPrefix(known, static_cast<uint32_t>(m_cluster));
        if (good >= known.Keep)
            return false;
        const uint64_t cut = ClusterAtOrBefore(record.CardStart + good);
        const uint64_t kept = cut > record.CardStart ? cut - record.CardStart : 0;
        if (kept == 0 || kept >= known.Keep)
            return false;
        Free(record.CardStart + kept, ClusterAtOrAfter(record.CardStart + known.Keep));
        known.Keep = kept;
        return true;
    };
    if (jpeg && record.Suspect && !cutToGoodPrefix() && known.Keep == 0)
        return true;
    if (record.SuspectAt > 0 && record.SuspectAt < known.Keep) {
        // A folder's cluster inside the carve: the first piece ends before it.
        const uint64_t cut = ClusterAtOrBefore(record.CardStart + record.SuspectAt);
        if (cut > record.CardStart) {
            Free(cut, ClusterAtOrAfter(record.CardStart + known.Keep));
            known.Keep = cut - record.CardStart;
        }
    }
    uint64_t position = record.CardStart + known.Keep;
    bool complete = false;
    bool prefixChecked = !jpeg || record.Suspect;
    std::vector<uint8_t> head;
    for (size_t piece = 0; piece < kMaxPieces && !complete; ++piece) {
        // How much of a free area to read: a window, or more when the structure needs more
        // (a raw's declared length); a JPEG whose window decodes well goes on in the next.
        uint64_t window = kJpegWindow;
        bool inTrailer = false;
        JpegScanner scan;
        if (jpeg) {
            FeedAll(scan, known);
            inTrailer = scan.ImageEnd() > 0;
            if (inTrailer && scan.State().Length > known.Size())
                window = std::max(window, std::min(kMaxCandidate, scan.State().Length - known.Size() + m_cluster));
        } else {
            const FileEnd need = record.MovieKind ? FindMovieEnd(record.MovieKind, known)
                                                  : FindStructuredEnd(record.Type, known);
            if (need.IsNeedMore() && need.Length > known.Size())
                window = std::max(window, std::min(kMaxCandidate, need.Length - known.Size() + m_cluster));
        }
        bool taken = false;
        size_t tried = 0;
        // The free areas after the last piece, nearest first; then, for a card whose writer
        // went on from where it last wrote and wrapped round to the start, those before the
        // file's first piece.
        const size_t count = m_unowned.size();
        const size_t after = static_cast<size_t>(
            std::lower_bound(m_unowned.begin(), m_unowned.end(), position,
                             [](const ByteRun& run, uint64_t value) { return run.End <= value; }) -
            m_unowned.begin());
        for (size_t step = 0; step < count && tried < kCandidates && !taken; ++step) {
            const size_t i = (after + step) % count;
            const ByteRun run = m_unowned[i];
            const bool wrapped = after + step >= count;
            if ((!wrapped && run.End <= position) || (wrapped && run.Start >= record.CardStart))
                continue;
            ++tried;
            // The piece may begin a few clusters into the free area: a folder's new
            // cluster or an empty one may lie in front of it.
            uint64_t start = ClusterAtOrAfter(wrapped ? run.Start : std::max(run.Start, position));
            for (size_t k = 0; k < kStartsPerArea && start < run.End && !taken; ++k, start += m_cluster) {
                const uint64_t size = std::min<uint64_t>(run.End - start, window);
                // Its first cluster first: most candidates fail on it, before more is read.
                head.resize(static_cast<size_t>(std::min<uint64_t>(size, m_cluster)));
                if (!m_read(start, head.data(), head.size()))
                    continue;
                if (jpeg && !inTrailer && !CouldBeScanData(head.data(), head.size()))
                    continue;
                const CardSpan candidate(m_read, start, size);
                uint64_t take = Confirm(record, known, scan, start, candidate, complete);
                if (candidate.Failed())
                    take = 0;
                if (take > 0) {
                    const CopyResult copied = CopyPiece(candidate, take, fd, known.Stage + known.Added);
                    if (copied == CopyResult::WriteFailed) {
                        error = "Cannot write " + record.Path + ": " + px::SystemErrorText(errno);
                        if (::ftruncate(fd, static_cast<off_t>(carved)) != 0)
                            error += " (" + px::SystemErrorText(errno) + ")";
                        record.Added.clear();
                        return false;
                    }
                    if (copied == CopyResult::ReadFailed)
                        take = 0;
                }
                if (take == 0) {
                    complete = false;
                    continue;
                }
                known.Added += take;
                record.Added.push_back({start, start + take});
                // The rest of the cluster after a file's end is slack, not another file's.
                Own(start, complete ? ClusterAtOrAfter(start + take) : start + take);
                position = start + take;
                taken = true;
            }
        }
        if (!taken && !prefixChecked && record.Added.empty()) {
            // Nothing fits after it: perhaps its first piece holds a stranger's clusters.
            prefixChecked = true;
            if (cutToGoodPrefix()) {
                position = record.CardStart + known.Keep;
                --piece;
                continue;
            }
        }
        if (!taken)
            break;
    }
    head = {};
    record.Complete = complete;
    if (record.Added.empty() && known.Keep == carved)
        return true;
    if (!complete && (record.Type != FileTypeId::Jpg || record.MovieKind) && known.Keep < carved) {
        // Without a decoder to tell which clusters fit, a cut is kept only when the pieces
        // found make the structure whole: otherwise the file stays as it was carved, its
        // clusters its own again and the pieces tried free for other files.
        for (const ByteRun& run : record.Added)
            Free(run.Start, run.End);
        Own(record.CardStart + known.Keep, ClusterAtOrAfter(record.CardStart + carved));
        record.Added.clear();
        if (::ftruncate(fd, static_cast<off_t>(carved)) != 0) {
            error = "Cannot write " + record.Path + ": " + px::SystemErrorText(errno);
            return false;
        }
        return true;
    }
    // The pieces move from past the carved bytes to right after the part kept.
    if (known.Stage != known.Keep && !MovePieces(fd, known.Stage, known.Keep, known.Added)) {
        error = "Cannot write " + record.Path + ": " + px::SystemErrorText(errno);
        return false;
    }
    if (::ftruncate(fd, static_cast<off_t>(known.Size())) != 0) {
        error = "Cannot write " + record.Path + ": " + px::SystemErrorText(errno);
        return false;
    }
    record.Length = known.Size();
    return true;
}

uint64_t InferClusterBytes(const std::vector<uint64_t>& starts, uint64_t& residue)
{
    residue = 0;
    if (starts.size() < 4)
        return 0;
    uint64_t best = 0;
    for (uint64_t size = 512; size <= (1u << 20); size *= 2) {
        std::map<uint64_t, size_t> counts;
        for (uint64_t start : starts)
            ++counts[start % size];
        const auto top = std::max_element(counts.begin(), counts.end(),
                                          [](const auto& a, const auto& b) { return a.second < b.second; });
        if (top->second * 10 < starts.size() * 9)
            break;
        best = size;
        residue = top->first;
    }
    return best;
}
