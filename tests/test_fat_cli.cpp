// retrova-cli on the FAT32 fixtures: the volume mounted at its start or
// found by the partition search, the scan, the printed tree against the
// oracle's listing; the options, the drive resolver, escaped names, and
// volumes reaching past the drive's end.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>

#include "platform/bytes.h"
#include "test_fat_support.h"
#include "volume_images.h"

using namespace fat_test;

namespace {


// Printed lines "Root/<path>\tstate\tsize\tdate\tnumber", keyed by path below Root.
std::multimap<std::string, std::vector<std::string>> ParseTree(const std::string& out) {
  std::multimap<std::string, std::vector<std::string>> m;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    const std::vector<std::string> f = SplitTabs(line);
    if (f.size() == 5 && f[0].starts_with("Root/")) m.emplace(f[0].substr(5), f);
  }
  return m;
}

}  // namespace

TEST(FatCliTest, FastScanPrintsWhatTheOracleLists) {
  const CliRun run = RunCli("scan '" + Fixture("fat/basic.img").string() + "' 2048");
  ASSERT_EQ(run.status, 0) << run.out;
  const auto tree = ParseTree(run.out);
  const std::vector<OracleLine> oracle = ReadOracle("fat/basic.fls.txt");
  EXPECT_EQ(tree.size(), oracle.size());
  for (const OracleLine& o : oracle) {
    const auto it = tree.find(o.path);
    if (it == tree.end()) {
      ADD_FAILURE() << "not printed: " << o.path;
      continue;
    }
    EXPECT_EQ(it->second[1], o.deleted ? "deleted" : "in-use") << o.path;
    EXPECT_TRUE(o.dir || it->second[2] == std::to_string(o.size)) << o.path << " " << it->second[2];
  }
  // Dates as the file list shows them; names as UTF-8.
  EXPECT_EQ(tree.find("ONE.BIN")->second[3], "03-06-2021 03:06");
  EXPECT_TRUE(tree.count("Café Menu.txt"));
}

TEST(FatCliTest, SlowScanAndErrors) {
  const std::string image = Fixture("fat/damaged.img").string();
  const auto facts = ReadFacts("fat/damaged.facts.txt");
  const CliRun run = RunCli("scan '" + image + "' 2048 --slow");
  ASSERT_EQ(run.status, 0) << run.out;
  const auto tree = ParseTree(run.out);
  const std::string orphan = "ORPH" + std::to_string(facts.at("lost3_first"));
  ASSERT_TRUE(tree.count(orphan + "/ORPHAN.TXT")) << run.out;
  EXPECT_EQ(tree.find(orphan)->second[4], std::to_string(facts.at("lost3_first")));
  EXPECT_TRUE(tree.count("ROOT" + std::to_string(facts.at("rootlost_first")) + "/KEPT1.TXT"));

  const CliRun unknown = RunCli("scan '" + image + "' 12345", "2>&1");
  EXPECT_EQ(unknown.status, 2);
  EXPECT_NE(unknown.out.find("no volume at Logical LBA 12345"), std::string::npos) << unknown.out;
  EXPECT_NE(unknown.out.find("\n  2048\t"), std::string::npos) << "the rows that exist are named";
  EXPECT_EQ(RunCli("scan '" + image + "'").status, 2);
  EXPECT_EQ(RunCli("scan 99 2048").status, 2);
}

namespace {

// Every fixture image holding a FAT32 volume the scan reads.
constexpr const char* kFat32Fixtures[] = {"fat/basic.img", "fat/damaged.img", "demo.img",         "legacy.img",
                                          "modern.img",    "zeroed_mbr.img",  "fat32_backup.img", "entry_only.img"};

// The Logical LBAs of `volumes` rows of a file-system type.
std::vector<std::string> VolumeStarts(const std::string& image, const std::string& fs_type) {
  std::vector<std::string> out;
  std::istringstream in(RunCli("volumes " + image).out);
  for (std::string line; std::getline(in, line);) {
    const std::vector<std::string> f = SplitTabs(line);
    if (f.size() == 5 && f[3] == fs_type) out.push_back(f[0]);
  }
  return out;
}

class CliTest : public RetrovaTest {};

}  // namespace

