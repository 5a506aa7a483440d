// The fast and slow NTFS scans on the fixture volumes, against the oracle's
// listing, and on crafted damage: a zeroed stretch of the $MFT, a record
// claiming an absurd record count, records at the chunk edges of the slow
// search, and a $MFT record that does not decode.
#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <set>
#include <stdexcept>

#include "app/main_window.h"
#include "app/status.h"
#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "ntfs/attribute_list.h"
#include "ntfs/mft.h"
#include "ntfs/ntfs_scan.h"
#include "platform/bytes.h"
#include "platform/sweep_view.h"
#include "platform/text.h"
#include "res/ids.h"
#include "scan/tree.h"
#include "test_ntfs_support.h"
#include "volume/logdrive.h"
#include "volume/mount.h"

using namespace ntfs_test;

namespace {

constexpr std::size_t kSector = 512;
constexpr std::size_t kRecord = 1024;

void Collect(const AppContext& c, const TreeItem* item, const std::string& path, std::vector<ScanLine>& out,
             std::vector<std::uint64_t>* lbas) {
  const INODE_RECD* r = GetItemRecord(c, item);
  const FILE_INODE* f = r->files_head;
  for (std::uint64_t i = 0; i < r->file_count && f; ++i, f = f->next_in_dir) {
    out.push_back({path.empty() ? Latin1ToUtf8(f->name) : path + "/" + Latin1ToUtf8(f->name), false,
                   (f->record_flags & kRecInUse) != 0, f->data_size, f->own_number});
    if (lbas) lbas->push_back(f->record_lba);
  }
  for (const TreeItem* ch = item->first_child; ch; ch = ch->next_sibling) {
    const INODE_RECD* cr = GetItemRecord(c, ch);
    const std::string name = Latin1ToUtf8(cr->posix_name.value_or(cr->short_name.value_or("")));
    out.push_back({path.empty() ? name : path + "/" + name, true, (cr->record_flags & kRecInUse) != 0, cr->data_size,
                   cr->own_number});
    if (lbas) lbas->push_back(cr->record_lba);
    const std::string dir_path = out.back().path;  // out grows below
    Collect(c, ch, dir_path, out, lbas);
  }
}

std::vector<ScanLine> ScanTree(const AppContext& c, std::vector<std::uint64_t>* lbas = nullptr) {
  std::vector<ScanLine> out;
  if (c.root_item) Collect(c, c.root_item, "", out, lbas);
  return out;
}

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& p, std::uint64_t offset, std::uint64_t size) {
  std::ifstream in(p, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::vector<std::uint8_t> b(size);
  in.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(size));
  return b;
}

// The offset of a field inside the first attribute of a type in a record, or 0.
std::size_t AttributeField(std::span<const std::uint8_t> rec, std::uint32_t type, std::size_t field) {
  for (std::size_t o = le::U16(rec, 20); o + 8 <= kRecord;) {
    const std::uint32_t t = le::U32(rec, o), len = le::U32(rec, o + 4);
    if (t == 0xFFFFFFFF || len == 0) break;
    if (t == type) return o + field;
    o += len;
  }
  return 0;
}

}  // namespace

