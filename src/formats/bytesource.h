#pragma once
// Random access to the bytes of one file as far as they are known: a carved file in the
// run folder, a file being carved, or pieces of a card put together for a trial. The
// format rooms read through it only; none keeps a pointer past a call.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <algorithm>
#include <span>

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Copies up to n bytes at offset into out; returns how many were copied (fewer only at
    // the end of what is known, 0 past it).
    virtual size_t Read(uint64_t offset, uint8_t* out, size_t n) const = 0;
    // The number of bytes known (the file may go on past them).
    virtual uint64_t Size() const = 0;
    // True when all n bytes at offset were copied.
    bool ReadAll(uint64_t offset, uint8_t* out, size_t n) const { return Read(offset, out, n) == n; }
};

// Bytes held in memory.
class SpanSource : public ByteSource {
public:
    explicit SpanSource(std::span<const uint8_t> bytes) : m_bytes(bytes) {}
    size_t Read(uint64_t offset, uint8_t* out, size_t n) const override
    {
        if (offset >= m_bytes.size())
            return 0;
        const size_t take = static_cast<size_t>(std::min<uint64_t>(n, m_bytes.size() - offset));
        std::memcpy(out, m_bytes.data() + offset, take);
        return take;
    }
    uint64_t Size() const override { return m_bytes.size(); }

private:
    std::span<const uint8_t> m_bytes;
};

// Where a file ends by its own structure, as far as the bytes at hand tell.
struct FileEnd {
    enum class State {
        Complete,  // Length is the file's length (it may be less than the bytes at hand)
        NeedMore,  // the structure goes on past the bytes at hand; Length is the least
                   // length it needs when the structure tells it, else 0
        Unknown,   // no structure found or it is broken: the caller keeps its own rule
    };
    State Status = State::Unknown;
    uint64_t Length = 0;

    static FileEnd Complete(uint64_t length) { return {State::Complete, length}; }
    static FileEnd NeedMore(uint64_t atLeast = 0) { return {State::NeedMore, atLeast}; }
    static FileEnd Unknown() { return {}; }
    bool IsComplete() const { return Status == State::Complete; }
    bool IsNeedMore() const { return Status == State::NeedMore; }
};
