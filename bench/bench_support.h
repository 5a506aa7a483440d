// Shared by the benchmarks: images made with real tools and kept in the
// build folder between runs, and whole programs run and timed as a user runs
// them.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
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
#include <thread>
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

// One run of a program: wall time, the CPU time (user + system) it used, its
// peak resident memory, and its exit status (-1 when it could not be started
// or did not exit).
struct ProcessRun {
  double wall = 0, cpu = 0;
  long max_rss_kib = 0;
  int status = -1;
};

// Starts argv[0] (searched on PATH when it has no slash) with stdout and
// stderr written to the given files; -1 when it cannot be started.
inline pid_t StartProcess(const std::vector<std::string>& args, const fs::path& out, const fs::path& err) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc == 0) return pid;
  std::fprintf(stderr, "bench: cannot start %s\n", argv[0]);
  return -1;
}

// Waits for the child `pid`; its own resource use (wait4), not that of every
// child so far, gives the CPU time and the peak memory.
inline int WaitProcess(pid_t pid, rusage* ru) {
  int wstatus = 0;
  while (::wait4(pid, &wstatus, 0, ru) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
}

// Runs a program as StartProcess does and waits for it.
inline ProcessRun TimeProcess(const std::vector<std::string>& args, const fs::path& out, const fs::path& err) {
  ProcessRun run;
  const auto t0 = std::chrono::steady_clock::now();
  const pid_t pid = StartProcess(args, out, err);
  if (pid < 0) return run;
  rusage ru{};
  run.status = WaitProcess(pid, &ru);
  run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const auto sec = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6; };
  run.cpu = sec(ru.ru_utime) + sec(ru.ru_stime);
  run.max_rss_kib = ru.ru_maxrss;
  return run;
}

// A disk of one NTFS partition at LBA 2048 (512 MiB, 4 KiB clusters) holding
// 2,000 folders of 50 empty files each, made with mkntfs and filled through
// an ntfs-3g mount. ntfs-3g names what it creates in the POSIX namespace,
// which a directory listing made for Windows does not show; giving every
// folder and file a DOS name turns its long name into a Win32 one, as
// Windows itself would name it.
constexpr int kNtfsDirs = 2000;
constexpr int kNtfsFilesPerDir = 50;
constexpr std::uint64_t kNtfsStartLba = 2048;
constexpr std::uint64_t kNtfsSectors = 1048576;

inline bool SetDosName(const fs::path& p, const std::string& dos) {
  if (::setxattr(p.c_str(), "system.ntfs_dos_name", dos.data(), dos.size(), 0) == 0) return true;
  std::fprintf(stderr, "bench: cannot set the DOS name of %s\n", p.c_str());
  return false;
}

inline bool FillNtfsMount(const fs::path& root) {
  for (int d = 0; d < kNtfsDirs; ++d) {
    char name[64], dos[16];
    std::snprintf(name, sizeof name, "Folder number %04d with a long name", d);
    std::snprintf(dos, sizeof dos, "FOLD%04d", d);
    const fs::path dir = root / name;
    if (::mkdir(dir.c_str(), 0755) != 0 || !SetDosName(dir, dos)) return false;
    for (int f = 0; f < kNtfsFilesPerDir; ++f) {
      std::snprintf(name, sizeof name, "Document %04d-%02d with a long file name.txt", d, f);
      std::snprintf(dos, sizeof dos, "DOC%05d.TXT", f);
      const fs::path file = dir / name;
      // A line of text each (resident data), so a copy-out has bytes to compare.
      const std::string text = std::string(name) + "\n";
      const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
      if (fd < 0) return false;
      const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
      if (::close(fd) != 0 || !written || !SetDosName(file, dos)) return false;
    }
  }
  return true;
}

inline bool IsMountPoint(const fs::path& dir) {
  struct stat a{}, b{};
  return ::stat(dir.c_str(), &a) == 0 && ::stat((dir / "..").c_str(), &b) == 0 && a.st_dev != b.st_dev;
}

