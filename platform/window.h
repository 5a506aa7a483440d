// Dialogs, the one message queue, the dialog loop and the pump primitive.
#pragma once
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/controls.h"

enum class MsgKind { InitDialog, Command, Notify, SysCommand, Close };

// Notification codes, as the common controls send them.
inline constexpr int NM_CLICK = -2;
inline constexpr int NM_DBLCLK = -3;

inline constexpr int NM_CUSTOMDRAW = -12;

// ---- Custom draw ---------------------------------------------------------------
// Before painting a list or tree control a front end sends its owner an
// NM_CUSTOMDRAW notification carrying this record; the owner's procedure
// fills in the colours and answers in `result`, as the common controls ask.

enum class DrawStage { PrePaint, ItemPrePaint, ItemPostPaint, PostPaint, Other };

inline constexpr std::uint32_t CDRF_DODEFAULT = 0x0;
inline constexpr std::uint32_t CDRF_NEWFONT = 0x2;
inline constexpr std::uint32_t CDRF_NOTIFYITEMDRAW = 0x20;

inline constexpr std::uint32_t CDIS_SELECTED = 0x1;
inline constexpr std::uint32_t CDIS_FOCUS = 0x10;

struct CustomDraw {
  DrawStage stage = DrawStage::ItemPrePaint;
  void* item_data = nullptr;      // the row's or item's data
  int level = 0;                  // tree items: 0 for the roots
  std::uint32_t item_state = 0;   // CDIS_*
  std::uint32_t text_colour = 0;  // out: 0x00BBGGRR
  bool bold = false;              // out
  std::uint32_t result = CDRF_DODEFAULT;  // out: CDRF_*
};

// What a click hit, resolved by the front end so the engine needs no pixels.
enum class HitPart { Nowhere, Label, Icon, CheckBox };

struct Hit {
  int row = -1;               // list views
  TreeItem* item = nullptr;   // tree views
  HitPart part = HitPart::Nowhere;
  std::uint64_t tree_version = 0;  // the tree's structure when the hit was taken
};

struct Msg {
  Dialog* dlg = nullptr;  // addressee
  MsgKind kind = MsgKind::Command;
  std::uint32_t id = 0;   // command id (low 16 bits significant), control id, or system command
  int code = 0;           // notification code
  Hit hit;
  CustomDraw* draw = nullptr;  // NM_CUSTOMDRAW only; sent, never queued
};

// A dialog procedure returns nonzero when it handled the message.
using DlgProc = std::intptr_t (*)(Dialog* dlg, const Msg& msg);

struct Dialog {
  int template_id = 0;
  const DialogTemplate* tmpl = nullptr;
  std::string title;
  bool enabled = true;
  Dialog* owner = nullptr;
  DlgProc proc = nullptr;
  std::vector<std::unique_ptr<Control>> controls;
  std::unique_ptr<Menu> menu;
  bool ended = false;
  std::intptr_t end_code = 0;
  std::intptr_t msg_result = 0;  // DWLP_MSGRESULT
  void* frontend = nullptr;      // the front end's widgets for this dialog
  std::uint64_t version = 0;     // title and enabled flag
  Dialog() = default;
  ~Dialog();  // leaves the live list and drops its queued messages
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;
};

// Builds a dialog's models from its template and menu template (null: no
// menu) without running it. Null when there is no template.
std::unique_ptr<Dialog> CreateDialogModel(const DialogTemplate* tmpl, const MenuTemplate* menu, DlgProc proc,
                                          Dialog* owner);

// Runs a dialog modally: builds it, shows it through the front end, sends
// InitDialog, then dispatches messages until EndDialog. Returns the end code,
// or -1 when the template is unknown or the front end can produce no more
// messages (a headless run whose script is spent).
std::intptr_t RunDialog(const DialogTemplate* tmpl, const MenuTemplate* menu, DlgProc proc, Dialog* owner);
// Same, for a dialog already built with CreateDialogModel.
std::intptr_t RunDialogModel(Dialog* dlg);
void EndDialog(Dialog* dlg, std::intptr_t code);

Control* GetDlgItem(const Dialog* dlg, int id);
ListView* GetListView(const Dialog* dlg, int id);
TreeView* GetTreeView(const Dialog* dlg, int id);
ProgressBar* GetProgressBar(const Dialog* dlg, int id);
PieChart* GetPieChart(const Dialog* dlg, int id);
void SetWindowTitle(Dialog* dlg, const std::string& title);
void SetDlgItemText(Dialog* dlg, int id, const std::string& text);
std::string GetDlgItemText(const Dialog* dlg, int id);
void EnableDialog(Dialog* dlg, bool enable);

// The dialogs that exist now, oldest first (the last one is the active one).
const std::vector<Dialog*>& LiveDialogs();
bool IsLiveDialog(const Dialog* dlg);
Dialog* ActiveDialog();
// The newest live dialog made from a template, or null.
Dialog* FindLiveDialog(int template_id);

// ---- The queue ----------------------------------------------------------------------

void PostMsg(const Msg& msg);
void PostCommand(Dialog* dlg, std::uint32_t id);
void PostNotify(Dialog* dlg, int control_id, int code, const Hit& hit);
void PostSysCommand(Dialog* dlg, std::uint32_t sc);
// Calls the dialog's procedure at once (SendMessage).
std::intptr_t SendMsg(const Msg& msg);
// Asks a control's owner for its custom-draw answer; cd.result stays
// CDRF_DODEFAULT when the owner draws nothing of its own.
void SendCustomDraw(Dialog* dlg, int control_id, CustomDraw& cd);

bool QueueEmpty();
const Msg* PeekQueue();  // the next message, or null
// The first queued message addressed to dlg, or null.
const Msg* PeekQueueFor(const Dialog* dlg);
void RemoveFirstFor(const Dialog* dlg);
void DropQueueFront();
// Takes the next message off the queue and sends it to its dialog.
// Messages for dialogs that ended are discarded. Returns false when empty.
bool DispatchNext();
void ClearQueue();

// ---- Clicks -------------------------------------------------------------------------
// What a click does before its owner hears of it, then the notification; both
// front ends use these. A list selects and focuses the clicked row first. A
// check box toggles only after the owner has handled the click, which
// DispatchNext does once the notification has been sent.
void ClickListRow(Dialog* dlg, int control_id, int row, HitPart part, bool double_click = false);
void ClickTreeItem(Dialog* dlg, int control_id, TreeItem* item, HitPart part, bool double_click = false);
