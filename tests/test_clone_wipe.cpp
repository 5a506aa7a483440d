// Clone and wipe on image files: only the range changes, stops leave a
// consistent prefix, refusals write nothing, unreadable sectors become zeros.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>

#include <unistd.h>

#include "disk/bulk_write.h"
#include "disk/phydrive.h"
#include "platform/frontend.h"
#include "res/ids.h"
#include "res/resources.h"
#include "platform/sysio.h"
#include "test_support.h"
#include "utils/clone.h"
#include "utils/progress_pie.h"
#include "utils/wipe.h"

namespace {

constexpr std::size_t S = kSectorSize;

std::vector<std::uint8_t> RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<std::uint8_t> v(n);
  for (auto& b : v) b = static_cast<std::uint8_t>(gen());
  return v;
}

std::vector<std::uint8_t> ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

struct DriveCloser {
  void operator()(PHYDRIVE_INFO* d) const { FreePhyDrive(d); }
};
using Drive = std::unique_ptr<PHYDRIVE_INFO, DriveCloser>;

Drive Open(const std::filesystem::path& p) {
  std::string reason;
  Drive d(OpenImageDrive(p.string(), reason));
  EXPECT_TRUE(d) << reason;
  return d;
}

// Sectors [from, from + count) of a byte image.
std::vector<std::uint8_t> Sectors(const std::vector<std::uint8_t>& img, std::uint64_t from, std::uint64_t count) {
  return {img.begin() + static_cast<std::ptrdiff_t>(from * S), img.begin() + static_cast<std::ptrdiff_t>((from + count) * S)};
}

// Everything of `now` outside sectors [from, from + count) equals `before`.
void ExpectOnlyRangeChanged(const std::vector<std::uint8_t>& before, const std::vector<std::uint8_t>& now,
                            std::uint64_t from, std::uint64_t count) {
  ASSERT_EQ(before.size(), now.size());
  EXPECT_TRUE(std::equal(before.begin(), before.begin() + static_cast<std::ptrdiff_t>(from * S), now.begin()));
  EXPECT_TRUE(std::equal(before.begin() + static_cast<std::ptrdiff_t>((from + count) * S), before.end(),
                         now.begin() + static_cast<std::ptrdiff_t>((from + count) * S)));
}

// Sends a command or the initialisation to a dialog at once, as SendMessage does.
void SendCommandTo(Dialog* dlg, std::uint32_t id) {
  Msg m;
  m.dlg = dlg;
  m.kind = MsgKind::Command;
  m.id = id;
  SendMsg(m);
}
void SendInitTo(Dialog* dlg) {
  Msg m;
  m.dlg = dlg;
  m.kind = MsgKind::InitDialog;
  SendMsg(m);
}

class CloneWipeTest : public RetrovaTest {
 protected:
  std::filesystem::path Image(const std::string& name, std::uint64_t sectors, unsigned seed) {
    return WriteFile(name, RandomBytes(sectors * S, seed));
  }
};

TEST_F(CloneWipeTest, CloneCopiesTheRangeAndNothingElse) {
  const auto src = Image("src.img", 6000, 1), dst = Image("dst.img", 5000, 2);
  const auto src_before = ReadAll(src), dst_before = ReadAll(dst);
  Drive s = Open(src), d = Open(dst);
  // Crosses a 1 MiB transfer boundary and ends on a partial transfer.
  CloneRequest r{s.get(), d.get(), 100, 500, 3000};
  ASSERT_EQ(CheckClone(r), "");
  ctx().clone_running = 1;
  std::vector<std::uint64_t> ticks;
  const WriteOutcome out = CopySectors(ctx(), r, [&](std::uint64_t done) { ticks.push_back(done); });
  EXPECT_FALSE(out.failed);
  EXPECT_FALSE(out.stopped);
  EXPECT_EQ(out.done, 3000u);
  EXPECT_EQ(out.read_errors, 0u);
  EXPECT_EQ(ticks, (std::vector<std::uint64_t>{2048, 3000}));
  const auto now = ReadAll(dst);
  EXPECT_EQ(Sectors(now, 500, 3000), Sectors(src_before, 100, 3000));
  ExpectOnlyRangeChanged(dst_before, now, 500, 3000);
  EXPECT_EQ(ReadAll(src), src_before);
}

