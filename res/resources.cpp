#include "res/resources.h"

#include "res/ids.h"
#include "res/utility_dialogs_clone.h"

#ifndef RETROVA_VERSION
#error "RETROVA_VERSION comes from the build"
#endif

const char* const kProductVersion = RETROVA_VERSION;
const char* const kProductTitle = "Retrova ver " RETROVA_VERSION;

DialogTemplate PartitionRecordDialog();  // res/utility_dialogs_rec.cpp
DialogTemplate BootRecordDialog();       // res/utility_dialogs_rec.cpp
DialogTemplate SlotChoiceDialog();       // res/utility_dialogs_rec.cpp

namespace {

using K = ControlKind;
namespace s = style;

DialogTemplate MainDialog() {
  DialogTemplate d{IDD_MAIN, "", "Arial", 8, 0, 0, 527, 302,
                   dlgstyle::Popup | dlgstyle::Caption | dlgstyle::SysMenu | dlgstyle::MinimizeBox |
                       dlgstyle::MaximizeBox | dlgstyle::Centered,
                   IDR_MAIN_MENU, {}};
  auto& c = d.controls;
  c.push_back({IDC_INFO_TREE, K::TreeView, "", 3, 6, 114, 120, s::Border | s::HasButtons | s::HasLines | s::TabStop});
  c.push_back({IDC_DIR_TREE, K::TreeView, "", 120, 6, 138, 213,
               s::Border | s::HasButtons | s::HasLines | s::CheckBoxes | s::ShowSelAlways | s::TabStop});
  c.push_back({IDC_FILE_LIST, K::ListView, "", 261, 6, 261, 213, s::Border | s::ReportView | s::ShowSelAlways | s::TabStop});
  c.push_back({IDC_STATIC, K::GroupBox, "Recovery Status", 3, 129, 114, 102, 0});
  struct Field {
    int id;
    const char* label;
    int y;
    int label_w;
  };
  const Field fields[] = {{IDC_LBA, "LBA:", 144, 27},       {IDC_T_REM, "T Rem:", 156, 27},
                          {IDC_RD_ERR, "Rd Err:", 168, 27}, {IDC_T_DIRS, "T-Dirs:", 180, 27},
                          {IDC_T_FILES, "T-Files:", 192, 27}, {IDC_M_BYTES, "M-Bytes", 204, 27},
                          {IDC_M_FILES, "M-Files", 216, 24}};
  for (const Field& f : fields) {
    c.push_back({IDC_STATIC, K::Static, f.label, 9, f.y, f.label_w, 8, 0});
    c.push_back({f.id, K::Static, "", 39, f.y, 69, 8, s::Sunken});
  }
  c.push_back({IDC_STATUS, K::Static, "", 120, 222, 243, 9, s::Sunken});
  c.push_back({IDC_PROGRESS2, K::ProgressBar, "", 369, 222, 153, 9, s::Border});
  c.push_back({IDC_PHY_LIST, K::ListView, "", 3, 234, 255, 57,
               s::Border | s::ReportView | s::SingleSel | s::ShowSelAlways | s::TabStop});
  c.push_back({IDC_LOG_LIST, K::ListView, "", 261, 234, 261, 57,
               s::Border | s::ReportView | s::SingleSel | s::ShowSelAlways | s::TabStop});
  c.push_back({IDC_PROGRESS, K::ProgressBar, "", 3, 294, 519, 7, s::Border | s::Smooth});
  return d;
}

DialogTemplate AboutDialog() {
  DialogTemplate d{IDD_ABOUT, "", "Arial", 8, 0, 0, 240, 147,
                   dlgstyle::Popup | dlgstyle::Caption | dlgstyle::SysMenu | dlgstyle::Centered | dlgstyle::Modal,
                   0, {}};
  d.controls.push_back({IDC_STATIC, K::Picture, "", 0, 0, 240, 147, s::Bitmap, IDB_ABOUT});
  return d;
}

MenuTemplate MainMenu() {
  return MenuTemplate{
      IDR_MAIN_MENU,
      {
          {"&Recovery",
           {{IDM_SCAN_PHYSICAL, "&1. Scan Physical Drive"},
            {0, ""},
            {IDM_FAST_LOGICAL, "&2. Fast Logical Scan"},
            {IDM_SLOW_LOGICAL, "Slow &Logical Scan"},
            {0, ""},
            {IDM_COPY_DIRS, "3. Copy Marked Files w/Directories"},
            {IDM_COPY_FLAT, "Copy Marked Files Flat"},
            {0, ""},
            {IDM_TERMINATE_SCAN, "&Terminate Scan"},
            {0, ""},
            {IDM_SAVE_SCAN, "Save Current Scan"},
            {IDM_LOAD_SCAN, "&Load Scan"},
            {0, ""},
            {IDM_EXIT, "&Exit"}}},
          {"Utilities",
           {{IDM_BUILD_PARTREC, "Build Partition Record"},
            {IDM_BUILD_BOOTREC, "Build Boot Record"},
            {IDM_CLONE, "Clone Drives"},
            {IDM_WIPE, "Wipe Drive"},
            {0, ""},
            {IDM_VERIFY, "Verify Selected Files"},
            {0, ""},
            {IDM_FIND_FILES, "Find Files from ACTIVE scan."},
            {0, ""},
            {IDM_ADD_DATA_STREAM, "Add File To Data Stream"}}},
          {"&Help", {{IDM_HELP_CONTENT, "Content"}, {0, ""}, {IDM_ABOUT, "&About"}}},
      }};
}

}  // namespace

