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

}  // namespace px
