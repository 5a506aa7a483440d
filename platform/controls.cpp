#include "platform/controls.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstring>

#include "platform/frontend.h"

// ---- Image list ----------------------------------------------------------------

ImageList* ImageList_Create(int cx, int cy) {
  if (!fe_HaveImages()) return nullptr;
  auto* list = new ImageList;
  list->cx = cx;
  list->cy = cy;
  return list;
}

int ImageList_Add(ImageList* list, int bitmap_id) {
  if (!list) return -1;
  list->bitmaps.push_back(bitmap_id);
  return static_cast<int>(list->bitmaps.size()) - 1;
}

void ImageList_Destroy(ImageList* list) { delete list; }

// ---- List view ------------------------------------------------------------------

namespace {
// Row versions never repeat, across lists too, so a cache keyed by one can
// never mistake a new list at an old address for the old one.
std::uint64_t NextRowsVersion() {
  static std::uint64_t version = 0;
  return ++version;
}
bool ValidRow(const ListView* lv, int row) { return lv && row >= 0 && row < static_cast<int>(lv->rows.size()); }
void Touch(Control* c) { ++c->version; }
}  // namespace

int ListView_InsertColumn(ListView* lv, int index, const ListColumn& col) {
  if (!lv || index < 0) return -1;
  index = std::min(index, static_cast<int>(lv->columns.size()));
  lv->columns.insert(lv->columns.begin() + index, col);
  Touch(lv);
  return index;
}

int ListView_InsertItem(ListView* lv, int index, const std::string& text, int image, void* data) {
  if (!lv || index < 0) return -1;
  index = std::min(index, static_cast<int>(lv->rows.size()));
  ListRow row;
  row.texts.push_back(text);
  row.image = image;
  row.data = data;
  if (lv->ex_styles & LVS_EX_CHECKBOXES) row.check_state = 1;
  lv->rows.insert(lv->rows.begin() + index, std::move(row));
  lv->rows_version = NextRowsVersion();
  Touch(lv);
  return index;
}

bool ListView_SetItemText(ListView* lv, int row, int sub_item, const std::string& text) {
  if (!ValidRow(lv, row) || sub_item < 0) return false;
  auto& texts = lv->rows[row].texts;
  if (static_cast<int>(texts.size()) <= sub_item) texts.resize(sub_item + 1);
  texts[sub_item] = text;
  Touch(lv);
  return true;
}

std::string ListView_GetItemText(const ListView* lv, int row, int sub_item) {
  if (!ValidRow(lv, row) || sub_item < 0) return {};
  const auto& texts = lv->rows[row].texts;
  return sub_item < static_cast<int>(texts.size()) ? texts[sub_item] : std::string();
}

bool ListView_DeleteItem(ListView* lv, int row) {
  if (!ValidRow(lv, row)) return false;
  lv->rows.erase(lv->rows.begin() + row);
  lv->rows_version = NextRowsVersion();
  Touch(lv);
  return true;
}

void ListView_DeleteAllItems(ListView* lv) {
  if (!lv) return;
  lv->rows.clear();
  lv->rows_version = NextRowsVersion();
  Touch(lv);
}

int ListView_GetItemCount(const ListView* lv) { return lv ? static_cast<int>(lv->rows.size()) : 0; }

void* ListView_GetItemData(const ListView* lv, int row) { return ValidRow(lv, row) ? lv->rows[row].data : nullptr; }

bool ListView_SetItemState(ListView* lv, int row, std::uint32_t state, std::uint32_t mask) {
  if (!lv) return false;
  auto apply = [&](ListRow& r) { r.state = (r.state & ~mask) | (state & mask); };
  if (row == -1) {
    for (ListRow& r : lv->rows) apply(r);
  } else {
    if (!ValidRow(lv, row)) return false;
    // One selected and focused row at a time where the list allows one.
    if (lv->single_select && (state & mask & LVIS_SELECTED))
      for (ListRow& r : lv->rows) r.state &= ~LVIS_SELECTED;
    if (state & mask & LVIS_FOCUSED)
      for (ListRow& r : lv->rows) r.state &= ~LVIS_FOCUSED;
    apply(lv->rows[row]);
  }
  Touch(lv);
  return true;
}

std::uint32_t ListView_GetItemState(const ListView* lv, int row, std::uint32_t mask) {
  return ValidRow(lv, row) ? (lv->rows[row].state & mask) : 0;
}

