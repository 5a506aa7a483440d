// One FAT32 file out of the raw volume: cluster by cluster along FAT 1, else
// FAT 2, else contiguously from its first cluster (a deleted file, whose
// entries were cleared).
#include "recover/fat_copy.h"

#include <unistd.h>

#include <algorithm>
#include <vector>

#include "app/shell.h"
#include "app/status.h"
#include "disk/phydrive.h"
#include "fat/fat.h"
#include "recover/copy.h"
#include "recover/copy_file.h"
#include "recover/output.h"
#include "res/ids.h"

namespace {

constexpr std::uint32_t kEocMin = 0x0FFFFFF8u;

bool IsDataCluster(const LOGDRIVE_INFO& vol, std::uint64_t c) { return c >= 2 && c <= LastCluster(vol); }

std::span<const std::uint32_t> TableOf(const LOGDRIVE_INFO& vol, const std::uint32_t* table) {
  if (!table) return {};
  return {table, static_cast<std::size_t>(FatSectorsToLoad(vol) * (kSectorSize / 4))};
}

// Closes the output on every path out of the copy.
struct OutputFile {
  int fd = -1;
  ~OutputFile() {
    if (fd >= 0) ::close(fd);
  }
};

// The per-file bar: the finder's while it copies, else the main window's second bar.
struct FileProgress {
  ProgressBar* bar;
  FileProgress(AppContext& ctx, std::uint64_t steps) : bar(PerFileProgressBar(ctx)) {
    if (!bar) return;
    Progress_SetRange32(bar, 0, static_cast<std::int32_t>(std::min<std::uint64_t>(steps, INT32_MAX)));
    Progress_SetStep(bar, 1);
    Progress_SetPos(bar, 0);
    Progress_SetBarColour(bar, RGB(253, 95, 53));
  }
  void Step() {
    if (bar) Progress_StepIt(bar);
  }
  ~FileProgress() {
    if (bar) Progress_SetPos(bar, 0);
  }
};

}  // namespace

std::uint64_t ClustersForSize(const LOGDRIVE_INFO& vol, std::uint64_t size) {
  if (vol.bytes_per_cluster == 0) return 0;
  return size / vol.bytes_per_cluster + (size % vol.bytes_per_cluster != 0 ? 1 : 0);
}

std::span<const std::uint32_t> Fat1Of(const LOGDRIVE_INFO& vol) { return TableOf(vol, vol.fat1_table); }
std::span<const std::uint32_t> Fat2Of(const LOGDRIVE_INFO& vol) { return TableOf(vol, vol.fat2_table); }

int CheckFatChain(const LOGDRIVE_INFO& vol, std::span<const std::uint32_t> fat, const FILE_INODE& f) {
  const std::uint64_t needed = ClustersForSize(vol, f.data_size);
  if (needed <= 1) return needed == 0 || IsDataCluster(vol, f.own_number) ? 1 : 0;
  // More clusters than the volume has: no chain can hold them (and the walk stays short).
  if (needed > LastCluster(vol)) return 0;
  std::uint64_t c = f.own_number;
  for (std::uint64_t i = 0;; ++i) {
    if (!IsDataCluster(vol, c) || c >= fat.size()) return 0;
    const std::uint32_t v = fat[c] & 0x0FFFFFFFu;
    if (i + 1 == needed) return v >= kEocMin ? 1 : 0;
    if (v < 2 || v >= 0x0FFFFFF7u || !IsDataCluster(vol, v)) return 0;
    c = v;
  }
}

std::vector<std::uint32_t> FatChainClusters(const LOGDRIVE_INFO& vol, std::span<const std::uint32_t> fat,
                                            const FILE_INODE& f) {
  std::vector<std::uint32_t> out;
  const std::uint64_t needed = std::min<std::uint64_t>(ClustersForSize(vol, f.data_size), LastCluster(vol));
  std::uint32_t c = f.own_number;
  while (out.size() < needed && IsDataCluster(vol, c)) {
    out.push_back(c);
    c = NextCluster(vol, fat, c);
  }
  return out;
}

int CopyFat32File(AppContext& ctx, PHYDRIVE_INFO& drive, LOGDRIVE_INFO& vol, FILE_INODE& f, const OutputDir& dir,
                  CopyResult& result) {
  result = CopyResult{};
  OutputFile out;
  out.fd = CreateOutputFile(dir, f.name, ctx.files_done, result.output_name);
  if (out.fd < 0) {
    result.output_name.clear();
    return 0;
  }
  SetStatusField(ctx, IDC_STATUS, result.output_name);
  if (f.data_size == 0) {
    result.outcome = CopyOutcome::Copied;
    return 1;
  }
  const std::uint32_t bpc = vol.bytes_per_cluster;
  if (bpc == 0 || bpc % kSectorSize != 0) return 0;
  std::vector<std::uint8_t> buffer;
  try {
    buffer.resize(bpc);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  const std::uint64_t needed = ClustersForSize(vol, f.data_size);
  FileProgress progress(ctx, f.data_size / bpc);

  // The source of the cluster sequence: a chain that FAT 1 or FAT 2 holds, else contiguous.
  std::span<const std::uint32_t> fat;
  if (CheckFatChain(vol, Fat1Of(vol), f))
    fat = Fat1Of(vol);
  else if (CheckFatChain(vol, Fat2Of(vol), f))
    fat = Fat2Of(vol);

  bool complete = true;  // every byte came from the volume
  std::uint64_t remaining = f.data_size;
  std::uint64_t cluster = f.own_number;
  // Bounded by the clusters the size needs: a chain that loops, or a size
  // larger than the chain, never keeps the copy going.
  for (std::uint64_t i = 0; i < needed && remaining > 0; ++i) {
    if (!IsDataCluster(vol, cluster)) {
      // Past the volume's last cluster lies another volume's data, not this file's.
      complete = false;
      break;
    }
    const std::uint64_t errors_before = drive.read_errors;
    if (ReadFatCluster(ctx, drive, vol, static_cast<std::uint32_t>(cluster), buffer) != 1) {
      std::fill(buffer.begin(), buffer.end(), 0);
      complete = false;
    }
    if (drive.read_errors != errors_before) complete = false;  // sectors left as zeros
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, bpc));
    if (!WriteAll(out.fd, std::span<const std::uint8_t>(buffer).first(n))) return 0;
    result.bytes += n;
    remaining -= n;
    progress.Step();
    if (remaining == 0) break;
    cluster = fat.empty() ? cluster + 1 : NextCluster(vol, fat, static_cast<std::uint32_t>(cluster));
    if (CheckTerminate(IDM_TERMINATE_SCAN) == 1) {
      result.outcome = CopyOutcome::Stopped;
      return 0;
    }
  }
  if (remaining > 0) {
    // The rest is zeros, so the output has the file's size; the file still failed.
    if (::ftruncate(out.fd, static_cast<off_t>(f.data_size)) != 0) return 0;
    return 0;
  }
  if (!complete) return 0;
  result.outcome = CopyOutcome::Copied;
  return 1;
}
