#include "gui/item_views.h"

#include <QApplication>
#include <QHeaderView>
#include <QMouseEvent>
#include <QScrollBar>
#include <algorithm>

#include "gui/pictures.h"
#include "gui/text.h"
#include "res/ids.h"

namespace gui {
namespace {

QVariant ImageFrom(const ImageList* list, int index) {
  if (!list || index < 0 || index >= static_cast<int>(list->bitmaps.size())) return {};
  const QPixmap& pm = BitmapPicture(list->bitmaps[index]);
  return pm.isNull() ? QVariant() : QVariant(pm);
}

QColor FromBgr(std::uint32_t c) { return QColor(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF)); }
std::uint32_t ToBgr(const QColor& c) { return RGB(unsigned(c.red()), unsigned(c.green()), unsigned(c.blue())); }

// Windows shows an unfocused selection in the button-face grey.
void UseWindowsSelectionColours(QWidget* view) {
  QPalette pal = view->palette();
  pal.setColor(QPalette::Inactive, QPalette::Highlight, QColor(212, 208, 200));
  pal.setColor(QPalette::Inactive, QPalette::HighlightedText, Qt::black);
  view->setPalette(pal);
}

// The box is where the style draws the check indicator; the rest of the item
// (picture, text, the row beside it) is what selects it, the label.
HitPart PartOf(const QStyle* style, const QStyleOptionViewItem& opt, const QWidget* view, const QPoint& pos) {
  if (opt.features & QStyleOptionViewItem::HasCheckIndicator &&
      style->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &opt, view).contains(pos))
    return HitPart::CheckBox;
  return HitPart::Label;
}

}  // namespace


// ---- List model -------------------------------------------------------------------

ListModel::ListModel(ListView* lv, QObject* parent) : QAbstractTableModel(parent), lv_(lv) {
  rows_ = static_cast<int>(lv_->rows.size());
  cols_ = static_cast<int>(lv_->columns.size());
  rows_version_ = lv_->rows_version;
}

int ListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : rows_; }
int ListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : cols_; }

const ListRow* ListModel::liveRow(int row) const {
  return row >= 0 && row < static_cast<int>(lv_->rows.size()) ? &lv_->rows[row] : nullptr;
}

QVariant ListModel::data(const QModelIndex& index, int role) const {
  const ListRow* r = index.isValid() ? liveRow(index.row()) : nullptr;
  if (!r) return {};
  const int col = index.column();
  switch (role) {
    case Qt::DisplayRole: {
      const int sub = col < static_cast<int>(lv_->columns.size()) ? lv_->columns[col].sub_item : col;
      return sub >= 0 && sub < static_cast<int>(r->texts.size()) ? FromLatin1(r->texts[sub]) : QString();
    }
    case Qt::DecorationRole:
      return col == 0 ? ImageFrom(lv_->small_images, r->image) : QVariant();
    case Qt::CheckStateRole:
      if (col != 0 || !(lv_->ex_styles & LVS_EX_CHECKBOXES)) return {};
      return r->check_state == 2 ? Qt::Checked : Qt::Unchecked;
    case kDrawDataRole:
      return QVariant::fromValue(reinterpret_cast<quintptr>(r->data));
    case kLevelRole:
      return 0;
    default:
      return {};
  }
}

QVariant ListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= static_cast<int>(lv_->columns.size())) return {};
  if (role == Qt::DisplayRole) return FromLatin1(lv_->columns[section].text);
  if (role == Qt::TextAlignmentRole) return int(Qt::AlignLeft | Qt::AlignVCenter);
  return {};
}

