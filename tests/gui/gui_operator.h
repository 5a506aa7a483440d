// The operator's hands for the utility dialogs' tests: each step waits until
// what it needs is on the screen (a dialog, a message box), acts through the
// widgets and returns true, and the next step takes over. Runs on a timer, so
// inside the engine's loops.
#pragma once
#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <functional>
#include <vector>

#include "gui_fixture.h"

namespace gui_operator {

class Operator {
 public:
  using Step = std::function<bool()>;
  void Then(Step s) { steps_.push_back(std::move(s)); }
  void Start() {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      if (busy_ || next_ >= steps_.size()) return;
      busy_ = true;
      if (steps_[next_]()) ++next_;
      busy_ = false;
    });
    timer_.start(5);
  }
  std::size_t done() const { return next_; }
  std::size_t total() const { return steps_.size(); }

 private:
  std::vector<Step> steps_;
  std::size_t next_ = 0;
  bool busy_ = false;
  QTimer timer_;
};

inline QMessageBox* Box() { return qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); }

// Answers the box on screen with `which`; its text into *text, its icon into *icon.
inline Operator::Step Answer(QMessageBox::StandardButton which, QString* text = nullptr, QMessageBox::Icon* icon = nullptr) {
  return [=] {
    QMessageBox* b = Box();
    if (!b) return false;
    if (text) *text = b->text();
    if (icon) *icon = b->icon();
    QAbstractButton* button = b->button(which);
    if (!button) {
      ADD_FAILURE() << "no such button on: " << b->text().toStdString();
      b->reject();
      return true;
    }
    QTest::mouseClick(button, Qt::LeftButton);
    return true;
  };
}

// The dialog's window once it is on the screen.
inline gui::DialogWindow* Open(int template_id) {
  Dialog* d = FindLiveDialog(template_id);
  gui::DialogWindow* w = d ? gui::WindowOf(d) : nullptr;
  return w && w->isVisible() ? w : nullptr;
}

inline void Type(gui::DialogWindow* w, int id, const QString& text) {
  auto* e = qobject_cast<QLineEdit*>(w->widgetFor(id));
  ASSERT_NE(e, nullptr) << id;
  e->selectAll();
  QTest::keyClicks(e, text);
}

inline void Press(gui::DialogWindow* w, int id) {
  auto* b = qobject_cast<QAbstractButton*>(w->widgetFor(id));
  ASSERT_NE(b, nullptr) << id;
  QTest::mouseClick(b, Qt::LeftButton);
}

}  // namespace gui_operator