TEST_F(CliTest, MountingAtTheStartAndSearchingPrintTheSame) {
  int trees = 0;
  for (const char* name : kFat32Fixtures) {
    const std::string image = Quoted(Fixture(name));
    const std::vector<std::string> starts = VolumeStarts(image, "3");
    EXPECT_FALSE(starts.empty()) << name;
    for (const std::string& lba : starts) {
      SCOPED_TRACE(std::string(name) + " at " + lba);
      for (const char* slow : {"", " --slow"}) {
        const CliRun direct = RunCli("scan " + image + " " + lba + slow);
        const CliRun searched = RunCli("scan " + image + " " + lba + slow + " --search");
        EXPECT_EQ(direct.status, searched.status);
        EXPECT_EQ(direct.out, searched.out);
        trees += !direct.out.empty();
      }
      // The direct path is taken: the search's own debug line never shows.
      const CliRun debug = RunCli("--debug scan " + image + " " + lba, "2>&1");
      EXPECT_NE(debug.out.find("debug: MountVolumeAt: LBA " + lba + " from"), std::string::npos) << debug.out;
    }
  }
  EXPECT_GT(trees, 10);
}

TEST_F(CliTest, OneResolverForEveryVerbAndUsageErrors) {
  const std::string image = Quoted(Fixture("fat/basic.img"));
  // The image's row in the drives list, with it given as --image.
  std::string row;
  std::istringstream in(RunCli("drives " + image).out);
  for (std::string line; std::getline(in, line);)
    if (const auto f = SplitTabs(line); f.size() == 4 && f[3] == Fixture("fat/basic.img").string()) row = f[0];
  ASSERT_FALSE(row.empty());

  const CliRun by_path = RunCli("volumes " + image);
  ASSERT_EQ(by_path.status, 0);
  EXPECT_EQ(RunCli("volumes " + row + " --image " + image).out, by_path.out);
  EXPECT_EQ(RunCli("volumes " + image + " --image " + image).out, by_path.out) << "a listed path is that row";
  const CliRun scan = RunCli("scan " + image + " 2048");
  ASSERT_EQ(scan.status, 0);
  EXPECT_EQ(RunCli("scan " + row + " 2048 --image " + image).out, scan.out);
  EXPECT_EQ(RunCli("scan --image " + image + " " + row + " 2048").out, scan.out);

  // A row index beyond the list names no drive, however large.
  for (const auto& [verb, args] : {std::pair{"volumes", ""}, std::pair{"scan", " 2048"}}) {
    const CliRun unknown = RunCli(std::string(verb) + " 99999999999999999999999" + args, "2>&1");
    EXPECT_EQ(unknown.status, 2) << verb;
    EXPECT_NE(unknown.out.find(std::string("retrova-cli ") + verb + ": no drive"), std::string::npos) << unknown.out;
  }

  const CliRun version = RunCli("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(version.out.starts_with("retrova-cli ") && version.out.size() > 13) << version.out;
  for (const char* help : {"--help", "drives --help", "volumes --help", "scan --help"}) {
    const CliRun h = RunCli(help);
    EXPECT_EQ(h.status, 0) << help;
    EXPECT_NE(h.out.find("Usage"), std::string::npos) << help;
  }
  for (const char* bad : {"", "bogus", "scan", "scan x", "scan x -1", "scan x 12a", "volumes", "drives --nope",
                          "scan x 1 --image"})
    EXPECT_EQ(RunCli(bad).status, 2) << bad;
}

namespace {

// A FAT32 volume at LBA 0 (512-byte clusters, FATs at 32) whose root holds
// one file under a long name: the name's bytes, then the short entry.
std::filesystem::path WriteLongNameVolume(const std::filesystem::path& path, const std::string& long_name) {
  constexpr std::uint32_t kClusters = 5000, kFat = (kClusters + 2) * 4 / 512 + 1, kData = 32 + 2 * kFat;
  std::map<std::uint64_t, vimg::Sector> content;
  content[0] = vimg::Fat32Boot({.spc = 1, .fat_size = kFat, .total = kData + kClusters});
  vimg::Sector fat{};
  for (std::uint32_t c : {0u, 1u, 2u, 3u}) le::Write<std::uint32_t>(fat, 4 * c, 0x0FFFFFFF);
  content[32] = content[32 + kFat] = fat;

  vimg::Sector root{};
  static constexpr std::size_t kUnits[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  const std::size_t parts = (long_name.size() + 12) / 13;
  std::size_t slot = 0;
  for (std::size_t p = parts; p > 0; --p, ++slot) {
    const std::size_t at = slot * 32;
    root[at] = static_cast<std::uint8_t>(p | (p == parts ? 0x40 : 0));
    root[at + 11] = 0x0F;
    for (std::size_t u = 0, i = (p - 1) * 13; u < 13; ++u, ++i) {
      const unsigned unit = i < long_name.size() ? static_cast<std::uint8_t>(long_name[i]) : i == long_name.size() ? 0 : 0xFFFF;
      le::Write<std::uint16_t>(root, at + kUnits[u], static_cast<std::uint16_t>(unit));
    }
  }
  const std::size_t at = slot * 32;
  std::memcpy(&root[at], "LONGNA~1TXT", 11);
  root[at + 11] = 0x20;
  le::Write<std::uint16_t>(root, at + 24, ((2021 - 1980) << 9) | (3 << 5) | 6);
  le::Write<std::uint16_t>(root, at + 26, 3);
  le::Write<std::uint32_t>(root, at + 28, 5);
  content[kData] = root;
  vimg::WriteImage(path, kData + kClusters, content);
  return path;
}

}  // namespace

TEST_F(CliTest, NamesAreEscapedSoNoneForgesARowOrReachesTheTerminal) {
  // TAB, LF, "/", ESC [ 31 m, backslash, CR, DEL, the C1 CSI (0x9B) and a Latin-1 "é".
  const std::string name = std::string("a\tb\nc/d\x1B[31me\\f\rg\x7Fh\x9Bi\xE9.txt");
  const std::string image = Quoted(WriteLongNameVolume(TempDir() / "names.img", name));
  for (const char* mode : {"", " --search"}) {
    SCOPED_TRACE(mode);
    const CliRun run = RunCli("scan " + image + " 0" + mode);
    ASSERT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "Root/a\\tb\\nc\\x2Fd\\x1B[31me\\\\f\\rg\\x7Fh\\x9Bi\xC3\xA9.txt\tin-use\t5\t03-06-2021 00:00\t3\n");
    for (std::size_t i = 0; i < run.out.size(); ++i) {
      const auto c = static_cast<unsigned char>(run.out[i]);
      EXPECT_TRUE(c >= 0x20 || c == '\t' || c == '\n') << "raw control byte at " << i;
      EXPECT_NE(c, 0x7F);
      if (c == 0xC2 && i + 1 < run.out.size()) {
        EXPECT_GE(static_cast<unsigned char>(run.out[i + 1]), 0xA0u) << "a C1 control as UTF-8";
      }
    }
  }
}

TEST_F(CliTest, VolumesPastTheDrivesEndAreReported) {
  const std::filesystem::path source = Fixture("fat/basic.img");
  const std::string full = RunCli("scan " + Quoted(source) + " 2048").out;
  const std::uint64_t claimed = std::filesystem::file_size(source) / 512 - 2048;

  // Cut inside the data area, after everything the tree needs: the same tree,
  // a warning, success.
  const std::filesystem::path cut = TempDir() / "cut.img";
  std::filesystem::copy_file(source, cut);
  std::filesystem::resize_file(cut, 20 << 20);
  const std::uint64_t missing = std::filesystem::file_size(source) / 512 - (20 << 11);
  const std::string warning = "volume extends " + std::to_string(missing) + " sectors past the end of the drive";
  const CliRun volumes = RunCli("volumes " + Quoted(cut));
  EXPECT_EQ(volumes.out.substr(0, volumes.out.find('\n')), "2048\tFAT32   \t0.03 GB\t3\t1") << "the size as claimed";
  for (const char* mode : {"", " --search"}) {
    const CliRun run = RunCli("scan " + Quoted(cut) + " 2048" + mode);
    EXPECT_EQ(run.status, 0) << mode;
    EXPECT_EQ(run.out, full) << mode;
    EXPECT_NE(RunCli("scan " + Quoted(cut) + " 2048" + mode, "2>&1").out.find(warning), std::string::npos) << mode;
  }

  // Cut inside the reserved sectors: nothing of the tree is there.
  const std::filesystem::path stub = TempDir() / "stub.img";
  std::filesystem::copy_file(source, stub);
  std::filesystem::resize_file(stub, (2048 + 20) * 512);
  for (const char* mode : {"", " --slow"}) {
    const CliRun run = RunCli("scan " + Quoted(stub) + " 2048" + mode, "2>&1");
    EXPECT_EQ(run.status, 1) << mode << run.out;
    EXPECT_EQ(run.out.find("Root/"), std::string::npos) << mode;
    EXPECT_NE(run.out.find("volume extends " + std::to_string(claimed - 20) + " sectors past the end of the drive"),
              std::string::npos)
        << run.out;
  }
  // Whole volumes: no warning.
  EXPECT_EQ(RunCli("scan " + Quoted(source) + " 2048", "2>&1").out.find("past the end"), std::string::npos);
}