// Ranges longer than the writer's write-behind window: transfers whose
// write-back is waited for and whose pages are dropped on the way, then the
// rest at the end; the DOD read-back of such a range reads what was written.
TEST_F(CloneWipeTest, RangesPastTheWriteBehindWindowArriveWhole) {
  constexpr std::uint64_t kSectors = DriveWriter::kWriteBehindBytes / S * 2 + 5000;
  const auto src = Image("long-src.img", kSectors, 30), dst = Image("long-dst.img", kSectors, 31);
  const auto src_before = ReadAll(src), dst_before = ReadAll(dst);
  Drive s = Open(src), d = Open(dst);
  const CloneRequest r{s.get(), d.get(), 1001, 3003, kSectors - 4000};
  ctx().clone_running = 1;
  const WriteOutcome out = CopySectors(ctx(), r, nullptr);
  ASSERT_FALSE(out.failed) << out.message;
  EXPECT_EQ(out.done, r.total);
  const auto now = ReadAll(dst);
  EXPECT_TRUE(Sectors(now, 3003, r.total) == Sectors(src_before, 1001, r.total));
  ExpectOnlyRangeChanged(dst_before, now, 3003, r.total);

  ctx().wipe_running = 1;
  const WipeRequest w{d.get(), 7, kSectors - 10, WipeMethod::Dod, 3};
  const WriteOutcome wiped = WipeSectors(ctx(), w, nullptr);
  EXPECT_FALSE(wiped.failed) << wiped.message;
  EXPECT_EQ(wiped.read_errors, 0u);
  ExpectOnlyRangeChanged(now, ReadAll(dst), 7, kSectors - 10);
}

TEST_F(CloneWipeTest, StoppedCloneLeavesACopiedPrefix) {
  const auto src = Image("src.img", 8000, 3), dst = Image("dst.img", 8000, 4);
  const auto src_before = ReadAll(src), dst_before = ReadAll(dst);
  Drive s = Open(src), d = Open(dst);
  CloneRequest r{s.get(), d.get(), 0, 10, 7000};
  ctx().clone_running = 1;
  // Exit pressed while the first transfer was under way.
  const WriteOutcome out = CopySectors(ctx(), r, [&](std::uint64_t) { ctx().clone_running = 0; });
  EXPECT_TRUE(out.stopped);
  EXPECT_FALSE(out.failed);
  ASSERT_EQ(out.done, kTransferSectors);
  const auto now = ReadAll(dst);
  EXPECT_EQ(Sectors(now, 10, out.done), Sectors(src_before, 0, out.done));
  ExpectOnlyRangeChanged(dst_before, now, 10, out.done);
}

TEST_F(CloneWipeTest, RefusedRangesWriteNothing) {
  const auto src = Image("src.img", 3000, 5), dst = Image("dst.img", 2000, 6);
  const auto dst_before = ReadAll(dst);
  Drive s = Open(src), d = Open(dst);
  // The default Total is what fits after both starts.
  EXPECT_EQ(CloneDefaultTotal(s.get(), d.get(), 0, 0), 2000u);
  EXPECT_EQ(CloneDefaultTotal(s.get(), d.get(), 2500, 0), 500u);
  EXPECT_EQ(CloneDefaultTotal(s.get(), d.get(), 0, 1900), 100u);
  EXPECT_EQ(CloneDefaultTotal(s.get(), nullptr, 3500, 0), 0u);
  EXPECT_EQ(CloneDefaultTotal(nullptr, d.get(), 0, 1999), 1u);
  EXPECT_EQ(SectorsAfter(*d, 1500), 500u);

  for (const CloneRequest& bad : {CloneRequest{s.get(), d.get(), 0, 1, 2000},       // destination end
                                  CloneRequest{s.get(), d.get(), 2001, 0, 1000},    // source end
                                  CloneRequest{s.get(), d.get(), 0, 0, 0},          // nothing
                                  CloneRequest{s.get(), d.get(), UINT64_MAX, 0, 2},  // overflowing start
                                  CloneRequest{s.get(), nullptr, 0, 0, 1}}) {
    EXPECT_NE(CheckClone(bad), "");
  }
  WipeRequest w{d.get(), 1999, 2, WipeMethod::Dod, 3};
  EXPECT_NE(CheckWipe(w), "");
  w = {d.get(), 0, 10, WipeMethod::UserDefined, 0};
  EXPECT_NE(CheckWipe(w), "");
  EXPECT_EQ(ReadAll(dst), dst_before);
}

