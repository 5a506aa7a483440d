// MFT records: update sequence, decoding, attribute lists, the $MFT map and locator.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "app/shell.h"
#include "app/main_window.h"
#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "ntfs/mft.h"
#include "ntfs/mft_locator.h"
#include "ntfs/update_sequence.h"
#include "scan/tree.h"
#include "test_support.h"
#include "volume/logdrive.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void Put(Bytes& b, std::size_t o, std::uint64_t v, int n) {
  for (int i = 0; i < n; ++i) b[o + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::size_t Align8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }
void PutName(Bytes& b, std::size_t o, const std::string& name) {
  for (std::size_t i = 0; i < name.size(); ++i) Put(b, o + 2 * i, static_cast<std::uint8_t>(name[i]), 2);
}

Bytes Resident(std::uint32_t type, const Bytes& value, const std::string& name = "") {
  const std::size_t voff = Align8(24 + 2 * name.size());
  Bytes a(Align8(voff + value.size()), 0);
  Put(a, 0, type, 4);
  Put(a, 4, a.size(), 4);
  a[9] = static_cast<std::uint8_t>(name.size());
  Put(a, 10, 24, 2);
  Put(a, 16, value.size(), 4);
  Put(a, 20, voff, 2);
  PutName(a, 24, name);
  std::copy(value.begin(), value.end(), a.begin() + static_cast<std::ptrdiff_t>(voff));
  return a;
}

Bytes NonResident(std::uint32_t type, const Bytes& runs, std::uint64_t data_size, std::uint64_t lowest_vcn = 0,
                  const std::string& name = "") {
  const std::size_t roff = Align8(64 + 2 * name.size());
  Bytes a(Align8(roff + runs.size() + 1), 0);
  Put(a, 0, type, 4);
  Put(a, 4, a.size(), 4);
  a[8] = 1;
  a[9] = static_cast<std::uint8_t>(name.size());
  Put(a, 10, 64, 2);
  Put(a, 16, lowest_vcn, 8);
  Put(a, 32, roff, 2);
  for (std::size_t o : {40, 48, 56}) Put(a, o, data_size, 8);
  PutName(a, 64, name);
  std::copy(runs.begin(), runs.end(), a.begin() + static_cast<std::ptrdiff_t>(roff));
  return a;
}

Bytes FileName(std::uint64_t parent, std::uint8_t name_space, const std::string& name, std::uint64_t time = 0) {
  Bytes v(66 + 2 * name.size(), 0);
  Put(v, 0, parent | (std::uint64_t{7} << 48), 8);  // the sequence number must be dropped
  Put(v, 16, time, 8);
  v[64] = static_cast<std::uint8_t>(name.size());
  v[65] = name_space;
  PutName(v, 66, name);
  return Resident(0x30, v);
}

