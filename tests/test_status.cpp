// Thousands separators, remaining-time arithmetic and the list helpers.
#include <cstring>

#include "app/status.h"
#include "platform/sysio.h"
#include "res/ids.h"
#include "test_support.h"

TEST(FormatThousands, GroupsDigitsInThrees) {
  EXPECT_EQ(FormatThousands(0), "0");
  EXPECT_EQ(FormatThousands(999), "999");
  EXPECT_EQ(FormatThousands(1000), "1,000");
  EXPECT_EQ(FormatThousands(123456), "123,456");
  EXPECT_EQ(FormatThousands(1234567), "1,234,567");
  EXPECT_EQ(FormatThousands(18446744073709551615ULL), "18,446,744,073,709,551,615");
}

TEST(FormatThousands, ClearsAndNeverOverrunsTheBuffer) {
  char buf[40];
  std::memset(buf, 'x', sizeof buf);
  FormatThousands(buf, sizeof buf, 12);
  EXPECT_STREQ(buf, "12");
  for (std::size_t i = 2; i < sizeof buf; ++i) ASSERT_EQ(buf[i], '\0') << i;
  char small[6];
  std::memset(small, 'x', sizeof small);
  FormatThousands(small, 4, 1234567);
  EXPECT_EQ(small[3], '\0');
  EXPECT_EQ(small[4], 'x') << "wrote past the given size";
}

TEST(FormatRemaining, WrapsAfterADay) {
  const std::uint64_t hour = 36'000'000'000ULL;
  EXPECT_EQ(FormatRemaining(0), "00:00:00");
  EXPECT_EQ(FormatRemaining(25 * hour), "01:00:00");
  EXPECT_EQ(FormatRemaining(2 * hour + 3 * 600'000'000ULL + 4 * 10'000'000ULL), "02:03:04");
}

class ProgressTest : public RetrovaTest {};

TEST_F(ProgressTest, ResetPhaseWritesZerosAndRunningPhaseEstimates) {
  OpenMainWindow();
  SetStatusField(ctx(), IDC_LBA, "junk");
  PROGRESS_INFO p{GetNowFileTime(), 0, 1000, kProgressReset};
  UpdateProgressTimes(ctx(), p);
  EXPECT_EQ(GetDlgItemText(ctx().main_dlg, IDC_LBA), "0");
  EXPECT_EQ(GetDlgItemText(ctx().main_dlg, IDC_T_REM), "00:00:00");

  // 10 units took 20 s: the 990 left take 1980 s = 00:33:00.
  p.phase = kProgressRunning;
  p.start_time = GetNowFileTime() - 20ULL * 10'000'000ULL;
  p.current = 10;
  p.total = 1000;
  UpdateProgressTimes(ctx(), p);
  EXPECT_EQ(GetDlgItemText(ctx().main_dlg, IDC_LBA), "10");
  const std::string rem = GetDlgItemText(ctx().main_dlg, IDC_T_REM);
  EXPECT_TRUE(rem == "00:33:00" || rem == "00:33:01") << rem;
}

TEST_F(ProgressTest, NothingChangesWithoutProgressOrWhenTheClockStepsBack) {
  OpenMainWindow();
  SetStatusField(ctx(), IDC_LBA, "7");
  SetStatusField(ctx(), IDC_T_REM, "01:02:03");
  PROGRESS_INFO p{GetNowFileTime() - 10'000'000ULL, 0, 100, kProgressRunning};
  UpdateProgressTimes(ctx(), p);  // current 0
  p.current = 5;
  p.start_time = GetNowFileTime() + 36'000'000'000ULL;  // an hour ahead: the clock went back
  UpdateProgressTimes(ctx(), p);
  EXPECT_EQ(GetDlgItemText(ctx().main_dlg, IDC_LBA), "7");
  EXPECT_EQ(GetDlgItemText(ctx().main_dlg, IDC_T_REM), "01:02:03");
  // Past the total, the estimate is zero, not a wrapped huge count.
  p.start_time = GetNowFileTime() - 10'000'000ULL;
  p.current = 200;
  UpdateProgressTimes(ctx(), p);
  EXPECT_EQ(GetDlgItemText(ctx().main_dlg, IDC_T_REM), "00:00:00");
}

TEST(LocalFileTime, IsLocalCalendarTimeSince1601) {
  const std::uint64_t ft = GetNowFileTime();
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  // Seconds from 1601 to 1970, plus the local calendar time read as if it were UTC.
  const std::uint64_t expect = (11644473600ULL + static_cast<std::uint64_t>(timegm(&local))) * 10'000'000ULL;
  EXPECT_LT(ft > expect ? ft - expect : expect - ft, 30ULL * 10'000'000ULL);
}

TEST_F(ProgressTest, SelectedRowHelpers) {
  OpenMainWindow();
  ListView* lv = ctx().log_list;
  EXPECT_EQ(GetSelectedRow(lv), -1);
  EXPECT_EQ(GetSelectedRowData(lv), nullptr);
  int a = 1, b = 2;
  ListView_InsertItem(lv, 0, "0", 0, &a);
  ListView_InsertItem(lv, 1, "1", 0, &b);
  EXPECT_EQ(GetSelectedRow(lv), -1);
  ListView_SetItemState(lv, 1, LVIS_SELECTED, LVIS_SELECTED);
  EXPECT_EQ(GetSelectedRow(lv), 1);
  EXPECT_EQ(GetSelectedRowData(lv), &b);
  // One row selectable: selecting another moves the selection.
  ListView_SetItemState(lv, 0, LVIS_SELECTED, LVIS_SELECTED);
  EXPECT_EQ(GetSelectedRow(lv), 0);
  EXPECT_EQ(ListView_GetItemState(lv, 1, LVIS_SELECTED), 0u);
  ClearLogicalDriveList(ctx());
  EXPECT_EQ(ListView_GetItemCount(lv), 0);
}