const std::vector<DialogTemplate>& AllDialogTemplates() {
  static const std::vector<DialogTemplate> all = {MainDialog(), AboutDialog(),
                                                         FinderDialog(),
                                                         PartitionRecordDialog(),
                                                         BootRecordDialog(),
                                                         SlotChoiceDialog(),
                                                         CloneDialogTemplate(),
                                                         WipeDialogTemplate()};
  return all;
}

const DialogTemplate* FindDialogTemplate(int id) {
  for (const DialogTemplate& d : AllDialogTemplates())
    if (d.id == id) return &d;
  return nullptr;
}

const MenuTemplate* FindMenuTemplate(int id) {
  static const std::vector<MenuTemplate> all = {MainMenu(),
                                                   FinderMenu()};
  for (const MenuTemplate& m : all)
    if (m.id == id) return &m;
  return nullptr;
}

const ColumnEntry kFileListColumns[] = {{200, "Name", 0}, {107, "Date", 1}, {80, "Size", 2}, {0, nullptr, 0}};
const ColumnEntry kPhyListColumns[] = {{50, "Phy ID", 0}, {242, "Type", 1}, {80, "Size", 2}, {0, nullptr, 0}};
const ColumnEntry kLogListColumns[] = {{100, "Logical LBA", 0}, {202, "File System", 1}, {80, "Size", 2}, {0, nullptr, 0}};

const int kImageListBitmaps[9] = {IDB_DRIVE,
                                  IDB_FOLDER_OPEN,
                                  IDB_FOLDER_CLOSED,
                                  IDB_FOLDER_OPEN_DELETED,
                                  IDB_FOLDER_CLOSED_DELETED,
                                  IDB_FILE,
                                  IDB_FILE_DELETED,
                                  IDB_FOLDER_OPEN_LOST,
                                  IDB_FOLDER_CLOSED_LOST};

std::unique_ptr<Dialog> CreateDialogModel(int template_id, DlgProc proc, Dialog* owner) {
  const DialogTemplate* t = FindDialogTemplate(template_id);
  if (!t) return nullptr;
  return CreateDialogModel(t, t->menu_id ? FindMenuTemplate(t->menu_id) : nullptr, proc, owner);
}

std::intptr_t RunDialog(int template_id, DlgProc proc, Dialog* owner) {
  std::unique_ptr<Dialog> dlg = CreateDialogModel(template_id, proc, owner);
  if (!dlg) return -1;
  return RunDialogModel(dlg.get());
}
