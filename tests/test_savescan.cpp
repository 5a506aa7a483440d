// Saved scans: the file's layout, round trips of the fixture scans, and
// files that are cut short or lie about their counts.
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstring>
#include <fstream>
#include <map>
#include <set>

#include "app/status.h"
#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "platform/bytes.h"
#include "recover/output.h"
#include "res/ids.h"
#include "savescan/save_scan.h"
#include "scan/tree.h"
#include "test_support.h"
#include "volume/logdrive.h"
#include "volume/mount.h"

namespace {

std::vector<std::uint8_t> ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Appends little-endian values, as a hand-built file is laid out.
struct Builder {
  std::vector<std::uint8_t> b;
  void Bytes(const void* p, std::size_t n) {
    const auto* c = static_cast<const std::uint8_t*>(p);
    b.insert(b.end(), c, c + n);
  }
  void Zero(std::size_t n) { b.insert(b.end(), n, 0); }
  void Text(const std::string& s) { Bytes(s.data(), s.size()); }
  template <typename T>
  void Le(T v) {
    for (std::size_t i = 0; i < sizeof(T); ++i) b.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(v) >> (8 * i)));
  }
};

void SetLe(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v, int width) {
  for (int i = 0; i < width; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// An INODE_RECD image built from the table, lengths as given.
void HandInode(Builder& f, std::uint32_t link_state, std::uint32_t flags, std::uint32_t posix_len,
               std::uint32_t short_len, std::uint32_t resident_len, std::uint32_t runs, std::uint64_t files,
               std::uint64_t own, std::uint64_t parent, std::uint64_t size) {
  const std::size_t at = f.b.size();
  f.Zero(kInodeRecdSize);
  SetLe(f.b, at + 0, 0xDEADBEEF, 4);  // pointer slots carry nothing
  SetLe(f.b, at + 12, link_state, 4);
  SetLe(f.b, at + 16, flags, 4);
  SetLe(f.b, at + 20, 0x5A21, 2);
  SetLe(f.b, at + 22, 0x6000, 2);
  SetLe(f.b, at + 28, posix_len, 4);
  SetLe(f.b, at + 32, short_len, 4);
  SetLe(f.b, at + 36, resident_len, 4);
  SetLe(f.b, at + 44, runs, 4);
  SetLe(f.b, at + 52, files, 8);
  SetLe(f.b, at + 68, size, 8);
  SetLe(f.b, at + 76, own, 8);
  SetLe(f.b, at + 84, parent, 8);
  SetLe(f.b, at + 960, 0xCAFEF00D, 4);
}

void HandFile(Builder& f, const std::string& name_with_nul, std::uint32_t mark, std::uint32_t own, std::uint64_t size) {
  const std::size_t at = f.b.size();
  f.Zero(kFileInodeSize);
  SetLe(f.b, at + 4, 0x5A21, 2);
  SetLe(f.b, at + 8, name_with_nul.size(), 4);
  SetLe(f.b, at + 12, mark, 4);
  SetLe(f.b, at + 16, kRecInUse, 4);
  SetLe(f.b, at + 20, 7, 4);
  SetLe(f.b, at + 24, own, 4);
  SetLe(f.b, at + 36, size, 8);
  f.Text(name_with_nul);
}

struct Line {
  std::string text;
  std::uint64_t number = 0;
  bool dir = false;
};

}  // namespace

class SaveScanTest : public RetrovaTest {
 protected:
  void OpenImage(const std::filesystem::path& image) {
    OpenMainWindow();
    ASSERT_EQ(AddImageFile(ctx(), image.string()), 1);
    const int row = ListView_GetItemCount(ctx().phy_list) - 1;
    drive_ = static_cast<PHYDRIVE_INFO*>(ListView_GetItemData(ctx().phy_list, row));
    ListView_SetItemState(ctx().phy_list, row, LVIS_SELECTED, LVIS_SELECTED);
  }
  void OpenVolume(const std::filesystem::path& image, std::uint64_t start_lba) {
    OpenImage(image);
    std::array<std::uint8_t, 512> boot{};
    ASSERT_EQ(ReadSectors(ctx(), *drive_, start_lba, boot), 1);
    vol_ = MountLogDrive(start_lba, boot);
    ASSERT_NE(vol_, nullptr);
    ListView_InsertItem(ctx().log_list, 0, "volume", 0, vol_);
    ListView_SetItemState(ctx().log_list, 0, LVIS_SELECTED, LVIS_SELECTED);
  }
  void TearDown() override {
    ResetScanTree(ctx());
    RetrovaTest::TearDown();
  }
  void Command(int command) {
    PostCommand(ctx().main_dlg, static_cast<std::uint32_t>(command));
    for (int guard = 0; guard < 1000000 && DispatchNext(); ++guard) {
    }
  }
  int Save(const std::filesystem::path& folder) {
    const OutputDir dir = OutputDir::Open(folder.string(), true);
    return SaveScanInto(ctx(), *drive_, *vol_, dir);
  }
  std::string LastBox() { return headless::Boxes().empty() ? "" : headless::Boxes().back().text; }

  // The tree below Root: each directory and each file with everything a
  // save keeps (ticks aside), in tree order.
  std::vector<Line> Dump() {
    std::vector<Line> out;
    struct Frame {
      const TreeItem* item;
      std::string path;
    };
    std::vector<Frame> stack{{TreeView_GetRoot(ctx().dir_tree), "Root"}};
    while (!stack.empty()) {
      const Frame fr = stack.back();
      stack.pop_back();
      const auto* r = static_cast<const INODE_RECD*>(fr.item->data);
      char buf[512];
      std::snprintf(buf, sizeof buf, "D %s|%u|%u|%u|%" PRIu64 "|%" PRIu64 "|%" PRIu64 "|%" PRIu64 "|%u|%zu|%zu",
                    fr.path.c_str(), r->record_flags, r->fat_date, r->fat_time, r->data_size, r->write_time,
                    r->record_lba, r->header_record_number, r->data_nonresident, r->resident_data.size(),
                    r->run_list.size());
      out.push_back({buf, r->own_number, true});
      std::uint64_t n = 0;
      for (const FILE_INODE* f = r->files_head; f && n < r->file_count; f = f->next_in_dir, ++n) {
        std::snprintf(buf, sizeof buf,
                      "F %s/%s|%u|%u|%u|%u|%u|%u|%" PRIu64 "|%" PRIu64 "|%" PRIu64 "|%" PRIu64 "|%u",
                      fr.path.c_str(), f->name.c_str(), f->fat_date, f->fat_time, f->mark_state, f->record_flags,
                      f->verify_result, f->own_number, f->write_time, f->data_size, f->record_lba, f->parent_number,
                      f->name_size);
        out.push_back({buf, 0, false});
      }
      std::vector<Frame> kids;
      for (const TreeItem* c = fr.item->first_child; c; c = c->next_sibling) {
        const auto* cr = static_cast<const INODE_RECD*>(c->data);
        kids.push_back({c, fr.path + "/" + (cr->posix_name ? *cr->posix_name : cr->short_name ? *cr->short_name : "")});
      }
      for (auto it = kids.rbegin(); it != kids.rend(); ++it) stack.push_back(*it);
    }
    return out;
  }
  // Directory numbers shown where they identify one directory (duplicates
  // and the reserved 0 and 5 are renumbered by a save).
  static std::vector<std::string> Texts(const std::vector<Line>& lines, const std::set<std::uint64_t>& shown) {
    std::vector<std::string> out;
    for (const Line& l : lines)
      out.push_back(l.text + (l.dir && shown.count(l.number) ? "#" + std::to_string(l.number) : ""));
    return out;
  }
  static std::set<std::uint64_t> UniqueDirNumbers(const std::vector<Line>& lines) {
    std::map<std::uint64_t, int> count;
    for (const Line& l : lines)
      if (l.dir) ++count[l.number];
    std::set<std::uint64_t> out;
    for (auto [n, c] : count)
      if (c == 1 && n != 0 && n != kRootNumber) out.insert(n);
    return out;
  }
  // Marks every third file and gives every fifth a verify result, so both are seen to come back.
  void MarkSome() {
    std::uint64_t i = 0;
    for (FILE_INODE* f = ctx().pending_file_head; f; f = f->next_pending_file, ++i) {
      if (i % 3 == 0) f->mark_state = kMarkMarked;
      if (i % 5 == 0) f->verify_result = 2;
    }
    std::vector<const TreeItem*> stack{TreeView_GetRoot(ctx().dir_tree)};
    while (!stack.empty()) {
      const TreeItem* it = stack.back();
      stack.pop_back();
      auto* r = static_cast<INODE_RECD*>(it->data);
      std::uint64_t n = 0;
      for (FILE_INODE* f = r->files_head; f && n < r->file_count; f = f->next_in_dir, ++n)
        if ((n + f->own_number) % 3 == 0) f->mark_state = kMarkMarked;
      for (const TreeItem* c = it->first_child; c; c = c->next_sibling) stack.push_back(c);
    }
  }

  PHYDRIVE_INFO* drive_ = nullptr;
  LOGDRIVE_INFO* vol_ = nullptr;
};

struct RoundTripCase {
  const char* image;
  std::uint64_t start;
  int command;
};

class SaveScanRoundTrip : public SaveScanTest, public ::testing::WithParamInterface<RoundTripCase> {};

TEST_P(SaveScanRoundTrip, LoadRebuildsTheSavedTree) {
  const RoundTripCase& c = GetParam();
  OpenVolume(Fixture(c.image), c.start);
  Command(c.command);
  ASSERT_NE(ctx().root_item, nullptr);
  MarkSome();
  const std::vector<Line> before = Dump();
  const std::int64_t dirs = vol_->dirs_found, files = vol_->files_found;
  ASSERT_GT(before.size(), 3u);
  ASSERT_EQ(Save(TempDir()), 1) << LastBox();

  ASSERT_EQ(LoadScanFile(ctx(), (TempDir() / kSavedScanName).string()), 1) << LastBox();
  auto* loaded = static_cast<LOGDRIVE_INFO*>(GetSelectedRowData(ctx().log_list));
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(ListView_GetItemCount(ctx().log_list), 1);
  EXPECT_EQ(ListView_GetItemText(ctx().log_list, 0, 0), std::to_string(vol_->start_lba));
  EXPECT_EQ(ListView_GetItemText(ctx().log_list, 0, 1), std::string(vol_->fs_name, strnlen(vol_->fs_name, 8)) + " (SAVED)");
  // The counts of what was loaded, not those of a fresh Root.
  EXPECT_EQ(loaded->dirs_found, dirs);
  EXPECT_EQ(loaded->files_found, files);
  EXPECT_EQ(GetDlgItemText(ctx().main_dlg, IDC_T_DIRS), FormatThousands(static_cast<std::uint64_t>(dirs)));
  EXPECT_EQ(GetDlgItemText(ctx().main_dlg, IDC_T_FILES), FormatThousands(static_cast<std::uint64_t>(files)));

  // The same tree: shape, sibling order (a scan's own order, not the names'),
  // every kept field, and "Unlinked Data" exactly where the scan had one.
  const std::set<std::uint64_t> shown = UniqueDirNumbers(before);
  EXPECT_EQ(Texts(before, shown), Texts(Dump(), shown));
  // Every directory's linking state is settled, none hidden.
  for (INODE_RECD* r = ctx().pending_dir_head; r; r = r->next_pending) EXPECT_EQ(r->link_state, kLinkFinal);

  // Saved again, the loaded scan writes the same file: the same numbers in the same order.
  const std::filesystem::path again = TempDir() / "again";
  std::filesystem::create_directories(again);
  const OutputDir again_dir = OutputDir::Open(again.string(), false);
  ASSERT_EQ(SaveScanInto(ctx(), *drive_, *loaded, again_dir), 1) << LastBox();
  EXPECT_TRUE(ReadAll(again / kSavedScanName) == ReadAll(TempDir() / kSavedScanName));
}

INSTANTIATE_TEST_SUITE_P(Fixtures, SaveScanRoundTrip,
                         ::testing::Values(RoundTripCase{"fat/basic.img", 2048, IDM_FAST_LOGICAL},
                                           RoundTripCase{"fat/basic.img", 2048, IDM_SLOW_LOGICAL},
                                           RoundTripCase{"fat/damaged.img", 2048, IDM_SLOW_LOGICAL},
                                           RoundTripCase{"demo.img", 63, IDM_FAST_LOGICAL},
                                           RoundTripCase{"demo.img", 63, IDM_SLOW_LOGICAL},
                                           RoundTripCase{"demo.img", 80325, IDM_FAST_LOGICAL},
                                           RoundTripCase{"demo.img", 80325, IDM_SLOW_LOGICAL},
                                           RoundTripCase{"ntfs/ntfs_basic.img", 2048, IDM_FAST_LOGICAL},
                                           RoundTripCase{"ntfs/ntfs_basic.img", 2048, IDM_SLOW_LOGICAL},
                                           RoundTripCase{"ntfs/ntfs_damaged.img", 2048, IDM_SLOW_LOGICAL}));

// A tree made by hand with every field set, saved, and read at the table's offsets.
TEST_F(SaveScanTest, WrittenFileHasTheTableLayout) {
  OpenVolume(Fixture("fat/basic.img"), 2048);
  ASSERT_EQ(MakeRoot(ctx()), 1);
  auto* d = new INODE_RECD;
  d->posix_name = "Documents";
  d->short_name = "DOCUME~1";
  d->resident_data = {1, 2, 3};
  d->has_resident_data = true;
  d->run_list = {RUN_ENTRY{0, 100, 100, 4}, RUN_ENTRY{4, 90, -10, 2}};
  d->link_state = kLinkPlaced;
  d->record_flags = kRecInUse | kRecDirectory;
  d->fat_date = 0x1234;
  d->fat_time = 0x5678;
  d->data_nonresident = 1;
  d->record_lba = 0x1111;
  d->data_size = 0x2222;
  d->own_number = 77;
  d->parent_number = kRootNumber;
  d->header_record_number = 0x3333;
  d->data_size_kb = 0x4444;
  d->write_time = 0x5555;
  auto* f = new FILE_INODE;
  f->name = "a.txt";
  f->name_size = 6;
  f->fat_date = 0x0101;
  f->fat_time = 0x0202;
  f->mark_state = kMarkMarked;
  f->record_flags = kRecInUse;
  f->verify_result = 3;
  f->own_number = 0x0A0B0C0D;
  f->write_time = 0x6666;
  f->data_size = 0x7777;
  f->record_lba = 0x8888;
  f->parent_number = 77;
  AppendFileToDir(*d, f);
  AppendPendingFile(ctx(), f);
  AppendPendingDir(ctx(), d);
  ASSERT_EQ(LinkPendingDirs(ctx()), 1);
  vol_->dirs_found = 2;
  vol_->files_found = 1;
  ASSERT_EQ(Save(TempDir()), 1) << LastBox();

  const std::vector<std::uint8_t> b = ReadAll(TempDir() / kSavedScanName);
  const std::span<const std::uint8_t> s(b);
  const std::size_t inode = 16 + 247 + 334;
  const std::size_t names = inode + 976, runs = names + 8 + 9 + 3, file = runs + 64;
  ASSERT_EQ(b.size(), file + 68 + 6);
  EXPECT_EQ(le::U64(s, 0), 1u);  // one directory ("Unlinked Data" is the load's own)
  EXPECT_EQ(le::U64(s, 8), 0u);  // Root has no files
  EXPECT_TRUE(std::equal(b.begin() + 16, b.begin() + 16 + 247, PhyDriveToBytes(*drive_).begin()));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[16 + 100]), strnlen(drive_->model, 40)),
            std::string(drive_->model));
  EXPECT_EQ(le::U64(s, 16 + 235), drive_->total_sectors);
  EXPECT_EQ(le::U32(s, 16 + 243), 0u);
  const std::size_t lg = 16 + 247;
  EXPECT_EQ(le::U32(s, lg + 0), 0u);
  EXPECT_EQ(std::memcmp(&b[lg + 121], vol_->fs_name, 8), 0);
  EXPECT_EQ(le::U32(s, lg + 142), kFsFat32);
  EXPECT_EQ(le::U32(s, lg + 154), vol_->sectors_per_cluster);
  EXPECT_EQ(le::U64(s, lg + 214), static_cast<std::uint64_t>(vol_->start_lba));
  EXPECT_EQ(le::U64(s, lg + 238), static_cast<std::uint64_t>(vol_->fat_lba));
  EXPECT_EQ(le::U64(s, lg + 310), 1u);
  EXPECT_EQ(le::U64(s, lg + 318), 2u);
  // INODE_RECD
  for (std::size_t slot : {0, 4, 8, 960, 964, 968, 972}) EXPECT_EQ(le::U32(s, inode + slot), 0u) << slot;
  EXPECT_EQ(le::U32(s, inode + 12), kLinkFinal);
  EXPECT_EQ(le::U32(s, inode + 16), kRecInUse | kRecDirectory);
  EXPECT_EQ(le::U16(s, inode + 20), 0x1234);
  EXPECT_EQ(le::U16(s, inode + 22), 0x5678);
  EXPECT_EQ(le::U32(s, inode + 28), 9u);
  EXPECT_EQ(le::U32(s, inode + 32), 8u);
  EXPECT_EQ(le::U32(s, inode + 36), 3u);
  EXPECT_EQ(le::U32(s, inode + 44), 2u);
  EXPECT_EQ(le::U32(s, inode + 48), 1u);
  EXPECT_EQ(le::U64(s, inode + 52), 1u);
  EXPECT_EQ(le::U64(s, inode + 60), 0x1111u);
  EXPECT_EQ(le::U64(s, inode + 68), 0x2222u);
  EXPECT_EQ(le::U64(s, inode + 76), 77u);
  EXPECT_EQ(le::U64(s, inode + 84), kRootNumber);
  EXPECT_EQ(le::U64(s, inode + 92), 0x3333u);
  EXPECT_EQ(le::U64(s, inode + 100), 0x4444u);
  EXPECT_EQ(le::U64(s, inode + 108), 0x5555u);
  EXPECT_TRUE(std::all_of(b.begin() + inode + 116, b.begin() + inode + 960, [](std::uint8_t v) { return v == 0; }));
  // Short name, then long name, then resident data, then the runs.
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[names]), 8), "DOCUME~1");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[names + 8]), 9), "Documents");
  EXPECT_EQ(b[names + 17], 1);
  EXPECT_EQ(b[names + 19], 3);
  EXPECT_EQ(le::U64(s, runs + 32), 4u);
  EXPECT_EQ(le::U64(s, runs + 40), 90u);
  EXPECT_EQ(static_cast<std::int64_t>(le::U64(s, runs + 48)), -10);
  EXPECT_EQ(le::U64(s, runs + 56), 2u);
  // FILE INODE and its name with the NUL.
  EXPECT_EQ(le::U32(s, file + 0), 0u);
  EXPECT_EQ(le::U16(s, file + 4), 0x0101);
  EXPECT_EQ(le::U16(s, file + 6), 0x0202);
  EXPECT_EQ(le::U32(s, file + 8), 6u);
  EXPECT_EQ(le::U32(s, file + 12), kMarkMarked);
  EXPECT_EQ(le::U32(s, file + 16), kRecInUse);
  EXPECT_EQ(le::U32(s, file + 20), 3u);
  EXPECT_EQ(le::U32(s, file + 24), 0x0A0B0C0Du);
  EXPECT_EQ(le::U64(s, file + 28), 0x6666u);
  EXPECT_EQ(le::U64(s, file + 36), 0x7777u);
  EXPECT_EQ(le::U64(s, file + 44), 0x8888u);
  EXPECT_EQ(le::U64(s, file + 52), 77u);
  EXPECT_EQ(le::U32(s, file + 60), 0u);
  EXPECT_EQ(le::U32(s, file + 64), 0u);
  EXPECT_EQ(std::memcmp(&b[file + 68], "a.txt", 6), 0);
}

