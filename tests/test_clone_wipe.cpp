// Clone and wipe on image files: only the range changes, stops leave a
// consistent prefix, refusals write nothing, unreadable sectors become zeros.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>

#include "disk/phydrive.h"
#include "platform/frontend.h"
#include "platform/sysio.h"
#include "test_support.h"
#include "utils/clone.h"
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
