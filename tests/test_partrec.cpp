// Partition records: the CHS word, the entry's bytes, where the entry goes in
// the table sector, the sectors refused, and mmls reading a written entry.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/bytes.h"
#include "test_support.h"
#include "utils/partrec.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> EmptyTable() {
  std::vector<std::uint8_t> s(512);
  s[510] = 0x55;
  s[511] = 0xAA;
  return s;
}

PartParams Ntfs(std::uint64_t first, std::uint64_t total) {
  PartParams p;
  p.fs = PartFs::kNtfs;
  p.first = first;
  p.total = total;
  p.start = {0, 1, 1};
  p.end = {10, 254, 63};
  return p;
}

}  // namespace

TEST(PartrecTest, PackChsWordExamples) {
  auto bytes = [](std::uint32_t c, std::uint32_t s) {
    const std::uint16_t w = PackChsWord(c, s);
    return std::pair<int, int>(w & 0xFF, w >> 8);
  };
  EXPECT_EQ(bytes(1023, 63), std::make_pair(0xFF, 0xFF));
  EXPECT_EQ(bytes(0, 1), std::make_pair(0x01, 0x00));
  EXPECT_EQ(bytes(256, 1), std::make_pair(0x41, 0x00));
}

TEST(PartrecTest, EntryBytesTypesAndClampedCylinders) {
  PartParams p = Ntfs(63, 1000);
  p.boot = true;
  p.end = {5000, 7, 9};  // past 1023: written 1023/254/63
  const auto e = BuildPartEntry(p);
  EXPECT_EQ(e[0], 0x80);
  EXPECT_EQ(e[1], 1);
  EXPECT_EQ(le::U16(e, 2), 0x0001);
  EXPECT_EQ(e[4], 0x07);
  EXPECT_EQ(e[5], 254);
  EXPECT_EQ(le::U16(e, 6), 0xFFFF);
  EXPECT_EQ(le::U32(e, 8), 63u);
  EXPECT_EQ(le::U32(e, 12), 1000u);
  EXPECT_EQ(PartitionTypeFor(PartFs::kFat32, 100000), 0x0C);
  EXPECT_EQ(PartitionTypeFor(PartFs::kFat, 65535), 0x04);
  EXPECT_EQ(PartitionTypeFor(PartFs::kFat, 65536), 0x06);
  EXPECT_FALSE(CheckChs({0, 255, 1}, "start").empty());
  EXPECT_FALSE(CheckChs({0, 0, 0}, "start").empty());
  EXPECT_FALSE(CheckChs({0, 0, 64}, "start").empty());
  EXPECT_TRUE(CheckChs({2000, 254, 63}, "end").empty());
}

TEST(PartrecTest, TheEntryGoesIntoTheFirstEmptySlotAndTheRestIsKept) {
  std::vector<std::uint8_t> old = EmptyTable();
  for (int i = 0; i < 446; ++i) old[i] = static_cast<std::uint8_t>(i);  // boot code
  old[446 + 4] = 0x0C;  // slot 1 used
  old[446 + 8] = 1;
  PartPlan plan = PlanPartitionRecord(Ntfs(2048, 4096), old, 100000);
  ASSERT_TRUE(plan.refusal.empty()) << plan.refusal;
  EXPECT_EQ(plan.slot, 2);
  EXPECT_TRUE(std::equal(old.begin(), old.begin() + 462, plan.sector.begin()));
  EXPECT_EQ(plan.sector[462 + 4], 0x07);
  EXPECT_TRUE(std::equal(old.begin() + 478, old.end(), plan.sector.begin() + 478));

  // All four used: a slot must be chosen.
  for (int i = 0; i < 4; ++i) old[446 + 16 * i + 4] = 0x83;
  plan = PlanPartitionRecord(Ntfs(2048, 4096), old, 100000);
  EXPECT_TRUE(plan.slot_needed);
  PartParams p = Ntfs(2048, 4096);
  p.slot = 3;
  plan = PlanPartitionRecord(p, old, 100000);
  ASSERT_TRUE(plan.refusal.empty());
  EXPECT_EQ(plan.sector[478 + 4], 0x07);
  EXPECT_EQ(plan.sector[462 + 4], 0x83);

  // A zeroed sector becomes a table.
  plan = PlanPartitionRecord(Ntfs(63, 100), std::vector<std::uint8_t>(512), 100000);
  ASSERT_TRUE(plan.refusal.empty());
  EXPECT_EQ(le::U16(plan.sector, 510), 0xAA55);
}

