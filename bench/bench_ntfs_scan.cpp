// The NTFS scans as a user runs them, whole processes, on a volume of 100,000
// files in 2,000 folders (bench_support.h: mkntfs, filled through ntfs-3g,
// kept in the build folder between runs), the image in the page cache:
//
//   1. `retrova-cli scan IMAGE 2048` (the fast scan: the MFT walked from the
//      boot record) against `fls -r -p -o 2048 IMAGE`. Targets: at most half
//      of fls's time, and a peak memory (the child's maximum resident set) at
//      most twice fls's.
//   2. `retrova-cli scan IMAGE 2048 --slow` (every sector of the volume
//      searched for records) against dd reading the volume's sectors to
//      /dev/null. Target: at least 0.8 of dd's throughput reading from the
//      disk (see SlowScan).
//
// Both scans must list as many entries as fls (the metadata files and the
// entries standing for orphans aside on both sides).
// Times are the best wall and CPU time of each over alternating rounds; a
// ratio counts as inside when it is by either (the machine may be busy).
// Exits 1 when a target is missed, 2 when something could not be run or the
// counts differ.
//
// usage: bench_ntfs_scan [--fast|--slow]   (BENCH_VERBOSE=1 prints every round)
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"

#ifndef RETROVA_CLI
#error "RETROVA_CLI (the retrova-cli path) comes from the build"
#endif

namespace {

namespace fs = std::filesystem;

constexpr int kFastRounds = 5;
constexpr int kSlowRounds = 5;
constexpr double kFastTimeTarget = 0.5;
constexpr double kFastMemoryTarget = 2.0;
constexpr double kSlowThroughputTarget = 0.8;


// retrova-cli lines are "PATH\tSTATE\t..." with PATH from "Root/"; the
// metadata files are at the top with a '$' name, and the folders standing
// for no record ("Unlinked Data", "Orphan Files": state "synthetic") hold
// what fls puts under $OrphanFiles.
std::uint64_t CountCliEntries(const fs::path& listing) {
  std::ifstream in(listing);
  std::uint64_t n = 0;
  std::vector<std::string> synthetic;
  for (std::string line; std::getline(in, line);) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string::npos || line.compare(0, 6, "Root/$") == 0) continue;
    const std::string path = line.substr(0, tab);
    if (line.compare(tab + 1, 10, "synthetic\t") == 0) {
      synthetic.push_back(path + "/");
      continue;
    }
    const bool inside_synthetic = std::any_of(synthetic.begin(), synthetic.end(),
                                              [&](const std::string& dir) { return path.starts_with(dir); });
    if (!inside_synthetic) ++n;
  }
  return n;
}

struct Paths {
  fs::path out, err;
};

bool Failed(const char* what, const bench::ProcessRun& r, const Paths& p) {
  if (r.status == 0) return false;
  std::fprintf(stderr, "%s ended with %d:\n", what, r.status);
  bench::PrintFileTail(p.err);
  return true;
}

struct Verdict {
  bool ran = true, inside = true;
};

// The alternating rounds of `ref` and `cli`; best wall and CPU time of each,
// and the largest peak memory each reached.
struct Pair {
  bench::Best ref, cli;
  long ref_rss = 0, cli_rss = 0;
};

bool RunRounds(int rounds, const char* ref_name, const std::vector<std::string>& ref, const std::vector<std::string>& cli,
               const Paths& p, Pair& pair) {
  for (int round = 0; round < rounds; ++round) {
    const bench::ProcessRun r = bench::TimeProcess(ref, p.out, p.err);
    if (Failed(ref_name, r, p)) return false;
    const bench::ProcessRun c = bench::TimeProcess(cli, p.out, p.err);
    if (Failed("retrova-cli scan", c, p)) return false;
    if (std::getenv("BENCH_VERBOSE"))
      std::printf("  round %d: %s %.3f s (cpu %.3f, %ld KiB), retrova-cli %.3f s (cpu %.3f, %ld KiB)\n", round, ref_name,
                  r.wall, r.cpu, r.max_rss_kib, c.wall, c.cpu, c.max_rss_kib);
    pair.ref.Keep(r);
    pair.cli.Keep(c);
    pair.ref_rss = std::max(pair.ref_rss, r.max_rss_kib);
    pair.cli_rss = std::max(pair.cli_rss, c.max_rss_kib);
  }
  return true;
}

