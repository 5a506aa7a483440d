// The FAT32 scans on a volume of 50,000 files made with mkfs.fat and mtools
// (kept in the build folder between runs): the fast scan against `fls -r -p`
// on the same image, the slow scan against a plain sequential read of the
// volume (1 MiB preads).
// Every measurement is the best of a few runs with the page cache warm.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "res/resources.h"
#include "app/context.h"
#include "app/main_window.h"
#include "app/status.h"
#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "platform/headless/headless.h"
#include "platform/window.h"
#include "res/ids.h"
#include "scan/tree.h"
#include "volume/logdrive.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kStartLba = bench::kFatStartLba;
constexpr int kRuns = 3;

double BestSeconds(const std::function<void()>& fn) {
  double best = 1e30;
  for (int i = 0; i < kRuns; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

// The main window's models with the image as a drive, the partition search
// run and the volume at kStartLba selected, as the operator would.
struct Window {
  std::unique_ptr<Dialog> main;
  LOGDRIVE_INFO* vol = nullptr;

  explicit Window(const fs::path& image) {
    ResetAppContext();
    ClearQueue();
    headless::Reset();
    main = CreateDialogModel(IDD_MAIN, MainDlgProc, nullptr);
    Msg init;
    init.dlg = main.get();
    init.kind = MsgKind::InitDialog;
    SendMsg(init);
    AppContext& ctx = App();
    if (!AddImageFile(ctx, image.string())) return;
    ClickListRow(main.get(), IDC_PHY_LIST, ListView_GetItemCount(ctx.phy_list) - 1, HitPart::Label);
    Command(IDM_SCAN_PHYSICAL);
    for (int r = 0; r < ListView_GetItemCount(ctx.log_list); ++r) {
      auto* v = static_cast<LOGDRIVE_INFO*>(ListView_GetItemData(ctx.log_list, r));
      if (v && static_cast<std::uint64_t>(v->start_lba) == kStartLba) {
        ClickListRow(main.get(), IDC_LOG_LIST, r, HitPart::Label);
        Drain();
        vol = v;
        break;
      }
    }
  }
  ~Window() {
    ResetScanTree(App());
    CloseAllDrives(App());
  }
  void Drain() {
    while (DispatchNext()) {
    }
  }
  void Command(int id) {
    PostCommand(main.get(), static_cast<std::uint32_t>(id));
    Drain();
  }
};

void SequentialRead(const fs::path& image, std::uint64_t first_byte, std::uint64_t bytes) {
  const int fd = ::open(image.c_str(), O_RDONLY);
  if (fd < 0) return;
  std::vector<char> buf(1 << 20);
  for (std::uint64_t pos = 0; pos < bytes;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), bytes - pos));
    const ssize_t got = ::pread(fd, buf.data(), n, static_cast<off_t>(first_byte + pos));
    if (got <= 0) break;
    pos += static_cast<std::uint64_t>(got);
  }
  ::close(fd);
}

}  // namespace

int main() {
  std::printf("a FAT32 volume with %d files\n", bench::kFatDirs * bench::kFatFilesPerDir);
  const fs::path image = bench::FatFilesImage();
  if (image.empty()) return 1;

  const auto t0 = std::chrono::steady_clock::now();
  Window w(image);
  std::printf("partition search: %.3f s\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  if (!w.vol) {
    std::fprintf(stderr, "bench_fat_scan: the search found no volume at %" PRIu64 "\n", kStartLba);
    return 1;
  }
  SequentialRead(image, 0, fs::file_size(image));  // warm the page cache

  const double fast = BestSeconds([&] { w.Command(IDM_FAST_LOGICAL); });
  const std::int64_t fast_files = w.vol->files_found;
  const std::int64_t fast_dirs = w.vol->dirs_found;
  const std::string fls = "fls -r -p -o " + std::to_string(kStartLba) + " '" + image.string() + "' > /dev/null";
  const double oracle = BestSeconds([&] { bench::RunShell(fls); });

  const double slow = BestSeconds([&] { w.Command(IDM_SLOW_LOGICAL); });
  const std::int64_t slow_files = w.vol->files_found;
  const std::uint64_t vol_bytes = static_cast<std::uint64_t>(w.vol->total_sectors) * 512;
  const double raw = BestSeconds([&] { SequentialRead(image, kStartLba * 512, vol_bytes); });

  std::printf("volume: %" PRIu64 " MiB, %" PRId64 " clusters\n", vol_bytes >> 20, w.vol->cluster_count);
  std::printf("fast scan      %8.3f s  (%" PRId64 " files, %" PRId64 " dirs)\n", fast, fast_files, fast_dirs);
  std::printf("fls -r -p      %8.3f s\n", oracle);
  std::printf("fast / fls     %8.2f\n", fast / oracle);
  std::printf("slow scan      %8.3f s  (%" PRId64 " files)\n", slow, slow_files);
  std::printf("sequential read%8.3f s  (1 MiB preads)\n", raw);
  std::printf("slow / read    %8.2f\n", slow / raw);
  return 0;
}
