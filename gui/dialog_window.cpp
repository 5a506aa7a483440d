#include "gui/dialog_window.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShortcut>
#include <algorithm>
#include <cmath>

#include "gui/item_views.h"
#include "gui/pictures.h"
#include "gui/text.h"
#include "res/ids.h"

namespace gui {
namespace {

// MulDiv: the product divided with rounding, as the dialog manager converts units.
int MulDiv(int value, int mul, int div) {
  const long long p = static_cast<long long>(value) * mul;
  return static_cast<int>(p >= 0 ? (p + div / 2) / div : -((-p + div / 2) / div));
}

// Accelerators of the dialogs that have them.
struct Accelerator {
  int template_id;
  int key;
  int command;
};
constexpr Accelerator kAccelerators[] = {{IDD_MAIN, Qt::Key_F12, IDM_SCAN_PHYSICAL}};

QColor FromBgr(std::uint32_t bgr) { return QColor(int(bgr & 0xFF), int((bgr >> 8) & 0xFF), int((bgr >> 16) & 0xFF)); }

// A flat bar in the engine's colour on white, inside a grey line. Painted
// here rather than through a style sheet: QProgressBar repaints at once on
// every value change, and a style-sheet bar costs a millisecond a paint
// (and a re-polish at each colour change) in the middle of a scan.
class FlatProgressBar : public QProgressBar {
 public:
  // Every pixel is painted here: without saying so, each of QProgressBar's
  // immediate repaints also repaints the group box and labels behind it,
  // which cost the window most of its time during a fast scan.
  explicit FlatProgressBar(QWidget* parent) : QProgressBar(parent) { setAttribute(Qt::WA_OpaquePaintEvent); }
  // An invalid colour: the palette's highlight.
  void setChunkColour(const QColor& c) {
    if (c == chunk_) return;
    chunk_ = c;
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    const QRect r = rect();
    p.fillRect(r, QColor(0x80, 0x80, 0x80));
    const QRect inner = r.adjusted(1, 1, -1, -1);
    p.fillRect(inner, Qt::white);
    const qint64 span = qint64(maximum()) - minimum();
    if (span <= 0 || inner.width() <= 0) return;
    const qint64 filled = (qint64(value()) - minimum()) * inner.width() / span;
    if (filled > 0)
      p.fillRect(QRect(inner.left(), inner.top(), int(filled), inner.height()),
                 chunk_.isValid() ? chunk_ : palette().color(QPalette::Highlight));
  }

 private:
  QColor chunk_;
};

void SyncProgress(FlatProgressBar* bar, const ProgressBar* pb) {
  const int lo = std::min(pb->low, pb->high), hi = std::max(pb->low, pb->high);
  // Out-of-range positions are clamped, as the common control does; Qt would ignore them.
  const int pos = std::clamp(pb->pos, lo, hi);
  if (bar->minimum() != lo || bar->maximum() != hi || bar->value() != pos) {
    // QProgressBar paints itself at once when its value moves, half of what
    // a refresh during a scan cost; the refresh paints the window right
    // after anyway, the bar with it.
    bar->setUpdatesEnabled(false);
    if (bar->minimum() != lo || bar->maximum() != hi) bar->setRange(lo, hi);
    bar->setValue(pos);
    bar->setUpdatesEnabled(true);
  }
  const std::uint32_t bgr = pb->bar_colour;
  bar->setChunkColour(bgr == 0xFFFFFFFFu ? QColor() : FromBgr(bgr));
}

// The engine's pie-chart progress: a filled pie sweeping clockwise from angle
// 0 by the share done, with its percentage, centred in the control.
class PieWidget : public QWidget {
 public:
  PieWidget(const PieChart* pie, QWidget* parent) : QWidget(parent), pie_(pie) {}