class NtfsScanTest : public RetrovaTest {
 protected:
  // A main window with the image as the last drive and the NTFS volume at
  // start_lba as the selected logical drive.
  void OpenVolume(const std::filesystem::path& image, std::uint64_t start_lba) {
    OpenMainWindow();
    ASSERT_EQ(AddImageFile(ctx(), image.string()), 1);
    const int row = ListView_GetItemCount(ctx().phy_list) - 1;
    drive_ = static_cast<PHYDRIVE_INFO*>(ListView_GetItemData(ctx().phy_list, row));
    ListView_SetItemState(ctx().phy_list, row, LVIS_SELECTED, LVIS_SELECTED);
    std::array<std::uint8_t, 512> boot{};
    ASSERT_EQ(ReadSectors(ctx(), *drive_, start_lba, boot), 1);
    vol_ = MountLogDrive(start_lba, boot);
    ASSERT_NE(vol_, nullptr);
    ASSERT_EQ(vol_->fs_type, kFsNtfs);
    ListView_InsertItem(ctx().log_list, 0, "volume", 0, vol_);
    ListView_SetItemState(ctx().log_list, 0, LVIS_SELECTED, LVIS_SELECTED);
  }
  // The demo's NTFS volume alone, at sector 0 of an image, for crafting.
  std::vector<std::uint8_t> DemoVolume() {
    const auto& f = kNtfsFixtures[0];
    return ReadBytes(Fixture(f.image), f.start * kSector, 16065 * kSector);
  }
  void OpenCrafted(const std::vector<std::uint8_t>& bytes) { OpenVolume(WriteFile("crafted.img", bytes), 0); }
  void TearDown() override {
    ResetScanTree(ctx());
    RetrovaTest::TearDown();
  }
  void Scan(int command) {
    PostCommand(ctx().main_dlg, static_cast<std::uint32_t>(command));
    for (int guard = 0; guard < 100000 && DispatchNext(); ++guard) {
    }
  }
  void ExpectIdleAfterScan() {
    EXPECT_EQ(ctx().scan_running, 0);
    EXPECT_EQ(GetDlgItemText(ctx().main_dlg, IDC_STATUS), "Idle...");
    EXPECT_TRUE(ctx().phy_list->enabled && ctx().log_list->enabled && ctx().file_list->enabled &&
                ctx().dir_tree->enabled);
    EXPECT_EQ(ctx().progress_bar->pos, 0);
    EXPECT_TRUE(Menu_FindCommand(ctx().main_dlg->menu.get(), IDM_SAVE_SCAN)->enabled);
  }
  std::uint64_t MftRecordOffset(std::uint64_t number) const {
    return (static_cast<std::uint64_t>(vol_->mft_lba - vol_->start_lba)) * kSector + number * kRecord;
  }
  bool HasPath(const std::vector<ScanLine>& lines, const std::string& path) {
    return std::any_of(lines.begin(), lines.end(), [&](const ScanLine& l) { return l.path == path; });
  }

  PHYDRIVE_INFO* drive_ = nullptr;
  LOGDRIVE_INFO* vol_ = nullptr;
};

class NtfsFixtureScanTest : public NtfsScanTest, public ::testing::WithParamInterface<NtfsFixture> {};

TEST_P(NtfsFixtureScanTest, BothScansListWhatTheOracleLists) {
  const NtfsFixture& f = GetParam();
  OpenVolume(ScannedImage(f), f.start);
  const auto oracle = ExpectedEntries(f);

  Scan(IDM_FAST_LOGICAL);
  ExpectIdleAfterScan();
  const std::vector<ScanLine> fast = ScanTree(ctx());
  ExpectMatchesOracle(fast, oracle, "fast");
  // Every record is listed once; Root, the kept directories and "Orphan Files" are counted.
  EXPECT_EQ(fast.size(), oracle.size() + 2);
  const auto dirs = std::count_if(fast.begin(), fast.end(), [](const ScanLine& l) { return l.dir; });
  EXPECT_EQ(vol_->dirs_found, dirs);  // Root and "Orphan Files" in, "Unlinked Data" out
  EXPECT_EQ(vol_->files_found, static_cast<std::int64_t>(fast.size()) - dirs);
  EXPECT_EQ(ctx().scanned_logdrive, vol_);
  EXPECT_FALSE(HasPath(fast, "")) << "the volume's root record stands behind Root, never listed";

  std::vector<std::uint64_t> fast_lbas;
  ScanTree(ctx(), &fast_lbas);

  Scan(IDM_SLOW_LOGICAL);
  ExpectIdleAfterScan();
  std::vector<std::uint64_t> slow_lbas;
  const std::vector<ScanLine> slow = ScanTree(ctx(), &slow_lbas);
  ExpectMatchesOracle(slow, oracle, "slow");
  EXPECT_GE(slow.size(), fast.size());

  // What only the slow scan finds here is the $MFTMirr: copies of the first
  // records (the root's excepted) at the mirror, which the $MFT map never reads.
  const std::set<std::uint64_t> read_by_fast(fast_lbas.begin(), fast_lbas.end());
  const std::uint64_t mirror_records = *oracle.at("$MFTMirr").size / kRecord;
  std::set<std::uint64_t> only_slow;
  for (std::size_t i = 0; i < slow.size(); ++i) {
    if (IsSyntheticNode(slow[i].path) || read_by_fast.count(slow_lbas[i])) continue;
    only_slow.insert(slow[i].number);
    const auto mirror = static_cast<std::uint64_t>(vol_->mftmirr_lba);
    EXPECT_EQ(slow_lbas[i], mirror + slow[i].number * (kRecord / kSector)) << slow[i].path;
  }
  std::set<std::uint64_t> mirrored;
  for (std::uint64_t n = 0; n < mirror_records; ++n)
    if (n != 5) mirrored.insert(n);
  EXPECT_EQ(only_slow, mirrored);
}