class HandBuiltFile : public SaveScanTest {
 protected:
  void SetUp() override {
    SaveScanTest::SetUp();
    OpenVolume(Fixture("fat/basic.img"), 2048);
    other_row_vol_ = vol_;
  }
  // SCAN_INFO, the drive and volume, then: a directory with its short name
  // only, resident data and a Run List, one file; under it a directory
  // stored as already placed (link_state 3) with an empty-named file; then
  // two Root files.
  std::vector<std::uint8_t> Build() {
    Builder f;
    f.Le<std::uint64_t>(2);
    f.Le<std::uint64_t>(2);
    const auto phy = PhyDriveToBytes(*drive_);
    f.Bytes(phy.data(), phy.size());
    LOGDRIVE_INFO v = *vol_;
    v.dirs_found = 3;
    v.files_found = 4;
    const auto log = LogDriveToBytes(v);
    f.Bytes(log.data(), log.size());
    HandInode(f, kLinkFinal, kRecInUse | kRecDirectory, 0, 8, 2, 1, 1, 300, kRootNumber, 0);
    f.Text("SHORTDIR");
    f.Text("RD");
    f.Le<std::uint64_t>(0);
    f.Le<std::uint64_t>(50);
    f.Le<std::int64_t>(50);
    f.Le<std::uint64_t>(3);
    HandFile(f, std::string("inner.txt") + '\0', kMarkMarked, 12, 10);
    HandInode(f, kLinkPlaced, kRecDirectory, 4, 0, 0, 0, 1, 301, 300, 0);
    f.Text("Gone");
    HandFile(f, std::string(1, '\0'), kMarkUnmarked, 13, 0);
    HandFile(f, std::string("r1.bin") + '\0', kMarkNone, 14, 5);
    HandFile(f, std::string("r2.bin") + '\0', kMarkMarked, 15, 6);
    run_list_at_ = 16 + 247 + 334 + 976 + 8 + 2;
    return f.b;
  }
  std::size_t run_list_at_ = 0;
  LOGDRIVE_INFO* other_row_vol_ = nullptr;
};

