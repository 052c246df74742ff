#pragma once
// Card images for the file system tests: made at test time with dosfstools, mtools,
// exfatprogs and sfdisk in a temporary folder, read back into memory.
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "cardfs/cardgeometry.h"
#include "support/fixtures.h"

namespace px::test {

// Runs a shell command and throws with its output when it fails, so that a missing tool
// fails the test.
inline std::string Sh(const std::string& command)
{
    std::string out;
    const int rc = Run("export MTOOLS_SKIP_CHECK=1 TZ=UTC; " + command + " 2>&1", &out);
    if (rc != 0)
        throw std::runtime_error("command failed (" + std::to_string(rc) + "): " + command + "\n" + out);
    return out;
}

class CardImage {
public:
    explicit CardImage(const TempHome& home, const std::string& name = "card.img") : m_path(home.File(name)) {}
    const std::string& Path() const { return m_path; }
    std::string Q() const { return Quote(m_path); }
    // The image for mtools with the volume at a byte offset.
    std::string At(uint64_t offset) const { return Quote(m_path + "@@" + std::to_string(offset)); }

    void Load() { m_bytes = ReadFile(m_path); }
    void Save() const
    {
        if (!WriteFile(m_path, m_bytes))
            throw std::runtime_error("cannot write " + m_path);
    }
    std::vector<uint8_t>& Bytes() { return m_bytes; }
    CardReadFn Reader() const
    {
        return [this](uint64_t offset, uint8_t* out, size_t n) {
            if (offset > m_bytes.size() || n > m_bytes.size() - offset)
                return false;
            std::memcpy(out, m_bytes.data() + offset, n);
            return true;
        };
    }
    std::vector<CardGeometry> Geometry() const { return ReadCardGeometry(Reader(), m_bytes.size()); }

private:
    std::string m_path;
    std::vector<uint8_t> m_bytes;
};

}  // namespace px::test
