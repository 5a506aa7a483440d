#include "ntfs/run_list.h"

#include "app/shell.h"
#include "volume/logdrive.h"

namespace {

// A little-endian signed field of `size` bytes; the caller checked it lies inside b.
std::int64_t ReadSigned(std::span<const std::uint8_t> b, std::size_t off, unsigned size) {
  if (size == 0 || size > kMaxPairFieldBytes) return 0;
  std::uint64_t v = 0;
  for (unsigned i = 0; i < size; ++i) v |= static_cast<std::uint64_t>(b[off + i]) << (8 * i);
  const unsigned bits = size * 8;
  if (v & (std::uint64_t{1} << (bits - 1))) v |= ~std::uint64_t{0} << bits;
  return static_cast<std::int64_t>(v);
}

}  // namespace

RunList DecodeRunList(std::span<const std::uint8_t> attr, std::size_t off, std::uint64_t start_vcn,
                      const LOGDRIVE_INFO& vol, std::size_t max_runs) {
  RunList out;
  if (off > kMaxMappingPairsOffset) {
    DebugPrint("DecodeRunList: pairs offset %zu above %zu", off, kMaxMappingPairsOffset);
    out.complete = false;
    return out;
  }
  if (off >= attr.size()) {
    DebugPrint("DecodeRunList: pairs offset %zu past the attribute", off);
    out.complete = false;
    return out;
  }
  std::vector<RUN_ENTRY>& runs = out.runs;
  const std::int64_t limit = vol.cluster_count;
  while (off < attr.size() && attr[off] != 0) {
    if (runs.size() >= max_runs) {
      DebugPrint("DecodeRunList: more than %zu runs", max_runs);
      out.complete = false;
      return out;
    }
    const unsigned len_size = attr[off] & 0x0F;
    const unsigned off_size = attr[off] >> 4;
    if (1 + len_size + off_size > attr.size() - off) {
      DebugPrint("DecodeRunList: pair at %zu past the attribute", off);
      out.complete = false;
      return out;
    }
    const std::int64_t length = ReadSigned(attr, off + 1, len_size);
    const std::int64_t delta = ReadSigned(attr, off + 1 + len_size, off_size);
    const std::size_t at = off;
    off += 1 + len_size + off_size;

    RUN_ENTRY e;
    std::int64_t lcn = delta;
    if (runs.empty()) {
      e.start_vcn = start_vcn;
    } else {
      const RUN_ENTRY& prev = runs.back();
      e.start_vcn = prev.start_vcn + prev.length;
      // prev.lcn passed the range test, so the sum stays far from overflow.
      lcn = static_cast<std::int64_t>(prev.lcn) + delta;
    }
    if (lcn < 0 || lcn > limit || length < 0 || length > limit) {
      DebugPrint("DecodeRunList: run at %zu outside the volume", at);
      out.complete = false;
      return out;
    }
    e.lcn = static_cast<std::uint64_t>(lcn);
    e.lcn_delta = delta;
    e.length = static_cast<std::uint64_t>(length);
    runs.push_back(e);
  }
  return out;
}

std::optional<RUN_ENTRY> PeekFirstRun(std::span<const std::uint8_t> attr, std::size_t off, const LOGDRIVE_INFO& vol) {
  if (off >= attr.size()) return std::nullopt;
  const unsigned len_size = attr[off] & 0x0F;
  const unsigned off_size = attr[off] >> 4;
  if (len_size == 0 || off_size == 0 || 1 + len_size + off_size > attr.size() - off) return std::nullopt;
  const std::int64_t length = ReadSigned(attr, off + 1, len_size);
  const std::int64_t lcn = ReadSigned(attr, off + 1 + len_size, off_size);
  if (lcn <= 0 || lcn > vol.cluster_count || length <= 0 || length > vol.cluster_count) return std::nullopt;
  RUN_ENTRY e;
  e.lcn = static_cast<std::uint64_t>(lcn);
  e.lcn_delta = lcn;
  e.length = static_cast<std::uint64_t>(length);
  return e;
}