TEST_F(HandBuiltFile, LoadsAsTheTablesSay) {
  const std::vector<std::uint8_t> bytes = Build();
  ASSERT_EQ(LoadScanBytes(ctx(), bytes), 1) << LastBox();
  std::vector<std::string> lines;
  for (const Line& l : Dump()) lines.push_back(l.text.substr(0, l.text.find('|')));
  EXPECT_EQ(lines, (std::vector<std::string>{"D Root", "F Root/r1.bin", "F Root/r2.bin", "D Root/SHORTDIR",
                                             "F Root/SHORTDIR/inner.txt", "D Root/SHORTDIR/Gone", "F Root/SHORTDIR/Gone/"}));
  const INODE_RECD* dir = static_cast<INODE_RECD*>(ctx().root_item->first_child->data);
  EXPECT_FALSE(dir->posix_name.has_value());
  EXPECT_EQ(dir->resident_data, (std::vector<std::uint8_t>{'R', 'D'}));
  ASSERT_EQ(dir->run_list.size(), 1u);
  EXPECT_EQ(dir->run_list[0].lcn, 50u);
  EXPECT_EQ(dir->run_list[0].length, 3u);
  EXPECT_EQ(dir->files_head->mark_state, kMarkMarked);
  EXPECT_EQ(dir->files_head->verify_result, 7u);
  const INODE_RECD* gone = static_cast<INODE_RECD*>(ctx().root_item->first_child->first_child->data);
  EXPECT_EQ(gone->files_head->name_size, 1u);
  EXPECT_EQ(gone->files_head->mark_state, kMarkUnmarked);
  EXPECT_EQ(GetDlgItemText(ctx().main_dlg, IDC_T_DIRS), "3");
  EXPECT_EQ(GetDlgItemText(ctx().main_dlg, IDC_T_FILES), "4");
  EXPECT_EQ(ctx().pending_file_count, 4u);
  // The earlier scan's volume row went; the saved one is row 0, selected.
  EXPECT_EQ(ListView_GetItemCount(ctx().log_list), 1);
  EXPECT_NE(GetRowData(ctx().log_list, 0), other_row_vol_);
  EXPECT_EQ(GetSelectedRow(ctx().log_list), 0);
}