Bytes ListEntry(std::uint32_t type, std::uint64_t ref, std::uint64_t vcn, const std::string& name = "") {
  Bytes e(Align8(26 + 2 * name.size()), 0);
  Put(e, 0, type, 4);
  Put(e, 4, e.size(), 2);
  e[6] = static_cast<std::uint8_t>(name.size());
  e[7] = 26;
  Put(e, 8, vcn, 8);
  Put(e, 16, ref | (std::uint64_t{3} << 48), 8);
  PutName(e, 26, name);
  return e;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A 1024-byte FILE record; attributes are appended from offset 56 and
// Finish() writes the end marker and the update sequence.
struct Record {
  static constexpr std::uint16_t kUsn = 0x0A0B;
  explicit Record(std::uint32_t number = 0, std::uint16_t flags = 1) {
    std::copy_n("FILE", 4, b.begin());
    Put(b, 4, 48, 2);
    Put(b, 6, 3, 2);
    Put(b, 20, 56, 2);
    Put(b, 22, flags, 2);
    Put(b, 44, number, 4);
    Put(b, 48, kUsn, 2);
  }
  Record& Add(const Bytes& attr) {
    EXPECT_LE(next + attr.size(), b.size()) << "attribute does not fit the record";
    if (next + attr.size() > b.size()) return *this;
    std::copy(attr.begin(), attr.end(), b.begin() + static_cast<std::ptrdiff_t>(next));
    next += attr.size();
    return *this;
  }
  Bytes Finish() const {
    Bytes r = b;
    if (next + 8 <= r.size()) Put(r, next, 0xFFFFFFFF, 4);
    for (std::size_t i = 1; i <= 2; ++i) {
      const std::size_t tail = 512 * i - 2;
      std::copy_n(r.begin() + static_cast<std::ptrdiff_t>(tail), 2, r.begin() + static_cast<std::ptrdiff_t>(48 + 2 * i));
      Put(r, tail, kUsn, 2);
    }
    return r;
  }
  Bytes b = Bytes(1024, 0);
  std::size_t next = 56;
};

struct RecordDeleter {
  void operator()(INODE_RECD* r) const { ReleaseRecord(r); }
};
using RecordPtr = std::unique_ptr<INODE_RECD, RecordDeleter>;

class MftTest : public RetrovaTest {
 protected:
  void SetUp() override {
    RetrovaTest::SetUp();
    OpenMainWindow();
    vol_.sectors_per_cluster = 8;
    vol_.bytes_per_cluster = 4096;
    vol_.mft_record_size = 1024;
    vol_.cluster_count = 1000;
  }
  void TearDown() override {
    ReleaseRecord(ctx().mft_inode);
    ctx().mft_inode = nullptr;
    RetrovaTest::TearDown();
  }
  // Opens the image as the drive the records are read from.
  PHYDRIVE_INFO& Mount(const Bytes& image) {
    EXPECT_EQ(AddImageFile(ctx(), WriteFile("vol.img", image).string()), 1);
    drive_ = static_cast<PHYDRIVE_INFO*>(ListView_GetItemData(ctx().phy_list, 0));
    return *drive_;
  }
  RecordPtr Decode(Bytes rec, std::uint64_t number = 42) {
    return RecordPtr(DecodeScanRecord(ctx(), *drive_, vol_, ctx().mft_inode, rec, number));
  }
  static void PutAt(Bytes& image, std::uint64_t lba, const Bytes& data) {
    std::copy(data.begin(), data.end(), image.begin() + static_cast<std::ptrdiff_t>(lba * 512));
  }
  LOGDRIVE_INFO vol_;
  PHYDRIVE_INFO* drive_ = nullptr;
};

using RunT = std::tuple<std::uint64_t, std::uint64_t, std::int64_t, std::uint64_t>;  // vcn, lcn, delta, length
std::vector<RunT> Runs(const INODE_RECD& r) {
  std::vector<RunT> out;
  for (const RUN_ENTRY& e : r.run_list) out.emplace_back(e.start_vcn, e.lcn, e.lcn_delta, e.length);
  return out;
}

}  // namespace

TEST(MftUpdateSequence, ValidatesTheHeaderAndRestoresOrLeavesATornRecordAlone) {
  const Bytes b = Record().Add(FileName(5, 1, "x")).Finish();
  EXPECT_TRUE(IsFileRecord(b));
  EXPECT_FALSE(IsFileRecord(std::span<const std::uint8_t>(b).first(1023)));
  struct Damage {
    std::size_t off;
    int width;
    std::uint64_t value;
  };
  // Update sequence counts 0,1,2,4; its array beyond the record; no attribute
  // offset; not FILE; the low byte of a sector's last word changed.
  for (Damage d : {Damage{6, 2, 0}, {6, 2, 1}, {6, 2, 2}, {6, 2, 4}, {4, 2, 1023}, {20, 2, 0}, {0, 1, 'B'},
                   {1022, 1, b[1022] ^ 1u}}) {
    Bytes bad = b;
    Put(bad, d.off, d.value, d.width);
    EXPECT_FALSE(IsFileRecord(bad)) << d.off << "=" << d.value;
  }
  Bytes high = b;  // only the low byte of each sector's last word is compared
  high[511] = high[1023] = 0xEE;
  EXPECT_TRUE(IsFileRecord(high));

  Bytes saved = Record().Finish();
  Put(saved, 50, 0x78563412, 4);  // the saved words of sectors 1 and 2
  Bytes restored = saved;
  ASSERT_EQ(ApplyUpdateSequence(restored, 512, UpdateSequenceMode::Restore), 1);
  EXPECT_EQ(Bytes(restored.begin() + 510, restored.begin() + 512), (Bytes{0x12, 0x34}));
  EXPECT_EQ(Bytes(restored.begin() + 1022, restored.end()), (Bytes{0x56, 0x78}));
  Bytes checked = saved;
  EXPECT_EQ(ApplyUpdateSequence(checked, 512, UpdateSequenceMode::Check), 1);
  EXPECT_EQ(checked, saved);
  Bytes torn = saved;
  torn[1022] = 0;
  const Bytes before = torn;
  EXPECT_EQ(ApplyUpdateSequence(torn, 512, UpdateSequenceMode::Restore), 0);
  EXPECT_EQ(torn, before);
}

