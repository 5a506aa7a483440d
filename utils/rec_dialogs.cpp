#include "utils/rec_dialogs.h"

#include <charconv>
#include <optional>
#include <span>
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
#include "utils/write_guard.h"

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

// An edit field read as a whole number no larger than max.
struct NumberField {
  int id;
  const char* name;
  std::uint64_t max;
};

// A field of digits no larger than max; an error box naming it otherwise.
std::optional<std::uint64_t> Number(Dialog* dlg, const NumberField& f) {
  const std::string text = GetDlgItemText(dlg, f.id);
  std::uint64_t v = 0;
  const auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (text.empty() || err != std::errc() || end != text.data() + text.size() || v > f.max) {
    ShowErrorBox("%s must be a whole number from 0 to %llu.", f.name, static_cast<unsigned long long>(f.max));
    return std::nullopt;
  }
  return v;
}

// Every field in order into out; false after the first one refused.
template <std::size_t N>
bool ReadNumbers(Dialog* dlg, const NumberField (&fields)[N], std::uint64_t (&out)[N]) {
  for (std::size_t i = 0; i < N; ++i) {
    const auto v = Number(dlg, fields[i]);
    if (!v) return false;
    out[i] = *v;
  }
  return true;
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
  // As clone and wipe: a drive with a file system in use is never written.
  if (const std::string mounted = CheckNotMounted(d); !mounted.empty()) {
    ShowRefusal(dlg, "Nothing was written: " + mounted, kProductTitle);
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
// The $MFT mirror cluster the dialog filled in itself, as shown.
std::string g_mirror_filled;

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
  g_mirror_filled.clear();
  SetCombo(dlg, IDC_BR_OS, {"NT-2K-XP", "95-98-ME"}, 0);
  SetCombo(dlg, IDC_BR_FS, {"NTFS", "FAT 32", "FAT"}, 0);
  SetCombo(dlg, IDC_BR_CLUSTER, {"1", "2", "4", "8", "16", "32", "64", "128"}, 3);
}

// Start cluster and reserved sectors follow the file system chosen.
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
  constexpr NumberField kFields[] = {{IDC_BR_LBA, "LBA Sector", ~0ull},
                                     {IDC_BR_TOTAL, "Total Sectors", ~0ull},
                                     {IDC_BR_START_CLUSTER, "Start Cluster", 0xFFFFFFFFu},
                                     {IDC_BR_FAT_SECTORS, "Sectors Per FAT", 0xFFFFFFFFu},
                                     {IDC_BR_RESERVED, "Reserved Sectors", 0xFFFF}};
  std::uint64_t v[5] = {};
  if (!ReadNumbers(dlg, kFields, v)) return;
  p.start_lba = p.hidden_sectors = v[0];
  p.total_sectors = v[1];
  p.root_cluster = static_cast<std::uint32_t>(v[2]);
  p.fat_sectors = static_cast<std::uint32_t>(v[3]);
  p.reserved_sectors = static_cast<std::uint32_t>(v[4]);
  if (p.fs == BootFs::kNtfs) {
    // Left empty, or still what an earlier Write filled in for other values:
    // found again for the volume as now described.
    const std::string typed = GetDlgItemText(dlg, IDC_BR_MFTMIRR);
    if (typed.empty() || typed == g_mirror_filled) {
      const std::optional<std::uint64_t> m = MirrorFromMft(ctx, d, p);
      p.mftmirr_cluster = m ? *m : DefaultMftMirrCluster(p);
      g_mirror_filled = std::to_string(p.mftmirr_cluster);
      SetDlgItemText(dlg, IDC_BR_MFTMIRR, g_mirror_filled);
    } else {
      const auto m = Number(dlg, {IDC_BR_MFTMIRR, "MFT Mirror Cluster", ~0ull});
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

// ---- Which entry to replace (all four used) -----------------------------------

struct SlotChoice {
  std::span<const std::uint8_t> table;
  std::uint64_t table_lba = 0;
};
SlotChoice g_slots;

constexpr ColumnEntry kSlotColumns[] = {{40, "Entry", 0}, {330, "Now holds", 1}, {0, nullptr, 0}};

void InitSlotChoice(Dialog* dlg) {
  SetDlgItemText(dlg, IDC_SLOT_PROMPT,
                 "All four entries of the partition table in sector " + std::to_string(g_slots.table_lba) +
                     " are used. Choose the entry the new one replaces:");
  ListView* list = GetListView(dlg, IDC_SLOT_LIST);
  if (!list) {
    EndDialog(dlg, 0);
    return;
  }
  InsertListColumns(list, kSlotColumns);
  ListView_SetExtendedStyle(list, LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
  for (int slot = 1; slot <= 4; ++slot) {
    const int row = ListView_InsertItem(list, slot - 1, std::to_string(slot), -1, nullptr);
    ListView_SetItemText(list, row, 1, DescribeSlot(g_slots.table, slot));
  }
}

// The chosen row ends the dialog with its entry number; no row chosen: nothing.
void TakeSlot(Dialog* dlg) {
  const int row = GetSelectedRow(GetListView(dlg, IDC_SLOT_LIST));
  if (row >= 0 && row < 4) EndDialog(dlg, row + 1);
}

std::intptr_t SlotChoiceDlgProc(Dialog* dlg, const Msg& msg) {
  switch (msg.kind) {
    case MsgKind::InitDialog:
      InitSlotChoice(dlg);
      return 1;
    case MsgKind::Notify:
      if (static_cast<int>(msg.id) == IDC_SLOT_LIST && msg.code == NM_DBLCLK) TakeSlot(dlg);
      return 0;
    case MsgKind::SysCommand:
      if ((msg.id & 0xFFF0) != SC_CLOSE) return 0;
      EndDialog(dlg, 0);
      return 1;
    case MsgKind::Close:
      EndDialog(dlg, 0);
      return 1;
    case MsgKind::Command:
      switch (msg.id & 0xFFFF) {
        case IDC_SLOT_REPLACE:
          TakeSlot(dlg);
          return 1;
        case IDCANCEL:
          EndDialog(dlg, 0);
          return 1;
        default:
          return 0;
      }
  }
  return 0;
}

// Asks once which of the four used entries to replace: 1-4, or 0 for none.
int ChooseSlot(Dialog* owner, std::span<const std::uint8_t> table, std::uint64_t table_lba) {
  g_slots = {table, table_lba};
  const std::intptr_t slot = RunDialog(IDD_PARTREC_SLOT, SlotChoiceDlgProc, owner);
  g_slots = {};
  return slot >= 1 && slot <= 4 ? static_cast<int>(slot) : 0;
}

void WritePartitionRecordFromDialog(AppContext& ctx, Dialog* dlg, PHYDRIVE_INFO& d) {
  constexpr NumberField kFields[] = {
      {IDC_PR_START_HEAD, "Start Head", 0xFFFF},         {IDC_PR_START_SECTOR, "Start Sector", 0xFFFF},
      {IDC_PR_START_CYL, "Start Cylinder", 0xFFFFFFFFu}, {IDC_PR_END_HEAD, "End Head", 0xFFFF},
      {IDC_PR_END_SECTOR, "End Sector", 0xFFFF},         {IDC_PR_END_CYL, "End Cylinder", 0xFFFFFFFFu},
      {IDC_PR_RESERVED, "Reserved Sectors", 0xFFFFFFFFu}, {IDC_PR_TOTAL, "Total Sectors", 0xFFFFFFFFu},
      {IDC_PR_LBA, "LBA Sector", ~0ull}};
  std::uint64_t v[9] = {};
  if (!ReadNumbers(dlg, kFields, v)) return;
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
  if (plan.slot_needed) {
    p.slot = ChooseSlot(dlg, old, p.table_lba);
    if (p.slot == 0) return;  // cancelled: nothing written
    plan = PlanPartitionRecord(p, old, d.total_sectors);
  }
  if (!plan.refusal.empty()) {
    ShowErrorBox("Nothing was written: %s.", plan.refusal.c_str());
    return;
  }
  ConfirmAndWrite(ctx, dlg, d,
                  {{p.table_lba, plan.sector, "partition table, entry " + std::to_string(plan.slot)}});
}

// ---- What the two record dialogs share ------------------------------------------

struct RecordDialog {
  Dialog* AppContext::*handle;  // bootrec_dlg or partrec_dlg while open
  void (*init)(Dialog*, const PHYDRIVE_INFO&);
  void (*write)(AppContext&, Dialog*, PHYDRIVE_INFO&);
  int write_id, exit_id;
};

std::intptr_t RecordDlgProc(const RecordDialog& r, Dialog* dlg, const Msg& msg) {
  AppContext& ctx = App();
  switch (msg.kind) {
    case MsgKind::InitDialog:
      ctx.*r.handle = dlg;
      r.init(dlg, *g_drive);
      return 1;
    case MsgKind::SysCommand:
      if ((msg.id & 0xFFF0) != SC_CLOSE) return 0;
      EndDialog(dlg, 0);
      return 1;
    case MsgKind::Close:
      EndDialog(dlg, 0);
      return 1;
    case MsgKind::Command: {
      const int id = static_cast<int>(msg.id & 0xFFFF);
      if (id == r.exit_id || id == IDCANCEL) {
        EndDialog(dlg, 0);
        return 1;
      }
      if (id == r.write_id) {
        r.write(ctx, dlg, *g_drive);
        return 1;
      }
      return 0;
    }
    default:
      return 0;
  }
}

constexpr RecordDialog kBootRecord{&AppContext::bootrec_dlg, InitBootRecord, WriteBootRecordFromDialog, IDC_BR_WRITE,
                                   IDC_BR_EXIT};
constexpr RecordDialog kPartitionRecord{&AppContext::partrec_dlg, InitPartitionRecord, WritePartitionRecordFromDialog,
                                        IDC_PR_WRITE, IDC_PR_EXIT};

std::intptr_t BootRecordDlgProc(Dialog* dlg, const Msg& msg) {
  // The file system's own defaults when the operator picks it.
  if (msg.kind == MsgKind::Command && (msg.id & 0xFFFF) == IDC_BR_FS) {
    if ((msg.id >> 16) == CBN_SELCHANGE) BootFsChanged(dlg);
    return 1;
  }
  return RecordDlgProc(kBootRecord, dlg, msg);
}

std::intptr_t PartitionRecordDlgProc(Dialog* dlg, const Msg& msg) { return RecordDlgProc(kPartitionRecord, dlg, msg); }

// Opens a record dialog for the drive selected in the main window.
void RunRecordDialog(AppContext& ctx, int template_id, DlgProc proc, Dialog* AppContext::*handle) {
  g_drive = SelectedDrive(ctx);
  if (!g_drive) return;
  RunDialog(template_id, proc, ctx.main_dlg);
  ctx.*handle = nullptr;
  g_drive = nullptr;
}

}  // namespace

void BuildPartitionRecordCmd(AppContext& ctx) {
  RunRecordDialog(ctx, IDD_PARTREC, PartitionRecordDlgProc, &AppContext::partrec_dlg);
}

void BuildBootRecordCmd(AppContext& ctx) {
  RunRecordDialog(ctx, IDD_BOOTREC, BootRecordDlgProc, &AppContext::bootrec_dlg);
}