struct HandDir {
  const char* name;
  std::uint64_t own, parent;
};

struct PlacementCase {
  const char* what;
  std::vector<HandDir> dirs;  // in file order
  std::vector<std::string> tree;
};

class HandBuiltPlacement : public HandBuiltFile, public ::testing::WithParamInterface<PlacementCase> {};

// A file in tree order is placed as it is, siblings in file order, with no
// "Unlinked Data" (a FAT32 volume) unless a directory's parent is nowhere;
// any other order is linked by number, siblings by name.
TEST_P(HandBuiltPlacement, TreeFollowsTheFile) {
  const PlacementCase& c = GetParam();
  Builder f;
  f.Le<std::uint64_t>(c.dirs.size());
  f.Le<std::uint64_t>(0);
  const auto phy = PhyDriveToBytes(*drive_);
  f.Bytes(phy.data(), phy.size());
  const auto log = LogDriveToBytes(*vol_);
  f.Bytes(log.data(), log.size());
  for (const HandDir& d : c.dirs) {
    HandInode(f, kLinkFinal, kRecInUse | kRecDirectory, static_cast<std::uint32_t>(std::strlen(d.name)), 0, 0, 0, 0,
              d.own, d.parent, 0);
    f.Text(d.name);
  }
  ASSERT_EQ(LoadScanBytes(ctx(), f.b), 1) << LastBox();
  std::vector<std::string> lines;
  for (const Line& l : Dump()) lines.push_back(l.text.substr(0, l.text.find('|')));
  EXPECT_EQ(lines, c.tree);
  EXPECT_EQ(ctx().pending_dir_count, c.dirs.size());
  for (INODE_RECD* r = ctx().pending_dir_head; r; r = r->next_pending) EXPECT_EQ(r->link_state, kLinkFinal);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, HandBuiltPlacement,
    ::testing::Values(
        PlacementCase{"siblings out of name order stay so",
                      {{"b", 10, 5}, {"a", 11, 5}, {"c", 12, 11}},
                      {"D Root", "D Root/b", "D Root/a", "D Root/a/c"}},
        PlacementCase{"a later number is found first",
                      {{"one", 10, 5}, {"two", 10, 5}, {"in", 11, 10}},
                      {"D Root", "D Root/one", "D Root/one/in", "D Root/two"}},
        PlacementCase{"a child before its parent: linked by number",
                      {{"c", 12, 11}, {"b", 10, 5}, {"a", 11, 5}},
                      {"D Root", "D Root/a", "D Root/a/c", "D Root/b"}},
        PlacementCase{"a parent that is nowhere",
                      {{"a", 11, 5}, {"lost", 20, 99}, {"under", 21, 20}, {"z", 22, 5}},
                      {"D Root", "D Root/a", "D Root/Unlinked Data", "D Root/Unlinked Data/lost",
                       "D Root/Unlinked Data/lost/under", "D Root/z"}},
        PlacementCase{"linked by number, a parent nowhere",
                      {{"c", 12, 13}, {"d", 13, 99}},
                      {"D Root", "D Root/Unlinked Data", "D Root/Unlinked Data/c", "D Root/Unlinked Data/d"}},
        PlacementCase{"a parent number 0 is \"Unlinked Data\"",
                      {{"z", 30, 0}, {"a", 11, 5}},
                      {"D Root", "D Root/a", "D Root/Unlinked Data", "D Root/Unlinked Data/z"}}),
    [](const ::testing::TestParamInfo<PlacementCase>& info) { return "Case" + std::to_string(info.index); });

