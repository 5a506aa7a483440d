// Control models: the plain data that the engine reads and writes in place of
// the Windows controls. Front ends draw from them and never own their data.
#pragma once
#include <compare>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/templates.h"

struct Dialog;


// Static text, group boxes, buttons and every other simple control.
struct Control {
  int id = 0;
  ControlKind kind = ControlKind::Static;
  std::string text;
  bool enabled = true;
  bool visible = true;
  Dialog* owner = nullptr;
  std::uint64_t version = 0;  // bumped on every change a front end must redraw
  // Check boxes and radio buttons: 0 unchecked, 1 checked (BST_*).
  int check = 0;
  // Combo boxes: the list's items and the selected one (-1: none).
  std::vector<std::string> items;
  int selected = -1;
  // Dialogs own their controls through this base.
  virtual ~Control() = default;
};

// Notification codes in the high word of a control's command id, as
// WM_COMMAND carries them: a button clicked, a combo box's selection changed
// by the operator. Front ends update check and selected before posting.
inline constexpr std::uint32_t BN_CLICKED = 0;
inline constexpr std::uint32_t CBN_SELCHANGE = 1;

// ---- Image list -------------------------------------------------------------

struct ImageList {
  int cx = 16, cy = 16;
  std::vector<int> bitmaps;  // bitmap resource ids, in image index order
};

// Returns null when the front end cannot supply the pictures.
ImageList* ImageList_Create(int cx, int cy);
int ImageList_Add(ImageList* list, int bitmap_id);  // index, or -1
void ImageList_Destroy(ImageList* list);

// ---- List view ----------------------------------------------------------------

inline constexpr std::uint32_t LVIS_FOCUSED = 0x1;
inline constexpr std::uint32_t LVIS_SELECTED = 0x2;

inline constexpr std::uint32_t LVS_EX_GRIDLINES = 0x1;
inline constexpr std::uint32_t LVS_EX_CHECKBOXES = 0x4;
inline constexpr std::uint32_t LVS_EX_FULLROWSELECT = 0x20;

struct ListColumn {
  int width = 0;
  std::string text;
  int sub_item = 0;
};

struct ListRow {
  std::vector<std::string> texts;  // column 0 and the sub-items
  int image = -1;
  void* data = nullptr;
  std::uint32_t state = 0;   // LVIS_*
  int check_state = 0;       // state image: 0 none, 1 unchecked, 2 checked
};

struct ListView : Control {
  std::vector<ListColumn> columns;
  std::vector<ListRow> rows;
  std::uint32_t ex_styles = 0;
  ImageList* small_images = nullptr;
  bool single_select = false;
  // Change tracking for front ends: rows_version moves when rows are inserted or
  // deleted (never the same value twice, across lists), Control::version on
  // any change (texts, states, columns).
  std::uint64_t rows_version = 0;
};

int ListView_InsertColumn(ListView* lv, int index, const ListColumn& col);
// Inserts at index (clamped to the row count); returns the row index or -1.
int ListView_InsertItem(ListView* lv, int index, const std::string& text, int image, void* data);
bool ListView_SetItemText(ListView* lv, int row, int sub_item, const std::string& text);
std::string ListView_GetItemText(const ListView* lv, int row, int sub_item);
bool ListView_DeleteItem(ListView* lv, int row);
void ListView_DeleteAllItems(ListView* lv);
int ListView_GetItemCount(const ListView* lv);
void* ListView_GetItemData(const ListView* lv, int row);
// Sets the bits of mask in the row's state to those of state; row -1 means every row.
bool ListView_SetItemState(ListView* lv, int row, std::uint32_t state, std::uint32_t mask);
std::uint32_t ListView_GetItemState(const ListView* lv, int row, std::uint32_t mask);
bool ListView_SetCheckState(ListView* lv, int row, bool checked);
bool ListView_GetCheckState(const ListView* lv, int row);
void ListView_SetExtendedStyle(ListView* lv, std::uint32_t ex);
void ListView_SetImageList(ListView* lv, ImageList* images);

// ---- Tree view ------------------------------------------------------------------

inline constexpr std::uint32_t TVIS_SELECTED = 0x2;
inline constexpr std::uint32_t TVIS_EXPANDED = 0x20;
inline constexpr std::uint32_t TVIS_BOLD = 0x10;

struct TreeItem {
  // What walks read comes first, so a step of one touches one cache line of
  // an item: the text and the back link for a sorted insertion walking
  // siblings, the other links for walks over the tree (searches, teardown).
  std::string text;
  TreeItem* prev_sibling = nullptr;
  TreeItem* next_sibling = nullptr;
  TreeItem* parent = nullptr;
  TreeItem* first_child = nullptr;
  TreeItem* last_child = nullptr;
  void* data = nullptr;
  int image = -1;
  int selected_image = -1;
  int check_state = 0;  // state image: 0 none, 1 unchecked, 2 checked
  std::uint32_t state = 0;  // TVIS_*
  bool alive = true;
  bool children_dirty = false;  // child list changed since the front end last looked
  bool children_unsorted = false;  // known out of order: sorted inserts walk
  std::size_t child_count = 0;     // kept by linking, so no insert counts siblings
  // Sorted insertion under a parent with more than a few children: its
  // children in order, kept only while they are in sorted order, so the
  // insertion point is a binary search instead of a walk along the siblings.
  // Each child comes with the first sixteen bytes of its folded text, so the
  // search reads the children themselves only where those are equal.
  struct SortKey {
    std::uint64_t high, low;
    auto operator<=>(const SortKey&) const = default;
  };
  struct SortEntry {
    SortKey key;
    TreeItem* item;
  };
  std::unique_ptr<std::vector<SortEntry>> sort_index;
};

