#pragma once
// The file a recovery writes: appends are gathered, consecutive bytes into one span and
// the spans of several read buffers into one writev, so a file that takes several chunks
// costs one system call, and no block is copied. Whatever was appended must be flushed
// (Flush or Close) before a read buffer it came from is reused.
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CCarveFile {
public:
    CCarveFile() = default;
    ~CCarveFile();
    CCarveFile(const CCarveFile&) = delete;
    CCarveFile& operator=(const CCarveFile&) = delete;

    // Creates the file for writing; a name that exists (a file, or a link planted there)
    // is never opened or followed. False with GetError on failure.
    bool Create(const std::string& path);
    // Appends bytes; they stay in the caller's buffer until the next Flush. False with
    // GetError when an earlier write failed.
    bool Append(const uint8_t* data, size_t size);
    // Writes what was appended. False with GetError (the system's text) on failure.
    bool Flush();
    // Flushes, then cuts the file to size bytes (an end found in bytes already written).
    bool Truncate(uint64_t size);
    // Opens an existing file for ReadBack only; Written() is its size. False when it
    // cannot be opened.
    bool OpenForReading(const std::string& path);
    // Flushes, then copies up to n bytes of the file at offset into out; the count copied
    // (0 on failure or past the end). The end rules read what was carved through it.
    size_t ReadBack(uint64_t offset, uint8_t* out, size_t n);
    // Flushes and closes; false when a write or the close failed.
    bool Close();
    bool IsOpen() const { return m_fd >= 0; }
    const std::string& Path() const { return m_path; }
    // The file was renamed while open.
    void SetPath(const std::string& path) { m_path = path; }
    const std::string& GetError() const { return m_error; }
    uint64_t Written() const { return m_written; }

private:
    bool Fail(int code);

    int m_fd = -1;
    std::string m_path;
    std::string m_error;
    // The spans appended and not yet written; a flush writes them when there are this many.
    static constexpr size_t kMaxSpans = 64;
    std::vector<iovec> m_spans;
    uint64_t m_written = 0;
    bool m_failed = false;
};
