#include "utils/progress_pie.h"

#include <cstdio>

#include "platform/sysio.h"
#include "platform/window.h"

void ShowPieProgress(Dialog* dlg, const PieLayout& layout, const PROGRESS_INFO& p, std::uint64_t now) {
  PieChart* pie = GetPieChart(dlg, layout.pie_id);
  if (p.phase == kProgressReset) {
    SetDlgItemText(dlg, layout.remaining_id, "00:00:00");
    if (pie) {
      pie->fraction = 0;
      pie->label.clear();
      ++pie->version;
    }
    return;
  }
  if (now <= p.start_time || p.current == 0 || p.total == 0) return;
  const std::uint64_t per_unit = (now - p.start_time) / p.current;
  const std::uint64_t left = p.total > p.current ? p.total - p.current : 0;
  // A product past 64 bits would print a wrong small time; saturate instead.
  const std::uint64_t remaining = per_unit != 0 && left > UINT64_MAX / per_unit ? UINT64_MAX : left * per_unit;
  const double percent = static_cast<double>(p.current) / static_cast<double>(p.total) * 100.0;
  if (pie) {
    char label[32];
    std::snprintf(label, sizeof label, "%.2f %%", percent);
    pie->fraction = percent / 100.0;
    pie->label = label;
    pie->centre_x = layout.centre_x;
    pie->centre_y = layout.centre_y;
    pie->radius = layout.radius;
    pie->label_x = layout.label_x;
    pie->label_y = layout.label_y;
    pie->pen_colour = RGB(0, 0, 100);
    pie->pen_width = 2;
    pie->pen_dash_dot = true;
    pie->brush_colour = RGB(0, 100, 0);
    pie->text_colour = RGB(200, 200, 200);
    ++pie->version;
  }
  SetDlgItemText(dlg, layout.remaining_id, FormatRemaining(remaining));
}

bool RefreshPacer::Due() {
  const std::uint64_t now = sys_MonotonicMs();
  if (now < next_ms) return false;
  next_ms = now + 1000 / 30 + 1;
  return true;
}
