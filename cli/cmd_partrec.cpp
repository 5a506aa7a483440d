// retrova-cli partrec: writes one partition table entry into the table at
// --table-lba, keeping the rest of the sector.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "app/context.h"
#include "cli/cli.h"
#include "cli/write_plan.h"
#include "disk/phydrive.h"
#include "utils/partrec.h"

namespace cli {
namespace {

struct PartrecOptions {
  std::string drive, fs;
  std::uint64_t first = 0, total = 0, table_lba = 0;
  std::string start_chs, end_chs;
  int slot = 0;
  bool boot = false, yes = false;
};

// "C/H/S" as three numbers.
std::optional<ChsValue> ParseChs(const std::string& text) {
  unsigned long c = 0, h = 0, s = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%lu/%lu/%lu%c", &c, &h, &s, &tail) != 3 ||
      text.find('-') != std::string::npos)
    return std::nullopt;
  if (c > 0xFFFFFFFFul || h > 0xFFFFFFFFul || s > 0xFFFFFFFFul) return std::nullopt;
  return ChsValue{static_cast<std::uint32_t>(c), static_cast<std::uint32_t>(h), static_cast<std::uint32_t>(s)};
}

// The CHS address of an absolute sector on the drive's geometry.
ChsValue ChsOf(const PHYDRIVE_INFO& d, std::uint64_t lba) {
  const std::uint64_t spt = d.sectors_per_track ? d.sectors_per_track : 63;
  const std::uint64_t heads = d.heads ? d.heads : 255;
  const std::uint64_t cyl = lba / (spt * heads);
  return ClampChs(ChsValue{static_cast<std::uint32_t>(std::min<std::uint64_t>(cyl, 1024)),
                      static_cast<std::uint32_t>((lba / spt) % heads), static_cast<std::uint32_t>(lba % spt + 1)});
}

int RunPartrec(const PartrecOptions& o) {
  Session s({});
  PHYDRIVE_INFO* d = ResolveWriteDrive("partrec", o.drive);
  if (!d) return kExitUsage;
  PartParams p;
  p.fs = o.fs == "ntfs" ? PartFs::kNtfs : o.fs == "fat32" ? PartFs::kFat32 : PartFs::kFat;
  p.first = o.first;
  p.total = o.total;
  p.table_lba = o.table_lba;
  p.slot = o.slot;
  p.boot = o.boot;
  const std::uint64_t abs_first = o.table_lba + o.first;
  std::optional<ChsValue> start = o.start_chs.empty() ? ChsOf(*d, abs_first) : ParseChs(o.start_chs);
  std::optional<ChsValue> end = o.end_chs.empty() ? ChsOf(*d, abs_first + (o.total ? o.total - 1 : 0)) : ParseChs(o.end_chs);
  if (!start || !end) {
    std::fprintf(stderr, "retrova-cli partrec: a CHS value is written C/H/S, e.g. 0/1/1\n");
    return kExitUsage;
  }
  p.start = *start;
  p.end = *end;
  std::vector<std::uint8_t> old(kSectorSize);
  if (o.table_lba >= d->total_sectors || ReadSectors(App(), *d, o.table_lba, old) != 1) {
    std::fprintf(stderr, "retrova-cli partrec: refused, nothing written: sector %llu cannot be read\n",
                 static_cast<unsigned long long>(o.table_lba));
    return kExitFailed;
  }
  const PartPlan plan = PlanPartitionRecord(p, old, d->total_sectors);
  if (!plan.refusal.empty()) {
    std::fprintf(stderr, "retrova-cli partrec: refused, nothing written: %s%s\n", plan.refusal.c_str(),
                 plan.slot_needed ? " (--slot 1-4)" : "");
    return plan.slot_needed ? kExitUsage : kExitFailed;
  }
  std::fprintf(stderr, "retrova-cli partrec: entry %d of the table at sector %llu\n", plan.slot,
               static_cast<unsigned long long>(o.table_lba));
  return RunWritePlan("partrec", *d, {{o.table_lba, plan.sector, "partition table"}}, o.yes);
}

}  // namespace

void AddPartrecVerb(CLI::App& app, int& status) {
  auto o = std::make_shared<PartrecOptions>();
  CLI::App* v = app.add_subcommand(
      "partrec", "write one partition entry into the table at --table-lba (only with --yes; the old sector is "
                 "saved to an undo file first)");
  v->add_option("DRIVE", o->drive, "row index of the drives list, a listed device path, or an image path")->required();
  v->add_option("--fs", o->fs, "file system: type 07, 0C, or 06 (04 below 65536 sectors)")
      ->required()
      ->check(CLI::IsMember({"ntfs", "fat32", "fat"}));
  v->add_option("--first", o->first, "the partition's first sector, relative to the table's sector")->required();
  v->add_option("--total", o->total, "the partition's sectors")->required();
  v->add_option("--start-chs", o->start_chs, "C/H/S of the first sector (default: from the drive's geometry)");
  v->add_option("--end-chs", o->end_chs, "C/H/S of the last sector (default: from the drive's geometry)");
  v->add_option("--table-lba", o->table_lba, "the sector holding the table (default 0, the MBR)");
  v->add_option("--slot", o->slot, "the entry to write, 1-4 (default: the first empty one)")->check(CLI::Range(1, 4));
  v->add_flag("--boot", o->boot, "mark the partition bootable (0x80)");
  v->add_flag("--yes", o->yes, "write; without it the write is only printed");
  v->callback([o, &status] { status = RunPartrec(*o); });
}

}  // namespace cli
