// The update sequence of a multi-sector NTFS structure: the last word of every
// sector is replaced on disk by the sequence number, its real value saved in
// an array in the header; a sector that was not written with the rest shows.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// NTFS protects its records in 512-byte strides whatever the drive's sector size.
inline constexpr std::size_t kNtfsSectorSize = 512;

enum class UpdateSequenceMode { Check, Restore };

struct UpdateSequence {
  std::size_t array_offset = 0;  // the sequence number, then one saved word per sector
  std::size_t sectors = 0;
};

// Why the buffer's update sequence fails, or nullptr when it holds. Writes no
// debug line, for probes that test many buffers.
const char* UpdateSequenceFault(std::span<const std::uint8_t> buffer, std::size_t sector_size);
// The buffer's update sequence, checked against every sector it covers (only
// the low byte of the sequence number is compared, as on disk).
std::optional<UpdateSequence> ReadUpdateSequence(std::span<const std::uint8_t> buffer, std::size_t sector_size);
// 1 when the update sequence holds; Restore then puts the saved words back.
// A buffer that fails is left unchanged.
int ApplyUpdateSequence(std::span<std::uint8_t> buffer, std::size_t sector_size, UpdateSequenceMode mode);