TEST_F(MftTest, HeaderFieldsAndNamesByNamespace) {
  Record rec(77, 3);
  rec.Add(FileName(0x0000123400000005ULL, 2, "LONGFI~1.TXT", 111));
  rec.Add(FileName(0x0000000100000006ULL, 1, "Long file.txt", 222));
  Mount(Bytes(4096, 0));
  auto r = Decode(rec.Finish(), 9);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->own_number, 9u);
  EXPECT_EQ(r->header_record_number, 77u);
  EXPECT_EQ(r->record_flags, 3u);
  ASSERT_TRUE(r->short_name && r->posix_name);
  EXPECT_EQ(*r->short_name, "LONGFI~1.TXT");
  EXPECT_EQ(*r->posix_name, "Long file.txt");
  // Parent (48 bits) and time come from the last name.
  EXPECT_EQ(r->parent_number, 0x0000000100000006ULL);
  EXPECT_EQ(r->write_time, 222u);
  Bytes again = rec.Finish();
  EXPECT_EQ(ReadRecordLongName(again), "Long file.txt");

  auto p = Decode(Record().Add(FileName(5, 0, "only-posix", 333)).Finish());
  ASSERT_TRUE(p);
  EXPECT_FALSE(p->posix_name || p->short_name);
  EXPECT_EQ(p->parent_number, 5u);

  Bytes wide = FileName(5, 3, "ab");  // names keep the low byte of each UTF-16 unit
  Put(wide, 24 + 66 + 2, 0x4E2D, 2);
  auto q = Decode(Record().Add(wide).Finish());
  ASSERT_TRUE(q && q->posix_name);
  EXPECT_EQ(*q->posix_name, std::string("a\x2D"));
}

// A hard link's POSIX name keeps no name and moves nothing: the Win32 name
// stays in its own directory, whichever name comes first.
TEST_F(MftTest, PosixNameOfAHardLinkLeavesTheShownNameWhereItIs) {
  Mount(Bytes(4096, 0));
  const Bytes win32 = FileName(70, 1, "Linked report.txt", 111), posix = FileName(87, 0, "Second name.txt", 222);
  for (const auto& [first, second] : {std::pair{win32, posix}, std::pair{posix, win32}}) {
    auto r = Decode(Record().Add(first).Add(second).Finish());
    ASSERT_TRUE(r && r->posix_name);
    EXPECT_EQ(*r->posix_name, "Linked report.txt");
    EXPECT_EQ(r->parent_number, 70u);
    EXPECT_EQ(r->write_time, 111u);
  }
}

// An extension record carries its base record's reference; its names belong
// to the base record, so alone it is no file (a base record's field is all
// zero, an extension of the $MFT names record 0 with a sequence number).
TEST_F(MftTest, ExtensionRecordsDecodeToNoRecord) {
  Mount(Bytes(4096, 0));
  for (const std::uint64_t base : {std::uint64_t{87} | (std::uint64_t{1} << 48), std::uint64_t{1} << 48}) {
    Record ext(88);
    Put(ext.b, 32, base, 8);
    EXPECT_FALSE(Decode(ext.Add(FileName(81, 2, "DO1A05~1.TXT")).Finish())) << base;
  }
  EXPECT_TRUE(Decode(Record(88).Add(FileName(81, 2, "DO1A05~1.TXT")).Finish()));
}

