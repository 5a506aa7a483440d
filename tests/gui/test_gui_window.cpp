// The main window as the operator meets it: layout from the template, menus,
// keys, closing, the pump, message boxes, choosers, About and help.
#include <QAbstractButton>
#include <QAction>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFontInfo>
#include <QLabel>
#include <QMenuBar>
#include <QRegularExpression>
#include <QMessageBox>
#include <QScrollBar>
#include <QTextBrowser>
#include <QThread>
#include <QTimer>

#include "app/info_panels.h"
#include "gui_fixture.h"
#include "res/resources.h"

namespace {

int MulDiv(int v, int m, int d) { return (v * m + d / 2) / d; }

std::vector<Msg> TakeQueue() {
  std::vector<Msg> out;
  while (const Msg* m = PeekQueue()) {
    out.push_back(*m);
    DropQueueFront();
  }
  return out;
}

// A long operation as the scans run one: a pump step per unit of work until
// "Terminate Scan" arrives. Returns false when it was never terminated.
bool RunUntilTerminated(int max_ms) {
  QElapsedTimer t;
  t.start();
  while (!CheckTerminate(App(), IDM_TERMINATE_SCAN)) {
    if (t.elapsed() > max_ms) return false;
    QThread::usleep(100);
  }
  return true;
}

QString Plain(const std::string& menu_text) { return QString::fromStdString(menu_text).remove(QLatin1Char('&')); }

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
  EXPECT_EQ(Window()->windowTitle(), QStringLiteral("Retrova ver 4.1.6244"));
  auto* label = qobject_cast<QLabel*>(Window()->client()->findChild<QWidget*>(QStringLiteral("ctl_-1_4")));
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(label->text(), QStringLiteral("LBA:"));
  EXPECT_EQ(Widget<QLabel>(IDC_STATUS)->text(), QStringLiteral("Idle..."));
  EXPECT_EQ(Widget<QLabel>(IDC_T_REM)->text(), QStringLiteral("00:00:00"));
  EXPECT_EQ(Widget<QLabel>(IDC_LBA)->frameShadow(), QFrame::Sunken);
}

TEST_F(GuiTest, EveryMenuItemPostsItsIdAndFollowsTheEnabledFlags) {
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
  std::vector<std::uint32_t> posted;
  for (const Msg& m : TakeQueue()) {
    EXPECT_EQ(m.dlg, dlg);
    EXPECT_EQ(m.kind, MsgKind::Command);
    posted.push_back(m.id);
  }
  EXPECT_EQ(posted, expected);

  SetScanMenus(App(), false);
  gui::SyncAllDialogs();
  for (int id : {IDM_SCAN_PHYSICAL, IDM_FAST_LOGICAL, IDM_SLOW_LOGICAL, IDM_COPY_DIRS, IDM_COPY_FLAT, IDM_SAVE_SCAN,
                 IDM_LOAD_SCAN, IDM_BUILD_PARTREC, IDM_BUILD_BOOTREC, IDM_CLONE, IDM_WIPE, IDM_VERIFY, IDM_FIND_FILES,
                 IDM_HELP_CONTENT, IDM_ABOUT})
    EXPECT_FALSE(Window()->actionFor(id)->isEnabled()) << id;
  for (int id : {IDM_TERMINATE_SCAN, IDM_EXIT, IDM_ADD_DATA_STREAM}) EXPECT_TRUE(Window()->actionFor(id)->isEnabled()) << id;
  // A disabled action posts nothing.
  Window()->actionFor(IDM_ABOUT)->trigger();
  EXPECT_TRUE(QueueEmpty());
  SetScanMenus(App(), true);
  gui::SyncAllDialogs();
  EXPECT_TRUE(Window()->actionFor(IDM_ABOUT)->isEnabled());
}

