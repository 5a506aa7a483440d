// The main window as the operator meets it: layout from the template, menus,
// keys, closing, the pump, message boxes, choosers, About and help.
#include <QAbstractButton>
#include <QAction>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFontInfo>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QScrollBar>
#include <QTextBrowser>
#include <QThread>
#include <QTimer>

#include "app/shell.h"
#include "disk/drive_list.h"
#include "app/info_panels.h"
#include "gui_fixture.h"
#include "res/resources.h"

namespace {

int MulDiv(int v, int m, int d) { return (v * m + d / 2) / d; }

// A long operation as the scans run one: a pump step per unit of work until
// "Terminate Scan" arrives. Returns false when it was never terminated.
bool RunUntilTerminated(int max_ms) {
  QElapsedTimer t;
  t.start();
  while (!CheckTerminate(IDM_TERMINATE_SCAN)) {
    if (t.elapsed() > max_ms) return false;
    QThread::usleep(100);
  }
  return true;
}

// Answers the next modal window of type W once its loop runs.
template <class W, class F>
void OnModal(F answer) {
  QTimer::singleShot(0, [answer] {
    auto* w = qobject_cast<W*>(QApplication::activeModalWidget());
    ASSERT_NE(w, nullptr);
    answer(w);
  });
}

}  // namespace

TEST_F(GuiTest, MainWindowControlsSitAtTheirConvertedPlaces) {
  OpenMain();
  // Base units computed here the way the dialog manager does, independently of the builder.
  QFont font(QStringLiteral("Liberation Sans"));
  font.setPixelSize(11);
  ASSERT_EQ(QFontInfo(font).family(), QStringLiteral("Liberation Sans")) << "fonts-liberation2 is needed";
  const QFontMetrics fm(font);
  const int bx = (fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) / 26 + 1) / 2;
  const int by = fm.height();
  EXPECT_EQ(Window()->units().base_x, bx);
  EXPECT_EQ(Window()->units().base_y, by);

  const DialogTemplate& t = *FindDialogTemplate(IDD_MAIN);
  for (std::size_t i = 0; i < t.controls.size(); ++i) {
    const ControlTemplate& c = t.controls[i];
    auto* w = Window()->client()->findChild<QWidget*>(QStringLiteral("ctl_%1_%2").arg(c.id).arg(i));
    ASSERT_NE(w, nullptr) << c.id;
    EXPECT_EQ(w->geometry(), QRect(MulDiv(c.x, bx, 4), MulDiv(c.y, by, 8), MulDiv(c.w, bx, 4), MulDiv(c.h, by, 8)))
        << "control " << c.id << " #" << i;
  }
  EXPECT_EQ(Window()->client()->size(), QSize(MulDiv(527, bx, 4), MulDiv(302, by, 8)));
  EXPECT_EQ(Window()->minimumSize(), Window()->maximumSize());  // fixed size
  EXPECT_EQ(Window()->windowTitle(), QStringLiteral("Retrova ver " RETROVA_PROJECT_VERSION));
  EXPECT_EQ(Widget<QLabel>(IDC_STATUS)->text(), QStringLiteral("Idle..."));
  EXPECT_EQ(Widget<QLabel>(IDC_LBA)->frameShadow(), QFrame::Sunken);
}

