#pragma once
// The two real-mode programs that a formatted card carries: the master boot code at the
// start of the master boot record and the boot code of the volume boot sector. A camera
// never runs them; a PC that is started with the card in a reader does.
#include <array>
#include <cstdint>

namespace fatboot {

// Size of the master boot code, copied to offset 0 of the master boot record (the
// partition table follows at 446).
constexpr std::size_t kMasterBootCodeSize = 260;
// Size of the code area inside the master boot code; the texts follow it.
constexpr std::size_t kMasterBootProgramSize = 135;
// Offsets of the master boot code's texts.
constexpr std::size_t kMbrTextNoBootable = 135;
constexpr std::size_t kMbrTextInvalidTable = 165;
constexpr std::size_t kMbrTextDamaged = 188;
constexpr std::size_t kMbrTextSignature = 226;

// Size of the boot code of a volume boot sector, and of the program at its start.
constexpr std::size_t kBootCodeSize = 84;
constexpr std::size_t kBootProgramSize = 39;

// The master boot code: moves its sector from 0x7C00 to 0x7A00, checks the partition
// table and starts the one active partition's boot sector, or prints why it cannot.
const std::array<uint8_t, kMasterBootCodeSize>& MasterBootCode();
// The volume boot code: prints "Non-system disk / Press any key to reboot", waits for a
// key and restarts through the BIOS bootstrap service. Position independent: it runs
// at offset 62 of a FAT12/16 boot sector and at offset 90 of a FAT32 one.
const std::array<uint8_t, kBootCodeSize>& BootCode();

}  // namespace fatboot
