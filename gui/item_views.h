// Qt item models over the platform's list and tree models, and the views
// that turn clicks into notifications. The adapters never copy item data:
// texts, images and check states are read from the control model at paint
// time. What they keep is the shape Qt has been told about (a row count, a
// child array per parent Qt has looked into), so that Qt never sees a change
// before it has been announced, and the control model can be written at any
// time between two synchronisations.
#pragma once
#include <QAbstractItemModel>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QTreeView>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/window.h"

namespace gui {

// Roles the delegate reads to ask the engine's custom-draw rules.
inline constexpr int kDrawDataRole = Qt::UserRole + 1;  // quintptr: the row's or item's data
inline constexpr int kLevelRole = Qt::UserRole + 2;     // int: tree level

class ListModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  explicit ListModel(ListView* lv, QObject* parent = nullptr);
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  // Announces row and column changes of the control model. Returns true when
  // the shape changed (the model was reset).
  bool syncShape();
  // Repaints every row (texts and states are read live).
  void refreshAll();
  ListView* control() const { return lv_; }
  // The live row, or null past the control's rows.
  const ListRow* liveRow(int row) const;

 private:
  ListView* lv_;
  int rows_ = 0;
  int cols_ = 0;
  std::uint64_t rows_version_ = 0;
};

class TreeModel : public QAbstractItemModel {
  Q_OBJECT
 public:
  explicit TreeModel(TreeView* tv, QObject* parent = nullptr);
  QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
  QModelIndex parent(const QModelIndex& index) const override;
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  bool hasChildren(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  TreeItem* itemAt(const QModelIndex& index) const;
  // The index of a live item, loading the child arrays on its path; invalid for null.
  QModelIndex indexOf(TreeItem* item) const;
  // Announces the child-list changes collected by the control since the last
  // call, then lets the control free what was deleted.
  void syncStructure();
  TreeView* control() const { return tv_; }
  // Calls f(parent, children) for every parent whose children Qt has loaded.
  template <class F>
  void forEachLoaded(F&& f) const {
    for (const auto& [parent, node] : nodes_) f(parent, node.children);
  }
  std::size_t loadedParents() const { return nodes_.size(); }

 private:
  struct Node {
    std::vector<TreeItem*> children;
    int row_hint = 0;  // the item's row in its parent's array, checked before use
  };
  TreeItem* parentOf(const TreeItem* item) const;
  Node& node(TreeItem* parent) const;
  int rowOf(TreeItem* item) const;
  QModelIndex indexOfLoaded(TreeItem* item) const;
  void applyChildren(TreeItem* parent, Node& node);
  void dropSubtree(TreeItem* item);

  TreeView* tv_;
  mutable std::unordered_map<TreeItem*, Node> nodes_;
};

// Draws items in the colours and fonts that the control's owner gives in
// answer to NM_CUSTOMDRAW notifications.
class ItemDelegate : public QStyledItemDelegate {
  Q_OBJECT
 public:
  ItemDelegate(Dialog* dlg, int control_id, bool tree, bool show_sel_always, QObject* parent = nullptr);
  // The option as the item would be painted (for hit tests and tests).
  void styleOption(QStyleOptionViewItem* option, const QModelIndex& index) const { initStyleOption(option, index); }
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;

 private:
  // Whether the owner asked to hear of every item, from its pre-paint answer
  // (asked at the first paint, once the dialog runs).
  bool ItemDraw() const;
  Dialog* dlg_;
  int control_id_;
  mutable int item_draw_ = -1;
  bool tree_;
  bool show_sel_always_;
};

// Turns a view's mouse presses, releases and double clicks into the
// notifications a list or tree control sends: NM_CLICK on release with the
// hit taken at the press, NM_DBLCLK at once (its release sends nothing). A
// press on a check box is the engine's alone: the view must not act on it.
class ClickNotifier {
 public:
  ClickNotifier(Dialog* dlg, int control_id) : dlg_(dlg), id_(control_id) {}
  // Returns true when the view must leave the press alone.
  bool press(const Hit& h);
  void release();
  // Returns true when the view must leave the double click alone.
  bool doubleClick(const Hit& h);

 private:
  Dialog* dlg_;
  int id_;
  bool pressed_ = false;
  bool swallow_release_ = false;
  Hit press_hit_;
};

// A list view control: report view with check boxes, images and grid lines.
class ListControlView : public QTableView {
  Q_OBJECT
 public:
  ListControlView(Dialog* dlg, ListView* lv, unsigned styles, QWidget* parent);
  // Brings the view up to the control model; cheap when nothing changed.
  void sync();
  Hit hitAt(const QPoint& viewport_pos) const;
  QStyleOptionViewItem itemOption(const QModelIndex& index) const;
  ListModel* listModel() const { return model_; }

 protected:
  void mousePressEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void mouseDoubleClickEvent(QMouseEvent* e) override;

 private:
  void pullSelection();
  void pushSelection();
  void applyColumns();

  Dialog* dlg_;
  ListView* lv_;
  ListModel* model_;
  ItemDelegate* delegate_;
  std::uint64_t version_ = ~0ull;
  std::uint32_t ex_styles_ = ~0u;
  std::size_t columns_ = ~std::size_t{0};
  bool applying_ = false;
  ClickNotifier clicks_;
};

// A tree view control: lines, buttons, optional check boxes and images.
class TreeControlView : public QTreeView {
  Q_OBJECT
 public:
  TreeControlView(Dialog* dlg, TreeView* tv, unsigned styles, QWidget* parent);
  void sync();
  Hit hitAt(const QPoint& viewport_pos) const;
  QStyleOptionViewItem itemOption(const QModelIndex& index) const;
  TreeModel* treeModel() const { return model_; }

 protected:
  void mousePressEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void mouseDoubleClickEvent(QMouseEvent* e) override;

 private:
  void onExpanded(const QModelIndex& index);
  void onCollapsed(const QModelIndex& index);
  void pullExpansion();
  void pullSelection();
  void pushSelection();

  Dialog* dlg_;
  TreeView* tv_;
  TreeModel* model_;
  ItemDelegate* delegate_;
  std::uint64_t version_ = ~0ull;
  TreeItem* selection_ = nullptr;  // the control's selection the view shows
  std::unordered_set<TreeItem*> expanded_;
  bool applying_ = false;
  ClickNotifier clicks_;
};


}  // namespace gui
