#include "recovery/cfragmentsearch.h"

#include <fcntl.h>
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

// Two byte spans read as one: a file's known part and a candidate after it.
class JoinedSource : public ByteSource {
public:
    JoinedSource(const std::vector<uint8_t>& first, const std::vector<uint8_t>& second) : m_first(first), m_second(second)
    {
    }
    size_t Read(uint64_t offset, uint8_t* out, size_t n) const override
    {
        size_t done = 0;
        if (offset < m_first.size()) {
            done = static_cast<size_t>(std::min<uint64_t>(n, m_first.size() - offset));
            std::memcpy(out, m_first.data() + offset, done);
        }
        const uint64_t at = offset + done;
        if (done < n && at >= m_first.size() && at - m_first.size() < m_second.size()) {
            const size_t take = static_cast<size_t>(std::min<uint64_t>(n - done, m_second.size() - (at - m_first.size())));
            std::memcpy(out + done, m_second.data() + (at - m_first.size()), take);
            done += take;
        }
        return done;
    }
    uint64_t Size() const override { return m_first.size() + m_second.size(); }

private:
    const std::vector<uint8_t>& m_first;
    const std::vector<uint8_t>& m_second;
};

bool Printable(const uint8_t* p)
{
    return std::all_of(p, p + 4, [](uint8_t c) { return c >= 0x20 && c < 0x7F; });
}

