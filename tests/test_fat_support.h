// The FAT32 fixtures' oracle listing (`fls -r -p -l`) and facts, shared by the scan and CLI tests.
#pragma once
#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace fat_test {

inline std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> f;
  std::istringstream in(line);
  for (std::string s; std::getline(in, s, '\t');) f.push_back(s);
  return f;
}

struct OracleLine {
  std::string path;
  bool dir = false, deleted = false;
  std::uint64_t size = 0;
};

// The oracle's entries under the paths the scans give them: a deleted 8.3
// name starts with "D" where the oracle writes "_", and the label is RETROVA.
inline std::vector<OracleLine> ReadOracle(const std::string& fixture) {
  std::vector<OracleLine> out;
  std::istringstream in(FixtureText(fixture));
  for (std::string line; std::getline(in, line);) {
    const std::vector<std::string> f = SplitTabs(line);
    if (f.size() < 7 || f[0][0] == 'v' || f[0][0] == 'V') continue;  // the tool's virtual files
    OracleLine o{f[1], f[0][0] == 'd', f[0].find('*') != std::string::npos, std::stoull(f[6])};
    const std::size_t first = o.path.rfind('/') + 1;  // 0 without a slash
    if (o.deleted && first < o.path.size() && o.path[first] == '_') o.path[first] = 'D';
    if (o.path.ends_with("(Volume Label Entry)")) o.path = "RETROVA";
    out.push_back(o);
  }
  return out;
}

inline std::map<std::string, std::uint64_t> ReadFacts(const std::string& fixture) {
  std::map<std::string, std::uint64_t> m;
  std::istringstream in(FixtureText(fixture));
  std::string k;
  std::uint64_t v;
  while (in >> k >> v) m[k] = v;
  return m;
}

}  // namespace fat_test
