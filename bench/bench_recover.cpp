// Copying every live file out of a volume as a user does, whole processes,
// the image in the page cache, the output on tmpfs (/dev/shm):
//
//   `retrova-cli recover IMAGE LBA DEST` (Root ticked, the copy with
//   directories) against `tsk_recover -a -o LBA IMAGE DIR`, on the FAT32
//   volume of 50,000 files with content and the NTFS volume of 100,000 files
//   of one line each (bench_support.h). Target: at most 1.0 x tsk_recover's time.
//
// Every file both write must hold the same bytes. The two lay out their
// output differently: the copy puts the volume under DEST/Root and names the
// file it wrote in its row ("TREE_PATH \t OUTPUT \t RESULT \t BYTES"); tsk_recover
// writes the path below the volume's root. The rows map one to the other.
// Times are the best wall and CPU time of each over alternating rounds; a
// ratio counts as inside when it is by either (the machine may be busy).
// Exits 1 when a target is missed, 2 when something could not be run or the
// outputs differ.
//
// usage: bench_recover [--fat|--ntfs]   (BENCH_VERBOSE=1 prints every round)
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.h"

#ifndef RETROVA_CLI
#error "RETROVA_CLI (the retrova-cli path) comes from the build"
#endif

namespace {

namespace fs = std::filesystem;

constexpr int kRounds = 3;
constexpr double kTimeTarget = 1.0;

struct Paths {
  fs::path out, err, cli_dest, tsk_dest;
};

bool Failed(const char* what, const bench::ProcessRun& r, const Paths& p) {
  if (r.status == 0) return false;
  std::fprintf(stderr, "%s ended with %d:\n", what, r.status);
  bench::PrintFileTail(p.err);
  return true;
}

void Empty(const fs::path& dir) {
  std::error_code ec;
  fs::remove_all(dir, ec);
  fs::create_directories(dir, ec);
}

bool SameBytes(const fs::path& a, const fs::path& b) {
  std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
  if (!x || !y) return false;
  std::ostringstream sx, sy;
  sx << x.rdbuf();
  sy << y.rdbuf();
  return sx.str() == sy.str();
}

struct Comparison {
  std::uint64_t rows = 0, copied = 0, both = 0, same = 0, cli_only = 0;
  std::uint64_t tsk_files = 0;
};

// The copy's rows (in p.out) against what tsk_recover wrote under tsk_dest.
Comparison Compare(const Paths& p) {
  Comparison c;
  std::ifstream in(p.out);
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    for (std::string field; std::getline(ss, field, '\t');) f.push_back(field);
    if (f.size() < 4) continue;
    ++c.rows;
    if (f[2] != "copied" || f[1].empty()) continue;
    ++c.copied;
    if (!f[0].starts_with("Root/")) continue;
    const fs::path theirs = p.tsk_dest / f[0].substr(5);
    std::error_code ec;
    if (!fs::is_regular_file(theirs, ec)) {
      ++c.cli_only;
      if (c.cli_only <= 3) std::printf("  only the copy wrote %s\n", f[0].c_str());
      continue;
    }
    ++c.both;
    if (SameBytes(p.cli_dest / f[1], theirs)) ++c.same;
    else if (c.both - c.same <= 3) std::printf("  differs: %s (copy: %s)\n", f[0].c_str(), f[1].c_str());
  }
  std::error_code ec;
  for (fs::recursive_directory_iterator it(p.tsk_dest, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_regular_file()) ++c.tsk_files;
  return c;
}

struct Verdict {
  bool ran = true, inside = true;
};

Verdict Bench(const char* name, const fs::path& image, std::uint64_t lba_number, const Paths& p) {
  const std::string lba = std::to_string(lba_number);
  const std::vector<std::string> tsk = {"tsk_recover", "-a", "-o", lba, image.string(), p.tsk_dest.string()};
  const std::vector<std::string> cli = {RETROVA_CLI, "recover", image.string(), lba, p.cli_dest.string()};
  bench::Best ref, mine;
  for (int round = 0; round < kRounds; ++round) {
    Empty(p.tsk_dest);
    const bench::ProcessRun r = bench::TimeProcess(tsk, p.out, p.err);
    if (Failed("tsk_recover", r, p)) return {false, false};
    Empty(p.cli_dest);
    const bench::ProcessRun c = bench::TimeProcess(cli, p.out, p.err);
    if (Failed("retrova-cli recover", c, p)) return {false, false};
    if (std::getenv("BENCH_VERBOSE"))
      std::printf("  round %d: tsk_recover %.3f s (cpu %.3f), retrova-cli %.3f s (cpu %.3f)\n", round, r.wall, r.cpu,
                  c.wall, c.cpu);
    ref.Keep(r);
    mine.Keep(c);
  }
  // The last round's outputs, both still there.
  const Comparison cmp = Compare(p);
  const double ratio_wall = mine.wall / ref.wall, ratio_cpu = mine.cpu / ref.cpu;
  const bool time_ok = std::min(ratio_wall, ratio_cpu) <= kTimeTarget;
  // tsk_recover writes no file for an empty one: a volume of empty files leaves nothing to compare.
  const bool same = cmp.same == cmp.both && (cmp.both > 0 || cmp.tsk_files == 0);
  std::printf("%s\n", name);
  std::printf("  tsk_recover -a       %.3f s wall, cpu %.3f s (best of %d), %" PRIu64 " files\n", ref.wall, ref.cpu,
              kRounds, cmp.tsk_files);
  std::printf("  retrova-cli recover  %.3f s wall, cpu %.3f s, %" PRIu64 " rows, %" PRIu64 " copied\n", mine.wall,
              mine.cpu, cmp.rows, cmp.copied);
  std::printf("  cli / tsk time       %.2f wall, %.2f cpu (target <= %.2f): %s\n", ratio_wall, ratio_cpu, kTimeTarget,
              time_ok ? "inside" : "OUTSIDE");
  std::printf("  written by both      %" PRIu64 ", identical %" PRIu64 ", only by the copy %" PRIu64 ": %s\n", cmp.both,
              cmp.same, cmp.cli_only, same ? "same bytes" : "DIFFERENT");
  if (cmp.both == 0) std::printf("  (tsk_recover wrote no file: nothing to compare)\n");
  return {same, time_ok};
}

}  // namespace

int main(int argc, char** argv) {
  const bool fat = !(argc > 1 && std::strcmp(argv[1], "--ntfs") == 0);
  const bool ntfs = !(argc > 1 && std::strcmp(argv[1], "--fat") == 0);
  const fs::path shm = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  const fs::path work = shm / ("retrova-bench-recover-" + std::to_string(::getpid()));
  fs::create_directories(work);
  const Paths p{work / "stdout", work / "stderr", work / "cli", work / "tsk"};
  Verdict v;
  if (fat) {
    const fs::path image = bench::FatFilesImage();
    const Verdict one = image.empty() ? Verdict{false, false}
                                      : Bench("FAT32, 50,000 files", image, bench::kFatStartLba, p);
    v = {v.ran && one.ran, v.inside && one.inside};
  }
  if (ntfs && v.ran) {
    const fs::path image = bench::NtfsFilesImage();
    const Verdict one = image.empty() ? Verdict{false, false}
                                      : Bench("NTFS, 100,000 files", image, bench::kNtfsStartLba, p);
    v = {v.ran && one.ran, v.inside && one.inside};
  }
  fs::remove_all(work);
  if (!v.ran) return 2;
  return v.inside ? 0 : 1;
}
