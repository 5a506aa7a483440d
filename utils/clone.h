// Clone drives: a sector range copied from one drive to another, 1 MiB at a
// time; and the "Clone" dialog that runs it.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "app/context.h"
#include "platform/window.h"
#include "utils/progress_pie.h"
#include "utils/write_guard.h"

struct PHYDRIVE_INFO;

// One megabyte per read and write.
inline constexpr std::uint64_t kTransferSectors = 2048;

struct CloneRequest {
  PHYDRIVE_INFO* source = nullptr;
  PHYDRIVE_INFO* destination = nullptr;
  std::uint64_t source_start = 0;
  std::uint64_t dest_start = 0;
  std::uint64_t total = 0;
};

// How a clone or wipe ended.
struct WriteOutcome {
  std::uint64_t done = 0;         // sectors finished (of the last pass for a wipe)
  std::uint64_t read_errors = 0;  // clone: source sectors written as zeros; wipe: verify mismatches
  bool stopped = false;           // the running flag was cleared before the end
  bool failed = false;            // a write failed; message says where
  std::string message;
};

// Called after every transfer with the sectors done so far (all passes).
using UnitHook = std::function<void(std::uint64_t done)>;

// The Total the dialog offers: what fits after both starts (one drive
// chosen: after its start).
std::uint64_t CloneDefaultTotal(const PHYDRIVE_INFO* source, const PHYDRIVE_INFO* destination,
                                std::uint64_t source_start, std::uint64_t dest_start);
// Empty when the clone may run; else why not. Nothing is written either way.
std::string CheckClone(const CloneRequest& r, const MountTables& tables = {});
// What the clone would write where, for the confirmation and the CLI's dry run.
std::string DescribeClone(const CloneRequest& r);
// Copies the range while ctx.clone_running stays nonzero; unreadable source
// sectors are written as zeros and counted. The request must have passed
// CheckClone.
WriteOutcome CopySectors(AppContext& ctx, const CloneRequest& r, const UnitHook& after_unit);

// ---- The dialogs (shared by the wipe's) ----------------------------------------------

// One row per drive of the main physical-drive list: "NAME -- MODEL" and its
// size in GB; a failed insertion says so naming `who` ("AddCloneDrive").
void AddDriveRows(AppContext& ctx, ListView* list, const char* who);
// The drive of the list's selected row, or null.
PHYDRIVE_INFO* SelectedDrive(const ListView* list);
// "NAME --  MODEL" as the chosen-drive fields show it.
std::string ChosenDriveText(const PHYDRIVE_INFO& d);
// A sector number typed into a field: digits only.
std::optional<std::uint64_t> SectorField(const Dialog* dlg, int id);

// What the clone and wipe dialogs share: the running flag their Exit clears,
// their handles, the controls a run disables, their pie, and their own parts.
struct DriveRunDialog {
  std::int32_t AppContext::*running;
  Dialog* AppContext::*dlg;
  ListView* AppContext::*list;
  int list_id, go_id, exit_id;
  std::span<const int> controls;  // disabled while running
  const PieLayout& pie;
  void (*init)(AppContext&, Dialog*);
  void (*go)(AppContext&, Dialog*);
  // The dialog's other commands (pick buttons, radio buttons); true when handled.
  bool (*command)(AppContext&, Dialog*, int id);
};
// The shared procedure: initialisation, the drive list's colours, Go while
// idle, Exit and the window's close (a stop request while running, else close).
std::intptr_t DriveRunDlgProc(const DriveRunDialog& r, Dialog* dlg, const Msg& msg);
// A run with the running flag set, the controls disabled and the pie moving:
// work gets the hook to call after every unit (of `units` in all), which
// refreshes the pie and lets Exit in. The outcome of work.
WriteOutcome RunWithPie(AppContext& ctx, Dialog* dlg, const DriveRunDialog& r, std::uint64_t units,
                        const std::function<WriteOutcome(const UnitHook&)>& work);

// Menu command "Clone Drives": the modal dialog 132.
void CloneDrivesCommand(AppContext& ctx);
std::intptr_t CloneDlgProc(Dialog* dlg, const Msg& msg);