TEST_F(CloneWipeTest, SameFileOnlyWithoutOverlapHoweverNamed) {
  const auto img = Image("one.img", 5000, 7);
  const auto before = ReadAll(img);
  std::filesystem::create_symlink(img, TempDir() / "alias.img");
  Drive a = Open(img), b = Open(TempDir() / "alias.img");
  ASSERT_TRUE(SameDriveFile(a->device_path, b->device_path));
  EXPECT_NE(CheckClone({a.get(), b.get(), 0, 999, 1000}), "");
  EXPECT_NE(CheckClone({a.get(), b.get(), 999, 0, 1000}), "");
  CloneRequest ok{a.get(), b.get(), 0, 1000, 1000};
  ASSERT_EQ(CheckClone(ok), "");
  ctx().clone_running = 1;
  EXPECT_FALSE(CopySectors(ctx(), ok, nullptr).failed);
  const auto now = ReadAll(img);
  EXPECT_EQ(Sectors(now, 1000, 1000), Sectors(before, 0, 1000));
  ExpectOnlyRangeChanged(before, now, 1000, 1000);
}

DevHandle g_bad_handle = kNoDevice;
// Sectors 2100-2102 of the faulty drive cannot be read.
ReadFault FailSectors(DevHandle h, std::uint64_t offset, std::size_t length) {
  ReadFault f;
  if (h == g_bad_handle && offset < 2103 * S && offset + length > 2100 * S) f.fail = true;
  return f;
}

TEST_F(CloneWipeTest, UnreadableSectorsBecomeZerosAndAreCounted) {
  const auto src = Image("src.img", 4000, 8), dst = Image("dst.img", 4000, 9);
  const auto src_before = ReadAll(src);
  Drive s = Open(src), d = Open(dst);
  g_bad_handle = s->handle;
  sys_SetReadFaultHook(FailSectors);
  ctx().clone_running = 1;
  const WriteOutcome out = CopySectors(ctx(), {s.get(), d.get(), 0, 0, 4000}, nullptr);
  sys_SetReadFaultHook(nullptr);
  EXPECT_FALSE(out.failed);
  EXPECT_EQ(out.done, 4000u);
  EXPECT_EQ(out.read_errors, 3u);
  const auto now = ReadAll(dst);
  EXPECT_EQ(Sectors(now, 0, 2100), Sectors(src_before, 0, 2100));
  EXPECT_EQ(Sectors(now, 2100, 3), std::vector<std::uint8_t>(3 * S, 0));
  EXPECT_EQ(Sectors(now, 2103, 1897), Sectors(src_before, 2103, 1897));
}

