// Ticking Root of a large scan tree in the main window: the time from the
// click to the views repainted, split into the engine's handling (marking and
// the recount), the views' synchronisation and the repaint. Several shapes,
// because each stresses another part: many visible tree rows, a long file
// list rebuilt by the click, many files spread over directories.
#include <QApplication>
#include <QElapsedTimer>
#include <cstdio>
#include <filesystem>
#include <string>

#include "res/resources.h"
#include "app/context.h"
#include "app/main_window.h"
#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "gui/dialog_window.h"
#include "gui/frontend_qt.h"
#include "gui/item_views.h"
#include "platform/frontend.h"
#include "res/ids.h"
#include "scan/display.h"
#include "scan/tree.h"

namespace {

std::uint64_t g_number = 100;

TreeItem* Dir(TreeItem* parent, const std::string& name) {
  auto* r = new INODE_RECD;
  r->posix_name = name;
  r->record_flags = kRecInUse | kRecDirectory;
  r->own_number = ++g_number;
  r->tree_owned = true;
  return InsertTreeRecord(App(), r, parent, TreeInsert::Last);
}

void Files(TreeItem* dir, int n) {
  INODE_RECD* d = GetItemRecord(App(), dir);
  for (int i = 0; i < n; ++i) {
    auto* f = new FILE_INODE;
    f->name = "f" + std::to_string(i) + ".dat";
    f->record_flags = kRecInUse;
    f->data_size = 1000 + std::uint64_t(i);
    AppendFileToDir(*d, f);
  }
}

struct Shape {
  const char* name;
  int tops, subs, files_per_leaf, root_files;
  bool expand_all;
  bool select_root;
  bool second_top = false;  // a top-level item after Root, as some scans leave
};

void Run(Dialog* dlg, const Shape& s) {
  MakeRoot(App());
  TreeItem* root = App().root_item;
  TreeView* tv = App().dir_tree;
  TreeItem* some_leaf = nullptr;
  std::uint64_t files = 0;
  for (int t = 0; t < s.tops; ++t) {
    TreeItem* top = Dir(root, "dir" + std::to_string(t));
    if (s.subs == 0) {
      Files(top, s.files_per_leaf);
      files += s.files_per_leaf;
      some_leaf = top;
    }
    for (int k = 0; k < s.subs; ++k) {
      TreeItem* leaf = Dir(top, "sub" + std::to_string(k));
      Files(leaf, s.files_per_leaf);
      files += s.files_per_leaf;
      if (!some_leaf) some_leaf = leaf;
    }
    if (s.expand_all || t == 0) TreeView_Expand(tv, top, true);
  }
  Files(root, s.root_files);
  files += s.root_files;
  if (s.second_top) {
    Files(Dir(nullptr, "Other"), 10);
    files += 10;
  }
  TreeView_Expand(tv, root, true);
  TreeItem* shown = s.select_root ? root : some_leaf;
  TreeView_SelectItem(tv, shown);
  ShowSelectedDirFiles(App());
  gui::SyncAllDialogs();
  QApplication::processEvents();

  auto* w = gui::WindowOf(dlg);
  auto* tree = static_cast<gui::TreeControlView*>(w->widgetFor(IDC_DIR_TREE));
  auto* list = static_cast<gui::ListControlView*>(w->widgetFor(IDC_FILE_LIST));
  for (int round = 0; round < 2; ++round) {  // tick, then untick
    QElapsedTimer t;
    t.start();
    ClickTreeItem(dlg, IDC_DIR_TREE, root, HitPart::CheckBox);
    while (DispatchNext()) {
    }
    const qint64 engine = t.nsecsElapsed();
    gui::SyncAllDialogs();
    const qint64 sync = t.nsecsElapsed();
    tree->viewport()->repaint();
    list->viewport()->repaint();
    w->client()->repaint();
    const qint64 paint = t.nsecsElapsed();
    std::printf("%-34s %9llu files %7zu dirs  %-6s engine %7.1f ms  sync %7.1f ms  paint %6.1f ms  total %7.1f ms  (M-Files %s)\n",
                s.name, static_cast<unsigned long long>(files), tv->item_count, round == 0 ? "tick" : "untick",
                engine / 1e6, (sync - engine) / 1e6, (paint - sync) / 1e6, paint / 1e6,
                GetDlgItemText(dlg, IDC_M_FILES).c_str());
  }
  ResetScanTree(App());
  gui::SyncAllDialogs();
}

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
  QApplication app(argc, argv);
  gui::InitApplication();
  // No real drives: an empty sysfs, as the tests use.
  const auto sys = std::filesystem::temp_directory_path() / ("retrova-bench-mark-" + std::to_string(::getpid()));
  std::filesystem::create_directories(sys);
  CurrentDriveSource().sysfs_block = sys.string();
  CurrentDriveSource().dev_dir = sys.string();

  ResetAppContext();
  std::unique_ptr<Dialog> dlg = CreateDialogModel(IDD_MAIN, MainDlgProc, nullptr);
  fe_DialogCreated(dlg.get());
  Msg init;
  init.dlg = dlg.get();
  init.kind = MsgKind::InitDialog;
  SendMsg(init);
  gui::SyncAllDialogs();

  const Shape shapes[] = {
      {"spread 20x50 dirs x100, 1 open", 20, 50, 100, 40, false, false},
      {"spread 20x50 dirs x100, all open", 20, 50, 100, 40, true, false},
      {"wide: 100k open dirs x1 file", 100'000, 0, 1, 0, false, false},
      {"wide, and a top-level item after Root", 100'000, 0, 1, 0, false, false, true},
      {"flat: 100k files in Root, shown", 0, 0, 0, 100'000, false, true},
      {"spread 200x50 dirs x100 (1M)", 200, 50, 100, 0, true, false},
  };
  for (const Shape& s : shapes) Run(dlg.get(), s);

  fe_DialogDestroyed(dlg.get());
  dlg.reset();
  std::filesystem::remove_all(sys);
  return 0;
}
