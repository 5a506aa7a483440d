// Shared by the FAT32 tests: a volume record from a boot record, a main window
// with an image drive and that volume selected, and the scan tree as lines.
#pragma once
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/text.h"
#include "app/status.h"
#include "disk/phydrive.h"
#include "fat/fat.h"
#include "platform/bytes.h"
#include "res/ids.h"
#include "scan/display.h"
#include "scan/tree.h"
#include "test_support.h"
#include "volume/logdrive.h"

namespace fat_test {

// The FAT32 fields a mount fills from the boot record at start_lba.
inline void FillFat32Volume(std::span<const std::uint8_t> b, std::int64_t start_lba, LOGDRIVE_INFO& v) {
  v.fs_type = kFsFat32;
  v.start_lba = start_lba;
  v.bytes_per_sector = 512;
  v.fat_entries_per_sector = 128;
  v.sectors_per_cluster = b[13];
  v.bytes_per_cluster = v.sectors_per_cluster * 512;
  v.entries_per_cluster = v.bytes_per_cluster / 32;
  v.reserved_sectors = le::U16(b, 14);
  v.fat_sectors = le::U32(b, 36);
  v.fat_bytes = v.fat_sectors * 512;
  v.fat_lba = start_lba + v.reserved_sectors;
  v.data_lba = v.fat_lba + 2 * v.fat_sectors;
  v.root_cluster = le::U32(b, 44);
  v.root_lba = v.data_lba + static_cast<std::int64_t>(v.sectors_per_cluster) * (v.root_cluster - 2);
  v.total_sectors = le::U16(b, 19) ? le::U16(b, 19) : le::U32(b, 32);
  v.cluster_count = (v.total_sectors - (v.data_lba - start_lba)) / v.sectors_per_cluster;
  v.mount_flags = 1;
  std::memcpy(v.oem_name, b.data() + 3, 8);
  std::memcpy(v.fs_name, b.data() + 82, 8);
}

// One line of the scan tree: a directory or a file, its path below Root.
struct TreeLine {
  std::string path;  // "Documents/LETTER.TXT"; Root's own files have no "/"
  bool dir = false;
  bool in_use = false;
  std::uint64_t size = 0;
  std::uint64_t own_number = 0;
  std::uint64_t parent_number = 0;
};


inline std::string Join(const std::string& dir, const std::string& name) { return dir.empty() ? name : dir + "/" + name; }

inline TreeLine DirLine(const INODE_RECD& r, const std::string& path) {
  return {path, true, (r.record_flags & kRecInUse) != 0, r.data_size, r.own_number, r.parent_number};
}

// A directory's files, then its subdirectories, depth first.
inline void CollectDir(const AppContext& ctx, const TreeItem* item, const std::string& path,
                       std::vector<TreeLine>& out) {
  const INODE_RECD* r = GetItemRecord(ctx, item);
  if (!r) return;
  const FILE_INODE* f = r->files_head;
  for (std::uint64_t i = 0; i < r->file_count && f; ++i, f = f->next_in_dir)
    out.push_back({Join(path, Latin1ToUtf8(f->name)), false, (f->record_flags & kRecInUse) != 0, f->data_size, f->own_number,
                   f->parent_number});
  for (const TreeItem* c = item->first_child; c; c = c->next_sibling) {
    const INODE_RECD* cr = GetItemRecord(ctx, c);
    if (!cr) continue;
    const std::string cpath = Join(path, Latin1ToUtf8(cr->posix_name.value_or("")));
    out.push_back(DirLine(*cr, cpath));
    CollectDir(ctx, c, cpath, out);
  }
}

// Paths below Root ("Documents/LETTER.TXT"; Root's own files have no "/").
inline std::vector<TreeLine> ScanTree(const AppContext& ctx) {
  std::vector<TreeLine> out;
  if (ctx.root_item) CollectDir(ctx, ctx.root_item, "", out);
  return out;
}

inline std::map<std::string, TreeLine> ByPath(const std::vector<TreeLine>& lines) {
  std::map<std::string, TreeLine> m;
  for (const TreeLine& l : lines) m.emplace(l.path, l);
  return m;
}

// An `fls -r -p -l` line of the oracle.
struct OracleLine {
  std::string path;
  bool dir = false;
  bool deleted = false;
  std::uint64_t size = 0;
};

inline std::vector<OracleLine> ReadOracle(const std::string& text) {
  std::vector<OracleLine> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string s; std::getline(fields, s, '\t');) f.push_back(s);
    if (f.size() < 7 || f[0][0] == 'v' || f[0][0] == 'V') continue;  // the tool's virtual files
    OracleLine o;
    o.dir = f[0][0] == 'd';
    o.deleted = f[0].find('*') != std::string::npos;
    o.path = f[1];
    o.size = std::stoull(f[6]);
    out.push_back(o);
  }
  return out;
}

// A main window with an image as drive 0 and the FAT32 volume at start_lba
// as the selected row of the logical-drive list.
class FatScanTest : public RetrovaTest {
 protected:
  void OpenVolume(const std::filesystem::path& image, std::int64_t start_lba = 2048) {
    OpenMainWindow();
    ASSERT_EQ(AddImageFile(ctx(), image.string()), 1);
    const int phy_row = ListView_GetItemCount(ctx().phy_list) - 1;
    ListView_SetItemState(ctx().phy_list, phy_row, LVIS_SELECTED, LVIS_SELECTED);
    drive_ = static_cast<PHYDRIVE_INFO*>(GetSelectedRowData(ctx().phy_list));
    ASSERT_NE(drive_, nullptr);
    std::array<std::uint8_t, 512> boot{};
    ASSERT_EQ(ReadSectors(ctx(), *drive_, static_cast<std::uint64_t>(start_lba), boot), 1);
    vol_ = NewLogDrive();
    FillFat32Volume(boot, start_lba, *vol_);
    ListView_InsertItem(ctx().log_list, 0, "volume", 0, vol_);
    ListView_SetItemState(ctx().log_list, 0, LVIS_SELECTED, LVIS_SELECTED);
  }
  void TearDown() override {
    ResetScanTree(ctx());
    RetrovaTest::TearDown();
  }
  std::string Field(int id) { return GetDlgItemText(ctx().main_dlg, id); }

  PHYDRIVE_INFO* drive_ = nullptr;
  LOGDRIVE_INFO* vol_ = nullptr;
};

inline std::map<std::string, std::uint64_t> ReadFacts(const std::string& text) {
  std::map<std::string, std::uint64_t> m;
  std::istringstream in(text);
  std::string k;
  std::uint64_t v;
  while (in >> k >> v) m[k] = v;
  return m;
}

}  // namespace fat_test
