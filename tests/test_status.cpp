// Thousands separators, remaining-time arithmetic, the local clock and the list helpers.
#include <cstring>
#include <ctime>

#include "app/status.h"
#include "platform/sysio.h"
#include "res/ids.h"
#include "test_support.h"

TEST(FormatThousands, GroupsDigitsInThreesAndNeverOverrunsTheBuffer) {
  for (auto [v, want] : {std::pair<std::uint64_t, const char*>{0, "0"}, {999, "999"}, {1000, "1,000"},
                         {123456, "123,456"}, {1234567, "1,234,567"},
                         {18446744073709551615ULL, "18,446,744,073,709,551,615"}})
    EXPECT_EQ(FormatThousands(v), want);

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

class ProgressTest : public RetrovaTest {
 protected:
  std::string Field(int id) { return GetDlgItemText(ctx().main_dlg, id); }
};

TEST_F(ProgressTest, EstimatesRemainingTimeAndIgnoresNoProgressOrABackwardClock) {
  OpenMainWindow();
  SetStatusField(ctx(), IDC_LBA, "junk");
  PROGRESS_INFO p{GetNowFileTime(), 0, 1000, kProgressReset};
  UpdateProgressTimes(ctx(), p);
  EXPECT_EQ(Field(IDC_LBA), "0");
  EXPECT_EQ(Field(IDC_T_REM), "00:00:00");

  // 10 units took 20 s: the 990 left take 1980 s = 00:33:00.
  p = {GetNowFileTime() - 20ULL * 10'000'000ULL, 10, 1000, kProgressRunning};
  UpdateProgressTimes(ctx(), p);
  EXPECT_EQ(Field(IDC_LBA), "10");
  EXPECT_TRUE(Field(IDC_T_REM) == "00:33:00" || Field(IDC_T_REM) == "00:33:01") << Field(IDC_T_REM);

  SetStatusField(ctx(), IDC_LBA, "7");
  SetStatusField(ctx(), IDC_T_REM, "01:02:03");
  p = {GetNowFileTime() - 10'000'000ULL, 0, 100, kProgressRunning};
  UpdateProgressTimes(ctx(), p);
  p.current = 5;
  p.start_time = GetNowFileTime() + 36'000'000'000ULL;  // an hour ahead: the clock went back
  UpdateProgressTimes(ctx(), p);
  EXPECT_EQ(Field(IDC_LBA), "7");
  EXPECT_EQ(Field(IDC_T_REM), "01:02:03");
  // Past the total, the estimate is zero, not a wrapped huge count.
  p.start_time = GetNowFileTime() - 10'000'000ULL;
  p.current = 200;
  UpdateProgressTimes(ctx(), p);
  EXPECT_EQ(Field(IDC_T_REM), "00:00:00");
}

TEST(LocalFileTime, CountsTheLocalClockSince1601WithTheZoneOffset) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  ::setenv("TZ", "XYZ-5", 1);  // five hours east of UTC, no daylight saving
  ::tzset();
  const std::uint64_t utc = (static_cast<std::uint64_t>(std::time(nullptr)) + 11644473600ull) * 10000000ull;
  const std::uint64_t local = GetNowFileTime();
  if (old) ::setenv("TZ", saved.c_str(), 1);
  else ::unsetenv("TZ");
  ::tzset();
  const std::int64_t diff = static_cast<std::int64_t>(local - utc) - 5ll * 3600 * 10000000;
  EXPECT_GE(diff, -20000000);
  EXPECT_LE(diff, 20000000);
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