TEST_F(MftTest, ResidentDataUpTo800BytesAndOnlyTheUnnamedStream) {
  Mount(Bytes(4096, 0));
  auto a = Decode(Record().Add(Resident(0x80, Bytes(800, 0x41))).Finish());
  ASSERT_TRUE(a);
  EXPECT_EQ(a->data_size, 800u);
  EXPECT_EQ(a->resident_data, Bytes(800, 0x41)) << "restored under the update sequence";
  EXPECT_EQ(a->data_nonresident, 0u);

  auto b = Decode(Record().Add(Resident(0x80, Bytes(801, 0x41))).Finish());
  ASSERT_TRUE(b);
  EXPECT_EQ(b->data_size, 0u);
  EXPECT_TRUE(b->resident_data.empty());

  // A downloaded file's zone stream must not replace its data.
  Record streams;
  streams.Add(Resident(0x80, Bytes(700, 0x42)));
  streams.Add(NonResident(0x80, {0x11, 0x01, 0x30}, 3000, 0, "Zone.Identifier"));
  streams.Add(Resident(0x80, Bytes(26, 0x43), "Other"));
  auto c = Decode(streams.Finish());
  ASSERT_TRUE(c);
  EXPECT_EQ(c->data_size, 700u);
  EXPECT_EQ(c->resident_data, Bytes(700, 0x42));
  EXPECT_EQ(c->data_nonresident, 0u);
  EXPECT_TRUE(c->run_list.empty());
  EXPECT_EQ(c->data_size_kb, 0u);
}

TEST_F(MftTest, RunListsDecodeRelativeOffsetsAndSparseRunsAndStopAtTheVolumeEdge) {
  Mount(Bytes(4096, 0));
  auto r = Decode(Record()
                      .Add(NonResident(0x80,
                                       {0x21, 0x10, 0x00, 0x01,  // 16 clusters at 256
                                        0x11, 0x08, 0xF0,        // 8 at 256 - 16
                                        0x11, 0x04, 0xFF,        // 4 at 240 - 1
                                        0x01, 0x03,              // 3 sparse
                                        0x11, 0x80, 0x01,        // length -128: ends the list
                                        0x11, 0x01, 0x01},
                                       31 * 4096 + 5))
                      .Finish());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->data_nonresident, 1u);
  EXPECT_EQ(r->data_size, 31u * 4096 + 5);
  EXPECT_EQ(r->data_size_kb, 124u);
  EXPECT_EQ(Runs(*r), (std::vector<RunT>{{0, 256, 256, 16}, {16, 240, -16, 8}, {24, 239, -1, 4}, {28, 239, 0, 3}}));

  // Runs past the volume's clusters, or before its start, cut the list.
  const Bytes beyond =
      Record().Add(NonResident(0x80, {0x11, 0x10, 0x64, 0x21, 0x10, 0x00, 0x04, 0x11, 0x01, 0x01}, 4096)).Finish();
  auto a = Decode(beyond);
  ASSERT_TRUE(a);
  EXPECT_EQ(Runs(*a), (std::vector<RunT>{{0, 100, 100, 16}}));
  auto b = Decode(Record().Add(NonResident(0x80, {0x11, 0x01, 0x05, 0x11, 0x01, 0xF0}, 4096)).Finish());
  ASSERT_TRUE(b);
  EXPECT_EQ(b->run_list.size(), 1u);
  vol_.cluster_count = 5000;  // the bound is the volume passed in
  auto c = Decode(beyond);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->run_list.size(), 3u);
}

