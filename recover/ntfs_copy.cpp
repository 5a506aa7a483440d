// The NTFS per-file copy: the record read again, then resident bytes or the
// Run List's clusters written unit by unit (holes as zeros, compressed units
// through LZNT1).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <optional>
#include <vector>

#include "app/shell.h"
#include "app/status.h"
#include "disk/phydrive.h"
#include "ntfs/sysfiles.h"
#include "platform/controls.h"
#include "platform/text.h"
#include "recover/copy_file.h"
#include "recover/lznt1.h"
#include "recover/ntfs_units.h"
#include "recover/output.h"
#include "res/ids.h"
#include "scan/records.h"
#include "volume/logdrive.h"

namespace {

constexpr std::uint32_t kCopyBarColour = RGB(253, 95, 53);

// Closes the output when the copy ends, however it ends.
class OutputFile {
 public:
  explicit OutputFile(int fd) : fd_(fd) {}
  ~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  bool Write(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return true;
    if (hole_ && !SkipHole()) return false;
    if (!WriteAll(fd_, bytes)) return false;
    length_ += bytes.size();
    return true;
  }
  // Zeros known without reading: left as a hole, so that a sparse file of
  // terabytes is neither read nor written byte by byte.
  void Zeros(std::uint64_t n) { hole_ += n; }
  // A trailing hole still sets the file's length.
  bool Finish() {
    if (hole_ == 0) return true;
    const std::uint64_t end = length_ + hole_;
    if (end > static_cast<std::uint64_t>(LLONG_MAX) || ::ftruncate(fd_, static_cast<off_t>(end)) != 0) return false;
    length_ = end;
    hole_ = 0;
    return true;
  }
  std::uint64_t length() const { return length_ + hole_; }

 private:
  bool SkipHole() {
    const std::uint64_t end = length_ + hole_;
    if (end > static_cast<std::uint64_t>(LLONG_MAX) || ::lseek(fd_, static_cast<off_t>(end), SEEK_SET) < 0)
      return false;
    length_ = end;
    hole_ = 0;
    return true;
  }
  int fd_;
  std::uint64_t length_ = 0, hole_ = 0;
};

// The per-file bar: the main window's second bar, else the finder's.
class FileProgress {
 public:
  FileProgress(AppContext& ctx, std::uint64_t units) : bar_(ctx.progress_bar2 ? ctx.progress_bar2 : ctx.finder_progress) {
    // The control counts in 32 bits: huge files step in coarser slices.
    scale_ = units / INT32_MAX + 1;
    if (!bar_) return;
    Progress_SetRange32(bar_, 0, static_cast<std::int32_t>(units / scale_));
    Progress_SetStep(bar_, 1);
    Progress_SetBarColour(bar_, kCopyBarColour);
    Progress_SetPos(bar_, 0);
  }
  ~FileProgress() {
    if (bar_) Progress_SetPos(bar_, 0);
  }
  void Advance(std::uint64_t units) {
    done_ += units;
    if (bar_) Progress_SetPos(bar_, static_cast<std::int32_t>(std::min<std::uint64_t>(done_ / scale_, INT32_MAX)));
  }

