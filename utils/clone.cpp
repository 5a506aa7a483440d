#include "utils/clone.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include <cerrno>
#include <cstdlib>

#include "app/context.h"
#include "app/shell.h"
#include "app/status.h"
#include "platform/frontend.h"
#include "res/ids.h"
#include "res/resources.h"
#include "res/utility_dialogs_clone.h"
#include "utils/progress_pie.h"
#include "disk/bulk_write.h"
#include "disk/phydrive.h"
#include "platform/aligned_buffer.h"
#include "platform/sysio.h"

std::uint64_t CloneDefaultTotal(const PHYDRIVE_INFO* source, const PHYDRIVE_INFO* destination,
                                std::uint64_t source_start, std::uint64_t dest_start) {
  if (source && destination) return std::min(SectorsAfter(*source, source_start), SectorsAfter(*destination, dest_start));
  if (source) return SectorsAfter(*source, source_start);
  if (destination) return SectorsAfter(*destination, dest_start);
  return 0;
}

std::string CheckClone(const CloneRequest& r, const MountTables& tables) {
  if (!r.source || !r.destination) return "Choose a source and a destination drive.";
  if (std::string e = CheckRange(*r.source, r.source_start, r.total, "Source"); !e.empty()) return e;
  if (std::string e = CheckRange(*r.destination, r.dest_start, r.total, "Destination"); !e.empty()) return e;
  if (std::string e = WriteRefusal(*r.destination); !e.empty()) return "Destination: " + e;
  // Both ranges fit, so neither sum overflows.
  if (SameDriveFile(r.source->device_path, r.destination->device_path) && r.source_start < r.dest_start + r.total &&
      r.dest_start < r.source_start + r.total)
    return "Source and destination are the same drive and the two ranges overlap.";
  return CheckNotMounted(*r.destination, tables);
}

std::string DescribeClone(const CloneRequest& r) {
  char text[600];
  std::snprintf(text, sizeof text,
                "Copy %" PRIu64 " sectors: %s sectors %" PRIu64 "-%" PRIu64 " onto %s sectors %" PRIu64 "-%" PRIu64
                ".\nNo undo is kept: the destination sectors are overwritten for good.",
                r.total, DriveLabel(*r.source).c_str(), r.source_start, r.source_start + r.total - 1,
                DriveLabel(*r.destination).c_str(), r.dest_start, r.dest_start + r.total - 1);
  return text;
}

WriteOutcome CopySectors(AppContext& ctx, const CloneRequest& r, const UnitHook& after_unit) {
  WriteOutcome out;
  DriveWriter writer(*r.destination);
  if (!writer.is_open()) {
    out.failed = true;
    out.message = "Cannot open " + DriveLabel(*r.destination) + " for writing: " + writer.error();
    return out;
  }
  AlignedBuffer buffer(kTransferSectors * kSectorSize);
  // The source is read this far ahead of the copy, so that its reads overlap
  // the writes instead of taking turns with them.
  constexpr std::uint64_t kReadAhead = 8 * kTransferSectors;
  sys_Prefetch(r.source->handle, r.source_start * kSectorSize, std::min(kReadAhead, r.total) * kSectorSize);
  while (out.done < r.total) {
    if (r.total - out.done > kReadAhead)
      sys_Prefetch(r.source->handle, (r.source_start + out.done + kReadAhead) * kSectorSize,
                   std::min(kTransferSectors, r.total - out.done - kReadAhead) * kSectorSize);
    if (ctx.clone_running == 0) {
      out.stopped = true;
      break;
    }
    const std::uint64_t n = std::min(kTransferSectors, r.total - out.done);
    std::span<std::uint8_t> unit = buffer.span().first(n * kSectorSize);
    // Unreadable sectors come back as zeros, counted on the drive.
    const std::uint64_t errors_before = r.source->read_errors;
    if (ReadSectors(ctx, *r.source, r.source_start + out.done, unit) == 0) {
      std::fill(unit.begin(), unit.end(), 0);
      out.read_errors += n;
    }
    out.read_errors += r.source->read_errors - errors_before;
    if (!writer.Write(r.dest_start + out.done, unit)) {
      out.failed = true;
      char text[300];
      std::snprintf(text, sizeof text, "Write failed at sector %" PRIu64 " of %s: %s", r.dest_start + out.done,
                    DriveLabel(*r.destination).c_str(), writer.error().c_str());
      out.message = text;
      return out;
    }
    out.done += n;
    if (after_unit) after_unit(out.done);
  }
  if (!writer.Finish()) {
    out.failed = true;
    out.message = "Flushing " + DriveLabel(*r.destination) + " failed: " + writer.error();
  }
  return out;
}