TEST_F(MftTest, HostileRecordsDecodePartlyOrNotAtAll) {
  Mount(Bytes(4096, 0));
  {  // An attribute reaching past the record ends the walk; what came before stays.
    Bytes huge = Resident(0x80, Bytes(8, 1));
    Put(huge, 4, 0x10000, 4);
    auto r = Decode(Record().Add(FileName(5, 1, "kept")).Add(huge).Finish());
    ASSERT_TRUE(r && r->posix_name);
    EXPECT_EQ(*r->posix_name, "kept");
    EXPECT_TRUE(r->resident_data.empty());
  }
  {  // Length 0 cannot be walked past.
    Bytes zero = FileName(5, 1, "x");
    Put(zero, 4, 0, 4);
    EXPECT_FALSE(Decode(Record().Add(zero).Finish()));
  }
  {  // A name longer than its value; value offsets and lengths beyond the attribute.
    Bytes long_name = FileName(5, 1, "abc");
    long_name[24 + 64] = 200;
    Bytes far_name = FileName(5, 2, "abc");
    Put(far_name, 20, 0xFFF0, 2);
    Bytes far_data = Resident(0x80, Bytes(16, 1));
    Put(far_data, 20, 0xFFF0, 2);
    Bytes long_data = Resident(0x80, Bytes(16, 1));
    Put(long_data, 16, 500, 4);
    auto r = Decode(Record().Add(long_name).Add(far_name).Add(far_data).Add(long_data).Finish());
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->posix_name || r->short_name);
    EXPECT_TRUE(r->resident_data.empty());
  }
  {  // The last run needs more bytes than its attribute has; the next attribute's first byte is not it.
    Bytes a = NonResident(0x80, {0x11, 0x02, 0x05, 0x11, 0x01}, 4096);
    Put(a, 4, 64 + 5, 4);
    a.resize(64 + 5);
    auto r = Decode(Record().Add(a).Add(Resident(0x10, Bytes(8, 0))).Finish());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->run_list.size(), 1u);
  }
  {  // Run-list offset beyond the attribute; a non-resident header cut short.
    Bytes a = NonResident(0x80, {0x11, 0x02, 0x05}, 4096);
    Put(a, 32, 0xFFFF, 2);
    Bytes shortnr = Resident(0x80, Bytes(8, 0));
    shortnr[8] = 1;
    auto r = Decode(Record().Add(a).Add(shortnr).Finish());
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->run_list.empty());
  }
  {  // First attribute in the record's last bytes, then an offset past the end.
    Bytes b = Record().Finish();
    Put(b, 20, 1020, 2);
    b[1020] = 0x30;
    auto r = Decode(b);
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->posix_name);
    Put(b, 20, 0xFFFF, 2);
    EXPECT_TRUE(Decode(b));
  }
  {  // At most ten attributes are looked at.
    Record rec;
    for (int i = 0; i < 10; ++i) rec.Add(Resident(0x10, Bytes(8, 0)));
    auto r = Decode(rec.Add(FileName(5, 1, "eleventh")).Finish());
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->posix_name);
  }
  {  // Resident lists: value offset above 500, an entry of length 0; any list needs the $MFT map.
    Bytes far = Resident(0x20, ListEntry(0x30, 9, 0));
    Put(far, 20, 504, 2);
    Put(far, 4, 600, 4);
    far.resize(600);
    Put(far, 16, 32, 4);
    EXPECT_FALSE(Decode(Record().Add(far).Finish()));
    Bytes e = ListEntry(0x30, 9, 0);
    Put(e, 4, 0, 2);
    EXPECT_FALSE(Decode(Record().Add(Resident(0x20, e)).Finish()));
    EXPECT_FALSE(Decode(Record().Add(Resident(0x20, ListEntry(0x30, 9, 0))).Finish()));
  }
}

