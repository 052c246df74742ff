#include "tools/bootcode.h"

#include <cstring>

namespace fatboot {

namespace {

// Master boot code, 132 bytes of program (padded with zeros to 135). The BIOS loads it
// at 0000:7C00 with the boot drive in DL; DL is never changed, so the INT 13h read and
// the started boot sector both see the boot drive.
//
//   00 FA             cli
//   01 31 C0          xor  ax, ax
//   03 8E D0          mov  ss, ax
//   05 BC 00 7A       mov  sp, 7A00h            ; stack below the moved code
//   08 8E D8          mov  ds, ax
//   0A 8E C0          mov  es, ax
//   0C FB             sti
//   0D FC             cld
//   0E BE 00 7C       mov  si, 7C00h
//   11 BF 00 7A       mov  di, 7A00h
//   14 B9 00 01       mov  cx, 256
//   17 F3 A5          rep  movsw                ; the whole sector to 0000:7A00
//   19 EA 1E 7A 00 00 jmp  0000:7A1E            ; go on in the copy, at 1E
//   1E BE BE 7B       mov  si, 7BBEh            ; partition table of the copy (7A00h + 446)
//   21 31 DB          xor  bx, bx               ; BL: entries 80h, BH: entries 00h
//   23 B9 04 00       mov  cx, 4
//   26 8A 04    scan: mov  al, [si]             ; status byte
//   28 3C 80          cmp  al, 80h
//   2A 75 05          jne  31
//   2C 43             inc  bx                   ; one more active entry (BL)
//   2D 89 F5          mov  bp, si               ; remember it
//   2F EB 06          jmp  37
//   31 84 C0          test al, al
//   33 75 02          jnz  37
//   35 FE C7          inc  bh                   ; one more inactive entry
//   37 83 C6 10 next: add  si, 16
//   3A E2 EA          loop 26
//   3C 80 FF 04       cmp  bh, 4
//   3F 74 25          je   66                   ; all four 00h: no bootable partition
//   41 81 FB 01 03    cmp  bx, 0301h
//   45 75 24          jne  6B                   ; not one 80h and three 00h: invalid table
//   47 8A 76 01       mov  dh, [bp+1]           ; start head
//   4A 8B 4E 02       mov  cx, [bp+2]           ; start sector and cylinder
//   4D BB 00 7C       mov  bx, 7C00h
//   50 B8 01 02       mov  ax, 0201h            ; INT 13h read, one sector, to ES:BX
//   53 CD 13          int  13h
//   55 72 19          jc   70                   ; read error: damaged partition
//   57 81 3E FE 7D 55 AA cmp word [7DFEh], AA55h
//   5D 75 11          jne  70                   ; no 55 AA signature: damaged partition
//   5F 89 EE          mov  si, bp               ; DS:SI at the entry, as boot sectors expect
//   61 EA 00 7C 00 00 jmp  0000:7C00            ; start the partition's boot sector
//   66 BE 87 7A       mov  si, 7A87h            ; text at 135
//   69 EB 08          jmp  73
//   6B BE A5 7A       mov  si, 7AA5h            ; text at 165
//   6E EB 03          jmp  73
//   70 BE BC 7A       mov  si, 7ABCh            ; text at 188
//   73 AC      print: lodsb
//   74 84 C0          test al, al
//   76 74 09          jz   81
//   78 B4 0E          mov  ah, 0Eh              ; INT 10h teletype output
//   7A BB 07 00       mov  bx, 0007h            ; page 0, attribute 7
//   7D CD 10          int  10h
//   7F EB F2          jmp  73
//   81 F4      hang:  hlt
//   82 EB FD          jmp  81                   ; forever
const uint8_t kMasterProgram[] = {
    0xFA, 0x31, 0xC0, 0x8E, 0xD0, 0xBC, 0x00, 0x7A, 0x8E, 0xD8, 0x8E, 0xC0, 0xFB, 0xFC, 0xBE, 0x00, 0x7C,
    0xBF, 0x00, 0x7A, 0xB9, 0x00, 0x01, 0xF3, 0xA5, 0xEA, 0x1E, 0x7A, 0x00, 0x00, 0xBE, 0xBE, 0x7B, 0x31,
    0xDB, 0xB9, 0x04, 0x00, 0x8A, 0x04, 0x3C, 0x80, 0x75, 0x05, 0x43, 0x89, 0xF5, 0xEB, 0x06, 0x84, 0xC0,
    0x75, 0x02, 0xFE, 0xC7, 0x83, 0xC6, 0x10, 0xE2, 0xEA, 0x80, 0xFF, 0x04, 0x74, 0x25, 0x81, 0xFB, 0x01,
    0x03, 0x75, 0x24, 0x8A, 0x76, 0x01, 0x8B, 0x4E, 0x02, 0xBB, 0x00, 0x7C, 0xB8, 0x01, 0x02, 0xCD, 0x13,
    0x72, 0x19, 0x81, 0x3E, 0xFE, 0x7D, 0x55, 0xAA, 0x75, 0x11, 0x89, 0xEE, 0xEA, 0x00, 0x7C, 0x00, 0x00,
    0xBE, 0x87, 0x7A, 0xEB, 0x08, 0xBE, 0xA5, 0x7A, 0xEB, 0x03, 0xBE, 0xBC, 0x7A, 0xAC, 0x84, 0xC0, 0x74,
    0x09, 0xB4, 0x0E, 0xBB, 0x07, 0x00, 0xCD, 0x10, 0xEB, 0xF2, 0xF4, 0xEB, 0xFD,
};
static_assert(sizeof kMasterProgram <= kMasterBootProgramSize, "master boot program overlaps its texts");

// Volume boot code, 39 bytes of program and its text. It may be entered as 0000:7C00 or
// as 07C0:0000, and it sits at different offsets in FAT12/16 and FAT32 boot sectors, so
// it finds its text from its own address (CALL/POP) relative to CS.
//
//   00 FA             cli
//   01 31 C0          xor  ax, ax
//   03 8E D0          mov  ss, ax
//   05 BC 00 7C       mov  sp, 7C00h            ; stack below the boot sector
//   08 FB             sti
//   09 0E             push cs
//   0A 1F             pop  ds                   ; DS = CS, whichever form the BIOS used
//   0B E8 00 00       call 0E
//   0E 5E             pop  si                   ; SI = address of 0E
//   0F 83 C6 19       add  si, 25               ; SI = the text at 27h
//   12 FC             cld
//   13 AC      print: lodsb
//   14 08 C0          or   al, al
//   16 74 09          jz   21
//   18 B4 0E          mov  ah, 0Eh              ; INT 10h teletype output
//   1A BB 07 00       mov  bx, 0007h            ; page 0, attribute 7
//   1D CD 10          int  10h
//   1F EB F2          jmp  13
//   21 30 E4          xor  ah, ah               ; INT 16h: wait for a key
//   23 CD 16          int  16h
//   25 CD 19          int  19h                  ; bootstrap: start the machine again
//   27                the text
const uint8_t kBootProgram[] = {
    0xFA, 0x31, 0xC0, 0x8E, 0xD0, 0xBC, 0x00, 0x7C, 0xFB, 0x0E, 0x1F, 0xE8, 0x00, 0x00, 0x5E, 0x83, 0xC6, 0x19, 0xFC, 0xAC,
    0x08, 0xC0, 0x74, 0x09, 0xB4, 0x0E, 0xBB, 0x07, 0x00, 0xCD, 0x10, 0xEB, 0xF2, 0x30, 0xE4, 0xCD, 0x16, 0xCD, 0x19,
};
static_assert(sizeof kBootProgram == kBootProgramSize, "the boot program's text offset is built into it");

const char kBootText[] = "\r\nNon-system disk\r\nPress any key to reboot\r\n";
static_assert(kBootProgramSize + sizeof kBootText <= kBootCodeSize, "boot text does not fit");

void PutText(uint8_t* at, const char* text) { std::memcpy(at, text, std::strlen(text) + 1); }

}  // namespace

const std::array<uint8_t, kMasterBootCodeSize>& MasterBootCode()
{
    static const std::array<uint8_t, kMasterBootCodeSize> code = [] {
        std::array<uint8_t, kMasterBootCodeSize> c{};
        std::memcpy(c.data(), kMasterProgram, sizeof kMasterProgram);
        // The texts are the program's own, spelling included.
        PutText(c.data() + kMbrTextNoBootable, "No bootable partiton in table");
        PutText(c.data() + kMbrTextInvalidTable, "Invalid Partiton table");
        PutText(c.data() + kMbrTextDamaged, "Invalid or damaged Bootable partition");
        PutText(c.data() + kMbrTextSignature, "TolvexMedia Boot Partition Sector");
        return c;
    }();
    return code;
}

const std::array<uint8_t, kBootCodeSize>& BootCode()
{
    static const std::array<uint8_t, kBootCodeSize> code = [] {
        std::array<uint8_t, kBootCodeSize> c{};
        std::memcpy(c.data(), kBootProgram, sizeof kBootProgram);
        std::memcpy(c.data() + kBootProgramSize, kBootText, sizeof kBootText);
        return c;
    }();
    return code;
}

}  // namespace fatboot
