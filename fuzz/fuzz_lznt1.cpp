// libFuzzer target for LZNT1 decompression. The first byte picks the output
// length (in 256-byte steps up to one 64 KiB unit); the rest is the unit as
// read. Every read must stay inside the input, every write inside the
// output length, and the bytes past it untouched.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "recover/lznt1.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t out_len = (static_cast<std::size_t>(data[0]) + 1) * 256;
  // An exact-size copy, so that a read past the input trips the sanitizer.
  const std::vector<std::uint8_t> in(data + 1, data + size);
  std::vector<std::uint8_t> out(out_len + 64, 0xA5);
  const int rc = DecompressLznt1(std::span<std::uint8_t>(out).first(out_len + 64), in, out_len);
  if (rc != 0 && rc != 1) std::abort();
  if (!std::all_of(out.begin() + static_cast<std::ptrdiff_t>(out_len), out.end(), [](std::uint8_t b) { return b == 0xA5; }))
    std::abort();
  return 0;
}
