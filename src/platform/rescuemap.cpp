#include "platform/rescuemap.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iterator>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

#include "platform/fileio.h"
#include "platform/lasterror.h"

namespace px {

namespace {

bool AreaStatus(char c) { return c == '?' || c == '*' || c == '/' || c == '-' || c == '+'; }
// ddrescue's phases also fill ('F') and generate ('G') maps.
bool PhaseStatus(char c) { return AreaStatus(c) || c == 'F' || c == 'G'; }

bool ReadNumber(const std::string& word, uint64_t& value)
{
    if (word.empty() || word[0] == '-' || word[0] == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long n = std::strtoull(word.c_str(), &end, 0);
    if (errno != 0 || end != word.c_str() + word.size())
        return false;
    value = n;
    return true;
}

std::string Hex(uint64_t n)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(n));
    return text;
}

std::string Now()
{
    char text[32];
    const std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

const char* PhaseText(char status)
{
    switch (status) {
    case '?': return "Copying non-tried blocks";
    case '*': return "Trimming failed blocks";
    case '/': return "Scraping failed blocks";
    case '-': return "Retrying bad sectors";
    case '+': return "Finished";
    default: return "Other";
    }
}

}  // namespace

RescueMap::RescueMap(uint64_t size) : m_size(size)
{
    if (size > 0)
        m_areas[0] = RescueStatus::NonTried;
}

bool RescueMap::Parse(const std::string& text, RescueMap& map, std::string* error)
{
    auto fail = [&](int line, const std::string& why) {
        if (error)
            *error = "line " + std::to_string(line) + ": " + why;
        return false;
    };
    RescueMap result;
    bool haveCurrent = false;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;)
            w.push_back(word);
        if (w.empty() || w[0][0] == '#')
            continue;
        if (!haveCurrent) {
            uint64_t pos = 0, pass = 1;
            if (w.size() < 2 || w.size() > 3 || !ReadNumber(w[0], pos) || w[1].size() != 1 || !PhaseStatus(w[1][0]) ||
                (w.size() == 3 && (!ReadNumber(w[2], pass) || pass == 0 || pass > 1000)))
                return fail(number, "expected the current position, status and pass");
            result.SetCurrent(pos, w[1][0], static_cast<int>(pass));
            haveCurrent = true;
            continue;
        }
        uint64_t pos = 0, size = 0;
        if (w.size() != 3 || !ReadNumber(w[0], pos) || !ReadNumber(w[1], size) || w[2].size() != 1)
            return fail(number, "expected an area: position, size, status");
        if (!AreaStatus(w[2][0]))
            return fail(number, "unknown status '" + w[2] + "'");
        if (pos + size < pos)
            return fail(number, "the area goes past the largest position");
        if (pos < result.m_size || (pos > result.m_size && !result.m_areas.empty()))
            return fail(number, "the area does not start where the one before ends");
        if (size == 0)
            continue;
        if (result.m_areas.empty())
            result.m_areas[0] = pos > 0 ? RescueStatus::NonTried : w[2][0];
        result.m_size = pos + size;
        result.Mark(pos, size, w[2][0]);
    }
    if (!haveCurrent)
        return fail(number, "no current position: the file is empty or holds only comments");
    map = std::move(result);
    return true;
}

bool RescueMap::Load(const std::string& path, RescueMap& map, std::string* error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        if (error)
            *error = "Cannot read the map " + path + ": " + SystemErrorText(errno);
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    std::string why;
    if (!Parse(text.str(), map, &why)) {
        if (error)
            *error = "The map " + path + " is not a mapfile (" + why + ")";
        return false;
    }
    return true;
}

std::string RescueMap::Text(const std::string& commandLine) const
{
    std::string text = "# Mapfile. Created by px3 (Pixsalvo 3)\n";
    text += "# Command line: " + commandLine + "\n";
    text += "# Current time: " + Now() + "\n";
    text += std::string("# ") + PhaseText(m_currentStatus) + "\n";
    text += "# current_pos  current_status  current_pass\n";
    text += Hex(m_currentPos) + "     " + m_currentStatus + "               " + std::to_string(m_currentPass) + "\n";
    text += "#      pos        size  status\n";
    for (const RescueArea& area : Areas())
        text += Hex(area.pos) + "  " + Hex(area.size) + "  " + area.status + "\n";
    return text;
}