bool ListView_SetCheckState(ListView* lv, int row, bool checked) {
  if (!ValidRow(lv, row)) return false;
  lv->rows[row].check_state = checked ? 2 : 1;
  Touch(lv);
  return true;
}

bool ListView_GetCheckState(const ListView* lv, int row) { return ValidRow(lv, row) && lv->rows[row].check_state == 2; }

void ListView_SetExtendedStyle(ListView* lv, std::uint32_t ex) {
  if (!lv) return;
  const bool had_checks = lv->ex_styles & LVS_EX_CHECKBOXES;
  lv->ex_styles = ex;
  if (!had_checks && (ex & LVS_EX_CHECKBOXES))
    for (ListRow& r : lv->rows)
      if (r.check_state == 0) r.check_state = 1;
  Touch(lv);
}

void ListView_SetImageList(ListView* lv, ImageList* images) {
  if (!lv) return;
  lv->small_images = images;
  Touch(lv);
}

// ---- Tree view ------------------------------------------------------------------

namespace {

TreeItem* ParentOrRoot(TreeView* tv, TreeItem* parent) { return parent ? parent : &tv->root; }

void MarkDirty(TreeView* tv, TreeItem* parent) {
  // Only a front end that caches child lists needs to hear which ones changed.
  if (!parent->children_dirty && fe_HoldsTreeItems()) {
    parent->children_dirty = true;
    tv->dirty_parents.push_back(parent);
  }
  ++tv->structure_version;
  ++tv->version;
}

void LinkAfter(TreeItem* parent, TreeItem* prev, TreeItem* item) {
  item->parent = parent;
  item->prev_sibling = prev;
  item->next_sibling = prev ? prev->next_sibling : parent->first_child;
  if (item->next_sibling)
    item->next_sibling->prev_sibling = item;
  else
    parent->last_child = item;
  if (prev)
    prev->next_sibling = item;
  else
    parent->first_child = item;
  ++parent->child_count;
}

void Unlink(TreeItem* item) {
  TreeItem* parent = item->parent;
  parent->sort_index.reset();
  if (parent->first_child == item && parent->last_child == item) parent->children_unsorted = false;
  if (item->prev_sibling)
    item->prev_sibling->next_sibling = item->next_sibling;
  else
    parent->first_child = item->next_sibling;
  if (item->next_sibling)
    item->next_sibling->prev_sibling = item->prev_sibling;
  else
    parent->last_child = item->prev_sibling;
  item->prev_sibling = item->next_sibling = nullptr;
  --parent->child_count;
}

// ASCII letters only, whatever the process locale: the order of the tree must
// not depend on the environment a front end was started in.
unsigned char Fold(unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + ('a' - 'A')) : c; }

// Fold on eight bytes at once: each byte from 'A' to 'Z' gains 0x20. A byte's
// low seven bits plus 0x3F (or 0x25) carry into its top bit exactly when they
// are at least 'A' (or above 'Z'), and never into the next byte.
std::uint64_t FoldWord(std::uint64_t w) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  const std::uint64_t low7 = w & (0x7F * kOnes);
  const std::uint64_t upper = (low7 + 0x3F * kOnes) & ~(low7 + 0x25 * kOnes) & ~w & (0x80 * kOnes);
  return w | (upper >> 2);
}

constexpr std::size_t kSortIndexThreshold = 8;

// The first sixteen bytes of a text folded, first byte highest, zeros past
// the end: where two keys differ they order the texts as TreeView_CompareText
// does (a shorter text's zeros sort before any byte of a longer one's).
// Sixteen, not eight: names in one folder often share their first eight
// bytes ("IMG_2023", "Folder 0"), and every tie costs a read of the sibling.
TreeItem::SortKey MakeSortKey(const std::string& text) {
  auto word_at = [&](std::size_t at) {
    std::uint64_t word = 0;
    if (text.size() > at) std::memcpy(&word, text.data() + at, std::min<std::size_t>(text.size() - at, 8));
    word = FoldWord(word);
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
    return word;
  };
  return {word_at(0), word_at(8)};
}