// Mounts the volume file with ntfs-3g (kept in the foreground so that its end,
// after the unmount, says everything is written), runs `fill` on it, and
// unmounts it.
inline bool FillThroughNtfs3g(const fs::path& volume, const fs::path& work, const std::function<bool(const fs::path&)>& fill) {
  const fs::path mnt = work / "mnt";
  fs::create_directories(mnt);
  const pid_t pid = StartProcess({"ntfs-3g", "-o", "no_detach", volume.string(), mnt.string()}, work / "ntfs-3g.out",
                                 work / "ntfs-3g.err");
  if (pid < 0) return false;
  bool mounted = false;
  for (int i = 0; i < 200 && !mounted; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    mounted = IsMountPoint(mnt);
  }
  const bool filled = mounted && fill(mnt);
  if (mounted) RunShell("umount " + Quoted(mnt));
  else ::kill(pid, SIGTERM);
  const int status = WaitProcess(pid, nullptr);
  if (!mounted) std::fprintf(stderr, "bench: ntfs-3g did not mount %s (is fuse there?)\n", volume.c_str());
  return filled && status == 0;
}

inline bool MakeNtfsFilesImage(const fs::path& work, const fs::path& image) {
  const fs::path volume = work / "ntfs.img";
  const std::string img = Quoted(image), vol = Quoted(volume);
  const std::string start = std::to_string(kNtfsStartLba), sectors = std::to_string(kNtfsSectors);
  return RunShell("truncate -s " + std::to_string((kNtfsStartLba + kNtfsSectors) * 512) + " " + img) &&
         RunShell("printf 'label: dos\\nstart=" + start + ", size=" + sectors + ", type=7\\n' | sfdisk -q " + img) &&
         RunShell("truncate -s " + std::to_string(kNtfsSectors * 512) + " " + vol) &&
         RunShell("mkntfs -F -f -q -s 512 -c 4096 -p " + start + " -H 255 -S 63 " + vol + " 2> /dev/null") &&
         FillThroughNtfs3g(volume, work, FillNtfsMount) &&
         RunShell("dd if=" + vol + " of=" + img + " bs=1M seek=" + std::to_string(kNtfsStartLba * 512) +
                  " oflag=seek_bytes conv=notrunc,sparse status=none");
}

inline fs::path NtfsFilesImage() { return CachedImage("ntfs-100000-text-files.img", MakeNtfsFilesImage); }

// The same image with every sector on the disk: the made one is sparse (its
// free space reads as zeros without touching the disk), a drive is not.
inline fs::path AllocatedNtfsFilesImage() {
  const fs::path sparse = NtfsFilesImage();
  if (sparse.empty()) return {};
  return CachedImage("ntfs-100000-text-files-allocated.img", [&](const fs::path&, const fs::path& image) {
    return RunShell("cp --sparse=never " + Quoted(sparse) + " " + Quoted(image));
  });
}

// Written data to the disk, then the page cache emptied, so that the next
// read comes from the disk. Needs root; false when it could not be done.
inline bool DropPageCache() {
  ::sync();
  FILE* f = std::fopen("/proc/sys/vm/drop_caches", "w");
  if (f == nullptr) return false;
  const bool ok = std::fputs("3\n", f) >= 0;
  return std::fclose(f) == 0 && ok;
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

// Entries of an `fls -r -p` listing ("TYPE INODE:\tPATH"), leaving out the
// metadata files and the entries fls makes up for the volume's own areas
// ($MBR, $FAT1, $OrphanFiles...): they sit at the top level with a '$' name.
inline std::uint64_t CountFlsEntries(const fs::path& listing) {
  std::ifstream in(listing);
  std::uint64_t n = 0;
  for (std::string line; std::getline(in, line);) {
    const std::size_t tab = line.find('\t');
    if (tab != std::string::npos && line.compare(tab + 1, 1, "$") != 0) ++n;
  }
  return n;
}

}  // namespace bench