TEST(PartrecTest, SectorsAndValuesRefused) {
  std::vector<std::uint8_t> data(512, 0x41);  // file data, no signature
  EXPECT_NE(PlanPartitionRecord(Ntfs(63, 100), data, 100000).refusal.find("neither empty"), std::string::npos);
  std::vector<std::uint8_t> gpt = EmptyTable();
  gpt[446 + 4] = 0xEE;
  EXPECT_NE(PlanPartitionRecord(Ntfs(63, 100), gpt, 100000).refusal.find("GPT"), std::string::npos);
  EXPECT_NE(PlanPartitionRecord(Ntfs(63, 100000), EmptyTable(), 100000).refusal.find("past the drive"),
            std::string::npos);
  PartParams p = Ntfs(63, 100);
  p.start.head = 255;
  EXPECT_FALSE(PlanPartitionRecord(p, EmptyTable(), 100000).refusal.empty());
}

class PartrecToolTest : public RetrovaTest {
 protected:
  void SetUp() override {
    RetrovaTest::SetUp();
    setenv("XDG_DATA_HOME", (TempDir() / "data").c_str(), 1);
  }
  static std::vector<char> Bytes(const fs::path& img) {
    std::ifstream f(img, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(f), {});
  }
};

TEST_F(PartrecToolTest, MmlsReadsAWrittenEntry) {
  const fs::path img = MakeSparseFile("disk.img", 8ull << 20);
  const std::string args = "partrec " + Quoted(img) + " --fs fat --first 2048 --total 14336";
  EXPECT_EQ(RunCli(args).status, 3);
  EXPECT_EQ(Bytes(img), std::vector<char>(8u << 20)) << "no --yes: nothing written";
  ASSERT_EQ(RunCli(args + " --yes").status, 0);
  if (std::system("command -v mmls >/dev/null 2>&1") != 0) {
    std::printf("mmls missing: the table check is skipped\n");
    return;
  }
  FILE* p = popen(("mmls " + Quoted(img) + " 2>&1").c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[1024];
  for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  pclose(p);
  EXPECT_NE(out.find("0000002048   0000016383   0000014336"), std::string::npos) << out;
  EXPECT_NE(out.find("(0x04)"), std::string::npos) << out;
}

TEST_F(PartrecToolTest, RefusalsWriteNothing) {
  const fs::path img = MakeSparseFile("gpt.img", 1u << 20);
  {
    std::fstream f(img, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(446 + 4);
    f.put(static_cast<char>(0xEE));
    f.seekp(510);
    f.put(0x55);
    f.put(static_cast<char>(0xAA));
  }
  const auto before = Bytes(img);
  EXPECT_EQ(RunCli("partrec " + Quoted(img) + " --fs ntfs --first 63 --total 100 --yes").status, 1);
  EXPECT_EQ(RunCli("partrec " + Quoted(img) + " --fs ntfs --first 63 --total 5000 --slot 2 --yes").status, 1);
  EXPECT_EQ(RunCli("partrec " + Quoted(img) + " --fs ntfs --first 63 --total 100 --start-chs 0/0/0 --yes").status, 1);
  EXPECT_EQ(RunCli("partrec " + Quoted(img) + " --fs ntfs --first 63 --total 100 --slot 5").status, 2);
  EXPECT_EQ(Bytes(img), before);
  EXPECT_FALSE(fs::exists(TempDir() / "data" / "retrova" / "undo"));
}