INSTANTIATE_TEST_SUITE_P(Ntfs, NtfsFixtureScanTest, ::testing::ValuesIn(kNtfsFixtures),
                         [](const auto& info) { return FixtureTestName(info.param); });

const NtfsFixture& FixtureOf(std::string_view name, bool win32_names = false) {
  for (const NtfsFixture& f : kNtfsFixtures)
    if (IsFixture(f, name) && f.win32_names == win32_names) return f;
  throw std::logic_error("no fixture " + std::string(name));
}

// The damaged image's lost parts, by the record numbers its maker wrote down:
// both scans place them alike (the slow scan's extra copies are of the
// first records only).
TEST_F(NtfsScanTest, DamagedVolumePlacesWhatLostItsParent) {
  const NtfsFixture& f = FixtureOf("ntfs_damaged");
  const auto facts = ReadFacts("ntfs/ntfs_damaged.facts.txt");
  const auto fact = [&](const char* key) { return facts.at(key).at(0); };
  OpenVolume(Fixture(f.image), f.start);
  for (const int command : {IDM_FAST_LOGICAL, IDM_SLOW_LOGICAL}) {
    Scan(command);
    ExpectIdleAfterScan();
    const std::vector<ScanLine> lines = ScanTree(ctx());
    const auto of = [&](std::uint64_t number) {
      std::vector<const ScanLine*> found;
      for (const ScanLine& l : lines)
        if (l.number == number && !IsSyntheticNode(l.path)) found.push_back(&l);
      return found;
    };
    const auto child = of(fact("unlinked_child_record"));
    ASSERT_EQ(child.size(), 1u) << command;
    EXPECT_EQ(child[0]->path, "Unlinked Data/Unlinked child") << "its parent record is zeroed";
    EXPECT_TRUE(child[0]->dir && child[0]->in_use);
    const auto kept = of(fact("unlinked_kept_file_record"));
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0]->path, "Unlinked Data/Unlinked child/Kept file.txt") << "files follow their directory";
    // The orphan's directory record now holds a file: no directory has its number.
    const auto orphan = of(fact("orphan_file_record"));
    ASSERT_EQ(orphan.size(), 1u);
    EXPECT_EQ(orphan[0]->path, "Orphan Files/Orphan file.txt");
    EXPECT_FALSE(orphan[0]->in_use);
    const auto reused = of(fact("reused_record"));
    ASSERT_EQ(reused.size(), 1u);
    EXPECT_EQ(reused[0]->path, "New file in reused record.txt");
    EXPECT_FALSE(reused[0]->dir);
    for (std::uint64_t gone : facts.at("zeroed_records")) EXPECT_TRUE(of(gone).empty()) << gone;
    EXPECT_TRUE(of(fact("overwritten_dir_record")).empty());
  }
}

