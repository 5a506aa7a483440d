// The NTFS structure decoders on their own: each rejects a span that is too
// short, a wrong type, offsets and lengths past its bytes and values beyond
// its limits, and says which decoder failed in the debug lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/shell.h"
#include "app/main_window.h"
#include "disk/phydrive.h"
#include "ntfs/attribute.h"
#include "ntfs/attribute_list.h"
#include "ntfs/file_name.h"
#include "ntfs/mft.h"
#include "ntfs/run_list.h"
#include "ntfs/update_sequence.h"
#include "volume/logdrive.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void Put(Bytes& b, std::size_t o, std::uint64_t v, int n) {
  for (int i = 0; i < n; ++i) b[o + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The debug lines f writes.
std::vector<std::string> LinesOf(const std::function<void()>& f) {
  static const std::string kMark = "-- test mark --";
  DebugPrint("%s", kMark.c_str());
  f();
  const auto& all = DebugLines();
  const auto mark = std::find(all.rbegin(), all.rend(), kMark);
  return std::vector<std::string>(mark.base(), all.end());
}

bool StartsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

// Two 512-byte sectors with a valid update sequence at 48 (number 0x0A0B).
Bytes TwoSectors() {
  Bytes b(1024, 0);
  Put(b, 4, 48, 2);
  Put(b, 6, 3, 2);
  Put(b, 48, 0x0A0B, 2);
  Put(b, 510, 0x0A0B, 2);
  Put(b, 1022, 0x0A0B, 2);
  return b;
}

// A resident attribute of `size` bytes whose value (value_len bytes) starts at value_off.
Bytes ResidentBytes(std::uint32_t type, std::size_t size, std::size_t value_off, std::size_t value_len) {
  Bytes a(size, 0);
  Put(a, 0, type, 4);
  Put(a, 4, size, 4);
  Put(a, 16, value_len, 4);
  Put(a, 20, value_off, 2);
  return a;
}

Attribute View(const Bytes& b, std::uint32_t type, bool nonresident = false) {
  Attribute a;
  a.bytes = b;
  a.type = type;
  a.form = nonresident ? 1 : 0;
  a.nonresident = nonresident;
  return a;
}

// A file name value with an n-character name at value_off inside an attribute of `size` bytes.
Bytes FileNameBytes(std::size_t value_off, std::size_t chars, std::size_t size = 0) {
  const std::size_t len = kFileNameFixed + 2 * chars;
  Bytes a = ResidentBytes(kAttrFileName, size ? size : value_off + len, value_off, len);
  a[value_off + 64] = static_cast<std::uint8_t>(chars);
  a[value_off + 65] = kNameWin32;
  for (std::size_t i = 0; i < chars; ++i) a[value_off + kFileNameFixed + 2 * i] = 'a';
  return a;
}

struct Case {
  const char* what;
  std::function<bool()> accepted;  // runs the decoder; true when it produced a value
  bool expect_accepted;
  const char* line;  // the debug line's start when rejected
};

void RunCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    bool got = false;
    const std::vector<std::string> lines = LinesOf([&] { got = c.accepted(); });
    EXPECT_EQ(got, c.expect_accepted) << c.what;
    if (c.expect_accepted) continue;
    ASSERT_FALSE(lines.empty()) << c.what << ": no debug line";
    EXPECT_TRUE(StartsWith(lines.front(), c.line)) << c.what << ": " << lines.front();
  }
}

}  // namespace

