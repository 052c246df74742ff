#include "services/cdecrypt.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/lasterror.h"
#include "platform/messagepump.h"

namespace {

// Closes a file descriptor when it goes out of scope.
struct Fd {
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

}  // namespace

CDecrypt::CDecrypt(std::string source, std::string target) : m_strSource(std::move(source)), m_strTarget(std::move(target)) {}

void CDecrypt::Apply(uint8_t* data, size_t size)
{
    for (size_t i = 0; i < size; ++i)
        data[i] ^= Key;
}

bool CDecrypt::Run()
{
    auto fail = [this](const std::string& what, int error) {
        AddError(TransferError::CopyFile, what + ": " + px::SystemErrorText(error));
        ::unlink(m_strTarget.c_str());
        return false;
    };
    Fd in;
    in.fd = ::open(m_strSource.c_str(), O_RDONLY | O_CLOEXEC);
    if (in.fd < 0)
        return fail(m_strSource, errno);
    ::unlink(m_strTarget.c_str());
    Fd out;
    out.fd = ::open(m_strTarget.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (out.fd < 0)
        return fail(m_strTarget, errno);
    std::vector<uint8_t> block(BlockSize);
    for (;;) {
        // One whole block per round (a pipe or a slow disk may hand it over in pieces).
        size_t got = 0;
        while (got < block.size()) {
            const ssize_t n = ::read(in.fd, block.data() + got, block.size() - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return fail(m_strSource, errno);
            if (n == 0)
                break;
            got += size_t(n);
        }
        if (got == 0)
            break;
        Apply(block.data(), got);
        for (size_t written = 0; written < got;) {
            const ssize_t n = ::write(out.fd, block.data() + written, got - written);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return fail(m_strTarget, errno);
            written += size_t(n);
        }
        px::PumpMessages();
        try {
            CheckErrors();
        } catch (...) {
            ::unlink(m_strTarget.c_str());
            throw;
        }
        if (got < block.size())
            break;
    }
    const int closed = ::close(out.fd);
    out.fd = -1;
    if (closed != 0)
        return fail(m_strTarget, errno);
    return true;
}
