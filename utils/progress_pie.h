// The pie-chart progress of the clone and wipe dialogs: the engine fills the
// dialog's pie model and remaining-time field, the front end paints them.
#pragma once
#include <cstdint>

#include "app/status.h"
#include "res/ids.h"

struct Dialog;

struct PieLayout {
  int pie_id;        // the PieChart control
  int remaining_id;  // the "00:00:00" field
  int centre_x, centre_y, radius;
  int label_x, label_y;
};

inline constexpr PieLayout kClonePie{IDC_CLONE_PIE, IDC_CLONE_REMAINING, 280, 300, 35, 254, 292};
inline constexpr PieLayout kWipePie{IDC_WIPE_PIE, IDC_WIPE_REMAINING, 130, 390, 31, 101, 384};

// Shows p as of `now` (100 ns units): reset clears the time and the pie;
// running draws the share done and the time left; nothing while elapsed
// or current is 0.
void ShowPieProgress(Dialog* dlg, const PieLayout& layout, const PROGRESS_INFO& p, std::uint64_t now);

// Lets the display refresh at most 30 times a second.
struct RefreshPacer {
  std::uint64_t next_ms = 0;
  bool Due();
};
