// MFT records: update sequence, decoding, attribute lists, the $MFT map and locator.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "disk/phydrive.h"
#include "ntfs/mft.h"
#include "scan/tree.h"
#include "test_support.h"
#include "volume/logdrive.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void Put16(Bytes& b, std::size_t o, std::uint16_t v) {
  b[o] = v & 0xFF;
  b[o + 1] = v >> 8;
}
void Put32(Bytes& b, std::size_t o, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[o + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void Put64(Bytes& b, std::size_t o, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) b[o + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::size_t Align8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }
void PutName(Bytes& b, std::size_t o, const std::string& name) {
  for (std::size_t i = 0; i < name.size(); ++i) Put16(b, o + 2 * i, static_cast<std::uint8_t>(name[i]));
}

Bytes Resident(std::uint32_t type, const Bytes& value, const std::string& name = "") {
  const std::size_t voff = Align8(24 + 2 * name.size());
  Bytes a(Align8(voff + value.size()), 0);
  Put32(a, 0, type);
  Put32(a, 4, static_cast<std::uint32_t>(a.size()));
  a[9] = static_cast<std::uint8_t>(name.size());
  Put16(a, 10, 24);
  Put32(a, 16, static_cast<std::uint32_t>(value.size()));
  Put16(a, 20, static_cast<std::uint16_t>(voff));
  PutName(a, 24, name);
  std::copy(value.begin(), value.end(), a.begin() + static_cast<std::ptrdiff_t>(voff));
  return a;
}

Bytes NonResident(std::uint32_t type, const Bytes& runs, std::uint64_t data_size, std::uint64_t lowest_vcn = 0,
                  const std::string& name = "") {
  const std::size_t roff = Align8(64 + 2 * name.size());
  Bytes a(Align8(roff + runs.size() + 1), 0);
  Put32(a, 0, type);
  Put32(a, 4, static_cast<std::uint32_t>(a.size()));
  a[8] = 1;
  a[9] = static_cast<std::uint8_t>(name.size());
  Put16(a, 10, 64);
  Put64(a, 16, lowest_vcn);
  Put16(a, 32, static_cast<std::uint16_t>(roff));
  Put64(a, 40, data_size);
  Put64(a, 48, data_size);
  Put64(a, 56, data_size);
  PutName(a, 64, name);
  std::copy(runs.begin(), runs.end(), a.begin() + static_cast<std::ptrdiff_t>(roff));
  return a;
}

Bytes FileName(std::uint64_t parent, std::uint8_t name_space, const std::string& name, std::uint64_t time = 0) {
  Bytes v(66 + 2 * name.size(), 0);
  Put64(v, 0, parent | (std::uint64_t{7} << 48));  // sequence number: dropped
  Put64(v, 16, time);
  v[64] = static_cast<std::uint8_t>(name.size());
  v[65] = name_space;
  PutName(v, 66, name);
  return Resident(0x30, v);
}

Bytes ListEntry(std::uint32_t type, std::uint64_t ref, std::uint64_t vcn, const std::string& name = "") {
  Bytes e(Align8(26 + 2 * name.size()), 0);
  Put32(e, 0, type);
  Put16(e, 4, static_cast<std::uint16_t>(e.size()));
  e[6] = static_cast<std::uint8_t>(name.size());
  e[7] = 26;
  Put64(e, 8, vcn);
  Put64(e, 16, ref | (std::uint64_t{3} << 48));
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
class Record {
 public:
  explicit Record(std::uint32_t number = 0, std::uint16_t flags = 1) {
    std::copy_n("FILE", 4, b_.begin());
    Put16(b_, 4, 48);
    Put16(b_, 6, 3);
    Put16(b_, 20, 56);
    Put16(b_, 22, flags);
    Put32(b_, 44, number);
    Put16(b_, 48, kUsn);
  }
  Record& Add(const Bytes& attr) {
    if (next_ + attr.size() > b_.size()) {
      ADD_FAILURE() << "attribute does not fit the record";
      return *this;
    }
    std::copy(attr.begin(), attr.end(), b_.begin() + static_cast<std::ptrdiff_t>(next_));
    next_ += attr.size();
    return *this;
  }
  Bytes Finish() const {
    Bytes b = b_;
    if (next_ + 8 <= b.size()) Put32(b, next_, 0xFFFFFFFF);
    for (int i = 1; i <= 2; ++i) {
      const std::size_t tail = 512 * i - 2;
      b[48 + 2 * i] = b[tail];
      b[49 + 2 * i] = b[tail + 1];
      Put16(b, tail, kUsn);
    }
    return b;
  }
  static constexpr std::uint16_t kUsn = 0x0A0B;

 private:
  Bytes b_ = Bytes(1024, 0);
  std::size_t next_ = 56;
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
  // Opens the image as the selected physical drive.
  PHYDRIVE_INFO& Mount(const Bytes& image) {
    const auto path = WriteFile("vol.img", image);
    EXPECT_EQ(AddImageFile(ctx(), path.string()), 1);
    ListView_SetItemState(ctx().phy_list, 0, LVIS_SELECTED, LVIS_SELECTED);
    return *static_cast<PHYDRIVE_INFO*>(ListView_GetItemData(ctx().phy_list, 0));
  }
  RecordPtr Decode(Bytes rec, std::uint64_t number = 42) {
    return RecordPtr(DecodeScanRecord(ctx(), vol_, rec, number));
  }
  static void PutAt(Bytes& image, std::uint64_t lba, const Bytes& data) {
    std::copy(data.begin(), data.end(), image.begin() + static_cast<std::ptrdiff_t>(lba * 512));
  }
  LOGDRIVE_INFO vol_;
};

void ExpectRun(const RUN_ENTRY& e, std::uint64_t vcn, std::uint64_t lcn, std::int64_t delta, std::uint64_t len) {
  EXPECT_EQ(e.start_vcn, vcn);
  EXPECT_EQ(e.lcn, lcn);
  EXPECT_EQ(e.lcn_delta, delta);
  EXPECT_EQ(e.length, len);
}

}  // namespace

TEST(MftUpdateSequence, CountsOffsetsAndTheOneByteCompare) {
  Record r;
  const Bytes b = r.Add(FileName(5, 1, "x")).Finish();
  EXPECT_TRUE(IsFileRecord(b));

  for (std::uint16_t count : {0, 1, 2, 4}) {
    Bytes bad = b;
    Put16(bad, 6, count);
    EXPECT_FALSE(IsFileRecord(bad)) << count;
  }
  Bytes far = b;
  Put16(far, 4, 1023);  // array beyond the record
  EXPECT_FALSE(IsFileRecord(far));
  Bytes no_attrs = b;
  Put16(no_attrs, 20, 0);
  EXPECT_FALSE(IsFileRecord(no_attrs));
  Bytes not_file = b;
  not_file[0] = 'B';
  EXPECT_FALSE(IsFileRecord(not_file));
  EXPECT_FALSE(IsFileRecord(std::span<const std::uint8_t>(b).first(1023)));

  // Only the low byte of each sector's last word is compared.
  Bytes high = b;
  high[511] = 0xEE;
  high[1023] = 0xEE;
  EXPECT_TRUE(IsFileRecord(high));
  Bytes low = b;
  low[1022] ^= 1;
  EXPECT_FALSE(IsFileRecord(low));
}

TEST(MftUpdateSequence, RestorePutsTheSavedWordsBackAndLeavesATornRecordAlone) {
  Record rec;
  Bytes b = rec.Finish();
  b[50] = 0x12;  // saved words of sector 1 and 2
  b[51] = 0x34;
  b[52] = 0x56;
  b[53] = 0x78;
  Bytes restored = b;
  ASSERT_EQ(ApplyUpdateSequence(restored, 512, UpdateSequenceMode::Restore), 1);
  EXPECT_EQ(restored[510], 0x12);
  EXPECT_EQ(restored[511], 0x34);
  EXPECT_EQ(restored[1022], 0x56);
  EXPECT_EQ(restored[1023], 0x78);

  Bytes checked = b;
  EXPECT_EQ(ApplyUpdateSequence(checked, 512, UpdateSequenceMode::Check), 1);
  EXPECT_EQ(checked, b);

  Bytes torn = b;
  torn[1022] = 0;
  Bytes before = torn;
  EXPECT_EQ(ApplyUpdateSequence(torn, 512, UpdateSequenceMode::Restore), 0);
  EXPECT_EQ(torn, before);
}

TEST_F(MftTest, HeaderFieldsAndNamesByNamespace) {
  Mount(Bytes(4096, 0));
  Record rec(77, 3);
  rec.Add(FileName(0x0000123400000005ULL, 2, "LONGFI~1.TXT", 111));
  rec.Add(FileName(0x0000000100000006ULL, 1, "Long file.txt", 222));
  auto r = Decode(rec.Finish(), 9);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->own_number, 9u);
  EXPECT_EQ(r->header_record_number, 77u);
  EXPECT_EQ(r->record_flags, 3u);
  ASSERT_TRUE(r->short_name && r->posix_name);
  EXPECT_EQ(*r->short_name, "LONGFI~1.TXT");
  EXPECT_EQ(*r->posix_name, "Long file.txt");
  // Parent (48 bits, sequence dropped) and time come from the last name.
  EXPECT_EQ(r->parent_number, 0x0000000100000006ULL);
  EXPECT_EQ(r->write_time, 222u);

  Record posix;
  posix.Add(FileName(5, 0, "only-posix", 333));
  auto p = Decode(posix.Finish());
  ASSERT_TRUE(p);
  EXPECT_FALSE(p->posix_name);
  EXPECT_FALSE(p->short_name);
  EXPECT_EQ(p->parent_number, 5u);

  // Names keep the low byte of each UTF-16 unit.
  Bytes wide = FileName(5, 3, "ab");
  Put16(wide, 24 + 66 + 2, 0x4E2D);
  Record w;
  w.Add(wide);
  auto q = Decode(w.Finish());
  ASSERT_TRUE(q && q->posix_name);
  EXPECT_EQ(*q->posix_name, std::string("a\x2D"));

  Bytes again = rec.Finish();
  EXPECT_EQ(ReadRecordLongName(again), "Long file.txt");
}

TEST_F(MftTest, NoSelectedDriveDecodesNothing) {
  Record rec;
  rec.Add(FileName(5, 1, "a"));
  EXPECT_FALSE(Decode(rec.Finish()));
}

TEST_F(MftTest, ResidentDataUpTo800BytesAndOnlyTheUnnamedStream) {
  Mount(Bytes(4096, 0));
  Record ok;
  ok.Add(Resident(0x80, Bytes(800, 0x41)));
  auto a = Decode(ok.Finish());
  ASSERT_TRUE(a);
  EXPECT_EQ(a->data_size, 800u);
  EXPECT_EQ(a->resident_data, Bytes(800, 0x41)) << "restored under the update sequence";
  EXPECT_EQ(a->data_nonresident, 0u);

  Record big;
  big.Add(Resident(0x80, Bytes(801, 0x41)));
  auto b = Decode(big.Finish());
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

TEST_F(MftTest, RunListsDecodeRelativeOffsetsSignsAndSparseRuns) {
  Mount(Bytes(4096, 0));
  Record rec;
  rec.Add(NonResident(0x80,
                      {0x21, 0x10, 0x00, 0x01,  // 16 clusters at 256
                       0x11, 0x08, 0xF0,        // 8 at 256 - 16
                       0x11, 0x04, 0xFF,        // 4 at 240 - 1
                       0x01, 0x03,              // 3 sparse
                       0x11, 0x80, 0x01,        // length -128: ends the list
                       0x11, 0x01, 0x01},
                      31 * 4096 + 5));
  auto r = Decode(rec.Finish());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->data_nonresident, 1u);
  EXPECT_EQ(r->data_size, 31u * 4096 + 5);
  EXPECT_EQ(r->data_size_kb, 124u);
  ASSERT_EQ(r->run_list.size(), 4u);
  ExpectRun(r->run_list[0], 0, 256, 256, 16);
  ExpectRun(r->run_list[1], 16, 240, -16, 8);
  ExpectRun(r->run_list[2], 24, 239, -1, 4);
  ExpectRun(r->run_list[3], 28, 239, 0, 3);
}

TEST_F(MftTest, RunsOutsideTheGivenVolumeCutTheList) {
  Mount(Bytes(4096, 0));
  vol_.cluster_count = 1000;
  Record beyond;
  beyond.Add(NonResident(0x80, {0x11, 0x10, 0x64, 0x21, 0x10, 0x00, 0x04, 0x11, 0x01, 0x01}, 4096));
  auto a = Decode(beyond.Finish());
  ASSERT_TRUE(a);
  ASSERT_EQ(a->run_list.size(), 1u);
  ExpectRun(a->run_list[0], 0, 100, 100, 16);

  Record negative;
  negative.Add(NonResident(0x80, {0x11, 0x01, 0x05, 0x11, 0x01, 0xF0}, 4096));
  auto b = Decode(negative.Finish());
  ASSERT_TRUE(b);
  EXPECT_EQ(b->run_list.size(), 1u);

  // The same runs on a larger volume are kept: the test uses the volume passed in.
  vol_.cluster_count = 5000;
  auto c = Decode(beyond.Finish());
  ASSERT_TRUE(c);
  EXPECT_EQ(c->run_list.size(), 3u);
}

TEST_F(MftTest, HostileRecordsDecodePartlyOrNotAtAll) {
  Mount(Bytes(4096, 0));
  {  // An attribute reaching past the record ends the walk; what came before stays.
    Record rec;
    rec.Add(FileName(5, 1, "kept"));
    Bytes huge = Resident(0x80, Bytes(8, 1));
    Put32(huge, 4, 0x10000);
    rec.Add(huge);
    auto r = Decode(rec.Finish());
    ASSERT_TRUE(r && r->posix_name);
    EXPECT_EQ(*r->posix_name, "kept");
    EXPECT_TRUE(r->resident_data.empty());
  }
  {  // Length 0 cannot be walked past.
    Record rec;
    Bytes zero = FileName(5, 1, "x");
    Put32(zero, 4, 0);
    rec.Add(zero);
    EXPECT_FALSE(Decode(rec.Finish()));
  }
  {  // A name longer than its value, value offsets beyond the attribute.
    Record rec;
    Bytes long_name = FileName(5, 1, "abc");
    long_name[24 + 64] = 200;
    rec.Add(long_name);
    Bytes far_name = FileName(5, 2, "abc");
    Put16(far_name, 20, 0xFFF0);
    rec.Add(far_name);
    Bytes far_data = Resident(0x80, Bytes(16, 1));
    Put16(far_data, 20, 0xFFF0);
    rec.Add(far_data);
    Bytes long_data = Resident(0x80, Bytes(16, 1));
    Put32(long_data, 16, 500);
    rec.Add(long_data);
    auto r = Decode(rec.Finish());
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->posix_name);
    EXPECT_FALSE(r->short_name);
    EXPECT_TRUE(r->resident_data.empty());
  }
  {  // A run list whose last run needs more bytes than its attribute has.
    Record rec;
    Bytes a = NonResident(0x80, {0x11, 0x02, 0x05, 0x11, 0x01}, 4096);
    const std::uint32_t cut = 64 + 5;
    Put32(a, 4, cut);
    a.resize(cut);
    rec.Add(a);
    rec.Add(Resident(0x10, Bytes(8, 0)));  // its first byte would be the missing offset
    auto r = Decode(rec.Finish());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->run_list.size(), 1u);
  }
  {  // Run-list offset beyond the attribute; a non-resident header cut short.
    Record rec;
    Bytes a = NonResident(0x80, {0x11, 0x02, 0x05}, 4096);
    Put16(a, 32, 0xFFFF);
    rec.Add(a);
    Bytes shortnr = Resident(0x80, Bytes(8, 0));
    shortnr[8] = 1;
    rec.Add(shortnr);
    auto r = Decode(rec.Finish());
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->run_list.empty());
  }
  {  // First attribute in the record's last bytes, and a header cut at the end.
    Bytes b = Record().Finish();
    Put16(b, 20, 1020);
    b[1020] = 0x30;
    auto r = Decode(b);
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->posix_name);
    Put16(b, 20, 0xFFFF);
    EXPECT_TRUE(Decode(b));
  }
  {  // At most ten attributes are looked at.
    Record rec;
    for (int i = 0; i < 10; ++i) rec.Add(Resident(0x10, Bytes(8, 0)));
    rec.Add(FileName(5, 1, "eleventh"));
    auto r = Decode(rec.Finish());
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->posix_name);
  }
  {  // Resident attribute lists: value offset above 500, an entry of length 0.
    Record rec;
    Bytes far = Resident(0x20, ListEntry(0x30, 9, 0));
    Put16(far, 20, 504);
    Put32(far, 4, 600);
    far.resize(600);
    Put32(far, 16, 32);
    rec.Add(far);
    EXPECT_FALSE(Decode(rec.Finish()));

    Record zero;
    Bytes e = ListEntry(0x30, 9, 0);
    Put16(e, 4, 0);
    zero.Add(Resident(0x20, e));
    EXPECT_FALSE(Decode(zero.Finish()));
  }
  {  // A list needs the $MFT map to reach the records it names.
    Record rec;
    rec.Add(Resident(0x20, ListEntry(0x30, 9, 0)));
    EXPECT_FALSE(Decode(rec.Finish()));
  }
}