Qt::ItemFlags ListModel::flags(const QModelIndex& index) const {
  // Not user-checkable: a box changes only when the engine has handled the click.
  return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

bool ListModel::syncShape() {
  const int rows = static_cast<int>(lv_->rows.size());
  const int cols = static_cast<int>(lv_->columns.size());
  if (rows == rows_ && cols == cols_ && lv_->rows_version == rows_version_) return false;
  beginResetModel();
  rows_ = rows;
  cols_ = cols;
  rows_version_ = lv_->rows_version;
  endResetModel();
  return true;
}

void ListModel::refreshAll() {
  if (rows_ > 0 && cols_ > 0) emit dataChanged(index(0, 0), index(rows_ - 1, cols_ - 1));
  if (cols_ > 0) emit headerDataChanged(Qt::Horizontal, 0, cols_ - 1);
}

// ---- Tree model -------------------------------------------------------------------

TreeModel::TreeModel(TreeView* tv, QObject* parent) : QAbstractItemModel(parent), tv_(tv) {}

TreeItem* TreeModel::parentOf(const TreeItem* item) const {
  return item->parent ? item->parent : &tv_->root;
}

TreeItem* TreeModel::itemAt(const QModelIndex& index) const {
  return index.isValid() ? static_cast<TreeItem*>(index.internalPointer()) : nullptr;
}

TreeModel::Node& TreeModel::node(TreeItem* parent) const {
  auto it = nodes_.find(parent);
  if (it != nodes_.end()) return it->second;
  // One walk of the sibling links per parent; index() then costs O(1).
  Node& n = nodes_[parent];
  for (TreeItem* c = parent->first_child; c; c = c->next_sibling) n.children.push_back(c);
  return n;
}

int TreeModel::rowOf(TreeItem* item) const {
  const Node& siblings = node(parentOf(item));
  auto own = nodes_.find(item);
  const int hint = own != nodes_.end() ? own->second.row_hint : 0;
  if (hint >= 0 && hint < static_cast<int>(siblings.children.size()) && siblings.children[hint] == item) return hint;
  auto pos = std::find(siblings.children.begin(), siblings.children.end(), item);
  const int row = pos == siblings.children.end() ? -1 : static_cast<int>(pos - siblings.children.begin());
  if (own != nodes_.end()) own->second.row_hint = row;
  return row;
}

QModelIndex TreeModel::index(int row, int column, const QModelIndex& parent) const {
  if (column != 0 || row < 0 || parent.column() > 0) return {};
  TreeItem* p = parent.isValid() ? itemAt(parent) : &tv_->root;
  const Node& n = node(p);
  if (row >= static_cast<int>(n.children.size())) return {};
  return createIndex(row, 0, n.children[row]);
}

QModelIndex TreeModel::parent(const QModelIndex& index) const {
  TreeItem* item = itemAt(index);
  if (!item) return {};
  TreeItem* p = parentOf(item);
  if (p == &tv_->root) return {};
  const int row = rowOf(p);
  return row < 0 ? QModelIndex() : createIndex(row, 0, p);
}

int TreeModel::rowCount(const QModelIndex& parent) const {
  if (parent.column() > 0) return 0;
  TreeItem* p = parent.isValid() ? itemAt(parent) : &tv_->root;
  return static_cast<int>(node(p).children.size());
}

int TreeModel::columnCount(const QModelIndex&) const { return 1; }

bool TreeModel::hasChildren(const QModelIndex& parent) const {
  if (parent.column() > 0) return false;
  TreeItem* p = parent.isValid() ? itemAt(parent) : &tv_->root;
  auto it = nodes_.find(p);
  if (it != nodes_.end()) return !it->second.children.empty();
  return p->first_child != nullptr;
}

QVariant TreeModel::data(const QModelIndex& index, int role) const {
  TreeItem* item = itemAt(index);
  if (!item) return {};
  switch (role) {
    case Qt::DisplayRole:
      return FromLatin1(item->text);
    case Qt::DecorationRole: {
      const bool selected = tv_->selection == item && item->selected_image >= 0;
      return ImageFrom(tv_->normal_images, selected ? item->selected_image : item->image);
    }
    case Qt::CheckStateRole:
      if (!tv_->check_boxes) return {};
      return item->check_state == 2 ? Qt::Checked : Qt::Unchecked;
    case kDrawDataRole:
      return QVariant::fromValue(reinterpret_cast<quintptr>(item->data));
    case kLevelRole:
      return TreeView_GetLevel(item);
    default:
      return {};
  }
}

Qt::ItemFlags TreeModel::flags(const QModelIndex& index) const {
  return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

QModelIndex TreeModel::indexOfLoaded(TreeItem* item) const {
  if (!item || item == &tv_->root) return {};
  const int row = rowOf(item);
  return row < 0 ? QModelIndex() : createIndex(row, 0, item);
}

QModelIndex TreeModel::indexOf(TreeItem* item) const {
  if (!item || !item->alive || item == &tv_->root) return {};
  // Every parent on the path must be known to Qt first.
  std::vector<TreeItem*> path;
  for (TreeItem* p = parentOf(item); p != &tv_->root; p = parentOf(p)) path.push_back(p);
  for (auto it = path.rbegin(); it != path.rend(); ++it)
    if (rowOf(*it) < 0) return {};
  return indexOfLoaded(item);
}

void TreeModel::dropSubtree(TreeItem* item) {
  auto it = nodes_.find(item);
  if (it == nodes_.end()) return;
  std::vector<TreeItem*> children = std::move(it->second.children);
  nodes_.erase(it);
  for (TreeItem* c : children) dropSubtree(c);
}

void TreeModel::applyChildren(TreeItem* parent, Node& n) {
  std::vector<TreeItem*> now;
  for (TreeItem* c = parent->first_child; c; c = c->next_sibling) now.push_back(c);
  const QModelIndex pidx = indexOfLoaded(parent);
  if (parent != &tv_->root && !pidx.isValid()) return;
  std::vector<TreeItem*>& cur = n.children;
  // Siblings keep their order, so one merge pass finds the runs that went
  // (dead items) and the runs that came (items not yet in the array).
  std::size_t r = 0, j = 0;
  while (r < cur.size() || j < now.size()) {
    if (r < cur.size() && j < now.size() && cur[r] == now[j]) {
      ++r;
      ++j;
      continue;
    }
    auto gone = [&](TreeItem* it) { return !it->alive || it->parent != parent; };
    if (r < cur.size() && (gone(cur[r]) || j == now.size())) {
      std::size_t e = r + 1;
      while (e < cur.size() && (gone(cur[e]) || j == now.size())) ++e;
      beginRemoveRows(pidx, int(r), int(e - 1));
      for (std::size_t k = r; k < e; ++k) dropSubtree(cur[k]);
      cur.erase(cur.begin() + r, cur.begin() + e);
      endRemoveRows();
      continue;
    }
    std::size_t e = j + 1;
    while (e < now.size() && (r >= cur.size() || now[e] != cur[r])) ++e;
    beginInsertRows(pidx, int(r), int(r + (e - j) - 1));
    cur.insert(cur.begin() + r, now.begin() + j, now.begin() + e);
    endInsertRows();
    r += e - j;
    j = e;
  }
}

void TreeModel::syncStructure() {
  if (tv_->dirty_parents.empty() && tv_->graveyard.empty()) return;
  for (TreeItem* p : TreeView_TakeDirtyParents(tv_)) {
    if (p != &tv_->root && !p->alive) continue;
    auto it = nodes_.find(p);
    if (it != nodes_.end()) {
      applyChildren(p, it->second);
    } else if (p != &tv_->root && nodes_.count(parentOf(p))) {
      // Qt may have been told this parent has no children; announcing them
      // as inserted rows is what makes its expand button appear.
      if (rowOf(p) >= 0) applyChildren(p, nodes_[p]);
    }
  }
  // Nothing refers to the deleted items any more.
  TreeView_ReleaseDeleted(tv_);
}

// ---- Delegate ---------------------------------------------------------------------

ItemDelegate::ItemDelegate(Dialog* dlg, int control_id, bool tree, bool show_sel_always, QObject* parent)
    : QStyledItemDelegate(parent), dlg_(dlg), control_id_(control_id), tree_(tree), show_sel_always_(show_sel_always) {}

bool ItemDelegate::ItemDraw() const {
  if (item_draw_ < 0) {
    // The control asks item by item only when the pre-paint answer requests it.
    CustomDraw cd;
    cd.stage = DrawStage::PrePaint;
    SendCustomDraw(dlg_, control_id_, cd);
    item_draw_ = (cd.result & CDRF_NOTIFYITEMDRAW) != 0 ? 1 : 0;
  }
  return item_draw_ == 1;
}

void ItemDelegate::initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const {
  QStyledItemDelegate::initStyleOption(option, index);
  const bool view_focused = option->widget && option->widget->hasFocus();
  if (!show_sel_always_ && !view_focused) option->state &= ~QStyle::State_Selected;
  if (!ItemDraw()) return;
  const bool selected = option->state & QStyle::State_Selected;
  const bool focused = option->state & QStyle::State_HasFocus;
  CustomDraw cd;
  cd.stage = DrawStage::ItemPrePaint;
  cd.item_data = reinterpret_cast<void*>(index.data(kDrawDataRole).value<quintptr>());
  cd.level = index.data(kLevelRole).toInt();
  cd.item_state = (selected ? CDIS_SELECTED : 0) | (focused ? CDIS_FOCUS : 0);
  // The handler starts from the colour the control would use.
  const bool highlighted = selected && view_focused;
  cd.text_colour = ToBgr(option->palette.color(highlighted ? QPalette::HighlightedText : QPalette::Text));
  SendCustomDraw(dlg_, control_id_, cd);
  const QColor colour = FromBgr(cd.text_colour);
  option->palette.setColor(QPalette::Text, colour);
  // A list draws its focused selection in the highlight colours whatever the
  // handler says; a tree takes the handler's colour there too.
  if (tree_ || !highlighted) option->palette.setColor(QPalette::HighlightedText, colour);
  if (cd.bold) {
    option->font.setWeight(QFont::Bold);
    option->fontMetrics = QFontMetrics(option->font);
  }
}

void ItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QStyledItemDelegate::paint(painter, option, index);
  if (!ItemDraw()) return;
  QStyleOptionViewItem opt = option;
  initStyleOption(&opt, index);
  if (!(opt.features & QStyleOptionViewItem::HasCheckIndicator)) return;
  // The box is a state image: its tick keeps the control's colours whatever
  // colour the handler gave the text, so it is drawn again over the item.
  const QWidget* w = opt.widget;
  QStyle* style = w ? w->style() : QApplication::style();
  QStyleOptionViewItem box = opt;
  box.palette = w ? w->palette() : QApplication::palette();
  box.rect = style->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &opt, w);
  box.state &= ~QStyle::State_HasFocus;
  box.state |= opt.checkState == Qt::Checked ? QStyle::State_On : QStyle::State_Off;
  style->drawPrimitive(QStyle::PE_IndicatorItemViewItemCheck, &box, painter, w);
}