// Insert positions, as TVI_FIRST / TVI_LAST / TVI_SORT.
enum class TreeInsert { First, Last, Sort };

struct TreeView : Control {
  TreeItem root;  // invisible; its children are the top-level items
  ImageList* normal_images = nullptr;
  bool check_boxes = false;
  TreeItem* selection = nullptr;
  std::size_t item_count = 0;
  // Change tracking: parents whose child lists changed since the front end
  // last collected them, and deleted items kept until then so a front end
  // never sees an address reused under its cached indexes.
  std::vector<TreeItem*> dirty_parents;
  std::vector<std::unique_ptr<TreeItem>> graveyard;
  std::uint64_t structure_version = 0;
  TreeView() = default;
  TreeView(const TreeView&) = delete;
  TreeView& operator=(const TreeView&) = delete;
  ~TreeView();
};

// parent null means the top level. Returns the new item, or null.
TreeItem* TreeView_InsertItem(TreeView* tv, TreeItem* parent, TreeInsert where, std::string text, int image,
                              int selected_image, void* data);
// Deletes the item and all its descendants; null deletes every item.
void TreeView_DeleteItem(TreeView* tv, TreeItem* item);
void TreeView_DeleteAllItems(TreeView* tv);
// The same, showing visit each item's parameter before the item goes: one walk
// of the tree for a caller that must also free what the items carry.
void TreeView_DeleteAllItems(TreeView* tv, void (*visit)(void* data, void* context), void* context);
TreeItem* TreeView_GetRoot(const TreeView* tv);  // first top-level item
TreeItem* TreeView_GetChild(const TreeItem* item);
TreeItem* TreeView_GetNextSibling(const TreeItem* item);
TreeItem* TreeView_GetParent(const TreeView* tv, const TreeItem* item);  // null for top level
std::size_t TreeView_GetCount(const TreeView* tv);
// Whether item is a live item of tv; compares addresses only, so a stale
// pointer is never dereferenced.
bool TreeView_Contains(const TreeView* tv, const TreeItem* item);
int TreeView_GetLevel(const TreeItem* item);  // 0 for top-level items
void TreeView_SelectItem(TreeView* tv, TreeItem* item);
void TreeView_SetItemText(TreeView* tv, TreeItem* item, const std::string& text);
void TreeView_SetCheckState(TreeView* tv, TreeItem* item, bool checked);
bool TreeView_GetCheckState(const TreeItem* item);
void TreeView_Expand(TreeView* tv, TreeItem* item, bool expand);
void TreeView_SetImageList(TreeView* tv, ImageList* images);
// Front ends: the parents whose child lists changed since the last call; frees
// the items deleted meanwhile once the caller has dropped its references.
std::vector<TreeItem*> TreeView_TakeDirtyParents(TreeView* tv);
void TreeView_ReleaseDeleted(TreeView* tv);

// Case-insensitive order of item texts used by sorted insertion.
int TreeView_CompareText(const std::string& a, const std::string& b);

// ---- Progress bar ----------------------------------------------------------------

struct ProgressBar : Control {
  std::int32_t low = 0, high = 100;
  std::int32_t step = 10;
  std::int32_t pos = 0;
  std::uint32_t bar_colour = 0xFFFFFFFFu;  // 0xFFFFFFFF: the default colour; else 0x00BBGGRR
};

void Progress_SetRange32(ProgressBar* pb, std::int32_t low, std::int32_t high);
void Progress_SetStep(ProgressBar* pb, std::int32_t step);
void Progress_StepIt(ProgressBar* pb);
void Progress_SetPos(ProgressBar* pb, std::int32_t pos);
void Progress_SetBarColour(ProgressBar* pb, std::uint32_t colour);

// ---- Pie chart -------------------------------------------------------------------
// A filled pie sweeping clockwise from angle 0 by fraction x 360 degrees,
// with a label: the engine describes it, a front end paints it. Positions
// are in the owner's client pixels.

struct PieChart : Control {
  double fraction = 0;  // 0 .. 1; 0 draws nothing
  int centre_x = 0, centre_y = 0, radius = 0;
  int label_x = 0, label_y = 0;
  std::string label;
  std::uint32_t pen_colour = 0, brush_colour = 0, text_colour = 0;  // 0x00BBGGRR
  int pen_width = 1;
  bool pen_dash_dot = false;
};

// RGB as the engine stores colours: 0x00BBGGRR.
constexpr std::uint32_t RGB(unsigned r, unsigned g, unsigned b) { return (r & 0xFF) | ((g & 0xFF) << 8) | ((b & 0xFF) << 16); }

// ---- Menu ----------------------------------------------------------------------

struct MenuItem {
  int id = 0;  // 0: separator
  std::string text;
  bool enabled = true;
};

struct MenuPopup {
  std::string text;
  std::vector<MenuItem> items;
};

struct Menu {
  int template_id = 0;
  std::vector<MenuPopup> popups;
  std::uint64_t version = 0;
};

// Enables or greys the item at a position of one pop-up.
bool Menu_EnableByPosition(Menu* menu, int popup, int position, bool enable);
bool Menu_EnableCommand(Menu* menu, int id, bool enable);
const MenuItem* Menu_FindCommand(const Menu* menu, int id);

// ---- Text helpers ------------------------------------------------------------------

void SetControlText(Control* c, const std::string& text);
void EnableControl(Control* c, bool enable);
