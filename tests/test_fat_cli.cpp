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
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) run.out.append(buf, n);
  const int st = ::pclose(p);
  run.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return run;
}

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

  const CliRun unknown = RunCli("scan '" + image + "' 12345", true);
  EXPECT_EQ(unknown.status, 2);
  EXPECT_NE(unknown.out.find("no volume at Logical LBA 12345"), std::string::npos) << unknown.out;
  EXPECT_NE(unknown.out.find("\n  2048\t"), std::string::npos) << "the rows that exist are named";
  EXPECT_EQ(RunCli("scan '" + image + "'").status, 2);
  EXPECT_EQ(RunCli("scan 99 2048").status, 2);
}