// ---- List view --------------------------------------------------------------------

ListControlView::ListControlView(Dialog* dlg, ListView* lv, unsigned styles, QWidget* parent)
    : QTableView(parent), dlg_(dlg), lv_(lv), clicks_(dlg, lv->id) {
  model_ = new ListModel(lv, this);
  delegate_ = new ItemDelegate(dlg, lv->id, false, styles & style::ShowSelAlways, this);
  setModel(model_);
  setItemDelegate(delegate_);
  verticalHeader()->hide();
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  verticalHeader()->setMinimumSectionSize(1);
  verticalHeader()->setDefaultSectionSize(std::max(17, fontMetrics().height() + 4));
  QHeaderView* h = horizontalHeader();
  h->setSectionsClickable(false);
  h->setHighlightSections(false);
  h->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  h->setStretchLastSection(false);
  h->setMinimumSectionSize(0);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(lv->single_select ? QAbstractItemView::SingleSelection : QAbstractItemView::ExtendedSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setWordWrap(false);
  setTabKeyNavigation(false);
  setCornerButtonEnabled(false);
  setShowGrid(false);
  setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  setIconSize(QSize(16, 16));
  UseWindowsSelectionColours(this);
  connect(selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] { pushSelection(); });
  connect(selectionModel(), &QItemSelectionModel::currentChanged, this, [this] { pushSelection(); });
}

