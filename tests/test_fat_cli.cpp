// retrova-cli scan on the FAT32 fixtures: the partition search, the scan,
// and the printed tree against the oracle's listing.
#include <cstdio>
#include <sys/wait.h>

#include "test_fat_support.h"

using namespace fat_test;

namespace {

struct CliRun {
  int status = -1;
  std::string out;
};

CliRun RunCli(const std::string& args, bool with_stderr = false) {
  CliRun run;
  const std::string cmd = std::string(RETROVA_CLI_PATH) + " " + args + (with_stderr ? " 2>&1" : " 2>/dev/null");
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return run;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) run.out.append(buf, n);
  const int st = ::pclose(p);
  run.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return run;
}

struct PrintedLine {
  std::string state, date;
  std::uint64_t size = 0, own = 0;
};

// path below Root -> the rest of its line.
std::map<std::string, PrintedLine> ParseTree(const std::string& out, std::size_t* lines = nullptr) {
  std::map<std::string, PrintedLine> m;
  std::istringstream in(out);
  std::string line;
  std::size_t count = 0;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string s; std::getline(fields, s, '\t');) f.push_back(s);
    if (f.size() != 5 || !f[0].starts_with("Root/")) continue;
    ++count;
    m[f[0].substr(5)] = PrintedLine{f[1], f[3], std::stoull(f[2]), std::stoull(f[4])};
  }
  if (lines) *lines = count;
  return m;
}

}  // namespace

TEST(FatCliTest, FastScanPrintsWhatTheOracleLists) {
  const CliRun run = RunCli("scan '" + Fixture("fat/basic.img").string() + "' 2048");
  ASSERT_EQ(run.status, 0) << run.out;
  std::size_t count = 0;
  const auto tree = ParseTree(run.out, &count);
  const std::vector<OracleLine> oracle = ReadOracle(FixtureText("fat/basic.fls.txt"));
  EXPECT_EQ(count, oracle.size());
  for (const OracleLine& o : oracle) {
    std::string path = o.path;
    if (o.deleted) {
      const std::size_t first = path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1;
      if (path[first] == '_') path[first] = 'D';
    }
    if (path.ends_with("(Volume Label Entry)")) path = "RETROVA";
    const auto it = tree.find(path);
    if (it == tree.end()) {
      ADD_FAILURE() << "not printed: " << path;
      continue;
    }
    EXPECT_EQ(it->second.state, o.deleted ? "deleted" : "in-use") << path;
    if (!o.dir) {
      EXPECT_EQ(it->second.size, o.size) << path;
    }
  }
  // Dates as the file list shows them; names as UTF-8.
  EXPECT_EQ(tree.at("ONE.BIN").date, "03-06-2021 03:06");
  EXPECT_TRUE(tree.count("Café Menu.txt"));
}

TEST(FatCliTest, SlowScanAndErrors) {
  const std::string image = Fixture("fat/damaged.img").string();
  const auto facts = ReadFacts(FixtureText("fat/damaged.facts.txt"));
  const CliRun run = RunCli("scan '" + image + "' 2048 --slow");
  ASSERT_EQ(run.status, 0) << run.out;
  const auto tree = ParseTree(run.out);
  const std::string orphan = "ORPH" + std::to_string(facts.at("lost3_first"));
  ASSERT_TRUE(tree.count(orphan + "/ORPHAN.TXT")) << run.out;
  EXPECT_EQ(tree.at(orphan).own, facts.at("lost3_first"));
  EXPECT_TRUE(tree.count("ROOT" + std::to_string(facts.at("rootlost_first")) + "/KEPT1.TXT"));

  const CliRun unknown = RunCli("scan '" + image + "' 12345", true);
  EXPECT_EQ(unknown.status, 2);
  EXPECT_NE(unknown.out.find("no volume at Logical LBA 12345"), std::string::npos) << unknown.out;
  EXPECT_NE(unknown.out.find("\n  2048\t"), std::string::npos) << "the rows that exist are named";

  EXPECT_EQ(RunCli("scan '" + image + "'").status, 2);
  EXPECT_EQ(RunCli("scan 99 2048").status, 2);
}
