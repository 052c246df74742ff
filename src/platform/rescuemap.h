#pragma once
// The map of a card backup: which bytes of the card are copied into the image, which
// failed and which were not tried yet. It is written in GNU ddrescue's mapfile format, so
// a backup stopped here can go on with ddrescue, and a ddrescue run can go on here:
//
//   # comment lines
//   0x00120000     ?               1          current position, status and pass
//   0x00000000  0x00120000  +                 pos  size  status, contiguous from 0
//   0x00120000  0x00010000  *
//
// Area status: '?' not tried, '*' failed in a big request and not trimmed, '/' trimmed
// but not scraped (its edges are read, its inside not yet), '-' a bad block (failed read
// block by block), '+' copied. The current status names the phase: '?' copying, '*'
// trimming, '/' scraping, '-' retrying, '+' finished (ddrescue's 'F' and 'G' are read too).
// Positions and sizes are bytes; numbers are read as C writes them (0x hex, decimal).
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace px {

namespace RescueStatus {
constexpr char NonTried = '?';
constexpr char NonTrimmed = '*';
constexpr char NonScraped = '/';
constexpr char BadSector = '-';
constexpr char Finished = '+';
}  // namespace RescueStatus

struct RescueArea {
    uint64_t pos = 0;
    uint64_t size = 0;
    char status = RescueStatus::NonTried;
    uint64_t End() const { return pos + size; }
};

class RescueMap {
public:
    // A map of size bytes, all not tried, at position 0 of copying pass 1.
    explicit RescueMap(uint64_t size = 0);

    // Reads a mapfile's text. False with "line N: why" when it is no mapfile: a line that
    // is not "pos status [pass]" or "pos size status", an unknown status, areas that do
    // not follow each other, a size that overflows. A gap before the first area counts as
    // not tried.
    static bool Parse(const std::string& text, RescueMap& map, std::string* error);
    // Parse of a file's content; false with the system's reason when it cannot be read.
    static bool Load(const std::string& path, RescueMap& map, std::string* error);
    // The mapfile's text; commandLine goes into its comment.
    std::string Text(const std::string& commandLine) const;
    // Writes the text to path + ".tmp" and renames it over path, so a reader (or a run
    // stopped at any moment) finds either the old map or the new one, never half of one.
    // False with the system's reason (ENOSPC...) and the old map left as it was.
    bool Save(const std::string& path, const std::string& commandLine, std::string* error) const;

    uint64_t Size() const { return m_size; }
    // Grows the map with not-tried bytes, or cuts it.
    void Resize(uint64_t size);
    // Gives bytes [pos, pos + size) the status (clamped to the map's size).
    void Mark(uint64_t pos, uint64_t size, char status);
    char StatusAt(uint64_t pos) const;
    // The first area at or after from (an area that holds from starts at from) with the
    // status; false when there is none.
    bool Next(char status, uint64_t from, RescueArea& area) const;
    // Bytes of the status.
    uint64_t Bytes(char status) const;
    // Every area, neighbours of equal status merged.
    std::vector<RescueArea> Areas() const;
    // Inclusive ranges of blockSize blocks that hold any byte not copied ('+').
    std::vector<std::pair<uint64_t, uint64_t>> UncopiedBlocks(uint32_t blockSize) const;

    uint64_t CurrentPos() const { return m_currentPos; }
    char CurrentStatus() const { return m_currentStatus; }
    int CurrentPass() const { return m_currentPass; }
    void SetCurrent(uint64_t pos, char status, int pass)
    {
        m_currentPos = pos;
        m_currentStatus = status;
        m_currentPass = pass;
    }

private:
    // Makes pos the start of an area (when it lies inside one).
    void Split(uint64_t pos);

    uint64_t m_size = 0;
    // Area starts and their status; an area ends where the next begins, the last at m_size.
    std::map<uint64_t, char> m_areas;
    uint64_t m_currentPos = 0;
    char m_currentStatus = RescueStatus::NonTried;
    int m_currentPass = 1;
};

}  // namespace px