TEST_F(HandBuiltFile, EveryCutEndsWithASizeMismatch) {
  const std::vector<std::uint8_t> bytes = Build();
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    SCOPED_TRACE(cut);
    headless::Reset();
    EXPECT_EQ(LoadScanBytes(ctx(), std::span(bytes).first(cut)), 0);
    ASSERT_FALSE(headless::Boxes().empty());
    EXPECT_NE(LastBox().find("size mismatch. Terminating."), std::string::npos) << LastBox();
  }
  headless::Reset();
  EXPECT_EQ(LoadScanBytes(ctx(), std::span(bytes).first(run_list_at_ + 20)), 0);
  EXPECT_EQ(LastBox(), "Error on READ Run List size mismatch. Terminating.");
}

TEST_F(HandBuiltFile, CountsNearTwoToTheSixtyFourEndWithAMessage) {
  const std::vector<std::uint8_t> good = Build();
  const std::size_t inode = 16 + 247 + 334;
  const struct {
    std::size_t at;
    int width;
    std::uint64_t value;
  } lies[] = {{0, 8, ~0ULL},           {8, 8, ~0ULL},          {inode + 52, 8, ~0ULL},     {inode + 52, 8, 1ULL << 63},
              {inode + 44, 4, ~0U},    {inode + 44, 4, 1u << 27}, {inode + 32, 4, ~0U},   {inode + 28, 4, 0x7FFFFFFF},
              {inode + 36, 4, ~0U},    {inode + 976 + 8 + 2 + 32 + 8, 4, ~0U}};
  for (const auto& lie : lies) {
    SCOPED_TRACE(lie.at);
    std::vector<std::uint8_t> b = good;
    SetLe(b, lie.at, lie.value, lie.width);
    headless::Reset();
    EXPECT_EQ(LoadScanBytes(ctx(), b), 0);
    EXPECT_NE(LastBox().find("size mismatch"), std::string::npos) << LastBox();
  }
}