// The scan once, untimed: its listing's length against fls's.
bool SameCount(const char* what, const std::vector<std::string>& cli, std::uint64_t fls_entries, const Paths& p) {
  const bench::ProcessRun c = bench::TimeProcess(cli, p.out, p.err);
  if (Failed(what, c, p)) return false;
  const std::uint64_t n = CountCliEntries(p.out);
  std::printf("entries listed      %s %" PRIu64 ", fls %" PRIu64 "\n", what, n, fls_entries);
  if (n == fls_entries) return true;
  std::fprintf(stderr, "the listings differ in length\n");
  return false;
}

Verdict FastScan(const fs::path& image, const std::string& lba, std::uint64_t fls_entries, const Paths& p) {
  const std::vector<std::string> fls = {"fls", "-r", "-p", "-o", lba, image.string()};
  const std::vector<std::string> cli = {RETROVA_CLI, "scan", image.string(), lba};
  if (!SameCount("retrova-cli scan", cli, fls_entries, p)) return {false, false};
  Pair pair;
  if (!RunRounds(kFastRounds, "fls", fls, cli, p, pair)) return {false, false};
  const double ratio_wall = pair.cli.wall / pair.ref.wall, ratio_cpu = pair.cli.cpu / pair.ref.cpu;
  const double ratio_rss = double(pair.cli_rss) / double(pair.ref_rss);
  const bool time_ok = std::min(ratio_wall, ratio_cpu) <= kFastTimeTarget;
  const bool rss_ok = ratio_rss <= kFastMemoryTarget;
  std::printf("fast scan\n");
  std::printf("  fls -r -p         %.3f s wall, cpu %.3f s, peak %ld KiB (best of %d)\n", pair.ref.wall, pair.ref.cpu,
              pair.ref_rss, kFastRounds);
  std::printf("  retrova-cli scan  %.3f s wall, cpu %.3f s, peak %ld KiB\n", pair.cli.wall, pair.cli.cpu, pair.cli_rss);
  std::printf("  cli / fls time    %.2f wall, %.2f cpu (target <= %.2f): %s\n", ratio_wall, ratio_cpu, kFastTimeTarget,
              time_ok ? "inside" : "OUTSIDE");
  std::printf("  cli / fls memory  %.2f (target <= %.2f): %s\n", ratio_rss, kFastMemoryTarget, rss_ok ? "inside" : "OUTSIDE");
  return {true, time_ok && rss_ok};
}

// dd and the slow scan over the same sectors, alternating; `cold` empties the
// page cache before every run, so both read from the disk.
bool RunSlowRounds(const fs::path& image, const std::string& lba, bool cold, const Paths& p, Pair& pair) {
  const std::uint64_t bytes = bench::kNtfsSectors * 512;
  const std::vector<std::string> dd = {"dd", "if=" + image.string(), "of=/dev/null", "bs=1M",
                                       "skip=" + std::to_string(bench::kNtfsStartLba * 512),
                                       "count=" + std::to_string(bytes), "iflag=skip_bytes,count_bytes"};
  const std::vector<std::string> cli = {RETROVA_CLI, "scan", image.string(), lba, "--slow"};
  for (int round = 0; round < kSlowRounds; ++round) {
    if (cold) bench::DropPageCache();
    const bench::ProcessRun r = bench::TimeProcess(dd, p.out, p.err);
    if (Failed("dd", r, p)) return false;
    if (cold) bench::DropPageCache();
    const bench::ProcessRun c = bench::TimeProcess(cli, p.out, p.err);
    if (Failed("retrova-cli scan --slow", c, p)) return false;
    if (std::getenv("BENCH_VERBOSE"))
      std::printf("  round %d: dd %.3f s (cpu %.3f), retrova-cli %.3f s (cpu %.3f, %ld KiB)\n", round, r.wall, r.cpu,
                  c.wall, c.cpu, c.max_rss_kib);
    pair.ref.Keep(r);
    pair.cli.Keep(c);
    pair.cli_rss = std::max(pair.cli_rss, c.max_rss_kib);
  }
  return true;
}

void PrintSlow(const char* title, const Pair& pair) {
  const double mib = double(bench::kNtfsSectors * 512) / (1 << 20);
  std::printf("  %s\n", title);
  std::printf("    dd                %.3f s wall (%.0f MiB/s), cpu %.3f s (best of %d)\n", pair.ref.wall,
              mib / pair.ref.wall, pair.ref.cpu, kSlowRounds);
  std::printf("    retrova-cli scan  %.3f s wall (%.0f MiB/s), cpu %.3f s, peak %ld KiB\n", pair.cli.wall,
              mib / pair.cli.wall, pair.cli.cpu, pair.cli_rss);
}