TEST_F(GuiTest, MenuItemsAndKeysPostTheirIdsAndDisabledItemsPostNothing) {
  Dialog* dlg = OpenMain();
  const QList<QAction*> popups = Window()->menuBar()->actions();
  ASSERT_EQ(popups.size(), static_cast<qsizetype>(dlg->menu->popups.size()));
  std::vector<std::uint32_t> expected;
  for (std::size_t p = 0; p < dlg->menu->popups.size(); ++p) {
    EXPECT_EQ(popups[p]->text(), QString::fromStdString(dlg->menu->popups[p].text));
    for (const MenuItem& it : dlg->menu->popups[p].items) {
      if (!it.id) continue;
      QAction* a = Window()->actionFor(it.id);
      ASSERT_NE(a, nullptr) << it.id;
      EXPECT_EQ(a->text(), QString::fromStdString(it.text));
      a->trigger();
      expected.push_back(std::uint32_t(it.id));
    }
  }
  // Escape and Enter post IDCANCEL and IDOK, which close nothing; F12 scans a physical drive.
  Window()->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(Window()));
  for (Qt::Key k : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_F12}) QTest::keyClick(Window(), k);
  expected.insert(expected.end(), {std::uint32_t(IDCANCEL), std::uint32_t(IDOK), std::uint32_t(IDM_SCAN_PHYSICAL)});
  std::vector<std::uint32_t> posted;
  for (const Msg& m : TakeQueue()) {
    EXPECT_EQ(m.dlg, dlg);
    EXPECT_EQ(m.kind, MsgKind::Command);
    posted.push_back(m.id);
  }
  EXPECT_EQ(posted, expected);
  PostCommand(dlg, IDCANCEL);
  PostCommand(dlg, IDOK);
  Drain();
  EXPECT_FALSE(dlg->ended);
  EXPECT_TRUE(Window()->isVisible());

  SetScanMenus(App(), false);
  gui::SyncAllDialogs();
  for (int id : {IDM_SCAN_PHYSICAL, IDM_FAST_LOGICAL, IDM_SLOW_LOGICAL, IDM_COPY_DIRS, IDM_COPY_FLAT, IDM_SAVE_SCAN,
                 IDM_LOAD_SCAN, IDM_BUILD_PARTREC, IDM_BUILD_BOOTREC, IDM_CLONE, IDM_WIPE, IDM_VERIFY, IDM_FIND_FILES,
                 IDM_HELP_CONTENT, IDM_ABOUT})
    EXPECT_FALSE(Window()->actionFor(id)->isEnabled()) << id;
  for (int id : {IDM_TERMINATE_SCAN, IDM_EXIT, IDM_ADD_DATA_STREAM}) EXPECT_TRUE(Window()->actionFor(id)->isEnabled()) << id;
  Window()->actionFor(IDM_ABOUT)->trigger();
  EXPECT_TRUE(QueueEmpty());
  SetScanMenus(App(), true);
  gui::SyncAllDialogs();
  EXPECT_TRUE(Window()->actionFor(IDM_ABOUT)->isEnabled());
}

TEST_F(GuiTest, DuringAScanCommandsRunInsideItAndClosingWaitsForTerminateScan) {
  Dialog* dlg = OpenMain();
  App().scan_running = 1;
  bool help_seen_while_running = false;
  QTimer::singleShot(30, Window(), [this] { Window()->close(); });
  QTimer::singleShot(60, Window(), [this] { Window()->actionFor(IDM_HELP_CONTENT)->trigger(); });
  QTimer::singleShot(150, Window(), [&] {
    help_seen_while_running = gui::HelpBrowser() && gui::HelpBrowser()->isVisible();
    Window()->actionFor(IDM_TERMINATE_SCAN)->trigger();
  });
  ASSERT_TRUE(RunUntilTerminated(5000));
  EXPECT_TRUE(help_seen_while_running);
  // Help opens scrolled down to the file finder's section.
  EXPECT_EQ(gui::HelpBrowser()->source().fragment(), QStringLiteral("file-finder"));
  QApplication::processEvents();
  EXPECT_GT(gui::HelpBrowser()->verticalScrollBar()->value(), 0);
  EXPECT_FALSE(dlg->ended);
  EXPECT_TRUE(Window()->isVisible());
  App().scan_running = 0;

  Window()->close();
  Drain();
  EXPECT_TRUE(dlg->ended);
  gui::ShutDown();
}

TEST_F(GuiTest, ThePumpRefreshesAtMostEveryThirtyMilliseconds) {
  OpenMain();
  gui::RefreshNow();
  const std::uint64_t before = gui::RefreshCount();
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < 10) fe_Pump();
  EXPECT_EQ(gui::RefreshCount(), before);
  // Views follow the models only at refreshes, not on every model write.
  SetDlgItemText(App().main_dlg, IDC_STATUS, "Scanning...");
  EXPECT_EQ(Widget<QLabel>(IDC_STATUS)->text(), QStringLiteral("Idle..."));
  QThread::msleep(40);
  fe_Pump();
  EXPECT_EQ(gui::RefreshCount(), before + 1);
  EXPECT_EQ(Widget<QLabel>(IDC_STATUS)->text(), QStringLiteral("Scanning..."));
}