// A volume at LBA 64 with 4 KiB clusters whose $MFT is in three runs, the
// third one described by an extension record reached through a non-resident
// attribute list:
//   records 0-7 at cluster 4, 8-11 at cluster 20, 12-19 at cluster 30.
class FragmentedMftTest : public MftTest {
 protected:
  static constexpr std::uint64_t kStart = 64;
  static std::uint64_t Lba(std::uint64_t cluster) { return kStart + cluster * 8; }

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
    mft.Add(Resident(0x10, Bytes(48, 0)));
    mft.Add(NonResident(0x20, {0x11, 0x01, 0x28}, mft_list.size()));
    mft.Add(FileName(5, 3, "$MFT"));
    mft.Add(NonResident(0x80, {0x11, 0x02, 0x04, 0x11, 0x01, 0x10}, 20 * 1024));
    PutAt(image_, Lba(4), mft.Finish());
    Record ext(3);
    ext.Add(NonResident(0x80, {0x11, 0x02, 0x1E}, 0, 3));
    PutAt(image_, Lba(4) + 6, ext.Finish());
    for (std::uint32_t n : {9u, 14u}) {
      Record plain(n);
      plain.Add(FileName(5, 1, "file" + std::to_string(n)));
      PutAt(image_, RecordLba(n), plain.Finish());
    }
  }
  static std::uint64_t RecordLba(std::uint64_t n) {
    if (n < 8) return Lba(4) + 2 * n;
    if (n < 12) return Lba(20) + 2 * (n - 8);
    return Lba(30) + 2 * (n - 12);
  }
  Bytes image_;
};

