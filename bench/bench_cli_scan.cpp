// `retrova-cli scan IMAGE 2048` as a user runs it (start-up, the volume
// mounted at its start sector, the fast FAT32 scan, the listing of every
// entry) against `fls -r -p -o 2048 IMAGE` on the same image: a FAT32 volume
// of 50,000 files (bench_support.h), kept in the build folder between runs.
// Both list to a file, with the image in the page cache.
//
// Checks that both list the same number of entries (fls's own virtual
// entries aside), prints the best wall and CPU time of each over several
// alternating rounds and their ratio; exits 1 when retrova-cli takes more
// than half of fls's time (by wall or by CPU time, whichever is better: the
// machine may be busy), 2 when something could not be run or the counts
// differ.
//
// usage: bench_cli_scan            (BENCH_VERBOSE=1 prints every round)
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
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

constexpr int kRounds = 5;
constexpr double kTarget = 0.5;


}  // namespace

int main() {
  const fs::path image = bench::FatFilesImage();
  if (image.empty()) return 2;
  const fs::path work = fs::temp_directory_path() / ("retrova-bench-cli-" + std::to_string(::getpid()));
  fs::create_directories(work);
  const fs::path out = work / "stdout", err = work / "stderr";
  const std::string lba = std::to_string(bench::kFatStartLba);
  const std::vector<std::string> fls = {"fls", "-r", "-p", "-o", lba, image.string()};
  const std::vector<std::string> cli = {RETROVA_CLI, "scan", image.string(), lba};
  const auto fail = [&](const char* what, const bench::ProcessRun& r) {
    std::fprintf(stderr, "%s ended with %d:\n", what, r.status);
    bench::PrintFileTail(err);
    fs::remove_all(work);
    return 2;
  };

  // Once each untimed: the image into the page cache, and the counts compared.
  const bench::ProcessRun f0 = bench::TimeProcess(fls, out, err);
  if (f0.status != 0) return fail("fls", f0);
  const std::uint64_t fls_entries = bench::CountFlsEntries(out);
  const bench::ProcessRun c0 = bench::TimeProcess(cli, out, err);
  if (c0.status != 0) return fail("retrova-cli scan", c0);
  const std::uint64_t cli_entries = bench::CountLines(out);
  const std::uint64_t made = bench::kFatDirs * (bench::kFatFilesPerDir + 1);
  std::printf("entries listed      retrova-cli %" PRIu64 ", fls %" PRIu64 " (made %" PRIu64 ")\n", cli_entries,
              fls_entries, made);
  if (cli_entries != fls_entries || cli_entries != made) {
    std::fprintf(stderr, "the listings differ in length\n");
    fs::remove_all(work);
    return 2;
  }

  bench::Best best_fls, best_cli;
  for (int round = 0; round < kRounds; ++round) {
    const bench::ProcessRun f = bench::TimeProcess(fls, out, err);
    if (f.status != 0) return fail("fls", f);
    const bench::ProcessRun c = bench::TimeProcess(cli, out, err);
    if (c.status != 0) return fail("retrova-cli scan", c);
    if (std::getenv("BENCH_VERBOSE"))
      std::printf("round %d: fls %.3f s (cpu %.3f), retrova-cli %.3f s (cpu %.3f)\n", round, f.wall, f.cpu, c.wall,
                  c.cpu);
    best_fls.Keep(f);
    best_cli.Keep(c);
  }
  fs::remove_all(work);

  const double ratio_wall = best_cli.wall / best_fls.wall, ratio_cpu = best_cli.cpu / best_fls.cpu;
  const bool inside = std::min(ratio_wall, ratio_cpu) <= kTarget;
  std::printf("fls -r -p           %.3f s wall, cpu %.3f s (best of %d)\n", best_fls.wall, best_fls.cpu, kRounds);
  std::printf("retrova-cli scan    %.3f s wall, cpu %.3f s\n", best_cli.wall, best_cli.cpu);
  std::printf("cli / fls time      %.2f wall, %.2f cpu (target <= %.2f): %s\n", ratio_wall, ratio_cpu, kTarget,
              inside ? "inside" : "OUTSIDE");
  return inside ? 0 : 1;
}