// The sibling after which a sorted insertion goes: after every sibling whose
// text sorts before or equal to the new one, found walking back from the end.
// With a sort index, also where the new item goes in it.
TreeItem* SortedInsertPoint(TreeItem* p, const std::string& text, TreeItem::SortKey& key, std::size_t& index_pos) {
  if (!p->sort_index && !p->children_unsorted) {
    if (p->child_count >= kSortIndexThreshold) {
      auto index = std::make_unique<std::vector<TreeItem::SortEntry>>();
      index->reserve(p->child_count + 1);
      bool sorted = true;
      for (TreeItem* c = p->first_child; c; c = c->next_sibling) {
        if (!index->empty() && TreeView_CompareText(index->back().item->text, c->text) > 0) sorted = false;
        index->push_back({MakeSortKey(c->text), c});
      }
      if (sorted)
        p->sort_index = std::move(index);
      else
        p->children_unsorted = true;
    }
  }
  if (p->sort_index) {
    // In a sorted list the walk's answer is the upper bound.
    key = MakeSortKey(text);
    auto& v = *p->sort_index;
    auto it = std::upper_bound(v.begin(), v.end(), key, [&](const TreeItem::SortKey& k, const TreeItem::SortEntry& c) {
      return k != c.key ? k < c.key : TreeView_CompareText(text, c.item->text) < 0;
    });
    index_pos = static_cast<std::size_t>(it - v.begin());
    return it == v.begin() ? nullptr : (it - 1)->item;
  }
  TreeItem* prev = p->last_child;
  while (prev && TreeView_CompareText(prev->text, text) > 0) prev = prev->prev_sibling;
  return prev;
}

}  // namespace

TreeView::~TreeView() {
  // Free the live items without recursion: a deep tree must not overflow the stack.
  TreeItem* item = root.first_child;
  while (item) {
    if (item->first_child) {
      item = item->first_child;
      continue;
    }
    TreeItem* parent = item->parent;
    Unlink(item);
    delete item;
    item = parent == &root ? root.first_child : parent;
  }
}

