// Windows built from dialog and menu templates, and their synchronisation
// with the control models.
#pragma once
#include <QFont>
#include <QRect>
#include <QWidget>
#include <cstdint>
#include <vector>

#include "platform/window.h"

class QAction;
class QMenuBar;

namespace gui {

// The dialog font and its base units, as the dialog manager computes them:
// the average advance of A-Z a-z (rounded) and the font's height.
struct DialogUnits {
  QFont font;
  int base_x = 0;
  int base_y = 0;
  // Each of x, y, w and h converted on its own, rounded.
  QRect toPixels(int x, int y, int w, int h) const;
};
DialogUnits DialogUnitsFor(const DialogTemplate& t);

class DialogWindow : public QWidget {
  Q_OBJECT
 public:
  DialogWindow(Dialog* dlg, QWidget* parent);
  ~DialogWindow() override;
  Dialog* dialog() const { return dlg_; }
  // Brings every widget up to its model; cheap when nothing changed.
  void sync();
  // The widget built for a control id (the first one for repeated ids).
  QWidget* widgetFor(int control_id) const;
  QWidget* client() const { return client_; }
  QMenuBar* menuBar() const { return menubar_; }
  QAction* actionFor(int command_id) const;
  const DialogUnits& units() const { return units_; }

 protected:
  void closeEvent(QCloseEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;

 private:
  struct Binding {
    Control* control;
    QWidget* widget;
    std::uint64_t version;
    int radio_group = -1;  // radio buttons: the binding that starts their group
  };
  void build();
  void buildMenu();
  void syncControl(Binding& b);
  void syncMenu();
  void buttonClicked(std::size_t slot);
  void comboChosen(std::size_t slot, int index);

  Dialog* dlg_;
  DialogUnits units_;
  QWidget* client_ = nullptr;
  QMenuBar* menubar_ = nullptr;
  std::vector<Binding> bindings_;
  std::vector<std::vector<QAction*>> menu_actions_;  // per pop-up, per item (null for separators)
  std::uint64_t dlg_version_ = ~0ull;
  std::uint64_t menu_version_ = ~0ull;
  int default_button_ = 0;
};

inline DialogWindow* WindowOf(const Dialog* dlg) { return dlg ? static_cast<DialogWindow*>(dlg->frontend) : nullptr; }

}  // namespace gui