 protected:
  void paintEvent(QPaintEvent*) override {
    if (!pie_ || pie_->fraction <= 0) return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPen pen(FromBgr(pie_->pen_colour), std::max(1, pie_->pen_width));
    if (pie_->pen_dash_dot) pen.setStyle(Qt::DashDotLine);
    p.setPen(pen);
    p.setBrush(FromBgr(pie_->brush_colour));
    const int r = std::max(1, std::min({pie_->radius, width() / 2 - 2, height() / 2 - 2}));
    const QRect box(width() / 2 - r, height() / 2 - r, 2 * r, 2 * r);
    // Qt counts angles anticlockwise in sixteenths of a degree.
    const double fraction = std::min(1.0, pie_->fraction);
    p.drawPie(box, 0, -static_cast<int>(std::lround(fraction * 360.0 * 16.0)));
    p.setPen(FromBgr(pie_->text_colour));
    p.setBackground(FromBgr(pie_->brush_colour));
    p.setBackgroundMode(Qt::OpaqueMode);
    p.drawText(rect(), Qt::AlignCenter, FromEngineText(pie_->label));
  }

 private:
  const PieChart* pie_;
};

// A button control answers clicks anywhere in its rectangle, not only on its
// box and text as Qt's buttons do.
template <class Base>
class WholeRectButton : public Base {
 public:
  using Base::Base;