// Never-written space: a mebibyte or more of zeros is no raw's, movie's or picture's data
// (a sound's silence, a few seconds of it, stays possible below that).
constexpr size_t kBlankRun = 1u << 20;
bool Blank(const std::vector<uint8_t>& bytes)
{
    return bytes.size() >= kBlankRun &&
           std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

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

bool TrailerFits(const std::vector<uint8_t>& file, uint64_t imageEnd, uint64_t joint)
{
    const uint64_t size = file.size();
    if (imageEnd + 12 > size || std::memcmp(file.data() + imageEnd + 4, "ftyp", 4) != 0)
        return true;  // an MPO's further images: their places were checked with its index
    // A movie: every box header the walk meets past the joint must be one, and a movie
    // whose declared end the bytes hold ends with its last box there.
    JpegScanner scan;
    scan.Feed(file.data(), file.size());
    const uint64_t declared = scan.State().Length;
    const uint64_t limit = declared > imageEnd ? std::min(size, declared) : size;
    uint64_t at = imageEnd;
    for (int boxes = 0; at + 8 <= limit && boxes < 4096; ++boxes) {
        const uint8_t* p = file.data() + at;
        uint64_t length = (uint64_t(p[0]) << 24) | (uint64_t(p[1]) << 16) | (uint64_t(p[2]) << 8) | p[3];
        if (length == 1 && at + 16 <= size) {
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

uint64_t CFragmentSearch::Confirm(const CarveRecord& record, std::vector<uint8_t>& file,
                                  const std::vector<uint8_t>& candidate, bool& complete) const
{
    const int32_t type = record.MovieKind ? 0 : record.Type;
    complete = false;
    const uint64_t joint = file.size();
    // The file and the candidate read as one, without a copy of either.
    const JoinedSource source(file, candidate);
    if (type == FileTypeId::Jpg) {
        JpegScanner scan;
        scan.Feed(file.data(), file.size());
        if (scan.ImageEnd() > 0 && scan.ImageEnd() <= joint) {
            // The picture ended in the known part: the candidate must continue what the
            // file declares after it (a motion photo's movie, an MPO's next image).
            scan.Feed(candidate.data(), candidate.size());
            const FileEnd end = scan.State();
            std::vector<uint8_t> trial;
            trial.reserve(file.size() + candidate.size());
            trial.insert(trial.end(), file.begin(), file.end());
            trial.insert(trial.end(), candidate.begin(), candidate.end());
            if (!TrailerFits(trial, scan.ImageEnd(), joint))
                return 0;
            if (end.IsComplete() && end.Length > joint) {
                complete = true;
                return end.Length - joint;
            }
            if (end.IsNeedMore() && end.Length > joint)
                return std::min<uint64_t>(end.Length, trial.size()) - joint;
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
            return candidate.size();
        if (check.Verdict == JointVerdict::Breaks && check.BreakAt > joint + m_cluster) {
            // Good for some clusters, then it goes on elsewhere: keep the clusters before
            // the one where the data stops fitting (the decoder notices a little late).
            const uint64_t good = (check.BreakAt - joint) / m_cluster * m_cluster;
            return good > m_cluster ? good - m_cluster : 0;
        }
        return 0;
    }
    if (Blank(candidate))
        return 0;
    const FileEnd end = record.MovieKind ? FindMovieEnd(record.MovieKind, source) : FindStructuredEnd(type, source);
    if (end.IsComplete() && end.Length > joint) {
        complete = true;
        return end.Length - joint;
    }
    if (end.IsNeedMore() && (end.Length == 0 || end.Length > joint))
        return candidate.size();
    return 0;
}

bool CFragmentSearch::Complete(CarveRecord& record, std::string& error)
{
    record.Added.clear();
    record.Complete = false;
    if (record.Length == 0 || record.Length > kMaxFile)
        return true;
    std::vector<uint8_t> file(static_cast<size_t>(record.Length));
    {
        const int fd = ::open(record.Path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            error = "Cannot read " + record.Path + ": " + px::SystemErrorText(errno);
            return false;
        }
        size_t got = 0;
        while (got < file.size()) {
            const ssize_t n = ::pread(fd, file.data() + got, file.size() - got, static_cast<off_t>(got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        ::close(fd);
        file.resize(got);
    }
    const uint64_t carved = file.size();
    uint64_t keep = carved;
    const bool jpeg = record.Type == FileTypeId::Jpg && record.MovieKind == 0;
    // The first piece may have run into clusters that are not the picture's (another
    // file's continuation has no header to stop the carve): keep the clusters that decode.
    // Asked when the scan saw something wrong inside it, else only when no piece fits.
    auto cutToGoodPrefix = [&]() {
        const uint64_t good = JpegGoodPrefix(SpanSource(file), static_cast<uint32_t>(m_cluster));
        if (good >= file.size())
            return false;
        const uint64_t cut = ClusterAtOrBefore(record.CardStart + good);
        const uint64_t kept = cut > record.CardStart ? cut - record.CardStart : 0;
        if (kept == 0 || kept >= file.size())
            return false;
        Free(record.CardStart + kept, ClusterAtOrAfter(record.CardStart + file.size()));
        keep = kept;
        file.resize(static_cast<size_t>(keep));
        return true;
    };
    if (jpeg && record.Suspect && !cutToGoodPrefix() && keep == 0)
        return true;
    if (record.SuspectAt > 0 && record.SuspectAt < keep) {
        // A folder's cluster inside the carve: the first piece ends before it.
        const uint64_t cut = ClusterAtOrBefore(record.CardStart + record.SuspectAt);
        if (cut > record.CardStart) {
            Free(cut, ClusterAtOrAfter(record.CardStart + keep));
            keep = cut - record.CardStart;
            file.resize(static_cast<size_t>(keep));
        }
    }
    uint64_t position = record.CardStart + keep;
    bool complete = false;
    bool prefixChecked = !jpeg || record.Suspect;
    for (size_t piece = 0; piece < kMaxPieces && !complete; ++piece) {
        // How much of a free area to read: a window, or more when the structure needs more
        // (a raw's declared length); a JPEG whose window decodes well goes on in the next.
        uint64_t window = kJpegWindow;
        bool inTrailer = false;
        if (jpeg) {
            JpegScanner scan;
            scan.Feed(file.data(), file.size());
            inTrailer = scan.ImageEnd() > 0;
            if (inTrailer && scan.State().Length > file.size())
                window = std::max(window, std::min(kMaxCandidate, scan.State().Length - file.size() + m_cluster));
        } else {
            const SpanSource known(file);
            const FileEnd need = record.MovieKind ? FindMovieEnd(record.MovieKind, known)
                                                  : FindStructuredEnd(record.Type, known);
            if (need.IsNeedMore() && need.Length > file.size())
                window = std::max(window, std::min(kMaxCandidate, need.Length - file.size() + m_cluster));
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
                const size_t head = static_cast<size_t>(std::min<uint64_t>(size, m_cluster));
                std::vector<uint8_t> candidate(head);
                if (!m_read(start, candidate.data(), head))
                    continue;
                if (jpeg && !inTrailer && !CouldBeScanData(candidate.data(), head))
                    continue;
                candidate.resize(static_cast<size_t>(size));
                if (size > head && !m_read(start + head, candidate.data() + head, candidate.size() - head))
                    continue;
                const uint64_t take = Confirm(record, file, candidate, complete);
                if (take == 0)
                    continue;
                file.reserve(file.size() + static_cast<size_t>(take));  // no room to spare: memory stays bounded
                file.insert(file.end(), candidate.begin(), candidate.begin() + static_cast<ptrdiff_t>(take));
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
                position = record.CardStart + keep;
                --piece;
                continue;
            }
        }
        if (!taken)
            break;
    }
    record.Complete = complete;
    if (record.Added.empty() && keep == carved)
        return true;
    if (!complete && (record.Type != FileTypeId::Jpg || record.MovieKind) && keep < carved) {
        // Without a decoder to tell which clusters fit, a cut is kept only when the pieces
        // found make the structure whole: otherwise the file stays as it was carved, its
        // clusters its own again and the pieces tried free for other files.
        for (const ByteRun& run : record.Added)
            Free(run.Start, run.End);
        Own(record.CardStart + keep, ClusterAtOrAfter(record.CardStart + carved));
        record.Added.clear();
        return true;
    }
    const int fd = ::open(record.Path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        error = "Cannot write " + record.Path + ": " + px::SystemErrorText(errno);
        return false;
    }
    bool ok = ::ftruncate(fd, static_cast<off_t>(keep)) == 0;
    size_t done = static_cast<size_t>(keep);
    while (ok && done < file.size()) {
        const ssize_t n = ::pwrite(fd, file.data() + done, file.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = false;
            if (n == 0)
                errno = ENOSPC;
            break;
        }
        done += static_cast<size_t>(n);
    }
    const int code = errno;
    if (::close(fd) != 0 && ok)
        ok = false;
    if (!ok) {
        error = "Cannot write " + record.Path + ": " + px::SystemErrorText(code);
        return false;
    }
    record.Length = file.size();
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