TEST_F(CloneWipeTest, WipesWriteOnlyTheRange) {
  const auto img = Image("wipe.img", 6000, 10);
  auto before = ReadAll(img);
  Drive d = Open(img);
  for (const WipeRequest& r : {WipeRequest{d.get(), 77, 2500, WipeMethod::Dod, 3},
                               WipeRequest{d.get(), 3000, 2999, WipeMethod::UserDefined, 2}}) {
    ASSERT_EQ(CheckWipe(r), "");
    ctx().wipe_running = 1;
    std::uint64_t last = 0;
    const WriteOutcome out = WipeSectors(ctx(), r, [&](std::uint64_t p) { last = p; });
    EXPECT_FALSE(out.failed) << out.message;
    EXPECT_EQ(out.read_errors, 0u);
    // Every pass, and the DOD read-back, counts in the progress.
    EXPECT_EQ(last, r.total * (WipePasses(r) + (r.method == WipeMethod::Dod ? 1 : 0)));
    const auto now = ReadAll(img);
    ExpectOnlyRangeChanged(before, now, r.start, r.total);
    const auto range = Sectors(now, r.start, r.total);
    EXPECT_NE(range, Sectors(before, r.start, r.total));
    // The last pass is random: neither the zeros nor the ones of a DOD wipe are left.
    EXPECT_NE(range, std::vector<std::uint8_t>(range.size(), 0));
    EXPECT_NE(range, std::vector<std::uint8_t>(range.size(), 0xFF));
    before = now;
  }
}

TEST_F(CloneWipeTest, StoppedWipeLeavesAWrittenPrefix) {
  const auto img = Image("wipe.img", 6000, 11);
  const auto before = ReadAll(img);
  Drive d = Open(img);
  ctx().wipe_running = 1;
  const WriteOutcome out =
      WipeSectors(ctx(), {d.get(), 5, 5000, WipeMethod::Dod, 3}, [&](std::uint64_t) { ctx().wipe_running = 0; });
  EXPECT_TRUE(out.stopped);
  ASSERT_EQ(out.done, kTransferSectors);
  const auto now = ReadAll(img);
  EXPECT_EQ(Sectors(now, 5, out.done), std::vector<std::uint8_t>(out.done * S, 0));  // the zeros pass
  ExpectOnlyRangeChanged(before, now, 5, out.done);
}

TEST_F(CloneWipeTest, ConfirmationDefaultsToNoAndNamesTheDrive) {
  const auto img = Image("c.img", 100, 12);
  Drive d = Open(img);
  const std::string text = DescribeWipe({d.get(), 10, 20, WipeMethod::Dod, 3});
  EXPECT_NE(text.find(img.string()), std::string::npos);
  EXPECT_NE(text.find("sectors 10-29"), std::string::npos);
  EXPECT_NE(text.find("No undo"), std::string::npos);
  EXPECT_FALSE(ConfirmWrite(nullptr, text, "Wipe"));  // unanswered: No
  headless::AnswerMessageBox(IDYES);
  EXPECT_TRUE(ConfirmWrite(nullptr, text, "Wipe"));
  ASSERT_EQ(headless::Boxes().size(), 2u);
  EXPECT_EQ(headless::Boxes()[0].buttons, MB_YESNO);
}

TEST_F(CloneWipeTest, MountedTargetIsNamed) {
  // The device the root file system is on must be refused as "/".
  std::ifstream mounts("/proc/self/mounts");
  std::string source, where, rest;
  while (mounts >> source >> where && std::getline(mounts, rest))
    if (where == "/") break;
  if (where != "/" || source.empty() || source[0] != '/' || !std::filesystem::is_block_file(source))
    GTEST_SKIP() << "the root file system is not on a block device here";
  EXPECT_EQ(MountedOn(source), "/");
  // An image file nothing is mounted from is free.
  EXPECT_EQ(MountedOn(Image("free.img", 10, 13).string()), std::nullopt);
  // A table naming the device elsewhere is read as given.
  const auto table = WriteFile("mounts", {});
  std::ofstream(table) << source << " /mnt/with\\040blank ext4 rw 0 0\n";
  MountTables t;
  t.mounts = table.string();
  t.swaps = "/nonexistent";
  EXPECT_EQ(MountedOn(source, t), "/mnt/with blank");
}