TEST_F(HandBuiltFile, AVolumeRecordThatDoesNotFitIsRefused) {
  const std::vector<std::uint8_t> good = Build();
  const std::size_t lg = 16 + 247;
  const struct {
    std::size_t at;
    int width;
    std::uint64_t value;
  } lies[] = {{lg + 154, 4, 0},   {lg + 166, 4, 0},          {lg + 142, 4, 1},  {lg + 214, 8, 1ULL << 40},
              {lg + 238, 8, 0},   {lg + 182, 8, 1ULL << 40}, {lg + 302, 8, 0},  {lg + 162, 4, 4096},
              {lg + 154, 4, 64},  {lg + 222, 8, 0}};
  for (const auto& lie : lies) {
    SCOPED_TRACE(lie.at);
    std::vector<std::uint8_t> b = good;
    SetLe(b, lie.at, lie.value, lie.width);
    headless::Reset();
    EXPECT_EQ(LoadScanBytes(ctx(), b), 0);
    EXPECT_NE(LastBox().find("does not fit the drive"), std::string::npos) << LastBox();
    EXPECT_EQ(ctx().pending_dir_count, 0u);
  }
}

TEST_F(HandBuiltFile, ADriveWithAnotherSerialIsNotMatchedAndNothingChanges) {
  std::vector<std::uint8_t> b = Build();
  b[16 + 141] ^= 0x20;
  const int rows = ListView_GetItemCount(ctx().log_list);
  EXPECT_EQ(LoadScanBytes(ctx(), b), 0);
  EXPECT_EQ(LastBox(), "Could not find matching physical drive for saved scan. Terminating.");
  EXPECT_EQ(ListView_GetItemCount(ctx().log_list), rows);
  EXPECT_EQ(GetRowData(ctx().log_list, 0), other_row_vol_);
}

TEST_F(SaveScanTest, EmptyPendingListSavesRootFilesOnly) {
  OpenVolume(Fixture("fat/basic.img"), 2048);
  ASSERT_EQ(MakeRoot(ctx()), 1);
  INODE_RECD* root = GetItemRecord(ctx(), ctx().root_item);
  for (const char* name : {"one", "two"}) {
    auto* f = new FILE_INODE;
    f->name = name;
    f->name_size = 4;
    AppendFileToDir(*root, f);
    AppendPendingFile(ctx(), f);
  }
  vol_->dirs_found = 1;
  ASSERT_EQ(Save(TempDir()), 1) << LastBox();
  const std::vector<std::uint8_t> b = ReadAll(TempDir() / kSavedScanName);
  EXPECT_EQ(b.size(), 16u + 247 + 334 + 2 * (68 + 4));
  ASSERT_EQ(LoadScanFile(ctx(), (TempDir() / kSavedScanName).string()), 1) << LastBox();
  std::vector<std::string> lines;
  for (const Line& l : Dump()) lines.push_back(l.text.substr(0, l.text.find('|')));
  EXPECT_EQ(lines, (std::vector<std::string>{"D Root", "F Root/one", "F Root/two"}));
}

