#pragma once
// Writing a whole buffer to a file descriptor, and reading one back, the way every writer
// of the program needs it: a short write or read is continued, an interrupted one retried.
#include <cstddef>
#include <cstdint>

namespace px {

// Writes size bytes of data to fd. 0 when all were written, else the errno of the write
// that failed (ENOSPC on a full disk, EFBIG past a file size limit...).
int WriteAll(int fd, const void* data, size_t size);
// The same at a file offset (the descriptor's position is neither used nor moved); ENOSPC
// when the file system takes nothing more.
int WriteAllAt(int fd, const void* data, size_t size, uint64_t offset);
// Reads up to size bytes of fd at offset into out; fewer only at the end of the file or
// when a read fails. Returns how many were read.
size_t ReadAt(int fd, void* out, size_t size, uint64_t offset);

}  // namespace px