TEST_F(GuiTest, EscapeAndEnterCloseNothingAndF12PostsScanPhysicalDrive) {
  Dialog* dlg = OpenMain();
  Window()->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(Window()));
  QTest::keyClick(Window(), Qt::Key_Escape);
  QTest::keyClick(Window(), Qt::Key_Return);
  const std::vector<Msg> keys = TakeQueue();
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[0].id, std::uint32_t(IDCANCEL));
  EXPECT_EQ(keys[1].id, std::uint32_t(IDOK));
  for (const Msg& m : keys) PostMsg(m);
  Drain();
  EXPECT_FALSE(dlg->ended);
  EXPECT_TRUE(Window()->isVisible());

  QTest::keyClick(Window(), Qt::Key_F12);
  const std::vector<Msg> f12 = TakeQueue();
  ASSERT_EQ(f12.size(), 1u);
  EXPECT_EQ(f12[0].kind, MsgKind::Command);
  EXPECT_EQ(f12[0].id, std::uint32_t(IDM_SCAN_PHYSICAL));
}

TEST_F(GuiTest, ClosingWhileAScanRunsWaitsForTerminateScan) {
  Dialog* dlg = OpenMain();
  App().scan_running = 1;
  // The operator closes the window during the scan, then chooses Terminate Scan.
  QTimer::singleShot(40, Window(), [this] { Window()->close(); });
  QTimer::singleShot(120, Window(), [this] { Window()->actionFor(IDM_TERMINATE_SCAN)->trigger(); });
  ASSERT_TRUE(RunUntilTerminated(5000));
  EXPECT_FALSE(dlg->ended);
  EXPECT_TRUE(Window()->isVisible());
  App().scan_running = 0;

  Window()->close();
  Drain();
  EXPECT_TRUE(dlg->ended);
}

TEST_F(GuiTest, ACommandChosenDuringAnOperationRunsInsideItAndTheOperationGoesOn) {
  OpenMain();
  bool help_seen_while_running = false;
  QTimer::singleShot(30, Window(), [this] { Window()->actionFor(IDM_HELP_CONTENT)->trigger(); });
  QTimer::singleShot(150, Window(), [&] {
    help_seen_while_running = gui::HelpBrowser() && gui::HelpBrowser()->isVisible();
    Window()->actionFor(IDM_TERMINATE_SCAN)->trigger();
  });
  ASSERT_TRUE(RunUntilTerminated(5000));
  EXPECT_TRUE(help_seen_while_running);
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
  SetDlgItemText(main_.get(), IDC_STATUS, "Scanning...");
  EXPECT_EQ(Widget<QLabel>(IDC_STATUS)->text(), QStringLiteral("Idle..."));
  QThread::msleep(40);
  fe_Pump();
  EXPECT_EQ(gui::RefreshCount(), before + 1);
  EXPECT_EQ(Widget<QLabel>(IDC_STATUS)->text(), QStringLiteral("Scanning..."));
}

TEST_F(GuiTest, MessageBoxShowsWhatWasAskedAndReturnsTheAnswer) {
  Dialog* dlg = OpenMain();
  QString title, text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QWidget* parent = nullptr;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
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
  EXPECT_EQ(title, QStringLiteral("Retrova ver 4.1.6244"));
  EXPECT_EQ(text, QStringLiteral("You will lose current PHYSICAL scan. Do you wish to continue."));
  EXPECT_EQ(icon, QMessageBox::Question);
  EXPECT_EQ(parent, Window());

  // A single-byte name that is not UTF-8 shows as Latin-1; OK answers IDOK.
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    text = box->text();
    icon = box->icon();
    box->button(QMessageBox::Ok)->click();
  });
  EXPECT_EQ(fe_MessageBox(nullptr, "Could not open caf\xE9.img", "** Error **", MB_OK | MB_ICONSTOP), 1);
  EXPECT_EQ(text, QString::fromUtf8("Could not open caf\u00e9.img"));
  EXPECT_EQ(icon, QMessageBox::Critical);
}

