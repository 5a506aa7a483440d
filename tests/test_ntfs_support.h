// The NTFS scans against an `fls -r -p [-l]` listing, shared by the scan
// and CLI tests. A fixture with its listing is one line of kNtfsFixtures.
//
// How the listing's lines map to the scan tree (paths below Root):
// - "V/V" lines ($OrphanFiles itself) and "$OrphanFiles/OrphanFile-N" are
//   the tool's own entries for records without a name, which no scan lists.
// - "path:stream" is the file at "path": the scans list a file once, with
//   its unnamed data. Sizes are compared only on unnamed-data lines, and
//   only when the listing has them (-l); directories' sizes never.
// - The system files ($MFT, $Extend/$Quota, ...) are ordinary entries.
// - "$OrphanFiles/X": a directory goes under "Unlinked Data", a file under
//   "Orphan Files", and what lies below a directory follows it.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "test_fat_support.h"
#include "test_support.h"

namespace ntfs_test {

struct NtfsFixture {
  const char* image;    // under tests/fixtures, without .gz
  std::uint64_t start;  // the volume's first sector
  const char* listing;  // fls -r -p -l -o <start>
};

inline constexpr NtfsFixture kNtfsFixtures[] = {
    {"demo.img", 80325, "demo.fls-l-80325.txt"},
};

struct OracleEntry {
  std::string path;
  bool dir = false, deleted = false;
  std::optional<std::uint64_t> size;
};

inline std::string MapOrphanPath(const std::string& path, bool dir) {
  static const std::string kOrphans = "$OrphanFiles/";
  if (!path.starts_with(kOrphans)) return path;
  const std::string rest = path.substr(kOrphans.size());
  const bool below_dir = rest.find('/') != std::string::npos;
  return std::string(dir || below_dir ? "Unlinked Data/" : "Orphan Files/") + rest;
}

// One entry per path; a file's size from its unnamed-data line.
inline std::map<std::string, OracleEntry> ReadNtfsOracle(const std::string& listing) {
  std::map<std::string, OracleEntry> out;
  std::istringstream in(FixtureText(listing));
  for (std::string line; std::getline(in, line);) {
    const std::vector<std::string> f = fat_test::SplitTabs(line);
    if (f.size() < 2 || f[0].starts_with("V/V")) continue;
    std::string path = f[1];
    const std::size_t last = path.rfind('/') + 1;
    if (path.starts_with("$OrphanFiles/") && path.compare(last, 11, "OrphanFile-") == 0) continue;
    const std::size_t colon = path.find(':', last);
    const bool stream = colon != std::string::npos;
    if (stream) path.erase(colon);
    const bool dir = f[0][0] == 'd' || f[0][2] == 'd';
    OracleEntry e{MapOrphanPath(path, dir), dir, f[0].find('*') != std::string::npos, std::nullopt};
    if (!dir && !stream && f.size() >= 7) e.size = std::stoull(f[6]);
    auto [it, fresh] = out.emplace(e.path, e);
    if (!fresh && e.size) it->second.size = e.size;
  }
  return out;
}

// One line of a scan tree (or of the CLI's printout), path below Root.
struct ScanLine {
  std::string path;
  bool dir = false, in_use = false;
  std::uint64_t size = 0, number = 0;
};

inline bool IsSyntheticNode(const std::string& path) { return path == "Unlinked Data" || path == "Orphan Files"; }

// Every listed entry is in the scan with its kind, state and size, and the
// scan shows no path the listing lacks. The same path may be found more than
// once (the slow scan finds stale copies): one of its lines must match.
inline void ExpectMatchesOracle(const std::vector<ScanLine>& scan, const std::map<std::string, OracleEntry>& oracle,
                                const std::string& what) {
  std::multimap<std::string, const ScanLine*> by_path;
  for (const ScanLine& l : scan) {
    if (IsSyntheticNode(l.path)) continue;
    by_path.emplace(l.path, &l);
    if (!oracle.count(l.path)) ADD_FAILURE() << what << ": not in the listing: " << l.path;
  }
  for (const auto& [path, o] : oracle) {
    const auto [b, e] = by_path.equal_range(path);
    if (b == e) {
      ADD_FAILURE() << what << ": missing: " << path;
      continue;
    }
    bool match = false;
    for (auto it = b; it != e && !match; ++it) {
      const ScanLine& l = *it->second;
      match = l.dir == o.dir && l.in_use == !o.deleted && (!o.size || l.size == *o.size);
    }
    EXPECT_TRUE(match) << what << ": " << path << " differs (kind, state or size)";
  }
}

}  // namespace ntfs_test
