#pragma once
// The file a recovery writes: appends of consecutive bytes of the read buffer are
// gathered into one write, so a file that takes a whole chunk costs one system call, and
// no block is copied. Whatever was appended must be flushed (Flush or Close) before the
// read buffer is reused.
#include <cstddef>
#include <cstdint>
#include <string>

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
    // Flushes and closes; false when a write or the close failed.
    bool Close();
    bool IsOpen() const { return m_fd >= 0; }
    const std::string& Path() const { return m_path; }
    const std::string& GetError() const { return m_error; }
    uint64_t Written() const { return m_written; }

private:
    bool Fail(int code);

    int m_fd = -1;
    std::string m_path;
    std::string m_error;
    const uint8_t* m_pending = nullptr;
    size_t m_pendingSize = 0;
    uint64_t m_written = 0;
    bool m_failed = false;
};
