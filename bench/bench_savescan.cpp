// Saving and loading a large scan against the fast scan that made it, in one
// process over one session: the save and the load should each cost a small
// part of the scan (targets: each <= 0.25 x the fast NTFS scan of 100,000 files).
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "app/context.h"
#include "app/session.h"
#include "app/status.h"
#include "bench_support.h"
#include "disk/phydrive.h"
#include "platform/headless/headless.h"
#include "platform/window.h"
#include "recover/output.h"
#include "res/ids.h"
#include "savescan/save_scan.h"
#include "volume/direct_mount.h"
#include "volume/logdrive.h"

namespace fs = std::filesystem;

namespace {

constexpr double kTarget = 0.25;

double BestSeconds(const std::function<void()>& f, int rounds = 3) {
  double best = 1e9;
  for (int i = 0; i < rounds; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

void Drain() {
  while (DispatchNext()) {
  }
}

}  // namespace

int main() {
  const fs::path image = bench::NtfsFilesImage();
  if (image.empty()) return 2;
  headless::Reset();
  MainSession session({image.string()});
  session.Open();
  AppContext& ctx = App();
  const int drive_row = ListView_GetItemCount(ctx.phy_list) - 1;
  ClickListRow(session.dialog(), IDC_PHY_LIST, drive_row, HitPart::Label);
  Drain();
  auto* drive = static_cast<PHYDRIVE_INFO*>(GetRowData(ctx.phy_list, drive_row));
  LOGDRIVE_INFO* vol = drive ? MountVolumeAt(ctx, *drive, bench::kNtfsStartLba) : nullptr;
  if (!vol) {
    std::fprintf(stderr, "bench_savescan: no NTFS volume at %" PRIu64 "\n", bench::kNtfsStartLba);
    return 2;
  }
  ClickListRow(session.dialog(), IDC_LOG_LIST, ListView_GetItemCount(ctx.log_list) - 1, HitPart::Label);
  Drain();

  const double scan = BestSeconds([&] {
    PostCommand(session.dialog(), IDM_FAST_LOGICAL);
    Drain();
  });
  const std::int64_t files = vol->files_found, dirs = vol->dirs_found;

  const fs::path folder = fs::temp_directory_path() / ("retrova-bench-save-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  const OutputDir out = OutputDir::Open(folder.string(), false);
  int saved = 0;
  const double save = BestSeconds([&] { saved = SaveScanInto(ctx, *drive, *vol, out); });
  const std::string file = (folder / kSavedScanName).string();
  const std::uintmax_t bytes = fs::exists(file) ? fs::file_size(file) : 0;
  int loaded = 0;
  const double load = BestSeconds([&] { loaded = LoadScanFile(ctx, file); });
  fs::remove_all(folder);
  if (!saved || !loaded) {
    std::fprintf(stderr, "bench_savescan: the save (%d) or the load (%d) failed\n", saved, loaded);
    return 2;
  }

  std::printf("NTFS volume: %" PRId64 " files, %" PRId64 " directories; saved file %" PRIuMAX " bytes\n", files, dirs,
              bytes);
  std::printf("fast scan  %8.3f s\n", scan);
  std::printf("save       %8.3f s   save / scan %.2f (target <= %.2f)\n", save, save / scan, kTarget);
  std::printf("load       %8.3f s   load / scan %.2f (target <= %.2f)\n", load, load / scan, kTarget);
  const bool inside = save / scan <= kTarget && load / scan <= kTarget;
  std::printf("%s\n", inside ? "inside" : "OUTSIDE");
  return inside ? 0 : 1;
}