TEST_F(GuiTest, MessageBoxesAndChoosersShowWhatWasAskedAndReturnTheAnswer) {
  Dialog* dlg = OpenMain();
  QString title, text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QWidget* parent = nullptr;
  OnModal<QMessageBox>([&](QMessageBox* box) {
    title = box->windowTitle();
    text = box->text();
    icon = box->icon();
    parent = box->parentWidget();
    ASSERT_NE(box->button(QMessageBox::No), nullptr);
    box->button(QMessageBox::No)->click();
  });
  EXPECT_EQ(fe_MessageBox(dlg, "You will lose current PHYSICAL scan. Do you wish to continue.", kProductTitle,
                          MB_YESNO | MB_ICONQUESTION),
            IDNO);
  EXPECT_EQ(title, QStringLiteral("Retrova ver " RETROVA_PROJECT_VERSION));
  EXPECT_EQ(text, QStringLiteral("You will lose current PHYSICAL scan. Do you wish to continue."));
  EXPECT_EQ(icon, QMessageBox::Question);
  EXPECT_EQ(parent, Window());

  // A single-byte name that is not UTF-8 shows as Latin-1; OK answers IDOK.
  OnModal<QMessageBox>([&](QMessageBox* box) {
    text = box->text();
    icon = box->icon();
    box->button(QMessageBox::Ok)->click();
  });
  EXPECT_EQ(fe_MessageBox(nullptr, "Could not open caf\xE9.img", "** Error **", MB_OK | MB_ICONSTOP), 1);
  EXPECT_EQ(text, QString::fromUtf8("Could not open caf\u00e9.img"));
  EXPECT_EQ(icon, QMessageBox::Critical);

  const std::string image = MakeImage("disk.img", 4096);
  OnModal<QFileDialog>([&](QFileDialog* fd) {
    fd->selectFile(QString::fromStdString(image));
    static_cast<QDialog*>(fd)->accept();  // QFileDialog's own accept() is protected
  });
  EXPECT_EQ(fe_ChooseOpenFile(dlg, temp_.string()), std::optional<std::string>(image));
  OnModal<QFileDialog>([&](QFileDialog* fd) {
    title = fd->windowTitle();
    fd->reject();
  });
  EXPECT_EQ(fe_ChooseFolder(dlg, "Choose a destination folder"), std::nullopt);
  EXPECT_EQ(title, QStringLiteral("Choose a destination folder"));
}

TEST_F(GuiTest, AboutBoxShowsItsWholePictureAndClosesFromItsWindow) {
  OpenMain();
  bool checked = false;
  QTimer::singleShot(50, [&] {
    gui::DialogWindow* about = gui::WindowOf(App().about_dlg);
    ASSERT_NE(about, nullptr);
    gui::SyncAllDialogs();
    EXPECT_EQ(about->windowTitle(), QStringLiteral("Retrova ver " RETROVA_PROJECT_VERSION));
    auto* pic = about->client()->findChild<QLabel*>();
    ASSERT_NE(pic, nullptr);
    EXPECT_EQ(pic->pixmap().size(), QSize(360, 258));
    EXPECT_TRUE(about->client()->rect().contains(pic->geometry()));
    EXPECT_TRUE(!Window()->isEnabled() || Window()->windowModality() != Qt::NonModal ||
                about->windowModality() == Qt::WindowModal) << "the owner is blocked";
    checked = true;
    about->close();
  });
  PostCommand(App().main_dlg, IDM_ABOUT);
  Drain();  // runs the About box's own loop until its window is closed
  EXPECT_TRUE(checked);
  EXPECT_EQ(FindLiveDialog(IDD_ABOUT), nullptr);
}

TEST_F(GuiTest, ScreenshotOfTheMainWindowWithAnImageListed) {
  OpenMain();
  ASSERT_EQ(AddImageFile(App(), MakeImage("evidence.img", 8 << 20)), 1);
  ListView_SetItemState(App().phy_list, 0, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  SelectPhysicalDrive(App(), 0);
  Progress_SetRange32(App().progress_bar, 0, 100);
  Progress_SetBarColour(App().progress_bar, RGB(255, 0, 0));
  Progress_SetPos(App().progress_bar, 40);
  gui::SyncAllDialogs();
  Widget<gui::TreeControlView>(IDC_INFO_TREE)->expandAll();
  ASSERT_EQ(Widget<gui::ListControlView>(IDC_PHY_LIST)->model()->rowCount(), 1);
  QApplication::processEvents();
  const QImage shot = Window()->grab().toImage();
  ASSERT_TRUE(shot.save(QStringLiteral(RETROVA_GUI_OUTPUT_DIR "/main_window.png")));
  EXPECT_EQ(shot.size(), Window()->size() * Window()->devicePixelRatioF());
}
