// libFuzzer target for the whole copy-out over a crafted volume.
//
// The input's first byte chooses: bit 0 an NTFS volume (else FAT32), bit 1
// the flat copy (else with directories), bit 2 the slow scan after the fast
// one. The rest is a fuzz_fat input (FAT32) or a fuzz_ntfs_scan input (NTFS),
// header included. The volume is scanned through the commands of a headless
// main window, Root is ticked as a click on its check box would, and the
// copy runs into a fresh folder with the folder chooser answered.
//
// The folder starts with things of the operator's that a copy might reach:
// files, a folder named "Root", links to a folder outside it and to nowhere
// (fuzz_sandbox.h). After the copy, nothing outside the folder has changed
// (a sibling folder and the working directory stay empty), what was there
// before is untouched, and every new entry is a plain file or folder.
// Everything is removed before the next input.
//
// Each input runs in a folder of its own: give the corpus and
// -artifact_prefix as absolute paths.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <span>
#include <string>

#include "app/context.h"
#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "fuzz/fuzz_sandbox.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_volumes.h"
#include "volume/mount.h"
#include "volume/partition.h"
#include "volume/search.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxImage = 256 * 1024;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::ImageFile image("fuzz_copy");
  static fuzz::EmptyDriveSource no_drives;
  if (!image.ok() || !no_drives.ok() || size < 1 + fuzz::kHeader) return 0;
  const std::uint8_t mode = data[0];
  const bool ntfs = mode & 1, flat = mode & 2, slow = mode & 4;
  const std::span<const std::uint8_t> in(data + 1, std::min(size - 1, kMaxImage));
  const fuzz::Volume v = fuzz::BuildVolume(in, ntfs);
  if (!image.Write(v.image, v.file_size)) return 0;

  std::error_code ec;
  fuzz::Sandbox sandbox(fs::temp_directory_path(ec) / ("retrova-fuzz-copy-" + std::to_string(::getpid())));
  if (!sandbox.ok()) return 0;
  fuzz::MainWindow w;
  AppContext& ctx = App();
  if (!w.ok() || !AddImageFile(ctx, image.path())) return 0;
  ClickListRow(ctx.main_dlg, IDC_PHY_LIST, ListView_GetItemCount(ctx.phy_list) - 1, HitPart::Label);
  w.Drain();
  auto* drive = static_cast<PHYDRIVE_INFO*>(GetSelectedRowData(ctx.phy_list));
  LOGDRIVE_INFO* vol = drive && IsBootSector(v.boot) ? MountLogDrive(0, v.boot) : nullptr;
  if (!vol || vol->fs_type != (ntfs ? kFsNtfs : kFsFat32)) return 0;
  if (!ntfs) FitVolumeToDrive(*vol, *drive);
  AddLOGDrive(ctx, vol);
  ClickListRow(ctx.main_dlg, IDC_LOG_LIST, 0, HitPart::Label);
  w.Drain();

  PostCommand(ctx.main_dlg, IDM_FAST_LOGICAL);
  w.Drain();
  if (slow) {
    PostCommand(ctx.main_dlg, IDM_SLOW_LOGICAL);
    w.Drain();
  }
  if (!ctx.root_item || !sandbox.Prepare()) return 0;
  ClickTreeItem(ctx.main_dlg, IDC_DIR_TREE, ctx.root_item, HitPart::CheckBox);
  w.Drain();
  headless::AnswerFolder(sandbox.dest().string());
  PostCommand(ctx.main_dlg, flat ? IDM_COPY_FLAT : IDM_COPY_DIRS);
  w.Drain();
  // The copy ends idle, its tables given back.
  if (ctx.scan_running || vol->fat1_table || vol->fat2_table) __builtin_trap();
  if (!sandbox.Violation().empty()) __builtin_trap();
  return 0;
}