void ListControlView::applyColumns() {
  columns_ = lv_->columns.size();
  for (std::size_t i = 0; i < lv_->columns.size(); ++i)
    horizontalHeader()->resizeSection(int(i), std::max(0, lv_->columns[i].width));
}

void ListControlView::sync() {
  // Every change of the control (rows included) moves its version.
  if (lv_->version == version_) return;
  version_ = lv_->version;

  // The scroll position survives a change that kept the rows before it:
  // the row at the top must still carry the same data.
  const QModelIndex top = indexAt(QPoint(0, 0));
  const ListRow* top_row = top.isValid() ? model_->liveRow(top.row()) : nullptr;
  void* top_identity = top_row ? top_row->data : nullptr;
  const int v = verticalScrollBar()->value();
  const int hsc = horizontalScrollBar()->value();
  const int old_rows = model_->rowCount();

  applying_ = true;
  const bool reset = model_->syncShape();
  applying_ = false;
  if (reset || columns_ != lv_->columns.size()) applyColumns();
  if (lv_->ex_styles != ex_styles_) {
    ex_styles_ = lv_->ex_styles;
    setShowGrid(ex_styles_ & LVS_EX_GRIDLINES);
  }
  if (!reset) model_->refreshAll();
  // Selection first: giving a row the focus scrolls to it, which the scroll
  // restore below undoes (the control's focus state does not scroll).
  pullSelection();
  if (reset) {
    updateGeometries();
    const ListRow* now_top = top.isValid() ? model_->liveRow(top.row()) : nullptr;
    const bool same_start = now_top && now_top->data == top_identity && model_->rowCount() >= old_rows;
    verticalScrollBar()->setValue(same_start ? v : 0);
    horizontalScrollBar()->setValue(hsc);
  }
}

