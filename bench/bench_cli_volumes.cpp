// `retrova-cli volumes IMAGE` as a user runs it (start-up, the partition
// search over every sector, the listing) against `dd if=IMAGE of=/dev/null
// bs=1M` on the same 4 GiB image, both with the image in the page cache.
//
// The image holds an MBR with a FAT32 volume (mkfs.fat) and an NTFS volume
// (mkntfs) near its start; every other sector holds a filler pattern, written
// out, so both programs read real page-cache pages rather than file holes.
// It is kept in the build folder between runs.
//
// Prints the best wall and CPU time of each over several alternating rounds
// and their ratio; exits 1 when retrova-cli reaches less than 90% of dd's
// throughput (by wall or by CPU time, whichever is better: the machine may be
// busy), 2 when something could not be run.
//
// usage: bench_cli_volumes            (BENCH_VERBOSE=1 prints every round)
#include <fcntl.h>
#include <unistd.h>

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

constexpr std::uint64_t kMiB = 1 << 20;
constexpr std::uint64_t kImageBytes = 4096 * kMiB;
constexpr std::uint64_t kFatLba = 2048;
constexpr std::uint64_t kNtfsLba = 2048 + 1048576;  // each volume 512 MiB
constexpr int kRounds = 7;
constexpr double kTarget = 0.9;

// Every sector the same filler, with no boot-record signature at its end.
bool WriteFiller(const fs::path& image) {
  std::vector<char> block(kMiB);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i % 512 * 37 + 11) % 251);
  const int fd = ::open(image.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  if (fd < 0) return false;
  bool ok = true;
  for (std::uint64_t off = 0; ok && off < kImageBytes; off += kMiB)
    ok = ::pwrite(fd, block.data(), kMiB, static_cast<off_t>(off)) == static_cast<ssize_t>(kMiB);
  return ::close(fd) == 0 && ok;
}

bool MakeImage(const fs::path& work, const fs::path& image) {
  using bench::Quoted;
  using bench::RunShell;
  const std::string img = Quoted(image);
  const fs::path ntfs = work / "ntfs.img";
  const std::string table = "printf 'label: dos\\nstart=" + std::to_string(kFatLba) + ", size=1048576, type=c\\nstart=" +
                            std::to_string(kNtfsLba) + ", size=1048576, type=7\\n' | sfdisk -q " + img;
  return WriteFiller(image) && RunShell(table) &&
         RunShell("mkfs.fat -F 32 --offset " + std::to_string(kFatLba) + " -h " + std::to_string(kFatLba) + " " + img +
                  " 524288 > /dev/null 2>&1") &&
         bench::SetFatOemName(image, kFatLba) && RunShell("truncate -s 512M " + Quoted(ntfs)) &&
         RunShell("mkntfs -F -Q -q -s 512 -p " + std::to_string(kNtfsLba) + " -H 255 -S 63 " + Quoted(ntfs) + " 2> /dev/null") &&
         RunShell("dd if=" + Quoted(ntfs) + " of=" + img + " bs=1M seek=" + std::to_string(kNtfsLba * 512 / kMiB) +
                  " conv=notrunc status=none");
}

// The listing's Logical LBA column holds both volumes' starts.
bool ListsBothVolumes(const fs::path& listing) {
  std::ifstream in(listing);
  bool fat = false, ntfs = false;
  for (std::string line; std::getline(in, line);) {
    const std::string lba = line.substr(0, line.find('\t'));
    fat = fat || lba == std::to_string(kFatLba);
    ntfs = ntfs || lba == std::to_string(kNtfsLba);
  }
  return fat && ntfs;
}

}  // namespace

int main() {
  const fs::path image = bench::CachedImage("volumes-4g.img", MakeImage);
  if (image.empty()) return 2;
  const fs::path work = fs::temp_directory_path() / ("retrova-bench-cli-" + std::to_string(::getpid()));
  fs::create_directories(work);
  const fs::path out = work / "stdout", err = work / "stderr";
  const std::vector<std::string> dd = {"dd", "if=" + image.string(), "of=/dev/null", "bs=1M"};
  const std::vector<std::string> cli = {RETROVA_CLI, "volumes", image.string()};

  // Once each untimed: the image into the page cache, and the listing checked.
  bench::TimeProcess(dd, out, err);
  const bench::ProcessRun first = bench::TimeProcess(cli, out, err);
  if (first.status != 0 || !ListsBothVolumes(out)) {
    std::fprintf(stderr, "retrova-cli volumes ended with %d; it listed:\n", first.status);
    bench::PrintFileTail(out);
    bench::PrintFileTail(err);
    fs::remove_all(work);
    return 2;
  }
  std::printf("volumes listed:\n");
  std::fflush(stdout);
  bench::RunShell("sed 's/^/  /' " + bench::Quoted(out));

  bench::Best best_dd, best_cli;
  for (int round = 0; round < kRounds; ++round) {
    const bench::ProcessRun d = bench::TimeProcess(dd, out, err);
    const bench::ProcessRun c = bench::TimeProcess(cli, out, err);
    if (d.status != 0 || c.status != 0) {
      std::fprintf(stderr, "round %d: dd ended with %d, retrova-cli with %d\n", round, d.status, c.status);
      fs::remove_all(work);
      return 2;
    }
    if (std::getenv("BENCH_VERBOSE"))
      std::printf("round %d: dd %.3f s (cpu %.3f), retrova-cli %.3f s (cpu %.3f)\n", round, d.wall, d.cpu, c.wall,
                  c.cpu);
    best_dd.Keep(d);
    best_cli.Keep(c);
  }
  fs::remove_all(work);

  const double mb = static_cast<double>(kImageBytes) / 1e6;
  const double ratio_wall = best_dd.wall / best_cli.wall, ratio_cpu = best_dd.cpu / best_cli.cpu;
  const bool inside = std::max(ratio_wall, ratio_cpu) >= kTarget;
  std::printf("image               %" PRIu64 " MiB, in the page cache, best of %d rounds\n", kImageBytes / kMiB,
              kRounds);
  std::printf("dd bs=1M            %6.0f MB/s wall (%.3f s), cpu %.3f s\n", mb / best_dd.wall, best_dd.wall,
              best_dd.cpu);
  std::printf("retrova-cli volumes %6.0f MB/s wall (%.3f s), cpu %.3f s\n", mb / best_cli.wall, best_cli.wall,
              best_cli.cpu);
  std::printf("dd / cli time       %.2f wall, %.2f cpu (target >= %.2f): %s\n", ratio_wall, ratio_cpu, kTarget,
              inside ? "inside" : "OUTSIDE");
  return inside ? 0 : 1;
}