// The rate a user meets is the disk's: the scan is judged with the page cache
// emptied before each run of either program, on an image with every sector
// allocated. In the page cache dd measures a memory copy, not a read of the
// volume; that case is shown too (judged only when the cache cannot be
// emptied, i.e. when not root).
Verdict SlowScan(const fs::path& image, const std::string& lba, std::uint64_t fls_entries, const Paths& p) {
  const std::vector<std::string> cli = {RETROVA_CLI, "scan", image.string(), lba, "--slow"};
  if (!SameCount("retrova-cli scan --slow", cli, fls_entries, p)) return {false, false};
  const fs::path allocated = bench::AllocatedNtfsFilesImage();
  if (allocated.empty()) return {false, false};
  std::printf("slow scan (%.0f MiB volume)\n", double(bench::kNtfsSectors * 512) / (1 << 20));

  Pair warm;
  bench::TimeProcess(cli, p.out, p.err);  // into the page cache
  if (!RunSlowRounds(image, lba, false, p, warm)) return {false, false};
  PrintSlow("in the page cache", warm);
  const double warm_wall = warm.ref.wall / warm.cli.wall, warm_cpu = warm.ref.cpu / warm.cli.cpu;
  std::printf("    cli / dd rate     %.2f wall, %.2f cpu (shown)\n", warm_wall, warm_cpu);

  const bool can_drop = bench::DropPageCache();
  bool inside = false;
  if (can_drop) {
    Pair cold;
    if (!RunSlowRounds(allocated, lba, true, p, cold)) return {false, false};
    PrintSlow("from the disk (page cache emptied before each run)", cold);
    const double ratio = cold.ref.wall / cold.cli.wall;
    inside = ratio >= kSlowThroughputTarget;
    std::printf("    cli / dd rate     %.2f wall (target >= %.2f): %s\n", ratio, kSlowThroughputTarget,
                inside ? "inside" : "OUTSIDE");
  } else {
    inside = std::max(warm_wall, warm_cpu) >= kSlowThroughputTarget;
    std::printf("  the page cache cannot be emptied (not root): judged in the page cache: %s\n",
                inside ? "inside" : "OUTSIDE");
  }

  // Both scans decode, keep and list the same records; what the slow one
  // costs beyond the fast one is its sweep of the sectors. Shown, not judged.
  bench::Best fast;
  for (int round = 0; round < kSlowRounds; ++round) {
    const bench::ProcessRun f = bench::TimeProcess({RETROVA_CLI, "scan", image.string(), lba}, p.out, p.err);
    if (Failed("retrova-cli scan", f, p)) return {false, false};
    fast.Keep(f);
  }
  std::printf("  of which sweep      %.3f s cpu (slow %.3f - fast %.3f) in the page cache: %.2f of dd's cpu time\n",
              warm.cli.cpu - fast.cpu, warm.cli.cpu, fast.cpu, (warm.cli.cpu - fast.cpu) / warm.ref.cpu);
  return {true, inside};
}

}  // namespace

int main(int argc, char** argv) {
  const bool fast = !(argc > 1 && std::strcmp(argv[1], "--slow") == 0);
  const bool slow = !(argc > 1 && std::strcmp(argv[1], "--fast") == 0);
  const fs::path image = bench::NtfsFilesImage();
  if (image.empty()) return 2;
  const fs::path work = fs::temp_directory_path() / ("retrova-bench-ntfs-" + std::to_string(::getpid()));
  fs::create_directories(work);
  const Paths p{work / "stdout", work / "stderr"};
  const std::string lba = std::to_string(bench::kNtfsStartLba);

  // fls once, untimed: the image into the page cache, and the count to match.
  const bench::ProcessRun f0 = bench::TimeProcess({"fls", "-r", "-p", "-o", lba, image.string()}, p.out, p.err);
  if (Failed("fls", f0, p)) {
    fs::remove_all(work);
    return 2;
  }
  const std::uint64_t fls_entries = bench::CountFlsEntries(p.out);
  const std::uint64_t made = bench::kNtfsDirs * (bench::kNtfsFilesPerDir + 1);
  if (fls_entries != made) std::printf("fls lists %" PRIu64 " entries, %" PRIu64 " were made\n", fls_entries, made);

  Verdict v;
  for (const auto& [wanted, scan] : {std::pair{fast, &FastScan}, std::pair{slow, &SlowScan}}) {
    if (!wanted || !v.ran) continue;
    const Verdict one = scan(image, lba, fls_entries, p);
    v.ran = one.ran;
    v.inside = v.inside && one.inside;
  }
  fs::remove_all(work);
  if (!v.ran) return 2;
  return v.inside ? 0 : 1;
}
