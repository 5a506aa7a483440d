// libFuzzer target for the MFT record decoder. The input is a small volume
// image: a record to decode at LBA 0 and the volume's $MFT record at LBA 2,
// so the $MFT map, attribute lists (resident and non-resident) and the
// locator all read from fuzzed bytes.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "app/context.h"
#include "disk/phydrive.h"
#include "ntfs/mft.h"
#include "ntfs/mft_locator.h"
#include "platform/headless/headless.h"
#include "scan/tree.h"
#include "volume/logdrive.h"

namespace {

constexpr std::size_t kMaxImage = 64 * 1024;

struct Harness {
  PHYDRIVE_INFO drive;
  Harness() { drive.handle = memfd_create("fuzz_mft", 0); }
};

Harness& H() {
  static Harness h;
  return h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Harness& h = H();
  if (h.drive.handle < 0) return 0;
  size = std::min(size, kMaxImage);
  const std::size_t sectors = (size + 511) / 512;
  if (ftruncate(h.drive.handle, 0) != 0) return 0;
  if (size && pwrite(h.drive.handle, data, size, 0) != static_cast<ssize_t>(size)) return 0;
  if (ftruncate(h.drive.handle, static_cast<off_t>(sectors * 512)) != 0) return 0;
  h.drive.total_sectors = sectors;

  headless::Reset();  // nothing here should show a box; keep the records from piling up
  AppContext& ctx = App();

  LOGDRIVE_INFO vol;
  // The last byte picks 512-byte or 4 KiB clusters.
  vol.sectors_per_cluster = (size && (data[size - 1] & 1)) ? 8 : 1;
  vol.bytes_per_cluster = vol.sectors_per_cluster * 512;
  vol.mft_record_size = 1024;
  vol.cluster_count = static_cast<std::int64_t>(sectors / vol.sectors_per_cluster + 2);
  vol.mft_lba = 2;

  DecodeMftRecord(ctx, h.drive, vol);

  std::array<std::uint8_t, kMftRecordSize> rec{};
  std::copy_n(data, std::min(size, rec.size()), rec.begin());
  IsFileRecord(rec);
  std::array<std::uint8_t, kMftRecordSize> copy = rec;
  ReadRecordLongName(copy);
  ReleaseRecord(DecodeScanRecord(ctx, h.drive, vol, ctx.mft_inode, rec, 0));

  std::array<std::uint8_t, kMftRecordSize> buf{};
  for (std::uint64_t r = 0; r < 8; ++r)
    if (MapRecordToLba(ctx, h.drive, vol, ctx.mft_inode, buf, r) != kNoLba)
      ReleaseRecord(DecodeScanRecord(ctx, h.drive, vol, ctx.mft_inode, buf, r));

  LocateMft(ctx, h.drive, vol);

  ReleaseRecord(ctx.mft_inode);
  ctx.mft_inode = nullptr;
  return 0;
}
