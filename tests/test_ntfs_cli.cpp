// retrova-cli on NTFS volumes: the printed tree of both scans against the
// oracle's listing, the rows of "Unlinked Data" and "Orphan Files", and a
// volume whose $MFT record does not decode.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>

#include "platform/bytes.h"
#include "test_ntfs_support.h"

using namespace ntfs_test;

namespace {


// Rows "Root/<path>\tstate\tsize\tdate\tnumber"; kind from the oracle's view:
// a row with rows below it is a directory.
std::vector<ScanLine> ParseRows(const std::string& out, std::vector<std::string>* states = nullptr) {
  std::vector<ScanLine> lines;
  std::istringstream in(out);
  for (std::string row; std::getline(in, row);) {
    const std::vector<std::string> f = fat_test::SplitTabs(row);
    if (f.size() != 5 || !f[0].starts_with("Root/")) continue;
    lines.push_back({f[0].substr(5), false, f[1] == "in-use", std::stoull(f[2]), std::stoull(f[4])});
    if (states) states->push_back(f[1]);
  }
  for (ScanLine& l : lines)
    for (const ScanLine& m : lines)
      if (m.path.starts_with(l.path + "/")) l.dir = true;
  return lines;
}

// A path as the CLI prints it: C1 controls and backslashes escaped.
std::string Printed(const std::string& utf8) {
  std::string out;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    const auto next = i + 1 < utf8.size() ? static_cast<unsigned char>(utf8[i + 1]) : 0;
    if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
      static constexpr char kDigits[] = "0123456789ABCDEF";
      out += std::string("\\x") + kDigits[next >> 4] + kDigits[next & 0xF];
      ++i;
    } else {
      out += c == '\\' ? std::string("\\\\") : std::string(1, static_cast<char>(c));
    }
  }
  return out;
}

std::string Image(const NtfsFixture& f) { return "'" + ScannedImage(f).string() + "' " + std::to_string(f.start); }

}  // namespace

class NtfsFixtureCliTest : public ::testing::TestWithParam<NtfsFixture> {};

TEST_P(NtfsFixtureCliTest, BothScansPrintWhatTheOracleLists) {
  const NtfsFixture& f = GetParam();
  std::map<std::string, OracleEntry> oracle;
  for (auto [path, o] : ExpectedEntries(f)) {
    o.path = Printed(path);
    oracle.emplace(o.path, o);
  }
  // Rows alone cannot tell an empty directory from a file.
  for (auto& [path, o] : oracle) {
    const bool has_rows_below = std::any_of(oracle.begin(), oracle.end(),
                                            [&](const auto& e) { return e.first.starts_with(path + "/"); });
    if (o.dir && !has_rows_below) o.dir = false, o.size.reset();
  }
  for (const char* mode : {"", " --slow"}) {
    const CliRun run = RunCli("scan " + Image(f) + mode);
    ASSERT_EQ(run.status, 0) << mode;
    std::vector<std::string> states;
    const std::vector<ScanLine> rows = ParseRows(run.out, &states);
    ExpectMatchesOracle(rows, oracle, std::string("cli") + mode);
    // The two nodes, as the tree shows them: last children of Root, each
    // followed only by what lies below it.
    const auto node = [&](const std::string& p) {
      return std::find_if(rows.begin(), rows.end(), [&](const ScanLine& l) { return l.path == p; }) - rows.begin();
    };
    const auto unlinked = node("Unlinked Data"), orphans = node("Orphan Files");
    ASSERT_LT(orphans, static_cast<std::ptrdiff_t>(rows.size()));
    ASSERT_LT(unlinked, orphans);
    for (auto i = unlinked + 1; i < static_cast<std::ptrdiff_t>(rows.size()); ++i)
      EXPECT_TRUE(i == orphans || rows[static_cast<std::size_t>(i)].path.starts_with(i < orphans ? "Unlinked Data/" : "Orphan Files/"))
          << rows[static_cast<std::size_t>(i)].path;
    EXPECT_EQ(states[static_cast<std::size_t>(orphans)], "synthetic");
    EXPECT_EQ(states[static_cast<std::size_t>(unlinked)], "synthetic");
  }
}