TEST_F(FragmentedMftTest, NonResidentListBuildsTheWholeMapAndMapsLaterRuns) {
  PHYDRIVE_INFO& drive = Mount(image_);
  ASSERT_EQ(DecodeMftRecord(ctx(), drive, vol_), 1);
  const INODE_RECD* mft = ctx().mft_inode;
  ASSERT_TRUE(mft);
  ASSERT_TRUE(mft->posix_name);
  EXPECT_EQ(*mft->posix_name, "$MFT");
  EXPECT_EQ(mft->data_size_kb, 20u);
  ASSERT_EQ(mft->run_list.size(), 3u);
  ExpectRun(mft->run_list[0], 0, 4, 4, 2);
  ExpectRun(mft->run_list[1], 2, 20, 16, 1);
  ExpectRun(mft->run_list[2], 3, 30, 30, 2);

  Bytes buf(1024);
  EXPECT_EQ(MapRecordToLba(ctx(), drive, vol_, mft, buf, 0), Lba(4));
  EXPECT_EQ(MapRecordToLba(ctx(), drive, vol_, mft, buf, 9), RecordLba(9));
  EXPECT_EQ(MapRecordToLba(ctx(), drive, vol_, mft, buf, 14), RecordLba(14));
  auto fourteen = RecordPtr(DecodeScanRecord(ctx(), vol_, buf, 14));
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

TEST_F(FragmentedMftTest, FileInManyExtentsTakesItsDataFromTheRecordsTheListNames) {
  // Record 16 lists its name in itself, its data in 17 (VCN 0, listed twice)
  // and 18 (VCN 5), and a named stream in itself that must not become its data.
  const Bytes list = Concat({ListEntry(0x10, 16, 0), ListEntry(0x30, 16, 0), ListEntry(0x30, 16, 0),
                             ListEntry(0x80, 17, 0), ListEntry(0x80, 17, 0), ListEntry(0x80, 16, 0, "Zone"),
                             ListEntry(0x80, 18, 5),
                             ListEntry(0x90, 16, 0)});
  PutAt(image_, Lba(41), list);
  Record base(16);
  base.Add(Resident(0x10, Bytes(48, 0)));
  base.Add(NonResident(0x20, {0x11, 0x01, 0x29}, list.size()));
  base.Add(FileName(5, 2, "BIGFIL~1.BIN", 1));
  base.Add(FileName(5, 1, "big file.bin", 2));
  base.Add(Resident(0x80, Bytes(26, 0x5A), "Zone"));
  PutAt(image_, RecordLba(16), base.Finish());
  Record first(17);
  first.Add(NonResident(0x80, {0x11, 0x05, 0x32}, 40000));
  PutAt(image_, RecordLba(17), first.Finish());
  Record second(18);
  second.Add(NonResident(0x80, {0x11, 0x05, 0x3C}, 0, 5));
  PutAt(image_, RecordLba(18), second.Finish());

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
  ASSERT_EQ(r->run_list.size(), 2u);
  ExpectRun(r->run_list[0], 0, 50, 50, 5);
  ExpectRun(r->run_list[1], 5, 60, 60, 5);
  ASSERT_FALSE(DebugLines().empty());
  EXPECT_EQ(DebugLines().back(), "ATTR List INDEXROOT");

  // A list whose clusters run off the volume's range cannot be read.
  Bytes broken = base.Finish();
  Bytes bad_list = NonResident(0x20, {0x11, 0x01, 0x7F, 0x00}, list.size());
  std::copy(bad_list.begin(), bad_list.end(), broken.begin() + 56 + 72);
  EXPECT_FALSE(Decode(broken, 16));
}

TEST_F(FragmentedMftTest, ResidentListStopsAtItsValue) {
  // The end marker follows the list directly; the walk must not read it as an entry.
  PHYDRIVE_INFO& drive = Mount(image_);
  ASSERT_EQ(DecodeMftRecord(ctx(), drive, vol_), 1);
  Record rec(10);
  rec.Add(Resident(0x20, Concat({ListEntry(0x30, 9, 0), ListEntry(0x80, 14, 0)})));
  auto r = Decode(rec.Finish(), 10);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->posix_name.value_or(""), "file9");
  EXPECT_EQ(r->data_size, 0u);
}

