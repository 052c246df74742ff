#include "recovery/ccarvefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>

#include "platform/fileio.h"
#include "platform/lasterror.h"

namespace {

// Writes the spans at offset: 0, or the system's error code.
int WriteSpans(int fd, uint64_t offset, std::vector<iovec>& spans)
{
    size_t first = 0;
    while (first < spans.size()) {
        const int count = static_cast<int>(std::min<size_t>(spans.size() - first, IOV_MAX));
        const ssize_t n = ::pwritev(fd, spans.data() + first, count, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : ENOSPC;
        offset += static_cast<uint64_t>(n);
        // Step over what was written; a span written in part keeps its rest.
        size_t left = static_cast<size_t>(n);
        while (first < spans.size() && left >= spans[first].iov_len)
            left -= spans[first++].iov_len;
        if (left > 0) {
            spans[first].iov_base = static_cast<uint8_t*>(spans[first].iov_base) + left;
            spans[first].iov_len -= left;
        }
    }
    return 0;
}

}  // namespace

CWriteBehind::CWriteBehind() : m_thread([this] { Loop(); }) {}

CWriteBehind::~CWriteBehind()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_work.notify_one();
    m_thread.join();
    Remove(m_spares);
}

void CWriteBehind::Remove(std::deque<int>& spares)
{
    for (const int fd : spares)
        ::close(fd);  // unnamed: gone with the descriptor
    spares.clear();
}

void CWriteBehind::KeepSpares(const std::string& folder)
{
    std::deque<int> old;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (folder == m_spareFolder)
            return;
        old.swap(m_spares);
        m_spareFolder = folder;
        m_sparesFailed = false;
    }
    Remove(old);
    m_work.notify_one();
}

void CWriteBehind::MakeSpare(std::unique_lock<std::mutex>& lock)
{
    const std::string folder = m_spareFolder;
    lock.unlock();
    // A file without a name: the folder is not locked while the file system looks for
    // its inode, and nothing is left behind if the run stops.
    const int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0644);
    lock.lock();
    if (fd < 0) {
        if (folder == m_spareFolder)
            m_sparesFailed = true;  // the scan makes its files itself and says why not
        return;
    }
    if (folder == m_spareFolder && !m_stop) {
        m_spares.push_back(fd);
        return;
    }
    ::close(fd);
}

int CWriteBehind::TakeSpare(const std::string& path, int& error)
{
    error = 0;
    int fd = -1;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const size_t slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash);
        std::string_view mine = m_spareFolder;
        while (mine.size() > 1 && mine.back() == '/')
            mine.remove_suffix(1);
        if (m_spares.empty() || folder != mine)
            return -1;
        fd = m_spares.front();
        m_spares.pop_front();
    }
    m_work.notify_one();  // the next one
    // The name is given only where nothing is: a link never replaces a file or a link.
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return fd;
    const int code = errno;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (code == EEXIST) {
        m_spares.push_front(fd);
        error = code;
        return -1;
    }
    // No way to name such a file here (no /proc): the scan makes its own files.
    m_sparesFailed = true;
    m_spares.push_front(fd);
    Remove(m_spares);
    return -1;
}

uint64_t CWriteBehind::Queue(int fd, uint64_t offset, std::vector<iovec> spans, std::shared_ptr<FileState> state)
{
    return Enqueue(Write{0, fd, offset, std::move(spans), std::move(state), Write::Op::Write});
}

uint64_t CWriteBehind::QueueTruncate(int fd, uint64_t size, std::shared_ptr<FileState> state)
{
    return Enqueue(Write{0, fd, size, {}, std::move(state), Write::Op::Truncate});
}

uint64_t CWriteBehind::QueueClose(int fd, std::shared_ptr<FileState> state)
{
    return Enqueue(Write{0, fd, 0, {}, std::move(state), Write::Op::Close});
}

uint64_t CWriteBehind::Enqueue(Write write)
{
    uint64_t ticket = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ticket = m_queued.load(std::memory_order_relaxed) + 1;
        write.Ticket = ticket;
        m_writes.push_back(std::move(write));
        m_queued.store(ticket, std::memory_order_release);
    }
    m_work.notify_one();
    return ticket;
}