// A directory whose list holds fewer files than its count says is saved with
// the count it holds: found out after the files are written, so the count is
// set back in the buffer (a small list) or in the file (a list past the
// buffer). Loaded from the file, read a piece at a time, every part comes back,
// and a copy cut short ends with a size mismatch.
TEST_F(SaveScanTest, AShortFileListIsSavedWithTheCountItHolds) {
  OpenVolume(Fixture("fat/basic.img"), 2048);
  for (const std::size_t files : {std::size_t{3}, std::size_t{20000}}) {
    SCOPED_TRACE(files);
    ResetScanTree(ctx());
    ASSERT_EQ(MakeRoot(ctx()), 1);
    auto* d = new INODE_RECD;
    d->posix_name = "Big";
    d->own_number = 77;
    d->parent_number = kRootNumber;
    d->record_flags = kRecInUse | kRecDirectory;
    d->resident_data.resize(600000);
    for (std::size_t i = 0; i < d->resident_data.size(); ++i) d->resident_data[i] = static_cast<std::uint8_t>(i * 7);
    d->has_resident_data = true;
    for (std::size_t i = 0; i < files; ++i) {
      auto* f = new FILE_INODE;
      char name[64];
      std::snprintf(name, sizeof name, "file %05zu with a long name.txt", i);
      f->name = name;
      f->name_size = static_cast<std::uint32_t>(f->name.size() + 1);
      f->data_size = i;
      AppendFileToDir(*d, f);
      AppendPendingFile(ctx(), f);
    }
    d->file_count += 5;  // more than the list holds
    AppendPendingDir(ctx(), d);
    ASSERT_EQ(LinkPendingDirs(ctx()), 1);
    vol_->dirs_found = 2;
    ASSERT_EQ(Save(TempDir()), 1) << LastBox();
    const std::filesystem::path saved = TempDir() / kSavedScanName;
    const std::vector<std::uint8_t> b = ReadAll(saved);
    EXPECT_EQ(le::U64(std::span<const std::uint8_t>(b), 16 + 247 + 334 + 52), files);

    ASSERT_EQ(LoadScanFile(ctx(), saved.string()), 1) << LastBox();
    const TreeItem* big = ctx().root_item->first_child;
    ASSERT_NE(big, nullptr);
    const auto* loaded = static_cast<const INODE_RECD*>(big->data);
    EXPECT_EQ(*loaded->posix_name, "Big");
    ASSERT_EQ(loaded->resident_data.size(), 600000u);
    std::size_t i = 0;
    for (const FILE_INODE* f = loaded->files_head; f; f = f->next_in_dir, ++i) {
      char name[64];
      std::snprintf(name, sizeof name, "file %05zu with a long name.txt", i);
      ASSERT_EQ(f->name, name);
      ASSERT_EQ(f->data_size, i);
    }
    EXPECT_EQ(i, files);
    EXPECT_EQ(loaded->file_count, files);
    std::uint8_t sum = 0;
    for (std::size_t k = 0; k < loaded->resident_data.size(); ++k)
      sum |= static_cast<std::uint8_t>(loaded->resident_data[k] ^ static_cast<std::uint8_t>(k * 7));
    EXPECT_EQ(sum, 0);

    for (const std::size_t cut : {b.size() / 2, b.size() - 1}) {
      const std::filesystem::path short_copy = TempDir() / "short.qsn";
      std::ofstream(short_copy, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(cut));
      headless::Reset();
      EXPECT_EQ(LoadScanFile(ctx(), short_copy.string()), 0);
      EXPECT_NE(LastBox().find("size mismatch. Terminating."), std::string::npos) << LastBox();
    }
  }
}

TEST_F(SaveScanTest, SavingTwiceReplacesAndAFailedSaveKeepsTheEarlierFile) {
  OpenVolume(Fixture("fat/basic.img"), 2048);
  Command(IDM_FAST_LOGICAL);
  ASSERT_EQ(Save(TempDir()), 1);
  const std::vector<std::uint8_t> first = ReadAll(TempDir() / kSavedScanName);
  MarkSome();
  ASSERT_EQ(Save(TempDir()), 1);
  const std::vector<std::uint8_t> second = ReadAll(TempDir() / kSavedScanName);
  EXPECT_EQ(first.size(), second.size());
  EXPECT_NE(first, second);

  // A save that cannot write its whole file (a full disk, here a file-size limit).
  const auto old_handler = signal(SIGXFSZ, SIG_IGN);
  rlimit old_limit{};
  getrlimit(RLIMIT_FSIZE, &old_limit);
  rlimit small = old_limit;
  small.rlim_cur = 700;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  headless::Reset();
  const int saved = Save(TempDir());
  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);
  EXPECT_EQ(saved, 0);
  EXPECT_NE(LastBox().find("system error. Terminating.\n"), std::string::npos) << LastBox();
  EXPECT_EQ(ReadAll(TempDir() / kSavedScanName), second);
  int entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(TempDir()))
    if (e.path().filename().string().find(".qsn") != std::string::npos) ++entries;
  EXPECT_EQ(entries, 1) << "no temporary file is left";
}

TEST_F(SaveScanTest, AFolderThatCannotTakeTheFileSaysWhy) {
  OpenVolume(Fixture("fat/basic.img"), 2048);
  Command(IDM_FAST_LOGICAL);
  const std::filesystem::path gone = TempDir() / "gone";
  std::filesystem::create_directory(gone);
  const OutputDir dir = OutputDir::Open(gone.string(), false);
  std::filesystem::remove(gone);
  EXPECT_EQ(SaveScanInto(ctx(), *drive_, *vol_, dir), 0);
  EXPECT_NE(LastBox().find("Could not create Save Scan.qsn: "), std::string::npos) << LastBox();
}

