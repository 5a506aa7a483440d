// libFuzzer target for the NTFS attribute decoders, reached directly rather
// than through a whole record: the attribute walk, the resident and
// non-resident headers, $FILE_NAME values, run lists and attribute lists.
//
// The input's first 4 bytes are a header:
//   [0]    bits 0-1: sectors per cluster, 1 << bits
//          bit 2:    the volume has 16 clusters (otherwise one per input sector and more)
//   [1]    the most runs a list may decode, 1 + value (255: no limit below kMaxRuns)
//   [2..3] where the run list starts in the rest, for the run-list decoder on its own
// The rest is a record (zero-padded to 1024 bytes for the walk), a run list
// and an attribute list all at once; it is also the drive a non-resident
// attribute list is read from.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "app/context.h"
#include "disk/phydrive.h"
#include "ntfs/attribute.h"
#include "ntfs/attribute_list.h"
#include "ntfs/file_name.h"
#include "ntfs/run_list.h"
#include "ntfs/update_sequence.h"
#include "platform/bytes.h"
#include "platform/headless/headless.h"
#include "volume/logdrive.h"

namespace {

constexpr std::size_t kHeader = 4;
constexpr std::size_t kMaxInput = 64 * 1024;

struct Harness {
  PHYDRIVE_INFO drive;
  Harness() { drive.handle = memfd_create("fuzz_attributes", 0); }
};

bool Inside(std::span<const std::uint8_t> part, std::span<const std::uint8_t> whole) {
  return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

// What every decoded run list holds: no more runs than allowed, every run
// inside the volume, each starting where the one before ended.
void CheckRuns(const RunList& rl, std::uint64_t start_vcn, const LOGDRIVE_INFO& vol, std::size_t max_runs) {
  if (rl.runs.size() > max_runs) __builtin_trap();
  std::uint64_t vcn = start_vcn;
  for (const RUN_ENTRY& r : rl.runs) {
    if (r.start_vcn != vcn) __builtin_trap();
    if (r.lcn > static_cast<std::uint64_t>(vol.cluster_count) || r.length > static_cast<std::uint64_t>(vol.cluster_count))
      __builtin_trap();
    vcn = r.start_vcn + r.length;
  }
}

void CheckList(const AttributeList& list, std::size_t bytes) {
  if (list.entries.size() > bytes / kListEntryHeader) __builtin_trap();
  for (const ListEntry& e : list.entries)
    if (e.ref >> 48) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Harness h;
  if (h.drive.handle < 0 || size < kHeader) return 0;
  size = std::min(size, kMaxInput);
  const std::span<const std::uint8_t> in(data, size);
  const std::vector<std::uint8_t> body(in.begin() + kHeader, in.end());  // exact size: a read past it trips ASan
  const std::size_t sectors = (body.size() + 511) / 512;
  if (ftruncate(h.drive.handle, 0) != 0) return 0;
  if (!body.empty() && pwrite(h.drive.handle, body.data(), body.size(), 0) != static_cast<ssize_t>(body.size()))
    return 0;
  if (ftruncate(h.drive.handle, static_cast<off_t>(sectors * 512)) != 0) return 0;
  h.drive.total_sectors = sectors;

  headless::Reset();
  AppContext& ctx = App();
  LOGDRIVE_INFO vol;
  vol.sectors_per_cluster = 1 << (in[0] & 3);
  vol.bytes_per_cluster = vol.sectors_per_cluster * 512;
  vol.mft_record_size = 1024;
  vol.cluster_count = (in[0] & 4) ? 16 : static_cast<std::int64_t>(sectors / vol.sectors_per_cluster + 4);
  const std::size_t max_runs = in[1] == 255 ? kMaxRuns : std::size_t{in[1]} + 1;

  // The run-list decoder over the whole body, from the header's offset.
  const std::size_t at = le::U16(in, 2);
  CheckRuns(DecodeRunList(body, at, 7, vol, max_runs), 7, vol, max_runs);
  // The body as an attribute list.
  CheckList(DecodeAttributeList(body), body.size());

  // The body as a record: the update sequence, then the attribute walk.
  std::array<std::uint8_t, kMftRecordSize> rec{};
  std::copy_n(body.begin(), std::min(body.size(), rec.size()), rec.begin());
  const std::array<std::uint8_t, kMftRecordSize> before = rec;
  if (!ApplyUpdateSequence(rec, kNtfsSectorSize, UpdateSequenceMode::Restore) && rec != before) __builtin_trap();
  const AttributeWalk walk = ReadAttributes(rec);
  if (walk.count > kMaxAttributes) __builtin_trap();
  for (const Attribute& a : walk.attributes()) {
    if (!Inside(a.bytes, rec)) __builtin_trap();
    if (const auto v = ReadResidentValue(a)) {
      if (!Inside(v->bytes, a.bytes)) __builtin_trap();
    }
    if (const auto nr = ReadNonResidentHeader(a)) {
      const RunList rl = DecodeRunList(a.bytes, nr->mapping_pairs_offset, nr->lowest_vcn, vol, max_runs);
      CheckRuns(rl, nr->lowest_vcn, vol, max_runs);
    }
    if (a.type == kAttrFileName) {
      if (const auto fn = ReadFileName(a); fn && (fn->parent >> 48)) __builtin_trap();
    }
    if (a.type == kAttrList) {
      if (const auto value = ReadAttributeListValue(ctx, h.drive, vol, a)) {
        if (value->size() > kMaxAttrListBytes) __builtin_trap();
        CheckList(DecodeAttributeList(*value), value->size());
      }
    }
  }
  return 0;
}