// A volume at LBA 64 with 4 KiB clusters whose $MFT is in three runs, the
// third one described by an extension record reached through a non-resident
// attribute list: records 0-7 at cluster 4, 8-11 at cluster 20, 12-19 at cluster 30.
class FragmentedMftTest : public MftTest {
 protected:
  static constexpr std::uint64_t kStart = 64;
  static std::uint64_t Lba(std::uint64_t cluster) { return kStart + cluster * 8; }
  static std::uint64_t RecordLba(std::uint64_t n) {
    return n < 8 ? Lba(4) + 2 * n : n < 12 ? Lba(20) + 2 * (n - 8) : Lba(30) + 2 * (n - 12);
  }
  void SetUp() override {
    MftTest::SetUp();
    vol_.start_lba = kStart;
    vol_.cluster_count = 100;
    vol_.mft_lba = static_cast<std::int64_t>(Lba(4));
    image_.assign((kStart + 100 * 8) * 512, 0);
    const Bytes mft_list = Concat({ListEntry(0x10, 0, 0), ListEntry(0x30, 0, 0), ListEntry(0x80, 0, 0),
                                   ListEntry(0x80, 3, 3), ListEntry(0xB0, 0, 0)});
    PutAt(image_, Lba(40), mft_list);
    Record mft(0);
    mft.Add(Resident(0x10, Bytes(48, 0))).Add(NonResident(0x20, {0x11, 0x01, 0x28}, mft_list.size()));
    mft.Add(FileName(5, 3, "$MFT")).Add(NonResident(0x80, {0x11, 0x02, 0x04, 0x11, 0x01, 0x10}, 20 * 1024));
    PutAt(image_, Lba(4), mft.Finish());
    PutAt(image_, Lba(4) + 6, Record(3).Add(NonResident(0x80, {0x11, 0x02, 0x1E}, 0, 3)).Finish());
    for (std::uint32_t n : {9u, 14u})
      PutAt(image_, RecordLba(n), Record(n).Add(FileName(5, 1, "file" + std::to_string(n))).Finish());
  }
  Bytes image_;
};

TEST_F(FragmentedMftTest, NonResidentListBuildsTheWholeMapAndMapsLaterRuns) {
  PHYDRIVE_INFO& drive = Mount(image_);
  ASSERT_EQ(DecodeMftRecord(ctx(), drive, vol_), 1);
  const INODE_RECD* mft = ctx().mft_inode;
  ASSERT_TRUE(mft && mft->posix_name);
  EXPECT_EQ(*mft->posix_name, "$MFT");
  EXPECT_EQ(mft->data_size_kb, 20u);
  EXPECT_EQ(Runs(*mft), (std::vector<RunT>{{0, 4, 4, 2}, {2, 20, 16, 1}, {3, 30, 30, 2}}));

  Bytes buf(1024);
  for (std::uint64_t n : {0, 9, 14}) EXPECT_EQ(MapRecordToLba(ctx(), drive, vol_, mft, buf, n), RecordLba(n)) << n;
  auto fourteen = RecordPtr(DecodeScanRecord(ctx(), drive, vol_, mft, buf, 14));
  ASSERT_TRUE(fourteen);
  EXPECT_EQ(fourteen->posix_name.value_or(""), "file14");
  EXPECT_EQ(MapRecordToLba(ctx(), drive, vol_, mft, buf, 15), kNoLba) << "not a FILE record";
  EXPECT_EQ(MapRecordToLba(ctx(), drive, vol_, mft, buf, 20), kNoLba) << "past the last run";
  EXPECT_EQ(MapRecordToLba(ctx(), drive, vol_, nullptr, buf, 0), kNoLba);

  // A second decode replaces the first; a position without a record gives none.
  ASSERT_EQ(DecodeMftRecord(ctx(), drive, vol_), 1);
  vol_.mft_lba = static_cast<std::int64_t>(Lba(50));
  EXPECT_EQ(DecodeMftRecord(ctx(), drive, vol_), 0);
  EXPECT_EQ(ctx().mft_inode, nullptr);
}