TEST_F(GuiTest, FileAndFolderChoosersReturnTheChoiceOrNothing) {
  Dialog* dlg = OpenMain();
  const std::string image = MakeImage("disk.img", 4096);
  QTimer::singleShot(0, [&] {
    auto* fd = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(fd, nullptr);
    fd->selectFile(QString::fromStdString(image));
    static_cast<QDialog*>(fd)->accept();  // QFileDialog's own accept() is protected
  });
  EXPECT_EQ(fe_ChooseOpenFile(dlg, temp_.string()), std::optional<std::string>(image));

  QString title;
  QTimer::singleShot(0, [&] {
    auto* fd = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(fd, nullptr);
    title = fd->windowTitle();
    fd->reject();
  });
  EXPECT_EQ(fe_ChooseFolder(dlg, "Choose a destination folder"), std::nullopt);
  EXPECT_EQ(title, QStringLiteral("Choose a destination folder"));
}

TEST_F(GuiTest, AboutBoxShowsItsWholePictureAndClosesFromItsWindow) {
  OpenMain();
  QSize picture;
  bool inside = false;
  QString title;
  bool owner_blocked = false;
  QTimer::singleShot(50, [&] {
    gui::DialogWindow* about = gui::WindowOf(App().about_dlg);
    ASSERT_NE(about, nullptr);
    gui::SyncAllDialogs();
    title = about->windowTitle();
    auto* pic = about->client()->findChild<QLabel*>();
    ASSERT_NE(pic, nullptr);
    picture = pic->pixmap().size();
    inside = about->client()->rect().contains(pic->geometry());
    owner_blocked = !Window()->isEnabled() || Window()->windowModality() != Qt::NonModal ||
                    about->windowModality() == Qt::WindowModal;
    about->close();
  });
  PostCommand(main_.get(), IDM_ABOUT);
  Drain();  // runs the About box's own loop until its window is closed
  EXPECT_EQ(picture, QSize(360, 258));
  EXPECT_TRUE(inside);
  EXPECT_EQ(title, QStringLiteral("Retrova ver 4.1.6244"));
  EXPECT_TRUE(owner_blocked);
  EXPECT_EQ(FindLiveDialog(IDD_ABOUT), nullptr);
}

TEST_F(GuiTest, HelpDescribesEveryCommandAndOpensAtTheFileFinder) {
  Dialog* dlg = OpenMain();
  PostCommand(dlg, IDM_HELP_CONTENT);
  Drain();
  QTextBrowser* help = gui::HelpBrowser();
  ASSERT_NE(help, nullptr);
  EXPECT_TRUE(help->isVisible());
  EXPECT_EQ(help->source().fragment(), QStringLiteral("file-finder"));
  const QString page = help->document()->toPlainText();
  for (const MenuPopup& p : dlg->menu->popups) {
    for (const MenuItem& it : p.items) {
      if (!it.id) continue;
      EXPECT_TRUE(page.contains(Plain(it.text).remove(QRegularExpression(QStringLiteral("^\\d\\. "))))) << it.text;
    }
  }
  EXPECT_TRUE(page.contains(QStringLiteral("Find Selected File Types")));
  QApplication::processEvents();
  EXPECT_GT(help->verticalScrollBar()->value(), 0);  // scrolled down to the finder's section
  gui::ShutDown();
}

TEST_F(GuiTest, ScreenshotOfTheMainWindowWithAnImageListed) {
  Dialog* dlg = OpenMain();
  ASSERT_EQ(AddImageFile(App(), MakeImage("evidence.img", 8 << 20)), 1);
  ListView_SetItemState(App().phy_list, 0, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  SelectPhysicalDrive(App(), 0);
  Progress_SetRange32(App().progress_bar, 0, 100);
  Progress_SetBarColour(App().progress_bar, RGB(255, 0, 0));
  Progress_SetPos(App().progress_bar, 40);
  gui::SyncAllDialogs();
  auto* tree = Widget<gui::TreeControlView>(IDC_INFO_TREE);
  tree->expandAll();
  ASSERT_EQ(Widget<gui::ListControlView>(IDC_PHY_LIST)->model()->rowCount(), 1);
  QApplication::processEvents();
  const QImage shot = Window()->grab().toImage();
  const QString path = QStringLiteral(RETROVA_GUI_OUTPUT_DIR "/main_window.png");
  ASSERT_TRUE(shot.save(path)) << path.toStdString();
  EXPECT_EQ(shot.size(), Window()->size() * Window()->devicePixelRatioF());
  EXPECT_FALSE(dlg->ended);
}
