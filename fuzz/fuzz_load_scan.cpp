// libFuzzer target for the saved-scan loader.
//
// The input is a saved-scan file. Its first byte is a header:
//   bit 0: the input's SCAN_INFO is followed by the drive's own PHYDRIVE_INFO
//          and a fitting LOGDRIVE_INFO, then the rest of the input (the
//          directory and file blocks), so the fuzzer reaches the blocks
//          without having to find the drive's identity; otherwise the input
//          after the header is the whole file.
// The drive is an empty 64 MiB image. The load must end with the tree and
// pending lists consistent (every directory placed, every listed file on the
// pending-file list), whatever the file says.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <unordered_set>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "savescan/save_scan.h"

namespace {

constexpr std::size_t kImageBytes = 64u << 20;

LOGDRIVE_INFO FittingVolume() {
  LOGDRIVE_INFO v;
  std::memcpy(v.fs_name, "FAT32   ", 8);
  v.fs_type = kFsFat32;
  v.bytes_per_sector = 512;
  v.sectors_per_cluster = 8;
  v.bytes_per_cluster = 4096;
  v.total_sectors = kImageBytes / 512;
  v.cluster_count = 16000;
  v.fat_lba = 32;
  v.fat_sectors = 126;
  v.fat_bytes = 64008;
  v.data_lba = 32 + 2 * 126;
  v.dirs_found = 3;
  v.files_found = 5;
  return v;
}

void CheckTree(const AppContext& ctx) {
  std::unordered_set<const FILE_INODE*> pending;
  std::uint64_t n = 0;
  for (const FILE_INODE* f = ctx.pending_file_head; f && n < ctx.pending_file_count; f = f->next_pending_file, ++n)
    pending.insert(f);
  if (n != ctx.pending_file_count) __builtin_trap();
  std::vector<const TreeItem*> stack;
  if (ctx.dir_tree && ctx.dir_tree->root.first_child) stack.push_back(ctx.dir_tree->root.first_child);
  while (!stack.empty()) {
    const TreeItem* it = stack.back();
    stack.pop_back();
    const auto* r = static_cast<const INODE_RECD*>(it->data);
    if (!r) __builtin_trap();
    std::uint64_t files = 0;
    for (const FILE_INODE* f = r->files_head; f && files < r->file_count; f = f->next_in_dir, ++files)
      if (!pending.count(f) || f->name_size != f->name.size() + 1) __builtin_trap();
    if (files != r->file_count) __builtin_trap();
    for (const TreeItem* c = it->first_child; c; c = c->next_sibling) stack.push_back(c);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::ImageFile image("fuzz_load_scan");
  static fuzz::EmptyDriveSource no_drives;
  if (!image.ok() || !no_drives.ok() || size < 1) return 0;
  static const bool written = image.Write({}, kImageBytes);
  if (!written) return 0;

  fuzz::MainWindow w;
  AppContext& ctx = App();
  if (!w.ok() || !AddImageFile(ctx, image.path())) return 0;
  const auto* drive = static_cast<const PHYDRIVE_INFO*>(GetRowData(ctx.phy_list, ListView_GetItemCount(ctx.phy_list) - 1));
  if (!drive) return 0;

  const std::span<const std::uint8_t> in(data + 1, size - 1);
  std::vector<std::uint8_t> file;
  if (data[0] & 1) {
    const std::size_t info = std::min<std::size_t>(in.size(), kScanInfoSize);
    file.assign(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(info));
    file.resize(kScanInfoSize);
    const auto phy = PhyDriveToBytes(*drive);
    const auto log = LogDriveToBytes(FittingVolume());
    file.insert(file.end(), phy.begin(), phy.end());
    file.insert(file.end(), log.begin(), log.end());
    file.insert(file.end(), in.begin() + static_cast<std::ptrdiff_t>(info), in.end());
  } else {
    file.assign(in.begin(), in.end());
  }
  LoadScanBytes(ctx, file);
  CheckTree(ctx);
  ResetScanTree(ctx);
  return 0;
}
