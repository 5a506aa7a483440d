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
// - Names are compared as the scans keep them: one byte per UTF-16 unit.
// - What differs per fixture by the scans' own rules is in ExpectedEntries.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "platform/bytes.h"
#include "platform/text.h"
#include "test_fat_support.h"
#include "test_support.h"

namespace ntfs_test {

struct NtfsFixture {
  const char* image;    // under tests/fixtures, without .gz
  std::uint64_t start;  // the volume's first sector
  const char* listing;  // fls -r -p -l -o <start>
  // Scanned as a copy whose POSIX-namespace names are relabelled Win32, so
  // that an image written without DOS names shows every file.
  bool win32_names = false;
};

inline constexpr NtfsFixture kNtfsFixtures[] = {
    {"demo.img", 80325, "demo.fls-l-80325.txt"},
    {"ntfs/ntfs_basic.img", 2048, "ntfs/ntfs_basic.fls-l.txt"},
    {"ntfs/ntfs_damaged.img", 2048, "ntfs/ntfs_damaged.fls-l.txt"},
    {"ntfs/ntfs_fragmented_mft.img", 2048, "ntfs/ntfs_fragmented_mft.fls-l.txt"},
    {"ntfs/ntfs_fragmented_mft.img", 2048, "ntfs/ntfs_fragmented_mft.fls-l.txt", true},
};

inline std::string FixtureTestName(const NtfsFixture& f) {
  std::string n = std::string(f.image) + std::to_string(f.start) + (f.win32_names ? "_win32_names" : "");
  std::replace_if(n.begin(), n.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
  return n;
}

inline bool IsFixture(const NtfsFixture& f, std::string_view name) {
  return std::string_view(f.image) == "ntfs/" + std::string(name) + ".img";
}

// The fixture's image, or for win32_names its relabelled copy (made once per build).
inline std::filesystem::path ScannedImage(const NtfsFixture& f) {
  const std::filesystem::path src = Fixture(f.image);
  if (!f.win32_names) return src;
  const std::filesystem::path dst = src.string() + ".win32_names";
  if (std::filesystem::exists(dst) && std::filesystem::last_write_time(dst) >= std::filesystem::last_write_time(src))
    return dst;
  std::ifstream in(src, std::ios::binary);
  std::vector<std::uint8_t> img((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Every record at a sector boundary; a byte under a sector's last word
  // lives in the update sequence array.
  for (std::size_t at = 0; at + 1024 <= img.size(); at += 512) {
    const std::span<std::uint8_t> rec = std::span(img).subspan(at, 1024);
    if (std::memcmp(rec.data(), "FILE", 4) != 0 || le::U16(rec, 6) != 3) continue;
    const std::size_t usa = le::U16(rec, 4);
    if (usa + 6 > 1024) continue;
    auto byte_at = [&](std::size_t o) -> std::uint8_t& {
      return o % 512 >= 510 ? rec[usa + 2 + 2 * (o / 512) + o % 2] : rec[o];
    };
    std::size_t o = le::U16(rec, 20);
    for (int n = 0; n < 16 && o + 24 <= 1024; ++n) {
      const std::uint32_t type = le::U32(rec, o), len = le::U32(rec, o + 4);
      if (type == 0xFFFFFFFF || len < 24 || len > 1024 - o) break;
      const std::size_t ns = o + le::U16(rec, o + 20) + 65;
      if (type == 0x30 && rec[o + 8] == 0 && ns < o + len && byte_at(ns) == 0) byte_at(ns) = 1;
      o += len;
    }
  }
  const std::string tmp = dst.string() + ".tmp" + std::to_string(::getpid());
  std::ofstream(tmp, std::ios::binary).write(reinterpret_cast<const char*>(img.data()), static_cast<std::streamsize>(img.size()));
  std::filesystem::rename(tmp, dst);
  return dst;
}

// "key value..." lines of a fixture's facts file.
inline std::map<std::string, std::vector<std::uint64_t>> ReadFacts(const std::string& name) {
  std::map<std::string, std::vector<std::uint64_t>> out;
  std::istringstream in(FixtureText(name));
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string key, word;
    words >> key;
    auto& values = out[key];
    while (words >> word)
      if (!word.empty() && std::isdigit(static_cast<unsigned char>(word[0]))) values.push_back(std::stoull(word));
  }
  return out;
}

struct OracleEntry {
  std::string path;
  bool dir = false, deleted = false;
  std::optional<std::uint64_t> size;
  std::uint64_t number = 0;  // the MFT record
};

inline std::string MapOrphanPath(const std::string& path, bool dir) {
  static const std::string kOrphans = "$OrphanFiles/";
  if (!path.starts_with(kOrphans)) return path;
  const std::string rest = path.substr(kOrphans.size());
  const bool below_dir = rest.find('/') != std::string::npos;
  return std::string(dir || below_dir ? "Unlinked Data/" : "Orphan Files/") + rest;
}

// A name as the scans keep it: the low byte of each UTF-16 unit, shown as
// Latin-1 (the listing is UTF-8).
inline std::string LowByteName(const std::string& utf8) {
  std::string low;
  for (std::size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    const int more = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    std::uint32_t cp = more == 0 ? c : c & (0x3F >> more);
    for (int k = 1; k <= more && i + k < utf8.size(); ++k) cp = (cp << 6) | (utf8[i + k] & 0x3F);
    i += 1 + more;
    if (cp < 0x10000) {
      low.push_back(static_cast<char>(cp & 0xFF));
    } else {  // a surrogate pair: two units
      cp -= 0x10000;
      low.push_back(static_cast<char>((0xD800 | (cp >> 10)) & 0xFF));
      low.push_back(static_cast<char>((0xDC00 | (cp & 0x3FF)) & 0xFF));
    }
  }
  return Latin1ToUtf8(low);
}

// One entry per path; a file's size from its unnamed-data line.
// Lines of the records in skip are left out.
inline std::map<std::string, OracleEntry> ReadNtfsOracle(const std::string& listing,
                                                         const std::set<std::uint64_t>& skip = {}) {
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
    const std::size_t digits = f[0].find_first_of("0123456789");
    OracleEntry e{LowByteName(MapOrphanPath(path, dir)), dir, f[0].find('*') != std::string::npos, std::nullopt,
                  digits == std::string::npos ? 0 : std::stoull(f[0].substr(digits))};
    if (skip.count(e.number)) continue;
    if (!dir && !stream && f.size() >= 7) e.size = std::stoull(f[6]);
    auto [it, fresh] = out.emplace(e.path, e);
    if (!fresh && e.size) it->second.size = e.size;
  }
  return out;
}

// The listing turned into what the scans must show: each place where the
// scans' own rules differ from the listing's tool, per fixture.
inline std::map<std::string, OracleEntry> ExpectedEntries(const NtfsFixture& f) {
  // "-/r 16: $MFT" is the extension record holding $MFT's moved $FILE_NAME:
  // part of $MFT, no file of its own (record 0's line is the $MFT).
  std::map<std::string, OracleEntry> o =
      ReadNtfsOracle(f.listing, IsFixture(f, "ntfs_fragmented_mft") ? std::set<std::uint64_t>{16} : std::set<std::uint64_t>{});
  // The hard link's second name is in the POSIX namespace, which no scan
  // shows: the file is listed once, by its Win32 name (Docs/Linked report.txt).
  o.erase("Links/Second name of report.txt");
  if (IsFixture(f, "ntfs_fragmented_mft") && !f.win32_names) {
    // ntfs-3g named these files in the POSIX namespace only (no DOS names on
    // this image): records with no Win32 or DOS name are not shown.
    std::erase_if(o, [](const auto& e) { return !e.first.starts_with("$"); });
  }
  if (IsFixture(f, "ntfs_damaged")) {
    // The listing drops what lies below the zeroed directory record 67; the
    // scans keep it: its subdirectory under "Unlinked Data", its file under
    // "Orphan Files" (sizes as the fixture maker wrote them).
    for (const OracleEntry& e : {OracleEntry{"Unlinked Data/Unlinked child", true, false, std::nullopt, 68},
                                 OracleEntry{"Unlinked Data/Unlinked child/Kept file.txt", false, false, 2600, 69},
                                 OracleEntry{"Unlinked Data/Unlinked child/Kept note.txt", false, false, 90, 70},
                                 OracleEntry{"Orphan Files/Sibling file.txt", false, false, 700, 71}})
      o.emplace(e.path, e);
  }
  return o;
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