INSTANTIATE_TEST_SUITE_P(Ntfs, NtfsFixtureCliTest, ::testing::ValuesIn(kNtfsFixtures),
                         [](const auto& info) { return FixtureTestName(info.param); });

class NtfsCliTest : public RetrovaTest {};

// Records found beside the $MFT keep their numbers; a directory whose
// parent record is gone goes under "Unlinked Data", a file under "Orphan Files".
TEST_F(NtfsCliTest, LostParentsPrintUnderTheNodes) {
  const NtfsFixture& f = kNtfsFixtures[0];
  std::ifstream in(Fixture(f.image), std::ios::binary);
  in.seekg(static_cast<std::streamoff>(f.start * 512));
  std::vector<std::uint8_t> img(16065 * 512);
  in.read(reinterpret_cast<char*>(img.data()), static_cast<std::streamsize>(img.size()));
  // Docs (64) names a parent that is no directory; Readme.txt's parent, a number no record has.
  // Every name of the record (long and DOS) carries the parent.
  auto set_parent = [&](std::size_t record_at, std::uint64_t parent) {
    int names = 0;
    for (std::size_t o = le::U16(std::span(img), record_at + 20); o + 8 < 1024;) {
      const std::uint32_t type = le::U32(std::span(img), record_at + o), len = le::U32(std::span(img), record_at + o + 4);
      if (type == 0xFFFFFFFF || len == 0) break;
      if (type == 0x30) {
        le::Write(std::span(img), record_at + o + le::U16(std::span(img), record_at + o + 20), parent);
        ++names;
      }
      o += len;
    }
    ASSERT_GT(names, 0);
  };
  const std::string head = "FILE";
  std::size_t mft = 0;
  while (std::string(img.begin() + mft, img.begin() + mft + 4) != head) mft += 512;
  set_parent(mft + 64 * 1024, 2);
  set_parent(mft + 65 * 1024, 4000);
  const auto image = WriteFile("lost.img", img);
  const CliRun run = RunCli("scan '" + image.string() + "' 0");
  ASSERT_EQ(run.status, 0);
  const std::vector<ScanLine> rows = ParseRows(run.out);
  auto has = [&](const std::string& p) {
    return std::any_of(rows.begin(), rows.end(), [&](const ScanLine& l) { return l.path == p; });
  };
  EXPECT_TRUE(has("Unlinked Data/Docs"));
  EXPECT_TRUE(has("Unlinked Data/Docs/Project plan.txt"));
  EXPECT_TRUE(has("Orphan Files/Readme.txt"));
  EXPECT_FALSE(has("Readme.txt"));
}

TEST_F(NtfsCliTest, FastScanOfAnUndecodableMftExitsOne) {
  const NtfsFixture& f = kNtfsFixtures[0];
  std::ifstream in(Fixture(f.image), std::ios::binary);
  in.seekg(static_cast<std::streamoff>(f.start * 512));
  std::vector<std::uint8_t> img(16065 * 512);
  in.read(reinterpret_cast<char*>(img.data()), static_cast<std::streamsize>(img.size()));
  std::size_t mft = 0;
  while (std::string(img.begin() + mft, img.begin() + mft + 4) != "FILE") mft += 512;
  std::copy_n("BAAD", 4, img.begin() + mft);
  const auto image = WriteFile("bad.img", img);

  const CliRun fast = RunCli("scan '" + image.string() + "' 0", "2>&1");
  EXPECT_EQ(fast.status, 1);
  EXPECT_NE(fast.out.find("$MFT record of the volume at 0 could not be decoded"), std::string::npos) << fast.out;
  EXPECT_TRUE(ParseRows(fast.out).empty());

  const CliRun slow = RunCli("scan '" + image.string() + "' 0 --slow");
  EXPECT_EQ(slow.status, 0);
  EXPECT_FALSE(ParseRows(slow.out).empty());
}
