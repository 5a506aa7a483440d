// A main window built by the Qt front end over the engine's models, with no
// physical drives (an empty fake sysfs) so that every run sees the same lists.
#pragma once
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "app/context.h"
#include "app/main_window.h"
#include "disk/phydrive.h"
#include "gui/dialog_window.h"
#include "gui/frontend_qt.h"
#include "gui/item_views.h"
#include "platform/frontend.h"
#include "res/ids.h"

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
    CurrentDriveSource().sysfs_block = (temp_ / "sys").string();
    CurrentDriveSource().dev_dir = (temp_ / "sys").string();
  }

  void TearDown() override {
    if (main_) {
      fe_DialogDestroyed(main_.get());
      main_.reset();
    }
    CloseAllDrives(App());
    ClearQueue();
    CurrentDriveSource() = saved_source_;
    std::filesystem::remove_all(temp_);
  }

  // Builds dialog 101 with its widgets and runs its initialisation, as
  // RunDialogModel does before its loop.
  Dialog* OpenMain() {
    main_ = CreateDialogModel(IDD_MAIN, MainDlgProc, nullptr);
    fe_DialogCreated(main_.get());
    Msg init;
    init.dlg = main_.get();
    init.kind = MsgKind::InitDialog;
    SendMsg(init);
    gui::SyncAllDialogs();
    return main_.get();
  }

  gui::DialogWindow* Window() const { return gui::WindowOf(main_.get()); }
  template <class W>
  W* Widget(int id) const {
    return qobject_cast<W*>(Window()->widgetFor(id));
  }

  void Drain() {
    while (DispatchNext()) {
    }
    gui::SyncAllDialogs();
  }

  std::string MakeImage(const std::string& name, std::size_t bytes) {
    const auto p = temp_ / name;
    std::ofstream(p, std::ios::binary) << std::string(bytes, '\0');
    return p.string();
  }

  std::unique_ptr<Dialog> main_;
  std::filesystem::path temp_;
  DriveSource saved_source_;
};
