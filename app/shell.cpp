#include "app/shell.h"

#include <cstdarg>
#include <cstdio>

#include "ntfs/sysfiles.h"
#include "platform/frontend.h"
#include "res/ids.h"
#include "scan/records.h"

namespace {

std::deque<std::string> g_debug_lines;
constexpr std::size_t kMaxDebugLines = 2000;

}  // namespace

int CheckTerminate(std::uint32_t command_id) {
  fe_Pump();
  const Msg* next = PeekQueue();
  if (!next) return 0;
  if (next->kind == MsgKind::Command && (next->id & 0xFFFF) == (command_id & 0xFFFF)) {
    DropQueueFront();
    return 1;
  }
  DispatchNext();
  return 0;
}

int CheckFinderExit(AppContext& ctx) {
  fe_Pump();
  const Msg* next = PeekQueueFor(ctx.finder_dlg);
  if (!next) return 101;
  if (next->kind == MsgKind::Command && (next->id & 0xFFFF) == IDM_FINDER_EXIT) {
    RemoveFirstFor(ctx.finder_dlg);
    return 100;
  }
  DispatchNext();
  return 101;
}

const std::vector<std::pair<int, int>>& ScanLockedMenuPositions() {
  // (pop-up, position): Recovery, Utilities, Help; separators count as positions.
  static const std::vector<std::pair<int, int>> positions = {
      {0, 0}, {0, 2}, {0, 3}, {0, 5}, {0, 6}, {0, 10}, {0, 11},  // scans, copies, save, load
      {1, 0}, {1, 1}, {1, 2}, {1, 3}, {1, 5}, {1, 7},            // builders, clone, wipe, verify, find
      {2, 0}, {2, 2}};                                           // content, about
  return positions;
}

int SetScanMenus(AppContext& ctx, bool enable) {
  Menu* menu = ctx.main_dlg ? ctx.main_dlg->menu.get() : nullptr;
  if (!menu) return 0;
  for (const auto& [popup, position] : ScanLockedMenuPositions()) Menu_EnableByPosition(menu, popup, position, enable);
  return 1;
}

// ---- Custom draw ---------------------------------------------------------------

namespace {
std::uint32_t StageResult(const CustomDraw& cd) {
  return cd.stage == DrawStage::PrePaint ? CDRF_NOTIFYITEMDRAW : CDRF_DODEFAULT;
}
}  // namespace

std::uint32_t DrawDriveListItem(CustomDraw& cd) {
  if (cd.stage != DrawStage::ItemPrePaint) return StageResult(cd);
  cd.text_colour = RGB(0, 0, 200);
  return CDRF_NEWFONT;
}

std::uint32_t DrawFileListItem(CustomDraw& cd) {
  if (cd.stage != DrawStage::ItemPrePaint) return StageResult(cd);
  const auto* f = static_cast<const FILE_INODE*>(cd.item_data);
  if (f && (f->record_flags & kRecInUse) && f->verify_result == 0)
    cd.text_colour = IsSystemFileName(f->name) ? RGB(184, 4, 155) : RGB(0, 0, 200);
  else
    cd.text_colour = RGB(255, 0, 0);
  return CDRF_NEWFONT;
}

std::uint32_t DrawInfoTreeItem(CustomDraw& cd) {
  if (cd.stage != DrawStage::ItemPrePaint) return StageResult(cd);
  if (cd.level == 0) {
    cd.bold = true;
    cd.text_colour = RGB(0, 0, 255);
  } else if (cd.level == 1) {
    cd.text_colour = RGB(10, 196, 19);
  }
  if (cd.item_state == (CDIS_SELECTED | CDIS_FOCUS)) cd.text_colour = RGB(255, 255, 255);
  return CDRF_NEWFONT;
}

// ---- Debug output -------------------------------------------------------------

int CreateDebugWindow(AppContext& ctx) {
  // Debug lines are kept in memory; a front end may show them.
  ctx.debug_x = 0;
  ctx.debug_y = 0;
  ctx.debug_line_height = 16;
  ctx.debug_wnd = &g_debug_lines;
  return 1;
}

void DebugPrint(const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (g_debug_lines.size() >= kMaxDebugLines) g_debug_lines.pop_front();
  g_debug_lines.emplace_back(buf);
  AppContext& ctx = App();
  if (ctx.debug_wnd && ctx.debug_y + ctx.debug_line_height <= 600) ctx.debug_y += ctx.debug_line_height;
}

const std::deque<std::string>& DebugLines() { return g_debug_lines; }
