// Checked little-endian reads and writes at explicit offsets.
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>

namespace le {

// Reads fail (return false) rather than touch bytes outside the span.
template <typename T>
bool Read(std::span<const std::uint8_t> buf, std::size_t offset, T& out) {
  if (offset > buf.size() || buf.size() - offset < sizeof(T)) return false;
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) v |= static_cast<std::uint64_t>(buf[offset + i]) << (8 * i);
  out = static_cast<T>(v);
  return true;
}

// Unchecked forms for callers that validated the span's size once.
inline std::uint16_t U16(std::span<const std::uint8_t> b, std::size_t o) { return static_cast<std::uint16_t>(b[o] | (b[o + 1] << 8)); }
inline std::uint32_t U32(std::span<const std::uint8_t> b, std::size_t o) {
  return static_cast<std::uint32_t>(b[o]) | (static_cast<std::uint32_t>(b[o + 1]) << 8) |
         (static_cast<std::uint32_t>(b[o + 2]) << 16) | (static_cast<std::uint32_t>(b[o + 3]) << 24);
}
inline std::uint64_t U64(std::span<const std::uint8_t> b, std::size_t o) {
  return static_cast<std::uint64_t>(U32(b, o)) | (static_cast<std::uint64_t>(U32(b, o + 4)) << 32);
}

template <typename T>
bool Write(std::span<std::uint8_t> buf, std::size_t offset, T value) {
  if (offset > buf.size() || buf.size() - offset < sizeof(T)) return false;
  if constexpr (std::endian::native == std::endian::little && std::is_integral_v<T>) {
    // One store: the byte loop below is not merged by the compiler, and the
    // record images are written once per file of a saved scan.
    std::memcpy(buf.data() + offset, &value, sizeof(T));
  } else {
    const auto v = static_cast<std::uint64_t>(value);
    for (std::size_t i = 0; i < sizeof(T); ++i) buf[offset + i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  return true;
}

inline bool WriteBytes(std::span<std::uint8_t> buf, std::size_t offset, const void* src, std::size_t n) {
  if (offset > buf.size() || buf.size() - offset < n) return false;
  std::memcpy(buf.data() + offset, src, n);
  return true;
}

}  // namespace le
