#include "cardfs/dcfname.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <map>
#include <string_view>

namespace px {
namespace {

// What the three characters after a camera's lost first letter say it was: the DCF file
// prefixes of the common makers (Nikon DSC_/DSCN, Fujifilm DSCF, Sony DSC0, Canon IMG_ and
// MVI_, Pentax IMGP, Samsung SAM_, GoPro GOPR, phones VID_, sound memos SND_, movies MOV_).
constexpr std::array<std::pair<std::string_view, char>, 12> kPrefixes = {{
    {"SC_", 'D'}, {"SCN", 'D'}, {"SCF", 'D'}, {"SC0", 'D'}, {"MG_", 'I'}, {"VI_", 'M'},
    {"MGP", 'I'}, {"AM_", 'S'}, {"OPR", 'G'}, {"ID_", 'V'}, {"ND_", 'S'}, {"OV_", 'M'},
}};

bool IsShortNameChar(char c)
{
    return std::isupper(static_cast<unsigned char>(c)) || std::isdigit(static_cast<unsigned char>(c)) ||
           c == '_' || c == '-' || c == '~' || c == '$';
}

}  // namespace

bool LostFirstLetter(const std::string& name)
{
    if (name.size() < 2 || name[0] != '_')
        return false;
    const size_t dot = name.find('.');
    const size_t base = dot == std::string::npos ? name.size() : dot;
    if (base > 8 || (dot != std::string::npos && name.size() - dot - 1 > 3))
        return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (i != dot && !IsShortNameChar(name[i]))
            return false;
    return true;
}

std::string RestoreFirstLetter(const std::string& name, const std::vector<std::string>& neighbours)
{
    if (!LostFirstLetter(name) || name.size() < 4)
        return name;
    const std::string_view next = std::string_view(name).substr(1, 3);
    // The neighbours first: the letter most of them have before the same three characters.
    std::map<char, int> votes;
    for (const std::string& other : neighbours)
        if (other.size() >= 4 && other[0] != '_' && std::string_view(other).substr(1, 3) == next)
            ++votes[other[0]];
    char letter = 0;
    int most = 0;
    for (const auto& [c, count] : votes)
        if (count > most) {
            most = count;
            letter = c;
        }
    if (!letter) {
        for (const auto& [prefix, c] : kPrefixes)
            if (next == prefix)
                letter = c;
    }
    // Panasonic and Olympus names are "P" and seven digits.
    if (!letter && name.size() >= 8 && name.find('.') == 8 &&
        std::all_of(name.begin() + 1, name.begin() + 8, [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
        letter = 'P';
    if (!letter)
        return name;
    std::string restored = name;
    restored[0] = letter;
    return restored;
}

}  // namespace px
