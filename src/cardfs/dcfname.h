#pragma once
// The first letter of a deleted short file name. FAT marks a deleted entry by writing 0xE5
// over the first byte of its 8.3 name, so "DSC_0161.JPG" comes back as "_SC_0161.JPG".
// A camera names its files by the DCF rule: four letters, then a number ("DSC_", "IMG_",
// "DSCF", "MVI_", "P1000123" ...). The lost letter is taken from a name in the same folder
// that still has it and shares the next three characters, else from the prefixes that
// cameras use.
#include <string>
#include <vector>

namespace px {

// True when name is a deleted FAT short name whose first letter was lost: it begins with
// the '_' that stands for the lost byte and is an 8.3 name in upper case.
bool LostFirstLetter(const std::string& name);

// The name with its first letter put back when a neighbour (another name of the same
// folder whose first letter is known) or a camera prefix tells it; name unchanged else.
std::string RestoreFirstLetter(const std::string& name, const std::vector<std::string>& neighbours);

}  // namespace px
