// Dialogs 130 (Build Partition Record) and 131 (Build Boot Record).
#include "res/ids.h"
#include "res/resources.h"

namespace {

using K = ControlKind;
namespace s = style;

constexpr unsigned kModal =
    dlgstyle::Popup | dlgstyle::Caption | dlgstyle::SysMenu | dlgstyle::Centered | dlgstyle::Modal;

void LabelledEdit(std::vector<ControlTemplate>& c, int id, const char* label, int x, int y, int label_w, int edit_w) {
  c.push_back({IDC_STATIC, K::Static, label, x, y + 2, label_w, 8, 0});
  c.push_back({id, K::Edit, "", x + label_w + 2, y, edit_w, 12, s::Border | s::TabStop});
}

void LabelledCombo(std::vector<ControlTemplate>& c, int id, const char* label, int x, int y, int label_w, int w) {
  c.push_back({IDC_STATIC, K::Static, label, x, y + 2, label_w, 8, 0});
  c.push_back({id, K::ComboBox, "", x + label_w + 2, y, w, 60, s::TabStop});
}

}  // namespace

DialogTemplate PartitionRecordDialog() {
  DialogTemplate d{IDD_PARTREC, "Build Partition Record", "Arial", 8, 0, 0, 360, 115, kModal, 0, {}};
  auto& c = d.controls;
  c.push_back({IDC_STATIC, K::GroupBox, "Partition Data", 5, 4, 350, 70, 0});
  LabelledEdit(c, IDC_PR_START_HEAD, "Start Head", 12, 16, 50, 40);
  LabelledEdit(c, IDC_PR_START_SECTOR, "Start Sector", 12, 32, 50, 40);
  LabelledEdit(c, IDC_PR_START_CYL, "Start Cylinder", 12, 48, 50, 40);
  LabelledEdit(c, IDC_PR_END_HEAD, "End Head", 122, 16, 50, 40);
  LabelledEdit(c, IDC_PR_END_SECTOR, "End Sector", 122, 32, 50, 40);
  LabelledEdit(c, IDC_PR_END_CYL, "End Cylinder", 122, 48, 50, 40);
  LabelledEdit(c, IDC_PR_RESERVED, "Reserved Sectors", 232, 16, 60, 55);
  LabelledEdit(c, IDC_PR_TOTAL, "Total Sectors", 232, 32, 60, 55);
  LabelledCombo(c, IDC_PR_FS, "File System", 232, 48, 60, 55);
  c.push_back({IDC_PR_BOOTABLE, K::CheckBox, "Bootable", 12, 80, 50, 10, s::TabStop});
  LabelledEdit(c, IDC_PR_LBA, "LBA Sector", 122, 79, 50, 60);
  c.push_back({IDC_PR_DRIVE, K::Static, "", 12, 97, 220, 10, s::Sunken});
  c.push_back({IDC_PR_WRITE, K::Button, "&Write", 250, 94, 48, 14, s::TabStop});
  c.push_back({IDC_PR_EXIT, K::Button, "&Exit", 304, 94, 48, 14, s::TabStop | s::DefPushButton});
  return d;
}

DialogTemplate BootRecordDialog() {
  DialogTemplate d{IDD_BOOTREC, "Build Boot Record", "MS Sans Serif", 8, 0, 0, 335, 137, kModal, 0, {}};
  auto& c = d.controls;
  c.push_back({IDC_STATIC, K::GroupBox, "Build Parameters", 5, 4, 325, 104, 0});
  c.push_back({IDC_STATIC, K::Static, "Active Drive", 12, 16, 50, 8, 0});
  c.push_back({IDC_BR_DRIVE, K::Static, "", 64, 15, 258, 10, s::Sunken});
  LabelledEdit(c, IDC_BR_LBA, "LBA Sector", 12, 30, 60, 70);
  LabelledEdit(c, IDC_BR_TOTAL, "Total Sectors", 12, 46, 60, 70);
  LabelledEdit(c, IDC_BR_START_CLUSTER, "Start Cluster", 12, 62, 60, 70);
  LabelledEdit(c, IDC_BR_FAT_SECTORS, "Sectors Per FAT (Non NTFS)", 12, 78, 60, 70);
  LabelledEdit(c, IDC_BR_RESERVED, "Reserved Sectors", 12, 94, 60, 70);
  LabelledCombo(c, IDC_BR_OS, "Operating system", 160, 30, 80, 78);
  LabelledCombo(c, IDC_BR_FS, "File system", 160, 46, 80, 78);
  LabelledCombo(c, IDC_BR_CLUSTER, "Sectors Per Cluster", 160, 62, 80, 78);
  LabelledEdit(c, IDC_BR_MFTMIRR, "MFT Mirror Cluster", 160, 78, 80, 78);
  c.push_back({IDC_BR_WRITE, K::Button, "&Write", 220, 116, 50, 14, s::TabStop});
  c.push_back({IDC_BR_EXIT, K::Button, "&Exit", 276, 116, 50, 14, s::TabStop | s::DefPushButton});
  return d;
}

// One row per entry; Cancel is the default button, so Enter replaces nothing.
DialogTemplate SlotChoiceDialog() {
  DialogTemplate d{IDD_PARTREC_SLOT, "Replace Which Entry?", "Arial", 8, 0, 0, 300, 118, kModal, 0, {}};
  auto& c = d.controls;
  c.push_back({IDC_SLOT_PROMPT, K::Static, "", 7, 6, 286, 18, 0});
  c.push_back({IDC_SLOT_LIST, K::ListView, "", 7, 26, 286, 66,
               s::Border | s::ReportView | s::SingleSel | s::ShowSelAlways | s::TabStop});
  c.push_back({IDC_SLOT_REPLACE, K::Button, "&Replace", 185, 98, 50, 14, s::TabStop});
  c.push_back({IDCANCEL, K::Button, "Cancel", 243, 98, 50, 14, s::TabStop | s::DefPushButton});
  return d;
}