// Records from 1815 on are mapped only by the $DATA extent in extension
// record 15, which record 0's non-resident attribute list names.
TEST_F(NtfsScanTest, FastScanReachesRecordsMappedOnlyThroughTheAttributeList) {
  const NtfsFixture& f = FixtureOf("ntfs_fragmented_mft", true);
  const auto facts = ReadFacts("ntfs/ntfs_fragmented_mft.facts.txt");
  const std::uint64_t first = facts.at("mft_first_record_mapped_by_extension").at(0);
  const std::uint64_t records = facts.at("mft_records").at(0);
  OpenVolume(ScannedImage(f), f.start);
  Scan(IDM_FAST_LOGICAL);
  ASSERT_NE(ctx().mft_inode, nullptr);
  EXPECT_EQ(ctx().mft_inode->run_list.size(), facts.at("mft_runs_total").at(0));
  EXPECT_EQ(ctx().mft_inode->data_size_kb, records);
  const auto spans = MapMftRecords(*ctx().mft_inode, *vol_);
  EXPECT_EQ(MftRecordsToScan(*ctx().mft_inode, spans), records);

  std::set<std::uint64_t> expected, listed;
  for (const auto& [path, o] : ExpectedEntries(f))
    if (o.number >= first) expected.insert(o.number);
  for (const ScanLine& l : ScanTree(ctx()))
    if (l.number >= first && !IsSyntheticNode(l.path)) listed.insert(l.number);
  EXPECT_EQ(expected.size(), records - first) << "the listing names every one of them";
  EXPECT_EQ(listed, expected);
}

// The slow scan decodes a record whose attribute list lies further on when
// the sweep has passed the list: records are still kept in the order found,
// and the $MFT's own record (its list non-resident and after it here) still
// decodes through its list, at both of its places. The same whether the
// sweep looks at the image in place, reads it (a read hook in place: the
// view is then never used), or has its first viewed chunk fault.
namespace {
ReadFault NoFault(DevHandle, std::uint64_t, std::size_t) { return {}; }
}  // namespace

TEST_F(NtfsScanTest, SlowScanKeepsRecordsInTheOrderFound) {
  const NtfsFixture& f = FixtureOf("ntfs_fragmented_mft", true);
  const std::uint64_t mft_size = *ExpectedEntries(f).at("$MFT").size;
  OpenVolume(ScannedImage(f), f.start);
  {
    std::vector<std::uint8_t> mft(kRecord);
    ASSERT_EQ(ReadSectors(ctx(), *drive_, static_cast<std::uint64_t>(vol_->mft_lba), mft), 1);
    const std::optional<SectorRange> list = GuessAttributeListSectors(mft, *vol_);
    ASSERT_TRUE(list);
    ASSERT_GT(list->start.value, static_cast<std::uint64_t>(vol_->mft_lba) + 2048) << "the $MFT's record has to wait";
  }
  std::vector<std::string> first;
  for (const char* how : {"viewed", "read", "faulted"}) {
    SCOPED_TRACE(how);
    if (how == std::string("read")) sys_SetReadFaultHook(NoFault);
    if (how == std::string("faulted")) sys_FaultNextViewedRead();
    Scan(IDM_SLOW_LOGICAL);
    sys_SetReadFaultHook(nullptr);
    EXPECT_FALSE(sys_ViewedFaultPending()) << "the sweep looked at the image in place";
    ExpectIdleAfterScan();
    EXPECT_EQ(drive_->read_errors, 0u);
    std::vector<std::uint64_t> dir_lbas, file_lbas, mft_lbas;
    for (const INODE_RECD* r = ctx().pending_dir_head; r; r = r->next_pending)
      if (!(r->record_flags & kRecSynthetic)) dir_lbas.push_back(r->record_lba);
    for (const FILE_INODE* fi = ctx().pending_file_head; fi; fi = fi->next_pending_file) {
      file_lbas.push_back(fi->record_lba);
      if (fi->name == "$MFT") {
        mft_lbas.push_back(fi->record_lba);
        EXPECT_EQ(fi->data_size, mft_size) << "sized through its list's extension record";
      }
    }
    EXPECT_GT(dir_lbas.size(), 18u);
    EXPECT_GT(file_lbas.size(), 1800u);
    EXPECT_TRUE(std::is_sorted(dir_lbas.begin(), dir_lbas.end()));
    EXPECT_TRUE(std::is_sorted(file_lbas.begin(), file_lbas.end()));
    ASSERT_EQ(mft_lbas.size(), 2u) << "the $MFT and its mirror copy";
    EXPECT_EQ(mft_lbas[0], static_cast<std::uint64_t>(vol_->mft_lba));
    EXPECT_EQ(mft_lbas[1], static_cast<std::uint64_t>(vol_->mftmirr_lba));
    std::vector<std::string> lines;
    for (const ScanLine& l : ScanTree(ctx()))
      lines.push_back(l.path + "|" + std::to_string(l.size) + "|" + std::to_string(l.number) + (l.in_use ? "" : "|d"));
    if (first.empty()) first = lines;
    EXPECT_EQ(lines, first);
  }
}

