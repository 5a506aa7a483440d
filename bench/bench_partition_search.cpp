// The partition search against a plain sequential read of the same image.
//
// Makes a sparse image of at least 1 GiB holding an MBR, FAT32 and NTFS
// volumes and an extended chain, reads it once so both runs find it in the
// page cache, then times (best of several rounds, alternating) a plain read
// with 1 MiB pread requests and the search as the menu runs it. Prints both
// throughputs and their ratio; exits 1 when the search reaches less than 80%
// of the plain read. The plain read uses a page-aligned buffer, as the search
// does: the kernel fills a buffer a few bytes past a page start much slower,
// so that is the speed the disk gives.
//
// With --tables-everywhere, every free table position of the image also holds
// a table whose extended entry leads into one web of EBRs (each links to the
// next two): the search must walk that web once, not once per table.
//
// usage: bench_partition_search [SIZE_MIB] [--tables-everywhere]   (default 1024, at least 1024)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "res/resources.h"
#include "app/context.h"
#include "app/main_window.h"
#include "app/status.h"
#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "platform/aligned_buffer.h"
#include "platform/headless/headless.h"
#include "platform/window.h"
#include "res/ids.h"
#include "volume/logdrive.h"

namespace {

constexpr std::uint64_t kMiB = 1 << 20;
constexpr std::uint64_t kCyl = 255 * 63;
constexpr int kRounds = 7;

using Sector = std::vector<std::uint8_t>;

void Put(Sector& s, std::size_t o, std::uint64_t v, int width) {
  for (int i = 0; i < width; ++i) s[o + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint16_t ChsWord(std::uint64_t lba, std::uint8_t& head) {
  std::uint64_t c = lba / kCyl;
  const std::uint64_t r = lba % kCyl;
  head = static_cast<std::uint8_t>(r / 63);
  std::uint64_t sec = r % 63 + 1;
  if (c > 1023) {
    c = 1023;
    head = 254;
    sec = 63;
  }
  return static_cast<std::uint16_t>(sec | ((c >> 2) & 0xC0) | ((c & 0xFF) << 8));
}

// An entry whose CHS fields describe absolute sectors first .. last.
void PutEntry(Sector& s, int i, std::uint8_t type, std::uint32_t start, std::uint32_t count, std::uint64_t first,
              std::uint64_t last) {
  const std::size_t o = 446 + 16 * static_cast<std::size_t>(i);
  std::uint8_t h = 0;
  Put(s, o + 2, ChsWord(first, h), 2);
  s[o + 1] = h;
  s[o + 4] = type;
  Put(s, o + 6, ChsWord(last, h), 2);
  s[o + 5] = h;
  Put(s, o + 8, start, 4);
  Put(s, o + 12, count, 4);
}

Sector Signed() {
  Sector s(512, 0);
  Put(s, 510, 0xAA55, 2);
  return s;
}

Sector Boot(const char* oem, std::uint8_t spc) {
  Sector s = Signed();
  s[0] = 0xEB;
  s[1] = 0x58;
  s[2] = 0x90;
  std::memcpy(&s[3], oem, 8);
  Put(s, 11, 512, 2);
  s[13] = spc;
  s[21] = 0xF8;
  return s;
}

Sector Fat32(std::uint32_t total) {
  Sector s = Boot("MSDOS5.0", 8);
  Put(s, 14, 32, 2);
  s[16] = 2;
  Put(s, 32, total, 4);
  Put(s, 36, total / 1024 + 1, 4);
  Put(s, 44, 2, 4);
  Put(s, 50, 6, 2);
  std::memcpy(&s[82], "FAT32   ", 8);
  return s;
}

Sector Ntfs(std::uint64_t total) {
  Sector s = Boot("NTFS    ", 8);
  Put(s, 40, total, 8);
  Put(s, 48, 4, 8);
  Put(s, 56, 2, 8);
  Put(s, 64, 246, 4);
  Put(s, 68, 1, 4);
  return s;
}

bool WriteAt(int fd, std::uint64_t lba, const Sector& s) {
  return ::pwrite(fd, s.data(), s.size(), static_cast<off_t>(lba * 512)) == static_cast<ssize_t>(s.size());
}

bool IsTablePosition(std::uint64_t lba) {
  const std::uint64_t r = lba % kCyl;
  return r / 63 == 0 || r % 63 == 0;  // head 0, or sector 1
}

// Tables with one extended entry at every table position not in `used`,
// leading into a web of EBRs placed from `web` on (away from table positions).
bool AddTablesEverywhere(int fd, std::uint64_t sectors, std::uint64_t web, const std::set<std::uint64_t>& used) {
  constexpr std::size_t kWebEbrs = 200;  // more than one chain walk takes
  std::vector<std::uint64_t> ebrs;
  for (std::uint64_t lba = web; ebrs.size() < kWebEbrs && lba < sectors; lba += 130)
    if (!IsTablePosition(lba) && !used.count(lba)) ebrs.push_back(lba);
  if (ebrs.size() < kWebEbrs) return false;
  const std::uint64_t first = ebrs[0];
  for (std::size_t k = 0; k < ebrs.size(); ++k) {
    Sector ebr = Signed();
    PutEntry(ebr, 0, 0x06, 63, 1000, ebrs[k] + 63, ebrs[k] + 1062);
    for (std::size_t step : {1, 2})
      if (k + step < ebrs.size())
        PutEntry(ebr, static_cast<int>(step), 0x05, static_cast<std::uint32_t>(ebrs[k + step] - first), 1000,
                 ebrs[k + step], ebrs[k + step] + 999);
    if (!WriteAt(fd, ebrs[k], ebr)) return false;
  }
  Sector table = Signed();
  const std::uint64_t cyls = sectors / kCyl;
  PutEntry(table, 0, 0x05, static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(kCyl), first / kCyl * kCyl,
           cyls * kCyl - 1);
  for (std::uint64_t lba = 0; lba < sectors; ++lba)
    if (IsTablePosition(lba) && !used.count(lba) && !WriteAt(fd, lba, table)) return false;
  return true;
}

// MBR: FAT32 at 63, an NTFS volume, and an extended partition with a FAT32
// logical volume; plus one lost FAT32 volume known only by its boot record.
bool MakeImage(const std::string& path, std::uint64_t sectors, bool tables_everywhere) {
  const int fd = ::open(path.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
  if (fd < 0) return false;
  bool ok = ::ftruncate(fd, static_cast<off_t>(sectors * 512)) == 0;
  const std::uint64_t cyls = sectors / kCyl;
  const std::uint64_t fat_end = cyls / 4 * kCyl, ntfs_end = cyls / 2 * kCyl, ext_end = cyls * 3 / 4 * kCyl;
  const auto fat_count = static_cast<std::uint32_t>(fat_end - 63);
  const auto ntfs_count = static_cast<std::uint32_t>(ntfs_end - fat_end - 63);
  Sector mbr = Signed();
  PutEntry(mbr, 0, 0x0C, 63, fat_count, 63, fat_end - 1);
  PutEntry(mbr, 1, 0x07, static_cast<std::uint32_t>(fat_end + 63), ntfs_count, fat_end + 63, ntfs_end - 1);
  PutEntry(mbr, 2, 0x05, static_cast<std::uint32_t>(ntfs_end), static_cast<std::uint32_t>(ext_end - ntfs_end), ntfs_end,
           ext_end - 1);
  Sector ebr = Signed();
  const auto log_count = static_cast<std::uint32_t>(ext_end - ntfs_end - 63);
  PutEntry(ebr, 0, 0x0B, 63, log_count, ntfs_end + 63, ext_end - 1);
  const std::uint64_t lost = ext_end + 63;
  ok = ok && WriteAt(fd, 0, mbr) && WriteAt(fd, 63, Fat32(fat_count)) && WriteAt(fd, 69, Fat32(fat_count)) &&
       WriteAt(fd, fat_end + 63, Ntfs(ntfs_count - 1)) && WriteAt(fd, ntfs_end - 1, Ntfs(ntfs_count - 1)) &&
       WriteAt(fd, ntfs_end, ebr) && WriteAt(fd, ntfs_end + 63, Fat32(log_count)) &&
       WriteAt(fd, ntfs_end + 69, Fat32(log_count)) &&
       WriteAt(fd, lost, Fat32(static_cast<std::uint32_t>(sectors - lost)));
  if (ok && tables_everywhere)
    ok = AddTablesEverywhere(fd, sectors, lost + 100,
                             {0, 63, 69, fat_end + 63, ntfs_end - 1, ntfs_end, ntfs_end + 63, ntfs_end + 69, lost});
  ::close(fd);
  return ok;
}

// Wall time and this thread's CPU time. Both runs are CPU-bound once the
// image is in the page cache, so on a busy machine the CPU time is the
// steadier measure of their cost; on a quiet one the two agree.
struct Timing {
  double wall = 1e30, cpu = 1e30;
};

struct Clock {
  std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
  double cpu = ThreadCpu();
  static double ThreadCpu() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
  }
  Timing Elapsed() const {
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count(), ThreadCpu() - cpu};
  }
};

void KeepBest(Timing& best, const Timing& t) {
  best.wall = std::min(best.wall, t.wall);
  best.cpu = std::min(best.cpu, t.cpu);
}

Timing PlainRead(const std::string& path, std::uint64_t bytes) {
  AlignedBuffer buf(kMiB);
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return {};
  const Clock clock;
  std::uint64_t sum = 0;
  for (std::uint64_t off = 0; off < bytes; off += kMiB) {
    const ssize_t n = ::pread(fd, buf.data(), kMiB, static_cast<off_t>(off));
    if (n <= 0) break;
    sum += buf[static_cast<std::size_t>(n) - 2];  // touch what was read, as the search does
  }
  const Timing t = clock.Elapsed();
  ::close(fd);
  if (sum == 42) std::fputs("", stderr);
  return t;
}

// The search as the operator runs it: select the image's row, post the command.
Timing Search(const std::string& path, bool print, int& volumes) {
  ResetAppContext();
  ClearQueue();
  std::unique_ptr<Dialog> dlg = CreateDialogModel(IDD_MAIN, MainDlgProc, nullptr);
  Msg init;
  init.dlg = dlg.get();
  init.kind = MsgKind::InitDialog;
  SendMsg(init);
  AppContext& ctx = App();
  if (!AddImageFile(ctx, path)) return {};
  const int row = ListView_GetItemCount(ctx.phy_list) - 1;
  ClickListRow(dlg.get(), IDC_PHY_LIST, row, HitPart::Label);
  while (DispatchNext()) {
  }
  const Clock clock;
  PostCommand(dlg.get(), IDM_SCAN_PHYSICAL);
  while (DispatchNext()) {
  }
  const Timing t = clock.Elapsed();
  volumes = ListView_GetItemCount(ctx.log_list);
  if (print) {
    std::fprintf(stderr, "volumes found:\n");
    for (int r = 0; r < volumes; ++r)
      std::fprintf(stderr, "  %s\t%s\t%s\n", ListView_GetItemText(ctx.log_list, r, 0).c_str(),
                   ListView_GetItemText(ctx.log_list, r, 1).c_str(), ListView_GetItemText(ctx.log_list, r, 2).c_str());
  }
  CloseAllDrives(ctx);
  ClearLogicalDriveList(ctx);
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  headless::SetBoxEcho(
      [](const headless::BoxRecord& box) { std::fprintf(stderr, "%s: %s\n", box.title.c_str(), box.text.c_str()); });
  std::uint64_t mib = 1024;
  bool tables_everywhere = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--tables-everywhere") == 0)
      tables_everywhere = true;
    else
      mib = std::strtoull(argv[i], nullptr, 10);
  }
  mib = std::max<std::uint64_t>(mib, 1024);
  const std::uint64_t bytes = mib * kMiB;
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("retrova-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir / "sysfs");
  // Only the image is a drive: no real drive of this machine is enumerated.
  CurrentDriveSource() = DriveSource{(dir / "sysfs").string(), (dir / "dev").string()};
  const std::string image = (dir / "search.img").string();
  if (!MakeImage(image, bytes / 512, tables_everywhere)) {
    std::fprintf(stderr, "cannot make %s\n", image.c_str());
    return 2;
  }
  PlainRead(image, bytes);  // into the page cache

  Timing plain, search;
  int volumes = 0;
  for (int round = 0; round < kRounds; ++round) {
    const Timing p = PlainRead(image, bytes);
    const Timing q = Search(image, round == 0, volumes);
    if (std::getenv("BENCH_VERBOSE"))
      std::fprintf(stderr, "round %d: plain %.3f s (cpu %.3f), search %.3f s (cpu %.3f)\n", round, p.wall, p.cpu,
                   q.wall, q.cpu);
    KeepBest(plain, p);
    KeepBest(search, q);
  }
  fs::remove_all(dir);

  const double mb = static_cast<double>(bytes) / 1e6;
  const double ratio_wall = plain.wall / search.wall, ratio_cpu = plain.cpu / search.cpu;
  std::printf("image            %" PRIu64 " MiB%s, %d volumes listed, best of %d rounds\n", mib,
              tables_everywhere ? " with tables everywhere" : "", volumes, kRounds);
  std::printf("plain read       %6.0f MB/s wall (%.3f s), %6.0f MB/s cpu (%.3f s)\n", mb / plain.wall, plain.wall,
              mb / plain.cpu, plain.cpu);
  std::printf("partition search %6.0f MB/s wall (%.3f s), %6.0f MB/s cpu (%.3f s)\n", mb / search.wall, search.wall,
              mb / search.cpu, search.cpu);
  std::printf("ratio            %.2f wall, %.2f cpu (needs >= 0.80)\n", ratio_wall, ratio_cpu);
  const double ratio = std::max(ratio_wall, ratio_cpu);
  if (volumes == 0) return 1;
  return ratio >= 0.80 ? 0 : 1;
}