void CWriteBehind::WaitFor(uint64_t ticket)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_doneUpTo < ticket) {
        const auto next = Takeable(ticket);
        if (next != m_writes.end())
            WriteOne(lock, next);
        else
            m_done.wait(lock);
    }
}

bool CWriteBehind::HelpOne()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto next = Takeable(UINT64_MAX);
    if (next == m_writes.end())
        return false;
    WriteOne(lock, next);
    return true;
}

std::deque<CWriteBehind::Write>::iterator CWriteBehind::Takeable(uint64_t upTo)
{
    for (auto it = m_writes.begin(); it != m_writes.end() && it->Ticket <= upTo; ++it)
        if (std::find(m_busy.begin(), m_busy.end(), it->Fd) == m_busy.end())
            return it;
    return m_writes.end();
}

void CWriteBehind::WriteOne(std::unique_lock<std::mutex>& lock, std::deque<Write>::iterator at)
{
    Write write = std::move(*at);
    m_writes.erase(at);
    m_busy.push_back(write.Fd);
    lock.unlock();
    // After a failed write the file's later writes are dropped (it is failed anyway); its
    // close is not.
    const bool failed = write.State->Error.load() != 0;
    int code = 0;
    switch (write.Kind) {
    case Write::Op::Write:
        code = failed ? 0 : WriteSpans(write.Fd, write.Offset, write.Spans);
        break;
    case Write::Op::Truncate:
        if (!failed && ::ftruncate(write.Fd, static_cast<off_t>(write.Offset)) != 0)
            code = errno;
        break;
    case Write::Op::Close:
        if (::close(write.Fd) != 0 && errno != EINTR)
            code = errno;
        break;
    }
    if (code != 0) {
        int none = 0;
        write.State->Error.compare_exchange_strong(none, code);
    }
    lock.lock();
    m_busy.erase(std::find(m_busy.begin(), m_busy.end(), write.Fd));
    if (write.Ticket == m_doneUpTo + 1) {
        ++m_doneUpTo;
        for (auto next = std::find(m_doneAhead.begin(), m_doneAhead.end(), m_doneUpTo + 1); next != m_doneAhead.end();
             next = std::find(m_doneAhead.begin(), m_doneAhead.end(), m_doneUpTo + 1)) {
            m_doneAhead.erase(next);
            ++m_doneUpTo;
        }
        m_doneAtomic.store(m_doneUpTo, std::memory_order_release);
    } else {
        m_doneAhead.push_back(write.Ticket);
    }
    m_done.notify_all();
    if (!m_writes.empty())
        m_work.notify_one();  // a write of this file may wait for the writer
}

void CWriteBehind::Loop()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_work.wait(lock, [&] { return m_stop || NeedsSpare() || Takeable(UINT64_MAX) != m_writes.end(); });
        // A file made ahead first: the scan may wait for it sooner than for a write.
        if (NeedsSpare()) {
            MakeSpare(lock);
            continue;
        }
        const auto next = Takeable(UINT64_MAX);
        if (next != m_writes.end())
            WriteOne(lock, next);
        else if (m_writes.empty())
            return;  // stopped, and everything queued is written
        else
            m_done.wait(lock);  // stopped: a helper writes the file of the writes left
    }
}

CCarveFile::~CCarveFile() { Close(); }

bool CCarveFile::Fail(int code)
{
    m_failed = true;
    m_error = WriteError(m_path, code);
    return false;
}

bool CCarveFile::Create(const std::string& path)
{
    Close();
    m_path = path;
    m_error.clear();
    m_failed = false;
    m_written = 0;
    m_state.reset();
    m_lastTicket = 0;
    int error = 0;
    m_fd = m_writer ? m_writer->TakeSpare(path, error) : -1;
    if (m_fd < 0 && error == 0)
        m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        m_error = "Cannot create " + path + ": " + px::SystemErrorText(error != 0 ? error : errno);
        return false;
    }
    return true;
}

