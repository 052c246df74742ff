#pragma once
// The file a recovery writes: appends are gathered, consecutive bytes into one span and
// the spans of several read buffers into one writev, so a file that takes several chunks
// costs one system call, and no block is copied. Whatever was appended must be flushed
// (Flush, Close or CloseBehind) before a read buffer it came from is reused; with a
// CWriteBehind, also written (CWriteBehind::WaitFor the ticket of the flush or close).
#include <sys/uio.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Writes the files' gathered spans on a thread of its own, taken in the order they were
// queued, so that the scan goes on with the next buffer while the last one is written.
// A caller that must wait for a write takes queued writes itself meanwhile, so neither
// side sits idle while there is writing to do. A write that fails records the system's
// error code in the file's state; the file sees it at its next flush, and at the latest
// when it is read back or closed.
//
// It also makes the next files ahead: a few empty files without a name in the run
// folder, which CCarveFile::Create links under the name it wants. Making a file searches
// the file system's inode table, which right after many files were deleted (a run folder
// thrown away before the next try) costs far more than writing it: that search is done
// here instead of in the scan.
class CWriteBehind {
public:
    struct FileState {
        std::atomic<int> Error{0};  // the first write's errno, 0 while every write went through
    };

    CWriteBehind();
    ~CWriteBehind();  // writes what is queued, then stops
    CWriteBehind(const CWriteBehind&) = delete;
    CWriteBehind& operator=(const CWriteBehind&) = delete;

    // Queues spans (their bytes must stay until the write is done) for fd at offset;
    // returns the write's ticket.
    uint64_t Queue(int fd, uint64_t offset, std::vector<iovec> spans, std::shared_ptr<FileState> state);
    // Queues cutting fd to size once the writes queued for it before are done (skipped
    // after a failed one); returns its ticket.
    uint64_t QueueTruncate(int fd, uint64_t size, std::shared_ptr<FileState> state);
    // Queues closing fd once the writes queued for it before are done: the descriptor is
    // the writer's from now on. A failed close is recorded like a failed write. Returns
    // its ticket.
    uint64_t QueueClose(int fd, std::shared_ptr<FileState> state);
    // The ticket of the last write queued (0: none yet).
    uint64_t Queued() const { return m_queued.load(std::memory_order_acquire); }
    // Every write up to this ticket is done (0: none yet); does not wait.
    uint64_t Done() const { return m_doneAtomic.load(std::memory_order_acquire); }
    // Returns once every write up to ticket is done, doing queued ones up to it meanwhile.
    void WaitFor(uint64_t ticket);
    // Does the first queued write of a file nobody is writing, on the caller's thread;
    // false when there is none.
    bool HelpOne();

    // Keeps files made ahead in folder from now on; an empty folder removes those left.
    void KeepSpares(const std::string& folder);
    // Gives the file at path (new, empty, opened for reading and writing) from one made
    // ahead: its descriptor, or -1 with error 0 when none is at hand (the caller makes it)
    // or with the system's error code when the name cannot be taken (EEXIST: a file or a
    // link is there).
    int TakeSpare(const std::string& path, int& error);

private:
    struct Write {
        enum class Op { Write, Truncate, Close };
        uint64_t Ticket;
        int Fd;
        uint64_t Offset;  // the file's new size for a Truncate
        std::vector<iovec> Spans;
        std::shared_ptr<FileState> State;
        Op Kind = Op::Write;
    };
    uint64_t Enqueue(Write write);
    void Loop();
    bool NeedsSpare() const { return !m_stop && !m_spareFolder.empty() && !m_sparesFailed && m_spares.size() < kSpares; }
    // Makes one file ahead (lock held on entry and on return).
    void MakeSpare(std::unique_lock<std::mutex>& lock);
    static void Remove(std::deque<int>& spares);
    // The first queued write up to ticket upTo whose file no other thread is writing: two
    // threads on one file would only wait for each other's lock on it.
    std::deque<Write>::iterator Takeable(uint64_t upTo);
    // Takes the write at `at` out of the queue and does it with the lock let go (lock held
    // on entry and on return).
    void WriteOne(std::unique_lock<std::mutex>& lock, std::deque<Write>::iterator at);