TEST_F(CloneWipeTest, CliWritesOnlyWithYes) {
  const auto src = Image("src.img", 3000, 14), dst = Image("dst.img", 3000, 15);
  const auto src_before = ReadAll(src), dst_before = ReadAll(dst);
  const std::string pair = Quoted(src) + " " + Quoted(dst);
  CliRun dry = RunCli("clone " + pair + " --source-start 5 --dest-start 7 --total 100");
  EXPECT_EQ(dry.status, 3);
  EXPECT_NE(dry.out.find("sectors 5-104"), std::string::npos);
  EXPECT_NE(dry.out.find("sectors 7-106"), std::string::npos);
  EXPECT_EQ(RunCli("wipe " + Quoted(dst) + " --start 1 --total 9").status, 3);
  EXPECT_EQ(RunCli("clone " + pair + " --dest-start 2999 --total 2 --yes").status, 1);
  EXPECT_EQ(RunCli("wipe " + Quoted(dst) + " --start 2990 --total 11 --yes").status, 1);
  EXPECT_EQ(RunCli("wipe " + Quoted(dst) + " --start -1 --yes").status, 2);
  EXPECT_EQ(ReadAll(dst), dst_before);

  EXPECT_EQ(RunCli("clone " + pair + " --source-start 5 --dest-start 7 --total 100 --yes").status, 0);
  auto now = ReadAll(dst);
  EXPECT_EQ(Sectors(now, 7, 100), Sectors(src_before, 5, 100));
  ExpectOnlyRangeChanged(dst_before, now, 7, 100);
  // Wipe's default Total is what is left after its start.
  CliRun wipe = RunCli("wipe " + Quoted(dst) + " --start 2900 --method user --iterations 1 --yes");
  EXPECT_EQ(wipe.status, 0);
  EXPECT_NE(wipe.out.find("wiped\t100\t"), std::string::npos);
  ExpectOnlyRangeChanged(now, ReadAll(dst), 2900, 100);
}

}  // namespace