TEST(NtfsStructures, UpdateSequenceRejectsShortAndInconsistentHeaders) {
  const auto with = [](std::size_t off, std::uint64_t v, int n) {
    Bytes b = TwoSectors();
    Put(b, off, v, n);
    return b;
  };
  const auto reads = [](Bytes b) { return [b] { return ReadUpdateSequence(b, kNtfsSectorSize).has_value(); }; };
  RunCases({
      {"valid", reads(TwoSectors()), true, ""},
      {"short span", reads(Bytes(7, 0)), false, "ReadUpdateSequence: buffer shorter"},
      {"count 0", reads(with(6, 0, 2)), false, "ReadUpdateSequence: count 0"},
      {"count for three sectors", reads(with(6, 4, 2)), false, "ReadUpdateSequence: count does not cover"},
      {"array at the last word", reads(with(4, 1022, 2)), false, "ReadUpdateSequence: array past"},
      {"array entries past the end", reads([] {
         Bytes b = TwoSectors();
         Put(b, 4, 1021, 2);
         b[1021] = 0x0B;  // the number's low byte, so only the array's end fails
         return b;
       }()),
       false, "ReadUpdateSequence: array past"},
      {"torn second sector", reads(with(1022, 0x0A0C, 2)), false, "ReadUpdateSequence: torn sector"},
      {"sector size below a word", [] { return ReadUpdateSequence(TwoSectors(), 1).has_value(); }, false,
       "ReadUpdateSequence: sector size"},
  });
  const std::optional<UpdateSequence> us = ReadUpdateSequence(TwoSectors(), kNtfsSectorSize);
  ASSERT_TRUE(us);
  EXPECT_EQ(us->array_offset, 48u);
  EXPECT_EQ(us->sectors, 2u);
}

TEST(NtfsStructures, FileRecordProbeWritesNoDebugLine) {
  Bytes rec = TwoSectors();
  std::copy_n("FILE", 4, rec.begin());
  Put(rec, 20, 56, 2);
  EXPECT_TRUE(LinesOf([&] { EXPECT_TRUE(IsFileRecord(rec)); }).empty());
  rec[1022] ^= 1;
  EXPECT_TRUE(LinesOf([&] { EXPECT_FALSE(IsFileRecord(rec)); }).empty());
}

TEST(NtfsStructures, AttributeWalkStopsAtDamageAndAtItsLimit) {
  // A record whose attributes are `lengths` long (type 0x10), from offset 56.
  const auto record = [](std::vector<std::size_t> lengths, std::size_t first = 56) {
    Bytes r(kMftRecordSize, 0);
    Put(r, 20, first, 2);
    std::size_t off = first;
    for (std::size_t len : lengths) {
      Put(r, off, 0x10, 4);
      Put(r, off + 4, len, 4);
      off += len ? len : 8;
    }
    if (off + 4 <= r.size()) Put(r, off, kAttrEnd, 4);
    return r;
  };
  struct WalkCase {
    const char* what;
    Bytes rec;
    std::size_t count;
    bool broken;
    const char* line;  // nullptr: the walk writes nothing
  };
  const std::vector<WalkCase> cases = {
      {"three and the end marker", record({24, 24, 24}), 3, false, nullptr},
      {"a record cut short", Bytes(kMftRecordSize - 1, 0), 0, false, "ReadAttributes: record of 1023"},
      {"length 0 after one", record({24, 0}), 1, true, "ReadAttributes: attribute at 80 has length 0"},
      {"reaching past the record", record({24, 2000}), 1, false, "ReadAttributes: attribute at 80 reaches past"},
      {"first offset past the record", record({}, 0xFFFF), 0, false, "ReadAttributes: attribute at 65535 past"},
      {"ten exactly", record(std::vector<std::size_t>(kMaxAttributes, 24)), kMaxAttributes, false, nullptr},
      {"eleven", record(std::vector<std::size_t>(kMaxAttributes + 1, 24)), kMaxAttributes, false,
       "ReadAttributes: more than 10"},
  };
  for (const WalkCase& c : cases) {
    AttributeWalk walk;
    const std::vector<std::string> lines = LinesOf([&] { walk = ReadAttributes(c.rec); });
    EXPECT_EQ(walk.count, c.count) << c.what;
    EXPECT_EQ(walk.broken, c.broken) << c.what;
    if (!c.line) {
      EXPECT_TRUE(lines.empty()) << c.what << ": " << lines.front();
    } else {
      ASSERT_EQ(lines.size(), 1u) << c.what;
      EXPECT_TRUE(StartsWith(lines[0], c.line)) << c.what << ": " << lines[0];
    }
  }
}

