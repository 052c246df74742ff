#pragma once
// Writing a whole buffer to a file descriptor, the way every writer of the program needs
// it: a short write is continued, an interrupted one retried.
#include <cstddef>

namespace px {

// Writes size bytes of data to fd. 0 when all were written, else the errno of the write
// that failed (ENOSPC on a full disk, EFBIG past a file size limit...).
int WriteAll(int fd, const void* data, size_t size);

}  // namespace px