namespace {

class CloneWipeDialogTest : public RetrovaTest {
 protected:
  void Click(Dialog* dlg, int id) { SendCommandTo(dlg, static_cast<std::uint32_t>(id)); }
  void SelectRow(Dialog* dlg, int list, int row) {
    ClickListRow(dlg, list, row, HitPart::Label);
    DrainQueue();
  }
  std::unique_ptr<Dialog> Open(int id, DlgProc proc) {
    auto dlg = CreateDialogModel(id, proc, ctx().main_dlg);
    SendInitTo(dlg.get());
    return dlg;
  }
};

TEST_F(CloneWipeDialogTest, CloneTotalsFitAfterTheStartsAndExitStops) {
  const auto a = WriteFile("a.img", RandomBytes(6000 * S, 20));
  const auto b = WriteFile("b.img", RandomBytes(5000 * S, 21));
  const auto a_before = ReadAll(a), b_before = ReadAll(b);
  OpenMainWindow({a.string(), b.string()});
  auto dlg = Open(IDD_CLONE, CloneDlgProc);
  ListView* list = GetListView(dlg.get(), IDC_CLONE_LIST);
  const int rows = ListView_GetItemCount(list);
  ASSERT_GE(rows, 2);
  EXPECT_EQ(GetDlgItemText(dlg.get(), IDC_CLONE_SOURCE), "None");
  EXPECT_EQ(ListView_GetItemText(list, rows - 1, 1), "0.00 GB");
  // Destination first, then a typed source start: Total is what fits after both.
  SelectRow(dlg.get(), IDC_CLONE_LIST, rows - 1);
  Click(dlg.get(), IDC_CLONE_PICK_DEST);
  EXPECT_EQ(GetDlgItemText(dlg.get(), IDC_CLONE_TOTAL), "5000");
  SetDlgItemText(dlg.get(), IDC_CLONE_SOURCE_START, "1500");
  SelectRow(dlg.get(), IDC_CLONE_LIST, rows - 2);
  Click(dlg.get(), IDC_CLONE_PICK_SOURCE);
  EXPECT_EQ(GetDlgItemText(dlg.get(), IDC_CLONE_TOTAL), "4500");
  EXPECT_NE(GetDlgItemText(dlg.get(), IDC_CLONE_SOURCE).find(" --  "), std::string::npos);

  // Unanswered, the confirmation says No: nothing written.
  Click(dlg.get(), IDC_CLONE_GO);
  EXPECT_EQ(ReadAll(b), b_before);
  // A Total past the destination's end is refused before writing.
  SetDlgItemText(dlg.get(), IDC_CLONE_TOTAL, "5001");
  SetDlgItemText(dlg.get(), IDC_CLONE_SOURCE_START, "0");
  headless::AnswerMessageBox(IDYES);
  Click(dlg.get(), IDC_CLONE_GO);
  EXPECT_EQ(headless::Boxes().back().icon, MB_ICONSTOP);
  EXPECT_EQ(ReadAll(b), b_before);

  // Exit while copying stops after the first transfer and keeps the dialog.
  SetDlgItemText(dlg.get(), IDC_CLONE_TOTAL, "4500");
  headless::AnswerMessageBox(IDYES);
  headless::PostCommandAfterSteps(0, IDD_CLONE, IDC_CLONE_EXIT);
  Click(dlg.get(), IDC_CLONE_GO);
  EXPECT_FALSE(dlg->ended);
  EXPECT_EQ(ctx().clone_running, 0);
  EXPECT_NE(headless::Boxes().back().text.find("Stopped after 2048 of 4500"), std::string::npos) << headless::Boxes().back().text;
  const auto now = ReadAll(b);
  EXPECT_EQ(Sectors(now, 0, 2048), Sectors(a_before, 0, 2048));
  ExpectOnlyRangeChanged(b_before, now, 0, 2048);
  EXPECT_TRUE(GetDlgItem(dlg.get(), IDC_CLONE_GO)->enabled);
  PieChart* pie = GetPieChart(dlg.get(), IDC_CLONE_PIE);
  ASSERT_NE(pie, nullptr);
  // Exit while idle closes.
  Click(dlg.get(), IDC_CLONE_EXIT);
  EXPECT_TRUE(dlg->ended);
}

TEST_F(CloneWipeDialogTest, WipeKeepsTheTypedStartAndWritesAfterYes) {
  const auto a = WriteFile("w.img", RandomBytes(3000 * S, 22));
  const auto before = ReadAll(a);
  OpenMainWindow({a.string()});
  auto dlg = Open(IDD_WIPE, WipeDlgProc);
  EXPECT_EQ(GetDlgItem(dlg.get(), IDC_WIPE_DOD)->check, 1);
  EXPECT_EQ(GetDlgItemText(dlg.get(), IDC_WIPE_ITERATIONS), "3");
  const int rows = ListView_GetItemCount(GetListView(dlg.get(), IDC_WIPE_LIST));
  SetDlgItemText(dlg.get(), IDC_WIPE_START, "2000");
  SelectRow(dlg.get(), IDC_WIPE_LIST, rows - 1);
  Click(dlg.get(), IDC_WIPE_PICK);
  EXPECT_EQ(GetDlgItemText(dlg.get(), IDC_WIPE_START), "2000");
  EXPECT_EQ(GetDlgItemText(dlg.get(), IDC_WIPE_TOTAL), "1000");
  Click(dlg.get(), IDC_WIPE_USER);
  EXPECT_EQ(GetDlgItem(dlg.get(), IDC_WIPE_DOD)->check, 0);
  SetDlgItemText(dlg.get(), IDC_WIPE_ITERATIONS, "1");
  headless::AnswerMessageBox(IDYES);
  Click(dlg.get(), IDC_WIPE_GO);
  const auto& confirm = headless::Boxes().at(headless::Boxes().size() - 2);
  EXPECT_EQ(confirm.buttons, MB_YESNO);
  EXPECT_NE(confirm.text.find("sectors 2000-2999"), std::string::npos);
  EXPECT_NE(confirm.text.find(a.string()), std::string::npos);
  const auto now = ReadAll(a);
  ExpectOnlyRangeChanged(before, now, 2000, 1000);
  EXPECT_NE(Sectors(now, 2000, 1000), Sectors(before, 2000, 1000));
  PieChart* pie = GetPieChart(dlg.get(), IDC_WIPE_PIE);
  ASSERT_NE(pie, nullptr);
  EXPECT_EQ(pie->label, "100.00 %");
  EXPECT_EQ(pie->radius, 31);
}

TEST_F(CloneWipeDialogTest, PieShowsShareAndTimeLeft) {
  auto dlg = CreateDialogModel(IDD_CLONE, CloneDlgProc, nullptr);
  // A quarter done in 10 s: 30 s left.
  PROGRESS_INFO p{1'000'000'000, 250, 1000, kProgressRunning};
  ShowPieProgress(dlg.get(), kClonePie, p, 1'000'000'000 + 100'000'000);
  PieChart* pie = GetPieChart(dlg.get(), IDC_CLONE_PIE);
  EXPECT_DOUBLE_EQ(pie->fraction, 0.25);
  EXPECT_EQ(pie->label, "25.00 %");
  EXPECT_EQ(pie->centre_x, 280);
  EXPECT_EQ(pie->pen_colour, RGB(0, 0, 100));
  EXPECT_EQ(GetDlgItemText(dlg.get(), IDC_CLONE_REMAINING), "00:00:30");
  p.phase = kProgressReset;
  ShowPieProgress(dlg.get(), kClonePie, p, 0);
  EXPECT_EQ(GetDlgItemText(dlg.get(), IDC_CLONE_REMAINING), "00:00:00");
  EXPECT_EQ(pie->fraction, 0);
}

}  // namespace

namespace {

TEST_F(CloneWipeDialogTest, DialogsStayShutWhileAScanOrTheFindersCopyRuns) {
  OpenMainWindow();
  // Opening a dialog clears the chosen drives; a marker left standing shows it never opened.
  auto* marker = reinterpret_cast<PHYDRIVE_INFO*>(&ctx());
  for (int* busy : {&ctx().scan_running, &ctx().finder_copy_running}) {
    *busy = 1;
    ctx().clone_source = ctx().wipe_target = marker;
    SendCommandTo(ctx().main_dlg, static_cast<std::uint32_t>(IDM_CLONE));
    SendCommandTo(ctx().main_dlg, static_cast<std::uint32_t>(IDM_WIPE));
    EXPECT_EQ(ctx().clone_source, marker);
    EXPECT_EQ(ctx().wipe_target, marker);
    *busy = 0;
  }
  // Idle, they open (and, headless with nothing scripted, close again).
  SendCommandTo(ctx().main_dlg, static_cast<std::uint32_t>(IDM_CLONE));
  SendCommandTo(ctx().main_dlg, static_cast<std::uint32_t>(IDM_WIPE));
  EXPECT_EQ(ctx().clone_source, nullptr);
  EXPECT_EQ(ctx().wipe_target, nullptr);
}

}  // namespace

namespace {

// An image file with a file system mounted through a loop device is refused
// by the CLI as by the engine, and named by its mount point. Needs root,
// mkfs.ext4 and loop devices; skipped elsewhere.
TEST_F(CloneWipeTest, ImageMountedThroughALoopDeviceIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  const auto img = MakeSparseFile("ext.img", 16u << 20);
  const auto mnt = TempDir() / "mnt";
  std::filesystem::create_directories(mnt);
  const std::string q = Quoted(img), m = Quoted(mnt);
  if (std::system(("mkfs.ext4 -q " + q + " >/dev/null 2>&1 && mount -o loop " + q + " " + m + " 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "cannot mount a loop device here";
  const auto where = MountedOn(img.string());
  // The first two sectors are the boot area ext4 leaves alone (zeros): the
  // file system's own writes elsewhere do not blur the check.
  CliRun run = RunCli("wipe " + q + " --total 2 --yes", "2>&1");
  std::system(("umount " + m).c_str());
  EXPECT_EQ(where, mnt.string());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find(mnt.string()), std::string::npos);
  EXPECT_EQ(Sectors(ReadAll(img), 0, 2), std::vector<std::uint8_t>(2 * S, 0));
}

}  // namespace
