// Shell services every layer may use: the pump step that long operations
// poll, the menu lock of a running scan, debug lines and the colour rules of
// the lists and trees.
#pragma once
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "app/context.h"

// Dispatches one waiting message; 1 when it was the command command_id
// (taken off the queue), else 0.
int CheckTerminate(std::uint32_t command_id);
// The finder's pump step: 100 when its Exit is waiting, else 101.
int CheckFinderExit(AppContext& ctx);
int SetScanMenus(AppContext& ctx, bool enable);
// Menu positions that SetScanMenus greys: (pop-up index, item position).
const std::vector<std::pair<int, int>>& ScanLockedMenuPositions();

// ---- Custom draw rules ------------------------------------------------------------

std::uint32_t DrawDriveListItem(CustomDraw& cd);
std::uint32_t DrawFileListItem(CustomDraw& cd);  // item_data: the row's FILE_INODE
std::uint32_t DrawInfoTreeItem(CustomDraw& cd);

// ---- Debug output -----------------------------------------------------------

// Lines that DebugPrint wrote; the normal start opens no debug window, so
// they are only kept here (bounded) for a front end or test that asks.
void DebugPrint(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
int CreateDebugWindow(AppContext& ctx);
const std::deque<std::string>& DebugLines();