TEST_F(MftTest, LocatorReadsOneRecordWithHalfKilobyteClusters) {
  constexpr std::uint64_t kStart = 100;
  vol_.start_lba = kStart;
  vol_.sectors_per_cluster = 1;
  vol_.bytes_per_cluster = 512;
  vol_.mft_lba = 12345;
  Bytes image((kStart + 4 + 2) * 512, 0);  // the image ends with the record
  Record mirr;
  mirr.Add(FileName(5, 1, "$MFTMirr"));
  PutAt(image, kStart + 4, mirr.Finish());
  PHYDRIVE_INFO& drive = Mount(image);
  EXPECT_EQ(LocateMft(ctx(), drive, vol_), 0);
  EXPECT_EQ(vol_.mft_lba, 12345);
  EXPECT_EQ(drive.read_errors, 0u) << "candidates beyond the drive are not read";

  Record mft;
  mft.Add(FileName(5, 2, "MFT"));
  mft.Add(FileName(5, 3, "$MFT"));
  PutAt(image, kStart + 4, mft.Finish());
  WriteFile("vol.img", image);
  EXPECT_EQ(LocateMft(ctx(), drive, vol_), 1);
  EXPECT_EQ(vol_.mft_lba, static_cast<std::int64_t>(kStart + 4));
}
