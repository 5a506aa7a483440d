// The run list (mapping pairs) of a non-resident attribute.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "scan/records.h"

struct LOGDRIVE_INFO;

// The pairs start inside an attribute that sits in a 1024-byte record; an
// offset further in than this is damage.
inline constexpr std::size_t kMaxMappingPairsOffset = 1000;
// A hostile chain of attribute lists could otherwise grow one record's Run
// List to hundreds of megabytes; no real file comes near this.
inline constexpr std::size_t kMaxRuns = std::size_t{1} << 20;
// Wider length or offset fields are read as 0: the cluster numbers this
// engine handles fit 32 bits.
inline constexpr unsigned kMaxPairFieldBytes = 4;

// The runs decoded before the end marker, or before the pair that ended the
// list early (complete false): one whose fields reach past the attribute or
// that fails the volume's range test. No more than max_runs are decoded.
struct RunList {
  std::vector<RUN_ENTRY> runs;
  bool complete = true;
};

// Decodes the pairs at pairs_offset inside the attribute. The first run
// starts at start_vcn and its offset is absolute; later offsets are relative
// to the run before. Runs are range-tested against vol's cluster count.
RunList DecodeRunList(std::span<const std::uint8_t> attribute, std::size_t pairs_offset, std::uint64_t start_vcn,
                      const LOGDRIVE_INFO& vol, std::size_t max_runs = kMaxRuns);

// The first run alone, decoded without a word to the debug lines: for a
// guess where to read ahead, which the real decoding then checks and reports.
// Nothing when the pair is malformed, sparse or outside the volume.
std::optional<RUN_ENTRY> PeekFirstRun(std::span<const std::uint8_t> attribute, std::size_t pairs_offset,
                                      const LOGDRIVE_INFO& vol);