TEST_F(NtfsScanTest, FastScanPollsThroughAZeroedStretchOfTheMft) {
  std::vector<std::uint8_t> img = DemoVolume();
  OpenCrafted(img);  // to learn where the $MFT lies
  const std::uint64_t at = MftRecordOffset(12);
  CloseMainWindow();
  std::fill(img.begin() + static_cast<std::ptrdiff_t>(at), img.begin() + static_cast<std::ptrdiff_t>(at + 52 * kRecord), 0);
  OpenCrafted(img);

  Scan(IDM_FAST_LOGICAL);
  const std::vector<ScanLine> full = ScanTree(ctx());
  ASSERT_TRUE(HasPath(full, "Readme.txt"));

  // Polls fall on records 0, 10, 20, ...: the third lands inside records 12..63.
  headless::PostCommandAfterSteps(2, 0, IDM_TERMINATE_SCAN);
  Scan(IDM_FAST_LOGICAL);
  ExpectIdleAfterScan();
  const std::vector<ScanLine> part = ScanTree(ctx());
  EXPECT_TRUE(HasPath(part, "$MFT"));
  EXPECT_FALSE(HasPath(part, "Readme.txt")) << "the scan stopped inside the stretch";
  EXPECT_FALSE(HasPath(part, "Docs"));
  EXPECT_TRUE(HasPath(part, "Unlinked Data") && HasPath(part, "Orphan Files")) << "a stopped scan is linked";
}

TEST_F(NtfsScanTest, RecordCountIsBoundedByTheRunList) {
  std::vector<std::uint8_t> img = DemoVolume();
  OpenCrafted(img);
  const std::uint64_t mft = MftRecordOffset(0);
  Scan(IDM_FAST_LOGICAL);
  const std::vector<ScanLine> honest = ScanTree(ctx());
  CloseMainWindow();

  // The $DATA attribute's data size: 2^50 bytes, 2^40 records claimed.
  const std::size_t field = AttributeField(std::span(img).subspan(mft, kRecord), 0x80, 48);
  ASSERT_GT(field, 0u);
  ASSERT_TRUE(field + 8 <= 510 || field >= 512) << "the field must miss the update sequence's slot";
  le::Write(std::span(img), mft + field, std::uint64_t{1} << 50);
  OpenCrafted(img);
  Scan(IDM_FAST_LOGICAL);
  ExpectIdleAfterScan();
  ASSERT_NE(ctx().mft_inode, nullptr);
  EXPECT_EQ(ctx().mft_inode->data_size_kb, std::uint64_t{1} << 40);
  const auto spans = MapMftRecords(*ctx().mft_inode, *vol_);
  EXPECT_LT(MftRecordsToScan(*ctx().mft_inode, spans), 1u << 20);
  const std::vector<ScanLine> bounded = ScanTree(ctx());
  EXPECT_EQ(bounded.size(), honest.size());
}

