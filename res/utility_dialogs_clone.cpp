#include "res/utility_dialogs_clone.h"

#include "res/ids.h"

namespace {
using K = ControlKind;
namespace s = style;
constexpr unsigned kDriveList = s::Border | s::ReportView | s::SingleSel | s::ShowSelAlways | s::TabStop;
constexpr unsigned kDialog = dlgstyle::Popup | dlgstyle::Caption | dlgstyle::SysMenu | dlgstyle::Centered | dlgstyle::Modal;
}  // namespace

const ColumnEntry kCloneListColumns[] = {{230, "Drive", 0}, {80, "Size", 1}, {0, nullptr, 0}};
const ColumnEntry kWipeListColumns[] = {{185, "Drive", 0}, {80, "Size", 1}, {0, nullptr, 0}};

DialogTemplate CloneDialogTemplate() {
  DialogTemplate d{IDD_CLONE, "Clone", "Arial", 8, 0, 0, 222, 240, kDialog, 0, {}};
  auto& c = d.controls;
  c.push_back({IDC_STATIC, K::GroupBox, "Source", 5, 4, 212, 24, 0});
  c.push_back({IDC_CLONE_PICK_SOURCE, K::Button, "", 10, 12, 14, 13, s::Bitmap | s::TabStop, IDB_DRIVE});
  c.push_back({IDC_CLONE_SOURCE, K::Static, "None", 28, 14, 185, 9, 0});
  c.push_back({IDC_STATIC, K::GroupBox, "Destination", 5, 30, 212, 24, 0});
  c.push_back({IDC_CLONE_PICK_DEST, K::Button, "", 10, 38, 14, 13, s::Bitmap | s::TabStop, IDB_DRIVE});
  c.push_back({IDC_CLONE_DEST, K::Static, "None", 28, 40, 185, 9, 0});
  c.push_back({IDC_CLONE_LIST, K::ListView, "", 5, 58, 212, 80, kDriveList});
  c.push_back({IDC_STATIC, K::Static, "Source Start", 5, 144, 60, 8, 0});
  c.push_back({IDC_CLONE_SOURCE_START, K::Edit, "0", 70, 142, 80, 12, s::Border | s::TabStop});
  c.push_back({IDC_STATIC, K::Static, "Destination Start", 5, 160, 60, 8, 0});
  c.push_back({IDC_CLONE_DEST_START, K::Edit, "0", 70, 158, 80, 12, s::Border | s::TabStop});
  c.push_back({IDC_STATIC, K::Static, "Total", 5, 176, 60, 8, 0});
  c.push_back({IDC_CLONE_TOTAL, K::Edit, "", 70, 174, 80, 12, s::Border | s::TabStop});
  c.push_back({IDC_STATIC, K::Static, "Time Remaining", 5, 192, 60, 8, 0});
  c.push_back({IDC_CLONE_REMAINING, K::Edit, "00:00:00", 70, 190, 50, 12, s::Border | s::ReadOnly});
  c.push_back({IDC_CLONE_PIE, K::Pie, "", 160, 142, 57, 60, 0});
  c.push_back({IDC_CLONE_GO, K::Button, "&Clone", 110, 218, 50, 14, s::DefPushButton | s::TabStop});
  c.push_back({IDC_CLONE_EXIT, K::Button, "&Exit", 167, 218, 50, 14, s::TabStop});
  return d;
}

DialogTemplate WipeDialogTemplate() {
  DialogTemplate d{IDD_WIPE, "Wipe it!", "Arial", 8, 0, 0, 190, 270, kDialog, 0, {}};
  auto& c = d.controls;
  c.push_back({IDC_STATIC, K::GroupBox, "Target Drive", 5, 4, 180, 24, 0});
  c.push_back({IDC_WIPE_PICK, K::Button, "", 10, 12, 14, 13, s::Bitmap | s::TabStop, IDB_DRIVE});
  c.push_back({IDC_WIPE_TARGET, K::Static, "None", 28, 14, 152, 9, 0});
  c.push_back({IDC_WIPE_LIST, K::ListView, "", 5, 32, 180, 90, kDriveList});
  c.push_back({IDC_STATIC, K::Static, "Start Sector", 5, 130, 55, 8, 0});
  c.push_back({IDC_WIPE_START, K::Edit, "0", 62, 128, 80, 12, s::Border | s::TabStop});
  c.push_back({IDC_STATIC, K::Static, "Total Sectors", 5, 146, 55, 8, 0});
  c.push_back({IDC_WIPE_TOTAL, K::Edit, "0", 62, 144, 80, 12, s::Border | s::TabStop});
  c.push_back({IDC_WIPE_DOD, K::RadioButton, "DOD Wipe", 5, 164, 80, 10, s::TabStop});
  c.push_back({IDC_WIPE_USER, K::RadioButton, "User Defined Wipe", 5, 178, 80, 10, s::TabStop});
  c.push_back({IDC_STATIC, K::Static, "Iterations", 92, 178, 40, 8, 0});
  c.push_back({IDC_WIPE_ITERATIONS, K::Edit, "3", 134, 176, 30, 12, s::Border | s::TabStop});
  c.push_back({IDC_WIPE_PIE, K::Pie, "", 5, 196, 50, 50, 0});
  c.push_back({IDC_STATIC, K::Static, "Time Remaining", 62, 206, 55, 8, 0});
  c.push_back({IDC_WIPE_REMAINING, K::Static, "00:00:00", 120, 206, 50, 8, s::Sunken});
  c.push_back({IDC_WIPE_GO, K::Button, "&Wipe It!", 78, 250, 50, 14, s::DefPushButton | s::TabStop});
  c.push_back({IDC_WIPE_EXIT, K::Button, "&Exit", 135, 250, 50, 14, s::TabStop});
  return d;
}