// ---- The dialog ----------------------------------------------------------------------

void AddDriveRows(AppContext& ctx, ListView* list, const char* who) {
  for (int row = 0; row < ListView_GetItemCount(ctx.phy_list); ++row) {
    auto* d = static_cast<PHYDRIVE_INFO*>(ListView_GetItemData(ctx.phy_list, row));
    if (!d) continue;
    const int at = ListView_InsertItem(list, ListView_GetItemCount(list), std::string(d->name) + " -- " + d->model, -1, d);
    if (at < 0) {
      fe_MessageBox(nullptr, std::string(who) + ": InsertItem FAILED", kProductTitle, MB_OK);
      continue;
    }
    char size[40];
    std::snprintf(size, sizeof size, "%.2f GB", static_cast<double>(d->total_sectors) / 2097152.0);
    ListView_SetItemText(list, at, 1, size);
  }
}

PHYDRIVE_INFO* SelectedDrive(const ListView* list) { return static_cast<PHYDRIVE_INFO*>(GetSelectedRowData(list)); }

std::string ChosenDriveText(const PHYDRIVE_INFO& d) { return std::string(d.name) + " --  " + d.model; }

std::optional<std::uint64_t> SectorField(const Dialog* dlg, int id) {
  const std::string text = GetDlgItemText(dlg, id);
  if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  errno = 0;
  const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
  if (errno == ERANGE) return std::nullopt;
  return v;
}

WriteOutcome RunWithPie(AppContext& ctx, Dialog* dlg, const DriveRunDialog& r, std::uint64_t units,
                        const std::function<WriteOutcome(const UnitHook&)>& work) {
  auto enable = [&](bool on) {
    for (int id : r.controls) EnableControl(GetDlgItem(dlg, id), on);
  };
  ctx.*r.running = 1;
  enable(false);
  PROGRESS_INFO p;
  p.phase = kProgressReset;
  ShowPieProgress(dlg, r.pie, p, 0);
  p = PROGRESS_INFO{GetNowFileTime(), 0, units, kProgressRunning};
  RefreshPacer pacer;
  const WriteOutcome out = work([&](std::uint64_t done) {
    p.current = done;
    if (pacer.Due()) ShowPieProgress(dlg, r.pie, p, GetNowFileTime());
    CheckTerminate(0);  // Exit clears the running flag
  });
  ctx.*r.running = 0;
  enable(true);
  ShowPieProgress(dlg, r.pie, p, GetNowFileTime());
  return out;
}

namespace {

// Exit or the window's close: a stop request while running, else close.
void ExitOrStop(AppContext& ctx, const DriveRunDialog& r, Dialog* dlg) {
  if (ctx.*r.running != 0) {
    ctx.*r.running = 0;
    return;
  }
  ctx.*r.dlg = nullptr;
  ctx.*r.list = nullptr;
  EndDialog(dlg, 0);
}

}  // namespace

std::intptr_t DriveRunDlgProc(const DriveRunDialog& r, Dialog* dlg, const Msg& msg) {
  AppContext& ctx = App();
  switch (msg.kind) {
    case MsgKind::InitDialog:
      ctx.*r.dlg = dlg;
      ctx.*r.list = GetListView(dlg, r.list_id);
      ctx.*r.running = 0;
      r.init(ctx, dlg);
      return 1;
    case MsgKind::Notify:
      if (msg.code == NM_CUSTOMDRAW && msg.draw && static_cast<int>(msg.id) == r.list_id) {
        msg.draw->result = DrawDriveListItem(*msg.draw);
        return 1;
      }
      return 0;
    case MsgKind::SysCommand:
      if ((msg.id & 0xFFF0) != SC_CLOSE) return 0;
      ExitOrStop(ctx, r, dlg);
      return 1;
    case MsgKind::Close:
      ExitOrStop(ctx, r, dlg);
      return 1;
    case MsgKind::Command: {
      const int id = static_cast<int>(msg.id & 0xFFFF);
      if (id == r.go_id) {
        if (ctx.*r.running == 0) r.go(ctx, dlg);
        return 1;
      }
      if (id == r.exit_id || id == IDC_DLG_CLOSE || id == IDCANCEL) {
        ExitOrStop(ctx, r, dlg);
        return 1;
      }
      return r.command(ctx, dlg, id) ? 1 : 0;
    }
  }
  return 0;
}

