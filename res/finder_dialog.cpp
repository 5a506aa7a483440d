// Dialog 123 "File Finder and Recovery" and its menu 124.
#include "res/ids.h"
#include "res/resources.h"

DialogTemplate FinderDialog() {
  using K = ControlKind;
  namespace s = style;
  DialogTemplate d{IDD_FINDER, "File Finder and Recovery", "Arial", 8, 0, 0, 283, 278,
                   dlgstyle::Popup | dlgstyle::Caption | dlgstyle::SysMenu | dlgstyle::Centered | dlgstyle::Modal,
                   IDR_FINDER_MENU, {}};
  auto& c = d.controls;
  c.push_back({IDC_STATIC, K::GroupBox, "Defined File Formats", 9, 6, 264, 54, 0});
  c.push_back({IDC_FIND_GRAPHIC, K::CheckBox, "Graphic Formats", 18, 18, 72, 10, s::TabStop});
  c.push_back({IDC_FIND_MAIL, K::CheckBox, "Mail Formats", 18, 33, 72, 8, s::TabStop});
  c.push_back({IDC_FIND_TEXT, K::CheckBox, "Text Formats", 105, 18, 72, 10, s::TabStop});
  c.push_back({IDC_FIND_SOUND, K::CheckBox, "Sound Formats", 105, 33, 72, 8, s::TabStop});
  c.push_back({IDC_FIND_DATABASE, K::CheckBox, "Database Formats", 189, 18, 72, 10, s::TabStop});
  c.push_back({IDC_FIND_ARCHIVE, K::CheckBox, "Archive Formats", 189, 33, 72, 8, s::TabStop});
  c.push_back({IDC_STATIC, K::Static, "User Defined", 105, 45, 45, 8, 0});
  c.push_back({IDC_FIND_PATTERNS, K::Edit, "", 153, 42, 111, 12, s::Border | s::TabStop});
  c.push_back({IDC_FIND_DELETED, K::CheckBox, "Deleted Files Only", 18, 45, 72, 8, s::TabStop});
  c.push_back({IDC_FINDER_PROGRESS, K::ProgressBar, "", 9, 66, 264, 6, s::Border});
  c.push_back({IDC_STATIC, K::Static, "Files Found (MAX 2000)", 9, 75, 78, 8, 0});
  c.push_back({IDC_FINDER_FOUND, K::Static, "", 90, 75, 33, 8, s::Sunken});
  c.push_back({IDC_FINDER_NOTE, K::Static, "", 126, 75, 147, 8, s::Sunken});
  c.push_back({IDC_STATIC, K::GroupBox, "Found Files", 9, 87, 264, 186, 0});
  c.push_back({IDC_FINDER_LIST, K::ListView, "", 15, 99, 249, 168, s::Border | s::ReportView | s::TabStop});
  return d;
}

MenuTemplate FinderMenu() {
  return MenuTemplate{IDR_FINDER_MENU,
                      {{"&File",
                        {{IDM_FINDER_FIND, "Find Selected File Types"},
                         {IDM_FINDER_COPY, "Copy Marked Files"},
                         {0, ""},
                         {IDM_FINDER_STOP_COPY, "&Stop Copy"},
                         {0, ""},
                         {IDM_FINDER_EXIT, "&Exit"}}},
                       {"&Options",
                        {{IDM_FINDER_MARK_ALL, "Mark All Files"}, {IDM_FINDER_UNMARK_ALL, "UnMark All Files"}}}}};
}
