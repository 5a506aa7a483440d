// Dialog, menu and column template types: what the platform builds control
// models from. The templates themselves are resources (res/).
#pragma once
#include <string>
#include <vector>

enum class ControlKind { Static, GroupBox, Button, Edit, ComboBox, CheckBox, RadioButton, ListView, TreeView, ProgressBar, Picture, Pie };

// Style bits that the front ends honour (a small subset of the Windows ones).
namespace style {
inline constexpr unsigned Sunken = 1u << 0;          // SS_SUNKEN
inline constexpr unsigned ReportView = 1u << 1;      // LVS_REPORT
inline constexpr unsigned SingleSel = 1u << 2;       // LVS_SINGLESEL
inline constexpr unsigned CheckBoxes = 1u << 3;      // TVS_CHECKBOXES
inline constexpr unsigned HasButtons = 1u << 4;      // TVS_HASBUTTONS
inline constexpr unsigned HasLines = 1u << 5;        // TVS_HASLINES | TVS_LINESATROOT
inline constexpr unsigned ShowSelAlways = 1u << 6;   // LVS_SHOWSELALWAYS / TVS_SHOWSELALWAYS
inline constexpr unsigned Smooth = 1u << 7;          // PBS_SMOOTH
inline constexpr unsigned Border = 1u << 8;          // WS_BORDER
inline constexpr unsigned TabStop = 1u << 9;         // WS_TABSTOP
inline constexpr unsigned DefPushButton = 1u << 10;  // BS_DEFPUSHBUTTON
inline constexpr unsigned ReadOnly = 1u << 11;       // ES_READONLY
inline constexpr unsigned Bitmap = 1u << 12;         // SS_BITMAP
}  // namespace style

namespace dlgstyle {
inline constexpr unsigned Popup = 1u << 0;
inline constexpr unsigned Caption = 1u << 1;
inline constexpr unsigned SysMenu = 1u << 2;
inline constexpr unsigned MinimizeBox = 1u << 3;
inline constexpr unsigned MaximizeBox = 1u << 4;
inline constexpr unsigned Centered = 1u << 5;
inline constexpr unsigned Modal = 1u << 6;
}  // namespace dlgstyle

struct ControlTemplate {
  int id;
  ControlKind kind;
  std::string text;
  int x, y, w, h;
  unsigned styles;
  int image = 0;  // bitmap resource of a picture control
};

struct DialogTemplate {
  int id;
  std::string title;
  std::string font_face;
  int font_points;
  int x, y, w, h;
  unsigned styles;
  int menu_id;  // 0: none
  std::vector<ControlTemplate> controls;
};

struct MenuItemTemplate {
  int id;  // 0 for a separator
  std::string text;
};

struct MenuPopupTemplate {
  std::string text;
  std::vector<MenuItemTemplate> items;
};

struct MenuTemplate {
  int id;
  std::vector<MenuPopupTemplate> popups;
};

// One column of a list; a table ends at an entry of width 0.
struct ColumnEntry {
  int width;
  const char* text;
  int sub_item;
};