bool CCarveFile::Append(const uint8_t* data, size_t size)
{
    if (m_fd < 0 || m_failed)
        return false;
    if (size == 0)
        return true;
    if (!m_spans.empty()) {
        iovec& last = m_spans.back();
        if (static_cast<const uint8_t*>(last.iov_base) + last.iov_len == data) {
            last.iov_len += size;
            return true;
        }
        if (m_spans.size() >= kMaxSpans && !Flush())
            return false;
    }
    m_spans.push_back(iovec{const_cast<uint8_t*>(data), size});
    return true;
}

bool CCarveFile::Flush()
{
    if (m_failed)
        return false;
    if (m_state && m_state->Error.load() != 0) {
        m_spans.clear();
        return Fail(m_state->Error.load());
    }
    if (m_spans.empty())
        return true;
    uint64_t size = 0;
    for (const iovec& span : m_spans)
        size += span.iov_len;
    if (m_writer) {
        m_lastTicket = m_writer->Queue(m_fd, m_written, std::move(m_spans), SharedState());
        m_spans = {};
        m_written += size;
        return true;
    }
    const int code = WriteSpans(m_fd, m_written, m_spans);
    m_spans.clear();
    if (code != 0)
        return Fail(code);
    m_written += size;
    return true;
}

const std::shared_ptr<CWriteBehind::FileState>& CCarveFile::SharedState()
{
    if (!m_state)
        m_state = std::make_shared<CWriteBehind::FileState>();
    return m_state;
}

bool CCarveFile::Settle()
{
    if (m_writer && m_lastTicket != 0)
        m_writer->WaitFor(m_lastTicket);
    if (!m_failed && m_state && m_state->Error.load() != 0)
        return Fail(m_state->Error.load());
    return !m_failed;
}

bool CCarveFile::Truncate(uint64_t size)
{
    if (m_fd < 0 || m_failed)
        return false;
    if (size >= m_written) {
        // The end lies in what was appended: what follows it is never written.
        uint64_t keep = size - m_written;
        size_t span = 0;
        for (; span < m_spans.size() && keep > 0; ++span) {
            if (m_spans[span].iov_len > keep)
                m_spans[span].iov_len = static_cast<size_t>(keep);
            keep -= m_spans[span].iov_len;
        }
        m_spans.resize(span);
        return true;
    }
    m_spans.clear();
    if (m_writer) {
        m_lastTicket = m_writer->QueueTruncate(m_fd, size, SharedState());
        m_written = size;
        return true;
    }
    if (::ftruncate(m_fd, static_cast<off_t>(size)) != 0)
        return Fail(errno);
    m_written = size;
    return true;
}

bool CCarveFile::OpenForReading(const std::string& path)
{
    Close();
    m_path = path;
    m_error.clear();
    m_failed = false;
    m_state.reset();
    m_lastTicket = 0;
    m_fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (m_fd < 0)
        return false;
    struct stat st {};
    m_written = ::fstat(m_fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    return true;
}

size_t CCarveFile::ReadBack(uint64_t offset, uint8_t* out, size_t n)
{
    if (m_fd < 0 || !Flush() || !Settle())
        return 0;
    return px::ReadAt(m_fd, out, n, offset);
}

bool CCarveFile::CloseBehind(Closing& closing)
{
    closing = Closing{};
    if (!m_writer)
        return Close();
    if (m_fd < 0)
        return !m_failed;
    const bool ok = Flush();
    closing = Closing{m_writer->QueueClose(m_fd, SharedState()), m_state, m_path};
    m_fd = -1;
    return ok && !m_failed;
}

std::string CCarveFile::WriteError(const std::string& path, int code)
{
    return "Cannot write " + path + ": " + px::SystemErrorText(code);
}

bool CCarveFile::Close()
{
    if (m_fd < 0)
        return !m_failed;
    bool ok = Flush();
    // No write behind may still use the descriptor.
    ok = Settle() && ok;
    if (::close(m_fd) != 0 && ok)
        ok = Fail(errno);
    m_fd = -1;
    return ok && !m_failed;
}