// Runs as a damaged list may give them: overlapping, out of order, sparse.
TEST(NtfsRecordMap, FirstRunWinsAndStretchesJoin) {
  LOGDRIVE_INFO vol;
  vol.sectors_per_cluster = 8;  // 4 records a cluster
  vol.start_lba = 1000;
  INODE_RECD mft;
  mft.run_list = {{0, 10, 10, 2},     // records 0..7 at cluster 10
                  {2, 12, 2, 2},      // 8..15 continue them on disk: one stretch
                  {1, 50, 38, 3},     // 4..15 already taken, all lost
                  {6, 100, 50, 1},    // 24..27, after a gap
                  {4, 200, 100, 3}};  // 16..27: only 16..23 left
  const auto spans = MapMftRecords(mft, vol);
  ASSERT_EQ(spans.size(), 3u);
  EXPECT_EQ(spans[0].first, 0u);
  EXPECT_EQ(spans[0].count, 16u);
  EXPECT_EQ(spans[0].lba, 1000u + 80);
  EXPECT_EQ(spans[1].first, 16u);
  EXPECT_EQ(spans[1].count, 8u);
  EXPECT_EQ(spans[1].lba, 1000u + 1600);
  EXPECT_EQ(spans[2].first, 24u);
  EXPECT_EQ(spans[2].lba, 1000u + 800);
  mft.data_size_kb = 1000;
  EXPECT_EQ(MftRecordsToScan(mft, spans), 28u);
  mft.data_size_kb = 20;
  EXPECT_EQ(MftRecordsToScan(mft, spans), 20u);

  vol.sectors_per_cluster = 1;  // half a record a cluster
  mft.run_list = {{0, 10, 10, 7}};
  EXPECT_EQ(MapMftRecords(mft, vol).at(0).count, 3u);
  vol.sectors_per_cluster = 0;
  EXPECT_TRUE(MapMftRecords(mft, vol).empty());
}

TEST_F(NtfsScanTest, SlowScanFindsRecordsAtTheChunkEdgeAndInTheTail) {
  std::vector<std::uint8_t> img = DemoVolume();
  OpenCrafted(img);
  const std::uint64_t total = static_cast<std::uint64_t>(vol_->total_sectors);
  const std::uint64_t mft_first = static_cast<std::uint64_t>(vol_->mft_lba), mft_end = mft_first + 2 * 70;
  Scan(IDM_FAST_LOGICAL);
  std::vector<std::uint64_t> lbas;
  const std::vector<ScanLine> fast = ScanTree(ctx(), &lbas);
  const auto readme = std::find_if(fast.begin(), fast.end(), [](const ScanLine& l) { return l.path == "Readme.txt"; });
  ASSERT_NE(readme, fast.end());
  const std::uint64_t readme_lba = lbas[static_cast<std::size_t>(readme - fast.begin())];
  CloseMainWindow();

  // Copies of Readme.txt's record renamed X... at the first chunk's last
  // examined position, and Y... at the last position of the tail.
  ASSERT_GT(total % 2048, 2u) << "the volume must end inside a chunk";
  const std::uint64_t edge = 2046, tail = total - 2;
  for (std::uint64_t s : {edge, tail}) ASSERT_TRUE(s + 2 <= mft_first || s >= mft_end);
  const std::span<const std::uint8_t> rec = std::span(img).subspan(readme_lba * kSector, kRecord);
  for (auto [s, letter] : {std::pair{edge, 'X'}, std::pair{tail, 'Y'}}) {
    std::copy(rec.begin(), rec.end(), img.begin() + static_cast<std::ptrdiff_t>(s * kSector));
    const auto name = std::search(img.begin() + static_cast<std::ptrdiff_t>(s * kSector),
                                  img.begin() + static_cast<std::ptrdiff_t>(s * kSector + kRecord),
                                  std::begin("R\0e\0a\0d"), std::end("R\0e\0a\0d") - 1);
    ASSERT_NE(name, img.begin() + static_cast<std::ptrdiff_t>(s * kSector + kRecord));
    *name = static_cast<std::uint8_t>(letter);
  }
  img.resize(total * kSector);  // nothing after the volume to read
  OpenCrafted(img);
  Scan(IDM_SLOW_LOGICAL);
  ExpectIdleAfterScan();
  lbas.clear();
  const std::vector<ScanLine> slow = ScanTree(ctx(), &lbas);
  for (auto [path, at] : {std::pair{"Xeadme.txt", edge}, std::pair{"Yeadme.txt", tail}}) {
    const auto it = std::find_if(slow.begin(), slow.end(), [&](const ScanLine& l) { return l.path == path; });
    ASSERT_NE(it, slow.end()) << path;
    EXPECT_EQ(lbas[static_cast<std::size_t>(it - slow.begin())], at) << path;
    EXPECT_EQ(it->number, 65u) << "numbered by their headers";
  }
  EXPECT_TRUE(HasPath(slow, "Readme.txt"));
  // The $MFT's first records are found twice, in the $MFT and in its mirror.
  EXPECT_EQ(std::count_if(slow.begin(), slow.end(), [](const ScanLine& l) { return l.path == "$MFT"; }), 2);
}

