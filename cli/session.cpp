#include <unistd.h>

#include <cstdio>

#include "app/context.h"
#include "app/session.h"
#include "app/status.h"
#include "cli/cli.h"
#include "platform/frontend.h"
#include "platform/headless/headless.h"
#include "platform/sysio.h"
#include "res/ids.h"

namespace cli {
namespace {

int g_error_boxes = 0;
bool g_progress_shown = false;  // a progress line waits for its end on the terminal

void EchoBox(const headless::BoxRecord& box) {
  std::fprintf(stderr, "%s: %s\n", box.title.c_str(), box.text.c_str());
  if ((box.icon & MB_ICONMASK) == MB_ICONSTOP) ++g_error_boxes;
}

// Progress on stderr while a command runs: the status line and the
// counters, at most twice a second (a line every few seconds when stderr is
// not a terminal, so logs stay short).
void ShowProgress() {
  static std::uint64_t next_ms = 0;
  const std::uint64_t now = sys_MonotonicMs();
  if (now < next_ms) return;
  const bool tty = ::isatty(STDERR_FILENO) != 0;
  next_ms = now + (tty ? 500 : 5000);
  const Dialog* dlg = App().main_dlg;
  const std::string status = GetDlgItemText(dlg, IDC_STATUS);
  if (status.empty() || status == "Idle...") return;
  std::fprintf(stderr, "%s%s  LBA: %s  T Rem: %s  Dirs: %s  Files: %s%s", tty ? "\r" : "", status.c_str(),
               GetDlgItemText(dlg, IDC_LBA).c_str(), GetDlgItemText(dlg, IDC_T_REM).c_str(),
               GetDlgItemText(dlg, IDC_T_DIRS).c_str(), GetDlgItemText(dlg, IDC_T_FILES).c_str(), tty ? "" : "\n");
  g_progress_shown = g_progress_shown || tty;
}

void Drain() {
  while (DispatchNext()) {
  }
}

}  // namespace

int ErrorBoxes() { return g_error_boxes; }

Session::Session(const std::vector<std::string>& images) {
  headless::SetBoxEcho(EchoBox);
  headless::SetPumpHook(ShowProgress);
  window = std::make_unique<MainSession>(images);
  main = window->dialog();
  window->Open();
}

Session::~Session() {
#if !defined(__SANITIZE_ADDRESS__)
  if (leave_standing) (void)window.release();
#endif
}

void Session::Command(int id) {
  const std::string read_errors = GetDlgItemText(main, IDC_RD_ERR);
  PostCommand(main, static_cast<std::uint32_t>(id));
  Drain();
  if (g_progress_shown) {
    std::fputc('\n', stderr);
    g_progress_shown = false;
  }
  // Sectors the drive (or the image's container) would not give: the
  // window's "Rd Err:" counter, which no table shows.
  if (const std::string now = GetDlgItemText(main, IDC_RD_ERR); now != read_errors && !now.empty() && now != "0")
    std::fprintf(stderr, "Rd Err: %s\n", now.c_str());
  // Commands end on "Idle..."; one that leaves a warning there (a volume
  // reaching past the drive's end) must not be lost with the window.
  const std::string status = GetDlgItemText(main, IDC_STATUS);
  if (!status.empty() && status != "Idle...") std::fprintf(stderr, "%s\n", status.c_str());
}

void Session::ClickRow(int list_id, int row) {
  ClickListRow(main, list_id, row, HitPart::Label);
  Drain();
}

}  // namespace cli
