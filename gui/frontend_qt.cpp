// The front-end services with Qt. The engine owns the message loop: Qt runs
// only inside the pump and while the engine waits for messages, and what Qt
// does there is limited to painting and posting messages to the queue.
#include "gui/frontend_qt.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QStyleFactory>
#include <QTextBrowser>
#include <QUrl>
#include <ctime>

#include "gui/dialog_window.h"
#include "gui/pictures.h"
#include "gui/text.h"
#include "platform/frontend.h"
#include "res/resources.h"

namespace gui {
namespace {

constexpr std::int64_t kRefreshIntervalNs = 30'000'000;
std::int64_t g_next_refresh_ns = 0;
std::uint64_t g_refreshes = 0;
std::uint64_t g_refresh_ns = 0;
QPointer<QTextBrowser> g_help;

// The coarse clock is read from the vDSO without touching the hardware
// counter: a few nanoseconds, and its few-millisecond grain is plenty for 30 ms.
inline std::int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// The time a refresh takes is measured finer than the coarse clock's grain.
inline std::int64_t PreciseNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

QWidget* OwnerWindow(Dialog* owner) {
  if (!owner || !IsLiveDialog(owner)) owner = ActiveDialog();
  QWidget* w = WindowOf(owner);
  return w ? w : QApplication::activeWindow();
}

}  // namespace

void InitApplication() {
  QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
  QApplication::setWindowIcon(AppIcon());
}

void SyncAllDialogs() {
  for (Dialog* d : LiveDialogs())
    if (DialogWindow* w = WindowOf(d)) w->sync();
}

void RefreshNow() {
  if (!QCoreApplication::instance()) return;
  ++g_refreshes;
  const std::int64_t start = PreciseNs();
  SyncAllDialogs();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  g_refresh_ns += std::uint64_t(PreciseNs() - start);
  g_next_refresh_ns = NowNs() + kRefreshIntervalNs;
}

std::uint64_t RefreshCount() { return g_refreshes; }
std::uint64_t RefreshNanos() { return g_refresh_ns; }

QTextBrowser* HelpBrowser() { return g_help.data(); }

void ShutDown() { delete g_help.data(); }

}  // namespace gui

using namespace gui;

void fe_Pump() {
  if (NowNs() < g_next_refresh_ns) return;
  RefreshNow();
}

bool fe_WaitForMessages() {
  if (!QCoreApplication::instance()) return false;  // no event source at all
  SyncAllDialogs();
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  g_next_refresh_ns = NowNs() + kRefreshIntervalNs;
  return true;
}

int fe_MessageBox(Dialog* owner, const std::string& text, const std::string& title, unsigned flags) {
  // The box runs Qt's own loop: the windows behind it must show the current state.
  SyncAllDialogs();
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  switch (flags & MB_ICONMASK) {
    case MB_ICONSTOP: icon = QMessageBox::Critical; break;
    case MB_ICONQUESTION: icon = QMessageBox::Question; break;
    case MB_ICONWARNING: icon = QMessageBox::Warning; break;
    case MB_ICONINFORMATION: icon = QMessageBox::Information; break;
    default: break;
  }
  const bool yes_no = (flags & MB_TYPEMASK) == MB_YESNO;
  QMessageBox box(icon, FromEngineText(title), FromEngineText(text),
                  yes_no ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, OwnerWindow(owner));
  box.setTextFormat(Qt::PlainText);
  box.setWindowModality(Qt::ApplicationModal);
  if (yes_no) box.setDefaultButton((flags & MB_DEFBUTTON2) != 0 ? QMessageBox::No : QMessageBox::Yes);
  const int answer = box.exec();
  g_next_refresh_ns = NowNs() + kRefreshIntervalNs;
  if (yes_no) return answer == QMessageBox::Yes ? IDYES : IDNO;
  return 1;  // IDOK
}

std::optional<std::string> fe_ChooseOpenFile(Dialog* owner, const std::string& start_dir) {
  SyncAllDialogs();
  QFileDialog dlg(OwnerWindow(owner), QStringLiteral("Open"), FromEngineText(start_dir));
  dlg.setFileMode(QFileDialog::ExistingFile);
  dlg.setAcceptMode(QFileDialog::AcceptOpen);
  dlg.setOption(QFileDialog::DontUseNativeDialog, true);
  dlg.setNameFilter(QStringLiteral("All files (*)"));
  if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return std::nullopt;
  return ToPath(dlg.selectedFiles().first());
}

std::optional<std::string> fe_ChooseFolder(Dialog* owner, const std::string& title) {
  SyncAllDialogs();
  QFileDialog dlg(OwnerWindow(owner), FromEngineText(title));
  dlg.setFileMode(QFileDialog::Directory);
  dlg.setOption(QFileDialog::ShowDirsOnly, true);
  dlg.setOption(QFileDialog::DontUseNativeDialog, true);
  if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return std::nullopt;
  return ToPath(dlg.selectedFiles().first());
}

void fe_DialogCreated(Dialog* dlg) {
  if (!dlg || !dlg->tmpl || dlg->frontend) return;
  auto* w = new DialogWindow(dlg, dlg->owner ? WindowOf(dlg->owner) : nullptr);
  dlg->frontend = w;
  w->show();
  if (dlg->tmpl->styles & dlgstyle::Centered) {
    const QRect screen = w->screen()->availableGeometry();
    QRect frame = w->frameGeometry();
    frame.moveCenter(screen.center());
    w->move(frame.topLeft());
  }
  w->raise();
  w->activateWindow();
}

void fe_DialogDestroyed(Dialog* dlg) {
  if (!dlg) return;
  delete WindowOf(dlg);  // clears dlg->frontend
  dlg->frontend = nullptr;
}

void fe_ShowHelp(Dialog*, const std::string& page, const std::string& section) {
  if (!g_help) {
    g_help = new QTextBrowser;
    g_help->setAttribute(Qt::WA_DeleteOnClose);
    g_help->setWindowTitle(QStringLiteral("%1 Help").arg(QString::fromLatin1(kProductTitle)));
    g_help->setOpenExternalLinks(false);
    g_help->resize(720, 560);
  }
  // The pages are built into the program, under the same names as in res/.
  QUrl url(QStringLiteral("qrc:/") + FromLatin1(page));
  url.setFragment(FromLatin1(section));
  g_help->setSource(url);
  g_help->scrollToAnchor(FromLatin1(section));
  g_help->show();
  g_help->raise();
  g_help->activateWindow();
}

bool fe_HoldsTreeItems() { return true; }

bool fe_HaveImages() { return true; }
