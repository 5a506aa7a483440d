#include "platform/window.h"

#include <algorithm>

#include "platform/frontend.h"

namespace {

std::deque<Msg> g_queue;
std::vector<Dialog*> g_live;

std::unique_ptr<Control> MakeControl(const ControlTemplate& t) {
  std::unique_ptr<Control> c;
  switch (t.kind) {
    case ControlKind::ListView: {
      auto lv = std::make_unique<ListView>();
      lv->single_select = (t.styles & style::SingleSel) != 0;
      c = std::move(lv);
      break;
    }
    case ControlKind::TreeView: {
      auto tv = std::make_unique<TreeView>();
      tv->check_boxes = (t.styles & style::CheckBoxes) != 0;
      c = std::move(tv);
      break;
    }
    case ControlKind::ProgressBar:
      c = std::make_unique<ProgressBar>();
      break;
    case ControlKind::Pie:
      c = std::make_unique<PieChart>();
      break;
    default:
      c = std::make_unique<Control>();
      c->text = t.text;
      break;
  }
  c->id = t.id;
  c->kind = t.kind;
  return c;
}

std::unique_ptr<Menu> MakeMenu(const MenuTemplate* t) {
  if (!t) return nullptr;
  auto m = std::make_unique<Menu>();
  m->template_id = t->id;
  for (const auto& p : t->popups) {
    MenuPopup popup{p.text, {}};
    for (const auto& it : p.items) popup.items.push_back({it.id, it.text, true});
    m->popups.push_back(std::move(popup));
  }
  return m;
}

void Unregister(Dialog* dlg) {
  std::erase(g_live, dlg);
  // Messages still queued for it would reach freed memory.
  std::erase_if(g_queue, [dlg](const Msg& m) { return m.dlg == dlg; });
}

}  // namespace

Dialog::~Dialog() { Unregister(this); }

std::unique_ptr<Dialog> CreateDialogModel(const DialogTemplate* t, const MenuTemplate* menu, DlgProc proc,
                                          Dialog* owner) {
  if (!t) return nullptr;
  auto dlg = std::make_unique<Dialog>();
  dlg->template_id = t->id;
  dlg->tmpl = t;
  dlg->title = t->title;
  dlg->owner = owner;
  dlg->proc = proc;
  for (const ControlTemplate& ct : t->controls) {
    auto c = MakeControl(ct);
    c->owner = dlg.get();
    dlg->controls.push_back(std::move(c));
  }
  dlg->menu = MakeMenu(menu);
  g_live.push_back(dlg.get());
  return dlg;
}

std::intptr_t RunDialogModel(Dialog* dlg) {
  if (!dlg) return -1;
  // A modal dialog disables its owner for as long as it runs.
  const bool owner_was_enabled = dlg->owner && dlg->owner->enabled;
  if (dlg->owner) EnableDialog(dlg->owner, false);
  fe_DialogCreated(dlg);
  Msg init;
  init.dlg = dlg;
  init.kind = MsgKind::InitDialog;
  SendMsg(init);
  while (!dlg->ended) {
    if (QueueEmpty()) {
      if (!fe_WaitForMessages()) {
        EndDialog(dlg, -1);
        break;
      }
      continue;
    }
    DispatchNext();
  }
  fe_DialogDestroyed(dlg);
  Unregister(dlg);
  if (dlg->owner && owner_was_enabled && IsLiveDialog(dlg->owner)) EnableDialog(dlg->owner, true);
  return dlg->end_code;
}

std::intptr_t RunDialog(const DialogTemplate* t, const MenuTemplate* menu, DlgProc proc, Dialog* owner) {
  std::unique_ptr<Dialog> dlg = CreateDialogModel(t, menu, proc, owner);
  if (!dlg) return -1;
  return RunDialogModel(dlg.get());
}

void EndDialog(Dialog* dlg, std::intptr_t code) {
  if (!dlg) return;
  dlg->ended = true;
  dlg->end_code = code;
}

Control* GetDlgItem(const Dialog* dlg, int id) {
  if (!dlg || id == -1) return nullptr;
  for (const auto& c : dlg->controls)
    if (c->id == id) return c.get();
  return nullptr;
}

ListView* GetListView(const Dialog* dlg, int id) {
  Control* c = GetDlgItem(dlg, id);
  return c && c->kind == ControlKind::ListView ? static_cast<ListView*>(c) : nullptr;
}

