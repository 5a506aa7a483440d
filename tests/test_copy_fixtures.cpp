// retrova-cli recover on every FAT32 and NTFS fixture: each live file icat
// lists comes out with icat's bytes, apart from the few the copy's own rules
// treat differently (named below with why).
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace fs = std::filesystem;

namespace {

struct RecoverCase {
  const char* image;  // partition at LBA 2048
  const char* md5;    // "md5  size-or-inode  path" of every live file, as icat reads it
  // Paths (or path prefixes) of listed files that no row names.
  std::vector<std::string> unlisted;
  // Files whose copy differs from icat on purpose: their expected MD5.
  std::map<std::string, std::string> differs;
};

const std::vector<RecoverCase>& Cases() {
  static const std::vector<RecoverCase> cases = {
      {"fat/basic.img", "fat/basic.md5.txt", {}, {}},
      {"fat/damaged.img", "fat/damaged.md5.txt", {}, {}},
      // A hard link's second name: the scan lists the record once, under its
      // first name. Names are decoded one byte a character (Latin-1), so names
      // with characters beyond it come out under another name.
      {"ntfs/ntfs_basic.img",
       "ntfs/ntfs_basic.md5.txt",
       {"Links/Second name of report.txt", "Notes \xF0\x9F\x8E\xB5 music.txt",
        "\xCE\x95\xCE\xBB\xCE\xBB\xCE\xB7\xCE\xBD\xCE\xB9\xCE\xBA\xCE\xAD\xCF\x82 "
        "\xCF\x83\xCE\xB7\xCE\xBC\xCE\xB5\xCE\xB9\xCF\x8E\xCF\x83\xCE\xB5\xCE\xB9\xCF\x82.txt"},
       {}},
      {"ntfs/ntfs_damaged.img", "ntfs/ntfs_damaged.md5.txt", {"Links/Second name of report.txt"}, {}},
      // Every file here has only a POSIX name, which no scan shows: only the
      // skipped system files are checked.
      {"ntfs/ntfs_fragmented_mft.img", "ntfs/ntfs_fragmented_mft.md5.txt", {"Dir ", "fill/", "Zeros "}, {}},
  };
  return cases;
}

// Root-level NTFS metadata files: the copy skips them by rule.
bool IsRootSystemFile(const std::string& path) { return path.starts_with("$") && path.find('/') == std::string::npos; }

std::vector<std::string> Split(const std::string& line, char sep) {
  std::vector<std::string> out;
  std::size_t from = 0;
  for (std::size_t at; (at = line.find(sep, from)) != std::string::npos; from = at + 1)
    out.push_back(line.substr(from, at - from));
  out.push_back(line.substr(from));
  return out;
}

// MD5 of each output file, relative path -> md5, through one md5sum run.
std::map<std::string, std::string> Md5sOf(const fs::path& dir, const std::vector<std::string>& files,
                                          const fs::path& scratch) {
  {
    std::ofstream list(scratch, std::ios::binary);
    for (const std::string& f : files) list << f << '\0';
  }
  std::map<std::string, std::string> out;
  FILE* p = ::popen(("cd " + Quoted(dir) + " && xargs -0 md5sum -z -- < " + Quoted(scratch)).c_str(), "r");
  if (!p) return out;
  std::string all;
  char buf[65536];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) all.append(buf, n);
  ::pclose(p);
  for (const std::string& rec : Split(all, '\0'))
    if (rec.size() > 34) out[rec.substr(34)] = rec.substr(0, 32);
  return out;
}

}  // namespace

class CopyFixturesTest : public RetrovaTest {};

TEST_F(CopyFixturesTest, EveryLiveFileOfEveryFixtureMatchesIcat) {
  int checked = 0;
  for (const RecoverCase& c : Cases()) {
    SCOPED_TRACE(c.image);
    const fs::path dest = TempDir() / fs::path(c.image).stem();
    const CliRun run = RunCli("recover " + Quoted(Fixture(c.image)) + " 2048 " + Quoted(dest));
    EXPECT_EQ(run.status, 0);
    // Rows: tree path ("Root/..."), output path under DEST, outcome, bytes.
    std::map<std::string, std::vector<std::string>> rows;
    for (const std::string& line : Split(run.out, '\n')) {
      std::vector<std::string> f = Split(line, '\t');
      if (f.size() < 4 || !f[0].starts_with("Root/")) continue;
      rows[f[0].substr(5)] = f;
    }
    std::vector<std::string> outputs;
    std::map<std::string, std::string> want;  // output path -> md5
    std::istringstream md5s(FixtureText(c.md5));
    for (std::string line; std::getline(md5s, line);) {
      const std::size_t a = line.find("  "), b = line.find("  ", a + 2);
      if (a == std::string::npos || b == std::string::npos) continue;
      const std::string md5 = line.substr(0, a), path = line.substr(b + 2);
      const auto row = rows.find(path);
      if (std::any_of(c.unlisted.begin(), c.unlisted.end(), [&](const std::string& u) { return path.starts_with(u); })) {
        EXPECT_EQ(row, rows.end()) << path << " is listed now: take it off the exceptions";
        continue;
      }
      if (row == rows.end()) {
        ADD_FAILURE() << path << ": no row";
        continue;
      }
      const std::vector<std::string>& f = row->second;
      if (IsRootSystemFile(path)) {
        EXPECT_EQ(f[2], "skipped") << path;
        continue;
      }
      if (f[2] != "copied") {
        ADD_FAILURE() << path << ": " << f[2];
        continue;
      }
      const auto d = c.differs.find(path);
      outputs.push_back(f[1]);
      want[f[1]] = d == c.differs.end() ? md5 : d->second;
      ++checked;
    }
    const std::map<std::string, std::string> got = Md5sOf(dest, outputs, TempDir() / "list");
    for (const auto& [out, md5] : want) {
      const auto g = got.find(out);
      EXPECT_EQ(g == got.end() ? std::string("(missing)") : g->second, md5) << out;
    }
  }
  EXPECT_GT(checked, 200);
}