void ListControlView::pullSelection() {
  applying_ = true;
  QItemSelection sel;
  const int rows = std::min(model_->rowCount(), static_cast<int>(lv_->rows.size()));
  const int last_col = std::max(0, model_->columnCount() - 1);
  int focus = -1;
  for (int i = 0; i < rows;) {
    if (lv_->rows[i].state & LVIS_FOCUSED) focus = i;
    if (!(lv_->rows[i].state & LVIS_SELECTED)) {
      ++i;
      continue;
    }
    int e = i;
    while (e + 1 < rows && (lv_->rows[e + 1].state & LVIS_SELECTED)) {
      ++e;
      if (lv_->rows[e].state & LVIS_FOCUSED) focus = e;
    }
    sel.select(model_->index(i, 0), model_->index(e, last_col));
    i = e + 1;
  }
  if (model_->columnCount() > 0) {
    if (selectionModel()->selection() != sel) selectionModel()->select(sel, QItemSelectionModel::ClearAndSelect);
    const QModelIndex cur = focus >= 0 ? model_->index(focus, 0) : QModelIndex();
    if (selectionModel()->currentIndex().row() != cur.row() || !cur.isValid())
      selectionModel()->setCurrentIndex(cur, QItemSelectionModel::NoUpdate);
  }
  applying_ = false;
}

void ListControlView::pushSelection() {
  if (applying_) return;
  // The control selects and focuses what the operator clicked, before the
  // notification reaches the engine.
  const int rows = std::min(model_->rowCount(), static_cast<int>(lv_->rows.size()));
  const int current = selectionModel()->currentIndex().row();
  for (int i = 0; i < rows; ++i) {
    ListRow& r = lv_->rows[i];
    std::uint32_t want = r.state & ~(LVIS_SELECTED | LVIS_FOCUSED);
    if (selectionModel()->isRowSelected(i, QModelIndex())) want |= LVIS_SELECTED;
    if (i == current) want |= LVIS_FOCUSED;
    if (want != r.state) ListView_SetItemState(lv_, i, want, LVIS_SELECTED | LVIS_FOCUSED);
  }
  version_ = lv_->version;
}

QStyleOptionViewItem ListControlView::itemOption(const QModelIndex& index) const {
  QStyleOptionViewItem opt;
  initViewItemOption(&opt);
  opt.rect = visualRect(index);
  if (selectionModel()->isSelected(index)) opt.state |= QStyle::State_Selected;
  if (index == currentIndex() && hasFocus()) opt.state |= QStyle::State_HasFocus;
  delegate_->styleOption(&opt, index);
  return opt;
}