namespace {

constexpr int kCloneControls[] = {IDC_CLONE_LIST,         IDC_CLONE_GO,         IDC_CLONE_PICK_SOURCE, IDC_CLONE_PICK_DEST,
                                  IDC_CLONE_SOURCE_START, IDC_CLONE_DEST_START, IDC_CLONE_TOTAL};

void InitCloneDialog(AppContext& ctx, Dialog* dlg) {
  ctx.clone_source = ctx.clone_destination = nullptr;
  SetDlgItemText(dlg, IDC_CLONE_SOURCE_START, "0");
  SetDlgItemText(dlg, IDC_CLONE_DEST_START, "0");
  if (!ctx.clone_list) {
    EndDialog(dlg, IDC_DLG_CLOSE);
    return;
  }
  InsertListColumns(ctx.clone_list, kCloneListColumns);
  ListView_SetExtendedStyle(ctx.clone_list, LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
  AddDriveRows(ctx, ctx.clone_list, "AddCloneDrive");
}

// Total: what fits after both starts (a start not yet readable counts as 0).
void PickCloneDrive(AppContext& ctx, Dialog* dlg, bool source) {
  PHYDRIVE_INFO* d = SelectedDrive(ctx.clone_list);
  if (!d) return;
  (source ? ctx.clone_source : ctx.clone_destination) = d;
  SetDlgItemText(dlg, source ? IDC_CLONE_SOURCE : IDC_CLONE_DEST, ChosenDriveText(*d));
  const std::uint64_t total = CloneDefaultTotal(ctx.clone_source, ctx.clone_destination,
                                                SectorField(dlg, IDC_CLONE_SOURCE_START).value_or(0),
                                                SectorField(dlg, IDC_CLONE_DEST_START).value_or(0));
  SetDlgItemText(dlg, IDC_CLONE_TOTAL, std::to_string(total));
}

bool CloneCommand(AppContext& ctx, Dialog* dlg, int id) {
  if (id != IDC_CLONE_PICK_SOURCE && id != IDC_CLONE_PICK_DEST) return false;
  PickCloneDrive(ctx, dlg, id == IDC_CLONE_PICK_SOURCE);
  return true;
}

void RunCloneFromDialog(AppContext& ctx, Dialog* dlg);

const DriveRunDialog kCloneDialog{&AppContext::clone_running, &AppContext::clone_dlg, &AppContext::clone_list,
                                  IDC_CLONE_LIST, IDC_CLONE_GO, IDC_CLONE_EXIT, kCloneControls, kClonePie,
                                  InitCloneDialog, RunCloneFromDialog, CloneCommand};

void RunCloneFromDialog(AppContext& ctx, Dialog* dlg) {
  const auto source_start = SectorField(dlg, IDC_CLONE_SOURCE_START);
  const auto dest_start = SectorField(dlg, IDC_CLONE_DEST_START);
  const auto total = SectorField(dlg, IDC_CLONE_TOTAL);
  if (!source_start || !dest_start || !total) {
    ShowRefusal(dlg, "Source Start, Destination Start and Total must be sector numbers.", "Clone");
    return;
  }
  const CloneRequest r{ctx.clone_source, ctx.clone_destination, *source_start, *dest_start, *total};
  if (const std::string refusal = CheckClone(r); !refusal.empty()) {
    ShowRefusal(dlg, refusal, "Clone");
    return;
  }
  if (!ConfirmWrite(dlg, DescribeClone(r) + "\n\nWrite now?", "Clone")) return;
  const WriteOutcome out =
      RunWithPie(ctx, dlg, kCloneDialog, r.total, [&](const UnitHook& hook) { return CopySectors(ctx, r, hook); });

  char text[400];
  std::snprintf(text, sizeof text, "%s %" PRIu64 " of %" PRIu64 " sectors.\nRd Err: %" PRIu64
                " unreadable source sectors were written as zeros.",
                out.stopped ? "Stopped after" : "Copied", out.done, r.total, out.read_errors);
  if (out.failed)
    ShowRefusal(dlg, out.message + "\n" + text, "Clone");
  else
    fe_MessageBox(dlg, text, "Clone", MB_OK | MB_ICONINFORMATION);
}

}  // namespace

std::intptr_t CloneDlgProc(Dialog* dlg, const Msg& msg) { return DriveRunDlgProc(kCloneDialog, dlg, msg); }

void CloneDrivesCommand(AppContext& ctx) {
  if (ctx.scan_running != 0 || ctx.finder_copy_running != 0) return;
  RunDialog(IDD_CLONE, CloneDlgProc, ctx.main_dlg);
  ctx.clone_dlg = nullptr;
  ctx.clone_list = nullptr;
}
