// libFuzzer target for the whole copy-out over a crafted volume.
//
// The input's first byte chooses: bit 0 an NTFS volume (else FAT32), bit 1
// the flat copy (else with directories), bit 2 the slow scan after the fast
// one. The rest is a fuzz_fat input (FAT32) or a fuzz_ntfs_scan input (NTFS),
// header included. The volume is scanned through the commands of a headless
// main window, Root is ticked as a click on its check box would, and the
// copy runs into a fresh folder with the folder chooser answered.
//
// The folder starts with things of the operator's that a copy might reach:
// files, a folder named "Root", links to a folder outside it and to nowhere. After the copy, nothing outside the folder has changed (a sibling
// folder and the working directory stay empty), what was there before is
// untouched, and every new entry is a plain file or folder. Everything is
// removed before the next input.
//
// Each input runs in a folder of its own: give the corpus and
// -artifact_prefix as absolute paths.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <span>
#include <string>

#include "app/context.h"
#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_volumes.h"
#include "volume/mount.h"
#include "volume/partition.h"
#include "volume/search.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxImage = 256 * 1024;

// The folders of one input, all removed when it is done (libFuzzer ends the
// process without running destructors of statics): <base>/dest receives the
// copy; <base>/outside and <base>/cwd (the working directory meanwhile)
// must stay empty.
class Sandbox {
 public:
  Sandbox() {
    std::error_code ec;
    base_ = fs::temp_directory_path(ec) / ("retrova-fuzz-copy-" + std::to_string(::getpid()));
    fs::create_directories(base_ / "cwd", ec);
    fs::create_directories(base_ / "outside", ec);
    ok_ = !ec && home_ >= 0 && ::chdir((base_ / "cwd").c_str()) == 0;
  }
  ~Sandbox() {
    std::error_code ec;
    if (home_ >= 0 && ::fchdir(home_) != 0) __builtin_trap();
    if (home_ >= 0) ::close(home_);
    fs::remove_all(base_, ec);
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;
  bool ok() const { return ok_; }
  fs::path dest() const { return base_ / "dest"; }

  // A fresh destination with the operator's own things in it.
  bool Prepare() {
    std::error_code ec;
    fs::remove_all(dest(), ec);
    fs::create_directories(dest() / "Root", ec);
    if (ec) return false;
    // Names the seeds' copies reach: Root's folder and its suffixed names,
    // a flat copy's first files.
    std::ofstream(dest() / "Root" / "mine.txt") << "operator's own";
    std::ofstream(dest() / "FUZZVOL") << "operator's own";
    fs::create_directory_symlink(base_ / "outside", dest() / "Root.5", ec);
    if (!ec) fs::create_symlink(base_ / "outside" / "nowhere", dest() / "Root.6", ec);
    if (!ec) fs::create_symlink(base_ / "outside" / "nowhere", dest() / "Readme.txt", ec);
    before_ = Snapshot();
    return !ec;
  }

  // Traps when the copy wrote anywhere but new entries inside dest.
  void Check() const {
    std::error_code ec;
    if (!fs::is_empty(base_ / "outside", ec) || ec) __builtin_trap();
    if (!fs::is_empty(base_ / "cwd", ec) || ec) __builtin_trap();
    std::size_t top = 0;
    for (fs::directory_iterator it(base_, ec), end; !ec && it != end; it.increment(ec)) ++top;
    if (ec || top != 3) __builtin_trap();
    const std::map<fs::path, Entry> after = Snapshot();
    for (const auto& [path, was] : before_) {
      const auto now = after.find(path);
      if (now == after.end() || now->second.mode != was.mode || now->second.ino != was.ino ||
          now->second.size != was.size || now->second.mtime_ns != was.mtime_ns)
        __builtin_trap();
    }
    for (const auto& [path, e] : after)
      if (!before_.contains(path) && !S_ISREG(e.mode) && !S_ISDIR(e.mode)) __builtin_trap();
  }

 private:
  struct Entry {
    mode_t mode = 0;
    ino_t ino = 0;
    off_t size = 0;
    std::int64_t mtime_ns = 0;
  };
  // Every entry under dest, links not followed.
  std::map<fs::path, Entry> Snapshot() const {
    std::map<fs::path, Entry> out;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dest(), ec), end; !ec && it != end; it.increment(ec)) {
      struct stat st{};
      if (::lstat(it->path().c_str(), &st) != 0) __builtin_trap();
      out[it->path()] = {st.st_mode, st.st_ino, st.st_size,
                         std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
    }
    if (ec) __builtin_trap();
    return out;
  }