TEST_F(FragmentedMftTest, AttributeListsTakeDataFromTheRecordsTheyNameAndStopAtTheirValue) {
  // Record 16 lists its name in itself, its data in 17 (VCN 0, listed twice)
  // and 18 (VCN 5), and a named stream in itself that must not become its data.
  const Bytes list = Concat({ListEntry(0x10, 16, 0), ListEntry(0x30, 16, 0), ListEntry(0x30, 16, 0),
                             ListEntry(0x80, 17, 0), ListEntry(0x80, 17, 0), ListEntry(0x80, 16, 0, "Zone"),
                             ListEntry(0x80, 18, 5), ListEntry(0x90, 16, 0)});
  PutAt(image_, Lba(41), list);
  Record base(16);
  base.Add(Resident(0x10, Bytes(48, 0))).Add(NonResident(0x20, {0x11, 0x01, 0x29}, list.size()));
  base.Add(FileName(5, 2, "BIGFIL~1.BIN", 1)).Add(FileName(5, 1, "big file.bin", 2));
  base.Add(Resident(0x80, Bytes(26, 0x5A), "Zone"));
  PutAt(image_, RecordLba(16), base.Finish());
  PutAt(image_, RecordLba(17), Record(17).Add(NonResident(0x80, {0x11, 0x05, 0x32}, 40000)).Finish());
  PutAt(image_, RecordLba(18), Record(18).Add(NonResident(0x80, {0x11, 0x05, 0x3C}, 0, 5)).Finish());

  PHYDRIVE_INFO& drive = Mount(image_);
  Bytes rec(1024);
  ASSERT_EQ(ReadSectors(ctx(), drive, RecordLba(16), rec), 1);
  EXPECT_FALSE(Decode(rec, 16)) << "without the $MFT map the extents cannot be reached";

  ASSERT_EQ(DecodeMftRecord(ctx(), drive, vol_), 1);
  ASSERT_EQ(ReadSectors(ctx(), drive, RecordLba(16), rec), 1);
  auto r = Decode(rec, 16);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->posix_name.value_or(""), "big file.bin");
  EXPECT_EQ(r->short_name.value_or(""), "BIGFIL~1.BIN");
  EXPECT_EQ(r->data_size, 40000u);
  EXPECT_EQ(r->data_size_kb, 39u);
  EXPECT_EQ(r->data_nonresident, 1u);
  EXPECT_TRUE(r->resident_data.empty());
  EXPECT_EQ(Runs(*r), (std::vector<RunT>{{0, 50, 50, 5}, {5, 60, 60, 5}}));
  ASSERT_FALSE(DebugLines().empty());
  EXPECT_EQ(DebugLines().back(), "ATTR List INDEXROOT");

  // A list whose clusters run off the volume's range cannot be read.
  Bytes broken = base.Finish();
  const Bytes bad_list = NonResident(0x20, {0x11, 0x01, 0x7F, 0x00}, list.size());
  std::copy(bad_list.begin(), bad_list.end(), broken.begin() + 56 + 72);
  EXPECT_FALSE(Decode(broken, 16));

  // A resident list stops at its value: the end marker after it is not an entry.
  auto ten = Decode(Record(10).Add(Resident(0x20, Concat({ListEntry(0x30, 9, 0), ListEntry(0x80, 14, 0)}))).Finish(), 10);
  ASSERT_TRUE(ten);
  EXPECT_EQ(ten->posix_name.value_or(""), "file9");
  EXPECT_EQ(ten->data_size, 0u);
}

TEST_F(MftTest, LocatorReadsOneRecordWithHalfKilobyteClusters) {
  constexpr std::uint64_t kStart = 100;
  vol_.start_lba = kStart;
  vol_.sectors_per_cluster = 1;
  vol_.bytes_per_cluster = 512;
  vol_.mft_lba = 12345;
  Bytes image((kStart + 4 + 2) * 512, 0);  // the image ends with the record
  PutAt(image, kStart + 4, Record().Add(FileName(5, 1, "$MFTMirr")).Finish());
  PHYDRIVE_INFO& drive = Mount(image);
  EXPECT_EQ(LocateMft(ctx(), drive, vol_), 0);
  EXPECT_EQ(vol_.mft_lba, 12345);
  EXPECT_EQ(drive.read_errors, 0u) << "candidates beyond the drive are not read";

  PutAt(image, kStart + 4, Record().Add(FileName(5, 2, "MFT")).Add(FileName(5, 3, "$MFT")).Finish());
  WriteFile("vol.img", image);
  EXPECT_EQ(LocateMft(ctx(), drive, vol_), 1);
  EXPECT_EQ(vol_.mft_lba, static_cast<std::int64_t>(kStart + 4));
}