int TreeView_CompareText(const std::string& a, const std::string& b) {
  const std::size_t n = std::min(a.size(), b.size());
  std::size_t i = 0;
  // Names often share a long prefix: skip it eight bytes at a time while the
  // words are equal once folded, then find the difference byte by byte.
  for (; i + 8 <= n; i += 8) {
    std::uint64_t wa, wb;
    std::memcpy(&wa, a.data() + i, 8);
    std::memcpy(&wb, b.data() + i, 8);
    if (wa == wb) continue;
    wa = FoldWord(wa);
    wb = FoldWord(wb);
    if (wa == wb) continue;
    if constexpr (std::endian::native != std::endian::little) break;
    // The lowest differing byte is the first in the text.
    const int shift = std::countr_zero(wa ^ wb) & ~7;
    return ((wa >> shift) & 0xFF) < ((wb >> shift) & 0xFF) ? -1 : 1;
  }
  for (; i < n; ++i) {
    const unsigned char ca = Fold(static_cast<unsigned char>(a[i]));
    const unsigned char cb = Fold(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

TreeItem* TreeView_InsertItem(TreeView* tv, TreeItem* parent, TreeInsert where, std::string text, int image,
                              int selected_image, void* data) {
  if (!tv) return nullptr;
  TreeItem* p = ParentOrRoot(tv, parent);
  if (!p->alive) return nullptr;
  auto* item = new TreeItem;
  item->text = std::move(text);
  item->image = image;
  item->selected_image = selected_image;
  item->data = data;
  if (tv->check_boxes) item->check_state = 1;
  TreeItem* prev = nullptr;
  std::size_t index_pos = 0;
  TreeItem::SortKey key{};
  switch (where) {
    case TreeInsert::First:
      break;
    case TreeInsert::Last:
      prev = p->last_child;
      break;
    case TreeInsert::Sort:
      prev = SortedInsertPoint(p, item->text, key, index_pos);
      break;
  }
  LinkAfter(p, prev, item);
  if (p->sort_index) {
    if (where == TreeInsert::Sort)
      p->sort_index->insert(p->sort_index->begin() + static_cast<std::ptrdiff_t>(index_pos), TreeItem::SortEntry{key, item});
    else
      p->sort_index.reset();  // rebuilt, or found out of order, at the next sorted insert
  }
  ++tv->item_count;
  MarkDirty(tv, p);
  return item;
}

void TreeView_DeleteItem(TreeView* tv, TreeItem* item) {
  if (!tv) return;
  if (!item) {
    TreeView_DeleteAllItems(tv);
    return;
  }
  if (!item->alive || item == &tv->root) return;
  TreeItem* parent = item->parent;
  Unlink(item);
  MarkDirty(tv, parent);
  // Walk the detached subtree iteratively; the items stay allocated (dead)
  // until the front end has dropped its references to them.
  const bool defer = fe_HoldsTreeItems();
  std::vector<TreeItem*> stack{item};
  while (!stack.empty()) {
    TreeItem* it = stack.back();
    stack.pop_back();
    for (TreeItem* c = it->first_child; c; c = c->next_sibling) stack.push_back(c);
    it->alive = false;
    if (tv->selection == it) tv->selection = nullptr;
    --tv->item_count;
    if (defer) {
      tv->graveyard.emplace_back(it);
    } else {
      if (it->children_dirty) std::erase(tv->dirty_parents, it);
      delete it;
    }
  }
}

void TreeView_DeleteAllItems(TreeView* tv) { TreeView_DeleteAllItems(tv, nullptr, nullptr); }

void TreeView_DeleteAllItems(TreeView* tv, void (*visit)(void* data, void* context), void* context) {
  if (!tv || !tv->root.first_child) return;
  if (fe_HoldsTreeItems()) {
    // The items go to the graveyard one subtree at a time, as any deletion.
    if (visit)
      for (TreeItem* it = tv->root.first_child; it;) {
        visit(it->data, context);
        if (it->first_child) {
          it = it->first_child;
          continue;
        }
        while (it && !it->next_sibling) it = it->parent == &tv->root ? nullptr : it->parent;
        if (it) it = it->next_sibling;
      }
    while (tv->root.first_child) TreeView_DeleteItem(tv, tv->root.first_child);
    return;
  }
  // Nothing holds the items: free them in one walk, children before their
  // parent, without a stack (a deep tree must not overflow it).
  TreeItem* item = tv->root.first_child;
  while (item) {
    if (item->first_child) {
      item = item->first_child;
      continue;
    }
    TreeItem* parent = item->parent;
    TreeItem* next = item->next_sibling;
    if (visit) visit(item->data, context);
    if (item->children_dirty) std::erase(tv->dirty_parents, item);
    delete item;
    --tv->item_count;
    if (next) {
      item = next;
    } else {
      // The parent's children are all gone: it is a leaf now.
      parent->first_child = parent->last_child = nullptr;
      parent->child_count = 0;
      parent->sort_index.reset();
      parent->children_unsorted = false;
      item = parent == &tv->root ? nullptr : parent;
    }
  }
  tv->selection = nullptr;
  MarkDirty(tv, &tv->root);
}

TreeItem* TreeView_GetRoot(const TreeView* tv) { return tv ? tv->root.first_child : nullptr; }
TreeItem* TreeView_GetChild(const TreeItem* item) { return item ? item->first_child : nullptr; }
TreeItem* TreeView_GetNextSibling(const TreeItem* item) { return item ? item->next_sibling : nullptr; }

TreeItem* TreeView_GetParent(const TreeView* tv, const TreeItem* item) {
  if (!tv || !item || item->parent == &tv->root) return nullptr;
  return item->parent;
}

std::size_t TreeView_GetCount(const TreeView* tv) { return tv ? tv->item_count : 0; }

bool TreeView_Contains(const TreeView* tv, const TreeItem* item) {
  if (!tv || !item) return false;
  const TreeItem* it = tv->root.first_child;
  while (it) {
    if (it == item) return true;
    if (it->first_child) {
      it = it->first_child;
      continue;
    }
    while (it && !it->next_sibling) it = it->parent == &tv->root ? nullptr : it->parent;
    if (it) it = it->next_sibling;
  }
  return false;
}

int TreeView_GetLevel(const TreeItem* item) {
  int level = -1;
  for (const TreeItem* p = item ? item->parent : nullptr; p; p = p->parent) ++level;
  return level;
}

void TreeView_SelectItem(TreeView* tv, TreeItem* item) {
  if (!tv) return;
  if (tv->selection) tv->selection->state &= ~TVIS_SELECTED;
  tv->selection = (item && item->alive) ? item : nullptr;
  if (tv->selection) tv->selection->state |= TVIS_SELECTED;
  ++tv->version;
}

void TreeView_SetItemText(TreeView* tv, TreeItem* item, const std::string& text) {
  if (!tv || !item || !item->alive) return;
  item->text = text;
  // The siblings' order by text may no longer hold.
  item->parent->sort_index.reset();
  item->parent->children_unsorted = false;
  ++tv->version;
}

void TreeView_SetCheckState(TreeView* tv, TreeItem* item, bool checked) {
  if (!tv || !item || !item->alive) return;
  item->check_state = checked ? 2 : 1;
  ++tv->version;
}

bool TreeView_GetCheckState(const TreeItem* item) { return item && item->check_state == 2; }

void TreeView_Expand(TreeView* tv, TreeItem* item, bool expand) {
  if (!tv || !item || !item->alive) return;
  if (expand)
    item->state |= TVIS_EXPANDED;
  else
    item->state &= ~TVIS_EXPANDED;
  ++tv->version;
}

void TreeView_SetImageList(TreeView* tv, ImageList* images) {
  if (!tv) return;
  tv->normal_images = images;
  ++tv->version;
}

std::vector<TreeItem*> TreeView_TakeDirtyParents(TreeView* tv) {
  std::vector<TreeItem*> out;
  if (!tv) return out;
  out.swap(tv->dirty_parents);
  for (TreeItem* p : out) p->children_dirty = false;
  return out;
}

void TreeView_ReleaseDeleted(TreeView* tv) {
  if (!tv) return;
  // Dead parents may still sit in the dirty list; drop them before freeing.
  std::erase_if(tv->dirty_parents, [](TreeItem* p) { return !p->alive; });
  tv->graveyard.clear();
}

// ---- Progress bar -------------------------------------------------------------

void Progress_SetRange32(ProgressBar* pb, std::int32_t low, std::int32_t high) {
  if (!pb) return;
  pb->low = low;
  pb->high = high;
  pb->pos = std::clamp(pb->pos, std::min(low, high), std::max(low, high));
  ++pb->version;
}

void Progress_SetStep(ProgressBar* pb, std::int32_t step) {
  if (!pb) return;
  pb->step = step;
}

void Progress_StepIt(ProgressBar* pb) {
  if (!pb) return;
  // A bar that reaches its end wraps to the start, as the common control does.
  std::int64_t next = static_cast<std::int64_t>(pb->pos) + pb->step;
  if (next > pb->high) next = pb->low + (next - pb->high);
  if (next < pb->low) next = pb->low;
  pb->pos = static_cast<std::int32_t>(std::min<std::int64_t>(next, pb->high));
  ++pb->version;
}

void Progress_SetPos(ProgressBar* pb, std::int32_t pos) {
  if (!pb) return;
  pb->pos = std::clamp(pos, std::min(pb->low, pb->high), std::max(pb->low, pb->high));
  ++pb->version;
}

void Progress_SetBarColour(ProgressBar* pb, std::uint32_t colour) {
  if (!pb) return;
  pb->bar_colour = colour;
  ++pb->version;
}

// ---- Menu ------------------------------------------------------------------------

bool Menu_EnableByPosition(Menu* menu, int popup, int position, bool enable) {
  if (!menu || popup < 0 || popup >= static_cast<int>(menu->popups.size())) return false;
  auto& items = menu->popups[popup].items;
  if (position < 0 || position >= static_cast<int>(items.size())) return false;
  items[position].enabled = enable;
  ++menu->version;
  return true;
}

bool Menu_EnableCommand(Menu* menu, int id, bool enable) {
  if (!menu) return false;
  for (auto& p : menu->popups)
    for (auto& it : p.items)
      if (it.id == id && id != 0) {
        it.enabled = enable;
        ++menu->version;
        return true;
      }
  return false;
}

const MenuItem* Menu_FindCommand(const Menu* menu, int id) {
  if (!menu) return nullptr;
  for (const auto& p : menu->popups)
    for (const auto& it : p.items)
      if (it.id == id && id != 0) return &it;
  return nullptr;
}

// ---- Text helpers ---------------------------------------------------------------

void SetControlText(Control* c, const std::string& text) {
  if (!c || c->text == text) return;
  c->text = text;
  ++c->version;
}

void EnableControl(Control* c, bool enable) {
  if (!c || c->enabled == enable) return;
  c->enabled = enable;
  ++c->version;
}