TreeView* GetTreeView(const Dialog* dlg, int id) {
  Control* c = GetDlgItem(dlg, id);
  return c && c->kind == ControlKind::TreeView ? static_cast<TreeView*>(c) : nullptr;
}

PieChart* GetPieChart(const Dialog* dlg, int id) {
  Control* c = GetDlgItem(dlg, id);
  return c && c->kind == ControlKind::Pie ? static_cast<PieChart*>(c) : nullptr;
}

ProgressBar* GetProgressBar(const Dialog* dlg, int id) {
  Control* c = GetDlgItem(dlg, id);
  return c && c->kind == ControlKind::ProgressBar ? static_cast<ProgressBar*>(c) : nullptr;
}

void SetWindowTitle(Dialog* dlg, const std::string& title) {
  if (!dlg) return;
  dlg->title = title;
  ++dlg->version;
}

void EnableDialog(Dialog* dlg, bool enable) {
  if (!dlg) return;
  dlg->enabled = enable;
  ++dlg->version;
}

const std::vector<Dialog*>& LiveDialogs() { return g_live; }

bool IsLiveDialog(const Dialog* dlg) { return dlg && std::find(g_live.begin(), g_live.end(), dlg) != g_live.end(); }

Dialog* ActiveDialog() { return g_live.empty() ? nullptr : g_live.back(); }

Dialog* FindLiveDialog(int template_id) {
  for (auto it = g_live.rbegin(); it != g_live.rend(); ++it)
    if ((*it)->template_id == template_id) return *it;
  return nullptr;
}

// ---- Queue ------------------------------------------------------------------------

void PostMsg(const Msg& msg) {
  if (!IsLiveDialog(msg.dlg)) return;
  g_queue.push_back(msg);
}

void PostCommand(Dialog* dlg, std::uint32_t id) {
  Msg m;
  m.dlg = dlg;
  m.kind = MsgKind::Command;
  m.id = id;
  PostMsg(m);
}

void PostNotify(Dialog* dlg, int control_id, int code, const Hit& hit) {
  Msg m;
  if (hit.item) {
    const TreeView* tv = GetTreeView(dlg, control_id);
    if (!tv || !TreeView_Contains(tv, hit.item)) return;  // a click on nothing the tree has
  }
  m.dlg = dlg;
  m.kind = MsgKind::Notify;
  m.id = static_cast<std::uint32_t>(control_id);
  m.code = code;
  m.hit = hit;
  if (hit.item) m.hit.tree_version = GetTreeView(dlg, control_id)->structure_version;
  PostMsg(m);
}

void PostSysCommand(Dialog* dlg, std::uint32_t sc) {
  Msg m;
  m.dlg = dlg;
  m.kind = MsgKind::SysCommand;
  m.id = sc;
  PostMsg(m);
}

std::intptr_t SendMsg(const Msg& msg) {
  if (!IsLiveDialog(msg.dlg) || !msg.dlg->proc) return 0;
  return msg.dlg->proc(msg.dlg, msg);
}

bool QueueEmpty() { return g_queue.empty(); }

const Msg* PeekQueue() { return g_queue.empty() ? nullptr : &g_queue.front(); }

const Msg* PeekQueueFor(const Dialog* dlg) {
  for (const Msg& m : g_queue)
    if (m.dlg == dlg) return &m;
  return nullptr;
}

void RemoveFirstFor(const Dialog* dlg) {
  auto it = std::find_if(g_queue.begin(), g_queue.end(), [dlg](const Msg& m) { return m.dlg == dlg; });
  if (it != g_queue.end()) g_queue.erase(it);
}

void DropQueueFront() {
  if (!g_queue.empty()) g_queue.pop_front();
}

namespace {

// The check-box toggle that follows a handled click on a box.
void ToggleAfterClick(const Msg& m) {
  if (!IsLiveDialog(m.dlg)) return;
  Control* c = GetDlgItem(m.dlg, static_cast<int>(m.id));
  if (!c) return;
  if (c->kind == ControlKind::ListView) {
    auto* lv = static_cast<ListView*>(c);
    if ((lv->ex_styles & LVS_EX_CHECKBOXES) && m.hit.row >= 0 && m.hit.row < ListView_GetItemCount(lv))
      ListView_SetCheckState(lv, m.hit.row, !ListView_GetCheckState(lv, m.hit.row));
  } else if (c->kind == ControlKind::TreeView) {
    auto* tv = static_cast<TreeView*>(c);
    if (tv->check_boxes && m.hit.item && m.hit.item->alive)
      TreeView_SetCheckState(tv, m.hit.item, !TreeView_GetCheckState(m.hit.item));
  }
}

}  // namespace

