// The main window: start-up, command routing, exit, the pump steps, the menu
// lock, the list colours, the About box and debug output.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "app/context.h"

// Runs the program: zeroes the context, runs the main dialog, adds the given
// image files as drives once the window exists. Returns the dialog's end code.
std::intptr_t RetrovaMain(const std::vector<std::string>& image_paths);
// Image files the next initialisation of the main window adds after the drives.
void SetStartupImages(const std::vector<std::string>& image_paths);

std::intptr_t MainDlgProc(Dialog* dlg, const Msg& msg);
int InitMainDlg(AppContext& ctx);
int ExitApp(AppContext& ctx, std::intptr_t exit_code);
int CheckTerminate(AppContext& ctx, std::uint32_t command_id);
int CheckFinderExit(AppContext& ctx);
int SetScanMenus(AppContext& ctx, bool enable);
int ShowAboutBox(AppContext& ctx);
std::intptr_t AboutDlgProc(Dialog* dlg, const Msg& msg);
// Commands whose subsystems are not built yet land here and do nothing.
void NotYetBuiltCommand(AppContext& ctx, int command_id);
// Menu positions that SetScanMenus greys: (pop-up index, item position).
const std::vector<std::pair<int, int>>& ScanLockedMenuPositions();

// ---- Custom draw ----------------------------------------------------------------

enum class DrawStage { PrePaint, ItemPrePaint, ItemPostPaint, PostPaint, Other };

inline constexpr std::uint32_t CDRF_DODEFAULT = 0x0;
inline constexpr std::uint32_t CDRF_NEWFONT = 0x2;
inline constexpr std::uint32_t CDRF_NOTIFYITEMDRAW = 0x20;

inline constexpr std::uint32_t CDIS_SELECTED = 0x1;
inline constexpr std::uint32_t CDIS_FOCUS = 0x10;

// What the front end fills in before asking, and what the handler answers.
struct CustomDraw {
  DrawStage stage = DrawStage::ItemPrePaint;
  void* item_data = nullptr;    // the row's or item's data
  int level = 0;                // tree items: 0 for the roots
  std::uint32_t item_state = 0; // CDIS_*
  std::uint32_t text_colour = 0;  // out: 0x00BBGGRR
  bool bold = false;              // out
};

std::uint32_t DrawDriveListItem(CustomDraw& cd);
std::uint32_t DrawFileListItem(CustomDraw& cd);  // item_data: the row's FILE_INODE
std::uint32_t DrawInfoTreeItem(CustomDraw& cd);

// ---- Debug output -----------------------------------------------------------

// Lines that DebugPrint wrote; the normal start opens no debug window, so
// they are only kept here (bounded) for a front end or test that asks.
void DebugPrint(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
int CreateDebugWindow(AppContext& ctx);
const std::vector<std::string>& DebugLines();
