#include "recovery/ccarvefile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
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
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
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
    if (m_pending && m_pending + m_pendingSize == data) {
        m_pendingSize += size;
        return true;
    }
    if (!Flush())
        return false;
    m_pending = data;
    m_pendingSize = size;
    return true;
}

bool CCarveFile::Flush()
{
    if (m_failed)
        return false;
    while (m_pendingSize > 0) {
        const ssize_t n = ::write(m_fd, m_pending, m_pendingSize);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            m_pending = nullptr;
            m_pendingSize = 0;
            return Fail(errno);
        }
        if (n == 0) {
            m_pending = nullptr;
            m_pendingSize = 0;
            return Fail(ENOSPC);
        }
        m_pending += n;
        m_pendingSize -= static_cast<size_t>(n);
        m_written += static_cast<uint64_t>(n);
    }
    m_pending = nullptr;
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
