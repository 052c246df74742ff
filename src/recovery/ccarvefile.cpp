#include "recovery/ccarvefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/lasterror.h"

CCarveFile::~CCarveFile() { Close(); }

bool CCarveFile::Fail(int code)
{
    m_failed = true;
    m_error = "Cannot write " + m_path + ": " + px::SystemErrorText(code);
    return false;
}

bool CCarveFile::Create(const std::string& path)
{
    Close();
    m_path = path;
    m_error.clear();
    m_failed = false;
    m_written = 0;
    m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        m_error = "Cannot create " + path + ": " + px::SystemErrorText(errno);
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
    size_t first = 0;
    while (first < m_spans.size()) {
        const int count = static_cast<int>(std::min<size_t>(m_spans.size() - first, IOV_MAX));
        const ssize_t n = ::writev(m_fd, m_spans.data() + first, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int code = n < 0 ? errno : ENOSPC;
            m_spans.clear();
            return Fail(code);
        }
        m_written += static_cast<uint64_t>(n);
        // Step over what was written; a span written in part keeps its rest.
        size_t left = static_cast<size_t>(n);
        while (first < m_spans.size() && left >= m_spans[first].iov_len)
            left -= m_spans[first++].iov_len;
        if (left > 0) {
            m_spans[first].iov_base = static_cast<uint8_t*>(m_spans[first].iov_base) + left;
            m_spans[first].iov_len -= left;
        }
    }
    m_spans.clear();
    return true;
}

bool CCarveFile::Truncate(uint64_t size)
{
    if (m_fd < 0 || !Flush())
        return false;
    if (size >= m_written)
        return true;
    if (::ftruncate(m_fd, static_cast<off_t>(size)) != 0 || ::lseek(m_fd, static_cast<off_t>(size), SEEK_SET) < 0)
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
    m_fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (m_fd < 0)
        return false;
    struct stat st {};
    m_written = ::fstat(m_fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    return true;
}

size_t CCarveFile::ReadBack(uint64_t offset, uint8_t* out, size_t n)
{
    if (m_fd < 0 || !Flush())
        return 0;
    size_t done = 0;
    while (done < n) {
        const ssize_t got = ::pread(m_fd, out + done, n - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<size_t>(got);
    }
    return done;
}

bool CCarveFile::Close()
{
    if (m_fd < 0)
        return !m_failed;
    bool ok = Flush();
    if (::close(m_fd) != 0 && ok)
        ok = Fail(errno);
    m_fd = -1;
    return ok && !m_failed;
}