TEST_F(SaveScanTest, MenuCommandsAskAndCheck) {
  OpenVolume(Fixture("fat/basic.img"), 2048);
  vol_->dirs_found = 0;
  Command(IDM_SAVE_SCAN);
  EXPECT_EQ(LastBox(), "Scan is incomplete! No folders have been found.");
  Command(IDM_FAST_LOGICAL);
  Command(IDM_SAVE_SCAN);
  EXPECT_EQ(LastBox(), "Please choose a destination folder.");
  EXPECT_EQ(headless::Boxes().back().title, "** Error **");
  headless::AnswerFolder(TempDir().string());
  const std::size_t boxes = headless::Boxes().size();
  Command(IDM_SAVE_SCAN);
  EXPECT_EQ(headless::Boxes().size(), boxes);
  EXPECT_TRUE(std::filesystem::exists(TempDir() / kSavedScanName));
  EXPECT_EQ(std::filesystem::current_path(), std::filesystem::current_path());
  Command(IDM_LOAD_SCAN);
  EXPECT_EQ(LastBox(), "Please choose a Save Scan.qsn.");
  headless::AnswerOpenFile((TempDir() / "missing").string());
  Command(IDM_LOAD_SCAN);
  EXPECT_EQ(LastBox().rfind("Error on SAVED file " + (TempDir() / "missing").string() + " open. Terminating.", 0), 0u);
  headless::AnswerOpenFile((TempDir() / kSavedScanName).string());
  Command(IDM_LOAD_SCAN);
  EXPECT_EQ(ListView_GetItemText(ctx().log_list, 0, 1).find("(SAVED)") != std::string::npos, true);
}

TEST_F(SaveScanTest, CliSavesAndTheVerbsLoad) {
  const std::string image = Quoted(Fixture("fat/basic.img"));
  const CliRun scanned = RunCli("scan " + image + " 2048");
  ASSERT_EQ(scanned.status, 0);
  const CliRun save = RunCli("save " + image + " 2048 " + Quoted(TempDir() / "out"));
  ASSERT_EQ(save.status, 0);
  const std::string file = Quoted(TempDir() / "out" / kSavedScanName);
  const CliRun loaded = RunCli("scan --load " + file + " --image " + image);
  EXPECT_EQ(loaded.status, 0);
  EXPECT_EQ(loaded.out, scanned.out);
  EXPECT_EQ(RunCli("scan --load " + file).status, 1) << "the drive is not among the drives";
  const CliRun verified = RunCli("verify --load " + file + " --image " + image);
  const CliRun verified_scan = RunCli("verify " + image + " 2048");
  EXPECT_EQ(verified.status, verified_scan.status);
  EXPECT_EQ(verified.out, verified_scan.out);
  const CliRun recovered = RunCli("recover --load " + file + " --image " + image + " " + Quoted(TempDir() / "rec"));
  EXPECT_EQ(recovered.status, 0);
  EXPECT_EQ(recovered.out.empty(), false);
  EXPECT_EQ(RunCli("scan --load " + file + " --image " + image + " 0 2048").status, 2);
}

TEST_F(HandBuiltFile, AVolumeRecordThatDisagreesWithTheBootRecordIsRefused) {
  const std::vector<std::uint8_t> good = Build();
  const std::size_t lg = 16 + 247;
  std::vector<std::uint8_t> b = good;
  SetLe(b, lg + 154, vol_->sectors_per_cluster * 2, 4);
  SetLe(b, lg + 166, vol_->bytes_per_cluster * 2, 4);
  SetLe(b, lg + 302, static_cast<std::uint64_t>(vol_->cluster_count / 2), 8);
  EXPECT_EQ(LoadScanBytes(ctx(), b), 0);
  EXPECT_NE(LastBox().find("the boot record at its start gives another cluster size"), std::string::npos) << LastBox();
  b = good;
  SetLe(b, lg + 238, static_cast<std::uint64_t>(vol_->fat_lba + 1), 8);
  EXPECT_EQ(LoadScanBytes(ctx(), b), 0);
  EXPECT_NE(LastBox().find("places the FAT elsewhere"), std::string::npos) << LastBox();
  EXPECT_EQ(LoadScanBytes(ctx(), good), 1) << LastBox();
}

TEST_F(SaveScanTest, NtfsFilesCopiedFromALoadedScanAreTheScannedOnes) {
  const std::string image = Quoted(Fixture("ntfs/ntfs_basic.img"));
  ASSERT_EQ(RunCli("save " + image + " 2048 " + Quoted(TempDir() / "saved")).status, 0);
  const CliRun direct = RunCli("recover " + image + " 2048 " + Quoted(TempDir() / "a"));
  const CliRun loaded = RunCli("recover --load " + Quoted(TempDir() / "saved" / kSavedScanName) + " --image " + image +
                               " " + Quoted(TempDir() / "b"));
  EXPECT_EQ(direct.status, loaded.status);
  EXPECT_EQ(direct.out, loaded.out);
  std::size_t files = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(TempDir() / "a")) {
    if (!e.is_regular_file()) continue;
    ++files;
    const auto rel = std::filesystem::relative(e.path(), TempDir() / "a");
    EXPECT_EQ(ReadAll(e.path()), ReadAll(TempDir() / "b" / rel)) << rel;
  }
  EXPECT_GT(files, 50u);
}
