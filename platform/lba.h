// Sector addresses and sector ranges. Every value that builds an LBA comes
// from disk or from a saved record, so sums, differences and byte offsets are
// checked here, in one place, instead of at each use.
#pragma once
#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>

struct Lba {
  std::uint64_t value = 0;

  constexpr Lba() = default;
  constexpr explicit Lba(std::uint64_t v) : value(v) {}

  // value + n; nothing when the sum does not fit.
  constexpr std::optional<Lba> Plus(std::uint64_t n) const {
    if (value > UINT64_MAX - n) return std::nullopt;
    return Lba(value + n);
  }
  // value - n; nothing below sector 0.
  constexpr std::optional<Lba> Minus(std::uint64_t n) const {
    if (n > value) return std::nullopt;
    return Lba(value - n);
  }
  // Where the sector starts in bytes; nothing when that does not fit 64 bits.
  constexpr std::optional<std::uint64_t> ByteOffset(std::uint64_t sector_size = 512) const {
    if (sector_size != 0 && value > UINT64_MAX / sector_size) return std::nullopt;
    return value * sector_size;
  }

  // Volume records keep LBAs as signed 64-bit fields (their stored byte
  // image); a negative one names no sector.
  static constexpr std::optional<Lba> FromStored(std::int64_t v) {
    if (v < 0) return std::nullopt;
    return Lba(static_cast<std::uint64_t>(v));
  }
  // The record field's form: the same 64 bits.
  constexpr std::int64_t Stored() const { return static_cast<std::int64_t>(value); }

  constexpr auto operator<=>(const Lba&) const = default;
};

// `count` sectors from `start`.
struct SectorRange {
  Lba start;
  std::uint64_t count = 0;

  // One past the last sector; nothing when it does not fit.
  constexpr std::optional<Lba> End() const { return start.Plus(count); }
  constexpr bool Contains(Lba lba) const { return lba >= start && lba.value - start.value < count; }
  // The range cut to end before `limit` (a drive's sector count): empty when it starts at or past it.
  constexpr SectorRange Within(std::uint64_t limit) const {
    if (start.value >= limit) return {start, 0};
    const std::uint64_t room = limit - start.value;
    return {start, count < room ? count : room};
  }
};
