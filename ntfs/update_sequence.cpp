#include "ntfs/update_sequence.h"

#include "app/shell.h"
#include "platform/bytes.h"

namespace {

// The header fields: the array's offset at 4 and its entry count at 6.
constexpr std::size_t kUpdateSequenceHeader = 8;
constexpr std::size_t kArrayOffsetField = 4;
constexpr std::size_t kCountField = 6;

// Checks every sector before anything is changed, so a torn buffer is left as read.
const char* Check(std::span<const std::uint8_t> buf, std::size_t sector_size, UpdateSequence& out) {
  const std::size_t size = buf.size();
  if (size < kUpdateSequenceHeader) return "buffer shorter than the header";
  if (sector_size < 2) return "sector size below one word";
  const std::size_t usa = le::U16(buf, kArrayOffsetField);
  const std::size_t count = le::U16(buf, kCountField);
  if (count == 0) return "count 0";
  const std::size_t n = count - 1;
  if (sector_size * n != size) return "count does not cover the buffer";
  if (usa > size - 2) return "array past the buffer";
  const std::uint8_t usn_low = buf[usa];
  for (std::size_t i = 1; i <= n; ++i) {
    const std::size_t last = i * sector_size - 2;
    const std::size_t entry = usa + 2 * i;
    if (last + 2 > size || entry + 2 > size) return "array past the buffer";
    if (buf[last] != usn_low) return "torn sector";
  }
  out.array_offset = usa;
  out.sectors = n;
  return nullptr;
}

}  // namespace

const char* UpdateSequenceFault(std::span<const std::uint8_t> buffer, std::size_t sector_size) {
  UpdateSequence us;
  return Check(buffer, sector_size, us);
}

std::optional<UpdateSequence> ReadUpdateSequence(std::span<const std::uint8_t> buffer, std::size_t sector_size) {
  UpdateSequence us;
  if (const char* fault = Check(buffer, sector_size, us)) {
    DebugPrint("ReadUpdateSequence: %s", fault);
    return std::nullopt;
  }
  return us;
}

int ApplyUpdateSequence(std::span<std::uint8_t> buffer, std::size_t sector_size, UpdateSequenceMode mode) {
  const std::optional<UpdateSequence> us = ReadUpdateSequence(buffer, sector_size);
  if (!us) return 0;
  if (mode == UpdateSequenceMode::Restore) {
    for (std::size_t i = 1; i <= us->sectors; ++i) {
      const std::size_t last = i * sector_size - 2;
      const std::size_t entry = us->array_offset + 2 * i;
      buffer[last] = buffer[entry];
      buffer[last + 1] = buffer[entry + 1];
    }
  }
  return 1;
}