Hit ListControlView::hitAt(const QPoint& pos) const {
  Hit h;
  const QModelIndex idx = indexAt(pos);
  if (!idx.isValid()) return h;
  h.row = idx.row();
  h.part = idx.column() == 0 ? PartOf(style(), itemOption(idx), this, pos) : HitPart::Label;
  return h;
}

void ListControlView::mousePressEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton && clicks_.press(hitAt(e->position().toPoint()))) {
    setFocus(Qt::MouseFocusReason);
    e->accept();
    return;
  }
  QTableView::mousePressEvent(e);
}

void ListControlView::mouseReleaseEvent(QMouseEvent* e) {
  QTableView::mouseReleaseEvent(e);
  if (e->button() == Qt::LeftButton) clicks_.release();
}

void ListControlView::mouseDoubleClickEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton && clicks_.doubleClick(hitAt(e->position().toPoint()))) {
    e->accept();
    return;
  }
  QTableView::mouseDoubleClickEvent(e);
}

// ---- Clicks -------------------------------------------------------------------------

bool ClickNotifier::press(const Hit& h) {
  press_hit_ = h;
  pressed_ = true;
  return h.part == HitPart::CheckBox;
}

void ClickNotifier::release() {
  if (!pressed_) return;
  pressed_ = false;
  if (swallow_release_) {
    swallow_release_ = false;
    return;
  }
  PostNotify(dlg_, id_, NM_CLICK, press_hit_);
}

bool ClickNotifier::doubleClick(const Hit& h) {
  pressed_ = true;
  swallow_release_ = true;
  PostNotify(dlg_, id_, NM_DBLCLK, h);
  return h.part == HitPart::CheckBox;
}

// ---- Tree view --------------------------------------------------------------------

TreeControlView::TreeControlView(Dialog* dlg, TreeView* tv, unsigned styles, QWidget* parent)
    : QTreeView(parent), dlg_(dlg), tv_(tv), clicks_(dlg, tv->id) {
  model_ = new TreeModel(tv, this);
  delegate_ = new ItemDelegate(dlg, tv->id, true, styles & style::ShowSelAlways, this);
  setModel(model_);
  setItemDelegate(delegate_);
  setHeaderHidden(true);
  setUniformRowHeights(true);
  setRootIsDecorated(styles & (style::HasLines | style::HasButtons));
  setItemsExpandable(true);
  setExpandsOnDoubleClick(true);
  setAnimated(false);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setIconSize(QSize(16, 16));
  setIndentation(19);
  header()->setStretchLastSection(true);
  UseWindowsSelectionColours(this);
  connect(this, &QTreeView::expanded, this, [this](const QModelIndex& i) { onExpanded(i); });
  connect(this, &QTreeView::collapsed, this, [this](const QModelIndex& i) { onCollapsed(i); });
  connect(selectionModel(), &QItemSelectionModel::currentChanged, this, [this] { pushSelection(); });
}

void TreeControlView::sync() {
  // Forget deleted items before the control frees them.
  const bool lost_selection = selection_ && !selection_->alive;
  if (lost_selection) selection_ = nullptr;
  if (!tv_->graveyard.empty()) std::erase_if(expanded_, [](TreeItem* it) { return !it->alive; });
  applying_ = true;
  model_->syncStructure();
  applying_ = false;
  if (tv_->version == version_ && !lost_selection) return;
  version_ = tv_->version;
  // Texts, images and ticks are read live at paint time and rows are of one
  // height, so a repaint is all a change of them needs. A dataChanged over the
  // top-level rows would make the view walk every expanded row below them.
  viewport()->update();
  // The top level as it is now, if Qt has not asked yet (before its first
  // layout): the items the engine expanded or selected are found through it.
  model_->rowCount();
  pullExpansion();
  pullSelection();
}