bool RescueMap::Save(const std::string& path, const std::string& commandLine, std::string* error) const
{
    const std::string temp = path + ".tmp";
    const std::string text = Text(commandLine);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int code = fd < 0 ? errno : WriteAll(fd, text.data(), text.size());
    if (fd >= 0 && ::close(fd) != 0 && code == 0)
        code = errno;
    if (code == 0 && ::rename(temp.c_str(), path.c_str()) != 0)
        code = errno;
    if (code != 0) {
        if (fd >= 0)
            ::unlink(temp.c_str());
        if (error)
            *error = "Cannot write the map " + path + ": " + SystemErrorText(code);
        return false;
    }
    return true;
}

void RescueMap::Resize(uint64_t size)
{
    if (size > m_size) {
        const uint64_t old = m_size;
        if (m_areas.empty())
            m_areas[0] = RescueStatus::NonTried;
        m_size = size;
        Mark(old, size - old, RescueStatus::NonTried);
    } else if (size < m_size) {
        m_areas.erase(m_areas.lower_bound(size), m_areas.end());
        m_size = size;
    }
}

void RescueMap::Split(uint64_t pos)
{
    if (pos >= m_size || m_areas.count(pos))
        return;
    auto it = m_areas.upper_bound(pos);
    --it;   // the area that holds pos: area 0 always exists while m_size > 0
    m_areas[pos] = it->second;
}

void RescueMap::Mark(uint64_t pos, uint64_t size, char status)
{
    if (pos >= m_size || size == 0)
        return;
    const uint64_t end = size > m_size - pos ? m_size : pos + size;
    Split(pos);
    Split(end);
    m_areas.erase(m_areas.lower_bound(pos), m_areas.lower_bound(end));
    m_areas[pos] = status;
    // Neighbours of the same status become one area.
    auto it = m_areas.find(pos);
    auto after = std::next(it);
    if (after != m_areas.end() && after->second == status)
        m_areas.erase(after);
    if (it != m_areas.begin() && std::prev(it)->second == status)
        m_areas.erase(it);
}

char RescueMap::StatusAt(uint64_t pos) const
{
    if (pos >= m_size)
        return RescueStatus::NonTried;
    return std::prev(m_areas.upper_bound(pos))->second;
}

bool RescueMap::Next(char status, uint64_t from, RescueArea& area) const
{
    if (from >= m_size)
        return false;
    auto it = std::prev(m_areas.upper_bound(from));
    for (; it != m_areas.end(); ++it) {
        if (it->second != status)
            continue;
        const auto next = std::next(it);
        const uint64_t end = next == m_areas.end() ? m_size : next->first;
        area.pos = std::max(it->first, from);
        area.size = end - area.pos;
        area.status = status;
        return true;
    }
    return false;
}

uint64_t RescueMap::Bytes(char status) const
{
    uint64_t bytes = 0;
    for (auto it = m_areas.begin(); it != m_areas.end(); ++it) {
        if (it->second != status)
            continue;
        const auto next = std::next(it);
        bytes += (next == m_areas.end() ? m_size : next->first) - it->first;
    }
    return bytes;
}

std::vector<RescueArea> RescueMap::Areas() const
{
    std::vector<RescueArea> areas;
    for (auto it = m_areas.begin(); it != m_areas.end(); ++it) {
        const auto next = std::next(it);
        const uint64_t end = next == m_areas.end() ? m_size : next->first;
        areas.push_back({it->first, end - it->first, it->second});
    }
    return areas;
}

std::vector<std::pair<uint64_t, uint64_t>> RescueMap::UncopiedBlocks(uint32_t blockSize) const
{
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    for (const RescueArea& area : Areas()) {
        if (area.status == RescueStatus::Finished)
            continue;
        const uint64_t first = area.pos / blockSize;
        const uint64_t last = (area.End() - 1) / blockSize;
        // A block that an uncopied area shares with the one before is already listed.
        if (!ranges.empty() && ranges.back().second + 1 >= first)
            ranges.back().second = std::max(ranges.back().second, last);
        else
            ranges.emplace_back(first, last);
    }
    return ranges;
}

}  // namespace px