TEST(NtfsStructures, AttributeHeadersAndFileNamesCheckTheirBounds) {
  const Bytes resident = ResidentBytes(0x80, 40, 24, 16);
  const Bytes past = ResidentBytes(0x80, 40, 24, 17);
  const Bytes far = ResidentBytes(0x80, 40, 41, 0);
  const Bytes short_header(kAttrResidentHeader - 1, 0);
  const Bytes nonresident(kAttrNonResidentHeader, 0);
  const Bytes short_nonresident(kAttrNonResidentHeader - 1, 0);
  const Bytes name_at_limit = FileNameBytes(kMaxFileNameValueOffset, 2);
  const Bytes name_past_limit = FileNameBytes(kMaxFileNameValueOffset + 1, 2);
  const Bytes short_value = ResidentBytes(kAttrFileName, 24 + kFileNameFixed, 24, kFileNameFixed - 1);
  Bytes long_name = FileNameBytes(24, 2);
  long_name[24 + 64] = 3;

  const auto resident_of = [](const Bytes& b, bool nr = false) {
    return [&b, nr] { return ReadResidentValue(View(b, 0x80, nr)).has_value(); };
  };
  const auto nonresident_of = [](const Bytes& b, bool nr = true) {
    return [&b, nr] { return ReadNonResidentHeader(View(b, 0x80, nr)).has_value(); };
  };
  const auto name_of = [](const Bytes& b, std::uint32_t type = kAttrFileName) {
    return [&b, type] { return ReadFileName(View(b, type)).has_value(); };
  };
  RunCases({
      {"resident value", resident_of(resident), true, ""},
      {"value one byte past", resident_of(past), false, "ReadResidentValue: value of attribute 0x80 past"},
      {"value offset past", resident_of(far), false, "ReadResidentValue: value of attribute 0x80 past"},
      {"resident header cut", resident_of(short_header), false, "ReadResidentValue: attribute 0x80 shorter"},
      {"resident read of a non-resident", resident_of(resident, true), false, "ReadResidentValue: attribute 0x80 is non"},
      {"non-resident header", nonresident_of(nonresident), true, ""},
      {"non-resident header cut", nonresident_of(short_nonresident), false, "ReadNonResidentHeader: attribute 0x80 shorter"},
      {"non-resident read of a resident", nonresident_of(nonresident, false), false, "ReadNonResidentHeader: attribute 0x80 is resident"},
      {"name at the offset limit", name_of(name_at_limit), true, ""},
      {"name past the offset limit", name_of(name_past_limit), false, "ReadFileName: value offset 1001"},
      {"not a $FILE_NAME", name_of(name_at_limit, kAttrData), false, "ReadFileName: attribute 0x80"},
      {"value shorter than its fields", name_of(short_value), false, "ReadFileName: value of 65 bytes"},
      {"name longer than its value", name_of(long_name), false, "ReadFileName: name of 3 characters"},
  });
  const std::optional<FileName> fn = ReadFileName(View(name_at_limit, kAttrFileName));
  ASSERT_TRUE(fn);
  EXPECT_EQ(fn->name, "aa");
}

TEST(NtfsStructures, RunListKeepsTheRunsBeforeAFaultAndRespectsItsLimits) {
  LOGDRIVE_INFO vol;
  vol.cluster_count = 1000;
  // Pairs placed at `at` inside a 64-byte attribute.
  const auto attr = [](const Bytes& pairs, std::size_t at = 8) {
    Bytes a(std::max<std::size_t>(64, at + pairs.size()), 0);
    std::copy(pairs.begin(), pairs.end(), a.begin() + static_cast<std::ptrdiff_t>(at));
    return a;
  };
  struct RunCase {
    const char* what;
    Bytes attribute;
    std::size_t at;
    std::size_t max_runs;
    std::size_t runs;
    bool complete;
    const char* line;
  };
  const Bytes two = {0x11, 0x04, 0x10, 0x11, 0x04, 0x10};
  const std::vector<RunCase> cases = {
      {"two runs", attr(two), 8, kMaxRuns, 2, true, nullptr},
      {"pairs at the offset limit", attr(two, kMaxMappingPairsOffset), kMaxMappingPairsOffset, kMaxRuns, 2, true, nullptr},
      {"pairs past the offset limit", attr(two, kMaxMappingPairsOffset + 1), kMaxMappingPairsOffset + 1, kMaxRuns, 0,
       false, "DecodeRunList: pairs offset 1001 above"},
      {"pairs offset past the attribute", attr(two), 64, kMaxRuns, 0, false, "DecodeRunList: pairs offset 64 past"},
      {"second pair cut by the attribute's end", attr({0x11, 0x04, 0x10, 0x21, 0x04}, 59), 59, kMaxRuns, 1, false,
       "DecodeRunList: pair at 62 past"},
      {"second run beyond the volume", attr({0x11, 0x04, 0x10, 0x21, 0x04, 0xE8, 0x03}), 8, kMaxRuns, 1, false,
       "DecodeRunList: run at 11 outside"},
      {"run before the volume's start", attr({0x11, 0x04, 0xF0}), 8, kMaxRuns, 0, false, "DecodeRunList: run at 8 outside"},
      {"run limit reached", attr(two), 8, 1, 1, false, "DecodeRunList: more than 1 runs"},
  };
  for (const RunCase& c : cases) {
    RunList rl;
    const std::vector<std::string> lines = LinesOf([&] { rl = DecodeRunList(c.attribute, c.at, 7, vol, c.max_runs); });
    EXPECT_EQ(rl.runs.size(), c.runs) << c.what;
    EXPECT_EQ(rl.complete, c.complete) << c.what;
    if (!rl.runs.empty()) {
      EXPECT_EQ(rl.runs[0].start_vcn, 7u) << c.what;
    }
    if (c.line) {
      ASSERT_FALSE(lines.empty()) << c.what;
      EXPECT_TRUE(StartsWith(lines.back(), c.line)) << c.what << ": " << lines.back();
    } else {
      EXPECT_TRUE(lines.empty()) << c.what;
    }
  }
}