  int home_ = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);  // the working directory before
  fs::path base_;
  bool ok_ = false;
  std::map<fs::path, Entry> before_;
};

struct Volume {
  std::array<std::uint8_t, kSectorSize> boot{};
  std::vector<std::uint8_t> image;
  std::size_t file_size = 0;
};

Volume BuildVolume(std::span<const std::uint8_t> in, bool ntfs) {
  Volume v;
  if (ntfs) {
    fuzz::ntfs_volume::Layout l = (in[0] & 4) ? fuzz::ntfs_volume::RawVolume(in) : fuzz::ntfs_volume::TemplateVolume(in);
    v.boot = l.boot;
    v.file_size = l.file_size;
    v.image = std::move(l.image);
  } else {
    fuzz::fat_volume::Layout l = (in[0] & 4) ? fuzz::fat_volume::RawVolume(in) : fuzz::fat_volume::TemplateVolume(in);
    v.boot = l.boot;
    v.file_size = l.image.size();
    v.image = std::move(l.image);
  }
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::ImageFile image("fuzz_copy");
  static fuzz::EmptyDriveSource no_drives;
  if (!image.ok() || !no_drives.ok() || size < 1 + fuzz::kHeader) return 0;
  const std::uint8_t mode = data[0];
  const bool ntfs = mode & 1, flat = mode & 2, slow = mode & 4;
  const std::span<const std::uint8_t> in(data + 1, std::min(size - 1, kMaxImage));
  const Volume v = BuildVolume(in, ntfs);
  if (!image.Write(v.image, v.file_size)) return 0;

  Sandbox sandbox;
  if (!sandbox.ok()) return 0;
  fuzz::MainWindow w;
  AppContext& ctx = App();
  if (!w.ok() || !AddImageFile(ctx, image.path())) return 0;
  ClickListRow(ctx.main_dlg, IDC_PHY_LIST, ListView_GetItemCount(ctx.phy_list) - 1, HitPart::Label);
  w.Drain();
  auto* drive = static_cast<PHYDRIVE_INFO*>(GetSelectedRowData(ctx.phy_list));
  LOGDRIVE_INFO* vol = drive && IsBootSector(v.boot) ? MountLogDrive(0, v.boot) : nullptr;
  if (!vol || vol->fs_type != (ntfs ? kFsNtfs : kFsFat32)) return 0;
  if (!ntfs) FitVolumeToDrive(*vol, *drive);
  AddLOGDrive(ctx, vol);
  ClickListRow(ctx.main_dlg, IDC_LOG_LIST, 0, HitPart::Label);
  w.Drain();

  PostCommand(ctx.main_dlg, IDM_FAST_LOGICAL);
  w.Drain();
  if (slow) {
    PostCommand(ctx.main_dlg, IDM_SLOW_LOGICAL);
    w.Drain();
  }
  if (!ctx.root_item || !sandbox.Prepare()) return 0;
  ClickTreeItem(ctx.main_dlg, IDC_DIR_TREE, ctx.root_item, HitPart::CheckBox);
  w.Drain();
  headless::AnswerFolder(sandbox.dest().string());
  PostCommand(ctx.main_dlg, flat ? IDM_COPY_FLAT : IDM_COPY_DIRS);
  w.Drain();
  // The copy ends idle, its tables given back.
  if (ctx.scan_running || vol->fat1_table || vol->fat2_table) __builtin_trap();
  sandbox.Check();
  return 0;
}
