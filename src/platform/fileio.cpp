#include "platform/fileio.h"

#include <cerrno>
#include <unistd.h>

namespace px {

int WriteAll(int fd, const void* data, size_t size)
{
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t done = ::write(fd, at, size);
        if (done < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        at += done;
        size -= size_t(done);
    }
    return 0;
}

int WriteAllAt(int fd, const void* data, size_t size, uint64_t offset)
{
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t done = ::pwrite(fd, at, size, static_cast<off_t>(offset));
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return done < 0 ? errno : ENOSPC;
        at += done;
        size -= size_t(done);
        offset += uint64_t(done);
    }
    return 0;
}

size_t ReadAt(int fd, void* out, size_t size, uint64_t offset)
{
    char* at = static_cast<char*>(out);
    size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, at + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += size_t(got);
    }
    return done;
}

}  // namespace px