TEST(NtfsStructures, AttributeListEntriesAndValueLimits) {
  // An entry of `len` bytes whose length field says `claim` (len by default).
  const auto entry = [](std::size_t len, std::size_t claim = 0) {
    Bytes e(std::max<std::size_t>(len, kListEntryHeader), 0);
    if (claim) len = claim;
    Put(e, 0, 0x80, 4);
    Put(e, 4, len, 2);
    Put(e, 16, 0x123456789ABCULL | (std::uint64_t{3} << 48), 8);
    return e;
  };
  const auto cat = [](std::vector<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  };
  struct ListCase {
    const char* what;
    Bytes list;
    std::size_t entries;
    bool damaged;
  };
  const std::vector<ListCase> cases = {
      {"two entries and a short tail", cat({entry(32), entry(24), Bytes(23, 0)}), 2, false},
      {"an entry claiming more than is left", cat({entry(32), entry(32, 48)}), 1, false},
      {"an entry too short for its fields", cat({entry(32), entry(23), entry(32)}), 1, true},
      {"length 0", entry(0), 0, true},
      {"empty", Bytes{}, 0, false},
  };
  for (const ListCase& c : cases) {
    const AttributeList list = DecodeAttributeList(c.list);
    EXPECT_EQ(list.entries.size(), c.entries) << c.what;
    EXPECT_EQ(list.damaged, c.damaged) << c.what;
  }
  const AttributeList one = DecodeAttributeList(entry(24));
  ASSERT_EQ(one.entries.size(), 1u);
  EXPECT_EQ(one.entries[0].ref, 0x123456789ABCULL) << "48 bits: the sequence number dropped";
  EXPECT_TRUE(StartsWith(LinesOf([&] { DecodeAttributeList(entry(8)); }).at(0), "DecodeAttributeList: entry at 0"));

  // The list's value: resident offset limit and size limits checked before any read.
  AppContext& ctx = App();
  PHYDRIVE_INFO drive;
  LOGDRIVE_INFO vol;
  vol.sectors_per_cluster = 8;
  vol.cluster_count = 100;
  const Bytes at_limit = ResidentBytes(kAttrList, kMaxResidentListValueOffset + 24, kMaxResidentListValueOffset, 24);
  const Bytes past_limit =
      ResidentBytes(kAttrList, kMaxResidentListValueOffset + 32, kMaxResidentListValueOffset + 8, 24);
  const auto nonresident_of_size = [](std::uint64_t size) {
    Bytes a(72, 0);
    Put(a, 32, 64, 2);
    Put(a, 48, size, 8);
    return a;
  };
  const Bytes empty = nonresident_of_size(0), huge = nonresident_of_size(kMaxAttrListBytes + 1);
  const Bytes uncovered = nonresident_of_size(512);  // no runs at all
  const auto value_of = [&](const Bytes& b, std::uint32_t type = kAttrList, bool nr = false) {
    return [&, type, nr] { return ReadAttributeListValue(ctx, drive, vol, View(b, type, nr)).has_value(); };
  };
  RunCases({
      {"resident at the offset limit", value_of(at_limit), true, ""},
      {"resident past the offset limit", value_of(past_limit), false, "ReadAttributeListValue: value offset 508"},
      {"not a list", value_of(at_limit, kAttrData), false, "ReadAttributeListValue: attribute 0x80"},
      {"non-resident of size 0", value_of(empty, kAttrList, true), false, "ReadAttributeListValue: size 0"},
      {"non-resident above 256 KiB", value_of(huge, kAttrList, true), false, "ReadAttributeListValue: size 262145"},
      {"runs not covering the size", value_of(uncovered, kAttrList, true), false, "ReadAttributeListValue: runs cover 0"},
  });
  EXPECT_EQ(drive.read_errors, 0u);
}

