// libFuzzer target for the partition search. The input is a small disk
// image (padded to whole sectors, at least kMinSectors, at most kMaxImage):
// it becomes the only drive of a headless main window, whose row is clicked
// and whose "Scan Physical Drive" command runs, as the operator would. Every
// volume the search lists is then clicked, which shows its record in the
// information panel, and the first FAT32 ones are scanned. Everything the window held is given back before the
// next input, so a leak in the search shows up as a leak of one input.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/context.h"
#include "app/main_window.h"
#include "app/status.h"
#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "fuzz/fuzz_support.h"
#include "platform/headless/headless.h"
#include "platform/window.h"
#include "res/ids.h"
#include "volume/logdrive.h"

namespace {

constexpr std::size_t kMaxImage = 256 * 1024;
constexpr std::size_t kMinSectors = 8;
constexpr int kMaxRowClicks = 16;
constexpr int kMaxScannedVolumes = 2;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::ImageFile image("fuzz_partition");
  static fuzz::EmptyDriveSource no_drives;
  if (!image.ok() || !no_drives.ok()) return 0;
  size = std::min(size, kMaxImage);
  const std::size_t sectors = std::max(kMinSectors, (size + 511) / 512);
  if (!image.Write({data, size}, sectors * 512)) return 0;

  fuzz::MainWindow w;
  AppContext& ctx = App();
  if (!w.ok() || !AddImageFile(ctx, image.path())) return 0;
  ClickListRow(ctx.main_dlg, IDC_PHY_LIST, ListView_GetItemCount(ctx.phy_list) - 1, HitPart::Label);
  w.Drain();
  PostCommand(ctx.main_dlg, IDM_SCAN_PHYSICAL);
  w.Drain();

  const int rows = std::min(ListView_GetItemCount(ctx.log_list), kMaxRowClicks);
  for (int r = 0; r < rows; ++r) {
    ClickListRow(ctx.main_dlg, IDC_LOG_LIST, r, HitPart::Label);
    w.Drain();
  }
  // The first FAT32 volumes found are scanned both ways: a record built from
  // a partition entry alone (an estimated FAT, an assumed root) reaches the
  // scans only this way.
  int scanned = 0;
  for (int r = 0; r < rows && scanned < kMaxScannedVolumes; ++r) {
    const auto* vol = static_cast<const LOGDRIVE_INFO*>(ListView_GetItemData(ctx.log_list, r));
    if (!vol || vol->fs_type != kFsFat32) continue;
    ++scanned;
    ClickListRow(ctx.main_dlg, IDC_LOG_LIST, r, HitPart::Label);  // a box asks to drop the last scan: yes
    w.Drain();
    for (int command : {IDM_FAST_LOGICAL, IDM_SLOW_LOGICAL}) {
      PostCommand(ctx.main_dlg, static_cast<std::uint32_t>(command));
      w.Drain();
    }
  }
  return 0;
}
