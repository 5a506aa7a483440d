// retrova-cli bootrec: builds a boot record for the volume described by the
// options and writes it (with its backup) after saving the old sectors.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "app/context.h"
#include "app/status.h"
#include "cli/cli.h"
#include "cli/write_plan.h"
#include "disk/phydrive.h"
#include "utils/bootrec.h"
#include "utils/write_guard.h"

namespace cli {

PHYDRIVE_INFO* ResolveWriteDrive(const char* verb, const std::string& drive) {
  AppContext& ctx = App();
  const int row = ResolveDrive(ctx, verb, drive);
  if (row < 0) return nullptr;
  return static_cast<PHYDRIVE_INFO*>(GetRowData(ctx.phy_list, row));
}

int RunWritePlan(const char* verb, PHYDRIVE_INFO& d, const std::vector<SectorWrite>& writes, bool yes) {
  if (const std::string why = WriteRefusal(d); !why.empty()) {
    std::fprintf(stderr, "retrova-cli %s: refused: %s\n", verb, why.c_str());
    return kExitFailed;
  }
  for (const SectorWrite& w : writes)
    std::printf("%s\t%llu\t%llu\t%s\t%s\n", yes ? "write" : "would-write", static_cast<unsigned long long>(w.lba),
                static_cast<unsigned long long>(w.bytes.size() / kSectorSize), w.what.c_str(),
                EscapeText(d.device_path).c_str());
  std::fflush(stdout);
  if (!yes) {
    std::fprintf(stderr, "retrova-cli %s: nothing written; add --yes to write to %s (%s)\n", verb,
                 d.device_path.c_str(), d.model);
    return kExitPreview;
  }
  // As clone and wipe: a drive with a file system in use is never written.
  if (const std::string mounted = CheckNotMounted(d); !mounted.empty()) {
    std::fprintf(stderr, "retrova-cli %s: refused, nothing written: %s\n", verb, mounted.c_str());
    return kExitFailed;
  }
  const UndoWriteOutcome r = WriteWithUndo(App(), d, writes);
  if (!r.undo_path.empty())
    std::fprintf(stderr, "retrova-cli %s: the old sectors are saved in %s (retrova-cli restore puts them back)\n",
                 verb, r.undo_path.c_str());
  if (!r.ok) {
    std::fprintf(stderr, "retrova-cli %s: %s\n", verb, r.error.c_str());
    return kExitFailed;
  }
  return kExitDone;
}

namespace {

struct BootrecOptions {
  std::string drive, fs, os = "nt";
  std::uint64_t lba = 0, total = 0;
  std::uint32_t cluster_sectors = 8;
  std::optional<std::uint32_t> start_cluster, fat_sectors, reserved;
  std::optional<std::uint64_t> mftmirr;
  bool yes = false;
};

// The $MFT mirror the volume's own $MFT names, when its first records can be read.
std::optional<std::uint64_t> ReadMftMirr(PHYDRIVE_INFO& d, const BootParams& p) {
  const std::uint64_t mft_lba = p.start_lba + std::uint64_t{p.root_cluster} * p.sectors_per_cluster;
  if (mft_lba >= d.total_sectors || d.total_sectors - mft_lba < 4) return std::nullopt;
  std::vector<std::uint8_t> buf(2048);
  if (ReadSectors(App(), d, mft_lba, buf) != 1) return std::nullopt;
  return MftMirrFromRecords(buf);
}

int RunBootrec(const BootrecOptions& o) {
  Session s({});
  PHYDRIVE_INFO* d = ResolveWriteDrive("bootrec", o.drive);
  if (!d) return kExitUsage;
  BootParams p;
  p.fs = o.fs == "ntfs" ? BootFs::kNtfs : o.fs == "fat32" ? BootFs::kFat32 : o.fs == "fat12" ? BootFs::kFat12 : BootFs::kFat16;
  p.os = o.os == "9x" ? OsFamily::k9x : OsFamily::kNt;
  p.start_lba = o.lba;
  p.hidden_sectors = o.lba;
  p.total_sectors = o.total;
  p.sectors_per_cluster = o.cluster_sectors;
  p.root_cluster = o.start_cluster.value_or(p.fs == BootFs::kNtfs ? 4 : 2);
  p.reserved_sectors = o.reserved.value_or(p.fs == BootFs::kFat32 ? kFat32Reserved : 1);
  if (p.fs != BootFs::kNtfs) {
    p.fat_sectors = o.fat_sectors.value_or(0);
    if (!o.fat_sectors) {
      p.fat_sectors = EstimateFatSectors(p);
      std::fprintf(stderr, "retrova-cli bootrec: sectors per FAT %u (estimated from the volume's size)\n",
                   p.fat_sectors);
    }
  } else if (o.mftmirr) {
    p.mftmirr_cluster = *o.mftmirr;
  } else if (std::optional<std::uint64_t> m = ReadMftMirr(*d, p)) {
    p.mftmirr_cluster = *m;
    std::fprintf(stderr, "retrova-cli bootrec: $MFT mirror cluster %llu (read from the $MFT)\n",
                 static_cast<unsigned long long>(*m));
  } else {
    p.mftmirr_cluster = DefaultMftMirrCluster(p);
    std::fprintf(stderr, "retrova-cli bootrec: $MFT mirror cluster %llu (the $MFT is unreadable: half the clusters)\n",
                 static_cast<unsigned long long>(p.mftmirr_cluster));
  }
  const BootGeometry g{static_cast<std::uint32_t>(d->sectors_per_track), static_cast<std::uint32_t>(d->heads),
                       d->drive_number};
  const BootPlan plan = PlanBootRecord(p, g, d->total_sectors);
  if (!plan.refusal.empty()) {
    std::fprintf(stderr, "retrova-cli bootrec: refused, nothing written: %s\n", plan.refusal.c_str());
    return kExitFailed;
  }
  return RunWritePlan("bootrec", *d, plan.writes, o.yes);
}

}  // namespace

void AddBootrecVerb(CLI::App& app, int& status) {
  auto o = std::make_shared<BootrecOptions>();
  CLI::App* v = app.add_subcommand(
      "bootrec", "build a boot record for the volume at --lba and write it with its backup (only with --yes; "
                 "the old sectors are saved to an undo file first)");
  v->add_option("DRIVE", o->drive, "row index of the drives list, a listed device path, or an image path")->required();
  v->add_option("--fs", o->fs, "file system")->required()->check(CLI::IsMember({"ntfs", "fat32", "fat12", "fat16"}));
  v->add_option("--lba", o->lba, "the volume's first sector")->required();
  v->add_option("--total", o->total, "the volume's (partition's) sectors")->required();
  v->add_option("--cluster-sectors", o->cluster_sectors, "sectors per cluster (default 8)")
      ->check(CLI::IsMember({1, 2, 4, 8, 16, 32, 64, 128}));
  v->add_option("--start-cluster", o->start_cluster, "FAT32 root cluster (default 2), NTFS $MFT cluster (default 4)");
  v->add_option("--fat-sectors", o->fat_sectors, "sectors per FAT (default: estimated from the size)");
  v->add_option("--reserved", o->reserved, "reserved sectors (default 32 for FAT32, 1 for FAT12/16)");
  v->add_option("--mftmirr-cluster", o->mftmirr,
                "NTFS $MFT mirror cluster (default: read from the $MFT, else half the clusters)");
  v->add_option("--os", o->os, "boot conventions: nt (default) or 9x")->check(CLI::IsMember({"nt", "9x"}));
  v->add_flag("--yes", o->yes, "write; without it the writes are only printed");
  v->callback([o, &status] { status = RunBootrec(*o); });
}

}  // namespace cli