TEST_F(NtfsScanTest, UndecodableMftRecordLeavesNoTree) {
  std::vector<std::uint8_t> img = DemoVolume();
  OpenCrafted(img);
  const std::uint64_t mft = MftRecordOffset(0);
  CloseMainWindow();
  std::memcpy(&img[mft], "BAAD", 4);
  OpenCrafted(img);
  vol_->mft_lba = static_cast<std::int64_t>(mft / kSector);  // the locator found no $MFT by name

  // A previous scan's tree, then the scan that cannot start.
  Scan(IDM_SLOW_LOGICAL);
  ASSERT_GT(TreeView_GetCount(ctx().dir_tree), 0u);
  EXPECT_EQ(FastNtfsScan(ctx()), 0);
  EXPECT_EQ(TreeView_GetCount(ctx().dir_tree), 0u);
  EXPECT_EQ(ListView_GetItemCount(ctx().file_list), 0);
  EXPECT_EQ(ctx().root_item, nullptr);
  EXPECT_EQ(ctx().pending_dir_count, 0u);
  EXPECT_EQ(ctx().pending_file_count, 0u);
  EXPECT_EQ(ctx().scan_running, 0);

  // The menu command the same way, and the slow scan still searches.
  Scan(IDM_FAST_LOGICAL);
  EXPECT_EQ(TreeView_GetCount(ctx().dir_tree), 0u);
  EXPECT_TRUE(Menu_FindCommand(ctx().main_dlg->menu.get(), IDM_SAVE_SCAN)->enabled);
  Scan(IDM_SLOW_LOGICAL);
  ExpectIdleAfterScan();
  EXPECT_TRUE(HasPath(ScanTree(ctx()), "Docs/Project plan.txt"));
}

TEST_F(NtfsScanTest, ScansRefuseToStartInsideAScan) {
  OpenVolume(Fixture(kNtfsFixtures[0].image), kNtfsFixtures[0].start);
  // Posted into the slow scan's pump, which leaves the menu enabled.
  headless::PostCommandAfterSteps(3, 0, IDM_FAST_LOGICAL);
  headless::PostCommandAfterSteps(4, 0, IDM_SLOW_LOGICAL);
  Scan(IDM_SLOW_LOGICAL);
  ExpectIdleAfterScan();
  const std::vector<ScanLine> once = ScanTree(ctx());
  EXPECT_TRUE(HasPath(once, "Docs/Project plan.txt"));
  EXPECT_EQ(std::count_if(once.begin(), once.end(), [](const ScanLine& l) { return l.path == "Readme.txt"; }), 1);
}
