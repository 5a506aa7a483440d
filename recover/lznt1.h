// LZNT1, the compression of NTFS compressed files: a compression unit is a
// run of chunks, each 4096 bytes of output at most.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr std::size_t kLznt1ChunkSize = 4096;

// Decompresses `in` into the first out_len bytes of `out` (out_len is cut to
// out.size()). Returns 1 when the stream ends cleanly (a zero chunk header,
// the input used up at a chunk boundary, or out_len bytes produced), 0 on
// malformed input: a chunk that reaches past the input, one whose output
// passes 4096 bytes, or a back-reference before the start of its chunk.
// Output past what was produced is left as it was.
int DecompressLznt1(std::span<std::uint8_t> out, std::span<const std::uint8_t> in, std::size_t out_len);