bool DispatchNext() {
  if (g_queue.empty()) return false;
  Msg m = g_queue.front();
  g_queue.pop_front();
  // The tree may have changed since the click was queued: an item that is
  // gone becomes a click on nothing rather than a stale pointer.
  if (m.kind == MsgKind::Notify && m.hit.item) {
    const TreeView* t = GetTreeView(m.dlg, static_cast<int>(m.id));
    if (!t || (t->structure_version != m.hit.tree_version && !TreeView_Contains(t, m.hit.item))) {
      m.hit.item = nullptr;
      m.hit.part = HitPart::Nowhere;
    }
  }
  const bool box_click = m.kind == MsgKind::Notify && m.code == NM_CLICK && m.hit.part == HitPart::CheckBox;
  // A handler that restructures the tree may free the clicked item; the
  // toggle is then skipped rather than applied through a stale pointer.
  TreeView* tv = box_click ? GetTreeView(m.dlg, static_cast<int>(m.id)) : nullptr;
  const std::uint64_t structure = tv ? tv->structure_version : 0;
  TreeView* clicked_tree = m.kind == MsgKind::Notify && m.hit.item ? GetTreeView(m.dlg, static_cast<int>(m.id)) : nullptr;
  const std::uint64_t clicked_structure = clicked_tree ? clicked_tree->structure_version : 0;
  // The procedure may run a long operation that pumps this queue again.
  SendMsg(m);
  if (box_click && (!tv || (IsLiveDialog(m.dlg) && tv->structure_version == structure))) ToggleAfterClick(m);
  // A click on a tree item's label or icon selects it once the owner has
  // seen the click, as the tree control does.
  const bool label_click = m.kind == MsgKind::Notify && m.code == NM_CLICK && clicked_tree &&
                           (m.hit.part == HitPart::Label || m.hit.part == HitPart::Icon);
  if (label_click) {
    if (clicked_tree && IsLiveDialog(m.dlg) && clicked_tree->structure_version == clicked_structure)
      TreeView_SelectItem(clicked_tree, m.hit.item);
  }
  return true;
}

void ClickListRow(Dialog* dlg, int control_id, int row, HitPart part, bool double_click) {
  ListView* lv = GetListView(dlg, control_id);
  // A disabled control, or one in a disabled window, takes no input.
  if (!lv || !lv->enabled || !dlg->enabled) return;
  if (row >= 0 && row < ListView_GetItemCount(lv))
    ListView_SetItemState(lv, row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  Hit hit;
  hit.row = row;
  hit.part = part;
  PostNotify(dlg, control_id, double_click ? NM_DBLCLK : NM_CLICK, hit);
}

void ClickTreeItem(Dialog* dlg, int control_id, TreeItem* item, HitPart part, bool double_click) {
  const TreeView* tv = GetTreeView(dlg, control_id);
  if (!tv || !tv->enabled || !dlg->enabled) return;
  Hit hit;
  hit.item = item;
  hit.part = part;
  PostNotify(dlg, control_id, double_click ? NM_DBLCLK : NM_CLICK, hit);
}

void ClearQueue() { g_queue.clear(); }

void SetDlgItemText(Dialog* dlg, int id, const std::string& text) { SetControlText(GetDlgItem(dlg, id), text); }

std::string GetDlgItemText(const Dialog* dlg, int id) {
  const Control* c = GetDlgItem(dlg, id);
  return c ? c->text : std::string();
}

void SendCustomDraw(Dialog* dlg, int control_id, CustomDraw& cd) {
  cd.result = CDRF_DODEFAULT;
  if (!dlg || !dlg->proc) return;
  Msg m;
  m.dlg = dlg;
  m.kind = MsgKind::Notify;
  m.id = static_cast<std::uint32_t>(control_id);
  m.code = NM_CUSTOMDRAW;
  m.draw = &cd;
  SendMsg(m);
}
