#include "utils/rec_dialogs.h"

#include <charconv>
#include <optional>
#include <string>
#include <vector>

#include "app/context.h"
#include "app/status.h"
#include "disk/phydrive.h"
#include "platform/frontend.h"
#include "platform/window.h"
#include "res/ids.h"
#include "res/resources.h"
#include "utils/bootrec.h"
#include "utils/partrec.h"
#include "utils/undo.h"

namespace {

// The drive the open dialog works on (the dialogs are modal: one at a time).
PHYDRIVE_INFO* g_drive = nullptr;

PHYDRIVE_INFO* SelectedDrive(AppContext& ctx) {
  auto* d = static_cast<PHYDRIVE_INFO*>(GetSelectedRowData(ctx.phy_list));
  if (!d) fe_MessageBox(ctx.main_dlg, "Please CHOOSE a PHYSICAL drive.", kProductTitle, MB_OK | MB_ICONINFORMATION);
  return d;
}

std::string DriveLine(const PHYDRIVE_INFO& d) { return std::string(d.name) + " -- " + d.model; }

void SetCombo(Dialog* dlg, int id, std::vector<std::string> items, int selected) {
  if (Control* c = GetDlgItem(dlg, id)) {
    c->items = std::move(items);
    c->selected = selected;
    ++c->version;
  }
}
int ComboSel(Dialog* dlg, int id) {
  const Control* c = GetDlgItem(dlg, id);
  return c ? c->selected : -1;
}

// A field of digits no larger than max; an error box naming it otherwise.
std::optional<std::uint64_t> Number(Dialog* dlg, int id, const char* name, std::uint64_t max) {
  const std::string text = GetDlgItemText(dlg, id);
  std::uint64_t v = 0;
  const auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (text.empty() || err != std::errc() || end != text.data() + text.size() || v > max) {
    ShowErrorBox("%s must be a whole number from 0 to %llu.", name, static_cast<unsigned long long>(max));
    return std::nullopt;
  }
  return v;
}

std::string Ranges(const std::vector<SectorWrite>& writes) {
  std::string s;
  for (const SectorWrite& w : writes)
    s += "  sectors " + std::to_string(w.lba) + "-" + std::to_string(w.lba + w.bytes.size() / kSectorSize - 1) +
         " (" + w.what + ")\n";
  return s;
}

// Asks (No is the default), saves the old sectors, writes; tells the outcome.
void ConfirmAndWrite(AppContext& ctx, Dialog* dlg, PHYDRIVE_INFO& d, const std::vector<SectorWrite>& writes) {
  if (const std::string why = WriteRefusal(d); !why.empty()) {
    ShowErrorBox("%s", why.c_str());
    return;
  }
  const std::string question = "Write to drive " + std::string(d.model) + " (" + d.device_path + ")?\n\n" +
                               Ranges(writes) +
                               "\nThe sectors there now are saved to an undo file first.";
  if (fe_MessageBox(dlg, question, kProductTitle, MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) != IDYES) return;
  const UndoWriteOutcome r = WriteWithUndo(ctx, d, writes);
  const std::string undo =
      r.undo_path.empty() ? std::string() : "\n\nThe old sectors are saved in\n" + r.undo_path.string() +
                                                "\n(retrova-cli restore puts them back).";
  if (!r.ok) {
    ShowErrorBox("Nothing more was written: %s.%s", r.error.c_str(), undo.c_str());
    return;
  }
  fe_MessageBox(dlg, "Written." + undo, kProductTitle, MB_OK | MB_ICONINFORMATION);
}

// ---- Build Boot Record ----------------------------------------------------

constexpr std::uint32_t kClusterSizes[] = {1, 2, 4, 8, 16, 32, 64, 128};

void InitBootRecord(Dialog* dlg, const PHYDRIVE_INFO& d) {
  SetWindowTitle(dlg, "Build Boot Record");
  SetDlgItemText(dlg, IDC_BR_DRIVE, DriveLine(d));
  const std::uint64_t lba = d.total_sectors > 63 ? 63 : 0;
  SetDlgItemText(dlg, IDC_BR_LBA, std::to_string(lba));
  // What fits after the start, not the drive's whole size.
  SetDlgItemText(dlg, IDC_BR_TOTAL, std::to_string(std::min<std::uint64_t>(d.total_sectors - lba, 0xFFFFFFFFu)));
  SetDlgItemText(dlg, IDC_BR_START_CLUSTER, "4");
  SetDlgItemText(dlg, IDC_BR_FAT_SECTORS, "0");
  SetDlgItemText(dlg, IDC_BR_RESERVED, "1");
  SetDlgItemText(dlg, IDC_BR_MFTMIRR, "");
  SetCombo(dlg, IDC_BR_OS, {"NT-2K-XP", "95-98-ME"}, 0);
  SetCombo(dlg, IDC_BR_FS, {"NTFS", "FAT 32", "FAT"}, 0);
  SetCombo(dlg, IDC_BR_CLUSTER, {"1", "2", "4", "8", "16", "32", "64", "128"}, 3);
}

// The file system's own defaults when the operator picks it.
void BootFsChanged(Dialog* dlg) {
  const int fs = ComboSel(dlg, IDC_BR_FS);
  SetDlgItemText(dlg, IDC_BR_START_CLUSTER, fs == 1 ? "2" : "4");
  SetDlgItemText(dlg, IDC_BR_RESERVED, fs == 1 ? "32" : "1");
}

std::optional<std::uint64_t> MirrorFromMft(AppContext& ctx, PHYDRIVE_INFO& d, const BootParams& p) {
  const std::uint64_t lba = p.start_lba + std::uint64_t{p.root_cluster} * p.sectors_per_cluster;
  if (lba >= d.total_sectors || d.total_sectors - lba < 4) return std::nullopt;
  std::vector<std::uint8_t> buf(2048);
  if (ReadSectors(ctx, d, lba, buf) != 1) return std::nullopt;
  return MftMirrFromRecords(buf);
}

void WriteBootRecordFromDialog(AppContext& ctx, Dialog* dlg, PHYDRIVE_INFO& d) {
  BootParams p;
  const int fs = ComboSel(dlg, IDC_BR_FS), os = ComboSel(dlg, IDC_BR_OS), spc = ComboSel(dlg, IDC_BR_CLUSTER);
  if (fs < 0 || os < 0 || spc < 0 || spc > 7) return;
  p.os = os == 1 ? OsFamily::k9x : OsFamily::kNt;
  p.fs = fs == 0 ? BootFs::kNtfs : fs == 1 ? BootFs::kFat32 : BootFs::kFat16;
  p.sectors_per_cluster = kClusterSizes[spc];
  const auto lba = Number(dlg, IDC_BR_LBA, "LBA Sector", ~0ull);
  const auto total = lba ? Number(dlg, IDC_BR_TOTAL, "Total Sectors", ~0ull) : std::nullopt;
  const auto start = total ? Number(dlg, IDC_BR_START_CLUSTER, "Start Cluster", 0xFFFFFFFFu) : std::nullopt;
  const auto fat = start ? Number(dlg, IDC_BR_FAT_SECTORS, "Sectors Per FAT", 0xFFFFFFFFu) : std::nullopt;
  const auto reserved = fat ? Number(dlg, IDC_BR_RESERVED, "Reserved Sectors", 0xFFFF) : std::nullopt;
  if (!reserved) return;
  p.start_lba = p.hidden_sectors = *lba;
  p.total_sectors = *total;
  p.root_cluster = static_cast<std::uint32_t>(*start);
  p.fat_sectors = static_cast<std::uint32_t>(*fat);
  p.reserved_sectors = static_cast<std::uint32_t>(*reserved);
  if (p.fs == BootFs::kNtfs) {
    if (GetDlgItemText(dlg, IDC_BR_MFTMIRR).empty()) {
      const std::optional<std::uint64_t> m = MirrorFromMft(ctx, d, p);
      p.mftmirr_cluster = m ? *m : DefaultMftMirrCluster(p);
      SetDlgItemText(dlg, IDC_BR_MFTMIRR, std::to_string(p.mftmirr_cluster));
    } else {
      const auto m = Number(dlg, IDC_BR_MFTMIRR, "MFT Mirror Cluster", ~0ull);
      if (!m) return;
      p.mftmirr_cluster = *m;
    }
  } else {
    if (fs == 2) p.fs = FatKindFor(p);
    if (p.fat_sectors == 0) {
      // The size the volume's cluster count needs, shown before the question.
      p.fat_sectors = EstimateFatSectors(p);
      SetDlgItemText(dlg, IDC_BR_FAT_SECTORS, std::to_string(p.fat_sectors));
    }
  }
  const BootGeometry g{static_cast<std::uint32_t>(d.sectors_per_track), static_cast<std::uint32_t>(d.heads),
                       d.drive_number};
  const BootPlan plan = PlanBootRecord(p, g, d.total_sectors);
  if (!plan.refusal.empty()) {
    if (p.fs == BootFs::kNtfs && p.os == OsFamily::k9x)
      fe_MessageBox(dlg, plan.refusal, kProductTitle, MB_OK | MB_ICONINFORMATION);
    else
      ShowErrorBox("Nothing was written: %s.", plan.refusal.c_str());
    return;
  }
  ConfirmAndWrite(ctx, dlg, d, plan.writes);
}

std::intptr_t BootRecordDlgProc(Dialog* dlg, const Msg& msg) {
  AppContext& ctx = App();
  switch (msg.kind) {
    case MsgKind::InitDialog:
      ctx.bootrec_dlg = dlg;
      InitBootRecord(dlg, *g_drive);
      return 1;
    case MsgKind::SysCommand:
      if ((msg.id & 0xFFF0) != SC_CLOSE) return 0;
      EndDialog(dlg, 0);
      return 1;
    case MsgKind::Command:
      switch (msg.id & 0xFFFF) {
        case IDC_BR_EXIT:
        case IDCANCEL:
          EndDialog(dlg, 0);
          return 1;
        case IDC_BR_WRITE:
          WriteBootRecordFromDialog(ctx, dlg, *g_drive);
          return 1;
        case IDC_BR_FS:
          if ((msg.id >> 16) == CBN_SELCHANGE) BootFsChanged(dlg);
          return 1;
        default:
          return 0;
      }
    default:
      return 0;
  }
}

// ---- Build Partition Record -------------------------------------------------

void InitPartitionRecord(Dialog* dlg, const PHYDRIVE_INFO& d) {
  SetWindowTitle(dlg, "Build Partition Record");
  SetDlgItemText(dlg, IDC_PR_DRIVE, DriveLine(d));
  SetDlgItemText(dlg, IDC_PR_START_HEAD, "0");
  SetDlgItemText(dlg, IDC_PR_START_SECTOR, "1");
  SetDlgItemText(dlg, IDC_PR_START_CYL, "0");
  SetDlgItemText(dlg, IDC_PR_END_HEAD, std::to_string(d.heads ? d.heads - 1 : 0));
  SetDlgItemText(dlg, IDC_PR_END_SECTOR, std::to_string(d.sectors_per_track));
  // The last cylinder is the count minus one; past 1023 an entry says 1023.
  SetDlgItemText(dlg, IDC_PR_END_CYL, std::to_string(std::min<std::uint64_t>(d.cylinders ? d.cylinders - 1 : 0, 1023)));
  SetDlgItemText(dlg, IDC_PR_RESERVED, "63");
  SetDlgItemText(dlg, IDC_PR_TOTAL,
                 std::to_string(d.total_sectors > 63 ? std::min<std::uint64_t>(d.total_sectors - 63, 0xFFFFFFFFu) : 0));
  SetCombo(dlg, IDC_PR_FS, {"NTFS", "FAT 32", "FAT"}, 0);
  SetDlgItemText(dlg, IDC_PR_LBA, "0");
}

void WritePartitionRecordFromDialog(AppContext& ctx, Dialog* dlg, PHYDRIVE_INFO& d) {
  struct Field {
    int id;
    const char* name;
    std::uint64_t max;
  };
  const Field fields[] = {{IDC_PR_START_HEAD, "Start Head", 0xFFFF},     {IDC_PR_START_SECTOR, "Start Sector", 0xFFFF},
                          {IDC_PR_START_CYL, "Start Cylinder", 0xFFFFFFFFu}, {IDC_PR_END_HEAD, "End Head", 0xFFFF},
                          {IDC_PR_END_SECTOR, "End Sector", 0xFFFF},     {IDC_PR_END_CYL, "End Cylinder", 0xFFFFFFFFu},
                          {IDC_PR_RESERVED, "Reserved Sectors", 0xFFFFFFFFu}, {IDC_PR_TOTAL, "Total Sectors", 0xFFFFFFFFu},
                          {IDC_PR_LBA, "LBA Sector", ~0ull}};
  std::uint64_t v[9] = {};
  for (int i = 0; i < 9; ++i) {
    const auto n = Number(dlg, fields[i].id, fields[i].name, fields[i].max);
    if (!n) return;
    v[i] = *n;
  }
  PartParams p;
  const int fs = ComboSel(dlg, IDC_PR_FS);
  p.fs = fs == 1 ? PartFs::kFat32 : fs == 2 ? PartFs::kFat : PartFs::kNtfs;
  p.start = {static_cast<std::uint32_t>(v[2]), static_cast<std::uint32_t>(v[0]), static_cast<std::uint32_t>(v[1])};
  p.end = {static_cast<std::uint32_t>(v[5]), static_cast<std::uint32_t>(v[3]), static_cast<std::uint32_t>(v[4])};
  p.first = v[6];
  p.total = v[7];
  p.table_lba = v[8];
  const Control* boot = GetDlgItem(dlg, IDC_PR_BOOTABLE);
  p.boot = boot && boot->check == 1;
  std::vector<std::uint8_t> old(kSectorSize);
  if (p.table_lba >= d.total_sectors || ReadSectors(ctx, d, p.table_lba, old) != 1) {
    ShowErrorBox("Nothing was written: sector %llu cannot be read.", static_cast<unsigned long long>(p.table_lba));
    return;
  }
  PartPlan plan = PlanPartitionRecord(p, old, d.total_sectors);
  for (int slot = 1; plan.slot_needed && slot <= 4; ++slot) {
    const std::string ask = "All four entries of the table are used. Replace entry " + std::to_string(slot) + "?";
    if (fe_MessageBox(dlg, ask, kProductTitle, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) continue;
    p.slot = slot;
    plan = PlanPartitionRecord(p, old, d.total_sectors);
  }
  if (plan.slot_needed) return;  // no entry chosen
  if (!plan.refusal.empty()) {
    ShowErrorBox("Nothing was written: %s.", plan.refusal.c_str());
    return;
  }
  ConfirmAndWrite(ctx, dlg, d,
                  {{p.table_lba, plan.sector, "partition table, entry " + std::to_string(plan.slot)}});
}

std::intptr_t PartitionRecordDlgProc(Dialog* dlg, const Msg& msg) {
  AppContext& ctx = App();
  switch (msg.kind) {
    case MsgKind::InitDialog:
      ctx.partrec_dlg = dlg;
      InitPartitionRecord(dlg, *g_drive);
      return 1;
    case MsgKind::SysCommand:
      if ((msg.id & 0xFFF0) != SC_CLOSE) return 0;
      EndDialog(dlg, 0);
      return 1;
    case MsgKind::Command:
      switch (msg.id & 0xFFFF) {
        case IDC_PR_EXIT:
        case IDCANCEL:
          EndDialog(dlg, 0);
          return 1;
        case IDC_PR_WRITE:
          WritePartitionRecordFromDialog(ctx, dlg, *g_drive);
          return 1;
        default:
          return 0;
      }
    default:
      return 0;
  }
}

}  // namespace

void BuildPartitionRecordCmd(AppContext& ctx) {
  g_drive = SelectedDrive(ctx);
  if (!g_drive) return;
  RunDialog(IDD_PARTREC, PartitionRecordDlgProc, ctx.main_dlg);
  ctx.partrec_dlg = nullptr;
  g_drive = nullptr;
}

void BuildBootRecordCmd(AppContext& ctx) {
  g_drive = SelectedDrive(ctx);
  if (!g_drive) return;
  RunDialog(IDD_BOOTREC, BootRecordDlgProc, ctx.main_dlg);
  ctx.bootrec_dlg = nullptr;
  g_drive = nullptr;
}
