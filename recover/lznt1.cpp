#include "recover/lznt1.h"

#include <algorithm>

namespace {

constexpr std::uint16_t kChunkCompressed = 0x8000;
constexpr std::uint16_t kChunkSizeMask = 0x0FFF;

enum class Chunk { Done, More, Malformed };

// One compressed chunk's tokens, from `in` (exactly the chunk's data) to
// out[pos..]; the output grows at most to 4096 bytes and to `limit`.
Chunk DecompressChunk(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, std::size_t& pos,
                      std::size_t limit) {
  const std::size_t chunk_start = pos;
  std::size_t i = 0;
  while (i < in.size()) {
    const std::uint8_t flags = in[i++];
    for (int bit = 0; bit < 8 && i < in.size(); ++bit) {
      const std::size_t p = pos - chunk_start;  // position within the chunk's output
      if (!(flags & (1u << bit))) {
        if (p >= kLznt1ChunkSize) return Chunk::Malformed;
        out[pos++] = in[i++];
      } else {
        if (in.size() - i < 2) return Chunk::Malformed;
        const std::uint16_t token = static_cast<std::uint16_t>(in[i] | (in[i + 1] << 8));
        i += 2;
        if (p == 0) return Chunk::Malformed;
        // The further into the chunk, the more bits go to the displacement.
        unsigned shift = 12;
        std::uint16_t mask = 0x0FFF;
        for (std::size_t q = p - 1; q >= 16; q >>= 1) {
          --shift;
          mask >>= 1;
        }
        const std::size_t displacement = static_cast<std::size_t>(token >> shift) + 1;
        const std::size_t length = static_cast<std::size_t>(token & mask) + 3;
        if (displacement > p) return Chunk::Malformed;
        if (p + length > kLznt1ChunkSize) return Chunk::Malformed;
        // Byte by byte: the source may overlap what this copy writes.
        for (std::size_t k = 0; k < length; ++k) {
          out[pos] = out[pos - displacement];
          if (++pos == limit) return Chunk::Done;
        }
        continue;
      }
      if (pos == limit) return Chunk::Done;
    }
  }
  return Chunk::More;
}

}  // namespace

int DecompressLznt1(std::span<std::uint8_t> out, std::span<const std::uint8_t> in, std::size_t out_len) {
  const std::size_t limit = std::min(out_len, out.size());
  std::size_t pos = 0, at = 0;
  while (pos < limit) {
    // A stream may fill its clusters exactly: no end marker then.
    if (in.size() - at < 2) return in.size() == at ? 1 : 0;
    const std::uint16_t header = static_cast<std::uint16_t>(in[at] | (in[at + 1] << 8));
    at += 2;
    if ((header & kChunkSizeMask) == 0) return 1;
    const std::size_t size = static_cast<std::size_t>(header & kChunkSizeMask) + 1;
    if (size > in.size() - at) return 0;
    const std::span<const std::uint8_t> data = in.subspan(at, size);
    at += size;
    if (!(header & kChunkCompressed)) {
      // Stored as is: as many bytes as the header gives, 4096 at most.
      const std::size_t n = std::min(size, limit - pos);
      std::copy_n(data.begin(), n, out.begin() + static_cast<std::ptrdiff_t>(pos));
      pos += n;
      continue;
    }
    switch (DecompressChunk(data, out, pos, limit)) {
      case Chunk::Done: return 1;
      case Chunk::Malformed: return 0;
      case Chunk::More: break;
    }
  }
  return 1;
}