    std::mutex m_mutex;
    std::condition_variable m_work;   // the writer waits for writes
    std::condition_variable m_done;   // WaitFor waits for the writer
    std::deque<Write> m_writes;
    std::atomic<uint64_t> m_queued{0};
    // Under m_mutex: every write up to m_doneUpTo is done, and these after it as well
    // (the writer and a waiting caller finish in either order).
    uint64_t m_doneUpTo = 0;
    std::atomic<uint64_t> m_doneAtomic{0};  // m_doneUpTo, for Done without the lock
    std::vector<uint64_t> m_doneAhead;
    std::vector<int> m_busy;  // the files being written now, by the writer or a helper
    bool m_stop = false;
    // Files seldom begin closer together than the writer makes two; when they do, the scan
    // makes the next itself.
    static constexpr size_t kSpares = 2;
    std::string m_spareFolder;
    std::deque<int> m_spares;  // descriptors of files without a name yet
    bool m_sparesFailed = false;  // the folder or its file system refused: no more
    std::thread m_thread;
};

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
    // Cuts the file to size bytes (an end found in bytes already appended): appended
    // bytes past it are dropped unwritten; a file written past it is cut once its writes
    // are done (behind, with a CWriteBehind).
    bool Truncate(uint64_t size);
    // Opens an existing file for ReadBack only; Written() is its size. False when it
    // cannot be opened.
    bool OpenForReading(const std::string& path);
    // Flushes, then copies up to n bytes of the file at offset into out; the count copied
    // (0 on failure or past the end). The end rules read what was carved through it.
    size_t ReadBack(uint64_t offset, uint8_t* out, size_t n);
    // Flushes and closes; false when a write or the close failed.
    bool Close();
    // A file closed behind: its writes and its close go on on the writer's thread.
    struct Closing {
        uint64_t Ticket = 0;  // of the close; done: the file is whole and closed
        std::shared_ptr<CWriteBehind::FileState> State;
        std::string Path;
    };
    // With a CWriteBehind: flushes and leaves the writes and the close to it, without
    // waiting (closing.Ticket tells when they are done, closing.State whether one failed);
    // false when a write already failed. Without one: Close (closing.Ticket stays 0).
    bool CloseBehind(Closing& closing);
    // The error text of a failed write of the file at path.
    static std::string WriteError(const std::string& path, int code);
    bool IsOpen() const { return m_fd >= 0; }
    const std::string& Path() const { return m_path; }
    // The file was renamed while open.
    void SetPath(const std::string& path) { m_path = path; }
    const std::string& GetError() const { return m_error; }
    // The file's length once what was flushed is written.
    uint64_t Written() const { return m_written; }
    // Flushes go to writer from now on (null: written by Flush itself).
    void SetWriteBehind(CWriteBehind* writer) { m_writer = writer; }

private:
    bool Fail(int code);
    // Waits for this file's writes behind; false (failed, with the error) when one failed.
    bool Settle();
    // The state this file's writes behind share with the writer (made at the first).
    const std::shared_ptr<CWriteBehind::FileState>& SharedState();

    int m_fd = -1;
    std::string m_path;
    std::string m_error;
    // The spans appended and not yet written; a flush writes them when there are this many.
    static constexpr size_t kMaxSpans = 64;
    std::vector<iovec> m_spans;
    uint64_t m_written = 0;
    bool m_failed = false;
    CWriteBehind* m_writer = nullptr;
    std::shared_ptr<CWriteBehind::FileState> m_state;
    uint64_t m_lastTicket = 0;  // of this file's last write behind
};