// The sweep's read-ahead guess: where a record's non-resident list lies, from
// the bytes as found, never a debug line (the decoding reports damage once).
TEST(NtfsStructures, AttributeListGuessFindsTheFirstRunOfANonResidentList) {
  LOGDRIVE_INFO vol;
  vol.start_lba = 2048;
  vol.sectors_per_cluster = 8;
  vol.cluster_count = 1000;
  // $STANDARD_INFORMATION (96 bytes) at 56, then `second`, then the end marker.
  const auto record = [](const Bytes& second) {
    Bytes r = TwoSectors();
    std::copy_n("FILE", 4, r.begin());
    Put(r, 20, 56, 2);
    const Bytes si = ResidentBytes(0x10, 96, 24, 72);
    std::copy(si.begin(), si.end(), r.begin() + 56);
    std::copy(second.begin(), second.end(), r.begin() + 56 + 96);
    Put(r, 56 + 96 + second.size(), kAttrEnd, 4);
    return r;
  };
  // A non-resident list of `size` bytes whose first pair is `pair`.
  const auto list = [](std::uint64_t size, Bytes pair) {
    Bytes a(80, 0);
    Put(a, 0, kAttrList, 4);
    Put(a, 4, a.size(), 4);
    a[8] = 1;
    Put(a, 32, 64, 2);
    Put(a, 48, size, 8);
    std::copy(pair.begin(), pair.end(), a.begin() + 64);
    return a;
  };
  struct GuessCase {
    const char* what;
    Bytes rec;
    std::optional<SectorRange> want;
  };
  const std::vector<GuessCase> cases = {
      // 600 bytes: two sectors of the run's eight, at cluster 0x20.
      {"a list of 600 bytes at cluster 32", record(list(600, {0x11, 0x01, 0x20})), SectorRange{Lba(2048 + 32 * 8), 2}},
      {"a list longer than its run", record(list(20000, {0x11, 0x01, 0x20})), SectorRange{Lba(2048 + 32 * 8), 8}},
      {"a resident list", record(ResidentBytes(kAttrList, 56, 24, 32)), std::nullopt},
      {"no list: a name second", record(ResidentBytes(kAttrFileName, 104, 24, 80)), std::nullopt},
      {"a run past the volume", record(list(600, {0x21, 0x01, 0xE9, 0x03})), std::nullopt},  // cluster 1001
      {"a sparse first run", record(list(600, {0x01, 0x01})), std::nullopt},
      {"pairs past the attribute", record(list(600, {0x88, 0x01})), std::nullopt},
      {"no FILE signature", Bytes(kMftRecordSize, 0), std::nullopt},
      {"a record cut short", Bytes(100, 0), std::nullopt},
  };
  for (const GuessCase& c : cases) {
    std::optional<SectorRange> got;
    EXPECT_TRUE(LinesOf([&] { got = GuessAttributeListSectors(c.rec, vol); }).empty()) << c.what;
    ASSERT_EQ(got.has_value(), c.want.has_value()) << c.what;
    if (!got) continue;
    EXPECT_EQ(got->start, c.want->start) << c.what;
    EXPECT_EQ(got->count, c.want->count) << c.what;
  }
  Bytes damaged = record(list(600, {0x11, 0x01, 0x20}));
  Put(damaged, 56 + 4, 0, 4);  // $STANDARD_INFORMATION of length 0
  EXPECT_FALSE(GuessAttributeListSectors(damaged, vol));
}