 private:
  ProgressBar* bar_;
  std::uint64_t scale_ = 1, done_ = 0;
};

struct UnitCopy {
  AppContext& ctx;
  PHYDRIVE_INFO& drive;
  const LOGDRIVE_INFO& vol;
  const NtfsFileData& data;
  std::uint64_t cluster_bytes;
  bool failed = false;
};

// Reads one piece of a unit into buf. Clusters past the volume's last are
// another volume's (or nothing): they stay zero and the file fails, as does
// a read that could not fill the piece.
void ReadPiece(UnitCopy& c, const UnitPiece& p, std::span<std::uint8_t> buf) {
  const std::uint64_t count = c.vol.cluster_count > 0 ? static_cast<std::uint64_t>(c.vol.cluster_count) : 0;
  std::uint64_t clusters = p.clusters;
  if (p.lcn >= count || clusters > count - p.lcn) {
    DebugPrint("CopyNtfsFile: run at LCN %llu (%llu clusters) passes the volume's %llu clusters",
               static_cast<unsigned long long>(p.lcn), static_cast<unsigned long long>(p.clusters),
               static_cast<unsigned long long>(count));
    c.failed = true;
    clusters = p.lcn >= count ? 0 : count - p.lcn;
  }
  if (clusters == 0) return;
  const std::uint64_t spc = c.vol.sectors_per_cluster;
  const std::uint64_t errors = c.drive.read_errors;
  const std::span<std::uint8_t> into = buf.subspan(p.at * c.cluster_bytes, clusters * c.cluster_bytes);
  if (!ReadVolumeSectors(c.ctx, c.drive, c.vol, p.lcn * spc, static_cast<std::uint32_t>(clusters * spc), into)) {
    std::fill(into.begin(), into.end(), 0);
    c.failed = true;
  }
  if (c.drive.read_errors != errors) c.failed = true;
}

CopyOutcome CopyRuns(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol, const NtfsFileData& d,
                     OutputFile& out) {
  const std::uint64_t cluster_bytes = vol.bytes_per_cluster;
  const std::uint64_t unit_bytes = d.unit_clusters * cluster_bytes;
  UnitCopy c{ctx, drive, vol, d, cluster_bytes};
  std::vector<std::uint8_t> buf(unit_bytes), expanded;
  FileProgress progress(ctx, d.data_size / unit_bytes);
  UnitWalk walk(d.runs, d.unit_clusters);
  std::uint64_t remaining = d.data_size, offset = 0;
  Unit u;
  while (remaining > 0 && walk.Next(u)) {
    if (u.sparse_units) {
      const std::uint64_t n = std::min(remaining, u.sparse_units * unit_bytes);
      out.Zeros(n);
      remaining -= n;
      offset += n;
      progress.Advance(u.sparse_units);
      if (CheckTerminate(IDM_TERMINATE_SCAN) == 1) return CopyOutcome::Stopped;
      continue;
    }
    std::fill(buf.begin(), buf.end(), 0);
    bool any_data = false, any_sparse = false;
    for (const UnitPiece& p : u.pieces) {
      if (p.sparse) {
        any_sparse = true;
      } else {
        any_data = true;
        ReadPiece(c, p, buf);
      }
    }
    std::span<std::uint8_t> content = std::span<std::uint8_t>(buf).first(u.clusters * cluster_bytes);
    // Data clusters followed by a hole inside a unit of a compressed
    // attribute hold that unit compressed; elsewhere a hole is zeros.
    if (d.compressed && any_data && any_sparse) {
      if (u.pieces.front().sparse) {
        DebugPrint("CopyNtfsFile: compressed unit at byte %llu starts with a hole", static_cast<unsigned long long>(offset));
        c.failed = true;
      } else {
        expanded.assign(unit_bytes, 0);
        if (DecompressLznt1(expanded, content, unit_bytes)) {
          content = expanded;
        } else {
          DebugPrint("CopyNtfsFile: unit at byte %llu does not decompress", static_cast<unsigned long long>(offset));
          c.failed = true;
        }
      }
    }
    const std::uint64_t n = std::min<std::uint64_t>(remaining, content.size());
    content = content.first(n);
    // Past the initialized size the file reads as zeros, whatever the clusters hold.
    if (offset + n > d.initialized_size) {
      const std::uint64_t keep = offset >= d.initialized_size ? 0 : d.initialized_size - offset;
      std::fill(content.begin() + static_cast<std::ptrdiff_t>(keep), content.end(), 0);
      if (keep == 0) any_data = false;
    }
    if (any_data) {
      if (!out.Write(content)) return CopyOutcome::Failed;
    } else {
      out.Zeros(n);
    }
    remaining -= n;
    offset += n;
    progress.Advance(1);
    if (CheckTerminate(IDM_TERMINATE_SCAN) == 1) return CopyOutcome::Stopped;
  }
  if (remaining > 0) {
    DebugPrint("CopyNtfsFile: runs end %llu bytes before the data size", static_cast<unsigned long long>(remaining));
    c.failed = true;
  }
  if (!out.Finish()) return CopyOutcome::Failed;
  return c.failed ? CopyOutcome::Failed : CopyOutcome::Copied;
}

int Finish(CopyResult& result, CopyOutcome outcome, const OutputFile* out) {
  result.outcome = outcome;
  if (out) result.bytes = out->length();
  return outcome == CopyOutcome::Copied || outcome == CopyOutcome::Skipped ? 1 : 0;
}

}  // namespace

int CopyNtfsFile(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol, FILE_INODE& f, const OutputDir& dir,
                 CopyResult& result) {
  result = CopyResult{};
  // The system files live in the volume's root; elsewhere the name is a user's.
  if (f.parent_number == kRootNumber && IsSystemFileName(f.name)) return Finish(result, CopyOutcome::Skipped, nullptr);
  if (vol.sectors_per_cluster == 0 || vol.bytes_per_cluster == 0) return Finish(result, CopyOutcome::Failed, nullptr);
  const std::optional<NtfsFileData> d = ReadNtfsFileData(ctx, drive, vol, f);
  if (!d) return Finish(result, CopyOutcome::Failed, nullptr);

  std::string name;
  const int fd = CreateOutputFile(dir, f.name, ctx.files_done, name);
  if (fd < 0) {
    DebugPrint("CopyNtfsFile: cannot create an output for \"%s\"", f.name.c_str());
    return Finish(result, CopyOutcome::Failed, nullptr);
  }
  OutputFile out(fd);
  result.output_name = name;
  SetStatusField(ctx, IDC_STATUS, Latin1ToUtf8(f.name));

  if (d->data_size == 0 && d->resident_whole) return Finish(result, CopyOutcome::Copied, &out);
  if (d->resident) {
    const std::span<const std::uint8_t> bytes(d->resident_bytes);
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), d->data_size));
    const bool whole = d->resident_whole && n == d->data_size;
    if (!out.Write(bytes.first(n))) return Finish(result, CopyOutcome::Failed, &out);
    return Finish(result, whole ? CopyOutcome::Copied : CopyOutcome::Failed, &out);
  }
  return Finish(result, CopyRuns(ctx, drive, vol, *d, out), &out);
}
