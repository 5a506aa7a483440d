// Shared by the benchmarks: images made with real tools and kept in the
// build folder between runs, and whole programs run and timed as a user runs
// them.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#ifndef RETROVA_BENCH_CACHE_DIR
#error "RETROVA_BENCH_CACHE_DIR comes from the build"
#endif

extern char** environ;

namespace bench {

namespace fs = std::filesystem;

inline bool RunShell(const std::string& cmd) {
  if (std::system(cmd.c_str()) == 0) return true;
  std::fprintf(stderr, "bench: failed: %s\n", cmd.c_str());
  return false;
}

inline std::string Quoted(const fs::path& p) { return "'" + p.string() + "'"; }

// The image `name` in the build folder's image cache, made by `make(work,
// image)` when it is not there yet. It is made under a temporary name and
// renamed when complete, so a run broken off half-way leaves nothing to
// reuse. An empty path when it cannot be made.
inline fs::path CachedImage(const std::string& name,
                            const std::function<bool(const fs::path& work, const fs::path& image)>& make) {
  const fs::path cache = RETROVA_BENCH_CACHE_DIR;
  const fs::path image = cache / name;
  std::error_code ec;
  if (fs::is_regular_file(image, ec)) return image;
  const fs::path work = cache / (name + ".work-" + std::to_string(::getpid()));
  fs::create_directories(work, ec);
  const fs::path partial = work / name;
  std::printf("making %s (kept for later runs)...\n", image.c_str());
  std::fflush(stdout);
  const bool made = make(work, partial);
  if (made) fs::rename(partial, image, ec);
  fs::remove_all(work);
  return made && !ec ? image : fs::path();
}

// A disk of one FAT32 partition at LBA 2048 (512-byte clusters, 72 MiB)
// holding 500 folders of 100 files each, long names, a few hundred bytes a
// file, copied in with mtools.
constexpr int kFatDirs = 500;
constexpr int kFatFilesPerDir = 100;
constexpr std::uint64_t kFatStartLba = 2048;

// mkfs.fat writes its own OEM name; a boot record is mounted only under a
// known one, so the primary and the backup (6 sectors on) get one.
inline bool SetFatOemName(const fs::path& image, std::uint64_t start_lba) {
  std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
  for (std::uint64_t lba : {start_lba, start_lba + 6}) {
    f.seekp(static_cast<std::streamoff>(lba * 512 + 3));
    f.write("MSDOS5.0", 8);
  }
  return static_cast<bool>(f);
}

inline bool MakeFatFilesImage(const fs::path& work, const fs::path& image) {
  const fs::path src = work / "src";
  fs::create_directories(src);
  const std::string data(900, 'x');
  for (int d = 0; d < kFatDirs; ++d) {
    char dir[64];
    std::snprintf(dir, sizeof dir, "Folder number %03d with a long name", d);
    fs::create_directories(src / dir);
    for (int f = 0; f < kFatFilesPerDir; ++f) {
      char name[80];
      std::snprintf(name, sizeof name, "Document %03d-%03d with a long file name.txt", d, f);
      std::ofstream(src / dir / name, std::ios::binary).write(data.data(), (f * 7) % 900);
    }
  }
  const std::string img = Quoted(image);
  return RunShell("truncate -s 72M " + img) && RunShell("printf 'label: dos\\nstart=2048, type=c\\n' | sfdisk -q " + img) &&
         RunShell("mkfs.fat -F 32 -s 1 --offset 2048 -h 2048 " + img + " > /dev/null") &&
         SetFatOemName(image, kFatStartLba) &&
         RunShell("cd " + Quoted(src) + " && MTOOLS_SKIP_CHECK=1 mcopy -s -i " + img + "@@1M * ::/");
}

inline fs::path FatFilesImage() { return CachedImage("fat32-50000-files.img", MakeFatFilesImage); }

// One run of a program: wall time, the CPU time (user + system) it used,
// and its exit status (-1 when it could not be started or did not exit).
struct ProcessRun {
  double wall = 0, cpu = 0;
  int status = -1;
};

inline double ChildrenCpuSeconds() {
  rusage ru{};
  ::getrusage(RUSAGE_CHILDREN, &ru);
  const auto sec = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6; };
  return sec(ru.ru_utime) + sec(ru.ru_stime);
}

// Runs argv[0] (searched on PATH when it has no slash) with stdout and stderr
// written to the given files, and waits for it.
inline ProcessRun TimeProcess(const std::vector<std::string>& args, const fs::path& out, const fs::path& err) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ProcessRun run;
  const double cpu0 = ChildrenCpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    std::fprintf(stderr, "bench: cannot start %s\n", argv[0]);
    return run;
  }
  int wstatus = 0;
  while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  run.cpu = ChildrenCpuSeconds() - cpu0;
  run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  return run;
}

// The best wall and the best CPU time over several runs, each kept apart:
// on a busy machine the CPU time is the steadier measure of a program's cost.
struct Best {
  double wall = 1e30, cpu = 1e30;
  void Keep(const ProcessRun& r) {
    wall = std::min(wall, r.wall);
    cpu = std::min(cpu, r.cpu);
  }
};

inline std::uint64_t CountLines(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::uint64_t lines = 0;
  for (std::string line; std::getline(in, line);) ++lines;
  return lines;
}

inline void PrintFileTail(const fs::path& file) {
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  const std::size_t from = lines.size() > 10 ? lines.size() - 10 : 0;
  for (std::size_t i = from; i < lines.size(); ++i) std::fprintf(stderr, "  %s\n", lines[i].c_str());
}

}  // namespace bench