void TreeControlView::onExpanded(const QModelIndex& index) {
  TreeItem* item = model_->itemAt(index);
  if (!item) return;
  expanded_.insert(item);
  item->state |= TVIS_EXPANDED;
  // Children that the engine expanded before Qt had loaded them.
  std::vector<TreeItem*> deeper;
  for (TreeItem* c = item->first_child; c; c = c->next_sibling)
    if ((c->state & TVIS_EXPANDED) && c->first_child && !expanded_.count(c)) deeper.push_back(c);
  for (TreeItem* c : deeper) expand(model_->indexOf(c));
}

void TreeControlView::onCollapsed(const QModelIndex& index) {
  TreeItem* item = model_->itemAt(index);
  if (!item) return;
  expanded_.erase(item);
  item->state &= ~TVIS_EXPANDED;
}

void TreeControlView::pullExpansion() {
  std::vector<TreeItem*> collapse_now, expand_now;
  for (TreeItem* it : expanded_)
    if (!(it->state & TVIS_EXPANDED)) collapse_now.push_back(it);
  model_->forEachLoaded([&](TreeItem* parent, const std::vector<TreeItem*>& children) {
    if (parent != &tv_->root && !expanded_.count(parent)) return;
    for (TreeItem* c : children)
      if ((c->state & TVIS_EXPANDED) && c->alive && c->first_child && !expanded_.count(c)) expand_now.push_back(c);
  });
  for (TreeItem* it : collapse_now) collapse(model_->indexOf(it));
  for (TreeItem* it : expand_now) expand(model_->indexOf(it));
}

void TreeControlView::pullSelection() {
  TreeItem* s = tv_->selection && tv_->selection->alive ? tv_->selection : nullptr;
  // Compared with what the view shows: removing rows can move Qt's selection.
  const QModelIndexList shown_list = selectionModel()->selectedIndexes();
  TreeItem* shown = shown_list.isEmpty() ? nullptr : model_->itemAt(shown_list.first());
  if (s == selection_ && s == shown) return;
  selection_ = s;
  applying_ = true;
  if (!s) {
    selectionModel()->clear();
  } else {
    const QModelIndex i = model_->indexOf(s);
    selectionModel()->setCurrentIndex(i, QItemSelectionModel::ClearAndSelect);
    scrollTo(i);
  }
  applying_ = false;
}

void TreeControlView::pushSelection() {
  if (applying_) return;
  TreeItem* item = model_->itemAt(selectionModel()->currentIndex());
  if (item && !item->alive) return;
  selection_ = item;
  TreeView_SelectItem(tv_, item);
  version_ = tv_->version;
}

QStyleOptionViewItem TreeControlView::itemOption(const QModelIndex& index) const {
  QStyleOptionViewItem opt;
  initViewItemOption(&opt);
  opt.rect = visualRect(index);
  if (selectionModel()->isSelected(index)) opt.state |= QStyle::State_Selected;
  if (index == currentIndex() && hasFocus()) opt.state |= QStyle::State_HasFocus;
  delegate_->styleOption(&opt, index);
  return opt;
}

Hit TreeControlView::hitAt(const QPoint& pos) const {
  Hit h;
  const QModelIndex idx = indexAt(pos);
  if (!idx.isValid()) return h;
  h.item = model_->itemAt(idx);
  const QStyleOptionViewItem opt = itemOption(idx);
  // The expand button, just left of the item, opens or closes it and selects nothing.
  if (pos.x() < opt.rect.left() && pos.x() >= opt.rect.left() - indentation()) return h;
  h.part = PartOf(style(), opt, this, pos);
  return h;
}

void TreeControlView::mousePressEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton && clicks_.press(hitAt(e->position().toPoint()))) {
    setFocus(Qt::MouseFocusReason);
    e->accept();
    return;
  }
  QTreeView::mousePressEvent(e);
}

void TreeControlView::mouseReleaseEvent(QMouseEvent* e) {
  QTreeView::mouseReleaseEvent(e);
  if (e->button() == Qt::LeftButton) clicks_.release();
}

void TreeControlView::mouseDoubleClickEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton && clicks_.doubleClick(hitAt(e->position().toPoint()))) {
    e->accept();
    return;
  }
  QTreeView::mouseDoubleClickEvent(e);
}

}  // namespace gui
