// The pie-chart control: painted from its model, clockwise from 3 o'clock.
#include <QImage>

#include "gui_fixture.h"
#include "platform/window.h"

namespace {

std::intptr_t NoProc(Dialog*, const Msg&) { return 0; }

TEST_F(GuiTest, PieSweepsClockwiseByItsShare) {
  DialogTemplate t{4242, "Pie", "Arial", 8, 0, 0, 80, 80, dlgstyle::Popup | dlgstyle::Caption, 0, {}};
  t.controls.push_back({7, ControlKind::Pie, "", 0, 0, 60, 60, 0});
  std::unique_ptr<Dialog> dlg = CreateDialogModel(&t, nullptr, NoProc, nullptr);
  fe_DialogCreated(dlg.get());
  PieChart* pie = GetPieChart(dlg.get(), 7);
  ASSERT_NE(pie, nullptr);
  pie->fraction = 0.5;
  pie->radius = 35;
  pie->label = "50.00 %";
  pie->brush_colour = RGB(0, 100, 0);
  pie->pen_colour = RGB(0, 0, 100);
  pie->text_colour = RGB(200, 200, 200);
  pie->pen_width = 2;
  ++pie->version;
  gui::SyncAllDialogs();
  QWidget* w = gui::WindowOf(dlg.get())->widgetFor(7);
  ASSERT_NE(w, nullptr);
  const QImage img = w->grab().toImage();
  const int cx = img.width() / 2, cy = img.height() / 2, r = std::min(cx, cy) - 2;
  // Half done: the lower half (3 o'clock round through 6) is filled, the upper is not.
  EXPECT_EQ(QColor(img.pixel(cx, cy + r * 2 / 3)), QColor(0, 100, 0));
  EXPECT_NE(QColor(img.pixel(cx, cy - r * 2 / 3)), QColor(0, 100, 0));
  fe_DialogDestroyed(dlg.get());
}

}  // namespace
