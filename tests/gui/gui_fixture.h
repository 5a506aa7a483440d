// A main window built by the Qt front end over the engine's models, with no
// physical drives (an empty fake sysfs) so that every run sees the same lists.
#pragma once
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>

#include "app/context.h"
#include "app/main_window.h"
#include "app/session.h"
#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "gui/dialog_window.h"
#include "gui/frontend_qt.h"
#include "gui/item_views.h"
#include "platform/frontend.h"
#include "res/ids.h"

// tests/fixtures/<name>.gz unpacked once into the build tree; its path.
inline std::filesystem::path GuiFixture(const std::string& name) {
  namespace fs = std::filesystem;
  const fs::path src = fs::path(RETROVA_FIXTURES) / (name + ".gz");
  const fs::path dst = fs::path(RETROVA_FIXTURE_CACHE) / name;
  std::error_code ec;
  if (!fs::exists(src)) ADD_FAILURE() << "missing fixture " << src;
  else if (!fs::exists(dst) || fs::last_write_time(dst, ec) < fs::last_write_time(src, ec)) {
    fs::create_directories(dst.parent_path());
    // A private name first: test processes run in parallel.
    const std::string tmp = dst.string() + ".tmp" + std::to_string(::getpid());
    if (std::system(("gzip -dc '" + src.string() + "' > '" + tmp + "'").c_str()) != 0) ADD_FAILURE() << "cannot unpack " << src;
    else fs::rename(tmp, dst);
  }
  return dst;
}

inline std::vector<Msg> TakeQueue() {
  std::vector<Msg> out;
  for (const Msg* m; (m = PeekQueue()); DropQueueFront()) out.push_back(*m);
  return out;
}

// Points inside an item's text and inside its check box, where the style puts them.
template <class V>
QRect ItemPart(V* v, const QModelIndex& i, QStyle::SubElement part) {
  const QStyleOptionViewItem opt = v->itemOption(i);
  return v->style()->subElementRect(part, &opt, v);
}
template <class V>
QPoint LabelAt(V* v, const QModelIndex& i) {
  const QRect r = ItemPart(v, i, QStyle::SE_ItemViewItemText);
  return {r.left() + 6, r.center().y()};
}
template <class V>
QPoint BoxAt(V* v, const QModelIndex& i) {
  return ItemPart(v, i, QStyle::SE_ItemViewItemCheckIndicator).center();
}
inline void ClickAt(QAbstractItemView* v, QPoint p) { QTest::mouseClick(v->viewport(), Qt::LeftButton, {}, p); }

class GuiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetAppContext();
    ClearQueue();
    temp_ = std::filesystem::temp_directory_path() /
            ("retrova-gui-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(temp_);
    std::filesystem::create_directories(temp_ / "sys");
    saved_source_ = CurrentDriveSource();
    CurrentDriveSource().sysfs_block = CurrentDriveSource().dev_dir = (temp_ / "sys").string();
  }

  void TearDown() override {
    session_.reset();
    if (main_) {
      fe_DialogDestroyed(main_.get());
      main_.reset();
    }
    CloseAllDrives(App());
    ClearQueue();
    CurrentDriveSource() = saved_source_;
    std::filesystem::remove_all(temp_);
  }

  // Builds dialog 101 and runs its initialisation, as RunDialogModel does before its loop.
  Dialog* OpenMain() {
    session_ = std::make_unique<MainSession>();
    session_->Open(true);
    gui::SyncAllDialogs();
    return session_->dialog();
  }

  gui::DialogWindow* Window() const { return gui::WindowOf(session_ ? session_->dialog() : main_.get()); }
  template <class W>
  W* Widget(int id) const {
    return qobject_cast<W*>(Window()->widgetFor(id));
  }

  void Drain() {
    while (DispatchNext()) continue;
    gui::SyncAllDialogs();
  }

  std::string MakeImage(const std::string& name, std::size_t bytes) {
    const auto p = temp_ / name;
    std::ofstream(p, std::ios::binary) << std::string(bytes, '\0');
    return p.string();
  }

  std::unique_ptr<MainSession> session_;
  std::unique_ptr<Dialog> main_;  // a bare window of a test's own
  std::filesystem::path temp_;
  DriveSource saved_source_;
};