 protected:
  bool hitButton(const QPoint& pos) const override { return this->rect().contains(pos); }
};

void SyncCombo(QComboBox* box, const Control& c) {
  const QSignalBlocker quiet(box);
  bool same = box->count() == static_cast<int>(c.items.size());
  for (int i = 0; same && i < box->count(); ++i) same = box->itemText(i) == FromEngineText(c.items[i]);
  if (!same) {
    box->clear();
    for (const std::string& item : c.items) box->addItem(FromEngineText(item));
  }
  const int sel = c.selected >= 0 && c.selected < box->count() ? c.selected : -1;
  if (box->currentIndex() != sel) box->setCurrentIndex(sel);
}

}  // namespace

QRect DialogUnits::toPixels(int x, int y, int w, int h) const {
  return QRect(MulDiv(x, base_x, 4), MulDiv(y, base_y, 8), MulDiv(w, base_x, 4), MulDiv(h, base_y, 8));
}

DialogUnits DialogUnitsFor(const DialogTemplate& t) {
  DialogUnits u;
  // Arial's metric twin; points at 96 dpi, so 8 pt is 11 px (rounded as GDI does).
  const QString face = t.font_face == "Arial" || t.font_face == "MS Sans Serif" || t.font_face == "MS Shell Dlg"
                           ? QStringLiteral("Liberation Sans")
                           : FromLatin1(t.font_face);
  u.font = QFont(face);
  u.font.setPixelSize(std::max(1, int(std::lround(t.font_points * 96.0 / 72.0))));
  u.font.setHintingPreference(QFont::PreferFullHinting);
  const QFontMetrics fm(u.font);
  const int width = fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  u.base_x = (width / 26 + 1) / 2;
  u.base_y = fm.height();
  return u;
}

DialogWindow::DialogWindow(Dialog* dlg, QWidget* parent)
    : QWidget(parent, (parent ? Qt::Dialog : Qt::Window) | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      dlg_(dlg),
      units_(DialogUnitsFor(*dlg->tmpl)) {
  const unsigned s = dlg->tmpl->styles;
  Qt::WindowFlags f = windowFlags();
  if (s & dlgstyle::MinimizeBox) f |= Qt::WindowMinimizeButtonHint;
  if (s & dlgstyle::MaximizeBox) f |= Qt::WindowMaximizeButtonHint;
  setWindowFlags(f);
  if (parent) setWindowModality(Qt::WindowModal);
  setWindowIcon(AppIcon());
  build();
  sync();
}

DialogWindow::~DialogWindow() {
  // Qt deletes owned windows with their owner; their dialogs must not keep a dangling pointer.
  if (dlg_ && dlg_->frontend == this) dlg_->frontend = nullptr;
}

void DialogWindow::build() {
  const DialogTemplate& t = *dlg_->tmpl;
  if (dlg_->menu) buildMenu();
  client_ = new QWidget(this);
  client_->setFont(units_.font);
  client_->setAutoFillBackground(true);
  QSize client_size = units_.toPixels(0, 0, t.w, t.h).size();
  int radio_run = -1;

  for (std::size_t i = 0; i < t.controls.size(); ++i) {
    const ControlTemplate& ct = t.controls[i];
    Control* c = i < dlg_->controls.size() && dlg_->controls[i]->id == ct.id ? dlg_->controls[i].get()
                                                                            : GetDlgItem(dlg_, ct.id);
    const QRect r = units_.toPixels(ct.x, ct.y, ct.w, ct.h);
    QWidget* w = nullptr;
    const int id = ct.id;
    const std::size_t slot = bindings_.size();  // this control's binding, once made
    // Radio buttons in a row of the template form one group, as a dialog's
    // group of auto radio buttons does.
    const bool radio = ct.kind == ControlKind::RadioButton;
    radio_run = radio ? (radio_run >= 0 ? radio_run : static_cast<int>(slot)) : -1;
    switch (ct.kind) {
      case ControlKind::Static: {
        auto* label = new QLabel(FromEngineText(ct.text), client_);
        if (ct.styles & style::Sunken) {
          label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
          label->setLineWidth(1);
          label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
          label->setIndent(1);
        } else {
          label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        }
        label->setTextFormat(Qt::PlainText);
        w = label;
        break;
      }
      case ControlKind::GroupBox:
        w = new QGroupBox(FromEngineText(ct.text), client_);
        break;
      case ControlKind::Button: {
        auto* b = new QPushButton(FromEngineText(ct.text), client_);
        b->setAutoDefault(false);
        if (ct.styles & style::DefPushButton) {
          b->setDefault(true);
          default_button_ = id;
        }
        connect(b, &QPushButton::clicked, this, [this, id] { PostCommand(dlg_, std::uint32_t(id)); });
        w = b;
        break;
      }
      case ControlKind::CheckBox:
      case ControlKind::RadioButton: {
        QAbstractButton* b = ct.kind == ControlKind::CheckBox
                                 ? static_cast<QAbstractButton*>(
                                       new WholeRectButton<QCheckBox>(FromEngineText(ct.text), client_))
                                 : new WholeRectButton<QRadioButton>(FromEngineText(ct.text), client_);
        // The model decides which radio button of a group is on (buttonClicked).
        b->setAutoExclusive(false);
        connect(b, &QAbstractButton::clicked, this, [this, slot] { buttonClicked(slot); });
        w = b;
        break;
      }
      case ControlKind::Edit: {
        auto* e = new QLineEdit(client_);
        e->setReadOnly(ct.styles & style::ReadOnly);
        // The control's text is what the engine reads back, as from an edit control.
        connect(e, &QLineEdit::textEdited, this, [this, c, e](const QString& text) {
          if (!c) return;
          SetControlText(c, text.toStdString());
          for (Binding& b : bindings_)
            if (b.widget == e) b.version = c->version;
        });
        w = e;
        break;
      }
      case ControlKind::ComboBox: {
        auto* box = new QComboBox(client_);
        connect(box, &QComboBox::activated, this, [this, slot](int index) { comboChosen(slot, index); });
        w = box;
        break;
      }
      case ControlKind::ListView:
        if (c) w = new ListControlView(dlg_, static_cast<ListView*>(c), ct.styles, client_);
        break;
      case ControlKind::TreeView:
        if (c) w = new TreeControlView(dlg_, static_cast<TreeView*>(c), ct.styles, client_);
        break;
      case ControlKind::ProgressBar: {
        auto* bar = new FlatProgressBar(client_);
        bar->setTextVisible(false);
        w = bar;
        break;
      }
      case ControlKind::Pie:
        w = new PieWidget(c && c->kind == ControlKind::Pie ? static_cast<const PieChart*>(c) : nullptr, client_);
        break;
      case ControlKind::Picture: {
        auto* label = new QLabel(client_);
        const QPixmap& pm = BitmapPicture(ct.image);
        label->setPixmap(pm);
        w = label;
        break;
      }
    }
    if (!w) continue;
    w->setGeometry(r);
    // A drop-down list's template height includes its open list; closed, it
    // is as tall as its field.
    if (ct.kind == ControlKind::ComboBox) w->resize(r.width(), std::min(r.height(), w->sizeHint().height()));
    if (ct.kind == ControlKind::Picture && (ct.styles & style::Bitmap) && !BitmapPicture(ct.image).isNull()) {
      // A bitmap control takes its picture's size; the window grows rather than crop it.
      const QSize pm = BitmapPicture(ct.image).size();
      w->resize(pm);
      client_size = client_size.expandedTo(QSize(r.x() + pm.width(), r.y() + pm.height()));
    }
    w->setObjectName(QStringLiteral("ctl_%1_%2").arg(id).arg(i));
    bindings_.push_back({c, w, ~0ull, radio ? radio_run : -1});
  }

  const int menu_h = menubar_ ? menubar_->sizeHint().height() : 0;
  if (menubar_) menubar_->setGeometry(0, 0, client_size.width(), menu_h);
  client_->setGeometry(0, menu_h, client_size.width(), client_size.height());
  setFixedSize(client_size.width(), menu_h + client_size.height());

  for (const Accelerator& a : kAccelerators) {
    if (a.template_id != t.id) continue;
    const int command = a.command;
    auto* sc = new QShortcut(QKeySequence(a.key), this);
    sc->setContext(Qt::WindowShortcut);
    connect(sc, &QShortcut::activated, this, [this, command] { PostCommand(dlg_, std::uint32_t(command)); });
  }
}

void DialogWindow::buildMenu() {
  menubar_ = new QMenuBar(this);
  menubar_->setNativeMenuBar(false);
  for (const MenuPopup& p : dlg_->menu->popups) {
    QMenu* menu = menubar_->addMenu(FromEngineText(p.text));
    std::vector<QAction*> actions;
    for (const MenuItem& it : p.items) {
      if (it.id == 0) {
        menu->addSeparator();
        actions.push_back(nullptr);
        continue;
      }
      QAction* a = menu->addAction(FromEngineText(it.text));
      const int id = it.id;
      a->setData(id);
      connect(a, &QAction::triggered, this, [this, id] { PostCommand(dlg_, std::uint32_t(id)); });
      actions.push_back(a);
    }
    menu_actions_.push_back(std::move(actions));
  }
}

QWidget* DialogWindow::widgetFor(int control_id) const {
  for (const Binding& b : bindings_)
    if (b.control && b.control->id == control_id) return b.widget;
  return nullptr;
}

QAction* DialogWindow::actionFor(int command_id) const {
  for (const auto& popup : menu_actions_)
    for (QAction* a : popup)
      if (a && a->data().toInt() == command_id) return a;
  return nullptr;
}

void DialogWindow::sync() {
  if (dlg_->version != dlg_version_) {
    dlg_version_ = dlg_->version;
    setWindowTitle(FromEngineText(dlg_->title));
  }
  // Compared with the widget, not by version: disabling the owner's window
  // disables this one with it (Qt passes it on to child windows), while the
  // model still says enabled and only an explicit call enables a window again.
  if (isEnabled() != dlg_->enabled) setEnabled(dlg_->enabled);
  if (dlg_->menu && dlg_->menu->version != menu_version_) syncMenu();
  for (Binding& b : bindings_) syncControl(b);
}

void DialogWindow::syncMenu() {
  menu_version_ = dlg_->menu->version;
  const auto& popups = dlg_->menu->popups;
  for (std::size_t p = 0; p < popups.size() && p < menu_actions_.size(); ++p)
    for (std::size_t i = 0; i < popups[p].items.size() && i < menu_actions_[p].size(); ++i)
      if (QAction* a = menu_actions_[p][i]) a->setEnabled(popups[p].items[i].enabled);
}

void DialogWindow::syncControl(Binding& b) {
  Control* c = b.control;
  if (!c) return;
  // The views track their models' finer change counters themselves.
  if (c->kind == ControlKind::ListView) static_cast<ListControlView*>(b.widget)->sync();
  if (c->kind == ControlKind::TreeView) static_cast<TreeControlView*>(b.widget)->sync();
  if (c->version == b.version) return;
  b.version = c->version;
  if (b.widget->isEnabled() != c->enabled) b.widget->setEnabled(c->enabled);
  if (b.widget->isHidden() == c->visible) b.widget->setHidden(!c->visible);
  const QString text = FromEngineText(c->text);
  switch (c->kind) {
    case ControlKind::Static:
      if (auto* label = qobject_cast<QLabel*>(b.widget); label && label->text() != text) label->setText(text);
      break;
    case ControlKind::GroupBox:
      static_cast<QGroupBox*>(b.widget)->setTitle(text);
      break;
    case ControlKind::Button:
      static_cast<QAbstractButton*>(b.widget)->setText(text);
      break;
    case ControlKind::CheckBox:
    case ControlKind::RadioButton: {
      auto* button = static_cast<QAbstractButton*>(b.widget);
      button->setText(text);
      const QSignalBlocker quiet(button);
      if (button->isChecked() != (c->check == 1)) button->setChecked(c->check == 1);
      break;
    }
    case ControlKind::ComboBox:
      SyncCombo(static_cast<QComboBox*>(b.widget), *c);
      break;
    case ControlKind::Edit:
      if (auto* e = static_cast<QLineEdit*>(b.widget); e->text() != text) e->setText(text);
      break;
    case ControlKind::ProgressBar:
      SyncProgress(static_cast<FlatProgressBar*>(b.widget), static_cast<const ProgressBar*>(c));
      break;
    case ControlKind::Pie:
      b.widget->update();
      break;
    default:
      break;
  }
}

void DialogWindow::buttonClicked(std::size_t slot) {
  Binding& b = bindings_[slot];
  auto* button = static_cast<QAbstractButton*>(b.widget);
  auto set_check = [](Binding& on, int check) {
    if (on.control->check != check) {
      on.control->check = check;
      ++on.control->version;
    }
    auto* w = static_cast<QAbstractButton*>(on.widget);
    const QSignalBlocker quiet(w);
    w->setChecked(check == 1);
  };
  // The control changes first, as an auto check box or auto radio button
  // does, then its owner hears of the click.
  if (b.control && b.control->kind == ControlKind::CheckBox) {
    set_check(b, button->isChecked() ? 1 : 0);
  } else if (b.control && b.control->kind == ControlKind::RadioButton) {
    for (Binding& other : bindings_)
      if (other.radio_group == b.radio_group && other.control) set_check(other, &other == &b ? 1 : 0);
  }
  if (b.control) PostCommand(dlg_, std::uint32_t(b.control->id & 0xFFFF) | (BN_CLICKED << 16));
}

void DialogWindow::comboChosen(std::size_t slot, int index) {
  Control* c = bindings_[slot].control;
  // Choosing the item that was already chosen changes nothing.
  if (!c || index == c->selected) return;
  c->selected = index;
  ++c->version;
  PostCommand(dlg_, std::uint32_t(c->id & 0xFFFF) | (CBN_SELCHANGE << 16));
}

void DialogWindow::closeEvent(QCloseEvent* e) {
  // The window goes only when its procedure ends the dialog.
  e->ignore();
  PostSysCommand(dlg_, SC_CLOSE);
}

void DialogWindow::keyPressEvent(QKeyEvent* e) {
  // The dialog keys: Escape is the cancel command, Enter the default button's.
  switch (e->key()) {
    case Qt::Key_Escape:
      PostCommand(dlg_, IDCANCEL);
      e->accept();
      return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      PostCommand(dlg_, std::uint32_t(default_button_ ? default_button_ : IDOK));
      e->accept();
      return;
    default:
      QWidget::keyPressEvent(e);
  }
}

}  // namespace gui
