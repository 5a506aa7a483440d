#include "utils/boot_stub.h"

#include <algorithm>
#include <array>

namespace {

// The BIOS enters at 0000:7C00 or 07C0:0000; the stub finds its own address
// with call/pop and uses DS = CS, so it runs at whatever offset it is put.
//
//   00  FA          cli
//   01  31 C0       xor  ax, ax
//   03  8E D0       mov  ss, ax
//   05  BC 00 7C    mov  sp, 0x7C00
//   08  FB          sti
//   09  0E          push cs
//   0A  1F          pop  ds
//   0B  E8 00 00    call here
//   0E  5E   here:  pop  si
//   0F  83 C6 1C    add  si, msg - here
//   12  FC          cld
//   13  AC   next:  lodsb
//   14  84 C0       test al, al
//   16  74 09       jz   wait
//   18  B4 0E       mov  ah, 0x0E          ; teletype output
//   1A  BB 07 00    mov  bx, 0x0007        ; page 0, light grey
//   1D  CD 10       int  0x10
//   1F  EB F2       jmp  next
//   21  30 E4 wait: xor  ah, ah            ; wait for a key
//   23  CD 16       int  0x16
//   25  CD 19       int  0x19              ; let the BIOS try the next device
//   27  F4   halt:  hlt
//   28  EB FD       jmp  halt
//   2A  msg:        "...", 0
constexpr char kMessage[] = "\r\nThis volume is not bootable.\r\nPress any key to restart.\r\n";

constexpr std::array<std::uint8_t, 0x2A> kCode = {
    0xFA, 0x31, 0xC0, 0x8E, 0xD0, 0xBC, 0x00, 0x7C, 0xFB, 0x0E, 0x1F, 0xE8, 0x00, 0x00,
    0x5E, 0x83, 0xC6, 0x1C, 0xFC, 0xAC, 0x84, 0xC0, 0x74, 0x09, 0xB4, 0x0E, 0xBB, 0x07,
    0x00, 0xCD, 0x10, 0xEB, 0xF2, 0x30, 0xE4, 0xCD, 0x16, 0xCD, 0x19, 0xF4, 0xEB, 0xFD};

constexpr auto MakeStub() {
  std::array<std::uint8_t, kCode.size() + sizeof kMessage> out{};
  for (std::size_t i = 0; i < kCode.size(); ++i) out[i] = kCode[i];
  for (std::size_t i = 0; i < sizeof kMessage; ++i) out[kCode.size() + i] = static_cast<std::uint8_t>(kMessage[i]);
  return out;  // the message's terminating zero is the last byte
}

constexpr auto kStub = MakeStub();

}  // namespace

std::span<const std::uint8_t> BootStub() { return kStub; }

void PlaceBootStub(std::span<std::uint8_t> area) {
  const std::size_t n = std::min(area.size(), kStub.size());
  std::copy_n(kStub.begin(), n, area.begin());
}
